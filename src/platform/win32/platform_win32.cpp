// Windows implementation of the platform boundary. Paths go to the wide (W)
// file APIs after an exact GB18030 -> UTF-16 conversion, so they work
// whatever the system's ANSI code page is and may hold any name; GBK (code
// page 936) is GB18030's two-byte half.
#include <shlobj.h>
#include <windows.h>

#include <shellapi.h>

#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/gbk.h"
#include "base/memory.h"
#include "platform/platform.h"
#include "platform/win32/native_path.h"

namespace platform {
namespace {

constexpr UINT GBK_CODE_PAGE = 936;

// A path of the program (GB18030, so that any name can be carried; a GBK
// path is the same bytes) as UTF-16 for the wide calls. Exact: false rather
// than a mangled name.
bool to_wide(const char* text, std::wstring& out) {
    if (text == nullptr || *text == '\0') return false;
    const size_t length = std::strlen(text);
    std::u16string wide(length, u'\0');
    const CharsetStep step = gb18030_decode(reinterpret_cast<const unsigned char*>(text), length,
                                            wide.data(), wide.size());
    if (step.consumed != length || step.dropped != 0 || step.truncated) return false;
    out.assign(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(step.produced));
    return true;
}

// A wide name as the program's GB18030 text; false when a unit cannot be
// carried, so a name is never altered.
bool to_text(const wchar_t* text, std::string& out) {
    const size_t length = wcslen(text);
    const std::u16string wide(text, text + length);
    out.assign(length * 4 + 1, '\0');
    const CharsetStep step = gb18030_encode(wide.data(), length, out.data(), out.size());
    if (step.consumed != length || step.dropped != 0) return false;
    out.resize(step.produced);
    return true;
}

bool copy_out(const std::string& text, char* out, size_t capacity) {
    if (text.size() + 1 > capacity) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

bool to_native_path(const char* path, std::wstring& out) {
    return to_wide(path, out);
}

bool from_native_path(const wchar_t* native, std::string& text) {
    return to_text(native, text);
}

bool is_path_separator(char c) {
    return c == '\\' || c == '/';
}

FILE* open_file(const char* path, const char* mode) {
    std::wstring wide_path;
    std::wstring wide_mode(mode, mode + std::strlen(mode));
    if (!to_wide(path, wide_path)) {
        note_file_error(ERROR_NO_UNICODE_TRANSLATION);
        return nullptr;
    }
    _doserrno = 0;
    FILE* file = _wfopen(wide_path.c_str(), wide_mode.c_str());
    // The C runtime keeps the system's own error code beside errno.
    if (file == nullptr) note_file_error(_doserrno != 0 ? _doserrno : GetLastError());
    return file;
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
    std::string text;
    if (!to_text(module, text)) return false;
    std::string folder(text.size() + 1, '\0');
    if (!folder_of_executable(text.c_str(), folder.data(), folder.size())) return false;
    return copy_out(folder.c_str(), out, capacity);
}

bool desktop_folder(char* out, size_t capacity) {
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list)) || list == nullptr)
        return false;
    wchar_t path[MAX_PATH];
    const BOOL found = SHGetPathFromIDListW(list, path);
    CoTaskMemFree(list);
    std::string text;
    return found && to_text(path, text) && copy_out(text, out, capacity);
}

