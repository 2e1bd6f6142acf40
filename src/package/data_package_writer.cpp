// Saving the package text back as UTF-16LE, and the numbered backup copy
// taken just before a job saves it. Both end the program on failure: a
// job must not go on without its backup, nor pretend it saved.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/data_package_io.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/charset.h"
#include "shell/content_hash.h"
#include "shell/fatal.h"
#include "shell/files.h"
#include "shell/memory.h"

namespace {

constexpr size_t COPY_BLOCK = 8192;

// "name(n).ext", or "name(n)" when the file name has no dot.
bool backup_name(char* out, size_t capacity, const char* fileName, int number) {
    const char* dot = std::strrchr(fileName, '.');
    const int stem =
        dot != nullptr ? static_cast<int>(dot - fileName) : static_cast<int>(std::strlen(fileName));
    const int written = std::snprintf(out, capacity, "%.*s(%d)%s", stem, fileName, number,
                                      dot != nullptr ? dot : "");
    return written > 0 && static_cast<size_t>(written) < capacity;
}

// A save killed mid-way leaves its temporary file; the next save in the
// same folder takes it away.
void prepare_folder_of(const char* path) {
    const char* name = file_name_part(path);
    size_t length = static_cast<size_t>(name - path);
    if (length > 1 && platform::is_path_separator(path[length - 1])) --length;
    char folder[PATH_BUFFER_SIZE];
    if (length == 0) {
        std::snprintf(folder, sizeof folder, ".");
    } else if (length < sizeof folder) {
        std::memcpy(folder, path, length);
        folder[length] = '\0';
    } else {
        return;
    }
    prepare_temporary_folder(folder);
}

// "bak" in the program folder, created when missing.
void backup_folder(char (&folder)[PATH_BUFFER_SIZE]) {
    if (!join_path(folder, sizeof folder, settled_program_folder(), "bak"))
        fatal_error("创建 [bak] 文件夹失败");
    // Another job may create the folder at the same moment: what counts is
    // that it is there.
    if (!is_directory(folder) && !platform::make_directory(folder) && !is_directory(folder))
        fatal_error("创建 [bak] 文件夹失败");
}

}  // namespace

bool package_unchanged(const char* path, const PackageFingerprint& read) {
    FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return false;  // gone or taken away: not the file read
    ContentHash hash;
    int64_t size = 0;
    char block[64 * 1024];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0 && size <= read.size) {
        hash.add(block, got);
        size += static_cast<int64_t>(got);
    }
    const bool whole = std::ferror(file) == 0;
    std::fclose(file);
    return whole && size == read.size && hash.value() == read.hash;
}

void prepare_backup_folder() {
    char folder[PATH_BUFFER_SIZE];
    backup_folder(folder);
    char probe[PATH_BUFFER_SIZE];
    char temporary[PATH_BUFFER_SIZE];
    if (!join_path(probe, sizeof probe, folder, "probe"))
        fatal_error("备份csv文件时出错：写入文件失败");
    FILE* file = platform::create_temporary_beside(probe, temporary, sizeof temporary);
    if (file == nullptr) {
        app_log_format("备份csv文件时出错：%s", platform::last_file_error());
        fatal_error("备份csv文件时出错：写入文件失败");
    }
    std::fclose(file);
    platform::remove_file(temporary);
}

