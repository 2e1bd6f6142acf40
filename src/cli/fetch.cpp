// kelvane-cli fetch URL FILE [URL FILE ...]: each address downloaded exactly
// as the move job downloads one image, in one process so that keep-alive
// connections carry over from one pair to the next.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"

namespace {

const std::vector<OptionSpec> FETCH_OPTIONS = {
    {"--timeout", "秒数", "连接和每次等待服务器的时限，1 到 60，默认 10"},
};

const CommandHelp FETCH_HELP = {
    "用法：kelvane-cli fetch 图片地址 文件 [图片地址 文件 ...] [--timeout 秒数]\n",
    "按搬家时的方式逐个下载图片地址到文件(先用持久连接，失败后(超时除外)不用持久连接\n"
    "再试一次，跟随一次跳转；https地址先用HTTPS，无法建立HTTPS连接时改用HTTP)，用于\n"
    "检查总是搬家失败的图片。每个失败的地址在标准错误上打印一行\n"
    "download failed (结果代码): 错误信息，详细原因写在 app.log 里。\n",
    "  0    每个地址都已保存\n"
    "  1    有地址下载失败，或无法建立程序文件夹\n"
    "  2    用法错误(地址和文件必须成对给出)\n",
};

}  // namespace

int run_fetch(int argc, char** argv) {
    ParsedOptions args;
    if (!parse_options("fetch", argc, argv, FETCH_OPTIONS, &args)) return EXIT_USAGE;
    if (args.help) {
        print_help(FETCH_HELP, FETCH_OPTIONS);
        return EXIT_OK;
    }
    const std::vector<const char*>& pairs = args.operands;
    if (pairs.size() < 2 || pairs.size() % 2 != 0) {
        // Scripts look for this line: it stays as it always was.
        std::fputs("usage: kelvane-cli fetch URL FILE [URL FILE ...]\n", stderr);
        return EXIT_USAGE;
    }
    int timeoutSeconds = CONNECT_TIMEOUT_MS / 1000;
    if (const char* text = args.value("--timeout")) {
        char* end = nullptr;
        const long seconds = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || seconds < 1 || seconds > MAX_TIMEOUT_SECONDS) {
            cli_print("kelvane-cli fetch：--timeout 需要 1 到 60 之间的整数\n", true);
            return EXIT_USAGE;
        }
        timeoutSeconds = static_cast<int>(seconds);
    }
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;
    connection_tables_init();
    set_connection_time_limits(timeoutSeconds * 1000, timeoutSeconds * 1000);

    bool all_saved = true;
    for (size_t i = 0; i < pairs.size(); i += 2) {
        char* url = platform::argument_to_gbk(pairs[i]);
        char* path = platform::argument_to_gbk(pairs[i + 1]);
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
