// kelvane.exe started as a seller starts it, from its own folder: the desktop
// shortcut offer, the refusal to run inside an archive tool's temporary
// folder, and the log size check at start.
//   kelvane-startup-tests KELVANE.EXE URL-CATCHER.EXE [gtest flags]
#include <winsock2.h>
// windows.h after winsock2.h, the other Windows headers after both
#include <windows.h>

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "gui_driver.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/maker_pages.h"

namespace fs = std::filesystem;

namespace {

std::string urlCatcherExe;

const int64_t LOG_LIMIT = 2097152;
const char* const QUESTION = "需要在桌面上创建一个软件打开的快捷方式吗？";
const char* const TEST_PAGE_CLASS = "KelvaneTestPage";

std::string desktop_folder() {
    char path[MAX_PATH] = "";
    PIDLIST_ABSOLUTE list = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &list)) && list != nullptr) {
        SHGetPathFromIDListA(list, path);
        CoTaskMemFree(list);
    }
    return path;
}

std::string desktop_link() {
    return desktop_folder() + "\\Orvessa.lnk";
}

std::string window_text(HWND window) {
    char text[256] = "";
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, &length);
    text[sizeof text - 1] = '\0';
    return text;
}

struct LinkRead {
    bool loaded = false;
    std::string target, folder, icon, arguments, description;
    int iconIndex = -1;
};

LinkRead read_link(const std::string& linkPath) {
    LinkRead out;
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link)))) {
        return out;
    }
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        wchar_t wide[MAX_PATH] = L"";
        MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH - 1);
        if (SUCCEEDED(file->Load(wide, STGM_READ))) {
            out.loaded = true;
            char text[MAX_PATH] = "";
            link->GetPath(text, MAX_PATH, nullptr, 0);
            out.target = text;
            text[0] = '\0';
            link->GetWorkingDirectory(text, MAX_PATH);
            out.folder = text;
            text[0] = '\0';
            link->GetIconLocation(text, MAX_PATH, &out.iconIndex);
            out.icon = text;
            text[0] = '\0';
            link->GetArguments(text, MAX_PATH);
            out.arguments = text;
            text[0] = '\0';
            link->GetDescription(text, MAX_PATH);
            out.description = text;
        }
        file->Release();
    }
    link->Release();
    return out;
}

