// The program's paths (GB18030: any name, and a GBK path as it is) to and
// from the wide names of the Windows file APIs, for the Windows platform
// files only. Both are exact: false rather than a mangled name.
#pragma once

#include <string>

namespace platform {
bool to_native_path(const char* path, std::wstring& out);
bool from_native_path(const wchar_t* native, std::string& text);
// Keeps the reason (a GetLastError value) of a failed file operation made
// outside the safe file operations, for last_file_error().
void note_file_error(unsigned long error);
}  // namespace platform
