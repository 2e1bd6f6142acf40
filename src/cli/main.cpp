// kelvane-cli: the move job without a window, for scripts and tests.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "shell/version.h"

namespace {

const char* const USAGE =
    "usage:\n"
    "  kelvane-cli scan PACKAGE [--json]\n"
    "  kelvane-cli move PACKAGE --to FOLDER [--skip-image-space] [--skip-third-party]\n"
    "                   [--blank-failed] [--quiet]\n"
    "  kelvane-cli fetch URL FILE [URL FILE ...]\n"
    "  kelvane-cli --help | --version\n"
    "\n"
    "Relocates the images of a Taobao Assistant data package to a local folder\n"
    "and rewrites the package to point at them.\n"
    "\n"
    "Exit status: 0 done, 1 stopped by a fatal error, 2 usage error or failed\n"
    "start check, 3 package badly formed, 4 a title too long, 130 interrupted.\n";

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

// Commands join this table as they are built.
const Command COMMANDS[] = {
    {"fetch", run_fetch},
    {"scan", run_scan},
    {"move", run_move},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvane-cli %s\n", KELVANE_VERSION);
        return EXIT_OK;
    }
    if (argc >= 2) {
        for (const Command& command : COMMANDS) {
            if (command.run != nullptr && std::strcmp(argv[1], command.name) == 0) {
                return command.run(argc - 2, argv + 2);
            }
        }
        std::fprintf(stderr, "kelvane-cli: unknown command '%s'\n\n", argv[1]);
    }
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}
