#include "cli/startup.h"

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

void cli_print(const char* gbkText, bool toStderr) {
    platform::write_console(toStderr ? stderr : stdout, gbkText);
}
