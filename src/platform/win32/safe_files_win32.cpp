// Windows side of the safe file operations: CREATE_NEW for claims,
// FlushFileBuffers and ReplaceFileW for saves, an unshared lock file deleted
// on close for the owner of temporary files, and named mutexes keyed by the
// file's identity for the package lock (a lock held on the package file
// itself would keep the save from replacing it).
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/memory.h"
#include "platform/safe_files.h"
#include "platform/temporary_names.h"
#include "platform/win32/native_path.h"

namespace platform {

struct PackageLock {
    HANDLE byPath;      // the file's final path: stays with the name across a save
    HANDLE byIdentity;  // volume and file index: the same file under another name
};

namespace {

thread_local DWORD lastError = 0;
thread_local char lastErrorText[512];
std::atomic<unsigned> temporaryCounter{0};

bool fail(DWORD error) {
    lastError = error;
    return false;
}

std::wstring folder_of(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L".";
    return path.substr(0, slash);
}

std::wstring widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

HANDLE open_for_query(const std::wstring& path) {
    // Backup semantics: folders open too. Links are followed.
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path the system itself gives the open file: links, junctions, short
// names, substituted and mapped drives all resolved; an ordinary drive or
// UNC path where it is one (the system gives it with a long-path prefix).
bool final_path(HANDLE file, std::wstring* out) {
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
    if (size == 0) return fail(GetLastError());
    std::wstring path(size, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, path.data(), size, flags);
    if (length == 0 || length >= size) return fail(GetLastError());
    path.resize(length);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        path = L"\\" + path.substr(7);
    } else if (path.compare(0, 4, L"\\\\?\\") == 0 && path.size() < MAX_PATH + 4) {
        path = path.substr(4);
    }
    *out = std::move(path);
    return true;
}

// The file a symbolic link (or junction) points at; any other path as it is.
std::wstring resolved(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    HANDLE file = open_for_query(path);
    if (file == INVALID_HANDLE_VALUE) return path;  // a dangling link is replaced like a file
    std::wstring target;
    const bool found = final_path(file, &target);
    CloseHandle(file);
    return found ? target : path;
}

// 64 bits from the system's random source; the clock and the process id
// only where there is none.
uint64_t random_token() {
    uint64_t token = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&token), sizeof token,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0)
        return token;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    token = static_cast<uint64_t>(now.QuadPart) << 16 ^ GetCurrentProcessId();
    return token * 0x9E3779B97F4A7C15ULL;
}

// This process's owner lock in one folder: its lock file, open with no
// sharing at all and deleted by the system when the handle closes, be it at
// a release, at the process's end or when the process is killed.
struct Claim {
    DWORD volume;  // the folder's identity, whatever its spelling
    uint64_t index;
    std::wstring folder;
    HANDLE lock;
};

struct Owner {
    std::mutex mutex;  // also held while a temporary file is created
    std::wstring token;
    std::vector<Claim> claims;
    bool exitHooked = false;
    bool exiting = false;
};

Owner& owner() {
    static Owner* const instance = new Owner;  // still there for the exit hook
    return *instance;
}

// Under the owner's mutex.
Owner& settled(Owner& o) {
    if (o.token.empty()) o.token = widen(token_text(random_token()));
    return o;
}

