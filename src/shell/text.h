// String functions over NUL-terminated GBK text. GBK trail bytes are never
// ASCII letters' lower halves that matter here: only ASCII letters are folded.
#pragma once

// A new heap text with every occurrence of `pattern` (left to right, never
// overlapping) replaced. nullptr when text or pattern is null or empty, when
// the replacement is null, or when the pattern does not occur.
char* replace_all(const char* text, const char* pattern, const char* replacement);

// 1 when the text starts (ends) with the prefix (suffix), ASCII letters
// compared without regard to case. An empty prefix or suffix matches only an
// empty text.
int starts_with_ignore_case(const char* text, const char* prefix);
int ends_with_ignore_case(const char* text, const char* suffix);
