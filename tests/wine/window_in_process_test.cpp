// The window built inside the test process, for what another process cannot
// reach under Wine: dropped files (a drop handle is only valid in its own
// process), the system menu's Close command (Wine keeps menus per process),
// the class cursor over the links, the job's view calls, and shell links.
#include <winsock2.h>
// windows.h after winsock2.h, the other Windows headers after both
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/memory.h"
#include "engine/move_job.h"
#include "gui_driver.h"
#include "package/data_package.h"
#include "shell/ptr_vector.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"
#include "ui/item_list.h"
#include "ui/job_view.h"
#include "ui/main_window.h"
#include "ui/shell_services.h"
#include "ui/wizard.h"

namespace fs = std::filesystem;

namespace {

// One window per process, as in the program: made at the first use.
HWND own_window() {
    static HWND window = nullptr;
    if (window == nullptr) {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        register_main_window_class(instance, LoadIconA(nullptr, IDI_APPLICATION));
        // Hidden: it must not cover the program in the screenshots.
        window = create_main_window(instance, "Kelvane(V8.2)", SW_HIDE);
    }
    return window;
}

void pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        if (!handle_link_message(&message)) DispatchMessageA(&message);
    }
}

std::string text_of(HWND window) {
    char text[16384] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// A drop of these files, as the shell hands it to the window: wide names.
HDROP make_drop(const std::vector<std::wstring>& names) {
    size_t size = sizeof(DROPFILES) + sizeof(wchar_t);
    for (const std::wstring& name : names) size += (name.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GHND, size);
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    auto* at = reinterpret_cast<wchar_t*>(header + 1);
    for (const std::wstring& name : names) {
        std::memcpy(at, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        at += name.size() + 1;
    }
    *at = L'\0';
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// Presses a button of this thread's next message box, from another thread.
struct BoxAnswer {
    int button;
    std::string caption;
    std::string text;
    HICON icon = nullptr;
    DWORD thread = 0;  // the one that runs the box
};

BOOL CALLBACK read_box_child(HWND child, LPARAM param) {
    auto* answer = reinterpret_cast<BoxAnswer*>(param);
    char name[32] = "";
    GetClassNameA(child, name, sizeof name);
    if (_stricmp(name, "Static") != 0) return TRUE;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        answer->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    } else {
        char text[4096] = "";
        GetWindowTextA(child, text, sizeof text);
        if (std::strlen(text) > answer->text.size()) answer->text = text;
    }
    return TRUE;
}

DWORD WINAPI answer_box(void* param) {
    auto* answer = static_cast<BoxAnswer*>(param);
    const DWORD self = GetCurrentProcessId();
    for (int tries = 0; tries < 500; ++tries) {
        HWND box = nullptr;
        for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", nullptr); w != nullptr;
             w = FindWindowExA(nullptr, w, "#32770", nullptr)) {
            DWORD owner = 0;
            const DWORD thread = GetWindowThreadProcessId(w, &owner);
            if (owner == self && IsWindowVisible(w)) {
                box = w;
                answer->thread = thread;
            }
        }
        if (box != nullptr) {
            char caption[256] = "";
            GetWindowTextA(box, caption, sizeof caption);
            answer->caption = caption;
            EnumChildWindows(box, read_box_child, reinterpret_cast<LPARAM>(answer));
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer->button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, answer->button)));
            return 0;
        }
        Sleep(20);
    }
    return 1;
}

ItemRecord* new_item(int index, const char* name) {
    auto* item = static_cast<ItemRecord*>(xcalloc(1, sizeof(ItemRecord)));
    item->index = index;
    std::strncpy(item->name, name, sizeof item->name - 1);
    item->desc_images = ptr_vector_new(4, 4);
    return item;
}

