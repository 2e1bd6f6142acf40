// The failure box text and the start checks that front ends share.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/memory.h"
#include "engine/failure_text.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

const std::string DESC =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const std::string MOBILE =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

PtrVector* list_of(std::initializer_list<std::string> addresses) {
    PtrVector* list = ptr_vector_new_default();
    for (const std::string& a : addresses) ptr_vector_push(list, xstrdup(a.c_str()));
    return list;
}

struct Item {
    ItemRecord record{};
    ~Item() {
        ptr_vector_destroy(record.desc_failed, 1);
        ptr_vector_destroy(record.mobile_failed, 1);
    }
    std::string text() const {
        char out[FAILURE_TEXT_SIZE];
        format_failure_text(&record, out);
        return out;
    }
};

TEST(FailureText, HeadingsAndAddressesAsTheBoxShowsThem) {
    EXPECT_EQ(DESC.size(), 78u);
    EXPECT_EQ(MOBILE.size(), 78u);

    Item both;
    both.record.status = ITEM_MOVED;
    both.record.desc_failed = list_of({"X", "Y"});
    both.record.mobile_failed = list_of({"Z"});
    EXPECT_EQ(both.text(), DESC + "\r\nX\r\nY\r\n\r\n" + MOBILE + "\r\nZ");

    Item mobile_only;
    mobile_only.record.status = ITEM_MOVED;
    mobile_only.record.mobile_failed = list_of({"Z"});
    EXPECT_EQ(mobile_only.text(), MOBILE + "\r\nZ");

    Item unfinished;
    unfinished.record.desc_failed = list_of({"X"});
    EXPECT_EQ(unfinished.text(), "");

    Item clean;
    clean.record.status = ITEM_MOVED;
    EXPECT_EQ(clean.text(), "");
}

PtrVector* numbered(const std::string& prefix, int count) {
    PtrVector* list = ptr_vector_new_default();
    for (int i = 0; i < count; ++i)
        ptr_vector_push(list, xstrdup((prefix + std::to_string(i) + ".jpg").c_str()));
    return list;
}

