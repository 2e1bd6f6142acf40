// kelvane.exe driven from outside, under Wine and a virtual X display: the
// layout, the loading and start checks, a whole job, and closing during one.
//   kelvane-gui-tests KELVANE.EXE SCREENSHOT-FOLDER [gtest flags]
#include <winsock2.h>
// windows.h after winsock2.h, the other Windows headers after both
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gui_driver.h"
#include "platform/safe_files.h"
#include "support/cli_runner.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The failure box headings, as the user reads them.
const std::string DESC_HEADING =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const std::string MOBILE_HEADING =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

enum Page { BOTH, PAGE1, PAGE2 };

struct ExpectedControl {
    const char* className;
    const char* text;  // nullptr: not compared (the list view has none)
    DWORD style;
    DWORD exStyle;
    int x, y, width, height;
    int parent;  // 0 the window, 1 the page-1 panel, 2 the page-2 panel
    int id;
};

// The layout as the user must see it, written down independently of the program.
const ExpectedControl PANEL1_CONTROLS[] = {
    {"Static", "第一步：选择淘宝助理导出的数据包(CSV)文件", SS_NOTIFY, 0, 21, 13, 500, 32, 1, 0},
    {"Static", "选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", SS_NOTIFY, 0, 21,
     43, 500, 28, 1, 0},
    {"Edit", "", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 20, 161, 442, 22, 1, 36102},
    {"Button", "选择CSV文件...", BS_PUSHBUTTON, 0, 471, 160, 100, 24, 1, 36103},
    {"Edit", "", ES_READONLY | ES_AUTOVSCROLL | ES_MULTILINE, 0, 20, 211, 635, 263, 1, 36104},
};
const ExpectedControl PANEL2_CONTROLS[] = {
    {"Static", "第二步：设置图片搬家选项，准备进行搬家", SS_NOTIFY, 0, 21, 13, 500, 32, 2, 0},
    {"Static", "如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。",
     SS_NOTIFY, 0, 21, 43, 500, 28, 2, 0},
    {"Button", "搬来自淘宝图片空间里的图片", BS_AUTOCHECKBOX, 0, 17, 90, 182, 21, 2, 36106},
    {"Button", "搬来自第三方相册里的图片", BS_AUTOCHECKBOX, 0, 216, 90, 172, 21, 2, 36107},
    {"Button", "将搬家失败的图片替换为空白图片", BS_AUTOCHECKBOX, 0, 403, 90, 211, 21, 2, 36108},
    {"Static", "图片搬家到：", SS_NOTIFY, 0, 16, 129, 78, 20, 2, 0},
    {"Edit", "", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 93, 125, 475, 22, 2, 36109},
    {"Button", "选择...", BS_PUSHBUTTON, 0, 575, 124, 82, 24, 2, 36110},
    {"SysListView32", nullptr, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, WS_EX_CLIENTEDGE, 16,
     167, 640, 144, 2, 0},
    {"Static", "搬家失败的图片地址：", SS_NOTIFY, 0, 17, 320, 223, 22, 2, 0},
    {"Edit", "", WS_VSCROLL | ES_READONLY | ES_MULTILINE, WS_EX_CLIENTEDGE, 17, 339, 640, 89, 2,
     36111},
    {"msctls_progress32", "", 0, 0, 17, 435, 640, 21, 2, 0},
    {"Static", "搬家进度(宝贝数:0)", SS_NOTIFY, 0, 17, 462, 640, 20, 2, 0},
};
const ExpectedControl MAIN_CONTROLS[] = {
    {"Static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, 0, 36100},
    {"Static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, 0, 36100},
    {"Button", "上一步", BS_PUSHBUTTON, 0, 387, 499, 86, 25, 0, 36115},
    {"Button", "下一步", BS_PUSHBUTTON, 0, 482, 499, 86, 25, 0, 36116},
    {"Button", "关闭", BS_PUSHBUTTON, 0, 577, 499, 86, 25, 0, 36117},
    {"Static", "搬家教程与常见问题", SS_NOTIFY, 0, 13, 504, 128, 17, 0, 36112},
    {"Static", "官方网站", SS_NOTIFY, 0, 157, 504, 60, 17, 0, 36114},
};

void expect_control(const RunningProgram& program, HWND window, const ExpectedControl& want) {
    ASSERT_NE(window, nullptr) << want.className << " " << (want.text ? want.text : "");
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    EXPECT_EQ(_stricmp(name, want.className), 0) << name << " for " << want.className;
    if (want.text != nullptr) {
        EXPECT_EQ(program.text(window), want.text);
    }
    EXPECT_EQ(GetDlgCtrlID(window), want.id) << want.className;
    const LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | want.style), static_cast<LONG>(WS_CHILD | want.style))
        << name << " style " << std::hex << style;
    if (want.exStyle != 0) {
        EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & want.exStyle,
                  static_cast<LONG>(want.exStyle));
    }
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, want.x) << want.className << " " << (want.text ? want.text : "");
    EXPECT_EQ(rect.top, want.y) << want.className << " " << (want.text ? want.text : "");
    EXPECT_EQ(rect.right - rect.left, want.width) << want.className;
    EXPECT_EQ(rect.bottom - rect.top, want.height) << want.className;
}

