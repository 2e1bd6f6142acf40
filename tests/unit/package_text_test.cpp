// Characters GBK lacks in a data package: read and saved again, the package
// is the same file but for what the reader removes on purpose.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "package/data_package.h"
#include "package/data_package_io.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

const std::u16string TITLE_1 = u"新款\U0001F600连衣裙\U0001F389";
const std::u16string TITLE_2 = u"한국어 ™ • \U00020000";
const std::u16string WORDS_1 = u"한국어 ™ • ✓ ½ € \U00020000";
const std::u16string WORDS_2 = u"没有图片 \U0001F600 ✓ ½";

class PackageCharacters : public testing::Test {
  protected:
    void TearDown() override {
        item_list_clear(items);
        ptr_vector_destroy(items, 0);
        std::free(text);
    }
    ReadResult read(const PackageBuilder& builder) {
        const std::string path = dir.file("items.csv");
        builder.write(path);
        return read_data_package(path.c_str(), items, &text);
    }
    const ItemRecord* item(int32_t i) const { return static_cast<ItemRecord*>(items->items[i]); }

    TempDir dir;
    PtrVector* items = ptr_vector_new(16, 16);
    char* text = nullptr;
};

TEST_F(PackageCharacters, EveryCharacterSurvivesReadingAndSaving) {
    PackageBuilder builder;
    builder
        .add(PackageItem{
            gb18030_of(TITLE_1),
            gb18030_of(u"<p>" + WORDS_1 + u"</p><img src=\"http://img.example.com/a.jpg_.webp\">"),
            gb18030_of(u"<wapDesc><txt>" + WORDS_2 +
                       u"</txt><img>http://img.example.com/m.jpg</img></wapDesc>"),
            gb18030_of(WORDS_2)})
        .add(PackageItem{gb18030_of(TITLE_2), gb18030_of(u"<p>" + WORDS_2 + u"</p>"), "",
                         gb18030_of(WORDS_1)});
    const std::string file = builder.file_bytes();
    for (const std::u16string& words : {TITLE_1, TITLE_2, WORDS_1, WORDS_2})
        ASSERT_NE(file.find(utf16le_of(words)), std::string::npos);  // the builder kept them

    ASSERT_EQ(read(builder), ReadResult::Ok);
    ASSERT_EQ(items->count, 2);
    EXPECT_EQ(std::string(item(0)->name), gb18030_of(TITLE_1));
    EXPECT_EQ(std::string(item(1)->name), gb18030_of(TITLE_2));
    ASSERT_EQ(item(0)->desc_images->count, 1);
    EXPECT_STREQ(static_cast<const char*>(item(0)->desc_images->items[0]),
                 "http://img.example.com/a.jpg");
    ASSERT_EQ(item(0)->mobile_images->count, 1);
    EXPECT_EQ(item(1)->desc_images->count, 0);

    const std::string saved = dir.file("saved.csv");
    write_data_package(saved.c_str(), text);
    std::string expected = file;
    const std::string webp = utf16le_of(u"_.webp");
    expected.erase(expected.find(webp), webp.size());
    EXPECT_TRUE(read_file(saved) == expected);
}

TEST_F(PackageCharacters, TheTitleLimitCountsBytesOfFourByteForms) {
    // "x" and 63 characters of four bytes each: 253 bytes, the cell 255 with
    // its quotes. Half a surrogate pair is carried in a four-byte form too.
    struct Filler {
        std::u16string units;
        std::string form;
    };
    const Filler fillers[] = {{u"\U0001F600", "\x94\x39\xFC\x36"},
                              {std::u16string(1, char16_t{0xD800}), "\x84\x32\x81\x30"}};
    for (const Filler& filler : fillers) {
        for (const std::string lead : {"x", "xx"}) {
            // Built with '@' in its place: no text spells half a pair.
            std::string file = PackageBuilder()
                                   .add(PackageItem{lead + std::string(63, '@'), "", "", ""})
                                   .file_bytes();
            for (size_t at; (at = file.find(utf16le_of(u"@"))) != std::string::npos;)
                file.replace(at, 2, utf16le_of(filler.units));
            const std::string path = dir.file("items.csv");
            write_file(path, file);
            item_list_clear(items);
            std::free(text);
            text = nullptr;
            const ReadResult result = read_data_package(path.c_str(), items, &text);
            if (lead == "xx") {
                EXPECT_EQ(result, ReadResult::TitleTooLong);
                continue;
            }
            ASSERT_EQ(result, ReadResult::Ok);
            std::string title = lead;
            for (int i = 0; i < 63; ++i) title += filler.form;
            EXPECT_EQ(std::string(item(0)->name), title);
        }
    }
}

}  // namespace
