// The subcommands of kelvane-cli. Each takes the arguments behind its name
// and returns the process exit status.
#pragma once

#include <cstdint>
#include <vector>

#include "cli/options.h"
#include "package/data_package.h"

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FATAL = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_MALFORMED_PACKAGE = 3;
inline constexpr int EXIT_TITLE_TOO_LONG = 4;
// The job ran to its end and saved the package, but some images failed.
inline constexpr int EXIT_IMAGES_FAILED = 5;
inline constexpr int EXIT_INTERRUPTED = 130;
// The help's line for EXIT_INTERRUPTED: what stops a job and saves it here.
#ifdef _WIN32
#define INTERRUPTED_STATUS_LINE \
    "  130  被停止(Ctrl+C、Ctrl+Break、关闭控制台窗口、注销或关机)，数据包已保存\n"
#else
#define INTERRUPTED_STATUS_LINE \
    "  130  被停止(Ctrl+C、SIGTERM，或终端关闭、SSH 断开时的 SIGHUP)，数据包已保存\n"
#endif

// The exit status for a package the reader refused.
inline int load_failure_status(ReadResult readResult) {
    return readResult == ReadResult::TitleTooLong ? EXIT_TITLE_TOO_LONG : EXIT_MALFORMED_PACKAGE;
}

// A command as the program's usage lists it and main runs it.
struct CommandSpec {
    const char* name;
    const char* operands;  // after the name in the usage ("数据包.csv --to 文件夹")
    const char* summary;   // what it does, for the list of commands
    const std::vector<OptionSpec>* options;
    const CommandHelp* help;
    int (*run)(int argc, char** argv);
};

extern const CommandSpec SCAN_COMMAND;
extern const CommandSpec MOVE_COMMAND;
extern const CommandSpec FETCH_COMMAND;
