// The console's text measured and cut as a terminal shows it.
#include "cli/console_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// This file's narrow literals are GBK; the console's text is UTF-8.
std::string u(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

TEST(ConsoleText, WidthCountsWideCharactersTwiceAndMarksNotAtAll) {
    const struct {
        std::string text;
        int width;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {u(u8"连衣裙"), 6},
        {u(u8"T恤 2件"), 7},
        {u(u8"한국어"), 6},
        {u(u8"ＡＢ"), 4},     // full-width forms
        {u(u8"😀x"), 3},       // an emoji outside the BMP
        {u(u8"e\u0301"), 1},  // a combining accent
        {u(u8"…"), 1},        // the ellipsis the cut adds
        {"\xE8\xBF", 2},      // a cut sequence: a column per byte
    };
    for (const auto& c : cases) EXPECT_EQ(display_width(c.text), c.width) << c.text;
}

TEST(ConsoleText, FitCutsByColumnsAndEndsWithAnEllipsis) {
    const struct {
        std::string text;
        int columns;
        std::string fitted;
    } cases[] = {
        {u(u8"连衣裙夏季"), 10, u(u8"连衣裙夏季")},  // fits exactly: nothing cut
        {u(u8"连衣裙夏季"), 9, u(u8"连衣裙夏…")},
        {u(u8"连衣裙夏季"), 8, u(u8"连衣裙…")},  // a wide character never half shown
        {u(u8"ab连衣"), 4, u(u8"ab…")},
        {u(u8"连衣"), 1, u(u8"…")},
        {u(u8"连衣"), 0, ""},
        {u(u8"😀😀😀"), 5, u(u8"😀😀…")},
        {"a\tb\x1b[2Jc", 20, "a b [2Jc"},  // no control reaches the terminal
        {u(u8"a\u202Eb"), 20, "ab"},       // nor a direction override
    };
    for (const auto& c : cases) {
        const std::string fitted = fit_to_width(c.text, c.columns);
        EXPECT_EQ(fitted, c.fitted) << c.text << " in " << c.columns;
        EXPECT_LE(display_width(fitted), c.columns < 0 ? 0 : c.columns);
    }
}

TEST(ConsoleText, ProgressLineFitsEveryWidthAndKeepsTheCountsFirst) {
    ProgressFacts facts;
    facts.items = 1200;
    facts.done = 345;
    facts.saved = 2871;
    facts.failed = 12;
    facts.elapsed = 754;
    facts.title = u(u8"2026夏季新款韩版宽松显瘦雪纺碎花连衣裙女中长款气质收腰");
    for (auto stage : {ProgressFacts::Stage::Moving, ProgressFacts::Stage::Updating}) {
        facts.stage = stage;
        for (int columns = 1; columns <= 220; ++columns) {
            const std::string line = progress_line(facts, columns);
            ASSERT_LT(display_width(line), columns) << line;
            if (columns > 13) {  // room for "宝贝 345/1200"
                EXPECT_EQ(line.rfind(u(u8"宝贝 345/1200"), 0), 0u) << line;
            }
        }
    }
    facts.stage = ProgressFacts::Stage::Moving;
    const std::string wide = progress_line(facts, 200);
    EXPECT_NE(wide.find(facts.title), std::string::npos) << wide;
    EXPECT_NE(wide.find(u(u8"剩余 31:09")), std::string::npos) << wide;  // 754 s / 345 × 855
    EXPECT_NE(wide.find(u(u8"3.8 张/秒")), std::string::npos) << wide;
    const std::string narrow = progress_line(facts, 80);
    EXPECT_NE(narrow.find(u(u8"失败 12 张")), std::string::npos) << narrow;
    EXPECT_NE(narrow.find(u(u8"…")), std::string::npos) << narrow;  // the title, cut
}

}  // namespace