bool same_path(const std::string& a, const std::string& b) {
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

// Ends the program as the user does, with no job running; true once it exited.
bool close_program(RunningProgram& program) {
    PostMessageA(program.main(), WM_CLOSE, 0, 0);
    return program.exited(10000);
}

class StartupTest : public testing::Test {
  protected:
    void SetUp() override {
        // A shortcut left on the desktop by anyone would silence the question.
        remove_desktop_link();
    }
    void TearDown() override { remove_desktop_link(); }
    static void remove_desktop_link() {
        std::error_code ignored;
        fs::remove(desktop_link(), ignored);
    }

    std::string folder(const std::string& name) const {
        const std::string path = dir.file(name);
        fs::create_directories(path);
        return path;
    }

    // Waits for the shortcut question and checks it as the user sees it.
    MessageBoxSeen expect_question(RunningProgram& program) {
        const MessageBoxSeen box = program.wait_message_box();
        EXPECT_NE(box.window, nullptr) << "no shortcut question";
        if (box.window == nullptr) return box;
        EXPECT_EQ(box.caption, "询问");
        EXPECT_EQ(box.text, QUESTION);
        EXPECT_EQ(GetWindow(box.window, GW_OWNER), program.main());
        EXPECT_TRUE(box.hasYes && box.hasNo && box.hasCancel);
        EXPECT_FALSE(box.hasOk);
        EXPECT_EQ(window_text(GetDlgItem(box.window, IDNO)), "不用再提示");
        EXPECT_EQ(window_text(GetDlgItem(box.window, IDCANCEL)), "否(&N)");
        EXPECT_NE(window_text(GetDlgItem(box.window, IDYES)), "");
        return box;
    }

    // No box within the time the question would take to come up.
    static void expect_no_question(RunningProgram& program) {
        EXPECT_FALSE(wait_for([&] { return !program.no_message_box(); }, 2))
            << "unexpected box: " << program.message_box().text;
    }

    TempDir dir;
};

TEST_F(StartupTest, YesWritesADesktopLinkToTheProgram) {
    const std::string app = folder("app");
    RunningProgram program(app);
    ASSERT_NE(program.main(), nullptr);
    const MessageBoxSeen question = expect_question(program);
    ASSERT_NE(question.window, nullptr);
    program.press(question, IDYES);

    const MessageBoxSeen done = program.wait_message_box();
    ASSERT_NE(done.window, nullptr);
    EXPECT_EQ(done.caption, "提示");
    EXPECT_EQ(done.text, "在桌面上成功创建了一个快捷方式");
    EXPECT_EQ(GetWindow(done.window, GW_OWNER), program.main());
    EXPECT_TRUE(done.hasOk);
    program.press(done, IDOK);

    ASSERT_TRUE(fs::exists(desktop_link()));
    const LinkRead link = read_link(desktop_link());
    ASSERT_TRUE(link.loaded);
    const std::string exe = app + "\\kelvane.exe";
    EXPECT_TRUE(same_path(link.target, exe)) << link.target;
    EXPECT_TRUE(same_path(link.folder, app)) << link.folder;
    EXPECT_TRUE(same_path(link.icon, exe)) << link.icon;
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.arguments, "");
    EXPECT_EQ(link.description, "");
    EXPECT_FALSE(fs::exists(app + "\\no_shortcut.txt"));

    // The program goes on with its window.
    EXPECT_FALSE(program.exited());
    EXPECT_TRUE(program.no_message_box());
    ASSERT_TRUE(close_program(program));

    // With the shortcut on the desktop nothing is asked any more.
    RunningProgram again(app);
    ASSERT_NE(again.main(), nullptr);
    expect_no_question(again);
}

TEST_F(StartupTest, ALinkThatCannotBeWrittenIsReportedAndTheProgramGoesOn) {
    const std::string app = folder("app");
    // A folder in the link's place: it is no shortcut, and no file can be
    // saved under its name.
    ASSERT_TRUE(fs::create_directory(desktop_link()));
    RunningProgram program(app);
    ASSERT_NE(program.main(), nullptr);
    const MessageBoxSeen question = expect_question(program);
    ASSERT_NE(question.window, nullptr);
    program.press(question, IDYES);
    const MessageBoxSeen failed = program.wait_message_box();
    fs::remove(desktop_link());
    ASSERT_NE(failed.window, nullptr);
    EXPECT_EQ(failed.caption, "提示");
    EXPECT_EQ(failed.text, "在桌面上创建快捷方式失败");
    EXPECT_EQ(GetWindow(failed.window, GW_OWNER), program.main());
    program.press(failed, IDOK);
    EXPECT_FALSE(program.exited(500));
    EXPECT_TRUE(program.no_message_box());
    EXPECT_FALSE(fs::exists(app + "\\no_shortcut.txt"));
    ASSERT_TRUE(close_program(program));
    EXPECT_EQ(program.exit_code(), 0u);
}

