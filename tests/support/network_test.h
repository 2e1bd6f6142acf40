// A test fixture for the image client: fresh connection tables, a policy of
// short time-outs for the test to pass on (so that none waits the real ten
// seconds), and app.log in a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "http/connection.h"
#include "shell/app_log.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

class NetworkTest : public testing::Test {
  protected:
    NetworkTest(int connectMs, int socketMs) {
        policy.connectTimeoutMs = connectMs;
        policy.socketTimeoutMs = socketMs;
    }

    void SetUp() override {
        start_test_networking();
        connection_tables_init();
        connection_tables_reset_for_testing();
        app_log_open(dir.path().c_str());
    }
    void TearDown() override {
        connection_tables_reset_for_testing();
        app_log_close();
    }

    std::string log() const { return read_log(dir.file("app.log")); }
    static int occurrences(const std::string& text, const std::string& part) {
        int count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    TempDir dir;
    NetworkPolicy policy;
};
