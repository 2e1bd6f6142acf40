#include "support/fatal_capture.h"

#include <cstdlib>
#include <filesystem>

namespace fatal_capture {

std::string message_file_for_current_test() {
    // Named after the test, not made unique: on Windows the death-test child
    // is a fresh run of the test binary and must arrive at the same name.
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    return (std::filesystem::temp_directory_path() / ("kelvane-fatal-" + name + ".txt")).string();
}

std::string& message_file() {
    static std::string path;
    return path;
}

void write_message_and_exit(const char* message) {
    write_file(message_file(), message);
    std::exit(1);
}

}  // namespace fatal_capture
