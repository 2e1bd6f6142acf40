// The program's paths (GB18030: any name, and a GBK path as it is) to and
// from the file system's own names (UTF-8), for the POSIX platform files
// only. Both are exact: false rather than a mangled name.
#pragma once

#include <string>

namespace platform {
bool to_native_path(const char* path, std::string& out);
bool from_native_path(const std::string& native, std::string& text);
// Keeps the reason (an errno value) of a failed file operation made outside
// the safe file operations, for last_file_error().
void note_file_error(int error);
}  // namespace platform
