#include "cli/startup.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/output.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/files.h"
#include "shell/version.h"

namespace {

std::string commandLine;

// An argument as a shell would need it to run the command again; control
// characters become '?', so that the line stays one line.
std::string quoted(const char* argument) {
    bool plain = argument[0] != '\0';
    std::string text;
    for (const char* c = argument; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) {
            text += '?';
            plain = false;
        } else if (byte == '\'') {
            text += "'\\''";
            plain = false;
        } else {
            text += *c;
            plain = plain && (byte >= 0x80 || std::strchr("+,-./:=@_%", *c) != nullptr ||
                              (byte >= '0' && byte <= '9') ||
                              ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z'));
        }
    }
    return plain ? text : "'" + text + "'";
}

}  // namespace

void remember_command_line(int argc, char** argv) {
    commandLine = std::string("(") + KELVANE_VERSION + ") kelvane-cli";
    for (int i = 1; i < argc; ++i) commandLine += " " + quoted(argv[i]);
}

bool cli_startup() {
    char folder[PATH_BUFFER_SIZE];
    if (!program_folder(folder)) {
        refuse(EXIT_FATAL,
               "找不到也无法建立程序文件夹(app.log 和 bak 所在处)。"
               "可用环境变量 KELVANE_HOME 指定一个可以写入的文件夹。");
        return false;
    }
    settle_program_folder(folder);
    app_log_open(folder);
    app_log_run_start(commandLine.c_str());
    return true;
}

std::string app_log_path() {
    char path[PATH_BUFFER_SIZE];
    const char* folder = settled_program_folder();
    if (folder == nullptr || !join_path(path, sizeof path, folder, "app.log")) return "app.log";
    return path;
}

bool cli_start_networking() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        refuse(EXIT_FATAL, "无法启动 Windows Sockets，不能联网下载图片。");
        return false;
    }
#endif
    return true;
}

void cli_print(const char* gbkText, bool toStderr) {
    platform::write_console(toStderr ? stderr : stdout, gbkText);
}
