// Characters GBK lacks in a package, through kelvane-cli: scan shows them
// and a move job keeps every one.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/cli_runner.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

TEST(PackageTextCli, ScanShowsEveryCharacterAndAMoveChangesOnlyTheAddress) {
    start_test_networking();
    TempDir dir;
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    const std::u16string title = u"新款\U0001F600连衣裙\U0001F389";
    const std::u16string words = u"한국어 ™ € ✓ ½ • \U00020000";
    const std::string address = server.url("/a.jpg");
    PackageBuilder builder;
    builder
        .add(PackageItem{gb18030_of(title),
                         gb18030_of(u"<p>" + words + u"</p>") + "<img src=\"" + address + "\">", "",
                         ""})
        .add(PackageItem{gb18030_of(words), gb18030_of(u"<p>" + title + u"</p>"), "", ""});
    const std::string package = dir.file("shop.csv");
    builder.write(package);

    const CliRun scan = run_cli({"scan", package, "--json"}, dir.file("home"));
    ASSERT_EQ(scan.status, 0) << scan.err;
    const nlohmann::json json = nlohmann::json::parse(scan.out);
    // (The u8 literals stay outside the macros, which would spell them in GBK.)
    const std::string title_utf8 =
        reinterpret_cast<const char*>(u8"新款\U0001F600连衣裙\U0001F389");
    const std::string words_utf8 = reinterpret_cast<const char*>(u8"한국어 ™ € ✓ ½ • \U00020000");
    EXPECT_EQ(json["items"][0]["title"], title_utf8);
    EXPECT_EQ(json["items"][1]["title"], words_utf8);
#ifndef _WIN32
    const CliRun text = run_cli({"scan", package}, dir.file("home"));
    EXPECT_NE(text.out.find("\t" + words_utf8 + "\t0\t0\n"), std::string::npos) << text.out;
#endif

    std::filesystem::create_directories(dir.file("pictures"));
    const CliRun move = run_cli({"move", package, "--to", dir.file("pictures")}, dir.file("home"));
    ASSERT_EQ(move.status, 0) << move.err;
    // The saved text is the original with the address swapped for the file.
    const std::string saved = utf16le_to_gbk(read_file(package));
    std::string expected = builder.text();
    const size_t at = expected.find(address);
    const size_t end = saved.find('"', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(saved.substr(at, end - at).find("pictures"), std::string::npos);
    expected.replace(at, address.size(), saved.substr(at, end - at));
    EXPECT_TRUE(saved == expected);
    const std::string file = read_file(package);
    for (const std::u16string& kept : {title, words})
        EXPECT_NE(file.find(utf16le_of(kept)), std::string::npos);
}

}  // namespace