TEST(WindowInProcess, TheBackgroundIsDrawnOnceAtTheWindowsSize) {
    own_window();
    // A panel may paint first; the buffer still covers the window's client area.
    SendMessageA(mainWindow.panel1, WM_PAINT, 0, 0);
    ASSERT_NE(mainWindow.backBuffer, nullptr);
    BITMAP bitmap{};
    GetObjectA(GetCurrentObject(mainWindow.backBuffer, OBJ_BITMAP), sizeof bitmap, &bitmap);
    RECT client;
    GetClientRect(mainWindow.main, &client);
    EXPECT_EQ(bitmap.bmWidth, client.right);
    EXPECT_EQ(bitmap.bmHeight, client.bottom);

    struct Pixel {
        int x, y, colour;
    };
    const Pixel pixels[] = {
        {10, 30, COLOR_WINDOW},
        {600, 70, COLOR_WINDOW},  // the header band
        {10, 71, COLOR_BTNSHADOW},
        {static_cast<int>(client.right) - 1, 71, COLOR_BTNSHADOW},  // its bottom edge
        {10, 72, COLOR_BTNFACE},
        {10, 300, COLOR_BTNFACE},  // the pages
        {10, 484, COLOR_BTNSHADOW},
        {10, 485, COLOR_3DDKSHADOW},  // above the buttons
        {10, 486, COLOR_BTNFACE},
        {147, 505, COLOR_BTNSHADOW},  // the link separator
        {147, 515, COLOR_BTNSHADOW},
        {147, 516, COLOR_BTNFACE},  // ends before 516
        {148, 510, COLOR_BTNFACE},
    };
    for (const Pixel& p : pixels) {
        EXPECT_EQ(GetPixel(mainWindow.backBuffer, p.x, p.y), GetSysColor(p.colour))
            << p.x << "," << p.y;
    }
    // Later paints copy the same buffer.
    HDC first = mainWindow.backBuffer;
    SendMessageA(mainWindow.main, WM_PAINT, 0, 0);
    EXPECT_EQ(mainWindow.backBuffer, first);
}

TEST(WindowInProcess, ADropTakesTheFirstCsvNameAndLoadsNothing) {
    HWND window = own_window();
    ASSERT_NE(window, nullptr);
    SetWindowTextA(mainWindow.pathBox, "before");
    SendMessageA(window, WM_DROPFILES,
                 reinterpret_cast<WPARAM>(
                     make_drop({L"C:\\a\\notes.txt", L"C:\\a\\shop.CSV", L"C:\\a\\other.csv"})),
                 0);
    EXPECT_EQ(text_of(mainWindow.pathBox), "C:\\a\\shop.CSV");
    EXPECT_EQ(mainWindow.page, 1);
    SendMessageA(window, WM_DROPFILES,
                 reinterpret_cast<WPARAM>(make_drop({L"C:\\a\\photo.jpg", L"C:\\a\\csv"})), 0);
    EXPECT_EQ(text_of(mainWindow.pathBox), "C:\\a\\shop.CSV");
    // A name that does not fit the path buffer is passed over: cut to 259 bytes
    // this one would end in ".csv" and name a file that was never dropped.
    const std::wstring longName = L"C:\\" + std::wstring(252, L'x') + L".csv.txt";
    SendMessageA(window, WM_DROPFILES,
                 reinterpret_cast<WPARAM>(make_drop({longName, L"C:\\b\\next.csv"})), 0);
    EXPECT_EQ(text_of(mainWindow.pathBox), "C:\\b\\next.csv");
    // A name in any script arrives whole.
    const std::wstring korean = L"C:\\상품\\목록.csv";
    SendMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(make_drop({korean})), 0);
    wchar_t shown[64] = L"";
    GetWindowTextW(mainWindow.pathBox, shown, 64);
    EXPECT_TRUE(korean == shown);
    // The window leaves the topmost band again.
    EXPECT_FALSE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
    pump();
}

TEST(WindowInProcess, TheHandShowsOverTheLinksOnly) {
    own_window();
    HCURSOR hand = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND));
    HCURSOR arrow = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    HWND label = mainWindow.tutorialLink;
    for (HWND over :
         {mainWindow.homeLink, mainWindow.title1, mainWindow.tutorialLink, mainWindow.main}) {
        MSG move{};
        move.hwnd = over;
        move.message = WM_MOUSEMOVE;
        EXPECT_FALSE(handle_link_message(&move));
        const bool onLink = over == mainWindow.homeLink || over == mainWindow.tutorialLink;
        EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrA(label, GCLP_HCURSOR)),
                  onLink ? hand : arrow);
    }
    // Other messages pass untouched, also on the links.
    MSG up{};
    up.hwnd = mainWindow.tutorialLink;
    up.message = WM_LBUTTONUP;
    EXPECT_FALSE(handle_link_message(&up));
}

