#include "cli/output.h"

#include <cstdlib>

#include "cli/commands.h"
#include "cli/console_text.h"
#include "cli/startup.h"
#include "platform/platform.h"
#include "shell/charset.h"
#include "shell/version.h"

namespace {

const char* runCommand = nullptr;
bool runJson = false;

Json ending(const char* outcome, int status, const char* message) {
    Json object;
    object["outcome"] = outcome;
    object["status"] = status;
    object["message"] = utf8(message);
    return object;
}

}  // namespace

void set_run_output(const char* command, bool json) {
    runCommand = command;
    runJson = json;
}

bool json_output() {
    return runJson;
}

std::string utf8(const char* text) {
    char* converted = gb18030_to_utf8(text);
    std::string out = converted;
    std::free(converted);
    return out;
}

void print_json(Json object) {
    Json root;
    root["version"] = KELVANE_VERSION;
    root["command"] = runCommand != nullptr ? Json(runCommand) : Json(nullptr);
    root.update(object);
    // A title cut inside a character must not stop the output.
    const std::string text = root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fflush(stdout);
    platform::write_console_utf8(stdout, text.data(), text.size());
    std::fflush(stdout);
}

std::string shown_argument(const char* argument) {
    char* text = platform::argument_to_text(argument);
    const std::string shown = text != nullptr ? text : "?";
    std::free(text);
    return shown;
}

void say(const char* gbk, FILE* stream, ConsoleHint hint) {
    const bool toStderr = stream == stderr;
    cli_print(gbk, toStderr);
    cli_print("\n", toStderr);
    if (const char* line = console_hint(hint)) {
        cli_print(line, toStderr);
        cli_print("\n", toStderr);
    }
}

int refuse(int status, const char* message, ConsoleHint hint) {
    say(message, stderr, hint);
    std::fflush(stderr);
    if (runJson) print_json(ending("refused", status, message));
    return status;
}

int usage_error(const char* command, const std::string& problem) {
    const std::string who = command != nullptr ? std::string(" ") + command : std::string();
    const std::string text =
        "kelvane-cli" + who + "：" + problem + "\n可用 kelvane-cli help" + who + " 查看用法。\n";
    cli_print(text.c_str(), true);
    std::fflush(stderr);
    if (runJson) print_json(ending("refused", EXIT_USAGE, problem.c_str()));
    return EXIT_USAGE;
}

extern "C" void cli_fatal(const char* message) {
    say(message);
    std::fflush(stderr);
    if (runJson) print_json(ending("fatal", EXIT_FATAL, message));
    std::exit(EXIT_FATAL);
}

int print_version() {
    cli_print((std::string("kelvane-cli ") + KELVANE_VERSION + "\n").c_str());
    return EXIT_OK;
}
