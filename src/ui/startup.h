// The window program from start to message loop.
#pragma once

#include <windows.h>

// Runs the program and returns its exit code.
int run_window_program(HINSTANCE instance, int showCommand);

// Gets, translates, filters and dispatches messages until the quit message;
// returns its exit code.
int run_message_loop();
