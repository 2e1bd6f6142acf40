#include "cli/startup.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cstdio>

#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/files.h"

bool cli_startup() {
    char folder[PATH_BUFFER_SIZE];
    if (!program_folder(folder)) {
        std::fputs("kelvane-cli: cannot find or create the program folder (set KELVANE_HOME)\n",
                   stderr);
        return false;
    }
    settle_program_folder(folder);
    app_log_open(folder);
    return true;
}

bool cli_start_networking() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fputs("kelvane-cli: Windows Sockets could not be started\n", stderr);
        return false;
    }
#endif
    return true;
}

void cli_print(const char* gbkText, bool toStderr) {
    platform::write_console(toStderr ? stderr : stdout, gbkText);
}
