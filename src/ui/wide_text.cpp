#include "ui/wide_text.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "shell/charset.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

std::wstring wide(const char* text) {
    char16_t* utf16 = gb18030_to_utf16(text);
    std::wstring out(reinterpret_cast<const wchar_t*>(utf16));
    std::free(utf16);
    return out;
}

std::wstring window_text(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    const int got = GetWindowTextW(window, out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(got > 0 ? got : 0));
    return out;
}

bool to_gb18030(const wchar_t* text, char* out, size_t capacity) {
    if (capacity == 0) return false;
    out[0] = '\0';
    const size_t count = std::wcslen(text);
    const platform::CharsetStep step =
        platform::gb18030_encode(reinterpret_cast<const char16_t*>(text), count, out, capacity - 1);
    if (step.consumed != count || step.dropped != 0) {
        out[0] = '\0';
        return false;
    }
    out[step.produced] = '\0';
    return true;
}
