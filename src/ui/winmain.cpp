// kelvane.exe: the window program.
#include <windows.h>

#include "ui/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The command line is not read; the show command comes from the start-up
    // information, as the process's creator gave it.
    STARTUPINFOW start{};
    start.cb = sizeof start;
    GetStartupInfoW(&start);
    const int show = (start.dwFlags & STARTF_USESHOWWINDOW) ? start.wShowWindow : SW_SHOWDEFAULT;
    return run_window_program(instance, show);
}
