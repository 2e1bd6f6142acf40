// Windows implementation of the platform boundary. Paths go to the wide (W)
// file APIs after an exact GBK -> UTF-16 conversion, so they work whatever
// the system's ANSI code page is; GBK is code page 936.
#include <shlobj.h>
#include <windows.h>

#include <io.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/native_path.h"
#include "shell/files.h"
#include "shell/memory.h"

namespace platform {
namespace {

constexpr UINT GBK_CODE_PAGE = 936;

bool to_wide(const char* text, std::wstring& out) {
    if (text == nullptr || *text == '\0') return false;
    const int length = static_cast<int>(std::strlen(text));
    const int needed =
        MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (needed <= 0) return false;
    out.assign(static_cast<size_t>(needed), L'\0');
    return MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, text, length, out.data(),
                               needed) == needed;
}

// Exact: false when a character has no GBK form, so a name is never altered.
bool to_gbk(const wchar_t* text, std::string& out) {
    const int length = static_cast<int>(wcslen(text));
    if (length == 0) {
        out.clear();
        return true;
    }
    BOOL lossy = FALSE;
    const int needed = WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text, length,
                                           nullptr, 0, nullptr, &lossy);
    if (needed <= 0 || lossy) return false;
    out.assign(static_cast<size_t>(needed), '\0');
    return WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text, length, out.data(),
                               needed, nullptr, &lossy) == needed &&
           !lossy;
}

bool copy_out(const std::string& gbk, char* out, size_t capacity) {
    if (gbk.size() + 1 > capacity) return false;
    std::memcpy(out, gbk.c_str(), gbk.size() + 1);
    return true;
}

bool is_gbk_lead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

}  // namespace

bool to_native_path(const char* path, std::wstring& out) {
    return to_wide(path, out);
}

bool from_native_path(const wchar_t* native, std::string& gbk) {
    return to_gbk(native, gbk);
}

bool is_path_separator(char c) {
    return c == '\\' || c == '/';
}

FILE* open_file(const char* path, const char* mode) {
    std::wstring wide_path;
    std::wstring wide_mode(mode, mode + std::strlen(mode));
    if (!to_wide(path, wide_path)) return nullptr;
    return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

PathKind path_kind(const char* path) {
    std::wstring wide;
    if (!to_wide(path, wide)) return PathKind::Missing;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
    return PathKind::File;
}

bool make_directory(const char* path) {
    std::wstring wide;
    return to_wide(path, wide) && CreateDirectoryW(wide.c_str(), nullptr) != 0;
}

bool remove_file(const char* path) {
    std::wstring wide;
    return to_wide(path, wide) && DeleteFileW(wide.c_str()) != 0;
}

bool program_folder(char* out, size_t capacity) {
    wchar_t module[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    if (length == 0 || length >= std::size(module)) return false;
    std::string gbk;
    if (!to_gbk(module, gbk)) return false;
    std::string folder(gbk.size() + 1, '\0');
    if (!folder_of_executable(gbk.c_str(), folder.data(), folder.size())) return false;
    return copy_out(folder.c_str(), out, capacity);
}

bool desktop_folder(char* out, size_t capacity) {
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list)) || list == nullptr)
        return false;
    wchar_t path[MAX_PATH];
    const BOOL found = SHGetPathFromIDListW(list, path);
    CoTaskMemFree(list);
    std::string gbk;
    return found && to_gbk(path, gbk) && copy_out(gbk, out, capacity);
}