// Calls `each` with every name in `folder` that belongs to `token`.
template <class Each>
void for_owned_names(const std::wstring& folder, const std::wstring& token, Each each) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\.kelvane-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    std::wstring owner;
    do {
        const OwnedName kind = parse_owned_name(found.cFileName, &owner);
        if (kind != OwnedName::None && (token.empty() || owner == token))
            each(kind, owner, found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Under the owner's mutex. With `leftovers` (the process is ending) this
// process's own temporary files go too; otherwise a folder that still holds
// any stays claimed.
void release_claims(Owner& o, bool leftovers) {
    for (size_t i = o.claims.size(); i-- > 0;) {
        const Claim& claim = o.claims[i];
        bool inUse = false;
        for_owned_names(claim.folder, o.token,
                        [&](OwnedName kind, const std::wstring&, const wchar_t* name) {
                            if (kind != OwnedName::Temporary) return;
                            if (leftovers) {
                                DeleteFileW((claim.folder + L"\\" + name).c_str());
                            } else {
                                inUse = true;
                            }
                        });
        if (inUse) continue;
        CloseHandle(claim.lock);
        o.claims.erase(o.claims.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void release_at_exit() {
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    o.exiting = true;
    release_claims(o, true);
}

bool identity_of(const std::wstring& path, DWORD* volume, uint64_t* index) {
    HANDLE file = open_for_query(path);
    if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!known) return fail(error);
    *volume = info.dwVolumeSerialNumber;
    *index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

// Under the owner's mutex.
ClaimResult claim_folder(Owner& o, const std::wstring& folder) {
    if (o.exiting) return fail(ERROR_SHUTDOWN_IN_PROGRESS), ClaimResult::Failed;
    DWORD volume = 0;
    uint64_t index = 0;
    if (!identity_of(folder, &volume, &index)) return ClaimResult::Failed;
    for (const Claim& claim : o.claims) {
        if (claim.volume == volume && claim.index == index) return ClaimResult::Locked;
    }
    if (!o.exitHooked) o.exitHooked = std::atexit(release_at_exit) == 0;
    const std::wstring lockPath = folder + L"\\.kelvane-" + o.token + L".lock";
    // A file of this token that is still there is one whose handle is still
    // closing: it goes in a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE lock = CreateFileW(lockPath.c_str(), GENERIC_READ | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (lock != INVALID_HANDLE_VALUE) {
            o.claims.push_back(Claim{volume, index, folder, lock});
            return ClaimResult::Locked;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ACCESS_DENIED)
            return fail(error), ClaimResult::Failed;
        Sleep(10);
    }
    return fail(ERROR_FILE_EXISTS), ClaimResult::Failed;
}

// `share` 0 keeps everyone else out; a journal's new file is opened for
// reading too and may be renamed while open.
HANDLE create_temporary(const std::wstring& folder, const std::wstring& token, std::wstring* path,
                        DWORD access = GENERIC_WRITE, DWORD share = 0) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = folder + L"\\.kelvane-" + token + L"-" +
                std::to_wstring(temporaryCounter.fetch_add(1)) + L".tmp";
        HANDLE file = CreateFileW(path->c_str(), access, share, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

std::wstring own_token() {
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    return settled(o).token;
}

}  // namespace

ClaimResult claim_temporary_folder(const char* folder) {
    std::wstring wide;
    if (!to_native_path(folder, wide)) return fail(ERROR_INVALID_NAME), ClaimResult::Failed;
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    return claim_folder(settled(o), wide);
}

void release_temporary_folders() {
    Owner& o = owner();
    std::lock_guard<std::mutex> guard(o.mutex);
    release_claims(settled(o), false);
}

FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity) {
    std::wstring wide;
    if (!to_native_path(target, wide)) return fail(ERROR_INVALID_NAME), nullptr;
    const std::wstring folder = folder_of(resolved(wide));
    std::wstring temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
        // Claimed and created in one step, so that no release in between
        // leaves the new file without its owner's lock.
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        if (claim_folder(settled(o), folder) == ClaimResult::Failed) return nullptr;
        handle = create_temporary(folder, o.token, &temp);
    }
    if (handle == INVALID_HANDLE_VALUE) return fail(GetLastError()), nullptr;
    std::string gbk;
    FILE* file = nullptr;
    if (from_native_path(temp.c_str(), gbk) && gbk.size() < capacity) {
        std::memcpy(tempPath, gbk.c_str(), gbk.size() + 1);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd != -1) {
            file = _fdopen(fd, "wb");
            if (file == nullptr) {
                _close(fd);
                handle = INVALID_HANDLE_VALUE;
            }
        }
    }
    if (file == nullptr) {
        fail(ERROR_FILENAME_EXCED_RANGE);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        DeleteFileW(temp.c_str());
    }
    return file;
}

