// The way out for failures the program cannot continue from. The front end
// decides how the user sees them: the window shows a message box and ends the
// process, the console program prints to stderr and exits with status 1.
#pragma once

using FatalHandler = void (*)(const char* message);

// Installs the front end's handler; nullptr restores the default (stderr,
// exit status 1). A handler must not return.
void set_fatal_handler(FatalHandler handler);

// Shows the GBK message through the installed handler and ends the process.
[[noreturn]] void fatal_error(const char* message);