std::string desktop_folder() {
    char path[MAX_PATH] = "";
    PIDLIST_ABSOLUTE list = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list)) && list != nullptr) {
        SHGetPathFromIDListA(list, path);
        CoTaskMemFree(list);
    }
    return path;
}

std::string img(const std::string& url) {
    return "<img src=\"" + url + "\">";
}

std::string wap(const std::string& url) {
    return "<wapDesc><img>" + url + "</img></wapDesc>";
}

class GuiTest : public testing::Test {
  protected:
    void SetUp() override { fs::create_directories(pictures()); }
    std::string package() const { return dir.file("shop.csv"); }
    std::string pictures() const { return dir.file("pictures"); }
    std::string app_folder() const {
        const std::string folder = dir.file("app");
        fs::create_directories(folder);
        // The desktop shortcut question would stand in front of every scenario.
        write_file(folder + "\\no_shortcut.txt", "");
        return folder;
    }

    // Puts the package into the path box and presses Next; true on page 2.
    bool load(RunningProgram& program) {
        program.set_text(program.control(36102), package());
        program.click(program.control(36116));
        // Drop acceptance is switched off last: waiting for it lets the checks
        // see the whole page switch, not the panel shown half-way through it.
        return wait_for([&] {
            return IsWindowVisible(program.child(program.main(), 1)) != 0 &&
                   (GetWindowLongA(program.main(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES) == 0;
        });
    }

    // Expects a validation message, presses OK and checks where the focus went.
    void expect_warning(RunningProgram& program, const std::string& text, HWND focus,
                        bool yesNo = false) {
        const MessageBoxSeen box = program.wait_message_box();
        ASSERT_NE(box.window, nullptr) << "no message box for: " << text;
        EXPECT_EQ(box.caption, "提示");
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(GetWindow(box.window, GW_OWNER), program.main());
        if (yesNo) {
            EXPECT_TRUE(box.hasYes && box.hasNo);
            program.press(box, IDNO);
        } else {
            EXPECT_TRUE(box.hasOk);
            program.press(box, IDOK);
        }
        EXPECT_TRUE(wait_for([&] { return program.focus() == focus; }, 5))
            << "focus on " << program.text(program.focus()) << " for: " << text;
        EXPECT_TRUE(program.no_message_box());
    }

    // A package of `items` items of one image each, served after `delayMs`:
    // a job on it is still under way seconds after it starts. The addresses,
    // in order.
    std::vector<std::string> write_slow_package(ImageServer& server, int items, int delayMs) {
        server.set_delay_ms(delayMs);
        PackageBuilder builder;
        std::vector<std::string> urls;
        for (int i = 0; i < items; ++i) {
            const std::string path = "/p" + std::to_string(i) + ".jpg";
            server.add(path, jpeg_body(70));
            urls.push_back(server.url(path));
            builder.add({"宝贝" + std::to_string(i), img(urls.back()), "", ""});
        }
        builder.write(package());
        return urls;
    }

    // Loads the package, starts the job and waits until its second row is done.
    bool start_job(RunningProgram& program) {
        if (!load(program)) return false;
        program.set_text(program.control(36109), pictures());
        program.click(program.control(36116));
        return wait_for([&] { return program.cell(1, 1) == "完成"; }, 30);
    }

    // How many of `urls` the saved package no longer names.
    int moved_in_package(const std::vector<std::string>& urls) const {
        const std::string saved = utf16le_to_gbk(read_file(package()));
        int moved = 0;
        for (const std::string& url : urls) moved += saved.find(url) == std::string::npos;
        return moved;
    }

    TempDir dir;
};

TEST_F(GuiTest, LayoutOfBothPages) {
    PackageBuilder().add({"连衣裙", img("http://127.0.0.1:9/a.jpg"), "", ""}).write(package());
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    HWND main = program.main();

    char title[64] = "";
    GetWindowTextA(main, title, sizeof title);
    EXPECT_STREQ(title, "Kelvane(V8.2)");
    char className[64] = "";
    GetClassNameA(main, className, sizeof className);
    EXPECT_STREQ(className, "CodeBlocksWindowsApp");
    RECT outer;
    GetWindowRect(main, &outer);
    EXPECT_EQ(outer.right - outer.left, 680);
    EXPECT_EQ(outer.bottom - outer.top, 560 + GetSystemMetrics(SM_CYCAPTION) - 19);
    const LONG style = GetWindowLongA(main, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_TRUE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - client.right) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYMAXIMIZED) - client.bottom) / 2 - 26);

    // Every control, in creation order under its parent.
    const std::vector<HWND> top = program.children(main);
    ASSERT_EQ(top.size(), std::size(MAIN_CONTROLS));
    for (size_t i = 0; i < top.size(); ++i) expect_control(program, top[i], MAIN_CONTROLS[i]);
    const std::vector<HWND> first = program.children(top[0]);
    ASSERT_EQ(first.size(), std::size(PANEL1_CONTROLS));
    for (size_t i = 0; i < first.size(); ++i) expect_control(program, first[i], PANEL1_CONTROLS[i]);
    const std::vector<HWND> second = program.children(top[1]);
    ASSERT_EQ(second.size(), std::size(PANEL2_CONTROLS));
    for (size_t i = 0; i < second.size(); ++i) {
        expect_control(program, second[i], PANEL2_CONTROLS[i]);
    }

    // The item list.
    const char* headers[] = {"宝贝标题", "状态", "电脑端失败数", "手机端失败数"};
    const int widths[] = {340, 80, 96, 96};
    HWND list = second[8];
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(program.column_header(i), headers[i]);
        EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0), widths[i]);
    }
    EXPECT_EQ(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x4021, 0x4021);
    EXPECT_EQ(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0), 6);

    // Page 1 as it opens.
    EXPECT_TRUE(IsWindowVisible(top[0]));
    EXPECT_FALSE(IsWindowVisible(top[1]));
    EXPECT_FALSE(IsWindowVisible(top[2]));  // Back
    EXPECT_TRUE(IsWindowVisible(top[3]));
    EXPECT_TRUE(program.checked(second[2]));
    EXPECT_TRUE(program.checked(second[3]));
    EXPECT_FALSE(program.checked(second[4]));
    for (HWND control : first) EXPECT_TRUE(IsWindowVisible(control));
    for (HWND control : second) EXPECT_FALSE(IsWindowVisible(control));
    EXPECT_TRUE(program.screenshot("page1.png"));

    // Page 2 after loading.
    ASSERT_TRUE(load(program));
    EXPECT_FALSE(IsWindowVisible(top[0]));
    EXPECT_TRUE(IsWindowVisible(top[2]));
    EXPECT_EQ(program.text(top[3]), "开始搬家");
    EXPECT_FALSE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    EXPECT_EQ(program.text(second[12]), "搬家进度(宝贝数:1)");
    EXPECT_EQ(SendMessageA(second[11], PBM_GETRANGE, FALSE, 0), 1);
    ASSERT_EQ(program.row_count(), 1);
    EXPECT_EQ(program.cell(0, 0), "连衣裙");
    EXPECT_EQ(program.cell(0, 1), "等待");
    EXPECT_EQ(program.cell(0, 2), "");
    EXPECT_EQ(program.cell(0, 3), "");
    for (HWND control : first) EXPECT_FALSE(IsWindowVisible(control));
    for (HWND control : second) EXPECT_TRUE(IsWindowVisible(control));
    EXPECT_TRUE(IsWindowVisible(top[5]) && IsWindowVisible(top[6]));  // the links
    EXPECT_TRUE(program.screenshot("page2-loaded.png"));

    // Back keeps the loaded page 2 as it was.
    program.click(top[2]);
    ASSERT_TRUE(wait_for([&] {
        return IsWindowVisible(top[0]) != 0 &&
               (GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
    }));
    EXPECT_FALSE(IsWindowVisible(top[1]));
    EXPECT_FALSE(IsWindowVisible(top[2]));
    EXPECT_EQ(program.text(top[3]), "下一步");
    EXPECT_TRUE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    EXPECT_EQ(program.row_count(), 1);

    // Closing with no job ends the process at once, without a question.
    PostMessageA(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program.exited(5000));
    EXPECT_EQ(program.exit_code(), 0u);
}

