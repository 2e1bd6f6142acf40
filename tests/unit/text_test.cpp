#include "shell/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(ReplaceAll, ReplacesLeftToRightWithoutOverlap) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* replacement;
        const char* expected;  // nullptr: no result
    };
    const Case cases[] = {
        {"aaa", "aa", "b", "ba"},
        {"aaaa", "aa", "b", "bb"},
        {"x.jpg y.jpg", ".jpg", ".png", "x.png y.png"},
        {"abcabc", "b", "", "acac"},
        {"abc", "abc", "", ""},
        {"abc", "zz", "y", nullptr},
        {"", "a", "b", nullptr},
        {"abc", "", "b", nullptr},
        {"short", "s", "a much longer replacement", "a much longer replacementhort"},
    };
    for (const Case& c : cases) {
        char* result = replace_all(c.text, c.pattern, c.replacement);
        if (c.expected == nullptr) {
            EXPECT_EQ(result, nullptr) << c.text << " / " << c.pattern;
        } else {
            ASSERT_NE(result, nullptr) << c.text << " / " << c.pattern;
            EXPECT_STREQ(result, c.expected);
        }
        std::free(result);
    }
    EXPECT_EQ(replace_all(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(replace_all("a", nullptr, "b"), nullptr);
    EXPECT_EQ(replace_all("a", "a", nullptr), nullptr);
}

TEST(ReplaceAll, HandlesMoreOccurrencesThanTheInitialPositionTable) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "<img>x</img>";
    char* result = replace_all(text.c_str(), "x", "yy");
    ASSERT_NE(result, nullptr);
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += "<img>yy</img>";
    EXPECT_EQ(result, expected);
    std::free(result);
}

TEST(CaseInsensitiveAffixes, FoldOnlyAsciiLetters) {
    EXPECT_EQ(starts_with_ignore_case("HTTP/1.1 200 OK", "http/1.1"), 1);
    EXPECT_EQ(starts_with_ignore_case("http", "http/"), 0);
    EXPECT_EQ(starts_with_ignore_case("", ""), 1);
    EXPECT_EQ(starts_with_ignore_case("x", ""), 0);
    EXPECT_EQ(starts_with_ignore_case("[abc", "{ABC"), 0);  // '[' is not a folded '{'
    EXPECT_EQ(starts_with_ignore_case("\xC4\xE3", "\xC4\xE3"), 1);
    EXPECT_EQ(starts_with_ignore_case("\xE4\xE3", "\xC4\xE3"), 0);  // no folding beyond ASCII

    EXPECT_EQ(ends_with_ignore_case("ITEMS.CSV", ".csv"), 1);
    EXPECT_EQ(ends_with_ignore_case("csv", ".csv"), 0);
    EXPECT_EQ(ends_with_ignore_case("", ""), 1);
    EXPECT_EQ(ends_with_ignore_case("a", ""), 0);
    EXPECT_EQ(ends_with_ignore_case("a.cSv", ".CsV"), 1);
    EXPECT_EQ(ends_with_ignore_case("a.csx", ".csv"), 0);
}

}  // namespace
