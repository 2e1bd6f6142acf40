#include "shell/charset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/package_builder.h"

namespace {

struct Result {
    int32_t rc;
    std::string bytes;
};

Result convert(const char* from, const char* to, const std::string& in, size_t capacity = 256) {
    std::string out(capacity, '\xAA');
    size_t written = 12345;
    const int32_t rc =
        convert_charset(from, to, in.data(), in.size(), out.data(), out.size(), &written);
    if (rc == -1 && written == 12345) return {rc, "<untouched>"};
    // Everything past what was written must have been zero-filled.
    EXPECT_EQ(out.find_first_not_of('\0', written), std::string::npos) << from << " -> " << to;
    return {rc, out.substr(0, written)};
}

const std::string GBK_ZHONGWEN_A =
    "\xD6\xD0\xCE\xC4"
    "A";  // 中文A

TEST(ConvertCharset, Ucs2HonoursTheByteOrderMark) {
    struct Case {
        const char* name;
        std::string in;
    };
    const Case cases[] = {
        {"FF FE: little-endian", std::string("\xFF\xFE\x2D\x4E\x87\x65\x41\x00", 8)},
        {"FE FF: big-endian", std::string("\xFE\xFF\x4E\x2D\x65\x87\x00\x41", 8)},
        {"no mark: big-endian", std::string("\x4E\x2D\x65\x87\x00\x41", 6)},
    };
    for (const Case& c : cases) {
        const Result r = convert("UCS-2", "GBK", c.in);
        EXPECT_EQ(r.rc, 0) << c.name;
        EXPECT_EQ(r.bytes, GBK_ZHONGWEN_A) << c.name;
    }
    // Only a leading mark is one; later it is an ordinary (unmappable) character.
    const Result later = convert("UCS-2LE", "GBK", std::string("\x41\x00\xFF\xFE\x42\x00", 6));
    EXPECT_EQ(later.bytes, "AB");
}

TEST(ConvertCharset, LeavesOutWhatTheTargetCannotHoldWithoutFailing) {
    // A Thai letter has no GBK code; a surrogate pair is no UCS-2 character.
    const std::string in(
        "\xFF\xFE"
        "A\x00\x01\x0E"
        "B\x00\x3D\xD8\x00\xDE"
        "C\x00",
        14);
    const Result r = convert("UCS-2", "GBK", in);
    EXPECT_GE(r.rc, 0);
    EXPECT_EQ(r.bytes, "ABC");
}

TEST(ConvertCharset, GbkToUcs2le) {
    const Result r = convert("gbk", "UCS-2LE", GBK_ZHONGWEN_A);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.bytes, std::string("\x2D\x4E\x87\x65\x41\x00", 6));

    // A trail byte may be an ASCII letter: "\x81\x40" is one character (U+4E02).
    const Result ascii_trail = convert("GBK", "UCS-2LE",
                                       std::string("a\x81\x40"
                                                   "b",
                                                   4));
    EXPECT_EQ(ascii_trail.rc, 0);
    EXPECT_EQ(ascii_trail.bytes, std::string("a\0\x02\x4E"
                                             "b\0",
                                             6));
    // A lead byte before a byte that cannot follow it is left out alone.
    const Result bad_trail = convert("GBK", "UCS-2LE", std::string("\x81 x", 3));
    EXPECT_GE(bad_trail.rc, 0);
    EXPECT_EQ(bad_trail.bytes, std::string(" \0x\0", 4));

    // A byte that starts no GBK character is left out.
    const Result bad = convert("GBK", "UCS-2LE",
                               std::string("a\xFF"
                                           "b",
                                           3));
    EXPECT_GE(bad.rc, 0);
    EXPECT_EQ(bad.bytes, std::string("a\0b\0", 4));
}

TEST(ConvertCharset, EmptyInputGivesEmptyOutput) {
    const Result r = convert("UCS-2", "GBK", "");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.bytes, "");
}

TEST(ConvertCharset, FailsButKeepsWhatFitWhenTheOutputIsFull) {
    const std::string in("\x41\x00\x42\x00\x2D\x4E", 6);  // A B 中
    const Result r = convert("UCS-2LE", "GBK", in, 3);    // 中 needs two bytes, one is left
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.bytes, "AB");
}

TEST(ConvertCharset, FailsWhenTheInputEndsInsideACharacter) {
    const Result odd = convert("UCS-2LE", "GBK",
                               std::string("A\x00"
                                           "B",
                                           3));
    EXPECT_EQ(odd.rc, -1);
    EXPECT_EQ(odd.bytes, "A");

    const Result cut = convert("GBK", "UCS-2LE", std::string("A\xD6", 2));
    EXPECT_EQ(cut.rc, -1);
    EXPECT_EQ(cut.bytes, std::string("A\0", 2));
}

