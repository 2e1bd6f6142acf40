// String functions over NUL-terminated GBK text. GBK trail bytes are never
// ASCII letters' lower halves that matter here: only ASCII letters are folded.
#pragma once

// True for a byte that opens a double-byte GBK character (0x81 to 0xFE). Its
// second byte may be an ASCII byte such as the backslash, so code that looks
// for ASCII bytes in GBK text steps over the pair whole.
inline bool is_gbk_lead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// True when the text holds only GBK characters: none of GB18030's four-byte
// forms (a lead byte followed by an ASCII digit), which a path the package
// points Taobao Assistant at must not hold.
inline bool is_gbk_text(const char* text) {
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        if (!is_gbk_lead(*p) || p[1] == '\0') continue;
        if (p[1] >= '0' && p[1] <= '9') return false;
        ++p;
    }
    return true;
}

// A new heap text with every occurrence of `pattern` (left to right, never
// overlapping) replaced. nullptr when text or pattern is null or empty, when
// the replacement is null, or when the pattern does not occur.
char* replace_all(const char* text, const char* pattern, const char* replacement);

// 1 when the text starts (ends) with the prefix (suffix), ASCII letters
// compared without regard to case. An empty prefix or suffix matches only an
// empty text.
int starts_with_ignore_case(const char* text, const char* prefix);
int ends_with_ignore_case(const char* text, const char* suffix);
