// Drives a running kelvane.exe from another process, as a user would: finds
// its windows, sets texts, clicks, reads list rows and message boxes, and
// takes screenshots. Texts are GBK like the program's.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Where the tests find kelvane.exe and put their screenshots (Windows paths).
extern std::string kelvaneExe;
extern std::string screenshotFolder;

// A Unix path handed over on the command line, as Wine shows it (Z:\...).
std::string windows_path(const std::string& path);

// Waits up to `seconds` for `done` to hold, pumping nothing (the program runs
// in its own process). True when it held in time.
template <typename Condition>
bool wait_for(Condition done, double seconds = 10) {
    const DWORD limit = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    while (!done()) {
        if (static_cast<LONG>(GetTickCount() - limit) > 0) return false;
        Sleep(20);
    }
    return true;
}

struct MessageBoxSeen {
    HWND window = nullptr;
    std::string caption;
    std::string text;
    std::wstring wideCaption;  // the same read as UTF-16
    std::wstring wideText;
    bool hasOk = false, hasCancel = false, hasYes = false, hasNo = false;
};

// The screen's DPI for the programs started while it lives (Wine's LogPixels
// setting, read as a program starts); 96 again afterwards.
class ScreenDpi {
  public:
    explicit ScreenDpi(int dpi);
    ~ScreenDpi();
    ScreenDpi(const ScreenDpi&) = delete;
    ScreenDpi& operator=(const ScreenDpi&) = delete;
};

class RunningProgram {
  public:
    // Copies kelvane.exe into `folder` (its program folder: app.log and bak/
    // land there) and starts it; waits for the main window unless told that
    // the program is expected to stop before it has one.
    explicit RunningProgram(const std::string& folder, bool waitForMain = true);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    HWND main() const { return main_; }
    DWORD process_id() const { return info_.dwProcessId; }
    DWORD thread_id() const { return GetWindowThreadProcessId(main_, nullptr); }
    bool exited(DWORD waitMs = 0) const;
    DWORD exit_code() const;

    // The descendant with this parent, class and position among its siblings'
    // creation order; or the first child with this control id.
    HWND child(HWND parent, int index) const;
    std::vector<HWND> children(HWND parent) const;
    HWND control(int id) const;  // searched through the whole tree
    HWND control_by_text(const std::string& text) const;

    std::string text(HWND window) const;  // WM_GETTEXT, across processes
    void set_text(HWND window, const std::string& text) const;
    // The same in UTF-16, whatever the system's code page.
    std::wstring wide_text(HWND window) const;
    void set_text(HWND window, const std::wstring& text) const;
    void click(HWND button) const;  // posted: a message box may follow
    void set_check(HWND box, bool checked) const;
    bool checked(HWND box) const;
    HWND focus() const;
    // Types a key (with Shift held) into the window, which is brought to the front.
    void key(WORD virtualKey, bool shift = false) const;

    int row_count() const;
    std::string cell(int row, int column) const;
    std::string column_header(int column) const;
    void select_row(int row) const;
    bool row_selected(int row) const;

    // The visible message box the program shows, or an empty record.
    MessageBoxSeen message_box() const;
    MessageBoxSeen wait_message_box(double seconds = 20) const;
    void press(const MessageBoxSeen& box, int buttonId) const;
    bool no_message_box() const { return message_box().window == nullptr; }

    // Saves the window as it shows on the screen, as a PNG.
    bool screenshot(const std::string& name) const;

  private:
    PROCESS_INFORMATION info_{};
    HWND main_ = nullptr;
};

// Writes 32-bit BGRX pixels, top row first, as an RGB PNG (stored blocks).
bool write_png(const std::string& path, int width, int height, const unsigned char* bgrx);
