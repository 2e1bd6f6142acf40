// Path rules shared by every platform's code (and tested on each).
#include <cstring>

#include "base/gbk.h"
#include "platform/platform.h"

namespace platform {

bool folder_of_executable(const char* exePath, char* out, size_t capacity) {
    const char* separator = nullptr;
    // A GBK trail byte can be 0x5C, the backslash: double-byte characters are
    // stepped over whole.
    for (const char* p = exePath; *p != '\0'; ++p) {
        if (is_gbk_lead(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (*p == '\\' || *p == '/') {
            separator = p;
        }
    }
    if (separator == nullptr) return false;
    size_t length = static_cast<size_t>(separator - exePath);
    // C:\kelvane.exe lives in C:\, not in C: (which means "the current folder of drive C").
    if (length > 0 && exePath[length - 1] == ':') ++length;
    if (length + 1 > capacity) return false;
    std::memcpy(out, exePath, length);
    out[length] = '\0';
    return true;
}

}  // namespace platform
