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

// The package's bytes with every "{XXXX}" (hex) replaced by that one UTF-16
// unit, which no text can spell when it is half a pair.
std::string with_units(std::string bytes) {
    for (size_t at; (at = bytes.find(utf16le_of(u"{"))) != std::string::npos;) {
        const size_t end = bytes.find(utf16le_of(u"}"), at);
        std::string hex;
        for (size_t i = at + 2; i < end; i += 2) hex += bytes[i];
        const auto unit = static_cast<char16_t>(std::stoul(hex, nullptr, 16));
        bytes.replace(at, end + 2 - at, utf16le_of(std::u16string(1, unit)));
    }
    return bytes;
}

TEST(PackageTextCli, HalvesOfPairsSurviveAJobByteForByte) {
    start_test_networking();
    TempDir dir;
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    const std::string address = server.url("/a.jpg");
    PackageBuilder builder;
    builder
        .add(PackageItem{"新款{D800}连衣裙",
                         "<p>{DC00}</p><img src=\"" + address + "\">{DC00}{D800}", "",
                         "卖点{DBFF}"})
        .add(PackageItem{"帆布包{D83D}", "<p>{D83D}{DE00}{DE00}</p>", "", ""});
    // The very last unit of the file is half a pair too.
    const std::string original = with_units(builder.file_bytes() + utf16le_of(u"{D83D}"));
    const std::string package = dir.file("shop.csv");
    write_file(package, original);

    const CliRun scan = run_cli({"scan", package, "--json"}, dir.file("home"));
    ASSERT_EQ(scan.status, 0) << scan.err;
    const nlohmann::json json = nlohmann::json::parse(scan.out);
    const std::string shown = reinterpret_cast<const char*>(u8"新款\uFFFD连衣裙");
    EXPECT_EQ(json["items"][0]["title"], shown);

    std::filesystem::create_directories(dir.file("pictures"));
    const CliRun move = run_cli({"move", package, "--to", dir.file("pictures")}, dir.file("home"));
    ASSERT_EQ(move.status, 0) << move.err;
#ifndef _WIN32
    EXPECT_NE(move.err.find(shown), std::string::npos) << move.err;  // the line per item
#endif
    // Every unit is where it was; only the address became the file's path.
    const std::string saved = read_file(package);
    const std::string remote = gbk_to_utf16le_file(address).substr(2);
    const size_t at = original.find(remote);
    ASSERT_NE(at, std::string::npos);
    const size_t end = saved.find(utf16le_of(u"\""), at);
    ASSERT_NE(end, std::string::npos);
    std::string expected = original;
    expected.replace(at, remote.size(), saved.substr(at, end - at));
    EXPECT_NE(utf16le_to_gbk(saved.substr(at, end - at)).find("pictures"), std::string::npos);
    EXPECT_TRUE(saved == expected);
}

}  // namespace