bool backup_data_package(const char* path, char* backupPath, const PackageFingerprint* read) {
    char name[PATH_BUFFER_SIZE];
    std::snprintf(name, sizeof name, "%s", file_name_part(path));
    char folder[PATH_BUFFER_SIZE];
    backup_folder(folder);

    FILE* source = platform::open_file(path, "rb");
    if (source == nullptr) fatal_error("备份csv文件时出错：无法打开源csv文件句柄");
    prepare_temporary_folder(folder);
    // The copy is written under a temporary name and gets its numbered name
    // only when complete, so a name(n) file is never a short copy.
    char temporary[PATH_BUFFER_SIZE];
    char copied[PATH_BUFFER_SIZE];
    if (!join_path(copied, sizeof copied, folder, name))
        fatal_error("备份csv文件时出错：写入文件失败");
    FILE* copy = platform::create_temporary_beside(copied, temporary, sizeof temporary);
    if (copy == nullptr) fatal_error("备份csv文件时出错：写入文件失败");

    // What is copied is compared with what was read as it goes, so that the
    // copy is of the package the job read, taken in the same pass.
    char block[COPY_BLOCK];
    ContentHash hash;
    int64_t copiedBytes = 0;
    const char* failure = nullptr;
    while (failure == nullptr) {
        const size_t got = std::fread(block, 1, sizeof block, source);
        if (got > 0) {
            hash.add(block, got);
            copiedBytes += static_cast<int64_t>(got);
            if (std::fwrite(block, 1, got, copy) != got)
                failure = "备份csv文件时出错：写入文件失败";
            continue;
        }
        if (!std::feof(source)) failure = "备份csv文件时出错：文件读取不完整";
        break;
    }
    std::fclose(source);
    if (!platform::finish_file(copy) && failure == nullptr)
        failure = "备份csv文件时出错：写入文件失败";
    if (failure != nullptr) {
        platform::remove_file(temporary);
        fatal_error(failure);
    }
    if (read != nullptr && (copiedBytes != read->size || hash.value() != read->hash)) {
        platform::remove_file(temporary);
        platform::release_temporary_folders();
        return false;
    }
    // A private package keeps a private copy.
    platform::set_permissions_like(temporary, path);

    // The smallest free number, so a gap left by a deleted copy is filled
    // first; a number another job takes meanwhile is passed over.
    for (int number = 1;; ++number) {
        char numbered[PATH_BUFFER_SIZE];
        char backup[PATH_BUFFER_SIZE];
        if (number == 0x7FFFFFFF || !backup_name(numbered, sizeof numbered, name, number) ||
            !join_path(backup, sizeof backup, folder, numbered)) {
            platform::remove_file(temporary);
            fatal_error("备份csv文件时出错：写入文件失败");
        }
        if (file_exists(backup)) continue;
        const platform::PlaceResult placed = platform::move_into_place(temporary, backup, false);
        if (placed == platform::PlaceResult::Done) {
            if (backupPath != nullptr) std::memcpy(backupPath, backup, std::strlen(backup) + 1);
            platform::release_temporary_folders();
            return true;
        }
        if (placed == platform::PlaceResult::Failed) {
            app_log_format("备份csv文件时出错：%s", platform::last_file_error());
            platform::remove_file(temporary);
            fatal_error("备份csv文件时出错：写入文件失败");
        }
    }
}

bool write_data_package(const char* path, const char* text, const PackageFingerprint* read) {
    const size_t length = std::strlen(text);
    // One byte of GB18030 becomes at most two of UTF-16 (a four-byte form at
    // most a surrogate pair).
    const size_t capacity = checked_mul(length, 2);
    char* utf16 = static_cast<char*>(xmalloc(capacity));
    size_t converted = 0;
    if (package_text_to_utf16(text, length, utf16, capacity, &converted) == -1) {
        fatal_error("更新CSV文件失败：iconv()转码出错了。");
    }

    // The new text goes to a file beside the package and replaces it in one
    // step only when all of it is on the disk: a crash, a kill or a full disk
    // leaves the old package whole, never a cut one that reads as shorter.
    prepare_folder_of(path);
    char temporary[PATH_BUFFER_SIZE];
    FILE* file = platform::create_temporary_beside(path, temporary, sizeof temporary);
    if (file == nullptr) {
        app_log_format("更新CSV文件失败：%s", platform::last_file_error());
        fatal_error("更新CSV文件失败：文件句柄无法打开。");
    }
    // A short write is a failure too, not only a write of nothing.
    bool written = std::fwrite("\xFF\xFE", 1, 2, file) == 2 &&
                   std::fwrite(utf16, 1, converted, file) == converted;
    written = platform::finish_file(file) && written;
    std::free(utf16);
    if (!written) {
        app_log_format("更新CSV文件失败：%s", platform::last_file_error());
        platform::remove_file(temporary);
        fatal_error("更新CSV文件失败：写入文件出错。");
    }
    // As late as it can be asked: the new text is ready to take its place.
    if (read != nullptr && !package_unchanged(path, *read)) {
        platform::remove_file(temporary);
        platform::release_temporary_folders();
        return false;
    }
    if (platform::move_into_place(temporary, path, true) != platform::PlaceResult::Done) {
        app_log_format("更新CSV文件失败：%s", platform::last_file_error());
        platform::remove_file(temporary);
        fatal_error("更新CSV文件失败：文件句柄无法打开。");
    }
    platform::release_temporary_folders();
    return true;
}