namespace {

// Wine 8, under which the Windows build is tested, has no code page 54936,
// so GB18030 is put together here from its definition on top of code page
// 936: every two-byte code is GBK's (936 maps all 23940 of them); every other
// character of the BMP takes a four-byte form, numbered in code point order;
// the other planes follow the BMP's forms from U+10000 on. Only the few
// two-byte codes that GB18030-2005 moved differ from the standard, which
// nobody sees: the text leaves the program only as UTF-16.
constexpr uint32_t FOUR_BYTE_SUPPLEMENTARY_BASE = 189000;  // the form 90 30 81 30

// The BMP characters without a two-byte code, ascending: the four-byte
// form numbered n stands for entry n.
const std::vector<char16_t>& four_byte_bmp() {
    static const std::vector<char16_t> table = [] {
        std::vector<bool> two_byte(0x10000, false);
        for (int lead = 0x81; lead <= 0xFE; ++lead) {
            for (int trail = 0x40; trail <= 0xFE; ++trail) {
                const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                wchar_t unit = 0;
                if (MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, pair, 2, &unit, 1) ==
                    1) {
                    two_byte[unit] = true;
                }
            }
        }
        std::vector<char16_t> rest;
        rest.reserve(39420);
        for (uint32_t c = 0x80; c <= 0xFFFF; ++c) {
            if ((c < 0xD800 || c > 0xDFFF) && !two_byte[c])
                rest.push_back(static_cast<char16_t>(c));
        }
        return rest;
    }();
    return table;
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool is_high_surrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(wchar_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void four_byte_form(uint32_t number, char* out) {
    out[3] = static_cast<char>('0' + number % 10);
    number /= 10;
    out[2] = static_cast<char>(0x81 + number % 126);
    number /= 126;
    out[1] = static_cast<char>('0' + number % 10);
    out[0] = static_cast<char>(0x81 + number / 10);
}

// The code point of a four-byte form, or 0 when it stands for none.
uint32_t four_byte_code_point(const unsigned char* form) {
    const uint32_t number =
        ((static_cast<uint32_t>(form[0] - 0x81) * 10 + (form[1] - '0')) * 126 + (form[2] - 0x81)) *
            10 +
        (form[3] - '0');
    if (number >= LONE_SURROGATE_FORM_BASE && number < LONE_SURROGATE_FORM_BASE + 0x800)
        return 0xD800 + (number - LONE_SURROGATE_FORM_BASE);  // half a pair (platform.h)
    const std::vector<char16_t>& bmp = four_byte_bmp();
    if (number < bmp.size()) return bmp[number];
    if (number < FOUR_BYTE_SUPPLEMENTARY_BASE) return 0;
    const uint32_t c = number - FOUR_BYTE_SUPPLEMENTARY_BASE + 0x10000;
    return c <= 0x10FFFF ? c : 0;
}

enum class Step { Done, Truncated, Full };

// One character at `step.consumed` by hand. A byte that starts no character
// is left out alone, as iconv does.
Step decode_one(bool gb18030, const unsigned char* in, size_t length, char16_t* out,
                size_t capacity, CharsetStep& step) {
    const unsigned char lead = in[step.consumed];
    if (lead < 0x80) {
        out[step.produced++] = lead;
        ++step.consumed;
        return Step::Done;
    }
    if (gb18030 && lead == 0x80) {  // GBK's euro sign, no GB18030 sequence
        out[step.produced++] = u'\u20AC';
        ++step.consumed;
        return Step::Done;
    }
    if (!is_gbk_lead(lead)) {  // 0x80 and 0xFF start no GBK character
        ++step.consumed, ++step.dropped;
        return Step::Done;
    }
    if (step.consumed + 1 == length) return Step::Truncated;
    if (gb18030 && is_digit(in[step.consumed + 1])) {
        const unsigned char* form = in + step.consumed;
        const size_t have = length - step.consumed;
        if ((have > 2 && !is_gbk_lead(form[2])) || (have > 3 && !is_digit(form[3]))) {
            ++step.consumed, ++step.dropped;
            return Step::Done;
        }
        if (have < 4) return Step::Truncated;
        const uint32_t c = four_byte_code_point(form);
        if (c == 0) {
            ++step.consumed, ++step.dropped;
            return Step::Done;
        }
        if (c > 0xFFFF) {
            if (capacity - step.produced < 2) return Step::Full;
            out[step.produced++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[step.produced++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[step.produced++] = static_cast<char16_t>(c);
        }
        step.consumed += 4;
        return Step::Done;
    }
    wchar_t unit = 0;
    const char* pair = reinterpret_cast<const char*>(in + step.consumed);
    if (MultiByteToWideChar(GBK_CODE_PAGE, MB_ERR_INVALID_CHARS, pair, 2, &unit, 1) == 1) {
        out[step.produced++] = static_cast<char16_t>(unit);
        step.consumed += 2;
    } else {  // a bad trail byte: leave out the lead byte only, as iconv does
        ++step.consumed, ++step.dropped;
    }
    return Step::Done;
}

CharsetStep decode_multibyte(bool gb18030, const unsigned char* in, size_t length, char16_t* out,
                             size_t capacity) {
    CharsetStep step{0, 0, 0, false};
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
            const Step one = decode_one(gb18030, in, length, out, capacity, step);
            step.truncated = one == Step::Truncated;
            if (one != Step::Done) break;
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
        while (step.consumed < end && step.produced < capacity &&
               decode_one(gb18030, in, length, out, capacity, step) == Step::Done) {
        }
    }
    return step;
}

// One character at `in[i]` as GBK or GB18030 bytes; the number of bytes, 0
// when it has none. `units` is how many UTF-16 units it took.
int encode_one(bool gb18030, const wchar_t* in, size_t i, size_t count, char* bytes,
               size_t* units) {
    *units = 1;
    if (is_high_surrogate(in[i]) && i + 1 < count && is_low_surrogate(in[i + 1])) {
        *units = 2;
        if (!gb18030) return 0;
        const uint32_t c = 0x10000 + ((in[i] - 0xD800u) << 10) + (in[i + 1] - 0xDC00u);
        four_byte_form(c - 0x10000 + FOUR_BYTE_SUPPLEMENTARY_BASE, bytes);
        return 4;
    }
    if (is_high_surrogate(in[i]) || is_low_surrogate(in[i])) {
        if (!gb18030) return 0;
        four_byte_form(LONE_SURROGATE_FORM_BASE + (in[i] - 0xD800u), bytes);  // platform.h
        return 4;
    }
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, in + i, 1, bytes, 4,
                                      nullptr, &lossy);
    // In GB18030 only ASCII is a single byte: 936's 0x80 (euro) and 0xFF are not.
    if (n > 0 && !lossy && (!gb18030 || n == 2 || in[i] < 0x80)) return n;
    if (!gb18030) return 0;
    const std::vector<char16_t>& bmp = four_byte_bmp();
    const auto found = std::lower_bound(bmp.begin(), bmp.end(), static_cast<char16_t>(in[i]));
    if (found == bmp.end() || *found != in[i]) return 0;
    four_byte_form(static_cast<uint32_t>(found - bmp.begin()), bytes);
    return 4;
}

CharsetStep encode_multibyte(bool gb18030, const char16_t* in, size_t count, char* out,
                             size_t capacity) {
    CharsetStep step{0, 0, 0, false};
    // Whole runs go through one call when every character maps to ASCII or a
    // two-byte code and fits; any other run is redone character by character.
    constexpr size_t RUN = 1024;
    const auto* wide = reinterpret_cast<const wchar_t*>(in);
    while (step.consumed < count) {
        size_t run = count - step.consumed < RUN ? count - step.consumed : RUN;
        // A surrogate pair is never cut between two runs.
        if (run > 1 && is_high_surrogate(wide[step.consumed + run - 1])) --run;
        const wchar_t* src = wide + step.consumed;
        size_t expected = 0;
        for (size_t i = 0; i < run; ++i) expected += src[i] < 0x80 ? 1 : 2;
        const size_t room = capacity - step.produced;
        BOOL lossy = FALSE;
        const int needed = WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, src,
                                               static_cast<int>(run), nullptr, 0, nullptr, &lossy);
        if (needed > 0 && !lossy && static_cast<size_t>(needed) <= room &&
            (!gb18030 || static_cast<size_t>(needed) == expected)) {
            WideCharToMultiByte(GBK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, src, static_cast<int>(run),
                                out + step.produced, needed, nullptr, nullptr);
            step.consumed += run;
            step.produced += static_cast<size_t>(needed);
            continue;
        }
        const size_t end = step.consumed + run;
        while (step.consumed < end) {
            char bytes[4];
            size_t units = 1;
            const int n = encode_one(gb18030, wide, step.consumed, count, bytes, &units);
            if (n == 0) {
                step.consumed += units, ++step.dropped;
                continue;
            }
            if (static_cast<size_t>(n) > capacity - step.produced) return step;
            std::memcpy(out + step.produced, bytes, static_cast<size_t>(n));
            step.produced += static_cast<size_t>(n);
            step.consumed += units;
        }
    }
    return step;
}

// Text as UTF-16 for display, decoded as GB18030; what is no character is
// left out, and half a surrogate pair shows as U+FFFD.
std::wstring display_wide(const char* text) {
    const size_t length = std::strlen(text);
    std::wstring wide(length, L'\0');  // no character gives more units than it has bytes
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const CharsetStep step =
        decode_multibyte(true, bytes, length, reinterpret_cast<char16_t*>(wide.data()), length);
    wide.resize(step.produced);
    for (size_t i = 0; i < wide.size(); ++i) {
        if (is_high_surrogate(wide[i]) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1])) {
            ++i;
        } else if (is_high_surrogate(wide[i]) || is_low_surrogate(wide[i])) {
            wide[i] = L'\uFFFD';
        }
    }
    return wide;
}

}  // namespace