void remove_stale_temporaries(const char* folder) {
    std::wstring wide;
    if (!to_native_path(folder, wide)) return;
    const std::wstring own = own_token();
    std::map<std::wstring, std::vector<std::wstring>> owners;  // token: its temporary files
    for_owned_names(wide, L"", [&](OwnedName kind, const std::wstring& token, const wchar_t* name) {
        if (token == own) return;
        std::vector<std::wstring>& temps = owners[token];
        if (kind == OwnedName::Temporary) temps.emplace_back(name);
    });
    for (const auto& [token, temps] : owners) {
        // A live owner has its lock file open unshared: this open fails with
        // a sharing violation. Missing, or opened, it has no owner any more
        // (one a power cut left behind), and is deleted when closed here.
        HANDLE lock = CreateFileW((wide + L"\\.kelvane-" + token + L".lock").c_str(), DELETE, 0,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (lock == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) continue;
        for (const std::wstring& name : temps) DeleteFileW((wide + L"\\" + name).c_str());
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    }
}

// Windows gives a new file its folder's security; nothing to copy here.
void set_permissions_like(const char*, const char*) {}

bool finish_file(FILE* file) {
    bool ok = std::fflush(file) == 0;
    if (!ok) lastError = ERROR_WRITE_FAULT;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (ok && FlushFileBuffers(handle) == 0) ok = fail(GetLastError());
    if (std::fclose(file) != 0 && ok) ok = fail(ERROR_WRITE_FAULT);
    return ok;
}

PlaceResult move_into_place(const char* tempPath, const char* target, bool replace) {
    std::wstring temp, wide;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, wide)) {
        fail(ERROR_INVALID_NAME);
        return PlaceResult::Failed;
    }
    if (!replace) {
        if (MoveFileExW(temp.c_str(), wide.c_str(), MOVEFILE_WRITE_THROUGH) != 0)
            return PlaceResult::Done;
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return PlaceResult::Exists;
        fail(error);
        return PlaceResult::Failed;
    }
    // Through a link the file it points at is replaced, and the link stays.
    // ReplaceFileW keeps the replaced file's security, attributes, creation
    // time and short name; the attributes are given beforehand as well, for
    // systems whose ReplaceFileW leaves them out.
    const std::wstring destination = resolved(wide);
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(
            temp.c_str(),
            attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
        if (ReplaceFileW(destination.c_str(), temp.c_str(), nullptr,
                         REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                         nullptr) != 0) {
            return PlaceResult::Done;
        }
        const DWORD error = GetLastError();
        // Anything else (the package in use, no right to delete it) would
        // stop the plain move too, which would moreover drop its security.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NOT_SUPPORTED &&
            error != ERROR_INVALID_FUNCTION && error != ERROR_INVALID_PARAMETER &&
            error != ERROR_CALL_NOT_IMPLEMENTED) {
            fail(error);
            return PlaceResult::Failed;
        }
    }
    // No file to replace, or a file system without ReplaceFileW.
    if (MoveFileExW(temp.c_str(), destination.c_str(),
                    MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING) != 0)
        return PlaceResult::Done;
    fail(GetLastError());
    return PlaceResult::Failed;
}

PlaceResult move_to_new_name(const char* tempPath, const char* target) {
    std::wstring temp, wide;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, wide)) {
        fail(ERROR_INVALID_NAME);
        return PlaceResult::Failed;
    }
    if (MoveFileExW(temp.c_str(), wide.c_str(), 0) != 0) return PlaceResult::Done;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return PlaceResult::Exists;
    fail(error);
    return PlaceResult::Failed;
}

void flush_written_files(const char*) {}

CreateResult create_new_file(const char* path) {
    std::wstring wide;
    if (!to_native_path(path, wide)) {
        fail(ERROR_INVALID_NAME);
        return CreateResult::Failed;
    }
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return CreateResult::Exists;
        fail(error);
        return CreateResult::Failed;
    }
    CloseHandle(file);
    return CreateResult::Created;
}

bool can_replace_file(const char* path) {
    std::wstring wide;
    if (!to_native_path(path, wide)) return fail(ERROR_INVALID_NAME);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(GetLastError());
    if (attributes & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
    CloseHandle(file);
    std::wstring temp;
    HANDLE probe = create_temporary(folder_of(resolved(wide)), own_token(), &temp);
    if (probe == INVALID_HANDLE_VALUE) return fail(GetLastError());
    CloseHandle(probe);
    DeleteFileW(temp.c_str());
    return true;
}

void note_file_error(unsigned long error) {
    lastError = error;
}

const char* last_file_error() {
    if (lastError == 0) return "";
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       lastError, 0, lastErrorText, sizeof lastErrorText, nullptr);
    if (length == 0) {
        std::snprintf(lastErrorText, sizeof lastErrorText, "error %lu",
                      static_cast<unsigned long>(lastError));
    } else {
        // System messages end in CR LF; the caller places the text in a line.
        size_t end = length;
        while (end > 0 && (lastErrorText[end - 1] == '\r' || lastErrorText[end - 1] == '\n')) --end;
        lastErrorText[end] = '\0';
    }
    return lastErrorText;
}

namespace {

// Takes the named mutex `key`: in the Global namespace, so that jobs of
// other logon sessions (another user on the same computer, a remote
// desktop) see it too, else in this session's where Global is refused.
LockResult hold_key(const std::wstring& key, HANDLE* out) {
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        const std::wstring name = space + key;
        HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (mutex != nullptr) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) {
                CloseHandle(mutex);
                return LockResult::Held;
            }
            *out = mutex;
            return LockResult::Locked;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED) return fail(error), LockResult::Failed;
        // Refused: another user's job has it, or this process may not make
        // objects there.
        HANDLE existing = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
        if (existing != nullptr) {
            CloseHandle(existing);
            return LockResult::Held;
        }
        if (GetLastError() == ERROR_ACCESS_DENIED) return LockResult::Held;
    }
    return fail(ERROR_ACCESS_DENIED), LockResult::Failed;
}

}  // namespace