TEST(ConvertCharset, UnknownSetIsRefusedAndTouchesNothing) {
    testing::internal::CaptureStdout();
    const Result r = convert("EBCDIC", "GBK", "abc");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.bytes, "<untouched>");
    EXPECT_NE(printed.find('\n'), std::string::npos);
    EXPECT_EQ(convert("GBK", nullptr, "abc").rc, -1);
}

TEST(ConvertCharset, LargeInputCrossesChunkBoundaries) {
    // Little-endian UCS-2 of "中a" repeated past any internal chunk size,
    // with a character the target cannot hold every so often.
    std::string in("\xFF\xFE", 2);
    std::string expected;
    for (int i = 0; i < 50000; ++i) {
        in.append(
            "\x2D\x4E"
            "a\x00",
            4);
        expected.append(
            "\xD6\xD0"
            "a");
        if (i % 997 == 0) in.append("\x01\x0E", 2);
    }
    const Result r = convert("UCS-2", "GBK", in, expected.size() + 1);
    EXPECT_GE(r.rc, 0);
    EXPECT_TRUE(r.bytes == expected);
}

TEST(Utf8Helpers, GbkBecomesUtf8) {
    char* utf8 = gbk_to_utf8("\xD6\xD0\xCE\xC4 ok");
    EXPECT_STREQ(utf8, "\xE4\xB8\xAD\xE6\x96\x87 ok");
    std::free(utf8);
}

}  // namespace

namespace {

const std::string MARK = "\xFF\xFE";  // little-endian, as Taobao Assistant writes

struct PackageText {
    int32_t rc;
    std::string text;
    bool null;
};

PackageText from_utf16(const std::string& utf16) {
    char* text = reinterpret_cast<char*>(1);
    size_t length = 12345;
    const int32_t rc = package_text_from_utf16(utf16.data(), utf16.size(), &text, &length);
    PackageText out{rc, "", text == nullptr};
    if (text != nullptr) {
        EXPECT_EQ(text[length], '\0');
        out.text.assign(text, length);
        std::free(text);
    }
    return out;
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

TEST(PackageText, HoldsEveryCharacterInWellFormedForms) {
    std::u16string units;  // every scalar value from U+0080 on
    size_t count = 0;
    for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (c > 0xFFFF) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        ++count;
    }
    const std::string all = utf16le_of(units);
    const PackageText gb = from_utf16(MARK + all);
    ASSERT_EQ(gb.rc, 0);
    // Two-byte codes, or four-byte forms whose only ASCII bytes are digits:
    // no quote, TAB or line end of the package's markup can appear inside.
    const auto* b = reinterpret_cast<const unsigned char*>(gb.text.data());
    size_t at = 0;
    size_t forms = 0;
    while (at + 1 < gb.text.size() && b[at] >= 0x81 && b[at] != 0xFF) {
        if (is_digit(b[at + 1])) {
            if (at + 3 >= gb.text.size() || b[at + 2] < 0x81 || b[at + 2] == 0xFF ||
                !is_digit(b[at + 3])) {
                break;
            }
            at += 4;
        } else {
            at += 2;
        }
        ++forms;
    }
    EXPECT_EQ(at, gb.text.size());
    EXPECT_EQ(forms, count);
    const Result back = convert("GB18030", "UTF-16LE", gb.text, all.size());
    EXPECT_EQ(back.rc, 0);
    EXPECT_TRUE(back.bytes == all);

    // The standard's forms beyond the BMP: U+1F600 and U+20000.
    EXPECT_EQ(gb18030_of(u"\U0001F600\U00020000"), "\x94\x39\xFC\x36\x95\x32\x82\x36");
}

TEST(PackageText, GbkTextIsTheSameInIt) {
    // Every two-byte code; those GBK lacks leave stray bytes, which do no
    // harm, but the euro sign that a stray 0x80 stands for is GBK's single
    // byte and GB18030's two, so it is taken out.
    std::string codes;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail != 0x7F) codes += {static_cast<char>(lead), static_cast<char>(trail)};
        }
    }
    const Result decoded = convert("GBK", "UTF-16LE", codes, codes.size() * 2);
    std::string utf16;
    for (size_t i = 0; i + 1 < decoded.bytes.size(); i += 2) {
        if (decoded.bytes.compare(i, 2, "\xAC\x20") != 0) utf16 += decoded.bytes.substr(i, 2);
    }
    const Result gbk = convert("UCS-2LE", "GBK", utf16, codes.size() + 1);
    ASSERT_GT(gbk.bytes.size(), 40000u);
    EXPECT_TRUE(from_utf16(MARK + utf16).text == gbk.bytes);
    EXPECT_TRUE(convert("GB18030", "UTF-16LE", gbk.bytes, utf16.size()).bytes == utf16);
    // GBK's single-byte euro sign reads the same.
    EXPECT_EQ(convert("GB18030", "UTF-16LE", "a\x80").bytes, utf16le_of(u"a\u20AC"));
}

