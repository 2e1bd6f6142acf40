// kelvane-cli: the move job without a window, for scripts and for sellers at
// a console.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/job_stop.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/startup.h"
#include "platform/platform.h"
#include "shell/fatal.h"

namespace {

const CommandSpec* const COMMANDS[] = {&SCAN_COMMAND, &MOVE_COMMAND, &FETCH_COMMAND};

const char* const ABOUT =
    "\n"
    "把淘宝助理数据包里的图片搬到本地文件夹，并让数据包改用这些本地图片。\n"
    "\n"
    "命令：\n";

const char* const AFTER_COMMANDS =
    "  help   显示一个命令的用法和选项，例如 kelvane-cli help move\n"
    "\n"
    "选项可以写成 --选项 值 或 --选项=值；-- 之后的参数都不当作选项。\n"
    "\n"
    "退出状态：\n"
    "  0    完成(搬家时：每张图片都已搬好，或没有需要搬的图片)\n"
    "  1    严重错误\n"
    "  2    用法错误，或开始前的检查未通过\n"
    "  3    数据包格式有问题\n"
    "  4    有宝贝的标题过长\n"
    "  5    搬家做完了，数据包已保存，但有图片搬家失败\n" INTERRUPTED_STATUS_LINE
    "\n"
#ifdef _WIN32
    "app.log 和 bak 文件夹在 kelvane-cli.exe 所在的文件夹里。\n";
#else
    "app.log 和 bak 文件夹在 $KELVANE_HOME 里；没有设置时在 $XDG_STATE_HOME/kelvane，\n"
    "再没有时在 ~/.local/state/kelvane。\n";
#endif

void print_usage() {
    std::string text = "用法：kelvane-cli 命令 [选项] 参数...\n\n";
    for (const CommandSpec* command : COMMANDS) {
        text += synopsis(std::string("  kelvane-cli ") + command->name, command->operands,
                         *command->options, HELP_COLUMNS);
    }
    text += "  kelvane-cli help [命令]\n  kelvane-cli -h|--help | -V|--version\n";
    text += ABOUT;
    for (const CommandSpec* command : COMMANDS) {
        std::string name = command->name;
        name.resize(7, ' ');
        text += "  " + name + command->summary + "\n";
    }
    text += AFTER_COMMANDS;
    cli_print(text.c_str());
}

const CommandSpec* find_command(const char* name) {
    for (const CommandSpec* command : COMMANDS) {
        if (std::strcmp(name, command->name) == 0) return command;
    }
    return nullptr;
}

bool is(const char* argument, const char* shortForm, const char* longForm) {
    return std::strcmp(argument, shortForm) == 0 || std::strcmp(argument, longForm) == 0;
}

// "help [COMMAND]" and "--help [COMMAND]".
int help(int argc, char** argv) {
    if (argc == 0) {
        print_usage();
        return EXIT_OK;
    }
    const CommandSpec* command = argc == 1 ? find_command(argv[0]) : nullptr;
    if (command == nullptr) {
        return usage_error(nullptr, argc == 1 ? "未知的命令 '" + shown_argument(argv[0]) + "'"
                                              : std::string("help 后面只能给一个命令"));
    }
    print_help(*command->help, *command->options);
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    ignore_broken_pipes();
    argv = platform::utf8_arguments(argc, argv);
    remember_command_line(argc, argv);
    // Known before anything can go wrong, so every way out gives its object.
    bool json = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        json = json || std::strcmp(argv[i], "--json") == 0;
    const CommandSpec* command = argc >= 2 ? find_command(argv[1]) : nullptr;
    set_run_output(command != nullptr ? command->name : nullptr, json);
    set_fatal_handler(cli_fatal);

    if (command != nullptr) return command->run(argc - 2, argv + 2);
    if (argc < 2) return usage_error(nullptr, "缺少命令");
    const char* first = argv[1];
    if (is(first, "-h", "--help") || std::strcmp(first, "help") == 0) {
        return help(argc - 2, argv + 2);
    }
    if (is(first, "-V", "--version")) return print_version();
    const char* what = first[0] == '-' ? "未知的选项 '" : "未知的命令 '";
    return usage_error(nullptr, what + shown_argument(first) + "'");
}
