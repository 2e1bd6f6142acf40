// Saving a package and keeping a copy of it. Neither returns on failure: the
// message goes through fatal_error and the program ends.
#pragma once

#include "package/data_package.h"

// Makes sure a copy can be kept before a job spends time on downloads: "bak"
// in the program folder exists and takes a new file.
void prepare_backup_folder();

// Copies the package file into "bak" in the program folder as name(n).ext,
// n the smallest number not yet taken. The copy appears under that name only
// when complete. The copy's path goes into `backupPath` (PATH_BUFFER_SIZE
// bytes) when one is given. With `read`, the copy is kept only when it holds
// exactly the bytes that were read; false, with no copy made, when not.
bool backup_data_package(const char* path, char* backupPath = nullptr,
                         const PackageFingerprint* read = nullptr);

// Saves the text over the package file as FF FE and UTF-16LE, replacing the
// file in one step: on any failure the old package stays as it was. With
// `read`, the file is replaced only while it still holds the bytes that were
// read; false, with the package left as it is, when it does not.
bool write_data_package(const char* path, const char* text,
                        const PackageFingerprint* read = nullptr);

// True when the file at `path` holds exactly the bytes `read` describes.
bool package_unchanged(const char* path, const PackageFingerprint& read);
