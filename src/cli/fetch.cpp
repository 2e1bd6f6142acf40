// kelvane-cli fetch URL FILE [URL FILE ...]: each address downloaded exactly
// as the move job downloads one image, in one process so that keep-alive
// connections carry over from one pair to the next.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"

namespace {

const CommandHelp FETCH_HELP = {
    "用法：kelvane-cli fetch 图片地址 文件 [图片地址 文件 ...]\n",
    "按搬家时的方式逐个下载图片地址到文件(先用持久连接，失败后不用持久连接再试一次，\n"
    "跟随一次跳转；https地址先用HTTPS，无法建立HTTPS连接时改用HTTP)，用于检查总是\n"
    "搬家失败的图片。每个失败的地址在标准错误上打印一行\n"
    "download failed (结果代码): 错误信息，详细原因写在 app.log 里。\n",
    "  0    每个地址都已保存\n"
    "  1    有地址下载失败，或无法建立程序文件夹\n"
    "  2    用法错误(地址和文件必须成对给出)\n",
};

}  // namespace

int run_fetch(int argc, char** argv) {
    if (argc == 1 && (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0)) {
        print_help(FETCH_HELP, {});
        return EXIT_OK;
    }
    if (argc < 2 || argc % 2 != 0) {
        // Scripts look for this line: it stays as it always was.
        std::fputs("usage: kelvane-cli fetch URL FILE [URL FILE ...]\n", stderr);
        return EXIT_USAGE;
    }
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;
    connection_tables_init();

    bool all_saved = true;
    for (int i = 0; i < argc; i += 2) {
        char* url = platform::argument_to_text(argv[i]);
        char* path = platform::argument_to_text(argv[i + 1]);
        char errorText[ERROR_TEXT_SIZE] = {};
        DownloadResult result = DownloadResult::Failed;
        if (url == nullptr || path == nullptr) {
            std::snprintf(errorText, sizeof errorText, "%s", "参数含有GBK无法表示的字符");
        } else {
            result = download_image(url, path, errorText);
        }
        std::free(url);
        std::free(path);
        if (result == DownloadResult::Ok) continue;
        all_saved = false;
        char line[ERROR_TEXT_SIZE + 64];
        std::snprintf(line, sizeof line, "download failed (%d): %s\n", static_cast<int>(result),
                      errorText);
        platform::write_console(stderr, line);
    }
    reset_connect_failures();
    return all_saved ? EXIT_OK : EXIT_FATAL;
}
