#include "shell/files.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/text.h"

// Only regular files count: opening a FIFO for reading waits for a writer
// forever, and a device or folder is no file a user meant.
int file_exists(const char* path) {
    if (platform::path_kind(path) != platform::PathKind::File) return 0;
    FILE* file = platform::open_file(path, "r");
    if (file == nullptr) return 0;
    std::fclose(file);
    return 1;
}

int64_t file_size(const char* path) {
    if (platform::path_kind(path) != platform::PathKind::File) return -1;
    FILE* file = platform::open_file(path, "r");
    if (file == nullptr) return -1;
    int64_t size = -1;
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) == 0) size = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(file));
#endif
    std::fclose(file);
    return size;
}

int is_directory(const char* path) {
    return platform::path_kind(path) == platform::PathKind::Directory ? 1 : 0;
}

namespace {

bool is_windows_separator(char c) {
    return c == '\\' || c == '/';
}

// The last separator of a GBK path, or nullptr. A GBK trail byte can be 0x5C,
// the backslash, so double-byte characters are stepped over whole.
const char* last_separator(const char* path,
                           bool (*is_separator)(char) = platform::is_path_separator) {
    const char* last = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_gbk_lead(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (is_separator(*p)) {
            last = p;
        }
    }
    return last;
}

}  // namespace

const char* file_name_part(const char* path) {
    const char* separator = last_separator(path);
    return separator != nullptr ? separator + 1 : path;
}

int special_folder_path(int folderId, char* out) {
    if (folderId != CSIDL_DESKTOP_FOLDER) return 0;
    return platform::desktop_folder(out, PATH_BUFFER_SIZE) ? 1 : 0;
}

namespace {

char settled_folder[PATH_BUFFER_SIZE];

}  // namespace

void settle_program_folder(const char* folder) {
    std::snprintf(settled_folder, sizeof settled_folder, "%s", folder);
}

const char* settled_program_folder() {
    return settled_folder;
}

int program_folder(char* out) {
    return platform::program_folder(out, PATH_BUFFER_SIZE) ? 1 : 0;
}

bool join_path(char* out, size_t capacity, const char* folder, const char* name) {
    const size_t folder_length = std::strlen(folder);
    const size_t name_length = std::strlen(name);
    // A folder that already ends in a separator (a drive root such as C:\)
    // takes the name directly.
    const char* separator = last_separator(folder);
    const bool needs_separator =
        folder_length > 0 && (separator == nullptr || separator != folder + folder_length - 1);
    const size_t total = folder_length + (needs_separator ? 1 : 0) + name_length;
    if (total + 1 > capacity) return false;
    std::memcpy(out, folder, folder_length);
    size_t at = folder_length;
    if (needs_separator) out[at++] = platform::PATH_SEPARATOR;
    std::memcpy(out + at, name, name_length + 1);
    return true;
}

bool folder_of_executable(const char* exePath, char* out, size_t capacity) {
    const char* separator = last_separator(exePath, is_windows_separator);
    if (separator == nullptr) return false;
    size_t length = static_cast<size_t>(separator - exePath);
    // C:\kelvane.exe lives in C:\, not in C: (which means "the current folder of drive C").
    if (length > 0 && exePath[length - 1] == ':') ++length;
    if (length + 1 > capacity) return false;
    std::memcpy(out, exePath, length);
    out[length] = '\0';
    return true;
}

void prepare_temporary_folder(const char* folder) {
    switch (platform::claim_temporary_folder(folder)) {
        case platform::ClaimResult::Locked:
            break;
        case platform::ClaimResult::Unlocked:
            app_log_format(
                "无法锁定 [%s] 中的临时文件：%s。任务照常进行，其他任务不会删除本任务的临时文件，"
                "但被强行结束的任务在此留下的临时文件不会被自动删除。",
                folder, platform::last_file_error());
            break;
        case platform::ClaimResult::Failed:
            app_log_format("无法在 [%s] 中创建临时文件的锁文件：%s", folder,
                           platform::last_file_error());
            break;
    }
    platform::remove_stale_temporaries(folder);
}
