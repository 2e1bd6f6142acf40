#include "support/fatal_capture.h"

#include <cstdlib>

namespace fatal_capture {

std::string& message_file() {
    static std::string path;
    return path;
}

void write_message_and_exit(const char* message) {
    write_file(message_file(), message);
    std::exit(1);
}

}  // namespace fatal_capture
