// The byte rules of GBK text that code at every level needs: where a
// double-byte character starts, and whether a text needs GB18030's longer forms.
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
