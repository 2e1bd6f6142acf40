#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "package/data_package.h"
#include "package/data_package_io.h"
#include "package/image_refs.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "support/fatal_capture.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Strings = std::vector<std::string>;

Strings strings_of(const PtrVector* list) {
    Strings out;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        out.emplace_back(static_cast<const char*>(ptr_vector_get(list, i)));
    }
    return out;
}

// Reads a package from bytes; keeps what the reader gave back.
struct Loaded {
    ReadResult result = ReadResult::Malformed;
    std::string text;
    bool gotText = false;
    std::vector<ItemRecord*> items;

    Strings titles() const {
        Strings out;
        for (const ItemRecord* item : items) out.emplace_back(item->name);
        return out;
    }
};

class ReaderTest : public testing::Test {
  protected:
    void TearDown() override {
        if (items_ != nullptr) {
            item_list_clear(items_);
            ptr_vector_destroy(items_, 0);
        }
    }

    Loaded load_bytes(const std::string& bytes) {
        const std::string path = dir.file("items.csv");
        write_file(path, bytes);
        return load_path(path);
    }

    Loaded load_path(const std::string& path) {
        if (items_ != nullptr) {
            item_list_clear(items_);
            ptr_vector_destroy(items_, 0);
        }
        items_ = ptr_vector_new(256, 64);
        Loaded loaded;
        char* text = nullptr;
        loaded.result = read_data_package(path.c_str(), items_, &text);
        if (text != nullptr) {
            loaded.text = text;
            loaded.gotText = true;
            std::free(text);
        }
        for (int32_t i = 0; i < items_->count; ++i)
            loaded.items.push_back(static_cast<ItemRecord*>(items_->items[i]));
        return loaded;
    }

    Loaded load(const PackageBuilder& builder) { return load_bytes(builder.file_bytes()); }

    TempDir dir;

  private:
    PtrVector* items_ = nullptr;
};

PackageItem item(const std::string& title, const std::string& description = "",
                 const std::string& mobile = "") {
    return PackageItem{title, description, mobile, ""};
}

TEST_F(ReaderTest, ReadsTitlesAddressesAndTheWholeText) {
    PackageBuilder builder;
    builder
        .add(item(
            "连衣裙 \"新款\" 2026",
            R"(<p><img src="http://img.example.com/1.jpg"><img src='//img.example.com/2.png'></p>)",
            "<wapDesc><img>http://img.example.com/m1.jpg</img></wapDesc>"))
        .add(item("T恤", "<p>没有图片</p>", ""))
        .add(item("裤子", R"(<td background="http://img.example.com/bg.gif">)",
                  "<wapDesc></wapDesc>"));
    const Loaded loaded = load(builder);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_TRUE(loaded.text == builder.text());
    // Titles lose their enclosing quotes, and doubled quotes inside are one
    // again, as the seller wrote them; the text keeps them doubled.
    EXPECT_EQ(loaded.titles(), (Strings{"连衣裙 \"新款\" 2026", "T恤", "裤子"}));
    ASSERT_EQ(loaded.items.size(), 3u);
    EXPECT_EQ(strings_of(loaded.items[0]->desc_images),
              (Strings{"http://img.example.com/1.jpg", "//img.example.com/2.png"}));
    EXPECT_EQ(strings_of(loaded.items[0]->mobile_images),
              (Strings{"http://img.example.com/m1.jpg"}));
    EXPECT_EQ(strings_of(loaded.items[1]->desc_images), Strings{});
    EXPECT_EQ(strings_of(loaded.items[2]->desc_images), (Strings{"http://img.example.com/bg.gif"}));
    for (size_t i = 0; i < loaded.items.size(); ++i) {
        const ItemRecord* it = loaded.items[i];
        EXPECT_EQ(it->index, static_cast<int32_t>(i));  // numbered as the list shows them
        EXPECT_EQ(it->status, 0);
        EXPECT_NE(it->mobile_images, nullptr);
        EXPECT_EQ(it->desc_failed, nullptr);
        EXPECT_EQ(it->mobile_failed, nullptr);
    }
}

