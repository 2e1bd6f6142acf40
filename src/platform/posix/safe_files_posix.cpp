// POSIX side of the safe file operations: O_EXCL for claims, fsync and
// rename for saves, flock for the package lock and for the owner locks of
// temporary files.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/memory.h"
#include "platform/posix/native_path.h"
#include "platform/safe_files.h"
#include "platform/temporary_names.h"

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

// Read before main, while no other thread can be creating files: umask()
// cannot be read without setting it.
const mode_t processUmask = [] {
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}();

// 64 bits from the system's random source; the clock and the process id
// only where there is none, which still sets this process apart from the
// others on this computer.
uint64_t random_token() {
    uint64_t token = 0;
    if (getrandom(&token, sizeof token, 0) == static_cast<ssize_t>(sizeof token)) return token;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    token = static_cast<uint64_t>(now.tv_sec) * 1000000007ULL ^
            static_cast<uint64_t>(now.tv_nsec) << 20 ^ static_cast<uint64_t>(getpid());
    return token * 0x9E3779B97F4A7C15ULL;
}

bool same_file(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// This process's owner lock in one folder.
struct Claim {
    dev_t device;  // the folder's identity, whatever its spelling
    ino_t inode;
    std::string folder;
    std::string lockPath;
    int fd;
    bool locked;  // false on a file system that takes no lock
};

struct Owner {
    std::mutex mutex;  // also held while a temporary file is created
    pid_t pid = 0;
    std::string token;
    std::vector<Claim> claims;
    bool exitHooked = false;
    bool exiting = false;
};

Owner& owner() {
    static Owner* const instance = new Owner;  // still there for the exit hook
    return *instance;
}

// Under the owner's mutex. A forked child is a process of its own: its
// parent's claims stay the parent's (closing the inherited descriptors
// leaves the parent's locks alone).
Owner& settled(Owner& o) {
    if (o.pid == getpid()) return o;
    for (const Claim& claim : o.claims) close(claim.fd);
    o.claims.clear();
    o.token = token_text(random_token());
    o.pid = getpid();
    return o;
}

// Calls `each` with every name in `folder` that belongs to `token`.
template <class Each>
void for_owned_names(const std::string& folder, const std::string& token, Each each) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return;
    std::string found;
    while (const struct dirent* entry = readdir(listing)) {
        const OwnedName kind = parse_owned_name(entry->d_name, &found);
        if (kind != OwnedName::None && found == token) each(kind, entry->d_name);
    }
    closedir(listing);
}

