#include "ui/job_view.h"

#include <commctrl.h>

#include <cstdio>
#include <functional>

#include "ui/item_list.h"
#include "ui/main_window.h"

namespace {

using WindowCall = std::function<void()>;

// Returns once the window's thread has run `call`; run at once when this is
// the window's thread.
void on_window_thread(const WindowCall& call) {
    SendMessageA(mainWindow.main, WM_JOB_VIEW_CALL, 0, reinterpret_cast<LPARAM>(&call));
}

}  // namespace

std::atomic<bool> jobMessagesHeld{false};

LRESULT run_job_view_call(LPARAM call) {
    (*reinterpret_cast<const WindowCall*>(call))();
    return 0;
}

void WindowJobView::ensure_row_visible(int row) {
    on_window_thread([row] {
        SendMessageA(mainWindow.itemList, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), TRUE);
    });
}

void WindowJobView::set_row_status(int row, ItemState state) {
    on_window_thread([row, state] { set_item_cell(row, 1, item_state_text(state)); });
}

void WindowJobView::set_row_failures(int row, FailureColumn column, int count) {
    on_window_thread([row, column, count] {
        char text[16];
        std::snprintf(text, sizeof text, "%d", count);
        set_item_cell(row, column == FailureColumn::Pc ? 2 : 3, text);
    });
}

void WindowJobView::set_progress(int finished) {
    on_window_thread([finished] {
        SendMessageA(mainWindow.progressBar, PBM_SETPOS, static_cast<WPARAM>(finished), 0);
    });
}

void WindowJobView::set_progress_text(const JobProgress& progress) {
    on_window_thread([&progress] {
        char text[PROGRESS_TEXT_SIZE];
        format_progress_text(progress, text);
        SetWindowTextA(mainWindow.progressLabel, text);
    });
}

bool WindowJobView::is_row_selected(int row) {
    bool selected = false;
    on_window_thread([row, &selected] { selected = item_row_selected(row); });
    return selected;
}

void WindowJobView::refresh_failure_box() {
    on_window_thread(rebuild_failure_box);
}

void WindowJobView::show_message(const char* text, const char* caption, MessageIcon icon) {
    if (jobMessagesHeld.load()) return;
    const UINT iconFlag = icon == MessageIcon::Error     ? MB_ICONERROR
                          : icon == MessageIcon::Warning ? MB_ICONWARNING
                                                         : MB_ICONINFORMATION;
    on_window_thread([=] { window_message(text, caption, MB_OK | iconFlag); });
}

void WindowJobView::job_finished() {
    on_window_thread([] {
        EnableWindow(mainWindow.back, TRUE);
        EnableMenuItem(GetSystemMenu(mainWindow.main, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
        EnableWindow(mainWindow.close, TRUE);
    });
}
