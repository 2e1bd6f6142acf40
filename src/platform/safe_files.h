// The file operations that keep a seller's files whole: a package or backup
// is written beside its final name and moved there in one step, an image
// file is claimed by creating it exclusively, and a package that one job is
// working on is locked against a second. Paths are GBK, as everywhere at the
// platform boundary.
#pragma once

#include <cstddef>
#include <cstdio>

namespace platform {

// A new, empty file created exclusively in the folder of `target` (for a
// symbolic link: the folder of the file it points at, so that the final move
// stays on one file system), open for binary writing. Its path goes to
// `tempPath` (`capacity` bytes). nullptr when it cannot be created.
FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity);

// Removes the temporary files that killed jobs left in `folder`: those
// named by create_temporary_beside for a process that no longer runs.
void remove_stale_temporaries(const char* folder);

// Flushes the file's bytes through to the disk and closes it. False when any
// of it may not have arrived; the file is closed either way.
bool finish_file(FILE* file);

enum class PlaceResult { Done, Exists, Failed };

// Moves a finished temporary file to `target` in one step, so that readers
// see either the old file or the whole new one. With `replace` an existing
// target is replaced (through a symbolic link: the file it points at, whose
// permissions the new file takes over); without it an existing target is
// left alone and the result is Exists. On Failed and Exists the temporary
// file is still there.
PlaceResult move_into_place(const char* tempPath, const char* target, bool replace);

// The same without replacing, for a file the program can make again (a
// downloaded image): the folder is not flushed for it, so that filing
// thousands of images costs no disk flush each.
PlaceResult move_to_new_name(const char* tempPath, const char* target);

// Flushes to the disk what was written under `folder` (on POSIX the whole
// file system it lives on, in one call), before a package that points at
// those files is saved. Windows gives no such call without elevation; there
// the images' own writes are left to the system.
void flush_written_files(const char* folder);

enum class CreateResult { Created, Exists, Failed };

// Creates an empty file at `path` unless anything exists there already.
CreateResult create_new_file(const char* path);

// True when the program may write over the regular file at `path`: the file
// itself is writable and a new file can be created beside it.
bool can_replace_file(const char* path);

// The operating system's reason for the last failed file operation of this
// thread, as GBK text ("" when unknown).
const char* last_file_error();

enum class LockResult { Locked, Held, Failed };
struct PackageLock;

// Keeps other processes' jobs off the package at `path` until unlock_package
// or the end of the process. Held when another job has it; Failed when no
// lock can be taken on this file system (the job then runs unguarded).
LockResult lock_package(const char* path, PackageLock** lock);
void unlock_package(PackageLock* lock);

}  // namespace platform
