// kelvane-cli: the move job without a window, for scripts and for sellers at
// a console.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/commands.h"
#include "cli/startup.h"
#include "platform/platform.h"
#include "shell/version.h"

namespace {

const char* const USAGE =
    "用法：\n"
    "  kelvane-cli scan 数据包.csv [--json]\n"
    "  kelvane-cli move 数据包.csv --to 文件夹 [--skip-image-space] [--skip-third-party]\n"
    "                   [--blank-failed] [--json] [--quiet]\n"
    "  kelvane-cli fetch 图片地址 文件 [图片地址 文件 ...]\n"
    "  kelvane-cli --help | --version\n"
    "\n"
    "把淘宝助理数据包里的图片搬到本地文件夹，并让数据包改用这些本地图片。\n"
    "  scan   列出数据包里的宝贝和图片地址\n"
    "  move   搬家：下载图片并更新数据包(可随时按 Ctrl+C 停止，再次运行即可继续)\n"
    "  fetch  按搬家时的方式下载单个图片地址，用于检查总是失败的图片\n"
    "每个命令的选项：kelvane-cli 命令 --help\n"
    "\n"
    "退出状态：0 完成，1 严重错误，2 用法错误或开始前的检查未通过，3 数据包格式有问题，\n"
    "4 有宝贝标题过长，130 被中断(数据包已保存)。\n";

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const Command COMMANDS[] = {
    {"fetch", run_fetch},
    {"scan", run_scan},
    {"move", run_move},
};

}  // namespace

int main(int argc, char** argv) {
    argv = platform::utf8_arguments(argc, argv);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        cli_print(USAGE);
        return EXIT_OK;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvane-cli %s\n", KELVANE_VERSION);
        return EXIT_OK;
    }
    if (argc >= 2) {
        for (const Command& command : COMMANDS) {
            if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 2, argv + 2);
        }
        char* shown = platform::argument_to_text(argv[1]);
        cli_print("kelvane-cli：未知的命令 '", true);
        cli_print(shown != nullptr ? shown : "?", true);
        cli_print("'\n\n", true);
        std::free(shown);
    }
    cli_print(USAGE, true);
    return EXIT_USAGE;
}