TEST_F(StartupTest, DontAskAgainWritesTheMarkerAndCancelAsksAgain) {
    const std::string app = folder("app");
    const std::string marker = app + "\\no_shortcut.txt";
    {
        RunningProgram program(app);
        ASSERT_NE(program.main(), nullptr);
        const MessageBoxSeen question = expect_question(program);
        ASSERT_NE(question.window, nullptr);
        program.press(question, IDNO);
        ASSERT_TRUE(wait_for([&] { return fs::exists(marker); }, 5));
        EXPECT_EQ(fs::file_size(marker), 0u);
        EXPECT_FALSE(fs::exists(desktop_link()));
        EXPECT_TRUE(program.no_message_box());
        ASSERT_TRUE(close_program(program));
    }
    {
        RunningProgram program(app);
        ASSERT_NE(program.main(), nullptr);
        expect_no_question(program);
        ASSERT_TRUE(close_program(program));
    }
    // Deleting the marker brings the question back; "否(&N)" leaves no trace,
    // so it is asked once more at the next start.
    ASSERT_TRUE(fs::remove(marker));
    {
        RunningProgram program(app);
        ASSERT_NE(program.main(), nullptr);
        const MessageBoxSeen question = expect_question(program);
        ASSERT_NE(question.window, nullptr);
        program.press(question, IDCANCEL);
        EXPECT_TRUE(program.no_message_box());
        ASSERT_TRUE(close_program(program));
        EXPECT_FALSE(fs::exists(marker));
        EXPECT_FALSE(fs::exists(desktop_link()));
    }
    {
        RunningProgram program(app);
        ASSERT_NE(program.main(), nullptr);
        const MessageBoxSeen question = expect_question(program);
        ASSERT_NE(question.window, nullptr);
        program.press(question, IDCANCEL);
    }
}

TEST_F(StartupTest, AnExistingDesktopShortcutMeansNoQuestion) {
    const std::string app = folder("app");
    // Only its presence counts, not what it points to.
    write_file(desktop_link(), "");
    RunningProgram program(app);
    ASSERT_NE(program.main(), nullptr);
    expect_no_question(program);
    EXPECT_FALSE(fs::exists(app + "\\no_shortcut.txt"));
    EXPECT_EQ(fs::file_size(desktop_link()), 0u);
}

// Web pages go to the URL catcher while the test runs: the help page must be
// asked for, but never fetched. The settings it replaces come back afterwards.
class CaughtPages {
  public:
    explicit CaughtPages(const std::string& catchFile) {
        SetEnvironmentVariableA("KELVANE_URL_CATCH", catchFile.c_str());
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ".html", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            char value[256] = "";
            DWORD size = sizeof value - 1;
            DWORD type = 0;
            if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                                 &size) == ERROR_SUCCESS &&
                type == REG_SZ) {
                value[size < sizeof value ? size : sizeof value - 1] = '\0';
                oldClass_ = value;
                hadClass_ = true;
            }
            RegCloseKey(key);
        }
        set_default(".html", TEST_PAGE_CLASS);
        const std::string command = "\"" + urlCatcherExe + "\" \"%1\"";
        set_default(std::string(TEST_PAGE_CLASS) + "\\shell\\open\\command", command);
        // Should the association not be taken, Wine's own browser launcher
        // finds no browser either.
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineBrowser", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            char value[512] = "";
            DWORD size = sizeof value - 1;
            DWORD type = 0;
            if (RegQueryValueExA(key, "Browsers", nullptr, &type, reinterpret_cast<BYTE*>(value),
                                 &size) == ERROR_SUCCESS &&
                type == REG_SZ) {
                value[size < sizeof value ? size : sizeof value - 1] = '\0';
                oldBrowsers_ = value;
                hadBrowsers_ = true;
            }
            const char none[] = "kelvane-no-browser";
            RegSetValueExA(key, "Browsers", 0, REG_SZ, reinterpret_cast<const BYTE*>(none),
                           sizeof none);
            RegCloseKey(key);
        }
    }
    ~CaughtPages() {
        if (hadClass_) {
            set_default(".html", oldClass_);
        } else {
            RegDeleteKeyA(HKEY_CLASSES_ROOT, ".html");
        }
        RegDeleteTreeA(HKEY_CLASSES_ROOT, TEST_PAGE_CLASS);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineBrowser", 0, KEY_ALL_ACCESS,
                          &key) == ERROR_SUCCESS) {
            if (hadBrowsers_) {
                RegSetValueExA(key, "Browsers", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(oldBrowsers_.c_str()),
                               static_cast<DWORD>(oldBrowsers_.size() + 1));
            } else {
                RegDeleteValueA(key, "Browsers");
            }
            RegCloseKey(key);
        }
        SetEnvironmentVariableA("KELVANE_URL_CATCH", nullptr);
    }
    CaughtPages(const CaughtPages&) = delete;
    CaughtPages& operator=(const CaughtPages&) = delete;

  private:
    static void set_default(const std::string& keyName, const std::string& value) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return;
        }
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    }

    std::string oldClass_, oldBrowsers_;
    bool hadClass_ = false, hadBrowsers_ = false;
};

