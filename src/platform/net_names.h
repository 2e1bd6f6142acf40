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

}  // namespace platform
