#include "ui/startup.h"

#include <winsock2.h>
// the other Windows headers after winsock2.h
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "http/connection.h"
#include "platform/platform.h"
#include "res/resource.h"
#include "shell/app_log.h"
#include "shell/files.h"
#include "shell/version.h"
#include "ui/main_window.h"
#include "ui/maker_pages.h"
#include "ui/shell_services.h"
#include "ui/ui_choices.h"
#include "ui/wide_text.h"

namespace {

inline constexpr const char* PRODUCT_NAME = "Kelvane";
// The desktop shortcut carries the short product name.
inline constexpr const char* SHORTCUT_NAME = "Orvessa.lnk";
inline constexpr const char* NO_SHORTCUT_MARKER = "no_shortcut.txt";
// The show command the shortcut starts the program with (SW_SHOW).
inline constexpr int SHORTCUT_SHOW_COMMAND = 5;

// The relabelling hook, kept so that it can remove itself: the callback
// receives no handle of its own.
HHOOK relabelHook = nullptr;

void settle_folder() {
    char folder[PATH_BUFFER_SIZE] = "";
    if (!platform::program_folder(folder, sizeof folder)) {
        wchar_t current[MAX_PATH] = L"";
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
        if (length == 0 || length >= MAX_PATH || !to_gb18030(current, folder, sizeof folder)) {
            folder[0] = '\0';
        }
    }
    settle_program_folder(folder);
}

int show_box(HWND owner, const char* text, const char* caption, UINT type) {
    return MessageBoxW(owner, wide(text).c_str(), wide(caption).c_str(), type);
}

// A program started straight from an archive would write its log and backups
// into the archive tool's temporary folder, which the tool deletes.
void refuse_archive_tool_folder(const char* folder) {
    if (!started_from_archive_tool(folder)) return;
    show_box(nullptr,
             "请先对软件压缩包进行解压缩后再启动软件。\n\n点击[确定]按钮，查看正确的解压缩方式。",
             "提示", MB_OK | MB_ICONERROR);
    open_url(UNZIP_HELP_URL);
    ExitProcess(static_cast<UINT>(-1));
}

void stop_at_start(const char* text) {
    app_log(text);
    show_box(nullptr, text, "错误", MB_OK | MB_ICONERROR);
    ExitProcess(static_cast<UINT>(-1));
}

void start_sockets() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) stop_at_start("WSAStartup() failed!");
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        stop_at_start("Invalid WinSock version!");
    }
}

// The standard box has no "don't ask again" button: its No and Cancel buttons
// are renamed as it comes up, before the user can see them.
LRESULT CALLBACK relabel_shortcut_buttons(int code, WPARAM wParam, LPARAM lParam) {
    const LRESULT next = CallNextHookEx(relabelHook, code, wParam, lParam);
    if (code != HCBT_ACTIVATE) return next;
    HWND box = reinterpret_cast<HWND>(wParam);
    wchar_t className[16] = L"";
    GetClassNameW(box, className, 16);
    // Only the question's own box: another window of the thread activated
    // first keeps its buttons and the hook waits.
    if (std::wcscmp(className, L"#32770") != 0) return next;
    SetDlgItemTextW(box, IDNO, wide("不用再提示").c_str());
    SetDlgItemTextW(box, IDCANCEL, wide("否(&N)").c_str());
    UnhookWindowsHookEx(relabelHook);
    relabelHook = nullptr;
    return next;
}

void create_desktop_shortcut(HWND window, const char* linkPath, const char* folder) {
    wchar_t module[MAX_PATH * 4] = L"";
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
    // A cut path would name another file: an empty target makes the link
    // fail honestly instead.
    char exe[MAX_PATH * 16] = "";
    if (length == 0 || length >= MAX_PATH * 4 || !to_gb18030(module, exe, sizeof exe)) {
        exe[0] = '\0';
    }
    CoInitialize(nullptr);
    const HRESULT result =
        create_shortcut(exe, "", linkPath, "", SHORTCUT_SHOW_COMMAND, folder, exe, 0);
    if (SUCCEEDED(result)) {
        show_box(window, "在桌面上成功创建了一个快捷方式", "提示", MB_OK | MB_ICONINFORMATION);
    } else {
        show_box(window, "在桌面上创建快捷方式失败", "提示", MB_OK | MB_ICONERROR);
    }
    CoUninitialize();
}

// Asked at every start until the shortcut is on the desktop or the user has
// said not to ask again.
void offer_desktop_shortcut(HWND window) {
    const char* folder = settled_program_folder();
    char desktop[PATH_BUFFER_SIZE] = "";
    char link[PATH_BUFFER_SIZE] = "";
    // Without a desktop there is nowhere to put the shortcut, so nothing to offer.
    if (!platform::desktop_folder(desktop, sizeof desktop)) return;
    if (!join_path(link, sizeof link, desktop, SHORTCUT_NAME)) return;
    char marker[PATH_BUFFER_SIZE] = "";
    const bool markerFits = join_path(marker, sizeof marker, folder, NO_SHORTCUT_MARKER);
    if (file_exists(link) || (markerFits && file_exists(marker))) return;

    relabelHook =
        SetWindowsHookExW(WH_CBT, relabel_shortcut_buttons, nullptr, GetCurrentThreadId());
    const int answer = show_box(window, "需要在桌面上创建一个软件打开的快捷方式吗？", "询问",
                                MB_YESNOCANCEL | MB_ICONQUESTION);
    // A box that never activated leaves the hook behind.
    if (relabelHook != nullptr) {
        UnhookWindowsHookEx(relabelHook);
        relabelHook = nullptr;
    }
    if (answer == IDYES) {
        create_desktop_shortcut(window, link, folder);
    } else if (answer == IDNO && markerFits) {
        // A marker that cannot be written only means the question comes again.
        if (FILE* file = platform::open_file(marker, "wb")) std::fclose(file);
    }
}

}  // namespace

int run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Before translation, as for a dialog: a key used here makes no character.
        if (handle_dialog_key(&message)) continue;
        TranslateMessage(&message);
        if (handle_link_message(&message)) continue;
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

int run_window_program(HINSTANCE instance, int showCommand) {
    // From the very first step, so that a failure before the window exists
    // (an app.log that cannot be opened) is shown in a box with no owner
    // instead of ending a program without a console in silence.
    install_window_fatal_handler();
    settle_folder();
    refuse_archive_tool_folder(settled_program_folder());
    app_log_open(settled_program_folder());
    start_sockets();
    connection_tables_init();

    char title[64];
    std::snprintf(title, sizeof title, "%s(V%s)", PRODUCT_NAME, KELVANE_SHORT_VERSION);
    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KELVANE));
    if (!register_main_window_class(instance, icon)) return 0;
    HWND window = create_main_window(instance, title, showCommand);
    if (window == nullptr) return 0;
    offer_desktop_shortcut(window);
    return run_message_loop();
}
