#include "shell/app_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

class AppLogTest : public testing::Test {
  protected:
    void TearDown() override { app_log_close(); }
    std::string log_path() const { return dir.file("app.log"); }
    TempDir dir;
};

TEST_F(AppLogTest, WritesTimeOfDaySpaceMessageCrLf) {
    app_log_open(dir.path().c_str());
    app_log("first");
    app_log_format("Matching error: %d", -47);
    app_log("\xD6\xD0\xCE\xC4");                        // 中文 in GBK
    const std::string content = read_file(log_path());  // flushed: readable before close
    // On Windows the bytes go out as they are; elsewhere the log is UTF-8.
    const std::string chinese =
        platform::APP_LOG_UTF8 ? "\xE4\xB8\xAD\xE6\x96\x87" : "\xD6\xD0\xCE\xC4";
    const std::regex line(R"((\d\d:\d\d:\d\d) (first|Matching error: -47|)" + chinese + R"()\r\n)");
    std::string rest = content;
    int lines = 0;
    std::smatch m;
    while (std::regex_search(rest, m, line, std::regex_constants::match_continuous)) {
        ++lines;
        rest = m.suffix();
    }
    EXPECT_EQ(lines, 3) << content;
    EXPECT_EQ(rest, "");
}

// A UTF-8 log says on which day each run began; the Windows log keeps its
// time-of-day lines.
TEST_F(AppLogTest, ARunOpensWithItsDateWhereTheLogIsUtf8) {
    app_log_open(dir.path().c_str());
    app_log_run_start("kelvane-cli move '\xE5\xBA\x97 1.csv'");
    app_log("after");
    const std::string content = read_file(log_path());
    if (platform::APP_LOG_UTF8) {
        const std::regex lines(R"(\d\d:\d\d:\d\d ==== \d{4}-\d\d-\d\d kelvane-cli move ')"
                               "\xE5\xBA\x97"
                               R"( 1.csv'\r\n\d\d:\d\d:\d\d after\r\n)");
        EXPECT_TRUE(std::regex_match(content, lines)) << content;
    } else {
        EXPECT_EQ(content.substr(8), " after\r\n");
    }
}

// A long address must keep the failure reason that follows it, on one line;
// the lengths straddle the formatter's stack buffer.
TEST_F(AppLogTest, FormattedMessagesAreWrittenWholeHoweverLong) {
    app_log_open(dir.path().c_str());
    std::string expected;
    for (size_t length : {990u, 991u, 992u, 6000u}) {
        const std::string address = "http://127.0.0.1/" + std::string(length - 17, 'a');
        app_log_format("%s failed: %s (%d)", address.c_str(), "connection refused", -2);
        expected += " " + address + " failed: connection refused (-2)\r\n";
    }
    app_log_close();
    std::string content = read_file(log_path());
    // Drop the time of day in front of each line.
    for (size_t at = 0; at < content.size();) {
        content.erase(at, 8);
        const size_t end = content.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    EXPECT_EQ(content, expected);
}

TEST_F(AppLogTest, AppendsAcrossRunsUpToTheSizeLimit) {
    write_file(log_path(), std::string(APP_LOG_SIZE_LIMIT, 'x'));
    app_log_open(dir.path().c_str());
    app_log("kept");
    app_log_close();
    const std::string kept = read_file(log_path());
    EXPECT_EQ(kept.size(), APP_LOG_SIZE_LIMIT + 15);
    EXPECT_EQ(kept.substr(0, 3), "xxx");
}

TEST_F(AppLogTest, ReplacesALogOverTheLimitAtOpen) {
    write_file(log_path(), std::string(APP_LOG_SIZE_LIMIT + 1, 'x'));
    app_log_open(dir.path().c_str());
    app_log("fresh");
    app_log_close();
    const std::string fresh = read_file(log_path());
    EXPECT_EQ(fresh.size(), 16u);
    EXPECT_EQ(fresh.substr(8), " fresh\r\n");
}

TEST_F(AppLogTest, LinesFromTwoThreadsNeverInterleave) {
    app_log_open(dir.path().c_str());
    const std::string a(300, 'a');
    const std::string b(300, 'b');
    std::thread one([&] {
        for (int i = 0; i < 500; ++i) app_log(a.c_str());
    });
    std::thread two([&] {
        for (int i = 0; i < 500; ++i) app_log(b.c_str());
    });
    one.join();
    two.join();
    app_log_close();
    const std::string content = read_file(log_path());
    const size_t line_length = 9 + 300 + 2;
    ASSERT_EQ(content.size(), 1000 * line_length);
    for (size_t at = 0; at < content.size(); at += line_length) {
        const std::string body = content.substr(at + 9, 300);
        ASSERT_TRUE(body == a || body == b) << "line at byte " << at;
        ASSERT_EQ(content.substr(at + 309, 2), "\r\n");
    }
}

TEST_F(AppLogTest, NothingIsWrittenBeforeOpen) {
    app_log("lost");  // must not crash
    EXPECT_EQ(read_file(log_path()), "");
}

using AppLogDeathTest = AppLogTest;

TEST_F(AppLogDeathTest, AnUnopenableLogEndsTheProgram) {
    const std::string missing = dir.file("no") + "/such/folder";
    EXPECT_EXIT(app_log_open(missing.c_str()), testing::ExitedWithCode(1), "app.log");
}

}  // namespace
