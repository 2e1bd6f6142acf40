// The file operations that keep a seller's files whole: a package or backup
// is written beside its final name and moved there in one step, an image
// file is claimed by creating it exclusively, and a package that one job is
// working on is locked against a second. Paths are GBK, as everywhere at the
// platform boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// ---- Files a job's journal names -----------------------------------------

// What the file system says of a regular file, read without following a
// link: its size, its number of names, and its identity (the same file under
// any of its names, across renames and restarts).
struct FileFacts {
    int64_t size = -1;
    uint32_t links = 0;
    uint64_t volume = 0;
    uint64_t index = 0;
};

// False when `path` names no regular file (a folder, a link, nothing).
bool file_facts(const char* path, FileFacts* out);

enum class LinkResult { Done, Exists, Unsupported, Failed };

// Gives the finished temporary file `tempPath` its final name `target` as a
// second name of the same file (a hard link), which must be new: Exists
// otherwise. The temporary name stays until it is removed; a job removes it
// once its journal, which names both, is on the disk, so that a file under
// a final name is never one that no journal knows. Unsupported where the
// file system has no hard links (FAT): the caller moves the file instead.
// The file gets the permissions of a newly created one, like
// move_to_new_name.
LinkResult link_to_new_name(const char* tempPath, const char* target);

// True when `tempPath` is one of this program's temporary names whose
// owner is this process, or a process gone for certain (its owner lock file
// missing, or free): a journal may then take it over or remove it.
bool temporary_is_unowned(const char* tempPath);

// The names (GB18030) of the regular files directly in `folder`.
std::vector<std::string> file_names(const char* folder);

// The journal of a job: a file beside the images that the job holds locked
// for as long as it lives, so that a later job replays only the journal of
// one that is gone.
struct JournalFile;
enum class JournalOpen { Opened, Held, Unlockable, Failed };

// Opens the journal at `path`, creating it empty when missing (never
// through a link), and locks it. Held: a live job has it. Unlockable: the
// file system takes no lock on it, so that no job can tell a live journal
// from a dead one there. Failed: it cannot be opened or created
// (last_file_error says why).
JournalOpen open_journal(const char* path, JournalFile** out);

// The journal's text from its start, read through the journal's own open
// file (another open of it could be refused while it is held); nullptr when
// it cannot be read. The caller closes it; the journal's writes still go to
// its end.
FILE* read_journal(JournalFile* journal);

// Writes `text` into a new file beside the journal, flushes it to the disk,
// locks it and puts it in the journal's place in one step. False, with the
// old journal still in place and locked, when it cannot.
bool replace_journal(JournalFile* journal, const char* text, size_t length);

// Appends `text` with one write and no flush. The caller keeps the writes of
// several threads apart.
bool append_journal(JournalFile* journal, const char* text, size_t length);

// Flushes the journal, and only the journal, to the disk: the images it
// names are checked when a later job takes them over (their size and
// signature), and flushing every file of the disk each second would cost
// the job, and every other program writing there, far more.
bool flush_journal(JournalFile* journal);

// Closes and unlocks the journal; with `remove` its file is removed first,
// while still locked.
void close_journal(JournalFile* journal, bool remove);

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
