// A Taobao Assistant data package in memory: one record per item row and the
// whole file as GBK text, which the move job rewrites and the writer saves.
#pragma once

#include <cstdint>

#include "shell/files.h"
#include "shell/ptr_vector.h"

struct ItemRecord {
    int32_t index;             // position in the item list, set by the reader
    char name[256];            // the title as written (read_data_package), at most 253 bytes
    int32_t status;            // 0 until the job has finished the item, then ITEM_MOVED; atomic
    PtrVector* desc_images;    // distinct description addresses; never none after a read
    PtrVector* mobile_images;  // mobile-detail addresses; none without a mobile-detail column
    PtrVector* desc_failed;    // description addresses that failed to move, or none
    PtrVector* mobile_failed;  // mobile-detail addresses that failed to move, or none
};

// What the package file held when it was read. A job saves only over a file
// that still matches it, so that its text never lands on what another
// program (another job, Taobao Assistant) has made of the package since.
struct PackageFingerprint {
    int64_t size = -1;  // bytes read; -1, which no file matches, before a read
    uint64_t hash = 0;  // ContentHash of those bytes
};

struct DataPackage {
    char path[PATH_BUFFER_SIZE];
    PtrVector* items;  // of ItemRecord*
    char* text;        // the whole file in GBK, or none
    PackageFingerprint readFrom;
};

enum class ReadResult {
    Malformed,  // not a data package this program can read
    Ok,
    TitleTooLong,  // a title cell, quotes included, is over 255 bytes
};

// The longest title cell, enclosing quotes included, that a package may have.
inline constexpr int32_t MAX_TITLE_CELL_BYTES = 255;

// Reads the package at `path`, appending one ItemRecord per data row to
// `items`, each numbered with its position there. On ReadResult::Ok `*outText`
// receives the package text (the caller owns it) and `*outFingerprint`, when
// given, the file's; on other results both are left alone, and the records
// appended so far stay in `items`. A failed address scan is fatal (after its
// log line).
//
// An item's name is its title as the seller wrote it: without the cell's
// enclosing quotes, and with each quote the cell doubled written once. The
// text keeps the cell as it was.
ReadResult read_data_package(const char* path, PtrVector* items, char** outText,
                             PackageFingerprint* outFingerprint = nullptr);

// Frees a record and its four lists with their strings.
void item_record_free(ItemRecord* item);
// Frees every record in `items` and empties the list.
void item_list_clear(PtrVector* items);