CharsetStep gbk_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity) {
    return decode_multibyte(false, in, length, out, capacity);
}

CharsetStep gbk_encode(const char16_t* in, size_t count, char* out, size_t capacity) {
    return encode_multibyte(false, in, count, out, capacity);
}

CharsetStep gb18030_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity) {
    return decode_multibyte(true, in, length, out, capacity);
}

CharsetStep gb18030_encode(const char16_t* in, size_t count, char* out, size_t capacity) {
    return encode_multibyte(true, in, count, out, capacity);
}

// Arguments come from utf8_arguments: the ANSI argv of the C runtime has
// already lost what the code page lacks.
char* argument_to_text(const char* argument) {
    const int length = static_cast<int>(std::strlen(argument));
    if (length == 0) return xstrdup("");
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, argument, length, nullptr, 0);
    if (needed <= 0) return nullptr;
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, argument, length, wide.data(), needed);
    std::string text;
    if (!to_text(wide.c_str(), text)) return nullptr;
    return xstrdup(text.c_str());
}

namespace {

// A console stream whose write failed once (its console closed, its pipe's
// reader gone) takes nothing more: a job's output is never worth its work.
std::atomic<bool> lostStreams[3];

bool stream_lost(FILE* stream) {
    const int fd = _fileno(stream);
    return std::ferror(stream) != 0 || (fd >= 0 && fd < 3 && lostStreams[fd].load());
}

void write_wide(FILE* stream, HANDLE handle, const std::wstring& wide) {
    std::fflush(stream);
    DWORD written = 0;
    if (WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr) ==
        0) {
        const int fd = _fileno(stream);
        if (fd >= 0 && fd < 3) lostStreams[fd].store(true);
    }
}

}  // namespace

