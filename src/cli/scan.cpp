// kelvane-cli scan PACKAGE [--json]: loads a package exactly as the window's
// Next does and shows what was found in it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "package/data_package.h"
#include "package/load_messages.h"
#include "platform/platform.h"
#include "shell/charset.h"

namespace {

// Titles and addresses are the package's text, GB18030.
std::string utf8(const char* text) {
    char* converted = gb18030_to_utf8(text);
    std::string out = converted;
    std::free(converted);
    return out;
}

nlohmann::ordered_json address_list(const PtrVector* list) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < list->count; ++i)
        out.push_back(utf8(static_cast<const char*>(list->items[i])));
    return out;
}

void print_json(const PtrVector* items) {
    nlohmann::ordered_json root;
    root["count"] = items->count;
    root["items"] = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        nlohmann::ordered_json entry;
        entry["index"] = item->index;
        entry["title"] = utf8(item->name);
        entry["desc_images"] = address_list(item->desc_images);
        entry["mobile_images"] =
            item->mobile_images != nullptr ? address_list(item->mobile_images) : nullptr;
        root["items"].push_back(std::move(entry));
    }
    // A title cut inside a character must not stop the output.
    const std::string text =
        root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void print_lines(const PtrVector* items) {
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        char counts[64];
        if (item->mobile_images != nullptr) {
            std::snprintf(counts, sizeof counts, "\t%d\t%d\n", item->desc_images->count,
                          item->mobile_images->count);
        } else {
            std::snprintf(counts, sizeof counts, "\t%d\t-\n", item->desc_images->count);
        }
        std::printf("%d\t", item->index);
        std::fflush(stdout);
        cli_print(item->name);
        std::fputs(counts, stdout);
    }
}

const std::vector<OptionSpec> SCAN_OPTIONS = {
    {"--json", nullptr, "打印一个 JSON 对象(UTF-8)：宝贝数，每个宝贝的序号、标题和图片地址"},
};

const CommandHelp SCAN_HELP = {
    "用法：kelvane-cli scan 数据包.csv [--json]\n",
    "像窗口里的 [下一步] 那样读入数据包，列出其中的宝贝：每行一个宝贝，依次是序号、\n"
    "标题、描述图片数和手机详情图片数(数据包没有手机详情一栏时为 -)。\n",
    "  0    已列出\n"
    "  1    找不到或无法建立程序文件夹(app.log 所在处)\n"
    "  2    用法错误，或没有给出数据包、数据包不存在\n"
    "  3    数据包格式有问题\n"
    "  4    有宝贝的标题过长\n",
};

}  // namespace

int run_scan(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            print_help(SCAN_HELP, SCAN_OPTIONS);
            return EXIT_OK;
        }
    }
    const char* package = nullptr;
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (package == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0')) {
            package = argv[i];
        } else {
            std::fprintf(stderr,
                         "kelvane-cli scan: unexpected argument '%s'\nusage: kelvane-cli scan "
                         "PACKAGE [--json]\n",
                         argv[i]);
            return EXIT_USAGE;
        }
    }
    if (package == nullptr || package[0] == '\0') {
        cli_print(NO_PACKAGE_CHOSEN_MESSAGE, true);
        std::fputc('\n', stderr);
        return EXIT_USAGE;
    }
    char* path = platform::argument_to_text(package);
    if (const char* refusal =
            path != nullptr ? check_package_path(path) : PACKAGE_MISSING_MESSAGE) {
        cli_print(refusal, true);
        std::fputc('\n', stderr);
        std::free(path);
        return EXIT_USAGE;
    }
    if (!cli_startup()) {
        std::free(path);
        return EXIT_FATAL;
    }

    DataPackage loaded{};
    char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(path, &loaded, message);
    int status = EXIT_OK;
    if (result == ReadResult::Ok) {
        if (json) {
            print_json(loaded.items);
        } else {
            print_lines(loaded.items);
        }
    } else {
        status = load_failure_status(result);
        cli_print(message, true);
        std::fputc('\n', stderr);
    }
    unload_data_package(&loaded);
    std::free(path);
    return status;
}
