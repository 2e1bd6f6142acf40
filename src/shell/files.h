// File and folder queries over NUL-terminated GBK paths.
#pragma once

#include <cstddef>
#include <cstdint>

// The buffer size the program's paths must fit in, NUL included.
inline constexpr size_t PATH_BUFFER_SIZE = 260;

// 1 when the path names a regular file that can be opened for reading, else 0.
int file_exists(const char* path);
// The size in bytes of a regular file, or -1 when it cannot be opened.
int64_t file_size(const char* path);
// 1 when the path names an existing directory, else 0.
int is_directory(const char* path);
// The part of the path behind its last folder separator, or the path itself.
// Points into `path`; nothing is copied.
const char* file_name_part(const char* path);

// The shell folder identifier of the desktop (the only one the program uses).
inline constexpr int CSIDL_DESKTOP_FOLDER = 0;
// 1 with the folder's path in `out` (PATH_BUFFER_SIZE bytes), 0 when the
// folder cannot be located.
int special_folder_path(int folderId, char* out);
// 1 with the program folder in `out` (PATH_BUFFER_SIZE bytes), 0 when it
// cannot be found.
int program_folder(char* out);

// The program folder as settled at start-up: app.log and bak/ live there.
// Empty until settled.
void settle_program_folder(const char* folder);
const char* settled_program_folder();

// The folder of a Windows executable's full path: cut at the last backslash,
// which stays when it follows a drive colon (C:\a.exe gives C:\). False when
// the path has no folder or the folder does not fit in `capacity` bytes.
bool folder_of_executable(const char* exePath, char* out, size_t capacity);

// Joins folder and name with the platform's separator into `out`. False when
// the result would not fit in `capacity` bytes.
bool join_path(char* out, size_t capacity, const char* folder, const char* name);

// Readies `folder` for this process's temporary files: takes its owner lock
// (app.log says so when the file system takes no lock, or no lock file can
// be made) and removes what jobs that are gone for certain left there.
void prepare_temporary_folder(const char* folder);