TEST(PackageText, ASurrogatePairAtAChunkEdgeStaysWhole) {
    // Conversions pass CHUNK_UNITS (8192) UTF-16 units at a time.
    for (const size_t before : {8190u, 8191u, 8192u}) {
        const std::string utf16 = utf16le_of(std::u16string(before, u'a') + u"\U0001F600b");
        const PackageText gb = from_utf16(MARK + utf16);
        EXPECT_EQ(gb.rc, 0);
        EXPECT_TRUE(gb.text == std::string(before, 'a') + "\x94\x39\xFC\x36" + "b") << before;
        EXPECT_TRUE(convert("GB18030", "UTF-16LE", gb.text, utf16.size()).bytes == utf16) << before;
    }
}

TEST(PackageText, ByteOrderAndHalvesOfPairs) {
    struct Case {
        const char* name;
        std::string utf16;
        std::string text;
    };
    const std::string smile = "\x94\x39\xFC\x36";
    const std::string high = "\x84\x32\x81\x30";  // U+D800 alone
    const std::string low = "\x84\x32\xE7\x34";   // U+DC00 alone
    const std::string unit[] = {std::string("\0\xD8", 2), std::string("\0\xDC", 2),
                                std::string("\xFF\xDF", 2)};
    const std::string a = utf16le_of(u"a");
    const Case cases[] = {
        {"FF FE: little-endian", MARK + utf16le_of(u"a\U0001F600"), "a" + smile},
        {"no mark: big-endian", std::string("\0a\xD8\x3D\xDE\x00", 6), "a" + smile},
        {"lone high", MARK + a + unit[0] + utf16le_of(u"b"), "a" + high + "b"},
        {"lone low", MARK + a + unit[1] + utf16le_of(u"b"), "a" + low + "b"},
        {"high before a pair", MARK + a + unit[0] + utf16le_of(u"\U0001F600"), "a" + high + smile},
        {"low, then high at the end", MARK + a + unit[1] + unit[0], "a" + low + high},
        {"the last one", MARK + a + unit[2], "a\x84\x33\xCF\x37"},
    };
    for (const Case& c : cases) {
        const PackageText gb = from_utf16(c.utf16);
        EXPECT_EQ(gb.rc, 0) << c.name;
        EXPECT_EQ(gb.text, c.text) << c.name;
        if (c.utf16.rfind(MARK, 0) != 0) continue;
        std::string back(c.utf16.size(), '\0');
        size_t written = 0;
        EXPECT_EQ(package_text_to_utf16(gb.text.data(), gb.text.size(), back.data(), back.size(),
                                        &written),
                  0)
            << c.name;
        EXPECT_TRUE(back.substr(0, written) == c.utf16.substr(2)) << c.name;
    }
    const PackageText odd = from_utf16(MARK + utf16le_of(u"ab") + "c");
    EXPECT_EQ(odd.rc, -1);
    EXPECT_TRUE(odd.null);

    // Shown, half a pair is the replacement character.
    char* utf8 = gb18030_to_utf8(("a" + high + "b" + low).c_str());
    EXPECT_STREQ(utf8,
                 "a\xEF\xBF\xBD"
                 "b\xEF\xBF\xBD");
    std::free(utf8);
    char16_t* utf16 = gb18030_to_utf16(("a" + high + "b").c_str());
    EXPECT_EQ(std::u16string(utf16), u"a\uFFFDb");
    std::free(utf16);
}

TEST(Utf8Helpers, Gb18030TextShowsWhole) {
    const std::u16string shown = u"新款\U0001F600 한국어 ™ \U00020000";
    const std::string text = gb18030_of(shown) + "\x80";  // and GBK's euro sign
    // (Outside the macro, which would spell the literal in GBK.)
    const auto* expected =
        reinterpret_cast<const char*>(u8"新款\U0001F600 한국어 ™ \U00020000\u20AC");
    char* utf8 = gb18030_to_utf8(text.c_str());
    EXPECT_STREQ(utf8, expected);
    std::free(utf8);
    char16_t* utf16 = gb18030_to_utf16(text.c_str());
    EXPECT_EQ(std::u16string(utf16), shown + u"\u20AC");
    std::free(utf16);
}

}  // namespace
