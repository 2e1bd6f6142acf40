#pragma once

// What every command needs before it works: the program folder settled and
// app.log open in it. Returns false (with a message on stderr) when the
// program folder cannot be found or created.
bool cli_startup();

// Starts the sockets layer where the OS needs it (Winsock). False with a
// message on stderr when it cannot be started.
bool cli_start_networking();

// Prints GBK text on a console stream in the console's encoding.
void cli_print(const char* gbkText, bool toStderr = false);