// Under the owner's mutex. With `leftovers` (the process is ending) this
// process's own temporary files go too; otherwise a folder that still holds
// any stays claimed.
void release_claims(Owner& o, bool leftovers) {
    for (size_t i = o.claims.size(); i-- > 0;) {
        const Claim& claim = o.claims[i];
        bool inUse = false;
        for_owned_names(claim.folder, o.token, [&](OwnedName kind, const char* name) {
            if (kind != OwnedName::Temporary) return;
            if (leftovers) {
                unlink((claim.folder + "/" + name).c_str());
            } else {
                inUse = true;
            }
        });
        if (inUse) continue;
        // Removed while still locked, so that nobody takes a lock on a name
        // that is about to go.
        if (same_file(claim.fd, claim.lockPath)) unlink(claim.lockPath.c_str());
        close(claim.fd);
        o.claims.erase(o.claims.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void release_at_exit() {
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    if (o.pid != getpid()) return;
    o.exiting = true;
    release_claims(o, true);
}

// Under the owner's mutex.
ClaimResult claim_folder(Owner& o, const std::string& folder) {
    if (o.exiting) return fail(ESHUTDOWN), ClaimResult::Failed;
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return fail(errno), ClaimResult::Failed;
    for (size_t i = 0; i < o.claims.size(); ++i) {
        const Claim& claim = o.claims[i];
        if (claim.device != st.st_dev || claim.inode != st.st_ino) continue;
        if (same_file(claim.fd, claim.lockPath))
            return claim.locked ? ClaimResult::Locked : ClaimResult::Unlocked;
        // The lock file was taken away under the job (or the folder with
        // it, and a new one has its number): claim afresh.
        close(claim.fd);
        o.claims.erase(o.claims.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }
    if (!o.exitHooked) o.exitHooked = std::atexit(release_at_exit) == 0;
    const std::string lockPath = folder + "/.kelvane-" + o.token + ".lock";
    for (int attempt = 0; attempt < 16; ++attempt) {
        int fd = open(lockPath.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        // One of ours whose removal did not go through: lock it all the same.
        if (fd < 0 && errno == EEXIST)
            fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            return fail(errno), ClaimResult::Failed;
        }
        int locked;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            // The file alone still tells other jobs that these files have an
            // owner who may be alive.
            fail(errno);
            o.claims.push_back(Claim{st.st_dev, st.st_ino, folder, lockPath, fd, false});
            return ClaimResult::Unlocked;
        }
        // Another job may have found it unlocked in the moment before, taken
        // it for a dead one's and removed it: then it is no lock at all.
        if (same_file(fd, lockPath)) {
            o.claims.push_back(Claim{st.st_dev, st.st_ino, folder, lockPath, fd, true});
            return ClaimResult::Locked;
        }
        close(fd);
    }
    return fail(EAGAIN), ClaimResult::Failed;
}

// A fresh temporary name in `folder`, created exclusively and readable by
// its owner alone; -1 when none can be.
int create_temporary(const std::string& folder, const std::string& token, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = folder + "/.kelvane-" + token + "-" +
                std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
        const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// The files of the process that owns `token` in the folder open as
// `folder`, when that process is gone for certain.
void remove_if_dead(int folder, const std::string& token, const std::vector<std::string>& temps) {
    const std::string lockName = ".kelvane-" + token + ".lock";
    const int fd = openat(folder, lockName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // Its owner makes the lock file before any temporary file and
        // removes it after the last: without it, these are nobody's.
        if (errno == ENOENT) {
            for (const std::string& name : temps) unlinkat(folder, name.c_str(), 0);
        }
        return;
    }
    struct stat held {};
    struct stat named {};
    // Held: alive. No lock to be had (the file system takes none): unknown.
    // Replaced since it was opened: a live owner's new one.
    const bool dead = fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
                      flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                      fstatat(folder, lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    if (dead) {
        for (const std::string& name : temps) unlinkat(folder, name.c_str(), 0);
        unlinkat(folder, lockName.c_str(), 0);
    }
    close(fd);
}

}  // namespace

ClaimResult claim_temporary_folder(const char* folder) {
    std::string native;
    if (!to_native_path(folder, native)) return fail(EINVAL), ClaimResult::Failed;
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    return claim_folder(settled(o), native);
}

void release_temporary_folders() {
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    release_claims(settled(o), false);
}

FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity) {
    std::string native;
    if (!to_native_path(target, native)) return fail(EINVAL), nullptr;
    const std::string folder = folder_of(resolved(native));
    std::string temp;
    int fd = -1;
    {
        // Claimed and created in one step, so that no release in between
        // leaves the new file without its owner's lock.
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        if (claim_folder(settled(o), folder) == ClaimResult::Failed) return nullptr;
        fd = create_temporary(folder, o.token, &temp);
    }
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
    std::string own;
    {
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        own = settled(o).token;
    }
    DIR* listing = opendir(native.c_str());
    if (listing == nullptr) return;
    std::map<std::string, std::vector<std::string>> owners;  // token: its temporary files
    std::string token;
    while (const struct dirent* entry = readdir(listing)) {
        const OwnedName kind = parse_owned_name(entry->d_name, &token);
        if (kind == OwnedName::None || token == own) continue;
        std::vector<std::string>& temps = owners[token];
        if (kind == OwnedName::Temporary) temps.emplace_back(entry->d_name);
    }
    for (const auto& [dead, temps] : owners) remove_if_dead(dirfd(listing), dead, temps);
    closedir(listing);
}

void set_permissions_like(const char* path, const char* model) {
    std::string native, modelNative;
    if (!to_native_path(path, native)) return;
    mode_t mode = 0666 & ~processUmask;
    if (model != nullptr) {
        struct stat st {};
        if (!to_native_path(model, modelNative) || stat(modelNative.c_str(), &st) != 0) return;
        mode = st.st_mode & 07777;
    }
    chmod(native.c_str(), mode);
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
    chmod(temp.c_str(), 0666 & ~processUmask);  // an image: nothing private
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
    std::string token;
    {
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        token = settled(o).token;
    }
    std::string temp;
    const int fd = create_temporary(folder_of(resolved(native)), token, &temp);
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
    if (!to_native_path(path, native)) return fail(EINVAL), LockResult::Failed;
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(errno), LockResult::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) return LockResult::Held;
        fail(error);
        return LockResult::Failed;
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

bool file_facts(const char* path, FileFacts* out) {
    std::string native;
    if (!to_native_path(path, native)) return fail(EINVAL);
    struct stat st {};
    if (lstat(native.c_str(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    out->size = static_cast<int64_t>(st.st_size);
    out->links = static_cast<uint32_t>(st.st_nlink);
    out->volume = static_cast<uint64_t>(st.st_dev);
    out->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

LinkResult link_to_new_name(const char* tempPath, const char* target) {
    std::string temp, native;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, native)) {
        fail(EINVAL);
        return LinkResult::Failed;
    }
    chmod(temp.c_str(), 0666 & ~processUmask);  // an image: nothing private
    if (link(temp.c_str(), native.c_str()) == 0) return LinkResult::Done;
    if (errno == EEXIST) return LinkResult::Exists;
    // vfat and exfat answer EPERM; some FUSE file systems ENOSYS.
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK)
        return LinkResult::Unsupported;
    fail(errno);
    return LinkResult::Failed;
}

bool temporary_is_unowned(const char* tempPath) {
    std::string native;
    if (!to_native_path(tempPath, native)) return false;
    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
    std::string token;
    if (parse_owned_name(name.c_str(), &token) != OwnedName::Temporary) return false;
    {
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        if (settled(o).token == token) return true;
    }
    const std::string lockPath = folder + ".kelvane-" + token + ".lock";
    const int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT;
    // Taken for a moment only: the file stays for the cleanup that removes it.
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

std::vector<std::string> file_names(const char* folder) {
    std::vector<std::string> names;
    std::string native;
    if (!to_native_path(folder, native)) return names;
    DIR* listing = opendir(native.c_str());
    if (listing == nullptr) return names;
    std::string text;
    while (const struct dirent* entry = readdir(listing)) {
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        if (from_native_path(entry->d_name, text)) names.push_back(text);
    }
    closedir(listing);
    return names;
}

struct JournalFile {
    int fd;
    std::string path;
};

JournalOpen open_journal(const char* path, JournalFile** out) {
    *out = nullptr;
    std::string native;
    if (!to_native_path(path, native)) return fail(EINVAL), JournalOpen::Failed;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return fail(errno), JournalOpen::Failed;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            fail(EINVAL);
            close(fd);
            return JournalOpen::Failed;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK) return JournalOpen::Held;
            fail(error);
            return JournalOpen::Unlockable;
        }
        // Replaced by its live job between the open and the lock: the lock
        // is on a file that is no longer the journal.
        if (!same_file(fd, native)) {
            close(fd);
            continue;
        }
        lseek(fd, 0, SEEK_END);
        *out = new JournalFile{fd, native};
        return JournalOpen::Opened;
    }
    return fail(EAGAIN), JournalOpen::Held;
}

FILE* read_journal(JournalFile* journal) {
    const int fd =
        open(("/proc/self/fd/" + std::to_string(journal->fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno), nullptr;
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

bool replace_journal(JournalFile* journal, const char* text, size_t length) {
    const std::string folder = folder_of(journal->path);
    std::string temp;
    int fd = -1;
    {
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        if (claim_folder(settled(o), folder) == ClaimResult::Failed) return false;
        fd = create_temporary(folder, o.token, &temp);
    }
    if (fd < 0) return fail(errno);
    bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
    for (size_t done = 0; ok && done < length;) {
        const ssize_t wrote = write(fd, text + done, length - done);
        if (wrote < 0 && errno == EINTR) continue;
        ok = wrote > 0;
        if (ok) done += static_cast<size_t>(wrote);
    }
    ok = ok && fsync(fd) == 0 && rename(temp.c_str(), journal->path.c_str()) == 0;
    if (!ok) {
        fail(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    sync_folder(folder);
    close(journal->fd);
    journal->fd = fd;
    return true;
}

bool append_journal(JournalFile* journal, const char* text, size_t length) {
    for (size_t done = 0; done < length;) {
        const ssize_t wrote = write(journal->fd, text + done, length - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return fail(errno);
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool flush_journal(JournalFile* journal) {
    return fdatasync(journal->fd) == 0 || fail(errno);
}

void close_journal(JournalFile* journal, bool remove) {
    if (journal == nullptr) return;
    if (remove && same_file(journal->fd, journal->path)) unlink(journal->path.c_str());
    close(journal->fd);
    delete journal;
}

}  // namespace platform
