// String functions over NUL-terminated GBK text. GBK trail bytes are never
// ASCII letters' lower halves that matter here: only ASCII letters are folded.
#pragma once

// Splits the text at `*cursor` at the first byte that is in `delimiters`:
// that byte becomes NUL and the cursor moves past it. At the end of the text
// the token is the rest and the cursor becomes nullptr. Returns nullptr when
// the cursor already is. Two delimiters in a row give an empty token.
char* next_token(char** cursor, const char* delimiters);

// A new heap text with every occurrence of `pattern` (left to right, never
// overlapping) replaced. nullptr when text or pattern is null or empty, when
// the replacement is null, or when the pattern does not occur.
char* replace_all(const char* text, const char* pattern, const char* replacement);

// 1 when the text starts (ends) with the prefix (suffix), ASCII letters
// compared without regard to case. An empty prefix or suffix matches only an
// empty text.
int starts_with_ignore_case(const char* text, const char* prefix);
int ends_with_ignore_case(const char* text, const char* suffix);
