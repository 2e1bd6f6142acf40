// Windows side of the safe file operations: CREATE_NEW for claims,
// FlushFileBuffers and MoveFileExW for saves, a named mutex for the package
// lock (a lock held on the package file itself would keep the save from
// replacing it).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/safe_files.h"
#include "platform/win32/native_path.h"
#include "shell/memory.h"

namespace platform {

struct PackageLock {
    HANDLE mutex;
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

HANDLE create_temporary(const std::wstring& folder, std::wstring* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = folder + L"\\.kelvane-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(temporaryCounter.fetch_add(1)) + L".tmp";
        HANDLE file = CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity) {
    std::wstring wide;
    if (!to_native_path(target, wide)) return fail(ERROR_INVALID_NAME), nullptr;
    std::wstring temp;
    HANDLE handle = create_temporary(folder_of(wide), &temp);
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
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((wide + L"\\.kelvane-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        unsigned long pid = 0, number = 0;
        int used = 0;
        if (std::swscanf(found.cFileName, L".kelvane-%lu-%lu.tmp%n", &pid, &number, &used) != 2 ||
            found.cFileName[used] != L'\0' || pid == 0) {
            continue;
        }
        // Only a process that is gone for certain gives up its file.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process != nullptr) {
            CloseHandle(process);
            continue;
        }
        if (GetLastError() != ERROR_INVALID_PARAMETER) continue;
        DeleteFileW((wide + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

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
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temp.c_str(), wide.c_str(), flags) != 0) return PlaceResult::Done;
    const DWORD error = GetLastError();
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
        return PlaceResult::Exists;
    fail(error);
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
    HANDLE probe = create_temporary(folder_of(wide), &temp);
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

LockResult lock_package(const char* path, PackageLock** lock) {
    *lock = nullptr;
    std::wstring wide;
    if (!to_native_path(path, wide)) return LockResult::Failed;
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
    if (length == 0 || length >= 32768) return LockResult::Failed;
    // File names are not case-sensitive here: one name per file whatever its spelling.
    CharUpperBuffW(full, length);
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a over the UTF-16 units
    for (DWORD i = 0; i < length; ++i) {
        hash ^= static_cast<uint16_t>(full[i]);
        hash *= 1099511628211ULL;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\kelvane-package-%016llx",
                  static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return LockResult::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return LockResult::Held;
    }
    *lock = static_cast<PackageLock*>(xmalloc(sizeof(PackageLock)));
    (*lock)->mutex = mutex;
    return LockResult::Locked;
}

void unlock_package(PackageLock* lock) {
    if (lock == nullptr) return;
    CloseHandle(lock->mutex);
    std::free(lock);
}

}  // namespace platform