LockResult lock_package(const char* path, PackageLock** lock) {
    *lock = nullptr;
    std::wstring wide;
    if (!to_native_path(path, wide)) return fail(ERROR_INVALID_NAME), LockResult::Failed;
    HANDLE file = open_for_query(wide);
    if (file == INVALID_HANDLE_VALUE) return fail(GetLastError()), LockResult::Failed;
    // The name stays across a save, which puts a new file there; the
    // identity catches a hard link under another name until then.
    std::wstring name;
    BY_HANDLE_FILE_INFORMATION info;
    const bool named = final_path(file, &name);
    const bool identified = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!named) {
        wchar_t full[32768];
        const DWORD length = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
        if (length == 0 || length >= 32768) return fail(GetLastError()), LockResult::Failed;
        name.assign(full, length);
    }
    // File names are not case-sensitive here: one key whatever the case.
    CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a over the UTF-16 units
    for (const wchar_t unit : name) {
        hash ^= static_cast<uint16_t>(unit);
        hash *= 1099511628211ULL;
    }
    PackageLock held{nullptr, nullptr};
    wchar_t key[64];
    std::swprintf(key, 64, L"kelvane-path-%016llx", static_cast<unsigned long long>(hash));
    LockResult result = hold_key(key, &held.byPath);
    if (result == LockResult::Locked && identified) {
        std::swprintf(key, 64, L"kelvane-file-%08lx-%08lx%08lx",
                      static_cast<unsigned long>(info.dwVolumeSerialNumber),
                      static_cast<unsigned long>(info.nFileIndexHigh),
                      static_cast<unsigned long>(info.nFileIndexLow));
        result = hold_key(key, &held.byIdentity);
    }
    if (result != LockResult::Locked) {
        if (held.byPath != nullptr) CloseHandle(held.byPath);
        return result;
    }
    *lock = static_cast<PackageLock*>(xmalloc(sizeof(PackageLock)));
    **lock = held;
    return LockResult::Locked;
}

void unlock_package(PackageLock* lock) {
    if (lock == nullptr) return;
    if (lock->byPath != nullptr) CloseHandle(lock->byPath);
    if (lock->byIdentity != nullptr) CloseHandle(lock->byIdentity);
    std::free(lock);
}