// Outside the test's own temporary folder, whose path may hold "\Temp\"
// already; two separate roots because the file system ignores case.
std::string root_folder(const std::string& name) {
    const std::string path =
        "C:\\kelvane-start-" + std::to_string(GetCurrentProcessId()) + "-" + name;
    fs::create_directories(path);
    return path;
}

class RemovedFolder {
  public:
    explicit RemovedFolder(std::string path) : path_(std::move(path)) {}
    ~RemovedFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    RemovedFolder(const RemovedFolder&) = delete;
    RemovedFolder& operator=(const RemovedFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST_F(StartupTest, AnArchiveToolsTemporaryFolderIsRefused) {
    RemovedFolder root(root_folder("refused"));
    const std::string app = root.path() + "\\Temp\\Rar$EXa1234.5678";
    fs::create_directories(app);
    const std::string caught = dir.file("caught.txt");
    CaughtPages pages(caught);

    RunningProgram program(app, false);
    const MessageBoxSeen box = program.wait_message_box();
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, "提示");
    EXPECT_EQ(box.text,
              "请先对软件压缩包进行解压缩后再启动软件。\n\n点击[确定]按钮，查看正确的解压缩方式。");
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), nullptr);
    EXPECT_TRUE(box.hasOk);
    // Before the box is answered nothing has been written into the folder.
    EXPECT_FALSE(fs::exists(app + "\\app.log"));
    program.press(box, IDOK);

    ASSERT_TRUE(program.exited(10000));
    EXPECT_EQ(program.exit_code(), static_cast<DWORD>(-1));
    EXPECT_EQ(program.main(), nullptr);
    EXPECT_FALSE(fs::exists(app + "\\app.log"));
    ASSERT_TRUE(wait_for([&] { return !read_file(caught).empty(); }, 10))
        << "the unzip help page was not asked for";
    EXPECT_EQ(read_file(caught), std::string(UNZIP_HELP_URL) + "\n");
}

// A folder in app.log's place: the log cannot be opened, and the seller must
// be told so before anything else, with no window behind the box.
TEST_F(StartupTest, ALogThatCannotBeOpenedIsShownAndEndsTheProgram) {
    const std::string app = folder("app");
    fs::create_directory(app + "\\app.log");
    RunningProgram program(app, false);
    const MessageBoxSeen box = program.wait_message_box();
    ASSERT_NE(box.window, nullptr) << "no box; exit code " << program.exit_code();
    EXPECT_EQ(box.caption, "错误");
    EXPECT_EQ(box.text, "无法打开应用日志文件：app.log");
    EXPECT_EQ(GetWindow(box.window, GW_OWNER), nullptr);
    EXPECT_TRUE(box.hasOk);
    program.press(box, IDOK);
    ASSERT_TRUE(program.exited(10000));
    EXPECT_EQ(program.exit_code(), 0u);
    EXPECT_TRUE(fs::is_directory(app + "\\app.log"));
}

TEST_F(StartupTest, TempInCapitalsStartsNormally) {
    RemovedFolder root(root_folder("capitals"));
    const std::string app = root.path() + "\\TEMP\\Rar$EXa1234.5678";
    fs::create_directories(app);
    write_file(app + "\\no_shortcut.txt", "");
    RunningProgram program(app);
    ASSERT_NE(program.main(), nullptr);
    EXPECT_TRUE(program.no_message_box());
    EXPECT_TRUE(fs::exists(app + "\\app.log"));
    ASSERT_TRUE(close_program(program));
    EXPECT_EQ(program.exit_code(), 0u);
}

