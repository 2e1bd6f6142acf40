#include "shell/charset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

TEST(Utf8Helpers, RoundTripAndDropUnmappable) {
    char* utf8 = gbk_to_utf8("\xD6\xD0\xCE\xC4 ok");
    EXPECT_STREQ(utf8, "\xE4\xB8\xAD\xE6\x96\x87 ok");
    char* back = utf8_to_gbk(utf8);
    EXPECT_STREQ(back, "\xD6\xD0\xCE\xC4 ok");
    std::free(utf8);
    std::free(back);

    // Thai, an emoji and a broken sequence have no GBK form.
    char* gbk = utf8_to_gbk(
        "a\xE0\xB8\x81"
        "b\xF0\x9F\x98\x80"
        "c\xC3"
        "d");
    EXPECT_STREQ(gbk, "abcd");
    std::free(gbk);
}

}  // namespace

namespace {

TEST(ConvertInPlace, GivesWhatConvertCharsetGives) {
    // Mixed one- and two-byte results, unmappable characters and surrogates,
    // across chunk boundaries; with a leading UTF-8 mark to step over.
    std::string ucs2("\xEF\xBB\xBF\xFF\xFE", 5);
    for (int i = 0; i < 30000; ++i) {
        ucs2.append(
            "\x2D\x4E"
            "a\x00",
            4);
        if (i % 101 == 0) ucs2.append("\x01\x0E\x3D\xD8", 4);
    }
    const Result expected = convert("UCS-2", "GBK", ucs2.substr(3), ucs2.size());

    std::string buffer = ucs2 + '\xAA';  // the extra byte the buffer must have
    size_t written = 0;
    const int32_t rc = convert_ucs2_to_gbk_in_place(buffer.data(), 3, ucs2.size(), &written);
    EXPECT_EQ(rc, expected.rc);
    ASSERT_EQ(written, expected.bytes.size());
    EXPECT_TRUE(buffer.substr(0, written) == expected.bytes);
    EXPECT_EQ(buffer.find_first_not_of('\0', written), std::string::npos);

    std::string odd(
        "\xFF\xFE"
        "a\x00"
        "b",
        5);
    odd += '\xAA';
    EXPECT_EQ(convert_ucs2_to_gbk_in_place(odd.data(), 0, 5, &written), -1);
    EXPECT_EQ(std::string(odd.c_str()), "a");
}

}  // namespace