TEST_F(GuiTest, LoadingAndStartChecksTellTheUserAndMoveTheFocus) {
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    HWND choose = program.control(36103);
    HWND next = program.control(36116);

    program.click(next);
    expect_warning(program, "请选择一个淘宝数据包(csv)文件", choose);

    program.set_text(program.control(36102), dir.file("missing.csv"));
    program.click(next);
    expect_warning(program, "选择的csv文件不存在，请重新选择", choose);

    write_file(package(), gbk_to_utf16le_file("not a package\r\n"));
    program.set_text(program.control(36102), package());
    program.click(next);
    const std::string malformed =
        "[shop.csv]数据格式存在问题，需要使用淘宝助理(版本:5.x+)转换一下，操作方法如下：\n\n"
        "1. 打开并登录淘宝助理，进入[宝贝管理] -> [本地库存宝贝]。\n\n"
        "2. 在[本地库存宝贝]下建立一个新的分类，将[shop.csv]导入到新建立的分类下，"
        "然后钩选刚刚导入的所有宝贝，导出CSV直接替换[shop.csv]。\n\n"
        "3. 然后再对[shop.csv]进行搬家。\n\n\n是否需要进入官网查看详细操作指南？";
    expect_warning(program, malformed, choose, true);
    EXPECT_TRUE(IsWindowVisible(program.child(program.main(), 0)));

    // A title cell of 256 bytes with its quotes.
    PackageBuilder().add({std::string(254, 'T'), "", "", ""}).write(package());
    program.click(next);
    expect_warning(
        program,
        "[shop.csv]数据包中部分宝贝的标题超过255个字符(127个汉字)，需要使用淘宝助理修改一下，"
        "操作方法如下：\n\n1. 打开并登录淘宝助理，进入[宝贝管理] -> [本地库存宝贝]。\n\n"
        "2. 在[本地库存宝贝]下建立一个新的分类，将[shop.csv]导入到新建立的分类下。\n\n"
        "3. 将宝贝标题过长的修改短一些。然后钩选刚刚导入的所有宝贝，导出CSV直接替换[shop."
        "csv]，然后再对[shop.csv]进行搬家。",
        choose);
    EXPECT_TRUE(IsWindowVisible(program.child(program.main(), 0)));

    PackageBuilder().add({"帆布包", img("http://127.0.0.1:9/a.jpg"), "", ""}).write(package());
    ASSERT_TRUE(load(program));
    HWND imageSpace = program.control(36106);
    HWND thirdParty = program.control(36107);
    HWND browse = program.control(36110);
    HWND folder = program.control(36109);

    // The source options come first, whatever the folder box holds.
    program.set_check(imageSpace, false);
    program.set_check(thirdParty, false);
    program.set_text(folder, pictures());
    program.click(next);
    expect_warning(program,
                   "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项",
                   imageSpace);
    program.set_check(thirdParty, true);

    program.set_text(folder, "");
    program.click(next);
    expect_warning(program, "请选择图片搬家后保存到哪一个文件夹中", browse);

    program.set_text(folder, dir.file("nowhere"));
    program.click(next);
    expect_warning(program, "选择的文件夹不存在，请重新选择", browse);

    const std::string desktop = desktop_folder();
    ASSERT_FALSE(desktop.empty());
    fs::create_directories(desktop);
    program.set_text(folder, desktop);
    program.click(next);
    expect_warning(program,
                   "不可以将图片搬家到[桌面]上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。"
                   "\n\n请重新选择一个文件夹。",
                   browse);

    // Nothing started: every control still works and no file was touched.
    EXPECT_TRUE(IsWindowEnabled(next));
    EXPECT_TRUE(IsWindowEnabled(browse));
    EXPECT_EQ(program.cell(0, 1), "等待");
    EXPECT_FALSE(fs::exists(dir.file("app") + "\\bak"));
}

