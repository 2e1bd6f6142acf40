// A job's record of the images it has downloaded and filed, kept beside them
// so that a job that is killed, or a computer that loses its power, costs
// the next run of the same package into the same folder seconds of work
// instead of the run, and leaves no image behind that the package does not
// use.
//
// One journal per package in the target folder, named by a hash of the
// package's absolute path; its first line names the package. Its job holds
// it locked while it lives. A download that finishes is noted with its
// temporary file; before an image takes its final name the job notes the
// address, the temporary file, the final name, the size and the file's
// identity. Each note is a plain write, which a killed process does not
// lose; every JOURNAL_FLUSH_INTERVAL_S a thread of the journal flushes it to
// the disk (the images are not: a later job checks them). The final name is a second name of
// the temporary file (a hard link), and the temporary name goes only after
// such a flush: after a power cut an image under a final name is one a
// flushed line names, or one whose temporary name is still there to tell it.
//
// A job that starts on a journal nobody holds takes over every image in it
// that is whole (the size noted and an image signature) and removes the
// broken ones that journal's job made; it writes what it kept into its own
// journal, flushed, before the old one goes, so a kill in between loses
// nothing. The journal is removed once the package holds what it says.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/safe_files.h"

inline constexpr double JOURNAL_FLUSH_INTERVAL_S = 1.0;

// What a job that is gone left that can be used.
struct KeptImage {
    std::string address;
    std::string path;     // the image under its final name, or ""
    std::string waiting;  // else a finished download under its temporary name
};

class ProgressJournal {
  public:
    ProgressJournal() = default;
    ~ProgressJournal();
    ProgressJournal(const ProgressJournal&) = delete;
    ProgressJournal& operator=(const ProgressJournal&) = delete;

    // Opens the journal of `packagePath` in `folder` and reads what a job
    // that is gone left in it: the whole images are kept, the broken ones
    // it made removed. False (app.log says why) when the folder can keep no
    // journal; the job then runs without one.
    bool open(const char* folder, const char* packagePath);
    const std::vector<KeptImage>& kept() const { return kept_; }

    // Starts this job's journal with what was kept, on the disk before the
    // old journal goes, and the thread that flushes it.
    bool begin();

    // A finished download waiting for its turn; from any thread.
    void note_waiting(const char* address, const char* temporary);

    // Gives the image of `address` in `temporary` the final name `target`,
    // which must be new: noted, then linked (moved where the file system
    // has no links). Results as platform::move_to_new_name.
    platform::PlaceResult file(const char* address, const char* temporary, const char* target);

    // Flushes what was noted to the disk now and removes the temporary
    // names of the filed images; false when the disk refused.
    bool flush();

    // flush(), and the flushing thread ends.
    void drain();

    // Closes the journal; with `remove` when the saved package holds all it
    // says, else it stays for the next run.
    void close(bool remove);

  private:
    void read_old();
    void flush_loop();
    bool flush_once();
    bool write_line(const std::string& line);

    std::string folder_;
    std::string package_;
    platform::JournalFile* file_ = nullptr;
    bool headerRead_ = false;   // the file names this package: lines are added to it
    bool lastLineCut_ = false;  // its last line has no end
    bool begun_ = false;
    bool linksUnsupported_ = false;
    std::vector<KeptImage> kept_;
    std::vector<std::string> oldTemporaries_;  // names of kept images, removed once carried

    std::mutex mutex_;  // the writes, the dirty flag and the names to remove
    bool dirty_ = false;
    bool flushFailed_ = false;
    std::vector<std::string> linked_;  // temporary names whose image has its final name
    bool stopping_ = false;
    std::condition_variable wakeup_;
    std::thread flusher_;
};

// The journal's file name for a package (its absolute path): a hidden name
// made from a hash of it.
std::string journal_name(const char* packagePath);
