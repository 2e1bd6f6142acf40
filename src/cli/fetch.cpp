// kelvane-cli fetch URL FILE [URL FILE ...]: each address downloaded exactly
// as the move job downloads one image, in one process so that keep-alive
// connections carry over from one pair to the next.
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/startup.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"

int run_fetch(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fputs("usage: kelvane-cli fetch URL FILE [URL FILE ...]\n", stderr);
        return EXIT_USAGE;
    }
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;
    connection_tables_init();

    bool all_saved = true;
    for (int i = 0; i < argc; i += 2) {
        char* url = platform::argument_to_gbk(argv[i]);
        char* path = platform::argument_to_gbk(argv[i + 1]);
        char errorText[ERROR_TEXT_SIZE] = {};
        int result = DOWNLOAD_FAILED;
        if (url == nullptr || path == nullptr) {
            std::snprintf(errorText, sizeof errorText, "%s", "参数含有GBK无法表示的字符");
        } else {
            result = download_image(url, path, errorText, 1, 0);
        }
        std::free(url);
        std::free(path);
        if (result == DOWNLOAD_OK) continue;
        all_saved = false;
        char line[ERROR_TEXT_SIZE + 64];
        std::snprintf(line, sizeof line, "download failed (%d): %s\n", result, errorText);
        platform::write_console(stderr, line);
    }
    reset_connect_failures();
    return all_saved ? EXIT_OK : EXIT_FATAL;
}
