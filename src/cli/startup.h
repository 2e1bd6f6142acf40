#pragma once

#include <string>

// Keeps the command line (UTF-8, as the program was started) for the line
// that opens this run in app.log.
void remember_command_line(int argc, char** argv);

// What every command needs before it works: the program folder settled and
// app.log open in it, the run's first line written. Returns false (with a
// message on stderr, and the refusal object with --json) when the program
// folder cannot be found or created.
bool cli_startup();

// app.log's path (GBK), once cli_startup has settled the program folder.
std::string app_log_path();

// Starts the sockets layer where the OS needs it (Winsock). False with a
// message on stderr when it cannot be started.
bool cli_start_networking();

// Prints GBK text on a console stream in the console's encoding.
void cli_print(const char* gbkText, bool toStderr = false);
