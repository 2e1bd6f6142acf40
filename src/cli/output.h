// How a kelvane-cli run answers: people read its lines on stderr, scripts
// its exit status and, with --json, exactly one JSON object on stdout,
// whether the run did its work, was refused before it began or ended on a
// fatal error.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/console_text.h"

using Json = nlohmann::ordered_json;

// Set by main before the command runs: the command (nullptr while none is
// known) and whether --json was given.
void set_run_output(const char* command, bool json);
bool json_output();

// The program's or a package's text (GB18030) as UTF-8, for JSON.
std::string utf8(const char* text);

// The run's object on stdout, as UTF-8 whatever the console's code page.
// `version` and `command` come first.
void print_json(Json object);

// A command-line argument as the program's text, for a message: as the
// console shows it, not as the shell's bytes ("?" when it is not UTF-8).
std::string shown_argument(const char* argument);

// A line of the program's text (GBK) on `stream`, followed by the line for
// `hint` where the text names a control of the window.
void say(const char* gbk, FILE* stream = stderr, ConsoleHint hint = ConsoleHint::None);

// Ends a run before its work began: `message` on stderr (as say prints
// it) and, with --json, {"outcome": "refused", "status", "message"}.
// Returns `status`.
int refuse(int status, const char* message, ConsoleHint hint = ConsoleHint::None);

// A command line the command cannot take: "kelvane-cli COMMAND：PROBLEM"
// and a hint to the command's help on stderr, and the refusal object with
// --json. Returns the usage error's status.
int usage_error(const char* command, const std::string& problem);

// The fatal-error handler outside a job: the message on stderr, with --json
// an object whose outcome is "fatal", and exit status 1.
extern "C" void cli_fatal(const char* message);

// "kelvane-cli VERSION" on stdout. Returns the exit status for it.
int print_version();