TEST_F(ReaderTest, LongCellsMayHoldTabsAndLineFeeds) {
    PackageBuilder builder;
    builder
        .add(PackageItem{
            "一", "<p>\tline one\r\nline two\n<img src=\"http://a.example/x.jpg\"></p>",
            "<wapDesc>\t<img>http://a.example/m.jpg</img>\r\n</wapDesc>", "卖点\t一\r\n二"})
        .add(item("二", "<img src=\"http://a.example/y.jpg\">",
                  "<wapDesc><img>http://a.example/n.jpg</img></wapDesc>"));
    const Loaded loaded = load(builder);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_EQ(loaded.titles(), (Strings{"一", "二"}));
    EXPECT_EQ(strings_of(loaded.items[0]->desc_images), Strings{"http://a.example/x.jpg"});
    EXPECT_EQ(strings_of(loaded.items[0]->mobile_images), Strings{"http://a.example/m.jpg"});
    EXPECT_EQ(strings_of(loaded.items[1]->desc_images), Strings{"http://a.example/y.jpg"});
    EXPECT_EQ(strings_of(loaded.items[1]->mobile_images), Strings{"http://a.example/n.jpg"});
}

TEST_F(ReaderTest, WithoutAMobileDetailColumnItemsHaveNoMobileList) {
    PackageBuilder builder;
    builder.without_mobile_column()
        .add(item("a", "<img src=\"http://a.example/1.jpg\">"))
        .add(item("b"));
    const Loaded loaded = load(builder);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    ASSERT_EQ(loaded.items.size(), 2u);
    for (const ItemRecord* it : loaded.items) EXPECT_EQ(it->mobile_images, nullptr);
    EXPECT_EQ(strings_of(loaded.items[0]->desc_images), Strings{"http://a.example/1.jpg"});
}

TEST_F(ReaderTest, TitleLengthLimitIsCountedWithItsQuotes) {
    const std::string longest(253, 'x');
    PackageBuilder ok;
    ok.add(item("first")).add(item(longest));
    const Loaded accepted = load(ok);
    ASSERT_EQ(accepted.result, ReadResult::Ok);
    EXPECT_EQ(accepted.titles(), (Strings{"first", longest}));

    for (size_t row : {0u, 2u}) {  // the first row and a later one
        PackageBuilder builder;
        for (size_t i = 0; i < 3; ++i)
            builder.add(item(i == row ? longest + "y" : "t" + std::to_string(i)));
        const Loaded refused = load(builder);
        EXPECT_EQ(refused.result, ReadResult::TitleTooLong) << "row " << row;
        EXPECT_FALSE(refused.gotText);
        EXPECT_EQ(refused.items.size(), row);  // what was read before stays
    }
}

TEST_F(ReaderTest, EmptyTitleAndEmptyPackage) {
    PackageBuilder empty_title;
    empty_title.add(item("")).add(item("b"));
    const Loaded loaded = load(empty_title);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_EQ(loaded.titles(), (Strings{"", "b"}));

    const Loaded nothing = load(PackageBuilder());
    EXPECT_EQ(nothing.result, ReadResult::Ok);
    EXPECT_TRUE(nothing.items.empty());
    EXPECT_TRUE(nothing.gotText);
}

TEST_F(ReaderTest, WebpSuffixesAreRemovedEverywhere) {
    PackageBuilder builder;
    builder.add(item("标题_.webp", "<img src=\"http://a.example/1.jpg_.webp\">",
                     "<wapDesc><img>http://a.example/2.jpg_.webp</img></wapDesc>"));
    const Loaded loaded = load(builder);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_EQ(loaded.text.find("_.webp"), std::string::npos);
    EXPECT_EQ(loaded.titles(), Strings{"标题"});
    EXPECT_EQ(strings_of(loaded.items[0]->desc_images), Strings{"http://a.example/1.jpg"});
    EXPECT_EQ(strings_of(loaded.items[0]->mobile_images), Strings{"http://a.example/2.jpg"});
    std::string expected = builder.text();
    for (size_t at; (at = expected.find("_.webp")) != std::string::npos;) expected.erase(at, 6);
    EXPECT_TRUE(loaded.text == expected);
}

