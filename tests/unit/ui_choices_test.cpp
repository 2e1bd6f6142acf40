// The window's decisions that need no window: which dropped file becomes the
// package, how a web page is opened, the font height and the window placement.
#include <gtest/gtest.h>

#include <vector>

#include "ui/ui_choices.h"

namespace {

TEST(DroppedName, TheFirstCsvInAnyCaseWins) {
    struct Case {
        std::vector<const char*> names;
        int chosen;
    };
    const Case cases[] = {
        {{"C:\\a.txt", "C:\\shop.CSV", "C:\\b.csv"}, 1},
        {{"C:\\shop.csv"}, 0},
        {{"C:\\a.txt", "C:\\b.jpg"}, -1},
        {{"", "C:\\x.Csv"}, 1},
        {{"C:\\csv", "C:\\a.csv.txt", ".csv"}, 2},
        {{nullptr, "C:\\y.cSV"}, 1},
        {{}, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_dropped_name(c.names.data(), static_cast<int>(c.names.size())), c.chosen)
            << (c.names.empty() || c.names[0] == nullptr ? "" : c.names[0]);
    }
}

TEST(UrlLaunchPlan, ChoosesTheBrowserTheShellAndTheFallbacks) {
    struct Case {
        bool found;
        const char* program;
        UrlLaunch first;
        UrlLaunch second;
    };
    const Case cases[] = {
        // No program for web pages: the shell, then Internet Explorer.
        {false, "", UrlLaunch::ShellOpen, UrlLaunch::RunIexplore},
        {false, "C:\\b\\firefox.exe", UrlLaunch::ShellOpen, UrlLaunch::RunIexplore},
        // The system's program chooser, in any case, counts as none.
        {true, "C:\\Windows\\system32\\OpenWith.exe", UrlLaunch::ShellOpen, UrlLaunch::RunIexplore},
        {true, "C:\\WINDOWS\\SYSTEM32\\OPENWITH.EXE", UrlLaunch::ShellOpen, UrlLaunch::RunIexplore},
        // A browser: itself, then Internet Explorer.
        {true, "C:\\Program Files\\Mozilla Firefox\\firefox.exe", UrlLaunch::RunProgram,
         UrlLaunch::RunIexplore},
        // Internet Explorer that failed: the shell, not Internet Explorer again.
        {true, "C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", UrlLaunch::RunProgram,
         UrlLaunch::ShellOpen},
        {true, "C:\\Program Files\\Internet Explorer\\iexplore.exe", UrlLaunch::RunProgram,
         UrlLaunch::ShellOpen},
    };
    for (const Case& c : cases) {
        const UrlLaunchPlan plan = plan_url_launch(c.found, c.program);
        EXPECT_EQ(plan.first, c.first) << c.program;
        EXPECT_EQ(plan.second, c.second) << c.program;
    }
}

TEST(DpiScaling, LengthsAndFontsGrowWithTheScreenAndStayAtNinetySix) {
    struct Case {
        int length, dpi, scaled;
    };
    const Case cases[] = {
        {680, 96, 680},  {21, 96, 21},   {680, 144, 1020}, {21, 144, 32}, {13, 144, 20},
        {-12, 144, -18}, {-9, 144, -14}, {483, 192, 966},  {17, 120, 21}, {0, 144, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(scale_for_dpi(c.length, c.dpi), c.scaled) << c.length;
    EXPECT_EQ(dpi_font_height(-12, 96, 96), -12);
    EXPECT_EQ(dpi_font_height(-12, 96, 144), -18);
    EXPECT_EQ(dpi_font_height(-18, 144, 144), -18);  // the system's own DPI: the stock height
    EXPECT_EQ(dpi_font_height(-18, 144, 96), -12);   // a window moved to a 96-DPI screen
    EXPECT_EQ(dpi_font_height(-11, 96, 120), -14);
}

TEST(WindowPlacement, CorrectsForTheCaptionAndCentresTheClientArea) {
    EXPECT_EQ(corrected_window_height(560, 19), 560);
    EXPECT_EQ(corrected_window_height(560, 23), 564);
    EXPECT_EQ(corrected_window_height(560, 18), 559);
    int x = 0;
    int y = 0;
    centred_position(1024, 738, 674, 531, 96, &x, &y);
    EXPECT_EQ(x, 175);
    EXPECT_EQ(y, 77);  // (738 - 531) / 2 - 26, rounded toward zero
    centred_position(600, 400, 675, 531, 96, &x, &y);
    EXPECT_EQ(x, -37);  // toward zero, not down
    EXPECT_EQ(y, -91);
    centred_position(1536, 1107, 1011, 797, 144, &x, &y);
    EXPECT_EQ(y, 116);  // (1107 - 797) / 2 - 39
}

TEST(ArchiveToolFolder, NeedsADollarSignAndTempInExactCase) {
    struct Case {
        const char* folder;
        bool refused;
    };
    const Case cases[] = {
        {"D:\\Temp\\tool", false},
        {"C:\\Users\\li\\AppData\\Local\\Temp\\Rar$EXa1234.5678", true},
        {"C:\\Users\\li\\AppData\\Local\\Temp\\7zO12AB\\kelvane", false},
        {"E:\\tools$\\x\\Temp\\kelvane", true},
        {"C:\\a$\\TEMP\\b", false},
        {"C:\\a$\\temp\\b", false},
        {"C:\\a$\\Temp", false},
        {"C:\\Temp\\", false},
        {"$\\Temp\\", true},
        {"C:\\Temporary\\a$", false},
        {"", false},
        {nullptr, false},
        // The second byte of a GBK character may be a backslash: "\x81\x5c" is
        // one character, so no "\Temp\" begins inside it.
        {"C:\\a$\\x\x81\x5cTemp\\b", false},
        {"C:\\a$\\\x81\x5c\\Temp\\b", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(started_from_archive_tool(c.folder), c.refused) << (c.folder ? c.folder : "null");
    }
}

}  // namespace