void write_console(FILE* stream, const char* text) {
    if (stream_lost(stream)) return;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        write_wide(stream, handle, display_wide(text));
        return;
    }
    // Redirected: the bytes as they are, GBK (the system's own encoding) but
    // for characters of a package that GBK lacks.
    std::fputs(text, stream);
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

int terminal_width(FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void write_console_utf8(FILE* stream, const char* text, size_t length) {
    if (stream_lost(stream)) return;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (length > 0 && length < 0x7FFFFFFF && handle != INVALID_HANDLE_VALUE &&
        GetConsoleMode(handle, &mode)) {
        // UTF-16 through the console's own call: readable whatever code page
        // the console was left in, with no change to it that could outlive us.
        const int count = static_cast<int>(length);
        const int needed = MultiByteToWideChar(CP_UTF8, 0, text, count, nullptr, 0);
        if (needed > 0) {
            std::wstring wide(static_cast<size_t>(needed), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, text, count, wide.data(), needed);
            write_wide(stream, handle, wide);
            return;
        }
    }
    std::fwrite(text, 1, length, stream);
}

AbsoluteResult absolute_path(const char* path, char* out, size_t capacity) {
    std::wstring wide;
    if (!to_wide(path, wide)) return AbsoluteResult::Unrepresentable;
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return AbsoluteResult::Unrepresentable;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return AbsoluteResult::Unrepresentable;
    full.resize(length);
    std::string text;
    if (!to_text(full.c_str(), text)) return AbsoluteResult::Unrepresentable;
    if (text.size() + 1 > capacity) return AbsoluteResult::TooLong;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return AbsoluteResult::Done;
}

namespace {

char* wide_to_utf8(const wchar_t* text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    char* out = static_cast<char*>(xmalloc(needed > 0 ? static_cast<size_t>(needed) : 1));
    out[0] = '\0';
    if (needed > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, out, needed, nullptr, nullptr);
    return out;
}

}  // namespace

char** utf8_arguments(int argc, char** argv) {
    // Kept for the whole run, like the C runtime's own argv.
    char** out = static_cast<char**>(xmalloc((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; i < argc; ++i) {
        if (wide != nullptr && count == argc) {
            out[i] = wide_to_utf8(wide[i]);
        } else {  // the runtime's reading, in the ANSI code page, as a last resort
            std::wstring text(std::strlen(argv[i]) + 1, L'\0');
            const int length = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, text.data(),
                                                   static_cast<int>(text.size()));
            text.resize(length > 0 ? static_cast<size_t>(length) : 1);
            out[i] = wide_to_utf8(text.c_str());
        }
    }
    out[argc] = nullptr;
    if (wide != nullptr) LocalFree(wide);
    return out;
}

}  // namespace platform
