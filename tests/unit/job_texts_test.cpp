// The failure box text and the start checks that front ends share.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "engine/failure_text.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "platform/platform.h"
#include "shell/memory.h"
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

TEST(FailureText, AddressesThatDoNotFitAreLeftOutWhole) {
    Item many;
    many.record.status = ITEM_MOVED;
    many.record.desc_failed = ptr_vector_new_default();
    const std::string address = "http://img.example.com/" + std::string(200, 'a') + ".jpg";
    for (int i = 0; i < 100; ++i)
        ptr_vector_push(many.record.desc_failed, xstrdup(address.c_str()));
    const std::string text = many.text();
    EXPECT_LT(text.size(), FAILURE_TEXT_SIZE);
    const size_t per_address = address.size() + 2;
    EXPECT_EQ((text.size() - DESC.size()) % per_address, 0u);  // no half address
    EXPECT_EQ(text.substr(text.size() - address.size()), address);
}

TEST(StartChecks, FirstFailingCheckGivesItsMessage) {
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
        const char* message;  // nullptr: may start
    };
    const std::string sep(1, platform::PATH_SEPARATOR);
    const Case cases[] = {
        {options(false, false, ""),
         "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项"},
        {options(true, false, ""), "请选择图片搬家后保存到哪一个文件夹中"},
        {options(false, true, dir.file("missing")), "选择的文件夹不存在，请重新选择"},
        {options(true, true, desktop),
         "不可以将图片搬家到[桌面]"
         "上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n请重新选择一个文件夹。"},
        {options(true, true, desktop + sep),
         "不可以将图片搬家到[桌面]"
         "上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n请重新选择一个文件夹。"},
        {options(true, true, desktop + sep + "shop"), nullptr},
    };
    for (const Case& c : cases) {
        const char* message = check_move_start(c.options, desktop.c_str());
        if (c.message == nullptr) {
            EXPECT_EQ(message, nullptr) << c.options.targetFolder;
        } else {
            ASSERT_NE(message, nullptr) << c.options.targetFolder;
            EXPECT_STREQ(message, c.message);
        }
    }
    EXPECT_EQ(check_move_start(options(true, true, desktop), ""), nullptr);  // no desktop known
}

}  // namespace
