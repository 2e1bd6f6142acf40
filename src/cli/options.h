// The options of a kelvane-cli command, described once: the same table reads
// the command line and writes the command's --help and its line in the
// program's usage. A new option is one more row and one look-up.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct OptionSpec {
    const char* name;       // "--to"
    const char* value;      // the value's name in the help ("文件夹"), nullptr for a switch
    const char* help;       // what it does (GBK); the help wraps it to fit
    char shortName = '\0';  // 'q' for -q, or none
};

struct CommandHelp {
    const char* usage;        // the usage lines (GBK, ends in a line feed)
    const char* description;  // what the command does (GBK, ends in a line feed)
    const char* exitStatus;   // one line per status (GBK, ends in a line feed)
};

class ParsedOptions {
  public:
    // Operands in the order given (what is not an option).
    std::vector<const char*> operands;
    bool help = false;     // -h or --help anywhere
    bool version = false;  // -V or --version anywhere

    bool has(const char* name) const { return value(name) != nullptr; }
    // The value given to the option ("" for a switch that was given), or
    // nullptr when it was not given. A repeated option keeps its last value.
    const char* value(const char* name) const;

  private:
    friend bool parse_options(const char*, int, char**, const std::vector<OptionSpec>&,
                              ParsedOptions*);
    std::vector<std::pair<const char*, const char*>> given_;
};

// Reads the command's arguments the GNU way: "--to DIR" or "--to=DIR", a
// short name alone ("-q"), and "--" ending the options, so that what follows
// is taken as operands (a file named "-x"). False, after a one-line usage
// error (usage_error), for an unknown option, an option without its value
// or a switch given one.
bool parse_options(const char* command, int argc, char** argv, const std::vector<OptionSpec>& table,
                   ParsedOptions* out);

// The whole number given to option `name`, from `low` to `high`, into
// `out`; true too when the option was not given (`out` keeps its default).
// False, after a one-line usage error naming `command`, for anything else.
bool number_option(const char* command, const ParsedOptions& args, const char* name, int low,
                   int high, int* out);

// The command's --help on stdout: usage, description, options, exit
// statuses, every line within 80 columns.
void print_help(const CommandHelp& help, const std::vector<OptionSpec>& table);

// `head` ("  kelvane-cli move"), the operands, and each option of the table
// that the operands do not name already, in brackets, wrapped so that no
// line is wider than `columns`; continued lines line up after the head.
// GBK, ending in a line feed.
std::string synopsis(const std::string& head, const char* operands,
                     const std::vector<OptionSpec>& table, int columns);

// GBK text broken into lines of at most `columns` columns: between Chinese
// characters or at spaces, never inside a word or before a closing mark.
std::vector<std::string> wrap_text(const std::string& gbk, int columns);

// The columns GBK text takes on a terminal.
int text_columns(const std::string& gbk);

// The columns the program's help and usage keep within.
inline constexpr int HELP_COLUMNS = 80;
