#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/console_text.h"
#include "cli/output.h"
#include "cli/startup.h"
#include "platform/platform.h"
#include "shell/charset.h"

namespace {

// What every command takes besides its own options.
const std::vector<OptionSpec> COMMON_OPTIONS = {
    {"--help", nullptr, "显示本说明", 'h'},
    {"--version", nullptr, "显示版本号", 'V'},
};

const OptionSpec* find_option(const std::vector<OptionSpec>& table, const std::string& name) {
    for (const OptionSpec& option : table) {
        if (name == option.name) return &option;
        if (option.shortName != '\0' && name.size() == 2 && name[0] == '-' &&
            name[1] == option.shortName)
            return &option;
    }
    return nullptr;
}

// "-q, --quiet" or, lined up under it, "    --to 文件夹".
std::string option_label(const OptionSpec& option) {
    std::string label =
        option.shortName != '\0' ? std::string("-") + option.shortName + ", " : std::string("    ");
    label += option.name;
    if (option.value != nullptr) label += std::string(" ") + option.value;
    return label;
}

// One unit of text that a line break may not split.
struct Piece {
    std::string text;
    bool spaceBefore = false;  // a space stood before it
};

bool is_closing_mark(const std::string& character) {
    for (const char* mark : {"，", "。", "、", "；", "：", "）", "！", "？", "”", "…"}) {
        if (character == mark) return true;
    }
    return false;
}

bool is_opening_mark(const std::string& character) {
    return character == "（" || character == "“" || character == "(" || character == "[";
}

// Words, Chinese characters and marks: a closing mark stays with what it
// closes, an opening one with what follows.
std::vector<Piece> pieces_of(const std::string& gbk) {
    std::vector<Piece> pieces;
    bool space = false;
    bool glueNext = false;
    for (size_t at = 0; at < gbk.size();) {
        const auto byte = static_cast<unsigned char>(gbk[at]);
        if (byte == ' ') {
            space = true;
            ++at;
            continue;
        }
        size_t length = 1;
        if (byte >= 0x81 && at + 1 < gbk.size()) {
            const auto second = static_cast<unsigned char>(gbk[at + 1]);
            length = second >= 0x30 && second <= 0x39 && at + 3 < gbk.size() ? 4 : 2;
        } else if (byte < 0x80) {
            while (at + length < gbk.size() && gbk[at + length] != ' ' &&
                   static_cast<unsigned char>(gbk[at + length]) < 0x80) {
                ++length;
            }
        }
        const std::string text = gbk.substr(at, length);
        at += length;
        const bool glue = !pieces.empty() && !space && (glueNext || is_closing_mark(text));
        if (glue) {
            pieces.back().text += text;
        } else {
            pieces.push_back(Piece{text, space});
        }
        glueNext = is_opening_mark(text);
        space = false;
    }
    return pieces;
}

}  // namespace

int text_columns(const std::string& gbk) {
    char* utf8 = gbk_to_utf8(gbk.c_str());
    const int width = display_width(utf8);
    std::free(utf8);
    return width;
}

std::vector<std::string> wrap_text(const std::string& gbk, int columns) {
    std::vector<std::string> lines;
    std::string line;
    int width = 0;
    for (const Piece& piece : pieces_of(gbk)) {
        const int pieceWidth = text_columns(piece.text);
        const int gap = piece.spaceBefore && !line.empty() ? 1 : 0;
        if (!line.empty() && width + gap + pieceWidth > columns) {
            lines.push_back(line);
            line.clear();
            width = 0;
        }
        if (!line.empty() && piece.spaceBefore) {
            line += ' ';
            ++width;
        }
        line += piece.text;
        width += pieceWidth;
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

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
        std::string name = argument;
        const char* attached = nullptr;
        if (argument[1] == '-') {
            if (const char* equals = std::strchr(argument, '=')) {
                name.assign(argument, static_cast<size_t>(equals - argument));
                attached = equals + 1;
            }
        }
        const OptionSpec* spec = find_option(table, name);
        if (spec == nullptr) spec = find_option(COMMON_OPTIONS, name);
        std::string problem;
        if (spec == nullptr) {
            problem = "未知的选项 ";
        } else if (spec->value == nullptr && attached != nullptr) {
            problem = "这个选项不带值：";
        } else if (spec->value != nullptr && attached == nullptr && i + 1 >= argc) {
            problem = "缺少选项的值：";
        } else {
            const char* value = spec->value == nullptr ? ""
                                : attached != nullptr  ? attached
                                                       : argv[++i];
            if (std::strcmp(spec->name, "--help") == 0) {
                out->help = true;
            } else if (std::strcmp(spec->name, "--version") == 0) {
                out->version = true;
            } else {
                out->given_.emplace_back(spec->name, value);
            }
            continue;
        }
        usage_error(command, problem + "'" + shown_argument(argument) + "'");
        return false;
    }
    return true;
}

void print_help(const CommandHelp& help, const std::vector<OptionSpec>& table) {
    std::vector<OptionSpec> all = table;
    all.insert(all.end(), COMMON_OPTIONS.begin(), COMMON_OPTIONS.end());
    int column = 0;
    for (const OptionSpec& option : all) {
        const int width = text_columns(option_label(option));
        if (width > column) column = width;
    }
    const int indent = 2 + column + 2;
    std::string text = std::string(help.usage) + "\n" + help.description + "\n选项：\n";
    for (const OptionSpec& option : all) {
        const std::string label = option_label(option);
        const std::vector<std::string> lines = wrap_text(option.help, HELP_COLUMNS - indent);
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string head = i == 0 ? "  " + label : std::string();
            text += head + std::string(static_cast<size_t>(indent - text_columns(head)), ' ') +
                    lines[i] + "\n";
        }
    }
    text += std::string("\n退出状态：\n") + help.exitStatus;
    cli_print(text.c_str());
}

std::string synopsis(const std::string& head, const char* operands,
                     const std::vector<OptionSpec>& table, int columns) {
    std::vector<std::string> items = {operands};
    // An option the operands name (move's --to) is not repeated.
    const std::string named = std::string(" ") + operands + " ";
    for (const OptionSpec& option : table) {
        if (named.find(std::string(" ") + option.name + " ") != std::string::npos) continue;
        std::string item = "[";
        if (option.shortName != '\0') item += std::string("-") + option.shortName + "|";
        item += option.name;
        if (option.value != nullptr) item += std::string(" ") + option.value;
        items.push_back(item + "]");
    }
    const int indent = text_columns(head) + 1;
    std::string text = head;
    int width = indent - 1;
    for (const std::string& item : items) {
        const int itemWidth = text_columns(item);
        if (width > indent && width + 1 + itemWidth > columns) {
            text += "\n" + std::string(static_cast<size_t>(indent - 1), ' ');
            width = indent - 1;
        }
        text += " " + item;
        width += 1 + itemWidth;
    }
    return text + "\n";
}

bool number_option(const char* command, const ParsedOptions& args, const char* name, int low,
                   int high, int* out) {
    const char* text = args.value(name);
    if (text == nullptr) return true;
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < low || number > high) {
        char message[160];
        std::snprintf(message, sizeof message, "%s 需要 %d 到 %d 之间的整数", name, low, high);
        usage_error(command, message);
        return false;
    }
    *out = static_cast<int>(number);
    return true;
}