TEST(WindowInProcess, TheJobsViewReachesTheControlsAndGivesBackClose) {
    own_window();
    std::vector<ItemRecord*> items = {new_item(0, "连衣裙"), new_item(1, "帆布包")};
    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    for (ItemRecord* item : items) insert_item_row(item);
    SendMessageA(mainWindow.progressBar, PBM_SETRANGE32, 0, 2);

    WindowJobView view;
    view.ensure_row_visible(1);
    view.set_row_status(1, ItemState::Moving);
    view.set_row_status(1, ItemState::Moved);
    view.set_row_failures(1, FailureColumn::Pc, 3);
    view.set_row_failures(1, FailureColumn::Mobile, 12);
    view.set_progress(2);
    view.set_progress_text(JobProgress{2, 2});
    // Recorded only: the window shows them at its next tick.
    EXPECT_EQ(SendMessageA(mainWindow.progressBar, PBM_GETPOS, 0, 0), 0);
    show_job_progress();
    char cell[64] = "";
    LVITEMA read{};
    read.pszText = cell;
    read.cchTextMax = sizeof cell;
    const char* want[] = {"帆布包", "完成", "3", "12"};
    for (int column = 0; column < 4; ++column) {
        read.iSubItem = column;
        SendMessageA(mainWindow.itemList, LVM_GETITEMTEXTA, 1, reinterpret_cast<LPARAM>(&read));
        EXPECT_STREQ(cell, want[column]);
    }
    EXPECT_EQ(SendMessageA(mainWindow.progressBar, PBM_GETPOS, 0, 0), 2);
    EXPECT_EQ(text_of(mainWindow.progressLabel), "搬家进度(宝贝数:2, 已搬家宝贝数:2)");

    // The failure box follows the selection, and only finished items show.
    ptr_vector_push(items[1]->desc_images, xstrdup("http://h/x.jpg"));
    items[1]->mobile_failed = ptr_vector_new(4, 4);
    ptr_vector_push(items[1]->mobile_failed, xstrdup("http://h/m.jpg"));
    LVITEMA select{};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendMessageA(mainWindow.itemList, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&select));
    EXPECT_TRUE(view.is_row_selected(1));
    EXPECT_FALSE(view.is_row_selected(0));
    EXPECT_EQ(text_of(mainWindow.failureBox), "");  // not finished yet
    __atomic_store_n(&items[1]->status, ITEM_MOVED, __ATOMIC_RELEASE);
    view.refresh_failure_box();
    show_job_progress();
    EXPECT_EQ(text_of(mainWindow.failureBox),
              "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示："
              "\r\nhttp://h/m.jpg");
    select.state = 0;
    SendMessageA(mainWindow.itemList, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&select));
    EXPECT_EQ(text_of(mainWindow.failureBox), "");

    // A confirmed close greys the Close command; the job's end gives it back.
    HMENU system = GetSystemMenu(mainWindow.main, FALSE);
    running.store(1);
    BoxAnswer answer{IDOK, "", ""};
    HANDLE helper = CreateThread(nullptr, 0, answer_box, &answer, 0, nullptr);
    wizard_close();
    WaitForSingleObject(helper, 10000);
    CloseHandle(helper);
    EXPECT_EQ(answer.caption, "确认");
    EXPECT_EQ(cancelRequested.load(), 1);
    EXPECT_FALSE(IsWindowEnabled(mainWindow.close));
    EXPECT_TRUE(GetMenuState(system, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
    view.job_finished();
    EXPECT_TRUE(IsWindowEnabled(mainWindow.back));
    EXPECT_TRUE(IsWindowEnabled(mainWindow.close));
    EXPECT_FALSE(GetMenuState(system, SC_CLOSE, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED));
    running.store(0);
    cancelRequested.store(0);

    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    for (ItemRecord* item : items) item_record_free(item);
    pump();
}

// A job reports thousands of rows without the window's thread, which here
// does not even read its messages until the job is done; the window then
// shows the last state of every row at once.
TEST(WindowInProcess, TheJobNeverWaitsForTheWindowBetweenRows) {
    own_window();
    constexpr int ROWS = 2000;
    std::vector<ItemRecord*> items;
    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    for (int i = 0; i < ROWS; ++i) {
        items.push_back(new_item(i, "宝贝"));
        insert_item_row(items.back());
    }
    SendMessageA(mainWindow.progressBar, PBM_SETRANGE32, 0, ROWS);
    struct Job {
        static DWORD WINAPI run(void*) {
            WindowJobView view;
            for (int i = 0; i < ROWS; ++i) {
                view.ensure_row_visible(i);
                view.set_row_status(i, ItemState::Moving);
                view.set_row_status(i, ItemState::Moved);
                if (i % 7 == 0) view.set_row_failures(i, FailureColumn::Mobile, i);
                view.set_progress(i + 1);
                view.set_progress_text(JobProgress{ROWS, i + 1});
                if (view.is_row_selected(i)) view.refresh_failure_box();
            }
            return 0;
        }
    };
    HANDLE job = CreateThread(nullptr, 0, Job::run, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(job, 10000), WAIT_OBJECT_0);
    CloseHandle(job);

    show_job_progress();
    char cell[64] = "";
    LVITEMA read{};
    read.pszText = cell;
    read.cchTextMax = sizeof cell;
    for (int row : {0, 7, 1000, ROWS - 1}) {
        read.iSubItem = 1;
        SendMessageA(mainWindow.itemList, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&read));
        EXPECT_STREQ(cell, "完成") << row;
        read.iSubItem = 3;
        SendMessageA(mainWindow.itemList, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&read));
        EXPECT_EQ(cell, row % 7 == 0 ? std::to_string(row) : std::string()) << row;
    }
    EXPECT_EQ(SendMessageA(mainWindow.progressBar, PBM_GETPOS, 0, 0), ROWS);
    EXPECT_EQ(text_of(mainWindow.progressLabel), "搬家进度(宝贝数:2000, 已搬家宝贝数:2000)");
    // Scrolled to the last row.
    const int top = static_cast<int>(SendMessageA(mainWindow.itemList, LVM_GETTOPINDEX, 0, 0));
    const int shown =
        static_cast<int>(SendMessageA(mainWindow.itemList, LVM_GETCOUNTPERPAGE, 0, 0));
    EXPECT_GE(top + shown, ROWS - 1);

    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    for (ItemRecord* item : items) item_record_free(item);
    pump();
}

