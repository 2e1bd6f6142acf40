// The one boundary between the portable core and the operating system.
// Everything the core needs from the OS goes through here, so every platform
// difference can be read in src/platform/ alone. Text crossing this boundary
// is GBK, like all text inside the program; implementations convert to what
// their OS wants (UTF-8 on POSIX, UTF-16 on Windows).
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

namespace platform {

#ifdef _WIN32
inline constexpr char PATH_SEPARATOR = '\\';
#else
inline constexpr char PATH_SEPARATOR = '/';
#endif

// True for every byte that separates folders in a path on this platform.
bool is_path_separator(char c);

// ---- Files and folders (GBK paths) -------------------------------------
// Each fails (nullptr / false) when the path cannot be expressed exactly in
// the OS's own encoding, so a mangled name never reaches the file system.
FILE* open_file(const char* path, const char* mode);
enum class PathKind { Missing, File, Directory, Other };
PathKind path_kind(const char* path);
bool make_directory(const char* path);
bool remove_file(const char* path);

// The folder that holds app.log and bak/. False when it cannot be found,
// created, or does not fit in `capacity` bytes with its NUL.
bool program_folder(char* out, size_t capacity);

// The user's desktop folder. False when it cannot be located.
bool desktop_folder(char* out, size_t capacity);

// ---- Character sets ------------------------------------------------------
struct CharsetStep {
    size_t consumed;  // input units taken
    size_t produced;  // output units written
    size_t dropped;   // input characters left out because they have no mapping
};

// GBK bytes to UTF-16 code units. Stops when the output is full or when the
// input ends inside a multi-byte character (left unconsumed). Bytes that are
// not GBK are dropped and counted.
CharsetStep gbk_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity);

// UTF-16 code units (no surrogates) to GBK bytes. Characters GBK cannot
// represent are dropped and counted. Stops before a character that does not
// fit in the output.
CharsetStep gbk_encode(const char16_t* in, size_t count, char* out, size_t capacity);

// A command-line argument as a new heap GBK string, or nullptr when it holds
// a character GBK cannot represent.
char* argument_to_gbk(const char* argument);

// ---- Console and time ----------------------------------------------------
// Writes GBK text to a console stream in the console's own encoding.
void write_console(FILE* stream, const char* text);

// True when the stream is an interactive terminal (a console on Windows).
bool is_terminal(FILE* stream);

void local_time(time_t when, struct tm* out);

// Seconds on a clock that never goes backwards, for time-outs and timing.
// (Code built with the GBK execution charset cannot include <chrono>: the
// standard library's own "µs" literal has no GBK form.)
double monotonic_seconds();

}  // namespace platform