TEST_F(ReaderTest, EncodingsAndLeadingBytes) {
    PackageBuilder builder;
    builder.add(item("a", "<img src=\"http://a.example/1.jpg\">"));
    const std::string le = builder.file_bytes();

    // A UTF-8 mark is stepped over; what follows without a mark is big-endian.
    std::string be = "\xEF\xBB\xBF";
    for (size_t i = 2; i + 1 < le.size(); i += 2) be += std::string{le[i + 1], le[i]};
    const Loaded from_be = load_bytes(be);
    EXPECT_EQ(from_be.result, ReadResult::Ok);
    EXPECT_EQ(from_be.titles(), Strings{"a"});

    // An 8-bit export, and a UTF-16 file that starts with the Chinese header,
    // are refused for their first bytes alone: read on, both would load (as
    // big-endian text beginning with two ideographs, and as the package it is).
    const std::string rows = "宝贝名称\t宝贝描述\t宝贝价格\r\n\"a\"\t\"b\"\t1\r\n";
    const std::string rows_le = gbk_to_utf16le_file("\r\n" + rows);
    std::string eight_bit = "vera";
    for (size_t i = 2; i + 1 < rows_le.size(); i += 2) eight_bit += {rows_le[i + 1], rows_le[i]};
    EXPECT_EQ(load_bytes(eight_bit).result, ReadResult::Malformed);
    EXPECT_EQ(load_bytes(gbk_to_utf16le_file(rows)).result, ReadResult::Malformed);

    // Half a surrogate pair is no character, but it is kept, in the form
    // that carries it, in the title and in the text.
    std::string lone = le;
    const size_t title_at = lone.find(std::string("\"\0a\0\"\0", 6));
    ASSERT_NE(title_at, std::string::npos);
    lone.insert(title_at + 2, std::string("\0\xD8", 2));
    const Loaded kept = load_bytes(lone);
    ASSERT_EQ(kept.result, ReadResult::Ok);
    EXPECT_EQ(kept.titles(), Strings{"\x84\x32\x81\x30"
                                     "a"});
    std::string text = builder.text();
    text.insert(text.find("\"a\"") + 1, "\x84\x32\x81\x30");
    EXPECT_TRUE(kept.text == text);
}

TEST_F(ReaderTest, RefusesWhatIsNotAWellFormedPackage) {
    const std::string good = PackageBuilder().add(item("a", "d")).text();
    // A column after the description, so that the header itself is sound.
    const std::string header_only = "version 1.00\r\n宝贝名称\t宝贝描述\t宝贝价格\r\n";
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"only a byte-order mark", "\xFF\xFE"},
        {"odd number of bytes", gbk_to_utf16le_file(good) + "x"},
        {"no title column", gbk_to_utf16le_file("version\r\n名称\t宝贝描述\r\n")},
        {"no line feed after the header", gbk_to_utf16le_file("version\r\n宝贝名称\t宝贝描述")},
        {"no description column",
         gbk_to_utf16le_file("version\r\n宝贝名称\t宝贝价格\r\n\"a\"\t1\r\n")},
        {"last row without a line feed", gbk_to_utf16le_file(good.substr(0, good.size() - 2))},
        {"description not quoted", gbk_to_utf16le_file(header_only + "\"a\"\t<p>\t1\r\n")},
        {"description never closes", gbk_to_utf16le_file(header_only + "\"a\"\t\"<p>\t1\r\n")},
        {"text ends before the description", gbk_to_utf16le_file(header_only + "\"a\"\t")},
        {"one stray byte after the last row", gbk_to_utf16le_file(good + "x")},
        {"a NUL character inside the text", gbk_to_utf16le_file(good) + std::string("\0\0\"\0", 4)},
    };
    for (const Case& c : cases) {
        const Loaded loaded = load_bytes(c.bytes);
        EXPECT_EQ(loaded.result, ReadResult::Malformed) << c.what;
        EXPECT_FALSE(loaded.gotText) << c.what;
    }
    EXPECT_EQ(load_path(dir.file("missing.csv")).result, ReadResult::Malformed);
    EXPECT_EQ(load_path(dir.path()).result, ReadResult::Malformed);  // a folder
}

TEST_F(ReaderTest, AStrayCarriageReturnAfterTheLastRowEndsReading) {
    const std::string text = PackageBuilder().add(item("a", "d")).text() + "\r";
    const Loaded loaded = load_bytes(gbk_to_utf16le_file(text));
    EXPECT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_EQ(loaded.titles(), Strings{"a"});
}

TEST_F(ReaderTest, SellingPointsAsTheLastHeaderCellIsNotALongCell) {
    // The last header cell still carries its CR, so the column is not known and
    // a TAB in its cell splits the row.
    PackageBuilder last;
    last.with_columns({"宝贝名称", "宝贝描述", "宝贝卖点"}).add(PackageItem{"a", "d", "", "x\ty"});
    EXPECT_EQ(load(last).result, ReadResult::Malformed);

    PackageBuilder middle;
    middle.with_columns({"宝贝名称", "宝贝卖点", "宝贝描述", "价格"})
        .add(PackageItem{"a", "d", "", "x\ty"});
    const Loaded loaded = load(middle);
    EXPECT_EQ(loaded.result, ReadResult::Ok);
    EXPECT_EQ(loaded.titles(), Strings{"a"});
}

