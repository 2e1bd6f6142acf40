// Numbers in addresses and response heads, read the forgiving way the C
// runtime's atoi reads them, but without its undefined overflow.
#pragma once

#include <cstdint>

// Leading white space, one sign, then decimal digits up to the first other
// byte or `end`; 0 without digits. Values beyond int32 saturate, as the
// Windows runtime's atoi does.
inline int32_t lenient_number(const char* text, const char* end) {
    const char* p = text;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const int64_t cap = static_cast<int64_t>(INT32_MAX) + 1;
    int64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > cap) value = cap;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}