bool file_facts(const char* path, FileFacts* out) {
    std::wstring wide;
    if (!to_native_path(path, wide)) return fail(ERROR_INVALID_NAME);
    HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    if (!known) fail(GetLastError());
    CloseHandle(file);
    if (!known) return false;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return fail(ERROR_INVALID_PARAMETER);
    out->size =
        static_cast<int64_t>(static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
    out->links = info.nNumberOfLinks;
    out->volume = info.dwVolumeSerialNumber;
    out->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

LinkResult link_to_new_name(const char* tempPath, const char* target) {
    std::wstring temp, wide;
    if (!to_native_path(tempPath, temp) || !to_native_path(target, wide)) {
        fail(ERROR_INVALID_NAME);
        return LinkResult::Failed;
    }
    if (CreateHardLinkW(wide.c_str(), temp.c_str(), nullptr) != 0) return LinkResult::Done;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return LinkResult::Exists;
    // FAT and exFAT (a USB stick) have no hard links.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_TOO_MANY_LINKS)
        return LinkResult::Unsupported;
    fail(error);
    return LinkResult::Failed;
}

bool temporary_is_unowned(const char* tempPath) {
    std::wstring wide;
    if (!to_native_path(tempPath, wide)) return false;
    const size_t slash = wide.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : wide.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
    std::wstring token;
    if (parse_owned_name(name.c_str(), &token) != OwnedName::Temporary) return false;
    if (token == own_token()) return true;
    // A live owner holds its lock file open unshared.
    HANDLE lock = CreateFileW((folder + L".kelvane-" + token + L".lock").c_str(), GENERIC_READ, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (lock == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    CloseHandle(lock);
    return true;
}

std::vector<std::string> file_names(const char* folder) {
    std::vector<std::string> names;
    std::wstring wide;
    if (!to_native_path(folder, wide)) return names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((wide + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    std::string text;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        if (from_native_path(found.cFileName, text)) names.push_back(text);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// Open with reading shared and writing refused: another job's open of a live
// journal fails with a sharing violation, and ends with its owner's process.
struct JournalFile {
    HANDLE handle;
    std::wstring path;
};

namespace {

constexpr DWORD JOURNAL_ACCESS = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr DWORD JOURNAL_SHARE = FILE_SHARE_READ | FILE_SHARE_DELETE;

bool write_all(HANDLE handle, const char* text, size_t length) {
    while (length > 0) {
        const DWORD piece = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD wrote = 0;
        if (WriteFile(handle, text, piece, &wrote, nullptr) == 0 || wrote == 0)
            return fail(GetLastError());
        text += wrote;
        length -= wrote;
    }
    return true;
}

}  // namespace

JournalOpen open_journal(const char* path, JournalFile** out) {
    *out = nullptr;
    std::wstring wide;
    if (!to_native_path(path, wide)) return fail(ERROR_INVALID_NAME), JournalOpen::Failed;
    HANDLE handle = CreateFileW(wide.c_str(), JOURNAL_ACCESS, JOURNAL_SHARE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return JournalOpen::Held;
        return fail(error), JournalOpen::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(handle);
        return fail(ERROR_INVALID_PARAMETER), JournalOpen::Failed;
    }
    SetFilePointer(handle, 0, nullptr, FILE_END);
    *out = new JournalFile{handle, wide};
    return JournalOpen::Opened;
}

FILE* read_journal(JournalFile* journal) {
    if (journal->handle == INVALID_HANDLE_VALUE) return fail(ERROR_INVALID_HANDLE), nullptr;
    // A handle of its own, with a position of its own.
    HANDLE handle = ReOpenFile(journal->handle, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (handle == INVALID_HANDLE_VALUE) return fail(GetLastError()), nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) _close(fd);
    return file;
}

bool replace_journal(JournalFile* journal, const char* text, size_t length) {
    const std::wstring folder = folder_of(journal->path);
    std::wstring temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
        Owner& o = owner();
        std::lock_guard<std::mutex> guard(o.mutex);
        if (claim_folder(settled(o), folder) == ClaimResult::Failed) return false;
        handle = create_temporary(folder, o.token, &temp, JOURNAL_ACCESS, JOURNAL_SHARE);
    }
    if (handle == INVALID_HANDLE_VALUE) return fail(GetLastError());
    if (!write_all(handle, text, length) || FlushFileBuffers(handle) == 0) {
        fail(GetLastError());
        CloseHandle(handle);
        DeleteFileW(temp.c_str());
        return false;
    }
    SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
    // An open file cannot be replaced: the old one is let go just before.
    CloseHandle(journal->handle);
    journal->handle = INVALID_HANDLE_VALUE;
    if (MoveFileExW(temp.c_str(), journal->path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        fail(GetLastError());
        CloseHandle(handle);
        DeleteFileW(temp.c_str());
        journal->handle = CreateFileW(journal->path.c_str(), JOURNAL_ACCESS, JOURNAL_SHARE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (journal->handle != INVALID_HANDLE_VALUE)
            SetFilePointer(journal->handle, 0, nullptr, FILE_END);
        return false;
    }
    // Held again under its own name: Wine deletes a file on close by the
    // name its handle was opened under, which is gone now.
    CloseHandle(handle);
    journal->handle = CreateFileW(journal->path.c_str(), JOURNAL_ACCESS, JOURNAL_SHARE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (journal->handle == INVALID_HANDLE_VALUE) return fail(GetLastError());
    SetFilePointer(journal->handle, 0, nullptr, FILE_END);
    return true;
}

bool append_journal(JournalFile* journal, const char* text, size_t length) {
    if (journal->handle == INVALID_HANDLE_VALUE) return fail(ERROR_INVALID_HANDLE);
    return write_all(journal->handle, text, length);
}

bool flush_journal(JournalFile* journal) {
    if (journal->handle == INVALID_HANDLE_VALUE) return fail(ERROR_INVALID_HANDLE);
    return FlushFileBuffers(journal->handle) != 0 || fail(GetLastError());
}

void close_journal(JournalFile* journal, bool remove) {
    if (journal == nullptr) return;
    if (journal->handle != INVALID_HANDLE_VALUE) {
        if (remove) {
            // Deleted through the handle that holds it: never another file
            // that took its name.
            FILE_DISPOSITION_INFO disposition{TRUE};
            SetFileInformationByHandle(journal->handle, FileDispositionInfo, &disposition,
                                       sizeof disposition);
        }
        CloseHandle(journal->handle);
    }
    delete journal;
}

}  // namespace platform
