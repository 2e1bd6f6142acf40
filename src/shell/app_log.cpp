#include "shell/app_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/platform.h"
#include "shell/fatal.h"
#include "shell/files.h"
#include "shell/memory.h"

namespace {

std::mutex log_mutex;
FILE* log_file = nullptr;

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
    char prefix[10];
    struct tm now {};
    platform::local_time(std::time(nullptr), &now);
    if (std::strftime(prefix, sizeof prefix, "%H:%M:%S", &now) != 8)
        std::memcpy(prefix, "00:00:00", 8);
    prefix[8] = ' ';
    prefix[9] = '\0';

    // One write per line, so lines from the job and the window never mix.
    const size_t length = std::strlen(message);
    const size_t total = checked_add(length, 9 + 2);
    char small[512];
    char* line = total <= sizeof small ? small : static_cast<char*>(xmalloc(total));
    std::memcpy(line, prefix, 9);
    std::memcpy(line + 9, message, length);
    std::memcpy(line + 9 + length, "\r\n", 2);

    {
        std::lock_guard<std::mutex> lock(log_mutex);
        if (log_file != nullptr) {
            std::fwrite(line, 1, total, log_file);
            std::fflush(log_file);
        }
    }
    if (line != small) std::free(line);
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