TEST(WindowInProcess, TitlesAndAddressesGbkLacksShowWhole) {
    own_window();
    // (The wide literals stay outside the macros, which would spell them in GBK.)
    const std::u16string title = u"新款\U0001F600 한국어 ™";
    const std::wstring address = L"http://h/\U0001F600.jpg";
    ItemRecord* item = new_item(0, gb18030_of(title).c_str());
    item->mobile_failed = ptr_vector_new(4, 4);
    ptr_vector_push(item->mobile_failed, xstrdup(gb18030_of(u"http://h/\U0001F600.jpg").c_str()));
    __atomic_store_n(&item->status, ITEM_MOVED, __ATOMIC_RELEASE);
    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    insert_item_row(item);

    wchar_t cell[64] = L"";
    LVITEMW read{};
    read.pszText = cell;
    read.cchTextMax = 64;
    SendMessageW(mainWindow.itemList, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&read));
    EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t*>(cell)) == title);

    LVITEMA select{};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendMessageA(mainWindow.itemList, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&select));
    wchar_t box[512] = L"";
    GetWindowTextW(mainWindow.failureBox, box, 512);
    EXPECT_NE(std::wstring(box).find(address), std::wstring::npos);

    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    SetWindowTextA(mainWindow.failureBox, "");
    item_record_free(item);
    pump();
}

