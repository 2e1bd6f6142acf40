#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "res/resource.h"
#include "shell/fatal.h"
#include "ui/item_list.h"
#include "ui/job_view.h"
#include "ui/ui_choices.h"
#include "ui/wide_text.h"
#include "ui/wizard.h"

MainWindow mainWindow{};

namespace {

enum Parent { MAIN, PANEL1, PANEL2 };

struct ControlSpec {
    const wchar_t* className;
    const char* text;  // nullptr for none
    DWORD style;       // beyond WS_CHILD | WS_VISIBLE
    DWORD exStyle;
    int x, y, width, height;
    Parent parent;
    int id;
    HWND MainWindow::*slot;  // null for the controls nobody needs again
};

// In creation order; the page panels come before their controls. Tab walks
// the controls with WS_TABSTOP in this order, into the panel that shows
// (WS_EX_CONTROLPARENT), so the creation order is the reading order.
const ControlSpec CONTROLS[] = {
    {L"static", "panel", SS_BITMAP, WS_EX_CONTROLPARENT, 0, 0, 680, 483, MAIN, ID_PANEL,
     &MainWindow::panel1},
    {L"static", "第一步：选择淘宝助理导出的数据包(CSV)文件", SS_NOTIFY, 0, 21, 13, 500, 32, PANEL1,
     0, &MainWindow::title1},
    {L"static", "选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", SS_NOTIFY, 0, 21,
     43, 500, 28, PANEL1, 0, nullptr},
    {L"edit", "", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 20, 161, 442, 22,
     PANEL1, ID_PATH_BOX, &MainWindow::pathBox},
    {L"button", "选择CSV文件...", WS_TABSTOP | BS_PUSHBUTTON, 0, 471, 160, 100, 24, PANEL1,
     ID_CHOOSE_PACKAGE, &MainWindow::choosePackage},
    {L"edit", "", ES_READONLY | ES_AUTOVSCROLL | ES_MULTILINE, 0, 20, 211, 635, 263, PANEL1,
     ID_NOTICE_BOX, &MainWindow::noticeBox},
    {L"static", "panel", SS_BITMAP, WS_EX_CONTROLPARENT, 0, 0, 680, 483, MAIN, ID_PANEL,
     &MainWindow::panel2},
    {L"static", "第二步：设置图片搬家选项，准备进行搬家", SS_NOTIFY, 0, 21, 13, 500, 32, PANEL2, 0,
     &MainWindow::title2},
    {L"static", "如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。",
     SS_NOTIFY, 0, 21, 43, 500, 28, PANEL2, 0, nullptr},
    {L"button", "搬来自淘宝图片空间里的图片", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 17, 90, 182, 21,
     PANEL2, ID_OPTION_IMAGE_SPACE, &MainWindow::optionImageSpace},
    {L"button", "搬来自第三方相册里的图片", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 216, 90, 172, 21,
     PANEL2, ID_OPTION_THIRD_PARTY, &MainWindow::optionThirdParty},
    {L"button", "将搬家失败的图片替换为空白图片", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 403, 90, 211, 21,
     PANEL2, ID_OPTION_BLANK, &MainWindow::optionBlank},
    {L"static", "图片搬家到：", SS_NOTIFY, 0, 16, 129, 78, 20, PANEL2, 0, nullptr},
    {L"edit", "", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 93, 125, 475, 22,
     PANEL2, ID_FOLDER_BOX, &MainWindow::folderBox},
    {L"button", "选择...", WS_TABSTOP | BS_PUSHBUTTON, 0, 575, 124, 82, 24, PANEL2, ID_BROWSE,
     &MainWindow::browse},
    {WC_LISTVIEWW, nullptr, WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
     WS_EX_CLIENTEDGE, 16, 167, 640, 144, PANEL2, 0, &MainWindow::itemList},
    {L"static", "搬家失败的图片地址：", SS_NOTIFY, 0, 17, 320, 223, 22, PANEL2, 0, nullptr},
    {L"edit", "", WS_TABSTOP | WS_VSCROLL | ES_READONLY | ES_MULTILINE, WS_EX_CLIENTEDGE, 17, 339,
     640, 89, PANEL2, ID_FAILURE_BOX, &MainWindow::failureBox},
    {PROGRESS_CLASSW, "", 0, 0, 17, 435, 640, 21, PANEL2, 0, &MainWindow::progressBar},
    {L"static", "搬家进度(宝贝数:0)", SS_NOTIFY, 0, 17, 462, 640, 20, PANEL2, 0,
     &MainWindow::progressLabel},
    {L"button", "上一步", WS_TABSTOP | BS_PUSHBUTTON, 0, 387, 499, 86, 25, MAIN, ID_BACK,
     &MainWindow::back},
    {L"button", "下一步", WS_TABSTOP | BS_PUSHBUTTON, 0, 482, 499, 86, 25, MAIN, ID_NEXT,
     &MainWindow::next},
    {L"button", "关闭", WS_TABSTOP | BS_PUSHBUTTON, 0, 577, 499, 86, 25, MAIN, ID_CLOSE,
     &MainWindow::close},
    {L"static", "搬家教程与常见问题", SS_NOTIFY, 0, 13, 504, 128, 17, MAIN, ID_TUTORIAL_LINK,
     &MainWindow::tutorialLink},
    {L"static", "官方网站", SS_NOTIFY, 0, 157, 504, 60, 17, MAIN, ID_HOME_LINK,
     &MainWindow::homeLink},
};

// The controls in the order of CONTROLS, as created.
HWND created[std::size(CONTROLS)];

// Functions of newer Windows (10, 1607 on), looked up so that the program
// still starts on older ones, which scale a window by the system's DPI.
template <typename Function>
Function user32_function(const char* name) {
    // Through the generic function type, which every function type converts to.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int system_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The DPI of the screen the window is on.
int dpi_of(HWND window) {
    using GetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto get = user32_function<GetDpiForWindow>("GetDpiForWindow");
    const UINT dpi = get != nullptr ? get(window) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : system_dpi();
}

int metric_for_dpi(int index, int dpi) {
    using GetSystemMetricsForDpi = int(WINAPI*)(int, UINT);
    static const auto get = user32_function<GetSystemMetricsForDpi>("GetSystemMetricsForDpi");
    return get != nullptr ? get(index, static_cast<UINT>(dpi)) : GetSystemMetrics(index);
}

SIZE frame_for_dpi(HWND window, int dpi) {
    using AdjustWindowRectExForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    static const auto adjust =
        user32_function<AdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
    RECT frame{};
    if (adjust != nullptr) {
        adjust(&frame, style, FALSE, exStyle, static_cast<UINT>(dpi));
    } else {
        AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    }
    return {frame.right - frame.left, frame.bottom - frame.top};
}

int scaled(int length) {
    return scale_for_dpi(length, mainWindow.dpi);
}

// The outer size: the client area the window has at 96 DPI with a caption of
// 19 pixels (680 x 560 outside), scaled, in the frame of the window's DPI.
SIZE window_size(HWND window) {
    const SIZE frame96 = frame_for_dpi(window, 96);
    const int caption96 = metric_for_dpi(SM_CYCAPTION, 96);
    const int clientWidth = MAIN_WINDOW_WIDTH - frame96.cx;
    const int clientHeight = corrected_window_height(MAIN_WINDOW_HEIGHT, caption96) - frame96.cy;
    const SIZE frame = frame_for_dpi(window, mainWindow.dpi);
    return {scaled(clientWidth) + frame.cx, scaled(clientHeight) + frame.cy};
}

LOGFONTW stock_font() {
    LOGFONTW font{};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    return font;
}

// The face name as Unicode: an ANSI face name would be read in the system's
// code page, and on a non-Chinese Windows name no font at all.
HFONT make_font(LONG height, LONG weight, bool underline, bool italic) {
    LOGFONTW font = stock_font();
    const std::wstring face = wide("宋体");
    face.copy(font.lfFaceName, LF_FACESIZE - 1);
    font.lfFaceName[face.size() < LF_FACESIZE ? face.size() : LF_FACESIZE - 1] = L'\0';
    font.lfHeight = height;
    font.lfWeight = weight;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfItalic = italic ? TRUE : FALSE;
    return CreateFontIndirectW(&font);
}

BOOL CALLBACK give_default_font(HWND child, LPARAM) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(mainWindow.defaultFont), TRUE);
    return TRUE;
}