TEST_F(ReaderTest, ConversionFailureIsLogged) {
    app_log_open(dir.path().c_str());
    EXPECT_EQ(load_bytes(std::string("\xFF\xFE"
                                     "a",
                                     3))
                  .result,
              ReadResult::Malformed);
    app_log_close();
    EXPECT_NE(read_log(dir.file("app.log")).find("csv 文件编码存在问题, 无法正常的解析。"),
              std::string::npos);
}

TEST_F(ReaderTest, AFailedAddressScanIsLoggedAndCostsOnlyThatItem) {
    app_log_open(dir.path().c_str());
    // Room for one short match, not for the long unclosed tag after it.
    const std::string unclosed = "<img x" + std::string(50000, 'x');
    PackageBuilder builder;
    builder
        .add(item("坏", "<img src=\"http://a.example/1.jpg\">" + unclosed,
                  "<wapDesc><img>http://a.example/m1.jpg</img></wapDesc>"))
        .add(item("好", "<img src=\"http://a.example/2.jpg\">",
                  "<wapDesc><img>http://a.example/m2.jpg</img></wapDesc>"));
    image_refs_set_match_limit(1000);
    const Loaded loaded = load(builder);
    image_refs_set_match_limit(0);
    ASSERT_EQ(loaded.result, ReadResult::Ok);
    ASSERT_EQ(loaded.titles(), (Strings{"坏", "好"}));
    EXPECT_EQ(strings_of(loaded.items[0]->desc_images), Strings{"http://a.example/1.jpg"});
    EXPECT_EQ(strings_of(loaded.items[0]->mobile_images), Strings{"http://a.example/m1.jpg"});
    EXPECT_EQ(strings_of(loaded.items[1]->desc_images), Strings{"http://a.example/2.jpg"});

    // A mobile detail the matcher gives up on is reported the same way.
    PackageBuilder plain_description;
    plain_description.add(
        item("无图", "no image", "<wapDesc><img>http://a.example/m.jpg</img></wapDesc>"));
    image_refs_set_match_limit(1);
    const Loaded mobile_failed = load(plain_description);
    image_refs_set_match_limit(0);
    ASSERT_EQ(mobile_failed.result, ReadResult::Ok);
    ASSERT_EQ(mobile_failed.items.size(), 1u);
    EXPECT_EQ(strings_of(mobile_failed.items[0]->mobile_images), Strings{});
    app_log_close();

    const std::string log = read_log(dir.file("app.log"));
    EXPECT_NE(log.find("Matching error: -47"), std::string::npos) << log;
    EXPECT_NE(log.find("读取宝贝详情时出错：宝贝“坏”，错误码:-47（match limit exceeded），"
                       "已找到的图片地址保留。\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("读取宝贝无线详情时出错：宝贝“无图”，错误码:-47（match limit exceeded），"
                       "已找到的图片地址保留。\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("“好”"), std::string::npos) << log;
}

// ---- Writing and backing up ----------------------------------------------

class WriterTest : public testing::Test {
  protected:
    void SetUp() override { settle_program_folder(dir.path().c_str()); }
    void TearDown() override { settle_program_folder(""); }
    std::string bak(const std::string& name) const {
        return dir.file("bak") + platform::PATH_SEPARATOR + name;
    }
    TempDir dir;
};

TEST_F(WriterTest, SavesByteOrderMarkAndUtf16AndRoundTrips) {
    PackageBuilder builder;
    builder.add(item("连衣裙", "<img src=\"http://a.example/1.jpg\">", "<wapDesc></wapDesc>"));
    const std::string path = dir.file("items.csv");
    write_data_package(path.c_str(), builder.text().c_str());
    const std::string saved = read_file(path);
    EXPECT_TRUE(saved == builder.file_bytes());
    EXPECT_EQ(saved.substr(0, 2), "\xFF\xFE");
    EXPECT_NE(saved.substr(2, 2), "\xFF\xFE");  // exactly one mark

    PtrVector* items = ptr_vector_new(256, 64);
    char* text = nullptr;
    ASSERT_EQ(read_data_package(path.c_str(), items, &text), ReadResult::Ok);
    EXPECT_TRUE(std::string(text) == builder.text());
    std::free(text);
    item_list_clear(items);
    ptr_vector_destroy(items, 0);

    write_data_package(path.c_str(), "");
    EXPECT_EQ(read_file(path), "\xFF\xFE");
}

TEST_F(WriterTest, BackupsAreNumberedAndFillGaps) {
    const std::string path = dir.file("items.csv");
    write_file(path, "content one");
    backup_data_package(path.c_str());
    write_file(path, "content two");
    backup_data_package(path.c_str());
    EXPECT_EQ(read_file(bak("items(1).csv")), "content one");
    EXPECT_EQ(read_file(bak("items(2).csv")), "content two");

    std::remove(bak("items(1).csv").c_str());
    write_file(path, "content three");
    backup_data_package(path.c_str());
    EXPECT_EQ(read_file(bak("items(1).csv")), "content three");  // the gap first
    backup_data_package(path.c_str());
    EXPECT_EQ(read_file(bak("items(3).csv")), "content three");
}

TEST_F(WriterTest, BackupNamesWithoutOrWithSeveralDots) {
    struct Case {
        const char* file;
        const char* first;
        const char* second;
    };
    const Case cases[] = {{"name", "name(1)", "name(2)"}, {"a.b.csv", "a.b(1).csv", "a.b(2).csv"}};
    for (const Case& c : cases) {
        const std::string path = dir.file(c.file);
        write_file(path, std::string(20000, 'z'));  // more than one copy block
        backup_data_package(path.c_str());
        backup_data_package(path.c_str());
        EXPECT_EQ(read_file(bak(c.first)), std::string(20000, 'z')) << c.file;
        EXPECT_EQ(read_file(bak(c.second)).size(), 20000u) << c.file;
    }
}

TEST_F(WriterTest, ACopyAndASaveAreOnlyOfAndOverThePackageAsRead) {
    PackageBuilder builder;  // bigger than a copy block
    builder.add(item("连衣裙", "<p>" + std::string(9000, 'x') + "</p>", ""));
    const std::string path = dir.file("items.csv");
    builder.write(path);
    PtrVector* items = ptr_vector_new(16, 16);
    char* text = nullptr;
    PackageFingerprint read;
    ASSERT_EQ(read_data_package(path.c_str(), items, &text, &read), ReadResult::Ok);
    EXPECT_TRUE(package_unchanged(path.c_str(), read));

    // Another program's version: as long, one byte apart.
    std::string other = builder.file_bytes();
    other[other.size() / 2] ^= 1;
    write_file(path, other);
    EXPECT_FALSE(package_unchanged(path.c_str(), read));
    EXPECT_FALSE(backup_data_package(path.c_str(), nullptr, &read));
    EXPECT_FALSE(write_data_package(path.c_str(), text, &read));
    EXPECT_TRUE(read_file(path) == other);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".kelvane-", 0), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("bak")));

    builder.write(path);  // the package as read again
    EXPECT_TRUE(backup_data_package(path.c_str(), nullptr, &read));
    EXPECT_TRUE(write_data_package(path.c_str(), "new", &read));
    EXPECT_TRUE(read_file(bak("items(1).csv")) == builder.file_bytes());
    EXPECT_EQ(read_file(path), gbk_to_utf16le_file("new"));
    std::free(text);
    item_list_clear(items);
    ptr_vector_destroy(items, 0);
}

