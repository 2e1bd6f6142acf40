// POSIX implementation of the platform boundary: glibc iconv for GBK, UTF-8
// file names, XDG folders.
#include <errno.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/native_path.h"
#include "shell/memory.h"

namespace platform {
namespace {

constexpr const char* HOST_UCS2 =
    std::endian::native == std::endian::little ? "UCS-2LE" : "UCS-2BE";

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
    thread_local Iconv gbk_to_ucs2(HOST_UCS2, "GBK");
    thread_local Iconv ucs2_to_gbk("GBK", HOST_UCS2);
    thread_local Iconv gbk_to_utf8("UTF-8", "GBK");
    thread_local Iconv utf8_to_gbk("GBK", "UTF-8");
    if (std::strcmp(from, "GBK") == 0)
        return std::strcmp(to, "UTF-8") == 0 ? gbk_to_utf8 : gbk_to_ucs2;
    return std::strcmp(from, "UTF-8") == 0 ? utf8_to_gbk : ucs2_to_gbk;
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
    out.assign(left * 4 + 4, '\0');  // GBK to UTF-8 at most triples; UTF-8 to GBK shrinks
    char* src = const_cast<char*>(in);
    char* dst = out.data();
    size_t room = out.size();
    while (iconv(cv.cd, &src, &left, &dst, &room) == static_cast<size_t>(-1)) {
        if (!lossy || errno == E2BIG) return false;
        if (left == 0) break;
        ++src;
        --left;
    }
    out.resize(out.size() - room);
    return true;
}

bool native_path(const char* path, std::string& out) {
    if (path == nullptr || *path == '\0') return false;
    return convert_string("UTF-8", "GBK", path, out);
}

bool copy_out(const std::string& utf8, char* out, size_t capacity) {
    std::string gbk;
    if (!convert_string("GBK", "UTF-8", utf8.c_str(), gbk)) return false;
    if (gbk.size() + 1 > capacity) return false;
    std::memcpy(out, gbk.c_str(), gbk.size() + 1);
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

bool from_native_path(const std::string& native, std::string& gbk) {
    return convert_string("GBK", "UTF-8", native.c_str(), gbk);
}

bool is_path_separator(char c) {
    return c == '/';
}

FILE* open_file(const char* path, const char* mode) {
    std::string native;
    if (!native_path(path, native)) return nullptr;
    return std::fopen(native.c_str(), mode);
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

CharsetStep gbk_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity) {
    CharsetStep step{0, 0, 0};
    Iconv& cv = converter(HOST_UCS2, "GBK");
    while (step.consumed < length && step.produced < capacity) {
        // Package text is mostly ASCII markup: copy it without iconv.
        while (step.consumed < length && step.produced < capacity && in[step.consumed] < 0x80) {
            out[step.produced++] = in[step.consumed++];
        }
        if (step.consumed == length || step.produced == capacity) break;

        // The run of double-byte characters up to the next ASCII character.
        // A trail byte may be ASCII, so the run is walked pair by pair.
        size_t end = step.consumed;
        while (end < length && in[end] >= 0x80) end += (end + 1 < length) ? 2 : 1;
        cv.reset();
        char* src = reinterpret_cast<char*>(const_cast<unsigned char*>(in + step.consumed));
        char* dst = reinterpret_cast<char*>(out + step.produced);
        size_t left = end - step.consumed;
        size_t room = (capacity - step.produced) * sizeof(char16_t);
        const size_t room_before = room;
        bool stalled = false;
        while (left > 0) {
            if (iconv(cv.cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) break;
            if (errno == EILSEQ) {  // not a GBK character: leave out one byte and go on
                ++src;
                --left;
                ++step.dropped;
                continue;
            }
            stalled = true;  // E2BIG: output full; EINVAL: input ends inside a character
            break;
        }
        step.consumed = end - left;
        step.produced += (room_before - room) / sizeof(char16_t);
        if (stalled) break;
    }
    return step;
}

CharsetStep gbk_encode(const char16_t* in, size_t count, char* out, size_t capacity) {
    CharsetStep step{0, 0, 0};
    Iconv& cv = converter("GBK", HOST_UCS2);
    cv.reset();
    char* src = reinterpret_cast<char*>(const_cast<char16_t*>(in));
    char* dst = out;
    size_t left = count * sizeof(char16_t);
    size_t room = capacity;
    while (left > 0) {
        if (iconv(cv.cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) break;
        if (errno == EILSEQ && left >= sizeof(char16_t)) {  // no GBK mapping: leave it out
            src += sizeof(char16_t);
            left -= sizeof(char16_t);
            ++step.dropped;
            continue;
        }
        break;
    }
    step.consumed = (count * sizeof(char16_t) - left) / sizeof(char16_t);
    step.produced = capacity - room;
    return step;
}

char* argument_to_gbk(const char* argument) {
    std::string gbk;
    if (!convert_string("GBK", "UTF-8", argument, gbk)) return nullptr;
    return xstrdup(gbk.c_str());
}

void write_console(FILE* stream, const char* text) {
    std::string utf8;
    if (convert_string("UTF-8", "GBK", text, utf8, true)) std::fputs(utf8.c_str(), stream);
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

}  // namespace platform
