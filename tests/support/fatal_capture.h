// Checking that an action ends the program through fatal_error with an exact
// (GBK) message. The action runs in a gtest death-test child, whose fatal
// handler writes the message to a file that the parent then reads, so the
// comparison is byte for byte on every platform.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "shell/fatal.h"
#include "support/temp_dir.h"

namespace fatal_capture {

// Where the child's handler writes the message.
std::string& message_file();
std::string message_file_for_current_test();
void write_message_and_exit(const char* message);

}  // namespace fatal_capture

#define EXPECT_FATAL(statement, expected_message)                                           \
    do {                                                                                    \
        fatal_capture::message_file() = fatal_capture::message_file_for_current_test();     \
        std::remove(fatal_capture::message_file().c_str());                                 \
        EXPECT_EXIT(                                                                        \
            {                                                                               \
                set_fatal_handler(fatal_capture::write_message_and_exit);                   \
                statement;                                                                  \
            },                                                                              \
            testing::ExitedWithCode(1), "");                                                \
        EXPECT_EQ(read_file(fatal_capture::message_file()), std::string(expected_message)); \
        std::remove(fatal_capture::message_file().c_str());                                 \
    } while (0)
