#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/console_text.h"
#include "cli/startup.h"
#include "platform/platform.h"
#include "shell/charset.h"

namespace {

const char* const HELP_OPTION = "-h, --help";

int columns_of(const std::string& gbk) {
    char* utf8 = gbk_to_utf8(gbk.c_str());
    const int width = display_width(utf8);
    std::free(utf8);
    return width;
}

std::string option_label(const OptionSpec& option) {
    std::string label = option.name;
    if (option.value != nullptr) label += std::string(" ") + option.value;
    return label;
}

}  // namespace

const char* ParsedOptions::value(const char* name) const {
    const char* found = nullptr;
    for (const auto& [option, value] : given_) {
        if (std::strcmp(option, name) == 0) found = value;
    }
    return found;
}

bool parse_options(const char* command, int argc, char** argv, const std::vector<OptionSpec>& table,
                   ParsedOptions* out) {
    bool operandsOnly = false;
    for (int i = 0; i < argc; ++i) {
        const char* argument = argv[i];
        if (operandsOnly || argument[0] != '-' || argument[1] == '\0') {
            out->operands.push_back(argument);
            continue;
        }
        if (std::strcmp(argument, "--") == 0) {
            operandsOnly = true;
            continue;
        }
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            out->help = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& option : table) {
            if (std::strcmp(argument, option.name) == 0) spec = &option;
        }
        std::string problem;
        if (spec == nullptr) {
            problem = "未知的选项 ";
        } else if (spec->value != nullptr && i + 1 >= argc) {
            problem = "缺少选项的值 ";
        } else {
            out->given_.emplace_back(spec->name, spec->value != nullptr ? argv[++i] : "");
            continue;
        }
        // The argument as the console shows it, not as the shell's bytes.
        char* shown = platform::argument_to_text(argument);
        const std::string text = "kelvane-cli " + std::string(command) + "：" + problem + "'" +
                                 (shown != nullptr ? shown : "?") + "'\n可用 kelvane-cli " +
                                 command + " --help 查看用法。\n";
        std::free(shown);
        cli_print(text.c_str(), true);
        return false;
    }
    return true;
}

void print_help(const CommandHelp& help, const std::vector<OptionSpec>& table) {
    int column = columns_of(HELP_OPTION);
    for (const OptionSpec& option : table) {
        const int width = columns_of(option_label(option));
        if (width > column) column = width;
    }
    std::string text = std::string(help.usage) + "\n" + help.description + "\n选项：\n";
    auto row = [&](const std::string& label, const char* line) {
        text += "  " + label +
                std::string(static_cast<size_t>(column - columns_of(label) + 2), ' ') + line + "\n";
    };
    for (const OptionSpec& option : table) row(option_label(option), option.help);
    row(HELP_OPTION, "显示本说明");
    text += std::string("\n退出状态：\n") + help.exitStatus;
    cli_print(text.c_str());
}
