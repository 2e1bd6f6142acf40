// kelvane-cli fetch URL FILE [URL FILE ...]: each address downloaded exactly
// as the move job downloads one image, in one process so that keep-alive
// connections carry over from one pair to the next.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/failure_reason.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/startup.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"

namespace {

const std::vector<OptionSpec> FETCH_OPTIONS = {
    {"--timeout", "秒数", "连接和每次等待服务器的时限，1 到 60，默认 10"},
    {"--no-http-fallback", nullptr, "https 地址无法建立 HTTPS 连接时不改用 HTTP 下载，算作失败"},
};

const CommandHelp FETCH_HELP = {
    "用法：kelvane-cli fetch 图片地址 文件 [图片地址 文件 ...] [--timeout 秒数]\n"
    "                        [--no-http-fallback]\n",
    "按搬家时的方式逐个下载图片地址到文件(先用持久连接，失败后(超时除外)不用持久连接\n"
    "再试一次，跟随一次跳转；https地址先用HTTPS，无法建立HTTPS连接时改用HTTP)，用于\n"
    "检查总是搬家失败的图片。每个失败的地址在标准错误上打印一行：\n"
    "  下载失败 (结果代码，原因)：图片地址 → 文件：错误信息\n"
    "结果代码：-1 地址、连接或传输失败，0 文件过大、长度不符或不是图片，-2 无法写入\n"
    "文件，-3 无法创建文件。原因是简短的分类，例如 超时、连接被拒绝、HTTP 404。\n"
    "https 地址改用 HTTP 下载成功时也打印一行：\n"
    "  已改用 HTTP 下载(HTTPS 连接失败)：图片地址 → 文件\n"
    "详细原因写在 app.log 里。\n",
    "  0    每个地址都已保存\n"
    "  1    有地址下载失败，或无法建立程序文件夹\n"
    "  2    用法错误(地址和文件必须成对给出)\n",
};

int run_fetch(int argc, char** argv) {
    ParsedOptions args;
    if (!parse_options("fetch", argc, argv, FETCH_OPTIONS, &args)) return EXIT_USAGE;
    if (args.help) {
        print_help(FETCH_HELP, FETCH_OPTIONS);
        return EXIT_OK;
    }
    if (args.version) return print_version();
    const std::vector<const char*>& pairs = args.operands;
    if (pairs.empty() || pairs.size() % 2 != 0)
        return usage_error("fetch", "图片地址和文件必须成对给出");
    int timeoutSeconds = CONNECT_TIMEOUT_MS / 1000;
    if (!number_option("fetch", args, "--timeout", 1, MAX_TIMEOUT_SECONDS, &timeoutSeconds))
        return EXIT_USAGE;
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;
    connection_tables_init();
    set_connection_time_limits(timeoutSeconds * 1000, timeoutSeconds * 1000);

    DownloadOptions options;
    options.httpFallback = !args.has("--no-http-fallback");
    bool all_saved = true;
    for (size_t i = 0; i < pairs.size(); i += 2) {
        char* url = platform::argument_to_text(pairs[i]);
        char* path = platform::argument_to_text(pairs[i + 1]);
        char errorText[ERROR_TEXT_SIZE] = {};
        DownloadResult result = DownloadResult::Failed;
        DownloadDetails details;
        if (url == nullptr || path == nullptr) {
            std::snprintf(errorText, sizeof errorText, "%s",
                          "参数里有无法识别的字符(不是 UTF-8 文字)");
            details.failure = FailureKind::BadAddress;
        } else {
            result = download_image(url, path, errorText, options, &details);
        }
        std::free(url);
        std::free(path);
        // The pair named, so that a script (or a person) with several knows which.
        const std::string pair = shown_argument(pairs[i]) + " → " + shown_argument(pairs[i + 1]);
        if (result == DownloadResult::Ok) {
            // Saved, but not the way an https address promises.
            if (details.overPlainHttp)
                cli_print(("已改用 HTTP 下载(HTTPS 连接失败)：" + pair + "\n").c_str(), true);
            continue;
        }
        all_saved = false;
        const std::string line = "下载失败 (" + std::to_string(static_cast<int>(result)) + "，" +
                                 failure_reason_words(details.failure, details.httpStatus) + ")：" +
                                 pair + "：" + errorText + "\n";
        cli_print(line.c_str(), true);
    }
    reset_connect_failures();
    return all_saved ? EXIT_OK : EXIT_FATAL;
}

}  // namespace

const CommandSpec FETCH_COMMAND = {
    "fetch",
    "图片地址 文件 [图片地址 文件 ...]",
    "按搬家时的方式下载单个图片地址，用于检查总是失败的图片",
    &FETCH_OPTIONS,
    &FETCH_HELP,
    run_fetch,
};