using WriterDeathTest = WriterTest;

TEST_F(WriterDeathTest, FailuresEndTheProgramWithTheirMessage) {
    const std::string missing = dir.file("missing.csv");
    EXPECT_FATAL(backup_data_package(missing.c_str()), "备份csv文件时出错：无法打开源csv文件句柄");

    const std::string nowhere = dir.file("no-such-folder") + platform::PATH_SEPARATOR + "items.csv";
    EXPECT_FATAL(write_data_package(nowhere.c_str(), "text"),
                 "更新CSV文件失败：文件句柄无法打开。");

    // A program folder that is a file cannot hold bak.
    const std::string file_as_folder = dir.file("plain-file");
    write_file(file_as_folder, "x");
    const std::string path = dir.file("items.csv");
    write_file(path, "x");
    settle_program_folder(file_as_folder.c_str());
    EXPECT_FATAL(backup_data_package(path.c_str()), "创建 [bak] 文件夹失败");
    settle_program_folder(dir.path().c_str());

    // Text that ends inside a character cannot be converted; the package stays.
    EXPECT_FATAL(write_data_package(path.c_str(), "abc\x81"),
                 "更新CSV文件失败：iconv()转码出错了。");
    EXPECT_EQ(read_file(path), "x");
#ifndef _WIN32
    // A folder opens, but reading it fails: no numbered copy may appear.
    EXPECT_FATAL(backup_data_package(dir.file("bak").c_str()), "备份csv文件时出错：文件读取不完整");
    EXPECT_FALSE(std::filesystem::exists(bak("bak(1)")));
#endif
}

