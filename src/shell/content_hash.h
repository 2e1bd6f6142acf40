// A hash of a file's bytes, to tell whether the file is still the one that
// was read: far cheaper than keeping its bytes, and fast enough to take over
// a 100 MB package twice more per job.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes may come in pieces of any size: the same bytes give the same value
// however they were cut. Not for anything an adversary chooses.
class ContentHash {
  public:
    void add(const void* data, size_t length);
    // Of everything added so far; adding may go on after it.
    uint64_t value() const;

  private:
    void mix(uint64_t word);

    uint64_t state_ = 0x27D4EB2F165667C5ULL;
    uint64_t pending_ = 0;  // the bytes of a word not yet whole
    unsigned pendingBytes_ = 0;
    uint64_t length_ = 0;
};
