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
// stays on one file system), open for binary writing and readable by its
// owner alone (POSIX: mode 0600) until set_permissions_like or a move says
// otherwise. Its path goes to `tempPath` (`capacity` bytes). The folder is
// claimed first (claim_temporary_folder). nullptr when it cannot be created.
FILE* create_temporary_beside(const char* target, char* tempPath, size_t capacity);

// Temporary files are named after a token this process draws once from the
// system's random source, and in every folder where it makes them it holds an
// owner lock of the same token (POSIX: flock on the lock file; Windows: the
// lock file open unshared, deleted when closed) for as long as it may have
// any there. Another process, in whatever PID namespace, container or
// computer, so tells a live job's files from a dead one's without a process
// id.
enum class ClaimResult { Locked, Unlocked, Failed };

// Takes this process's owner lock in `folder`, unless it holds it already.
// Unlocked: the lock file is there but the file system takes no lock on it;
// other jobs then leave this process's files alone, but cannot prove a
// killed job's files dead there either (last_file_error says why). Failed:
// no lock file can be made, and no temporary file will be.
ClaimResult claim_temporary_folder(const char* folder);

// Gives up the owner locks of the folders where this process has no
// temporary file left, removing their lock files: at the end of a job, so a
// seller's folder keeps nothing of a normal run. Any still held are given
// up, and their temporary files removed, when the process exits.
void release_temporary_folders();

// Removes, from `folder`, the temporary files of processes that are gone for
// certain: their owner lock file is missing, or can be locked (and is then
// removed last). Files of live or unknown owners, and names of earlier
// versions, are left alone.
void remove_stale_temporaries(const char* folder);

// Gives the file at `path` the permissions of the file `model`, or with
// nullptr those of a newly created file (POSIX; Windows files take their
// folder's security when created, and this does nothing).
void set_permissions_like(const char* path, const char* model);

// Flushes the file's bytes through to the disk and closes it. False when any
// of it may not have arrived; the file is closed either way.
bool finish_file(FILE* file);

enum class PlaceResult { Done, Exists, Failed };

// Moves a finished temporary file to `target` in one step, so that readers
// see either the old file or the whole new one. With `replace` an existing
// target (through a symbolic link: the file it points at) is replaced, and
// the new file takes over its permissions and owner (POSIX) or its
// attributes and security (Windows); without it an existing target is left
// alone and the result is Exists. On Failed and Exists the temporary file is still there.
PlaceResult move_into_place(const char* tempPath, const char* target, bool replace);

// The same without replacing, for a file the program can make again (a
// downloaded image), which gets the permissions of a newly created file: the
// folder is not flushed for it, so that filing thousands of images costs no
// disk flush each.
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
// or the end of the process, however the path is spelt (links, short names,
// other drives). Held when another job has it; Failed when no lock can be
// taken on this file system (last_file_error says why; the job may run
// unguarded).
LockResult lock_package(const char* path, PackageLock** lock);
void unlock_package(PackageLock* lock);

}  // namespace platform
