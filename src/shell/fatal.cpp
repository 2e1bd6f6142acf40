#include "shell/fatal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

std::atomic<FatalHandler> installed{nullptr};

}  // namespace

void set_fatal_handler(FatalHandler handler) {
    installed.store(handler);
}

void fatal_error(const char* message) {
    FatalHandler handler = installed.load();
    if (handler != nullptr) handler(message);
    // Reached with no handler, or one that broke its promise not to return.
    platform::write_console(stderr, message);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::exit(1);
}
