// Saving a package and keeping a copy of it. Neither returns on failure: the
// message goes through fatal_error and the program ends.
#pragma once

// Copies the package file into "bak" in the program folder as name(n).ext,
// n the smallest number not yet taken. The copy appears under that name only
// when complete. The copy's path goes into `backupPath` (PATH_BUFFER_SIZE
// bytes) when one is given.
void backup_data_package(const char* path, char* backupPath = nullptr);

// Saves the text over the package file as FF FE and UTF-16LE, replacing the
// file in one step: on any failure the old package stays as it was.
void write_data_package(const char* path, const char* text);
