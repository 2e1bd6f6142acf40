// kelvane-cli scan on generated packages: what it prints and how it exits.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/cli_runner.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

class ScanTest : public testing::Test {
  protected:
    std::string home() const { return dir.file("home"); }
    TempDir dir;
};

TEST_F(ScanTest, JsonListsExactlyTheTitlesAndAddresses) {
    PackageBuilder builder;
    builder
        .add(PackageItem{
            "连衣裙",
            R"(<img src="http://img.example.com/1.jpg"><img src="//img.example.com/2.png">)",
            "<wapDesc><img>http://img.example.com/m.jpg</img></wapDesc>", ""})
        .add(PackageItem{"T恤", "<p>无图</p>", "", ""});
    const std::string package = dir.file("items.csv");
    builder.write(package);

    const CliRun run = run_cli({"scan", package, "--json"}, home());
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["command"], "scan");
    EXPECT_FALSE(json["version"].get<std::string>().empty());
    json.erase("command");
    json.erase("version");
    const nlohmann::json expected = nlohmann::json::parse(R"({
        "count": 2,
        "items": [
            {"index": 0, "title": "\u8fde\u8863\u88d9",
             "desc_images": ["http://img.example.com/1.jpg", "//img.example.com/2.png"],
             "mobile_images": ["http://img.example.com/m.jpg"]},
            {"index": 1, "title": "T\u6064", "desc_images": [], "mobile_images": []}
        ]})");
    EXPECT_EQ(json, expected);

    const CliRun text = run_cli({"scan", package}, home());
    ASSERT_EQ(text.status, 0);
#ifndef _WIN32
    EXPECT_EQ(text.out, "0\t\xE8\xBF\x9E\xE8\xA1\xA3\xE8\xA3\x99\t2\t1\n1\tT\xE6\x81\xA4\t0\t0\n");
#endif
}

TEST_F(ScanTest, NoMobileColumnGivesNull) {
    PackageBuilder builder;
    builder.without_mobile_column().add(PackageItem{"a", "", "", ""});
    const std::string package = dir.file("old.csv");
    builder.write(package);
    const CliRun run = run_cli({"scan", "--json", package}, home());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(nlohmann::json::parse(run.out)["items"][0]["mobile_images"].is_null());
    const CliRun text = run_cli({"scan", package}, home());
    EXPECT_EQ(text.out, "0\ta\t0\t-\n");
}

TEST_F(ScanTest, ExitStatusTellsWhyAPackageWasRefused) {
    const std::string malformed = dir.file("bad.csv");
    write_file(malformed, "version 1.00\r\n");
    const std::string long_title = dir.file("long.csv");
    PackageBuilder().add(PackageItem{std::string(254, 'x'), "", "", ""}).write(long_title);

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string in_stderr;
    };
    const Case cases[] = {
        {{"scan", malformed}, 3, "[bad.csv]"},
        {{"scan", long_title}, 4, "[long.csv]"},
        {{"scan", dir.file("missing.csv")}, 2, "csv"},
        {{"scan", ""}, 2, "csv"},
        {{"scan"}, 2, "csv"},
        {{"scan", malformed, "--bogus"}, 2, "--bogus"},
    };
    for (const Case& c : cases) {
        const CliRun run = run_cli(c.args, home());
        EXPECT_EQ(run.status, c.status) << c.in_stderr;
        EXPECT_NE(run.err.find(c.in_stderr), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