CharsetStep gbk_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity) {
    CharsetStep step{0, 0, 0};
    // One character by hand; false when the input ends inside it.
    auto decode_one = [&]() {
        const unsigned char lead = in[step.consumed];
        if (lead < 0x80) {
            out[step.produced++] = lead;
            ++step.consumed;
            return true;
        }
        if (!is_gbk_lead(lead)) {  // 0x80 and 0xFF start no GBK character
            ++step.consumed, ++step.dropped;
            return true;
        }
        if (step.consumed + 1 == length) return false;
        wchar_t unit = 0;
        const char* pair = reinterpret_cast<const char*>(in + step.consumed);
        if (MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, pair, 2, &unit, 1) == 1) {
            out[step.produced++] = static_cast<char16_t>(unit);
            step.consumed += 2;
        } else {  // a bad trail byte: leave out the lead byte only, as iconv does
            ++step.consumed, ++step.dropped;
        }
        return true;
    };

    while (step.consumed < length && step.produced < capacity) {
        // A run of characters well formed by shape (ASCII, or a lead byte and
        // a trail byte), one UTF-16 unit each, goes through one call.
        size_t end = step.consumed;
        size_t chars = 0;
        while (end < length && chars < capacity - step.produced && chars < 65536) {
            const unsigned char c = in[end];
            if (c < 0x80) {
                ++end;
            } else if (is_gbk_lead(c) && end + 1 < length && in[end + 1] >= 0x40 &&
                       in[end + 1] != 0x7F && in[end + 1] != 0xFF) {
                end += 2;
            } else {
                break;
            }
            ++chars;
        }
        if (chars == 0) {
            if (!decode_one()) break;
            continue;
        }
        auto* dst = reinterpret_cast<wchar_t*>(out + step.produced);
        const char* src = reinterpret_cast<const char*>(in + step.consumed);
        const int bytes = static_cast<int>(end - step.consumed);
        if (MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, src, bytes, dst,
                                static_cast<int>(chars)) == static_cast<int>(chars)) {
            step.consumed = end;
            step.produced += chars;
            continue;
        }
        // Some pair in the run has no mapping: take this run a character at a time.
        while (step.consumed < end && step.produced < capacity && decode_one()) {
        }
    }
    return step;
}

CharsetStep gbk_encode(const char16_t* in, size_t count, char* out, size_t capacity) {
    CharsetStep step{0, 0, 0};
    // Whole runs go through one call when every character maps and fits; a
    // run with a gap or at the end of the room is redone character by character.
    constexpr size_t RUN = 1024;
    while (step.consumed < count) {
        const size_t run = count - step.consumed < RUN ? count - step.consumed : RUN;
        const auto* src = reinterpret_cast<const wchar_t*>(in + step.consumed);
        const size_t room = capacity - step.produced;
        BOOL lossy = FALSE;
        const int needed = WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, src,
                                               static_cast<int>(run), nullptr, 0, nullptr, &lossy);
        if (needed > 0 && !lossy && static_cast<size_t>(needed) <= room) {
            WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, src, static_cast<int>(run),
                                out + step.produced, needed, nullptr, nullptr);
            step.consumed += run;
            step.produced += static_cast<size_t>(needed);
            continue;
        }
        for (size_t i = 0; i < run; ++i) {
            char bytes[4];
            lossy = FALSE;
            const int n = WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, src + i, 1,
                                              bytes, sizeof bytes, nullptr, &lossy);
            if (n <= 0 || lossy) {
                ++step.consumed, ++step.dropped;
                continue;
            }
            if (static_cast<size_t>(n) > capacity - step.produced) return step;
            std::memcpy(out + step.produced, bytes, static_cast<size_t>(n));
            step.produced += static_cast<size_t>(n);
            ++step.consumed;
        }
    }
    return step;
}

// The C runtime hands main() its arguments in the ANSI code page, which on
// the Chinese Windows our sellers run is GBK already.
char* argument_to_gbk(const char* argument) {
    return xstrdup(argument);
}

void write_console(FILE* stream, const char* text) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    std::wstring wide;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) && to_wide(text, wide)) {
        std::fflush(stream);
        DWORD written = 0;
        WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fputs(text, stream);  // redirected: GBK bytes, the system's own encoding
}

bool is_terminal(FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

void local_time(time_t when, struct tm* out) {
    localtime_s(out, &when);
}

double monotonic_seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

}  // namespace platform