#ifndef _WIN32
TEST_F(WriterTest, ASymlinkedPackageKeepsItsLinkAndItsTargetIsSaved) {
    const std::string target = dir.file("real.csv");
    const std::string link = dir.file("link.csv");
    write_file(target, "old");
    std::filesystem::permissions(target, std::filesystem::perms(0640));
    std::filesystem::create_symlink(target, link);
    write_data_package(link.c_str(), "new");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(target), gbk_to_utf16le_file("new"));
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0640));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".kelvane-", 0), std::string::npos);
}
#endif

}  // namespace

namespace {

// The owner lock of a job that is still running, as another process (in
// another PID namespace, or on another computer) holds it.
class HeldOwnerLock {
  public:
    explicit HeldOwnerLock(const std::string& path) {
#ifdef _WIN32
        handle_ = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr);
#else
        fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) ADD_FAILURE() << "flock " << path;
#endif
    }
    ~HeldOwnerLock() {
#ifdef _WIN32
        CloseHandle(handle_);
#else
        close(fd_);
#endif
    }
    HeldOwnerLock(const HeldOwnerLock&) = delete;
    HeldOwnerLock& operator=(const HeldOwnerLock&) = delete;

  private:
#ifdef _WIN32
    HANDLE handle_;
#else
    int fd_;
#endif
};

Strings names_in(const std::string& folder) {
    Strings names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(WriterTest, ASaveTakesAwayOnlyWhatJobsThatAreGoneForCertainLeft) {
    // Process ids prove nothing; an owner's lock does. One owner still holds
    // its lock, one was killed (its lock file is there, unheld), one left no
    // lock file at all.
    const std::string running = ".kelvane-00000000000000a1", killed = ".kelvane-0123456789abcdef",
                      vanished = ".kelvane-fedcba9876543210";
    const HeldOwnerLock held(dir.file(running + ".lock"));
    const Strings kept = {
        ".kelvane-2147483646-0.tmp",  // an earlier version's: its owner cannot be told
        running + "-4.tmp",          running + ".lock", ".kelvane-notes.tmp", "items.csv",
    };
    const Strings removed = {killed + "-0.tmp", killed + "-12.tmp", killed + ".lock",
                             vanished + "-7.tmp"};
    for (const Strings* names : {&kept, &removed}) {
        for (const std::string& name : *names) {
            if (!std::filesystem::exists(dir.file(name))) write_file(dir.file(name), "partial");
        }
    }
    write_data_package(dir.file("items.csv").c_str(), "text");
    Strings expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(dir.path()), expected);  // and nothing of this process's own
}

#ifndef _WIN32
TEST_F(WriterTest, APrivatePackageStaysPrivateWhileSavedAndInItsBackup) {
    const std::string path = dir.file("items.csv");
    write_file(path, "secret");
    chmod(path.c_str(), 0600);
    auto mode = [](const std::string& file) {
        struct stat st {};
        return stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
    };
    char temporary[PATH_BUFFER_SIZE];
    FILE* file = platform::create_temporary_beside(path.c_str(), temporary, sizeof temporary);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(mode(temporary), 0600u);
    std::fclose(file);

    backup_data_package(path.c_str());
    EXPECT_EQ(mode(bak("items(1).csv")), 0600u);
    write_data_package(path.c_str(), "new");
    EXPECT_EQ(mode(path), 0600u);

    // Images are nobody's secret: they get what any new file gets.
    const mode_t mask = umask(022);
    umask(mask);
    const std::string image = dir.file("1.jpg");
    ASSERT_EQ(platform::move_to_new_name(temporary, image.c_str()), platform::PlaceResult::Done);
    EXPECT_EQ(mode(image), 0666u & ~mask);
}
#else
TEST_F(WriterTest, ASaveKeepsThePackagesAttributes) {
    const std::string path = dir.file("items.csv");
    write_file(path, "old");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    write_data_package(path.c_str(), "new");
    EXPECT_EQ(read_file(path), gbk_to_utf16le_file("new"));
    const DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN) << attributes;
}
#endif

}  // namespace
