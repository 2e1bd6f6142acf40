// POSIX side of the safe file operations: O_EXCL for claims, fsync and
// rename for saves, flock for the package lock.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/native_path.h"
#include "platform/safe_files.h"
#include "shell/memory.h"

namespace platform {

struct PackageLock {
    int fd;
};

namespace {

thread_local int lastError = 0;
std::atomic<unsigned> temporaryCounter{0};

bool fail(int error) {
    lastError = error;
    return false;
}

// The file a symbolic link points at; any other path as it is.
std::string resolved(const std::string& native) {
    struct stat st {};
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return native;
    char* real = realpath(native.c_str(), nullptr);
    if (real == nullptr) return native;  // a dangling link is replaced like a file
    std::string target(real);
    std::free(real);
    return target;
}

std::string folder_of(const std::string& native) {
    const size_t slash = native.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : native.substr(0, slash);
}

// After a rename the new name is only durable once its folder is synced.
void sync_folder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

PlaceResult move_to_free_name(const std::string& temp, const std::string& native, bool synced);

// A fresh temporary name in `folder`, created exclusively; -1 when none can be.
int create_temporary(const std::string& folder, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = folder + "/.kelvane-" + std::to_string(getpid()) + "-" +
                std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
        const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity) {
    std::string native;
    if (!to_native_path(target, native)) return fail(EINVAL), nullptr;
    std::string temp;
    const int fd = create_temporary(folder_of(resolved(native)), &temp);
    if (fd < 0) return fail(errno), nullptr;
    std::string gbk;
    FILE* file = nullptr;
    if (from_native_path(temp, gbk) && gbk.size() < capacity) {
        std::memcpy(tempPath, gbk.c_str(), gbk.size() + 1);
        file = fdopen(fd, "wb");
    } else {
        errno = ENAMETOOLONG;
    }
    if (file == nullptr) {
        fail(errno);
        close(fd);
        unlink(temp.c_str());
    }
    return file;
}

void remove_stale_temporaries(const char* folder) {
    std::string native;
    if (!to_native_path(folder, native)) return;
    DIR* listing = opendir(native.c_str());
    if (listing == nullptr) return;
    while (const struct dirent* entry = readdir(listing)) {
        unsigned long pid = 0, number = 0;
        int used = 0;
        if (std::sscanf(entry->d_name, ".kelvane-%lu-%lu.tmp%n", &pid, &number, &used) != 2 ||
            entry->d_name[used] != '\0' || pid == 0 || pid > INT_MAX) {
            continue;
        }
        // Only a process that is gone for certain gives up its file.
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        unlinkat(dirfd(listing), entry->d_name, 0);
    }
    closedir(listing);
}

bool finish_file(FILE* file) {
    bool ok = std::fflush(file) == 0;
    if (!ok) lastError = errno;
    if (ok && fsync(fileno(file)) != 0) ok = fail(errno);
    if (std::fclose(file) != 0 && ok) ok = fail(errno);
    return ok;
}

PlaceResult move_into_place(const char* tempPath, const char* target, bool replace) {
    std::string temp, native;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, native)) {
        fail(EINVAL);
        return PlaceResult::Failed;
    }
    if (replace) {
        const std::string destination = resolved(native);
        // The new file stands in for the old one: same permissions, and the
        // same owner where we may give it (a job run as root on a user's file).
        struct stat st {};
        if (stat(destination.c_str(), &st) == 0) {
            chmod(temp.c_str(), st.st_mode & 07777);
            if (geteuid() == 0 && chown(temp.c_str(), st.st_uid, st.st_gid) != 0) {
                // Ownership is a courtesy; the content is what must not be lost.
            }
        }
        if (rename(temp.c_str(), destination.c_str()) != 0) {
            fail(errno);
            return PlaceResult::Failed;
        }
        sync_folder(folder_of(destination));
        return PlaceResult::Done;
    }
    return move_to_free_name(temp, native, true);
}

PlaceResult move_to_new_name(const char* tempPath, const char* target) {
    std::string temp, native;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, native)) {
        fail(EINVAL);
        return PlaceResult::Failed;
    }
    return move_to_free_name(temp, native, false);
}

namespace {

PlaceResult move_to_free_name(const std::string& temp, const std::string& native, bool synced) {
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, native.c_str(), RENAME_NOREPLACE) == 0) {
        if (synced) sync_folder(folder_of(native));
        return PlaceResult::Done;
    }
    if (errno == EEXIST) return PlaceResult::Exists;
    if (errno != EINVAL && errno != ENOSYS) {
        fail(errno);
        return PlaceResult::Failed;
    }
    // A file system without the no-replace rename: a hard link refuses an
    // existing name just as well.
    if (link(temp.c_str(), native.c_str()) != 0) {
        if (errno == EEXIST) return PlaceResult::Exists;
        fail(errno);
        return PlaceResult::Failed;
    }
    unlink(temp.c_str());
    if (synced) sync_folder(folder_of(native));
    return PlaceResult::Done;
}

}  // namespace

void flush_written_files(const char* folder) {
    std::string native;
    if (!to_native_path(folder, native)) return;
    const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    syncfs(fd);
    close(fd);
}

CreateResult create_new_file(const char* path) {
    std::string native;
    if (!to_native_path(path, native)) {
        fail(EINVAL);
        return CreateResult::Failed;
    }
    const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST) return CreateResult::Exists;
        fail(errno);
        return CreateResult::Failed;
    }
    close(fd);
    return CreateResult::Created;
}

bool can_replace_file(const char* path) {
    std::string native;
    if (!to_native_path(path, native)) return fail(EINVAL);
    if (access(native.c_str(), W_OK) != 0) return fail(errno);
    std::string temp;
    const int fd = create_temporary(folder_of(resolved(native)), &temp);
    if (fd < 0) return fail(errno);
    close(fd);
    unlink(temp.c_str());
    return true;
}

void note_file_error(int error) {
    lastError = error;
}

const char* last_file_error() {
    return lastError == 0 ? "" : std::strerror(lastError);
}

LockResult lock_package(const char* path, PackageLock** lock) {
    *lock = nullptr;
    std::string native;
    if (!to_native_path(path, native)) return LockResult::Failed;
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return LockResult::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? LockResult::Held : LockResult::Failed;
    }
    *lock = static_cast<PackageLock*>(xmalloc(sizeof(PackageLock)));
    (*lock)->fd = fd;
    return LockResult::Locked;
}

void unlock_package(PackageLock* lock) {
    if (lock == nullptr) return;
    close(lock->fd);  // closing the last descriptor releases the flock
    std::free(lock);
}

}  // namespace platform
