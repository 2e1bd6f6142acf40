// Runs kelvane-cli as a user's script would, capturing what it prints.
#pragma once

#include <string>
#include <vector>

struct CliRun {
    int status = -1;  // the exit status
    std::string out;  // stdout
    std::string err;  // stderr
};

// Runs the kelvane-cli built next to the tests with `args` (each passed as
// one argument) and `home` as its program folder. `env` adds "NAME=value"
// settings (POSIX only; Windows takes the program folder from the .exe).
CliRun run_cli(const std::vector<std::string>& args, const std::string& home,
               const std::vector<std::string>& env = {});

// The path of the kelvane-cli the tests drive.
const char* cli_path();

#ifndef _WIN32
#include <sys/types.h>

// Starts kelvane-cli with `args` and `home` as its program folder without
// waiting for it; its output (stdout and stderr) goes to `output` when
// given, else nowhere. The caller signals and reaps it. With `wrapper` (a
// program and its first arguments) that program is started instead, with
// kelvane-cli's path and `args` after its own.
pid_t start_cli(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& wrapper = {}, int output = -1);
// Waits for a started kelvane-cli: its exit status, or 128 + the signal.
int wait_cli(pid_t child);
#endif