// Nothing is logged on a plain start, so a job with an image that cannot be
// fetched writes a line: it must follow the old content or stand alone.
TEST_F(StartupTest, ALogOverTheLimitIsReplacedAndOneAtTheLimitAppendedTo) {
    ImageServer server;
    const std::string gone = server.url("/gone.jpg");
    struct Case {
        const char* name;
        int64_t size;
        bool replaced;
    };
    const Case cases[] = {{"over", LOG_LIMIT + 1, true}, {"at", LOG_LIMIT, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string app = folder(c.name);
        const std::string pictures = folder(std::string(c.name) + "-pictures");
        const std::string package = dir.file(std::string(c.name) + ".csv");
        PackageBuilder().add({"连衣裙", "<img src=\"" + gone + "\">", "", ""}).write(package);
        write_file(app + "\\no_shortcut.txt", "");
        const std::string old(static_cast<size_t>(c.size), 'x');
        write_file(app + "\\app.log", old);

        RunningProgram program(app);
        ASSERT_NE(program.main(), nullptr);
        program.set_text(program.control(36102), package);
        program.click(program.control(36116));
        ASSERT_TRUE(wait_for([&] { return IsWindowVisible(program.control(36109)) != 0; }));
        program.set_text(program.control(36109), pictures);
        program.click(program.control(36116));
        const MessageBoxSeen done = program.wait_message_box(60);
        ASSERT_NE(done.window, nullptr);
        program.press(done, IDOK);
        ASSERT_TRUE(close_program(program));

        const std::string log = read_file(app + "\\app.log");
        const std::string line = std::string("搬家失败：") + gone;
        if (c.replaced) {
            EXPECT_EQ(log.find('x'), std::string::npos) << log.size() << " bytes";
            EXPECT_NE(log.find(line), std::string::npos) << log;
            EXPECT_LT(log.size(), 4096u);
        } else {
            ASSERT_GT(log.size(), old.size());
            EXPECT_EQ(log.compare(0, old.size(), old), 0);
            EXPECT_NE(log.find(line, old.size()), std::string::npos) << log.substr(old.size());
        }
    }
}

// The window takes its class icon from 101 and its large icon from 102.
TEST(StartupResources, TheProgramCarriesBothIcons) {
    HMODULE module = LoadLibraryExA(kelvaneExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    for (int id : {101, 102}) {
        EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(id), RT_GROUP_ICON), nullptr) << id;
        HICON icon = static_cast<HICON>(
            LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
        EXPECT_NE(icon, nullptr) << id;
        if (icon != nullptr) DestroyIcon(icon);
    }
    FreeLibrary(module);
}

// Another process cannot ask for a window's icon under Wine (WM_GETICON is
// not carried across processes), so the window is made here, from the same
// resources as kelvane.exe. Last: the window stays for the process.
TEST(StartupInProcess, TheWindowsLargeIconIsIcon102) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HICON classIcon = LoadIconA(instance, MAKEINTRESOURCEA(101));
    HICON large = LoadIconA(instance, MAKEINTRESOURCEA(102));
    ASSERT_NE(classIcon, nullptr);
    ASSERT_NE(large, nullptr);
    ASSERT_NE(classIcon, large);
    ASSERT_TRUE(register_main_window_class(instance, classIcon));
    HWND window = create_main_window(instance, "Kelvane(V8.2)", SW_HIDE);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(large));
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fputs("usage: kelvane-startup-tests KELVANE.EXE URL-CATCHER.EXE\n", stderr);
        return 2;
    }
    kelvaneExe = windows_path(argv[1]);
    urlCatcherExe = windows_path(argv[2]);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    CoInitialize(nullptr);
    return RUN_ALL_TESTS();
}
