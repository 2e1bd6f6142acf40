#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>

#include "res/resource.h"
#include "shell/fatal.h"
#include "ui/item_list.h"
#include "ui/job_view.h"
#include "ui/ui_choices.h"
#include "ui/wizard.h"

MainWindow mainWindow{};

namespace {

enum Parent { MAIN, PANEL1, PANEL2 };

struct ControlSpec {
    const char* className;
    const char* text;
    DWORD style;  // beyond WS_CHILD | WS_VISIBLE
    DWORD exStyle;
    int x, y, width, height;
    Parent parent;
    int id;
    HWND MainWindow::*slot;  // null for the controls nobody needs again
};

// In creation order; the page panels come before their controls.
const ControlSpec CONTROLS[] = {
    {"static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, MAIN, ID_PANEL, &MainWindow::panel1},
    {"static", "第一步：选择淘宝助理导出的数据包(CSV)文件", SS_NOTIFY, 0, 21, 13, 500, 32, PANEL1,
     0, &MainWindow::title1},
    {"static", "选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", SS_NOTIFY, 0, 21,
     43, 500, 28, PANEL1, 0, nullptr},
    {"edit", "", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 20, 161, 442, 22, PANEL1,
     ID_PATH_BOX, &MainWindow::pathBox},
    {"button", "选择CSV文件...", BS_PUSHBUTTON, 0, 471, 160, 100, 24, PANEL1, ID_CHOOSE_PACKAGE,
     &MainWindow::choosePackage},
    {"edit", "", ES_READONLY | ES_AUTOVSCROLL | ES_MULTILINE, 0, 20, 211, 635, 263, PANEL1,
     ID_NOTICE_BOX, &MainWindow::noticeBox},
    {"static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, MAIN, ID_PANEL, &MainWindow::panel2},
    {"static", "第二步：设置图片搬家选项，准备进行搬家", SS_NOTIFY, 0, 21, 13, 500, 32, PANEL2, 0,
     &MainWindow::title2},
    {"static", "如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。",
     SS_NOTIFY, 0, 21, 43, 500, 28, PANEL2, 0, nullptr},
    {"button", "搬来自淘宝图片空间里的图片", BS_AUTOCHECKBOX, 0, 17, 90, 182, 21, PANEL2,
     ID_OPTION_IMAGE_SPACE, &MainWindow::optionImageSpace},
    {"button", "搬来自第三方相册里的图片", BS_AUTOCHECKBOX, 0, 216, 90, 172, 21, PANEL2,
     ID_OPTION_THIRD_PARTY, &MainWindow::optionThirdParty},
    {"button", "将搬家失败的图片替换为空白图片", BS_AUTOCHECKBOX, 0, 403, 90, 211, 21, PANEL2,
     ID_OPTION_BLANK, &MainWindow::optionBlank},
    {"static", "图片搬家到：", SS_NOTIFY, 0, 16, 129, 78, 20, PANEL2, 0, nullptr},
    {"edit", "", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 93, 125, 475, 22, PANEL2,
     ID_FOLDER_BOX, &MainWindow::folderBox},
    {"button", "选择...", BS_PUSHBUTTON, 0, 575, 124, 82, 24, PANEL2, ID_BROWSE,
     &MainWindow::browse},
    {WC_LISTVIEWA, nullptr, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, WS_EX_CLIENTEDGE, 16,
     167, 640, 144, PANEL2, 0, &MainWindow::itemList},
    {"static", "搬家失败的图片地址：", SS_NOTIFY, 0, 17, 320, 223, 22, PANEL2, 0, nullptr},
    {"edit", "", WS_VSCROLL | ES_READONLY | ES_MULTILINE, WS_EX_CLIENTEDGE, 17, 339, 640, 89,
     PANEL2, ID_FAILURE_BOX, &MainWindow::failureBox},
    {PROGRESS_CLASSA, "", 0, 0, 17, 435, 640, 21, PANEL2, 0, &MainWindow::progressBar},
    {"static", "搬家进度(宝贝数:0)", SS_NOTIFY, 0, 17, 462, 640, 20, PANEL2, 0,
     &MainWindow::progressLabel},
    {"button", "上一步", BS_PUSHBUTTON, 0, 387, 499, 86, 25, MAIN, ID_BACK, &MainWindow::back},
    {"button", "下一步", BS_PUSHBUTTON, 0, 482, 499, 86, 25, MAIN, ID_NEXT, &MainWindow::next},
    {"button", "关闭", BS_PUSHBUTTON, 0, 577, 499, 86, 25, MAIN, ID_CLOSE, &MainWindow::close},
    {"static", "搬家教程与常见问题", SS_NOTIFY, 0, 13, 504, 128, 17, MAIN, ID_TUTORIAL_LINK,
     &MainWindow::tutorialLink},
    {"static", "官方网站", SS_NOTIFY, 0, 157, 504, 60, 17, MAIN, ID_HOME_LINK,
     &MainWindow::homeLink},
};

LOGFONTA stock_font() {
    LOGFONTA font{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    return font;
}

void set_face(LOGFONTA* font) {
    // The face name field is 32 bytes; the GBK name is far shorter.
    std::strncpy(font->lfFaceName, "宋体", LF_FACESIZE - 1);
    font->lfFaceName[LF_FACESIZE - 1] = '\0';
}

HFONT default_font() {
    if (mainWindow.defaultFont != nullptr) return mainWindow.defaultFont;
    LOGFONTA font = stock_font();
    set_face(&font);
    font.lfWeight = 400;
    HWND desktop = GetDesktopWindow();
    HDC screen = GetDC(desktop);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(desktop, screen);
    font.lfHeight = scaled_font_height(font.lfHeight, dpi);
    mainWindow.defaultFont = CreateFontIndirectA(&font);
    return mainWindow.defaultFont;
}

HFONT title_font() {
    LOGFONTA font = stock_font();
    set_face(&font);
    font.lfHeight = 20;
    font.lfWeight = 700;
    font.lfUnderline = TRUE;
    font.lfItalic = FALSE;
    return CreateFontIndirectA(&font);
}

HFONT link_font() {
    LOGFONTA font = stock_font();
    set_face(&font);
    font.lfHeight = 14;
    font.lfWeight = 0;
    font.lfUnderline = FALSE;
    font.lfItalic = FALSE;
    return CreateFontIndirectA(&font);
}

BOOL CALLBACK give_default_font(HWND child, LPARAM) {
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(default_font()), TRUE);
    return TRUE;
}

void create_children(HWND window) {
    for (const ControlSpec& spec : CONTROLS) {
        HWND parent = spec.parent == MAIN     ? window
                      : spec.parent == PANEL1 ? mainWindow.panel1
                                              : mainWindow.panel2;
        HWND control = CreateWindowExA(
            spec.exStyle, spec.className, spec.text, WS_CHILD | WS_VISIBLE | spec.style, spec.x,
            spec.y, spec.width, spec.height, parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), mainWindow.instance, nullptr);
        if (spec.slot != nullptr) mainWindow.*spec.slot = control;
        if (spec.slot == &MainWindow::itemList) item_list_setup(control);
    }
    EnumChildWindows(window, give_default_font, 0);
    // The panels take the window's procedure so that their controls' commands,
    // notifications and colour requests reach it, and they paint the back buffer.
    SetWindowLongPtrA(mainWindow.panel1, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(main_window_proc));
    SetWindowLongPtrA(mainWindow.panel2, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(main_window_proc));
    SendMessageA(mainWindow.title1, WM_SETFONT, reinterpret_cast<WPARAM>(title_font()), TRUE);
    SendMessageA(mainWindow.title2, WM_SETFONT, reinterpret_cast<WPARAM>(title_font()), TRUE);
    SendMessageA(mainWindow.tutorialLink, WM_SETFONT, reinterpret_cast<WPARAM>(link_font()), TRUE);
    SendMessageA(mainWindow.homeLink, WM_SETFONT, reinterpret_cast<WPARAM>(link_font()), TRUE);

    ShowWindow(mainWindow.panel2, SW_HIDE);
    SendMessageA(mainWindow.optionImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(mainWindow.optionThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(mainWindow.back, SW_HIDE);
}

void draw_line(HDC dc, int colourIndex, int x1, int y1, int x2, int y2) {
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(colourIndex));
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x1, y1, nullptr);
    LineTo(dc, x2, y2);
    SelectObject(dc, old);
    DeleteObject(pen);
}

void draw_background(HDC dc, int width, int height) {
    HGDIOBJ oldBrush = SelectObject(dc, GetSysColorBrush(COLOR_BTNFACE));
    Rectangle(dc, -10, -10, width + 20, height + 20);

    HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HGDIOBJ oldPen = SelectObject(dc, shadow);
    SelectObject(dc, GetSysColorBrush(COLOR_WINDOW));
    Rectangle(dc, -1, -1, 680, 72);  // the white header band under the page titles
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(shadow);

    draw_line(dc, COLOR_BTNSHADOW, 0, 484, 680, 484);
    draw_line(dc, COLOR_3DDKSHADOW, 0, 485, 680, 485);
    draw_line(dc, COLOR_BTNSHADOW, 147, 505, 147, 516);  // between the two links
}

void paint(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (mainWindow.backBuffer == nullptr) {
        // Drawn once: the window never changes size. Always the size of the
        // window's client area, also when a panel happens to paint first (a
        // window shown without activation), so the area below the panels is
        // never copied from outside the buffer.
        RECT whole;
        GetClientRect(mainWindow.main, &whole);
        HDC buffer = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, whole.right, whole.bottom);
        SelectObject(buffer, bitmap);
        draw_background(buffer, whole.right, whole.bottom);
        mainWindow.backBuffer = buffer;
    }
    BitBlt(dc, 0, 0, width, height, mainWindow.backBuffer, 0, 0, SRCCOPY);
    EndPaint(window, &ps);
}

LRESULT control_colour(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    if (control == mainWindow.tutorialLink || control == mainWindow.homeLink) {
        SetTextColor(dc, 0x00FF0000);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    }
    if (control == mainWindow.pathBox || control == mainWindow.folderBox ||
        control == mainWindow.failureBox) {
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    if (control == mainWindow.optionImageSpace || control == mainWindow.optionThirdParty ||
        control == mainWindow.optionBlank || control == mainWindow.progressLabel ||
        control == mainWindow.noticeBox) {
        SetBkMode(dc, OPAQUE);
        return DefWindowProcA(window, message, wParam, lParam);
    }
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

void show_fatal(const char* message) {
    MessageBoxA(mainWindow.main, message, "错误", MB_OK | MB_ICONERROR);
    ExitProcess(0);
}

}  // namespace

int window_message(const char* text, const char* caption, UINT type) {
    return MessageBoxA(mainWindow.main, text, caption, type);
}

void install_window_fatal_handler() {
    set_fatal_handler(show_fatal);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            if (mainWindow.main == nullptr) {
                mainWindow.main = window;
                create_children(window);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_ACTIVE) SendMessageA(window, WM_PAINT, 0, 0);
            // The default handling still gives the window the keyboard focus.
            return DefWindowProcA(window, message, wParam, lParam);
        case WM_PAINT:
            paint(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_CTLCOLORSTATIC:
            return control_colour(window, message, wParam, lParam);
        case WM_COMMAND:
            if (lParam != 0) wizard_command(LOWORD(wParam));
            return 0;
        case WM_CLOSE:
            wizard_close();
            return 0;
        case WM_QUERYENDSESSION:
            return wizard_query_end_session();
        case WM_ENDSESSION:
            if (wParam != 0) wizard_end_session();
            return 0;
        case WM_DROPFILES:
            wizard_drop_files(reinterpret_cast<HDROP>(wParam));
            return 0;
        case WM_NOTIFY:
            return item_list_notify(reinterpret_cast<const NMHDR*>(lParam));
        case WM_JOB_VIEW_CALL:
            return run_job_view_call(lParam);
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool register_main_window_class(HINSTANCE instance, HICON icon) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = main_window_proc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExA(&windowClass) != 0;
}

HWND create_main_window(HINSTANCE instance, const char* title, int showCommand) {
    mainWindow.instance = instance;
    mainWindow.page = 1;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window =
        CreateWindowExA(WS_EX_APPWINDOW | WS_EX_ACCEPTFILES, MAIN_WINDOW_CLASS, title,
                        WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                        MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    SetWindowPos(window, nullptr, 0, 0, MAIN_WINDOW_WIDTH,
                 corrected_window_height(MAIN_WINDOW_HEIGHT, GetSystemMetrics(SM_CYCAPTION)),
                 SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(window, &client);
    int x = 0;
    int y = 0;
    centred_position(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYMAXIMIZED),
                     client.right - client.left, client.bottom - client.top, &x, &y);
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE);
    ShowWindow(window, showCommand);
    HICON large = LoadIconA(instance, MAKEINTRESOURCEA(IDI_KELVANE_SMALL));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
    return window;
}

bool handle_link_message(const MSG* message) {
    const bool onLink = message->hwnd != nullptr && (message->hwnd == mainWindow.tutorialLink ||
                                                     message->hwnd == mainWindow.homeLink);
    if (message->message == WM_MOUSEMOVE) {
        if (mainWindow.tutorialLink != nullptr) {
            HCURSOR cursor =
                LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(onLink ? IDC_HAND : IDC_ARROW));
            // The class cursor of every static: the links are statics.
            SetClassLongPtrA(mainWindow.tutorialLink, GCLP_HCURSOR,
                             reinterpret_cast<LONG_PTR>(cursor));
        }
        return false;
    }
    if (message->message == WM_LBUTTONDOWN && onLink) {
        wizard_open_link(message->hwnd);
        return true;
    }
    return false;
}