TEST(WindowInProcess, TheSharedFontHasChineseGlyphs) {
    own_window();
    HDC dc = GetDC(mainWindow.pathBox);
    HGDIOBJ old = SelectObject(dc, mainWindow.defaultFont);
    // Each GBK character is two bytes: one glyph index per character.
    const char* text = "搬家进度";
    WORD glyphs[8] = {};
    const DWORD count = GetGlyphIndicesA(dc, text, 4, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    EXPECT_NE(count, GDI_ERROR);
    for (int i = 0; i < 4; ++i) EXPECT_NE(glyphs[i], 0xFFFF) << i;
    SIZE size{};
    GetTextExtentPoint32A(dc, text, 8, &size);
    EXPECT_GT(size.cx, 4 * 6);
    SelectObject(dc, old);
    ReleaseDC(mainWindow.pathBox, dc);
}

TEST(WindowInProcess, FontsFollowTheStockFontAndTheScreensDpi) {
    own_window();
    LOGFONTA stock{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    HDC screen = GetDC(GetDesktopWindow());
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(GetDesktopWindow(), screen);
    auto font_of = [](HWND window) {
        LOGFONTA font{};
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        return font;
    };
    const LOGFONTA shared = font_of(mainWindow.pathBox);
    EXPECT_STREQ(shared.lfFaceName, "宋体");
    EXPECT_EQ(shared.lfWeight, 400);
    if (dpi <= 96) {
        EXPECT_EQ(shared.lfHeight, stock.lfHeight);
    }
    EXPECT_EQ(shared.lfCharSet, stock.lfCharSet);
    EXPECT_EQ(shared.lfUnderline, stock.lfUnderline);
    // One shared font for every control. (The panels got it too, but answer no
    // WM_GETFONT once the window's procedure has replaced the static one.)
    for (HWND window : {mainWindow.pathBox, mainWindow.itemList, mainWindow.next,
                        mainWindow.progressLabel, mainWindow.failureBox}) {
        EXPECT_EQ(SendMessageA(window, WM_GETFONT, 0, 0),
                  reinterpret_cast<LRESULT>(mainWindow.defaultFont));
    }
    for (HWND title : {mainWindow.title1, mainWindow.title2}) {
        const LOGFONTA font = font_of(title);
        EXPECT_STREQ(font.lfFaceName, "宋体");
        EXPECT_EQ(font.lfHeight, 20);
        EXPECT_EQ(font.lfWeight, 700);
        EXPECT_TRUE(font.lfUnderline);
        EXPECT_FALSE(font.lfItalic);
    }
    for (HWND link : {mainWindow.tutorialLink, mainWindow.homeLink}) {
        const LOGFONTA font = font_of(link);
        EXPECT_EQ(font.lfHeight, 14);
        EXPECT_EQ(font.lfWeight, 0);
        EXPECT_FALSE(font.lfUnderline);
    }
}

// Windows tells a window moved to a screen of another DPI with WM_DPICHANGED
// (Wine never does, so the test sends it): the layout, the fonts and the
// background follow, the texts still fit, and back on a 96-DPI screen all is
// as it was.
TEST(WindowInProcess, MovingToAScreenOfAnotherDpiLaysTheWindowOutAgain) {
    own_window();
    struct Place {
        HWND window;
        RECT rect;
    };
    auto place_of = [](HWND window) {
        RECT rect;
        GetWindowRect(window, &rect);
        MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const HWND texts[] = {mainWindow.title1,        mainWindow.title2,
                          mainWindow.choosePackage, mainWindow.browse,
                          mainWindow.next,          mainWindow.close,
                          mainWindow.back,          mainWindow.tutorialLink,
                          mainWindow.homeLink,      mainWindow.progressLabel};
    std::vector<Place> at96;
    for (HWND window : texts) at96.push_back({window, place_of(window)});
    at96.push_back({mainWindow.itemList, place_of(mainWindow.itemList)});
    RECT client96;
    GetClientRect(mainWindow.main, &client96);
    RECT suggested;
    GetWindowRect(mainWindow.main, &suggested);

    SendMessageW(mainWindow.main, WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
    for (const Place& place : at96) {
        const RECT now = place_of(place.window);
        EXPECT_EQ(now.left, (place.rect.left * 3 + 1) / 2);
        EXPECT_EQ(now.top, (place.rect.top * 3 + 1) / 2);
        EXPECT_EQ(now.right - now.left, ((place.rect.right - place.rect.left) * 3 + 1) / 2);
    }
    // At least the client area scaled: Windows gives the frame the new DPI's
    // size too, which Wine, never really moving the window, does not.
    RECT client;
    GetClientRect(mainWindow.main, &client);
    EXPECT_GE(client.right, (client96.right * 3 + 1) / 2);
    EXPECT_GE(client.bottom, (client96.bottom * 3 + 1) / 2);
    // Every text fits its control in the fonts of the new DPI.
    for (HWND window : texts) {
        HDC dc = GetDC(window);
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
        wchar_t text[256] = L"";
        const int length = GetWindowTextW(window, text, 256);
        SIZE size{};
        GetTextExtentPoint32W(dc, text, length, &size);
        SelectObject(dc, old);
        ReleaseDC(window, dc);
        RECT rect;
        GetClientRect(window, &rect);
        EXPECT_LE(size.cx, rect.right) << text_of(window);
        EXPECT_LE(size.cy, rect.bottom) << text_of(window);
    }
    LOGFONTW title{};
    GetObjectW(mainWindow.titleFont, sizeof title, &title);
    EXPECT_EQ(title.lfHeight, 30);
    EXPECT_EQ(SendMessageW(mainWindow.itemList, LVM_GETCOUNTPERPAGE, 0, 0), 6);
    // The background is drawn again for the new size.
    SendMessageW(mainWindow.main, WM_PAINT, 0, 0);
    BITMAP bitmap{};
    GetObjectW(GetCurrentObject(mainWindow.backBuffer, OBJ_BITMAP), sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, client.right);
    EXPECT_EQ(GetPixel(mainWindow.backBuffer, 10, 726), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(GetPixel(mainWindow.backBuffer, 10, 728), GetSysColor(COLOR_3DDKSHADOW));

    SendMessageW(mainWindow.main, WM_DPICHANGED, MAKEWPARAM(96, 96),
                 reinterpret_cast<LPARAM>(&suggested));
    for (const Place& place : at96) {
        const RECT now = place_of(place.window);
        EXPECT_TRUE(EqualRect(&place.rect, &now));
    }
    GetClientRect(mainWindow.main, &client);
    EXPECT_TRUE(EqualRect(&client, &client96));
    LOGFONTW shared{};
    LOGFONTW stock{};
    GetObjectW(mainWindow.defaultFont, sizeof shared, &shared);
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    EXPECT_EQ(shared.lfHeight, stock.lfHeight);
    pump();
}

TEST(WindowInProcess, AStartCheckFocusesTheControlItNames) {
    own_window();
    EXPECT_EQ(start_check_focus(StartRefusal::NoSourceOption), mainWindow.optionImageSpace);
    EXPECT_EQ(start_check_focus(StartRefusal::NoFolder), mainWindow.browse);
    EXPECT_EQ(start_check_focus(StartRefusal::FolderMissing), mainWindow.browse);
}

// Runs `show` on this thread while a helper reads and closes the box it opens.
template <typename Show>
BoxAnswer answered(Show show) {
    BoxAnswer answer{IDOK, "", ""};
    HANDLE helper = CreateThread(nullptr, 0, answer_box, &answer, 0, nullptr);
    show();
    WaitForSingleObject(helper, 10000);
    CloseHandle(helper);
    return answer;
}

TEST(WindowInProcess, MessagesCarryTheirCaptionsAndIcons) {
    own_window();
    auto system_icon = [](LPCSTR id) { return LoadIconA(nullptr, id); };
    WindowJobView view;
    struct Case {
        MessageIcon icon;
        LPCSTR systemIcon;
    };
    const Case cases[] = {{MessageIcon::Error, IDI_ERROR},
                          {MessageIcon::Warning, IDI_WARNING},
                          {MessageIcon::Information, IDI_INFORMATION}};
    for (const Case& c : cases) {
        const BoxAnswer answer = answered([&] { view.show_message("正文", "完成", c.icon); });
        EXPECT_EQ(answer.caption, "完成");
        EXPECT_EQ(answer.text, "正文");
        EXPECT_EQ(answer.icon, system_icon(c.systemIcon));
    }
    // From the job's thread the box still opens on the window's, which
    // carries the call out while the job waits.
    struct JobCall {
        static DWORD WINAPI run(void* view) {
            static_cast<WindowJobView*>(view)->show_message("正文", "完成", MessageIcon::Error);
            return 0;
        }
    };
    const BoxAnswer fromJob = answered([&view] {
        HANDLE job = CreateThread(nullptr, 0, JobCall::run, &view, 0, nullptr);
        while (MsgWaitForMultipleObjects(1, &job, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
            pump();
        CloseHandle(job);
    });
    EXPECT_EQ(fromJob.text, "正文");
    EXPECT_EQ(fromJob.thread, GetCurrentThreadId());

    // A validation message: "提示" with the warning icon.
    SetWindowTextA(mainWindow.pathBox, "");
    const BoxAnswer empty = answered([] { wizard_command(ID_NEXT); });
    EXPECT_EQ(empty.caption, "提示");
    EXPECT_EQ(empty.text, "请选择一个淘宝数据包(csv)文件");
    EXPECT_EQ(empty.icon, system_icon(IDI_WARNING));
    pump();
}

TEST(ShellLink, RefusesMissingPartsAndWritesALinkThatReadsBack) {
    CoInitialize(nullptr);
    TempDir dir;
    const std::string link = dir.file("Orvessa.lnk");
    const std::string target = dir.file("kelvane.exe");
    const char* empty = "";
    struct Refused {
        const char* target;
        const char* link;
        const char* arguments;
        int show;
        int icon;
    };
    const Refused refused[] = {
        {"", link.c_str(), empty, 5, 0},
        {target.c_str(), "", empty, 5, 0},
        {nullptr, link.c_str(), empty, 5, 0},
        {target.c_str(), link.c_str(), nullptr, 5, 0},
        {target.c_str(), link.c_str(), empty, -1, 0},
        {target.c_str(), link.c_str(), empty, 5, -1},
    };
    for (const Refused& r : refused) {
        EXPECT_EQ(create_shortcut(r.target, r.arguments, r.link, empty, r.show, dir.path().c_str(),
                                  target.c_str(), r.icon),
                  E_INVALIDARG);
    }
    EXPECT_FALSE(fs::exists(link));

    ASSERT_EQ(create_shortcut(target.c_str(), "", link.c_str(), "", 5, dir.path().c_str(),
                              target.c_str(), 0),
              S_OK);
    ASSERT_TRUE(fs::exists(link));
    IShellLinkA* shellLink = nullptr;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IShellLinkA, reinterpret_cast<void**>(&shellLink))));
    IPersistFile* file = nullptr;
    ASSERT_TRUE(
        SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
    wchar_t wide[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH - 1);
    ASSERT_TRUE(SUCCEEDED(file->Load(wide, STGM_READ)));
    char path[MAX_PATH] = "";
    shellLink->GetPath(path, MAX_PATH, nullptr, 0);
    EXPECT_EQ(_stricmp(path, target.c_str()), 0) << path;
    char folder[MAX_PATH] = "";
    shellLink->GetWorkingDirectory(folder, MAX_PATH);
    EXPECT_EQ(_stricmp(folder, dir.path().c_str()), 0) << folder;
    int show = 0;
    shellLink->GetShowCmd(&show);
    // A link file keeps only normal, maximised and minimised: SW_SHOW reads back as normal.
    EXPECT_EQ(show, SW_SHOWNORMAL);
    char icon[MAX_PATH] = "";
    int iconIndex = -1;
    shellLink->GetIconLocation(icon, MAX_PATH, &iconIndex);
    EXPECT_EQ(_stricmp(icon, target.c_str()), 0) << icon;
    EXPECT_EQ(iconIndex, 0);
    file->Release();
    shellLink->Release();
    CoUninitialize();
}

}  // namespace
