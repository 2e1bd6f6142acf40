// The options of a kelvane-cli command, described once: the same table reads
// the command line and writes the command's --help. A new option is one more
// row and one look-up.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct OptionSpec {
    const char* name;   // "--to"
    const char* value;  // the value's name in the help ("文件夹"), nullptr for a switch
    const char* help;   // one line (GBK)
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
    bool help = false;  // -h or --help anywhere

    bool has(const char* name) const { return value(name) != nullptr; }
    // The value given to the option ("" for a switch that was given), or
    // nullptr when it was not given. A repeated option keeps its last value.
    const char* value(const char* name) const;

  private:
    friend bool parse_options(const char*, int, char**, const std::vector<OptionSpec>&,
                              ParsedOptions*);
    std::vector<std::pair<const char*, const char*>> given_;
};

// Reads the command's arguments. False, with the reason and the usage on
// stderr, for an unknown option or an option without its value. "--" ends
// the options: what follows is taken as operands, for a file named "-x".
bool parse_options(const char* command, int argc, char** argv, const std::vector<OptionSpec>& table,
                   ParsedOptions* out);

// The command's --help on stdout: usage, description, options, exit statuses.
void print_help(const CommandHelp& help, const std::vector<OptionSpec>& table);