TEST_F(GuiTest, TheWindowHoldsItsPackageFromLoadingUntilBack) {
    const std::string title = "T恤 \"男女\" 同款";
    PackageBuilder builder;
    builder.add({title, img("http://127.0.0.1:9/a.jpg"), "", ""});
    builder.write(package());
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);

    // Another job holds the package: loading it is refused.
    platform::PackageLock* lock = nullptr;
    ASSERT_EQ(platform::lock_package(package().c_str(), &lock), platform::LockResult::Locked);
    program.set_text(program.control(36102), package());
    program.click(program.control(36116));
    expect_warning(program, "这个数据包正在被另一个搬家任务使用，请等那个任务结束后再搬家。",
                   program.control(36103));
    EXPECT_TRUE(IsWindowVisible(program.child(program.main(), 0)));
    platform::unlock_package(lock);

    // Loaded, it is the window's: a job from the console is refused.
    ASSERT_TRUE(load(program));
    EXPECT_EQ(program.cell(0, 0), title);  // as the seller wrote it
    EXPECT_EQ(platform::lock_package(package().c_str(), &lock), platform::LockResult::Held);
    const CliRun cli = run_cli({"move", package(), "--to", pictures()}, dir.file("home"));
    EXPECT_EQ(cli.status, 2) << cli.err;
    EXPECT_TRUE(read_file(package()) == builder.file_bytes());

    // Back lets it go.
    program.click(program.control(36115));
    ASSERT_TRUE(wait_for([&] { return IsWindowVisible(program.child(program.main(), 0)) != 0; }));
    ASSERT_EQ(platform::lock_package(package().c_str(), &lock), platform::LockResult::Locked);
    platform::unlock_package(lock);
}

TEST_F(GuiTest, AJobLeavesAPackageChangedSinceLoadingAsItIs) {
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    PackageBuilder().add({"连衣裙", img(server.url("/a.jpg")), "", ""}).write(package());
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    ASSERT_TRUE(load(program));
    // Another program writes the package after the window has read it.
    PackageBuilder other;
    other.add({"帆布包", "", "", ""});
    other.write(package());

    program.set_text(program.control(36109), pictures());
    program.click(program.control(36116));
    const MessageBoxSeen box = program.wait_message_box(60);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, "错误");
    EXPECT_NE(box.text.find("被其他程序改动过"), std::string::npos) << box.text;
    program.press(box, IDOK);
    ASSERT_TRUE(program.exited(10000));
    EXPECT_EQ(program.exit_code(), 0u);
    EXPECT_TRUE(read_file(package()) == other.file_bytes());
    const std::string bak = dir.file("app") + "\\bak";
    EXPECT_TRUE(!fs::exists(bak) || fs::is_empty(bak));
    EXPECT_FALSE(fs::is_empty(pictures()));  // the image waits there for the next job
}

TEST_F(GuiTest, TheDialogsChooseThePackageAndTheFolder) {
    PackageBuilder().add({"连衣裙", "", "", ""}).write(package());
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);

    // The open-file dialog: a name typed into it lands in the path box, unloaded.
    program.click(program.control(36103));
    MessageBoxSeen dialog;
    ASSERT_TRUE(wait_for([&] {
        dialog = program.message_box();
        return dialog.window != nullptr && GetDlgItem(dialog.window, 0x47c) != nullptr;
    }));
    EXPECT_EQ(dialog.caption, "选择淘宝助理导出的数据包(CSV)文件");
    // The file name box (a drop-down combo box passes its text on to its edit field).
    HWND name = GetDlgItem(dialog.window, 0x47c);
    program.set_text(name, package());
    EXPECT_EQ(program.text(name), package());
    program.press(dialog, IDOK);
    EXPECT_TRUE(wait_for([&] { return program.text(program.control(36102)) == package(); }));
    EXPECT_TRUE(IsWindowVisible(program.child(program.main(), 0)));

    // The folder dialog opens on the folder box's folder and hands it back.
    ASSERT_TRUE(load(program));
    program.set_text(program.control(36109), pictures());
    program.click(program.control(36110));
    ASSERT_TRUE(wait_for([&] {
        dialog = program.message_box();
        return dialog.window != nullptr && dialog.hasOk;
    }));
    EXPECT_NE(program.control_by_text("图片搬家到："), nullptr);
    program.set_text(program.control(36109), "");
    Sleep(300);  // the start selection is made as the dialog opens
    program.press(dialog, IDOK);
    EXPECT_TRUE(wait_for([&] { return program.text(program.control(36109)) == pictures(); }))
        << program.text(program.control(36109));
}

