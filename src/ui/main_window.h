// The one top-level window: a two-page wizard whose controls the move job
// also reaches, through the window's MoveJobView (ui/job_view.h).
#pragma once

#include <windows.h>

// Control identifiers. Both panels carry the same one.
enum ControlId : int {
    ID_PANEL = 36100,
    ID_PATH_BOX = 36102,
    ID_CHOOSE_PACKAGE = 36103,
    ID_NOTICE_BOX = 36104,
    ID_OPTION_IMAGE_SPACE = 36106,
    ID_OPTION_THIRD_PARTY = 36107,
    ID_OPTION_BLANK = 36108,
    ID_FOLDER_BOX = 36109,
    ID_BROWSE = 36110,
    ID_FAILURE_BOX = 36111,
    ID_TUTORIAL_LINK = 36112,
    ID_HOME_LINK = 36114,
    ID_BACK = 36115,
    ID_NEXT = 36116,
    ID_CLOSE = 36117,
};

inline constexpr const wchar_t* MAIN_WINDOW_CLASS = L"CodeBlocksWindowsApp";
inline constexpr int MAIN_WINDOW_WIDTH = 680;
inline constexpr int MAIN_WINDOW_HEIGHT = 560;

// Everything the window keeps for its whole life. Owned by the user interface
// thread; the job's thread only sends the window its view's operations.
struct MainWindow {
    HWND main;
    HINSTANCE instance;
    HWND panel1;
    HWND title1;
    HWND pathBox;
    HWND choosePackage;
    HWND noticeBox;
    HWND panel2;
    HWND title2;
    HWND optionImageSpace;
    HWND optionThirdParty;
    HWND optionBlank;
    HWND folderBox;
    HWND browse;
    HWND itemList;
    HWND failureBox;
    HWND progressBar;
    HWND progressLabel;
    HWND back;
    HWND next;
    HWND close;
    HWND tutorialLink;
    HWND homeLink;
    HFONT defaultFont;
    HFONT titleFont;
    HFONT linkFont;
    HICON largeIcon;  // icons 102 and 101 loaded for a DPI other than the system's
    HICON smallIcon;
    int dpi;         // of the screen the window is on; the layout is for 96, scaled
    HDC backBuffer;  // null until the first paint
    int page;        // 1 or 2
    HWND lastFocus;  // the control that had the focus when the window was last deactivated
};

extern MainWindow mainWindow;

// Registers the window class with `icon` as large and small icon.
bool register_main_window_class(HINSTANCE instance, HICON icon);
// Creates the window (which builds its controls) at the size of its layout
// for the screen's DPI (680 x 560 at 96 DPI with a 19-pixel caption),
// centres it, shows it and gives it the small icon file's icon
// (IDI_KELVANE_SMALL) as its large icon, at the size of the DPI. Null on
// failure.
HWND create_main_window(HINSTANCE instance, const char* title, int showCommand);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The message loop's filter, after TranslateMessage: true when the message
// was consumed (a click on a link) and must not be dispatched.
bool handle_link_message(const MSG* message);

// The keyboard, as in a dialog; called before TranslateMessage. Tab and
// Shift+Tab move the focus through the page's controls, Enter presses the
// focused push button or else the Next button ("下一步" / "开始搬家"), Esc
// closes as the Close button does. True when the key was used.
bool handle_dialog_key(const MSG* message);

// Gives the keyboard focus to the page's first useful control: the
// choose-package button on page 1; on page 2 the browse button, or the item
// list once a job has started.
void focus_page();

// Fatal errors from here on show their message (over the window once it
// exists, with no owner before) and end the process with exit code 0.
void install_window_fatal_handler();

// Message boxes of the wizard: owned by the main window.
int window_message(const char* text, const char* caption, UINT type);
