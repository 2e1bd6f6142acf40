// Text crossing between the program and Windows. Inside the program text is
// GBK, a package's own text GB18030 (of which GBK is a part); the window
// hands Windows UTF-16 through the wide calls, converted here and only here.
// The ANSI calls would convert through the system's code page instead, which
// on an English, Japanese or Traditional Chinese Windows turns every Chinese
// text into other characters.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// `text` (GBK or GB18030) as UTF-16.
std::wstring wide(const char* text);

// A window's whole text.
std::wstring window_text(HWND window);

// UTF-16 as GB18030 (every character) into `out`, `capacity` bytes with the
// NUL. False, with `out` empty, when it does not fit or holds an unpaired
// surrogate: a cut or mangled path would name another file.
bool to_gb18030(const wchar_t* text, char* out, size_t capacity);
