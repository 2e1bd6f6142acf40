// Which texts the resolver is allowed to see, shared by both socket layers.
#pragma once

#include <cstring>

namespace platform {

// Letters, digits, '-', '_' and '.', 1 to 253 bytes: the shape of a DNS name
// or a dotted address. Anything else (spaces, control bytes, GBK text, an
// at sign) is refused before a lookup is made, and the empty name, which
// Windows would resolve to this machine, is refused too.
inline bool is_plausible_host_name(const char* host) {
    if (host == nullptr) return false;
    const size_t length = std::strlen(host);
    if (length == 0 || length > 253) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = host[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// The inside of a bracketed IPv6 literal ("[::1]" gives "::1"), copied to
// `inner` (`capacity` bytes): hexadecimal digits, colons and dots only, so
// that a zone or anything stranger is refused before it is parsed. False for
// any other text, or one too long.
inline bool ipv6_literal_inside(const char* host, char* inner, size_t capacity) {
    if (host == nullptr || host[0] != '[') return false;
    const size_t length = std::strlen(host);
    if (length < 4 || host[length - 1] != ']' || length - 2 >= capacity) return false;
    for (size_t i = 1; i + 1 < length; ++i) {
        const char c = host[i];
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                        (c >= 'A' && c <= 'F') || c == ':' || c == '.';
        if (!ok) return false;
    }
    std::memcpy(inner, host + 1, length - 2);
    inner[length - 2] = '\0';
    return true;
}

}  // namespace platform
