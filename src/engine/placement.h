// Where each downloaded image goes and what it is called: the target folder,
// or for large packages a batch folder with numbered subfolders of 2048
// images; names from the job's start time and a process-wide running number;
// the extension from the address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/safe_files.h"
#include "shell/files.h"

// More items than this put the images into a batch folder.
inline constexpr int LARGE_PACKAGE_ITEMS = 300;
// Saved images per numbered subfolder of the batch folder.
inline constexpr int IMAGES_PER_SUBFOLDER = 2048;
// Room for an extension taken from an address, NUL included.
inline constexpr int URL_EXTENSION_SIZE = 8;

// Numbers the saved files; starts at 1 with the program and is never reset,
// so the jobs of one run keep counting. Used by the job's thread only.
extern int32_t nameSequence;

// The column of an item an image comes from: a mobile-detail image's name
// starts with "m-".
enum class ImageColumn { Description, Mobile };

// How filing an image ended.
enum class Filing {
    Filed,   // the image has its name, in `out`
    NoRoom,  // no name fits in PATH_BUFFER_SIZE bytes, or the sequence is at its end
    Failed,  // the file could not take its name; `out` names the path tried
};

struct PlacementState {
    int year, month, day, hour, minute;  // local time at the start of the job
    bool batchMode;
    int subfolderNumber;  // 0 until the first numbered subfolder is taken
    char targetFolder[PATH_BUFFER_SIZE];
    char batchFolder[PATH_BUFFER_SIZE];
    char currentFolder[PATH_BUFFER_SIZE];
};

// Reads the start time; for more than LARGE_PACKAGE_ITEMS items creates the
// batch folder "H-M-S" under the target folder unless it exists. False when
// the target folder itself does not fit in PATH_BUFFER_SIZE bytes, or the batch
// folder cannot be created or does not fit; `failedPath` (PATH_BUFFER_SIZE
// bytes) then names it, cut short when it is too long.
bool placement_begin(PlacementState* state, const char* targetFolder, int itemCount,
                     char* failedPath);

// Makes the current folder right for the next new address: in batch mode a
// new numbered subfolder when `savedOrdinal` is 1, 2049, 4097, ... False when
// it cannot be created; `failedPath` then names it.
bool choose_image_folder(PlacementState* state, int32_t savedOrdinal, char* failedPath);

// "jpg", "jpeg", "png", "gif" or "bmp", judged from the address.
const char* image_extension(const char* address);

// The extension of the address's last path segment (up to "?" or "#"), at
// most URL_EXTENSION_SIZE - 1 bytes, into `out`; empty when there is none.
void url_extension(const char* address, char* out);

// A full path in the current folder, named from the start time and the next
// nameSequence ("m-" first for mobile-detail images), claimed by creating an
// empty file there that no one else had. Taken names are passed over. False
// when the path would not fit in PATH_BUFFER_SIZE bytes, or when
// nameSequence has reached INT32_MAX.
bool choose_image_path(PlacementState* state, ImageColumn column, const char* extension, char* out);

// Gives the image in `file` (a finished temporary file on the same disk) the
// next free name in the current folder, the name choose_image_path would
// have claimed, with no empty claim file first.
//
// `place`, when given, gives the file each name tried instead of a plain
// move (a job's journal notes it first); it answers as
// platform::move_to_new_name does.
Filing file_image(PlacementState* state, ImageColumn column, const char* extension,
                  const char* file, char* out,
                  const std::function<platform::PlaceResult(const char* target)>& place = nullptr);

// The length of the longest image path a job of `itemCount` items can write
// under `targetFolder`, NUL not counted: with the widest date, batch folder,
// subfolder number and sequence number.
size_t longest_image_path(const char* targetFolder, int itemCount);