// The lines of `text` after `heading` up to the next blank line: the shown
// addresses, then the note about the others if there is one.
std::vector<std::string> lines_under(const std::string& text, const std::string& heading) {
    std::vector<std::string> lines;
    size_t at = text.find(heading);
    if (at == std::string::npos) return lines;
    at += heading.size();
    while (at < text.size() && text.compare(at, 2, "\r\n") == 0) {
        at += 2;
        const size_t end = std::min(text.find("\r\n", at), text.size());
        if (end == at) break;  // the blank line before the next list
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// Shown addresses must be the list's first ones, whole, followed by a note
// that counts exactly the rest.
void expect_cut(const std::vector<std::string>& lines, const std::string& prefix, int total) {
    ASSERT_FALSE(lines.empty());
    const int shown = static_cast<int>(lines.size()) - 1;
    for (int i = 0; i < shown; ++i) EXPECT_EQ(lines[i], prefix + std::to_string(i) + ".jpg");
    EXPECT_EQ(lines.back(), "……还有 " + std::to_string(total - shown) + " 个地址未显示");
}

TEST(FailureText, ALongListIsCutFairlyAndSaysHowManyAreLeftOut) {
    const std::string desc = "http://img.example.com/desc/" + std::string(60, 'd') + "-";
    const std::string mobile = "http://img.example.com/wap/" + std::string(60, 'm') + "-";

    // 400 description and 100 mobile addresses: neither list starves the other.
    Item both;
    both.record.status = ITEM_MOVED;
    both.record.desc_failed = numbered(desc, 400);
    both.record.mobile_failed = numbered(mobile, 100);
    std::string text = both.text();
    EXPECT_LT(text.size(), FAILURE_TEXT_SIZE);
    std::vector<std::string> descLines = lines_under(text, DESC);
    std::vector<std::string> mobileLines = lines_under(text, MOBILE);
    expect_cut(descLines, desc, 400);
    expect_cut(mobileLines, mobile, 100);
    EXPECT_GT(mobileLines.size(), 30u);
    EXPECT_LT(descLines.size(), mobileLines.size() + 3);  // half the room each

    // A short list keeps all of its addresses and leaves the rest to the other.
    Item shortMobile;
    shortMobile.record.status = ITEM_MOVED;
    shortMobile.record.desc_failed = numbered(desc, 400);
    shortMobile.record.mobile_failed = numbered(mobile, 3);
    text = shortMobile.text();
    EXPECT_LT(text.size(), FAILURE_TEXT_SIZE);
    descLines = lines_under(text, DESC);
    expect_cut(descLines, desc, 400);
    EXPECT_GT(descLines.size(), 60u);
    mobileLines = lines_under(text, MOBILE);
    ASSERT_EQ(mobileLines.size(), 3u);
    EXPECT_EQ(mobileLines.back(), mobile + "2.jpg");
    EXPECT_EQ(text.substr(text.size() - mobileLines.back().size()), mobileLines.back());

    // One list alone takes all the room; nothing cut says nothing.
    Item one;
    one.record.status = ITEM_MOVED;
    one.record.mobile_failed = numbered(mobile, 400);
    text = one.text();
    EXPECT_LT(text.size(), FAILURE_TEXT_SIZE);
    expect_cut(lines_under(text, MOBILE), mobile, 400);
    EXPECT_GT(text.size(), FAILURE_TEXT_SIZE - 200);
    Item few;
    few.record.status = ITEM_MOVED;
    few.record.desc_failed = numbered(desc, 50);
    EXPECT_EQ(few.text().find("未显示"), std::string::npos);
}

TEST(JobViewTexts, StatesAndProgressAsTheWindowWordsThem) {
    EXPECT_STREQ(item_state_text(ItemState::Waiting), "等待");
    EXPECT_STREQ(item_state_text(ItemState::Moving), "搬家中");
    EXPECT_STREQ(item_state_text(ItemState::Moved), "完成");
    struct Case {
        JobProgress progress;
        const char* text;
    };
    const Case cases[] = {
        {{4, 2}, "搬家进度(宝贝数:4, 已搬家宝贝数:2)"},
        {{4, 2, true}, "搬家进度(宝贝数:4, 已搬家宝贝数:2), 正在更新csv文件..."},
        {{4, 2, true, 0}, "搬家进度(宝贝数:4, 已搬家宝贝数:2), 正在更新csv文件...(0%)"},
        {{2147483647, -2147483647 - 1, true, 100},
         "搬家进度(宝贝数:2147483647, 已搬家宝贝数:-2147483648), 正在更新csv文件...(100%)"},
    };
    for (const Case& c : cases) {
        char text[PROGRESS_TEXT_SIZE];
        format_progress_text(c.progress, text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(StartChecks, FirstFailingCheckGivesItsRefusalAndMessage) {
    TempDir dir;
    const std::string desktop = dir.file("Desktop");
    std::filesystem::create_directories(desktop + platform::PATH_SEPARATOR + "shop");
    auto options = [](bool space, bool third, const std::string& folder) {
        MoveOptions o{};
        o.moveImageSpace = space;
        o.moveThirdParty = third;
        std::snprintf(o.targetFolder, sizeof o.targetFolder, "%s", folder.c_str());
        return o;
    };
    struct Case {
        MoveOptions options;
        StartRefusal refusal;
        const char* message;  // nullptr: may start
    };
    const std::string sep(1, platform::PATH_SEPARATOR);
    const char* const onDesktop =
        "不可以将图片搬家到[桌面]"
        "上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n请重新选择一个文件夹。";
    const Case cases[] = {
        {options(false, false, ""), StartRefusal::NoSourceOption,
         "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项"},
        {options(true, false, ""), StartRefusal::NoFolder, "请选择图片搬家后保存到哪一个文件夹中"},
        {options(false, true, dir.file("missing")), StartRefusal::FolderMissing,
         "选择的文件夹不存在，请重新选择"},
        {options(true, true, desktop), StartRefusal::FolderIsDesktop, onDesktop},
        {options(true, true, desktop + sep), StartRefusal::FolderIsDesktop, onDesktop},
        {options(true, true, desktop + sep + "shop"), StartRefusal::None, nullptr},
    };
    for (const Case& c : cases) {
        const StartRefusal refusal = check_move_start(c.options, desktop.c_str());
        EXPECT_EQ(refusal, c.refusal) << c.options.targetFolder;
        if (c.message == nullptr) {
            EXPECT_EQ(start_refusal_text(refusal), nullptr) << c.options.targetFolder;
        } else {
            EXPECT_STREQ(start_refusal_text(refusal), c.message);
        }
    }
    // No desktop known.
    EXPECT_EQ(check_move_start(options(true, true, desktop), ""), StartRefusal::None);
}

}  // namespace
