// POSIX implementation of the platform boundary: glibc iconv for GBK and
// GB18030, UTF-8 file names, XDG folders.
#include <errno.h>
#include <iconv.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/gbk.h"
#include "base/memory.h"
#include "platform/platform.h"
#include "platform/posix/native_path.h"

namespace platform {
namespace {

// UTF-16 rather than UCS-2, so that iconv takes and gives surrogate pairs.
constexpr const char* HOST_UTF16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// One descriptor per direction and thread, opened on first use: iconv_open
// is far too slow to pay for every chunk of a 100 MB package.
struct Iconv {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
    void reset() { iconv(cd, nullptr, nullptr, nullptr, nullptr); }
};

Iconv& converter(const char* to, const char* from) {
    thread_local Iconv gbk_to_utf16(HOST_UTF16, "GBK");
    thread_local Iconv utf16_to_gbk("GBK", HOST_UTF16);
    thread_local Iconv gb18030_to_utf16(HOST_UTF16, "GB18030");
    thread_local Iconv utf16_to_gb18030("GB18030", HOST_UTF16);
    thread_local Iconv gbk_to_utf8("UTF-8", "GBK");
    thread_local Iconv gb18030_to_utf8("UTF-8", "GB18030");
    if (std::strcmp(from, "GBK") == 0)
        return std::strcmp(to, "UTF-8") == 0 ? gbk_to_utf8 : gbk_to_utf16;
    if (std::strcmp(from, "GB18030") == 0)
        return std::strcmp(to, "UTF-8") == 0 ? gb18030_to_utf8 : gb18030_to_utf16;
    return std::strcmp(to, "GB18030") == 0 ? utf16_to_gb18030 : utf16_to_gbk;
}

// glibc (2.36) follows GB18030-2005 in giving the two-byte and four-byte codes
// of these private-use characters to standard characters, but gives them no
// codes of their own. They take four-byte forms just past the BMP's, which no
// character uses, so that they too survive a job.
constexpr char16_t PRIVATE_USE_WITHOUT_FORM[] = {
    0xE78D, 0xE78E, 0xE78F, 0xE790, 0xE791, 0xE792, 0xE793, 0xE794, 0xE795, 0xE796, 0xE816, 0xE817,
    0xE818, 0xE81E, 0xE826, 0xE82B, 0xE82C, 0xE831, 0xE832, 0xE83B, 0xE843, 0xE854, 0xE855, 0xE864,
};
constexpr uint32_t FIRST_FORM_PAST_BMP = 39420;  // the form 84 31 A5 30

void four_byte_form(uint32_t number, char* out) {
    out[3] = static_cast<char>('0' + number % 10);
    number /= 10;
    out[2] = static_cast<char>(0x81 + number % 126);
    number /= 126;
    out[1] = static_cast<char>('0' + number % 10);
    out[0] = static_cast<char>(0x81 + number / 10);
}

void private_use_form(size_t index, char* out) {
    four_byte_form(FIRST_FORM_PAST_BMP + static_cast<uint32_t>(index), out);
}

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// The half of a surrogate pair that the four bytes at `src` carry, or 0.
char16_t lone_surrogate(const char* src) {
    const auto* form = reinterpret_cast<const unsigned char*>(src);
    auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    if (form[0] < 0x81 || form[0] == 0xFF || !digit(form[1]) || form[2] < 0x81 || form[2] == 0xFF ||
        !digit(form[3])) {
        return 0;
    }
    const uint32_t number =
        ((static_cast<uint32_t>(form[0] - 0x81) * 10 + (form[1] - '0')) * 126 + (form[2] - 0x81)) *
            10 +
        (form[3] - '0');
    if (number < LONE_SURROGATE_FORM_BASE || number >= LONE_SURROGATE_FORM_BASE + 0x800) return 0;
    return static_cast<char16_t>(0xD800 + (number - LONE_SURROGATE_FORM_BASE));
}

// A character at `src` that glibc's GB18030 does not read: GBK's euro sign
// (0x80, which GB18030 writes with two bytes), one of the forms above, or
// half a surrogate pair (platform.h). Stores the bytes it takes in `*taken`;
// 0 when there is none.
char16_t own_character(const char* src, size_t left, size_t* taken) {
    *taken = 1;
    if (left >= 1 && *src == '\x80') return u'\u20AC';
    *taken = 4;
    for (size_t i = 0; i < std::size(PRIVATE_USE_WITHOUT_FORM) && left >= 4; ++i) {
        char form[4];
        private_use_form(i, form);
        if (std::memcmp(src, form, 4) == 0) return PRIVATE_USE_WITHOUT_FORM[i];
    }
    return left >= 4 ? lone_surrogate(src) : 0;
}

// Converts a whole NUL-terminated string. Exact by default: false on any
// byte that has no mapping, so callers never act on a silently altered name.
// A lossy conversion leaves such bytes out instead.
bool convert_string(const char* to, const char* from, const char* in, std::string& out,
                    bool lossy = false) {
    Iconv& cv = converter(to, from);
    if (!cv.ok()) return false;
    cv.reset();
    size_t left = std::strlen(in);
    // GBK to UTF-8 at most triples, GB18030's four-byte forms stay four bytes;
    // UTF-8 to GBK shrinks.
    out.assign(left * 4 + 4, '\0');
    char* src = const_cast<char*>(in);
    char* dst = out.data();
    size_t room = out.size();
    const bool gb18030 = std::strcmp(from, "GB18030") == 0;
    while (iconv(cv.cd, &src, &left, &dst, &room) == static_cast<size_t>(-1)) {
        if (!lossy || errno == E2BIG) return false;
        if (left == 0) break;
        size_t taken = 0;
        char16_t own = gb18030 ? own_character(src, left, &taken) : 0;
        if (is_surrogate(own)) own = u'\uFFFD';  // text to show: half a pair is no character
        if (own != 0 && room >= 3) {  // the target is UTF-8; every kind takes three bytes
            *dst++ = static_cast<char>(0xE0 | own >> 12);
            *dst++ = static_cast<char>(0x80 | (own >> 6 & 0x3F));
            *dst++ = static_cast<char>(0x80 | (own & 0x3F));
            room -= 3;
            src += taken;
            left -= taken;
            continue;
        }
        ++src;
        --left;
    }
    out.resize(out.size() - room);
    return true;
}

// Strict UTF-8 to UTF-16: false for a malformed sequence, an overlong form
// or an encoded surrogate, so a name is never silently altered.
bool utf8_to_utf16(const std::string& in, std::u16string& out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        const auto lead = static_cast<unsigned char>(in[i]);
        const int extra = lead < 0x80                    ? 0
                          : lead >= 0xC2 && lead <= 0xDF ? 1
                          : lead >= 0xE0 && lead <= 0xEF ? 2
                          : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                         : -1;
        if (extra < 0 || in.size() - i <= static_cast<size_t>(extra)) return false;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto trail = static_cast<unsigned char>(in[i + static_cast<size_t>(k)]);
            if ((trail & 0xC0) != 0x80) return false;
            code = code << 6 | (trail & 0x3F);
        }
        static constexpr uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
        if (code < SMALLEST[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

// UTF-16 to UTF-8; false for an unpaired surrogate, which no file name here holds.
bool utf16_to_utf8(const char16_t* in, size_t count, std::string& out) {
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = in[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

// A path of the program (GB18030, so that any name can be carried; a GBK
// path is the same bytes) as the file system's UTF-8 name. Exact: false
// rather than a mangled name. Through the program's own GB18030 converter,
// so a name and its way back agree on every character.
bool native_path(const char* path, std::string& out) {
    if (path == nullptr || *path == '\0') return false;
    const size_t length = std::strlen(path);
    std::u16string wide(length, u'\0');
    const CharsetStep step = gb18030_decode(reinterpret_cast<const unsigned char*>(path), length,
                                            wide.data(), wide.size());
    if (step.consumed != length || step.dropped != 0 || step.truncated) return false;
    return utf16_to_utf8(wide.data(), step.produced, out);
}

// A UTF-8 name of the file system as the program's GB18030 text.
bool program_path(const std::string& utf8, std::string& out) {
    std::u16string wide;
    if (!utf8_to_utf16(utf8, wide)) return false;
    out.assign(wide.size() * 4 + 1, '\0');
    const CharsetStep step = gb18030_encode(wide.data(), wide.size(), out.data(), out.size());
    if (step.consumed != wide.size() || step.dropped != 0) return false;
    out.resize(step.produced);
    return true;
}

bool copy_out(const std::string& utf8, char* out, size_t capacity) {
    std::string text;
    if (!program_path(utf8, text)) return false;
    if (text.size() + 1 > capacity) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool make_directories(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool to_native_path(const char* path, std::string& out) {
    return native_path(path, out);
}

bool from_native_path(const std::string& native, std::string& text) {
    return program_path(native, text);
}

bool is_path_separator(char c) {
    return c == '/';
}

FILE* open_file(const char* path, const char* mode) {
    std::string native;
    if (!native_path(path, native)) {
        note_file_error(EILSEQ);
        return nullptr;
    }
    FILE* file = std::fopen(native.c_str(), mode);
    if (file == nullptr) note_file_error(errno);
    return file;
}

PathKind path_kind(const char* path) {
    std::string native;
    struct stat st {};
    if (!native_path(path, native) || stat(native.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    if (S_ISREG(st.st_mode)) return PathKind::File;
    return PathKind::Other;
}

bool make_directory(const char* path) {
    std::string native;
    return native_path(path, native) && mkdir(native.c_str(), 0755) == 0;
}

bool remove_file(const char* path) {
    std::string native;
    return native_path(path, native) && std::remove(native.c_str()) == 0;
}

bool program_folder(char* out, size_t capacity) {
    std::string folder = env("KELVANE_HOME");
    if (folder.empty()) {
        std::string state = env("XDG_STATE_HOME");
        if (state.empty()) {
            std::string home = env("HOME");
            if (home.empty()) return false;
            state = home + "/.local/state";
        }
        folder = state + "/kelvane";
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return make_directories(folder) && copy_out(folder, out, capacity);
}

bool desktop_folder(char* out, size_t capacity) {
    std::string folder = env("XDG_DESKTOP_DIR");
    if (folder.empty()) {
        std::string home = env("HOME");
        if (home.empty()) return false;
        folder = home + "/Desktop";
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return copy_out(folder, out, capacity);
}

namespace {

// The length of the character at `at` by its shape, the way iconv will read
// it: a lead byte, then one trail byte, or in GB18030 an ASCII digit that
// opens a four-byte form.
size_t shape_length(const unsigned char* in, size_t at, size_t length, bool gb18030) {
    if (!is_gbk_lead(in[at])) return 1;  // 0x80 or 0xFF: no character starts there
    if (gb18030 && at + 1 < length && in[at + 1] >= '0' && in[at + 1] <= '9') return 4;
    return 2;
}

CharsetStep decode_multibyte(bool gb18030, const unsigned char* in, size_t length, char16_t* out,
                             size_t capacity) {
    CharsetStep step{0, 0, 0, false};
    Iconv& cv = converter(HOST_UTF16, gb18030 ? "GB18030" : "GBK");
    while (step.consumed < length && step.produced < capacity) {
        // Package text is mostly ASCII markup: copy it without iconv.
        while (step.consumed < length && step.produced < capacity && in[step.consumed] < 0x80) {
            out[step.produced++] = in[step.consumed++];
        }
        if (step.consumed == length || step.produced == capacity) break;

        // The run of multi-byte characters up to the next ASCII character, or
        // as far as the output can take. A trail byte may be ASCII, so the run
        // is walked character by character.
        size_t end = step.consumed;
        for (size_t chars = step.produced; end < length && in[end] >= 0x80 && chars < capacity;
             ++chars) {
            end += shape_length(in, end, length, gb18030);
        }
        if (end > length) end = length;
        cv.reset();
        char* src = reinterpret_cast<char*>(const_cast<unsigned char*>(in + step.consumed));
        char* dst = reinterpret_cast<char*>(out + step.produced);
        size_t left = end - step.consumed;
        size_t room = (capacity - step.produced) * sizeof(char16_t);
        const size_t room_before = room;
        bool stalled = false;
        while (left > 0) {
            const char* before = src;
            if (iconv(cv.cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) break;
            size_t taken = 0;
            const char16_t own = errno == EILSEQ && gb18030 ? own_character(src, left, &taken) : 0;
            if (own != 0) {
                if (room < sizeof own) {
                    stalled = true;
                    break;
                }
                std::memcpy(dst, &own, sizeof own);
                dst += sizeof own;
                room -= sizeof own;
                src += taken, left -= taken;
                continue;
            }
            // A run that ends inside a character iconv reads longer than its
            // shape said (only in broken input): go on from where it stopped.
            if (errno == EINVAL && end < length && src != before) break;
            if (errno == EILSEQ || (errno == EINVAL && end < length)) {
                ++src, --left;  // not a character: leave out one byte and go on
                ++step.dropped;
                continue;
            }
            // E2BIG: output full (a surrogate pair is never split);
            // EINVAL: the input ends inside a character.
            stalled = true;
            step.truncated = errno == EINVAL;
            break;
        }
        step.consumed = end - left;
        step.produced += (room_before - room) / sizeof(char16_t);
        if (stalled) break;
    }
    return step;
}

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

CharsetStep encode_multibyte(bool gb18030, const char16_t* in, size_t count, char* out,
                             size_t capacity) {
    CharsetStep step{0, 0, 0, false};
    Iconv& cv = converter(gb18030 ? "GB18030" : "GBK", HOST_UTF16);
    while (step.consumed < count) {
        // ASCII is the same byte in both sets.
        while (step.consumed < count && step.produced < capacity && in[step.consumed] < 0x80) {
            out[step.produced++] = static_cast<char>(in[step.consumed++]);
        }
        if (step.consumed == count || step.produced == capacity) break;

        size_t end = step.consumed;
        while (end < count && in[end] >= 0x80) ++end;
        cv.reset();
        char* src = reinterpret_cast<char*>(const_cast<char16_t*>(in + step.consumed));
        char* dst = out + step.produced;
        size_t left = (end - step.consumed) * sizeof(char16_t);
        size_t room = capacity - step.produced;
        bool full = false;
        while (left > 0) {
            if (iconv(cv.cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) {
                full = true;
                break;
            }
            // EILSEQ: no mapping, or an unpaired surrogate; EINVAL: a high
            // surrogate at the end of the run, which has no partner either.
            // A whole pair is one character left out.
            char16_t units[2] = {0, 0};
            std::memcpy(units, src, left >= sizeof units ? sizeof units : sizeof(char16_t));
            const bool pair =
                left >= sizeof units && is_high_surrogate(units[0]) && is_low_surrogate(units[1]);
            const char16_t* own = std::find(std::begin(PRIVATE_USE_WITHOUT_FORM),
                                            std::end(PRIVATE_USE_WITHOUT_FORM), units[0]);
            const bool carried =
                own != std::end(PRIVATE_USE_WITHOUT_FORM) || (is_surrogate(units[0]) && !pair);
            if (gb18030 && carried) {
                if (room < 4) {
                    full = true;
                    break;
                }
                if (is_surrogate(units[0])) {
                    four_byte_form(LONE_SURROGATE_FORM_BASE + (units[0] - 0xD800u), dst);
                } else {
                    private_use_form(static_cast<size_t>(own - PRIVATE_USE_WITHOUT_FORM), dst);
                }
                dst += 4, room -= 4;
                src += sizeof(char16_t), left -= sizeof(char16_t);
                continue;
            }
            const size_t skip = pair ? 2 : 1;
            src += skip * sizeof(char16_t);
            left -= skip * sizeof(char16_t);
            ++step.dropped;
        }
        step.consumed = end - left / sizeof(char16_t);
        step.produced = capacity - room;
        if (full) break;
    }
    return step;
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

char* argument_to_text(const char* argument) {
    std::string text;
    if (!program_path(argument, text)) return nullptr;
    return xstrdup(text.c_str());
}

// A stream whose write or flush failed once (its reader gone, its terminal
// closed) takes nothing more: a job's output is never worth its work.
void write_console(FILE* stream, const char* text) {
    if (std::ferror(stream) != 0) return;
    std::string utf8;
    if (convert_string("UTF-8", "GB18030", text, utf8, true)) std::fputs(utf8.c_str(), stream);
}

bool is_terminal(FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

void local_time(time_t when, struct tm* out) {
    localtime_r(&when, out);
}

double monotonic_seconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int terminal_width(FILE* stream) {
    struct winsize size {};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void write_console_utf8(FILE* stream, const char* text, size_t length) {
    if (std::ferror(stream) == 0) std::fwrite(text, 1, length, stream);
}

AbsoluteResult absolute_path(const char* path, char* out, size_t capacity) {
    std::string native;
    if (!native_path(path, native)) return AbsoluteResult::Unrepresentable;
    if (native[0] != '/') {
        char* current = getcwd(nullptr, 0);
        if (current == nullptr) return AbsoluteResult::Unrepresentable;
        native = std::string(current) + "/" + native;
        std::free(current);
    }
    // Folded by the text, as a shell's cd does, so "pics/.." names the
    // folder the user sees, not where a symbolic link leads.
    std::string folded;
    size_t start = 0;
    while (start <= native.size()) {
        size_t end = native.find('/', start);
        if (end == std::string::npos) end = native.size();
        const std::string part = native.substr(start, end - start);
        if (part == "..") {
            const size_t slash = folded.rfind('/');
            folded.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            folded += "/" + part;
        }
        start = end + 1;
    }
    if (folded.empty()) folded = "/";
    std::string gbk;
    if (!from_native_path(folded, gbk)) return AbsoluteResult::Unrepresentable;
    if (gbk.size() + 1 > capacity) return AbsoluteResult::TooLong;
    std::memcpy(out, gbk.c_str(), gbk.size() + 1);
    return AbsoluteResult::Done;
}

char** utf8_arguments(int, char** argv) {
    return argv;
}

}  // namespace platform