TEST_F(GuiTest, AWholeJobFillsTheRowsAndTheFailureBox) {
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    server.add("/m.jpg", jpeg_body(90));
    const std::string gone1 = server.url("/gone1.jpg");
    const std::string gone2 = server.url("/gone2.jpg");
    const std::string goneM = server.url("/gone-m.jpg");
    const std::string goneM2 = server.url("/gone-m2.jpg");
    PackageBuilder()
        .add({"连衣裙", img(server.url("/a.jpg")), wap(server.url("/m.jpg")), ""})
        .add({"帆布包", img(gone1) + img(gone2), wap(goneM), ""})
        .add({"草帽", "", wap(goneM2), ""})
        .write(package());

    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    ASSERT_TRUE(load(program));
    ASSERT_EQ(program.row_count(), 3);
    for (int row = 0; row < 3; ++row) EXPECT_EQ(program.cell(row, 1), "等待");
    // A failed row selected while the job runs fills the box by itself.
    program.select_row(1);
    EXPECT_EQ(program.text(program.control(36111)), "");

    program.set_text(program.control(36109), pictures());
    program.click(program.control(36116));
    const MessageBoxSeen done = program.wait_message_box(60);
    ASSERT_NE(done.window, nullptr);
    EXPECT_EQ(done.caption, "提示");
    EXPECT_EQ(done.text.rfind(
                  "图片搬家已完成，数据包(shop.csv)已更新。\n\n注意：有部分图片搬家失败！", 0),
              0u)
        << done.text;
    // The buttons come back only after the final message.
    EXPECT_FALSE(IsWindowEnabled(program.control(36115)));
    EXPECT_FALSE(IsWindowEnabled(program.control(36116)));
    const std::string both = DESC_HEADING + "\r\n" + gone1 + "\r\n" + gone2 + "\r\n\r\n" +
                             MOBILE_HEADING + "\r\n" + goneM;
    EXPECT_EQ(program.text(program.control(36111)), both);
    program.press(done, IDOK);

    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(program.control(36115)) != 0; }));
    EXPECT_TRUE(IsWindowEnabled(program.control(36117)));
    EXPECT_FALSE(IsWindowEnabled(program.control(36116)));
    EXPECT_FALSE(IsWindowEnabled(program.control(36106)));
    EXPECT_FALSE(IsWindowEnabled(program.control(36110)));

    const char* counts[3][2] = {{"", ""}, {"2", "1"}, {"", "1"}};
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(program.cell(row, 1), "完成") << row;
        EXPECT_EQ(program.cell(row, 2), counts[row][0]) << row;
        EXPECT_EQ(program.cell(row, 3), counts[row][1]) << row;
    }
    EXPECT_EQ(program.text(program.control(36111)).size(), both.size());
    EXPECT_EQ(program.text(program.child(program.child(program.main(), 1), 12)),
              "搬家进度(宝贝数:3, 已搬家宝贝数:3)");
    EXPECT_TRUE(program.screenshot("page2-after-job.png"));

    // After the job the rows still answer.
    program.select_row(2);
    EXPECT_TRUE(wait_for(
        [&] { return program.text(program.control(36111)) == MOBILE_HEADING + "\r\n" + goneM2; }));
    program.select_row(0);
    EXPECT_TRUE(wait_for([&] { return program.text(program.control(36111)).empty(); }));

    // Two images saved, the package rewritten, the failed addresses kept.
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(pictures())) {
        if (entry.is_regular_file()) ++files;
    }
    EXPECT_EQ(files, 2u);
    const std::string saved = utf16le_to_gbk(read_file(package()));
    EXPECT_EQ(saved.find(server.url("/a.jpg")), std::string::npos);
    EXPECT_EQ(saved.find(server.url("/m.jpg")), std::string::npos);
    EXPECT_NE(saved.find(gone1), std::string::npos);
    EXPECT_NE(saved.find(goneM2), std::string::npos);
    EXPECT_NE(saved.find(pictures()), std::string::npos);
    EXPECT_TRUE(fs::exists(dir.file("app") + "\\bak"));

    // Back and Next load the package again and reset page 2.
    program.set_check(program.control(36108), true);
    program.click(program.control(36115));
    ASSERT_TRUE(wait_for([&] { return IsWindowVisible(program.child(program.main(), 0)) != 0; }));
    EXPECT_EQ(program.text(program.control(36102)), package());
    ASSERT_TRUE(load(program));
    ASSERT_EQ(program.row_count(), 3);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(program.cell(row, 1), "等待");
        EXPECT_EQ(program.cell(row, 2), "");
    }
    for (int id : {36106, 36107, 36108, 36110, 36115, 36116}) {
        EXPECT_TRUE(IsWindowEnabled(program.control(id))) << id;
    }
    EXPECT_TRUE(program.checked(program.control(36106)));
    EXPECT_TRUE(program.checked(program.control(36107)));
    EXPECT_FALSE(program.checked(program.control(36108)));
    EXPECT_EQ(program.text(program.control(36109)), "");
    EXPECT_EQ(program.text(program.control(36111)), "");
    EXPECT_EQ(SendMessageA(program.child(program.child(program.main(), 1), 11), PBM_GETPOS, 0, 0),
              0);

    // The Close button ends it with no job running.
    program.click(program.control(36117));
    ASSERT_TRUE(program.exited(5000));
    EXPECT_EQ(program.exit_code(), 0u);
}