// The fonts for the window's DPI: the shared default font from the stock
// font's height (made for the system's DPI), the titles' 20 and the links'
// 14 pixels scaled. Once per DPI; the fonts of an earlier DPI are deleted
// once no control uses them.
void make_fonts() {
    const LOGFONTW stock = stock_font();
    const HFONT old[] = {mainWindow.defaultFont, mainWindow.titleFont, mainWindow.linkFont};
    mainWindow.defaultFont =
        make_font(dpi_font_height(stock.lfHeight, system_dpi(), mainWindow.dpi), 400,
                  stock.lfUnderline != 0, stock.lfItalic != 0);
    mainWindow.titleFont = make_font(scaled(20), 700, true, false);
    mainWindow.linkFont = make_font(scaled(14), 0, false, false);
    EnumChildWindows(mainWindow.main, give_default_font, 0);
    for (HWND title : {mainWindow.title1, mainWindow.title2})
        SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(mainWindow.titleFont), TRUE);
    for (HWND link : {mainWindow.tutorialLink, mainWindow.homeLink})
        SendMessageW(link, WM_SETFONT, reinterpret_cast<WPARAM>(mainWindow.linkFont), TRUE);
    for (HFONT font : old) {
        if (font != nullptr) DeleteObject(font);
    }
}

