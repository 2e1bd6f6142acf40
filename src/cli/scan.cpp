// kelvane-cli scan PACKAGE [--json]: loads a package exactly as the window's
// Next does and shows what was found in it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/startup.h"
#include "package/data_package.h"
#include "package/load_package.h"
#include "platform/platform.h"

namespace {

Json address_list(const PtrVector* list) {
    Json out = Json::array();
    for (int32_t i = 0; i < list->count; ++i)
        out.push_back(utf8(static_cast<const char*>(list->items[i])));
    return out;
}

void print_items(const PtrVector* items) {
    Json root;
    root["count"] = items->count;
    root["items"] = Json::array();
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        Json entry;
        entry["index"] = item->index;
        entry["title"] = utf8(item->name);
        entry["desc_images"] = address_list(item->desc_images);
        entry["mobile_images"] =
            item->mobile_images != nullptr ? address_list(item->mobile_images) : nullptr;
        root["items"].push_back(std::move(entry));
    }
    print_json(std::move(root));
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
        cli_print((std::to_string(item->index) + "\t").c_str());
        cli_print(item->name);
        cli_print(counts);
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

int run_scan(int argc, char** argv) {
    ParsedOptions args;
    if (!parse_options("scan", argc, argv, SCAN_OPTIONS, &args)) return EXIT_USAGE;
    if (args.help) {
        print_help(SCAN_HELP, SCAN_OPTIONS);
        return EXIT_OK;
    }
    if (args.version) return print_version();
    if (args.operands.size() > 1) return usage_error("scan", "只能给一个数据包");
    const char* package = args.operands.empty() ? "" : args.operands[0];
    if (package[0] == '\0')
        return refuse(EXIT_USAGE, NO_PACKAGE_CHOSEN_MESSAGE, ConsoleHint::PackagePath);
    char* path = platform::argument_to_text(package);
    if (const char* refusal =
            path != nullptr ? check_package_path(path) : PACKAGE_MISSING_MESSAGE) {
        std::free(path);
        return refuse(EXIT_USAGE, refusal);
    }
    if (!cli_startup()) {
        std::free(path);
        return EXIT_FATAL;
    }

    DataPackage loaded{};
    char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(path, &loaded, message);
    int status = EXIT_OK;
    if (result != ReadResult::Ok) {
        status = refuse(load_failure_status(result), message);
    } else if (args.has("--json")) {
        print_items(loaded.items);
    } else {
        print_lines(loaded.items);
    }
    unload_data_package(&loaded);
    std::free(path);
    return status;
}

}  // namespace

const CommandSpec SCAN_COMMAND = {
    "scan", "数据包.csv", "列出数据包里的宝贝和图片地址", &SCAN_OPTIONS, &SCAN_HELP, run_scan,
};