// Where the table puts a control on a screen of `dpi`: every length times
// dpi / 96, halves up.
void expect_place(HWND window, const ExpectedControl& want, int dpi) {
    auto at = [dpi](int length) { return (length * dpi + 48) / 96; };
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, at(want.x)) << dpi << " " << want.className;
    EXPECT_EQ(rect.top, at(want.y)) << dpi << " " << want.className;
    EXPECT_EQ(rect.right - rect.left, at(want.width)) << dpi << " " << want.className;
    EXPECT_EQ(rect.bottom - rect.top, at(want.height)) << dpi << " " << want.className;
}

// Sharp at 150% and 200%: the layout grows with the screen instead of being
// stretched, or squeezed into 96-DPI pixels with a smaller font.
TEST_F(GuiTest, AtHigherDpiTheLayoutIsTheTableScaled) {
    PackageBuilder().add({"连衣裙", "", "", ""}).write(package());
    for (int dpi : {144, 192}) {
        ScreenDpi screen(dpi);
        RunningProgram program(app_folder());
        ASSERT_NE(program.main(), nullptr) << dpi;
        ASSERT_TRUE(load(program)) << dpi;
        const std::vector<HWND> top = program.children(program.main());
        ASSERT_EQ(top.size(), std::size(MAIN_CONTROLS));
        RECT client;
        GetClientRect(program.main(), &client);
        for (size_t i = 0; i < top.size(); ++i) {
            expect_place(top[i], MAIN_CONTROLS[i], dpi);
            if (i < 2) continue;  // the panels are wider than the window, as at 96 DPI
            RECT rect;
            GetWindowRect(top[i], &rect);
            MapWindowPoints(nullptr, program.main(), reinterpret_cast<POINT*>(&rect), 2);
            EXPECT_LE(rect.right, client.right) << dpi << " " << i;
            EXPECT_LE(rect.bottom, client.bottom) << dpi << " " << i;
        }
        const std::vector<HWND> first = program.children(top[0]);
        for (size_t i = 0; i < first.size(); ++i) {
            expect_place(first[i], PANEL1_CONTROLS[i], dpi);
        }
        const std::vector<HWND> second = program.children(top[1]);
        for (size_t i = 0; i < second.size(); ++i) {
            expect_place(second[i], PANEL2_CONTROLS[i], dpi);
        }
        // The list shows as many rows as at 96 DPI.
        EXPECT_EQ(SendMessageA(second[8], LVM_GETCOUNTPERPAGE, 0, 0), 6) << dpi;
        EXPECT_EQ(SendMessageA(second[8], LVM_GETCOLUMNWIDTH, 0, 0), 340 * dpi / 96);
        EXPECT_TRUE(program.screenshot("page2-" + std::to_string(dpi) + "dpi.png"));
    }
}

// The package's own path never goes into the package, so it may hold any
// character; the image folder's does, so it must be one GBK can write.
TEST_F(GuiTest, APackageUnderAHangulFolderLoadsAndAHangulImageFolderIsRefused) {
    // (The wide literals stay outside the macros, which would spell them in GBK.)
    const fs::path korean = fs::path(dir.path()) / L"상품 자료";
    const fs::path koreanPackage = korean / L"목록.csv";
    const fs::path koreanPictures = korean / L"사진";
    fs::create_directories(koreanPictures);
    PackageBuilder().add({"连衣裙", img("http://127.0.0.1:9/a.jpg"), "", ""}).write(package());
    fs::copy_file(package(), koreanPackage);

    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    program.set_text(program.control(36102), koreanPackage.wstring());
    program.click(program.control(36116));
    ASSERT_TRUE(wait_for([&] { return IsWindowVisible(program.child(program.main(), 1)) != 0; }))
        << program.message_box().text;
    ASSERT_EQ(program.row_count(), 1);
    EXPECT_EQ(program.cell(0, 0), "连衣裙");

    program.set_text(program.control(36109), koreanPictures.wstring());
    program.click(program.control(36116));
    expect_warning(program,
                   "图片文件夹的路径里有 GBK 无法表示的字符(例如表情符号)，数据包里无法写入这样的"
                   "路径。请换一个文件夹，或给文件夹改个名字后再试。",
                   program.control(36110));
    EXPECT_EQ(program.cell(0, 1), "等待");
    EXPECT_FALSE(fs::exists(dir.file("app") + "\\bak"));
}

