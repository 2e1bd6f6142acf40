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
// one argument) and `home` as its program folder.
CliRun run_cli(const std::vector<std::string>& args, const std::string& home);
