#include "shell/app_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "shell/charset.h"
#include "shell/fatal.h"
#include "shell/files.h"
#include "shell/memory.h"

namespace {

std::mutex log_mutex;
FILE* log_file = nullptr;

// The time now in `format` and a space; `fallback` (as long as the
// formatted time) when the C library cannot format it.
std::string stamp(const char* format, const char* fallback) {
    struct tm now {};
    platform::local_time(std::time(nullptr), &now);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, format, &now);
    return (length == std::strlen(fallback) ? std::string(text, length) : fallback) + " ";
}

// One write per line, so lines from the job and the window never mix.
void write_line(const char* prefix, const char* message) {
    const size_t prefixLength = std::strlen(prefix);
    const size_t length = std::strlen(message);
    const size_t total = checked_add(checked_add(length, prefixLength), 2);
    char small[512];
    char* line = total <= sizeof small ? small : static_cast<char*>(xmalloc(total));
    std::memcpy(line, prefix, prefixLength);
    std::memcpy(line + prefixLength, message, length);
    std::memcpy(line + prefixLength + length, "\r\n", 2);
    {
        std::lock_guard<std::mutex> lock(log_mutex);
        if (log_file != nullptr) {
            std::fwrite(line, 1, total, log_file);
            std::fflush(log_file);
        }
    }
    if (line != small) std::free(line);
}

bool is_ascii(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    }
    return true;
}

}  // namespace

void app_log_open(const char* programFolder) {
    char path[PATH_BUFFER_SIZE];
    if (!join_path(path, sizeof path, programFolder, "app.log")) {
        fatal_error("无法打开应用日志文件：app.log");
    }
    if (file_size(path) > APP_LOG_SIZE_LIMIT) platform::remove_file(path);
    FILE* file = platform::open_file(path, "ab+");
    if (file == nullptr) fatal_error("无法打开应用日志文件：app.log");
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_file != nullptr) std::fclose(log_file);
    log_file = file;
}

void app_log(const char* message) {
    char* converted = nullptr;
    if (platform::APP_LOG_UTF8 && !is_ascii(message)) {
        // Bytes that are no GB18030 character (a dump of a server's reply)
        // are left out rather than making the file unreadable as UTF-8.
        converted = gb18030_to_utf8(message);
        message = converted;
    }
    write_line(stamp("%H:%M:%S", "00:00:00").c_str(), message);
    std::free(converted);
}

void app_log_run_start(const char* commandUtf8) {
    if (!platform::APP_LOG_UTF8) return;
    const std::string line = "==== " + stamp("%Y-%m-%d", "0000-00-00") + commandUtf8;
    write_line(stamp("%H:%M:%S", "00:00:00").c_str(), line.c_str());
}

void app_log_format(const char* format, ...) {
    // Most lines fit on the stack; a longer one (a long address with its
    // failure reason, a chunk dump) gets a buffer of exactly its size, so that
    // nothing at its end is cut off.
    char small[1024];
    char* line = small;
    va_list args;
    va_list again;
    va_start(args, format);
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    if (needed >= 0 && static_cast<size_t>(needed) >= sizeof small) {
        const size_t size = checked_add(static_cast<size_t>(needed), 1);
        line = static_cast<char*>(xmalloc(size));
        std::vsnprintf(line, size, format, again);
    }
    va_end(again);
    va_end(args);
    // A format the C library refuses still leaves a trace of what was logged.
    app_log(needed < 0 ? format : line);
    if (line != small) std::free(line);
}

void app_log_close() {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_file != nullptr) std::fclose(log_file);
    log_file = nullptr;
}