// Icons for the window's DPI, so that none is stretched up. At the system's
// DPI the shared icons serve, loaded at the system's sizes: icon 102 as the
// large icon and the class's icon 101 as the small one, which the system
// draws down to its size. On a screen of another DPI both are loaded at that
// screen's sizes.
void set_icons() {
    const HICON old[] = {mainWindow.largeIcon, mainWindow.smallIcon};
    HICON large = nullptr;
    mainWindow.largeIcon = nullptr;
    mainWindow.smallIcon = nullptr;
    if (mainWindow.dpi == system_dpi()) {
        large = LoadIconW(mainWindow.instance, MAKEINTRESOURCEW(IDI_KELVANE_SMALL));
    } else {
        const int big = metric_for_dpi(SM_CXICON, mainWindow.dpi);
        const int small = metric_for_dpi(SM_CXSMICON, mainWindow.dpi);
        mainWindow.largeIcon = static_cast<HICON>(LoadImageW(
            mainWindow.instance, MAKEINTRESOURCEW(IDI_KELVANE_SMALL), IMAGE_ICON, big, big, 0));
        mainWindow.smallIcon = static_cast<HICON>(LoadImageW(
            mainWindow.instance, MAKEINTRESOURCEW(IDI_KELVANE), IMAGE_ICON, small, small, 0));
        large = mainWindow.largeIcon;
    }
    SendMessageW(mainWindow.main, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
    SendMessageW(mainWindow.main, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(mainWindow.smallIcon));
    for (HICON icon : old) {
        if (icon != nullptr) DestroyIcon(icon);
    }
}

// Every control at its place in the table, scaled for the window's DPI.
void place_controls() {
    for (size_t i = 0; i < std::size(CONTROLS); ++i) {
        const ControlSpec& spec = CONTROLS[i];
        SetWindowPos(created[i], nullptr, scaled(spec.x), scaled(spec.y), scaled(spec.width),
                     scaled(spec.height), SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void create_children(HWND window) {
    for (size_t i = 0; i < std::size(CONTROLS); ++i) {
        const ControlSpec& spec = CONTROLS[i];
        HWND parent = spec.parent == MAIN     ? window
                      : spec.parent == PANEL1 ? mainWindow.panel1
                                              : mainWindow.panel2;
        const std::wstring text = spec.text != nullptr ? wide(spec.text) : std::wstring();
        HWND control = CreateWindowExW(
            spec.exStyle, spec.className, spec.text != nullptr ? text.c_str() : nullptr,
            WS_CHILD | WS_VISIBLE | spec.style, scaled(spec.x), scaled(spec.y), scaled(spec.width),
            scaled(spec.height), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
            mainWindow.instance, nullptr);
        created[i] = control;
        if (spec.slot != nullptr) mainWindow.*spec.slot = control;
        if (spec.slot == &MainWindow::itemList) item_list_setup(control);
    }
    // The panels take the window's procedure so that their controls' commands,
    // notifications and colour requests reach it, and they paint the back buffer.
    SetWindowLongPtrW(mainWindow.panel1, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(main_window_proc));
    SetWindowLongPtrW(mainWindow.panel2, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(main_window_proc));
    make_fonts();

    ShowWindow(mainWindow.panel2, SW_HIDE);
    SendMessageW(mainWindow.optionImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(mainWindow.optionThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(mainWindow.back, SW_HIDE);
}

void fill(HDC dc, int colourIndex, int left, int top, int right, int bottom) {
    const RECT area{left, top, right, bottom};
    FillRect(dc, &area, GetSysColorBrush(colourIndex));
}

// Lines one pixel wide at 96 DPI, thicker as the screen's pixels get smaller.
void draw_background(HDC dc, int width, int height) {
    const int line = scaled(1);
    const int right = scaled(680);
    fill(dc, COLOR_BTNFACE, 0, 0, width, height);
    // The white header band under the page titles, a shadow line along its bottom.
    fill(dc, COLOR_WINDOW, 0, 0, right, scaled(71));
    fill(dc, COLOR_BTNSHADOW, 0, scaled(71), right, scaled(71) + line);
    // Above the buttons.
    fill(dc, COLOR_BTNSHADOW, 0, scaled(484), right, scaled(484) + line);
    fill(dc, COLOR_3DDKSHADOW, 0, scaled(484) + line, right, scaled(484) + 2 * line);
    // Between the two links.
    fill(dc, COLOR_BTNSHADOW, scaled(147), scaled(505), scaled(147) + line, scaled(516));
}

void forget_back_buffer() {
    if (mainWindow.backBuffer == nullptr) return;
    HGDIOBJ bitmap = GetCurrentObject(mainWindow.backBuffer, OBJ_BITMAP);
    DeleteDC(mainWindow.backBuffer);
    DeleteObject(bitmap);
    mainWindow.backBuffer = nullptr;
}

// The window moved to a screen of another DPI: everything is laid out again
// for it, at the size and place Windows suggests for the move.
void change_dpi(HWND window, int dpi, const RECT* suggested) {
    mainWindow.dpi = dpi;
    place_controls();
    make_fonts();
    item_list_fit_dpi();
    set_icons();
    forget_back_buffer();
    const SIZE outer = window_size(window);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void paint(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (mainWindow.backBuffer == nullptr) {
        // Drawn once, and again only for a screen of another DPI: the window
        // changes size with nothing else. Always the size of the window's
        // client area, also when a panel happens to paint first (a window
        // shown without activation), so the area below the panels is never
        // copied from outside the buffer.
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
        return DefWindowProcW(window, message, wParam, lParam);
    }
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

bool usable(HWND control) {
    return control != nullptr && IsWindow(control) && IsChild(mainWindow.main, control) &&
           IsWindowVisible(control) && IsWindowEnabled(control);
}

// Back to the control that had the focus before another window (a message
// box, a dialog, another program) took it; the default handling would leave
// it on the window itself, where no key does anything.
void restore_focus() {
    if (usable(mainWindow.lastFocus)) {
        SetFocus(mainWindow.lastFocus);
    } else {
        focus_page();
    }
}

// Focus rectangles stay hidden until the keyboard is used, as in a dialog:
// a user of the mouse sees the window as it always looked.
void show_focus_cues() {
    SendMessageW(mainWindow.main, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

void move_focus(bool backwards) {
    HWND focus = GetFocus();
    HWND from = focus != nullptr && IsChild(mainWindow.main, focus) ? focus : nullptr;
    HWND to = GetNextDlgTabItem(mainWindow.main, from, backwards ? TRUE : FALSE);
    if (to == nullptr) return;
    // An edit box entered by Tab has its text selected, ready to be copied.
    if (SendMessageW(to, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(to, EM_SETSEL, 0, -1);
    SetFocus(to);
}

void press(HWND button) {
    if (!IsWindowVisible(button) || !IsWindowEnabled(button)) return;
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

bool is_push_button(HWND control) {
    return control != nullptr && (SendMessageW(control, WM_GETDLGCODE, 0, 0) &
                                  (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON));
}

void show_fatal(const char* message) {
    MessageBoxW(mainWindow.main, wide(message).c_str(), wide("错误").c_str(), MB_OK | MB_ICONERROR);
    ExitProcess(0);
}

}  // namespace

int window_message(const char* text, const char* caption, UINT type) {
    return MessageBoxW(mainWindow.main, wide(text).c_str(), wide(caption).c_str(), type);
}

void focus_page() {
    HWND first = mainWindow.page == 1                 ? mainWindow.choosePackage
                 : IsWindowEnabled(mainWindow.browse) ? mainWindow.browse
                                                      : mainWindow.itemList;
    SetFocus(first);
}

bool handle_dialog_key(const MSG* message) {
    HWND main = mainWindow.main;
    if (main == nullptr || message->message != WM_KEYDOWN ||
        (message->hwnd != main && !IsChild(main, message->hwnd))) {
        return false;
    }
    switch (message->wParam) {
        case VK_TAB:
            show_focus_cues();
            move_focus((GetKeyState(VK_SHIFT) & 0x8000) != 0);
            return true;
        case VK_RETURN:
            // A multi-line box keeps its Enter, as in a dialog.
            if (SendMessageW(message->hwnd, WM_GETDLGCODE, 0, 0) & DLGC_WANTALLKEYS) return false;
            press(is_push_button(message->hwnd) ? message->hwnd : mainWindow.next);
            return true;
        case VK_ESCAPE:
            SendMessageW(main, WM_CLOSE, 0, 0);
            return true;
        default:
            return false;
    }
}

void install_window_fatal_handler() {
    set_fatal_handler(show_fatal);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            if (mainWindow.main == nullptr) {
                mainWindow.main = window;
                mainWindow.dpi = dpi_of(window);
                create_children(window);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(window, focus)) mainWindow.lastFocus = focus;
                return DefWindowProcW(window, message, wParam, lParam);
            }
            if (LOWORD(wParam) == WA_ACTIVE) SendMessageW(window, WM_PAINT, 0, 0);
            if (HIWORD(wParam) != 0) return DefWindowProcW(window, message, wParam, lParam);
            restore_focus();
            return 0;
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
        case WM_DPICHANGED:
            if (window == mainWindow.main) {
                change_dpi(window, LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_TIMER:
            if (wParam == JOB_VIEW_TIMER) show_job_progress();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool register_main_window_class(HINSTANCE instance, HICON icon) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = main_window_proc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExW(&windowClass) != 0;
}

HWND create_main_window(HINSTANCE instance, const char* title, int showCommand) {
    mainWindow.instance = instance;
    mainWindow.page = 1;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window =
        CreateWindowExW(WS_EX_APPWINDOW | WS_EX_ACCEPTFILES, MAIN_WINDOW_CLASS, wide(title).c_str(),
                        WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                        MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    const SIZE outer = window_size(window);
    SetWindowPos(window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(window, &client);
    int x = 0;
    int y = 0;
    centred_position(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYMAXIMIZED),
                     client.right - client.left, client.bottom - client.top, mainWindow.dpi, &x,
                     &y);
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE);
    // Focus rectangles show once the keyboard is used, as in a dialog.
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    ShowWindow(window, showCommand);
    set_icons();
    return window;
}

bool handle_link_message(const MSG* message) {
    const bool onLink = message->hwnd != nullptr && (message->hwnd == mainWindow.tutorialLink ||
                                                     message->hwnd == mainWindow.homeLink);
    if (message->message == WM_MOUSEMOVE) {
        if (mainWindow.tutorialLink != nullptr) {
            HCURSOR cursor =
                LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(onLink ? IDC_HAND : IDC_ARROW));
            // The class cursor of every static: the links are statics.
            SetClassLongPtrW(mainWindow.tutorialLink, GCLP_HCURSOR,
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