// The tests below run on an English Windows (code page 1252), under the
// gui-tests-1252 entry; the others on a Chinese one.
class EnglishWindows : public GuiTest {
  protected:
    // The program's own text (GBK, as this file's literals are) as UTF-16,
    // converted with code page 936 whatever the system's is.
    static std::wstring from_gbk(const std::string& gbk) {
        std::wstring out(gbk.size(), L'\0');
        const int length = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()),
                                               out.data(), static_cast<int>(out.size()));
        out.resize(static_cast<size_t>(length > 0 ? length : 0));
        return out;
    }
    static std::wstring window_text(HWND window) {
        wchar_t text[512] = L"";
        GetWindowTextW(window, text, 512);
        return text;
    }
};

TEST_F(EnglishWindows, TextsReadAsWrittenAndChineseFoldersWork) {
    ASSERT_EQ(GetACP(), 1252u) << "meant for an English Windows (KELVANE_WINE_LOCALE=en_US.UTF-8)";
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    // A desktop folder of a Chinese seller, which code page 1252 cannot name.
    const std::string folder = dir.path() + "\\桌面";
    const fs::path wideFolder = fs::path(dir.path()) / from_gbk("桌面");
    fs::create_directories(wideFolder / from_gbk("图片"));
    PackageBuilder().add({"连衣裙", img(server.url("/a.jpg")), "", ""}).write(package());
    fs::copy_file(package(), wideFolder / from_gbk("宝贝.csv"));

    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    const std::vector<HWND> top = program.children(program.main());
    ASSERT_EQ(top.size(), std::size(MAIN_CONTROLS));
    for (size_t i = 0; i < top.size(); ++i) {
        EXPECT_TRUE(window_text(top[i]) == from_gbk(MAIN_CONTROLS[i].text)) << i;
    }
    const std::vector<HWND> first = program.children(top[0]);
    ASSERT_EQ(first.size(), std::size(PANEL1_CONTROLS));
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_TRUE(window_text(first[i]) == from_gbk(PANEL1_CONTROLS[i].text)) << i;
    }
    const std::vector<HWND> second = program.children(top[1]);
    for (size_t i = 0; i < second.size(); ++i) {
        if (PANEL2_CONTROLS[i].text == nullptr) continue;
        EXPECT_TRUE(window_text(second[i]) == from_gbk(PANEL2_CONTROLS[i].text)) << i;
    }

    // A message box reads as written.
    program.click(program.control(36116));
    MessageBoxSeen box = program.wait_message_box();
    ASSERT_NE(box.window, nullptr);
    EXPECT_TRUE(box.wideCaption == from_gbk("提示"));
    EXPECT_TRUE(box.wideText == from_gbk("请选择一个淘宝数据包(csv)文件"));
    program.press(box, IDOK);

    // A package in the Chinese folder loads and moves into it.
    program.set_text(program.control(36102), (wideFolder / from_gbk("宝贝.csv")).wstring());
    program.click(program.control(36116));
    ASSERT_TRUE(wait_for([&] { return IsWindowVisible(top[1]) != 0; }))
        << "message: " << program.message_box().caption;
    EXPECT_TRUE(program.wide_text(second[12]) == from_gbk("搬家进度(宝贝数:1)"));
    EXPECT_TRUE(program.screenshot("page2-cp1252.png"));
    program.set_text(program.control(36109), (wideFolder / from_gbk("图片")).wstring());
    program.click(program.control(36116));
    box = program.wait_message_box(60);
    ASSERT_NE(box.window, nullptr);
    EXPECT_TRUE(box.wideText == from_gbk("图片搬家已完成，数据包(宝贝.csv)已更新。"));
    EXPECT_TRUE(box.wideCaption == from_gbk("完成"));
    program.press(box, IDOK);
    const std::string saved = utf16le_to_gbk(read_path(wideFolder / from_gbk("宝贝.csv")));
    EXPECT_NE(saved.find(folder + "\\图片\\"), std::string::npos);
    EXPECT_EQ(saved.find(server.url("/a.jpg")), std::string::npos);
}

TEST_F(GuiTest, TheKeyboardAloneLoadsStartsAndCloses) {
    ImageServer server;
    server.add("/a.jpg", jpeg_body(80));
    PackageBuilder().add({"连衣裙", img(server.url("/a.jpg")), "", ""}).write(package());
    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    HWND choose = program.control(36103);
    HWND next = program.control(36116);
    HWND browse = program.control(36110);
    program.set_text(program.control(36102), package());

    // Page 1 opens on its button; Tab goes on to Next (Back is hidden), Shift+Tab back.
    EXPECT_TRUE(wait_for([&] { return program.focus() == choose; }, 5));
    program.key(VK_TAB);
    EXPECT_TRUE(wait_for([&] { return program.focus() == next; }, 5));
    program.key(VK_TAB, true);
    EXPECT_TRUE(wait_for([&] { return program.focus() == choose; }, 5));
    program.key(VK_TAB);
    ASSERT_TRUE(wait_for([&] { return program.focus() == next; }, 5));
    program.key(VK_RETURN);
    ASSERT_TRUE(wait_for([&] { return IsWindowVisible(program.child(program.main(), 1)) != 0; }));

    // Page 2 opens on the browse button; the list, the failure box and Back
    // stand between it and Start, in reading order.
    EXPECT_TRUE(wait_for([&] { return program.focus() == browse; }, 5));
    program.set_text(program.control(36109), pictures());
    const HWND order[] = {program.child(program.child(program.main(), 1), 8),
                          program.control(36111), program.control(36115), next};
    for (HWND control : order) {
        program.key(VK_TAB);
        EXPECT_TRUE(wait_for([&] { return program.focus() == control; }, 5));
    }
    // Enter anywhere but on a push button presses Start.
    program.key(VK_TAB, true);
    program.key(VK_TAB, true);
    ASSERT_TRUE(wait_for([&] { return program.focus() == program.control(36111); }, 5));
    program.key(VK_RETURN);
    EXPECT_TRUE(program.no_message_box());  // a multi-line box keeps its Enter
    program.key(VK_TAB, true);
    program.key(VK_RETURN);
    const MessageBoxSeen done = program.wait_message_box(60);
    ASSERT_NE(done.window, nullptr);
    EXPECT_EQ(done.text, "图片搬家已完成，数据包(shop.csv)已更新。");
    ASSERT_TRUE(wait_for([&] { return GetForegroundWindow() == done.window; }, 5));
    program.key(VK_RETURN);
    ASSERT_TRUE(wait_for([&] { return program.no_message_box(); }, 5));
    // The focus comes back to a control that works.
    EXPECT_TRUE(wait_for(
        [&] {
            HWND focus = program.focus();
            return focus != nullptr && focus != program.main() && IsWindowEnabled(focus);
        },
        5));
    program.key(VK_ESCAPE);
    ASSERT_TRUE(program.exited(5000));
    EXPECT_EQ(program.exit_code(), 0u);
}

