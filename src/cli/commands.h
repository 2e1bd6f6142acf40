// The subcommands of kelvane-cli. Each takes the arguments behind its name
// and returns the process exit status.
#pragma once

#include <cstdint>

#include "package/data_package.h"

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FATAL = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_MALFORMED_PACKAGE = 3;
inline constexpr int EXIT_TITLE_TOO_LONG = 4;
inline constexpr int EXIT_INTERRUPTED = 130;

// The exit status for a package the reader refused.
inline int load_failure_status(ReadResult readResult) {
    return readResult == ReadResult::TitleTooLong ? EXIT_TITLE_TOO_LONG : EXIT_MALFORMED_PACKAGE;
}

int run_scan(int argc, char** argv);
int run_move(int argc, char** argv);
int run_fetch(int argc, char** argv);
