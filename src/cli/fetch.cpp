// kelvane-cli fetch URL FILE [URL FILE ...]: each address downloaded exactly
// as the move job downloads one image, in one process so that keep-alive
// connections carry over from one pair to the next.
#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/commands.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/charset.h"
#include "shell/files.h"

namespace {

// Arguments arrive in the console's encoding: the ANSI code page (GBK) on
// Windows, UTF-8 elsewhere. Inside the program everything is GBK.
std::string argument_as_gbk(const char* argument) {
#ifdef _WIN32
    return argument;
#else
    char* gbk = utf8_to_gbk(argument);
    std::string text = gbk;
    std::free(gbk);
    return text;
#endif
}

bool start_networking() {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

}  // namespace

int run_fetch(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fputs("usage: kelvane-cli fetch URL FILE [URL FILE ...]\n", stderr);
        return EXIT_USAGE;
    }
    char folder[PATH_BUFFER_SIZE];
    if (!program_folder(folder)) {
        std::fputs("kelvane-cli: cannot find or create the program folder (set KELVANE_HOME)\n",
                   stderr);
        return EXIT_FATAL;
    }
    app_log_open(folder);
    if (!start_networking()) {
        std::fputs("kelvane-cli: Windows Sockets could not be started\n", stderr);
        return EXIT_FATAL;
    }
    connection_tables_init();

    bool all_saved = true;
    for (int i = 0; i < argc; i += 2) {
        const std::string url = argument_as_gbk(argv[i]);
        const std::string path = argument_as_gbk(argv[i + 1]);
        char errorText[ERROR_TEXT_SIZE] = {};
        const int result = download_image(url.c_str(), path.c_str(), errorText, 1, 0);
        if (result == DOWNLOAD_OK) continue;
        all_saved = false;
        char line[ERROR_TEXT_SIZE + 64];
        std::snprintf(line, sizeof line, "download failed (%d): %s\n", result, errorText);
        platform::write_console(stderr, line);
    }
    reset_connect_failures();
    return all_saved ? EXIT_OK : EXIT_FATAL;
}