TEST_F(GuiTest, ClosingDuringAJobAsksThenSavesAndEnds) {
    // Eight downloads run at once: enough items that the job is still under
    // way when the window is closed.
    constexpr int ITEMS = 96;
    ImageServer server;
    const std::vector<std::string> urls = write_slow_package(server, ITEMS, 1000);

    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    ASSERT_TRUE(start_job(program));
    // The item under way shows it, the ones after it still wait.
    EXPECT_TRUE(wait_for(
        [&] {
            for (int row = 2; row < ITEMS; ++row) {
                if (program.cell(row, 1) == "搬家中") return true;
            }
            return false;
        },
        5));
    EXPECT_EQ(program.cell(ITEMS - 1, 1), "等待");
    EXPECT_FALSE(IsWindowEnabled(program.control(36115)));
    EXPECT_FALSE(IsWindowEnabled(program.control(36116)));
    EXPECT_TRUE(IsWindowEnabled(program.control(36117)));

    // Esc asks as the Close button does; Cancel leaves the job running.
    program.key(VK_ESCAPE);
    MessageBoxSeen question = program.wait_message_box();
    ASSERT_NE(question.window, nullptr);
    EXPECT_EQ(question.caption, "确认");
    EXPECT_EQ(question.text, "正在搬家，确定要关闭吗？");
    EXPECT_TRUE(question.hasOk && question.hasCancel);
    program.press(question, IDCANCEL);
    EXPECT_FALSE(program.exited(300));
    EXPECT_TRUE(IsWindowEnabled(program.control(36117)));

    // OK: the Close command greys, the job stops at its next check and saves.
    PostMessageA(program.main(), WM_CLOSE, 0, 0);
    question = program.wait_message_box();
    ASSERT_NE(question.window, nullptr);
    EXPECT_EQ(question.text, "正在搬家，确定要关闭吗？");
    program.press(question, IDOK);
    EXPECT_TRUE(
        wait_for([&] { return program.exited() || !IsWindowEnabled(program.control(36117)); }, 5));
    ASSERT_TRUE(program.exited(30000));
    EXPECT_EQ(program.exit_code(), 0u);

    const int moved = moved_in_package(urls);
    EXPECT_GE(moved, 2);      // the rows seen finished were saved
    EXPECT_LT(moved, ITEMS);  // and the job did stop early
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(pictures())) {
        if (entry.is_regular_file()) ++files;
    }
    EXPECT_GE(files, static_cast<size_t>(moved));
}

TEST_F(GuiTest, TheEndOfTheSessionDuringAJobSavesWithoutAsking) {
    constexpr int ITEMS = 96;
    ImageServer server;
    const std::vector<std::string> urls = write_slow_package(server, ITEMS, 400);

    RunningProgram program(app_folder());
    ASSERT_NE(program.main(), nullptr);
    ASSERT_TRUE(start_job(program));

    // Logging off: the session may end, and the job is told to stop.
    DWORD_PTR answer = 0;
    ASSERT_NE(SendMessageTimeoutA(program.main(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                  SMTO_ABORTIFHUNG, 5000, &answer),
              0);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    PostMessageA(program.main(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    // No close question, no message at the end: the process ends once saved.
    bool asked = false;
    EXPECT_TRUE(wait_for(
        [&] {
            asked = asked || !program.no_message_box();
            return program.exited();
        },
        30));
    EXPECT_FALSE(asked);
    EXPECT_EQ(program.exit_code(), 0u);

    const int moved = moved_in_package(urls);
    EXPECT_GE(moved, 2);
    EXPECT_LT(moved, ITEMS);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fputs("usage: kelvane-gui-tests KELVANE.EXE SCREENSHOT-FOLDER\n", stderr);
        return 2;
    }
    kelvaneExe = windows_path(argv[1]);
    screenshotFolder = windows_path(argv[2]);
    CreateDirectoryA(screenshotFolder.c_str(), nullptr);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    CoInitialize(nullptr);
    return RUN_ALL_TESTS();
}
