// app.log in the program folder: the technical reasons behind what the user
// is told. One line per call: "HH:MM:SS message" and CR LF. The messages
// are the program's text (GBK, or GB18030 where a package's title or address
// is quoted); the file holds them in the platform's log encoding
// (platform::APP_LOG_UTF8).
#pragma once

#include <cstdint>

// A log larger than this at start-up is replaced by an empty one.
inline constexpr int64_t APP_LOG_SIZE_LIMIT = 2097152;

// Opens app.log in `programFolder` for appending for the rest of the process.
// When it cannot be opened this is fatal: "无法打开应用日志文件：app.log".
void app_log_open(const char* programFolder);
// Writes one line and flushes it. Safe from any thread; lines never mix.
// Does nothing before the log is opened; write failures are ignored.
void app_log(const char* message);
// printf-style convenience over app_log; the message is written whole, however
// long.
void app_log_format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Where the log is UTF-8, a line that opens one run of a program: the date
// (the other lines carry only the time of day) and `commandUtf8`, the
// command as it was typed, written as it is. Elsewhere nothing: the Windows
// log keeps the window's format byte for byte.
void app_log_run_start(const char* commandUtf8);
// Closes the log (tests and orderly exits).
void app_log_close();
