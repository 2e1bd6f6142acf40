// The two services of the Windows shell the program uses: showing a web page
// in the user's browser, and writing a shell link.
#pragma once

#include <windows.h>

// Shows the page in the browser. Reports nothing: there is nothing the user
// could do about a browser that will not start.
void open_url(const char* address);

// Writes a shell link and returns the COM result (negative on failure). The
// caller has initialised COM on its thread.
HRESULT create_shortcut(const char* targetPath, const char* arguments, const char* linkPath,
                        const char* description, int showCommand, const char* workingFolder,
                        const char* iconPath, int iconIndex);
