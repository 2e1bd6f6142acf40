#include "ui/job_view.h"

#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "ui/item_list.h"
#include "ui/main_window.h"
#include "ui/wide_text.h"

namespace {

using WindowCall = std::function<void()>;

// One cell the job changed: column 1 holds an ItemState, 2 and 3 a count.
struct Cell {
    int row;
    int column;
    int value;
};

// What the job reported and the window has not shown yet.
struct Report {
    std::vector<Cell> cells;  // in the order the job changed them
    int visibleRow = -1;
    int progress = -1;
    bool hasText = false;
    JobProgress text{};
    bool refreshFailures = false;
};

// The one window has one job at a time, so one report. The lock also
// orders the selection against the item's status: the job stores the
// status before it asks whether the row is selected, and the window notes
// a new selection before it reads the status, so one of the two always
// sees the other and a finished item's failures never stay unshown.
std::mutex reportLock;
Report pending;
int selectedRow = -1;

// The window's side: the row the list is still to be scrolled to, and when
// it last scrolled.
int rowToShow = -1;
ULONGLONG lastScroll = 0;

template <typename Change>
void record(Change change) {
    const std::lock_guard<std::mutex> hold(reportLock);
    change(pending);
}

// Returns once the window's thread has run `call`; run at once when this is
// the window's thread.
void on_window_thread(const WindowCall& call) {
    SendMessageW(mainWindow.main, WM_JOB_VIEW_CALL, 0, reinterpret_cast<LPARAM>(&call));
}

}  // namespace

std::atomic<bool> jobMessagesHeld{false};

LRESULT run_job_view_call(LPARAM call) {
    (*reinterpret_cast<const WindowCall*>(call))();
    return 0;
}

void start_job_view_timer() {
    SetTimer(mainWindow.main, JOB_VIEW_TIMER, JOB_VIEW_TICK_MS, nullptr);
}

void note_selected_row(int row) {
    const std::lock_guard<std::mutex> hold(reportLock);
    selectedRow = row;
}

void show_job_progress(bool everything) {
    Report report;
    {
        const std::lock_guard<std::mutex> hold(reportLock);
        std::swap(report, pending);
    }
    for (const Cell& cell : report.cells) {
        if (cell.column == 1) {
            set_item_cell(cell.row, 1, item_state_text(static_cast<ItemState>(cell.value)));
        } else {
            char count[16];
            std::snprintf(count, sizeof count, "%d", cell.value);
            set_item_cell(cell.row, cell.column, count);
        }
    }
    // Scrolling redraws the whole list, which under Wine costs the window's
    // thread more than all the other changes together: the list follows the
    // job at most every JOB_VIEW_SCROLL_MS, and at once before a message box
    // or the job's end.
    if (report.visibleRow >= 0) rowToShow = report.visibleRow;
    const ULONGLONG now = GetTickCount64();
    if (rowToShow >= 0 && (everything || now - lastScroll >= JOB_VIEW_SCROLL_MS)) {
        SendMessageW(mainWindow.itemList, LVM_ENSUREVISIBLE, static_cast<WPARAM>(rowToShow), TRUE);
        rowToShow = -1;
        lastScroll = now;
    }
    if (report.progress >= 0) {
        SendMessageW(mainWindow.progressBar, PBM_SETPOS, static_cast<WPARAM>(report.progress), 0);
    }
    if (report.hasText) {
        char text[PROGRESS_TEXT_SIZE];
        format_progress_text(report.text, text);
        SetWindowTextW(mainWindow.progressLabel, wide(text).c_str());
    }
    if (report.refreshFailures) rebuild_failure_box();
}

void WindowJobView::ensure_row_visible(int row) {
    record([row](Report& report) { report.visibleRow = row; });
}

void WindowJobView::set_row_status(int row, ItemState state) {
    record([=](Report& report) { report.cells.push_back({row, 1, static_cast<int>(state)}); });
}

void WindowJobView::set_row_failures(int row, FailureColumn column, int count) {
    const int at = column == FailureColumn::Pc ? 2 : 3;
    record([=](Report& report) { report.cells.push_back({row, at, count}); });
}

void WindowJobView::set_progress(int finished) {
    record([finished](Report& report) { report.progress = finished; });
}

void WindowJobView::set_progress_text(const JobProgress& progress) {
    record([&progress](Report& report) {
        report.hasText = true;
        report.text = progress;
    });
}

bool WindowJobView::is_row_selected(int row) {
    const std::lock_guard<std::mutex> hold(reportLock);
    return selectedRow == row;
}

void WindowJobView::refresh_failure_box() {
    record([](Report& report) { report.refreshFailures = true; });
}

void WindowJobView::show_message(const char* text, const char* caption, MessageIcon icon) {
    if (jobMessagesHeld.load()) return;
    const UINT iconFlag = icon == MessageIcon::Error     ? MB_ICONERROR
                          : icon == MessageIcon::Warning ? MB_ICONWARNING
                                                         : MB_ICONINFORMATION;
    // The rows and the label as they stand when the box comes up.
    on_window_thread([=] {
        show_job_progress(true);
        window_message(text, caption, MB_OK | iconFlag);
    });
}

void WindowJobView::job_finished() {
    on_window_thread([] {
        show_job_progress(true);
        KillTimer(mainWindow.main, JOB_VIEW_TIMER);
        EnableWindow(mainWindow.back, TRUE);
        EnableMenuItem(GetSystemMenu(mainWindow.main, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
        EnableWindow(mainWindow.close, TRUE);
        HWND focus = GetFocus();
        if (focus == nullptr || !IsWindowEnabled(focus)) focus_page();
    });
}
