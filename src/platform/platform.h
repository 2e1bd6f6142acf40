// The one boundary between the portable core and the operating system.
// Everything the core needs from the OS goes through here, so every platform
// difference can be read in src/platform/ alone. Text crossing this boundary
// is GBK, like all text inside the program, except paths: they are GB18030,
// GBK's superset, so that a file or folder may have any name (a GBK path is
// the same bytes in both). Implementations convert to what their OS wants
// (UTF-8 on POSIX, UTF-16 on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
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

// ---- Files and folders (GB18030 paths) ---------------------------------
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

// ---- app.log -------------------------------------------------------------
// The log's encoding. On POSIX it is UTF-8, what terminals, pagers and
// editors there read, and each run opens with a dated line; on Windows it
// is GBK with time-of-day lines only, byte for byte as the window has always
// written it (the window and its tests read it so).
#ifdef _WIN32
inline constexpr bool APP_LOG_UTF8 = false;
#else
inline constexpr bool APP_LOG_UTF8 = true;
#endif

// ---- Character sets ------------------------------------------------------
struct CharsetStep {
    size_t consumed;  // input units taken
    size_t produced;  // output units written
    size_t dropped;   // input characters left out because they have no mapping
    bool truncated;   // decoding stopped because the input ends inside a character
};

// GBK bytes to UTF-16 code units. Stops when the output is full or when the
// input ends inside a multi-byte character (left unconsumed, `truncated`).
// Bytes that are not GBK are dropped and counted.
CharsetStep gbk_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity);

// UTF-16 code units to GBK bytes. Characters GBK cannot represent (a
// surrogate pair counts as one) and unpaired surrogates are dropped and
// counted. Stops before a character that does not fit in the output.
CharsetStep gbk_encode(const char16_t* in, size_t count, char* out, size_t capacity);

// The same for GB18030, in which the data package's text is held: a superset
// of GBK (every GBK sequence, 0x80 for the euro sign included, decodes to the
// same character) that represents every Unicode character, so nothing of a
// package is lost between reading and saving. Decoding writes a surrogate
// pair whole or not at all.
//
// GB18030 has no form for half a surrogate pair (a title cut inside an emoji
// leaves one in a package), so such a unit is carried in a four-byte form
// that no character has: U+D800 to U+DFFF as the forms numbered from
// LONE_SURROGATE_FORM_BASE (84 32 81 30 to 84 33 CF 37), well past the BMP's
// last form (84 31 A4 39) and before U+10000's (90 30 81 30). Encoding writes
// that form for a unit without its partner; decoding gives the unit back.
inline constexpr uint32_t LONE_SURROGATE_FORM_BASE = 40320;
CharsetStep gb18030_decode(const unsigned char* in, size_t length, char16_t* out, size_t capacity);
CharsetStep gb18030_encode(const char16_t* in, size_t count, char* out, size_t capacity);

// A command-line argument (UTF-8) as a new heap GB18030 string, or nullptr
// when it is not valid UTF-8 (a name the file system holds in another
// encoding).
char* argument_to_text(const char* argument);

// ---- Console and time ----------------------------------------------------
// Writes text to a console stream in the console's own encoding. The text is
// decoded as GB18030, so a package's titles and addresses show whole.
void write_console(FILE* stream, const char* text);

// True when the stream is an interactive terminal (a console on Windows).
bool is_terminal(FILE* stream);

void local_time(time_t when, struct tm* out);

// Seconds on a clock that never goes backwards, for time-outs and timing.
// (Code built with the GBK execution charset cannot include <chrono>: the
// standard library's own "µs" literal has no GBK form.)
double monotonic_seconds();

// ---- The console front end -----------------------------------------------
// The columns of the terminal (a console window on Windows) that the stream
// writes to, measured now: the user may resize it at any moment. 0 when the
// stream is not a terminal or its size cannot be learnt.
int terminal_width(FILE* stream);

// Writes UTF-8 text to a console stream. On a terminal it shows as its
// characters whatever the console's code page; elsewhere the bytes go out as
// they are, so output meant for programs (a JSON report) stays UTF-8.
void write_console_utf8(FILE* stream, const char* text, size_t length);

enum class AbsoluteResult { Done, Unrepresentable, TooLong };

// `path` made absolute against the current folder, "." and ".." folded, as
// GB18030 into `out` (`capacity` bytes). Unrepresentable when the path or
// the current folder cannot be carried exactly (or cannot be read at all).
AbsoluteResult absolute_path(const char* path, char* out, size_t capacity);

// The program's arguments as UTF-8, as argument_to_text takes them: on POSIX
// `argv` itself; on Windows read again from the wide command line, because
// the C runtime's argv has already turned each character the ANSI code page
// lacks into '?', and a name would then seem merely missing.
char** utf8_arguments(int argc, char** argv);

}  // namespace platform
