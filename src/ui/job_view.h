// The window's side of the move job's view: the job's calls, made on the
// job's thread, carried out by the window's own thread.
#pragma once

#include <windows.h>

#include <atomic>

#include "engine/move_job_view.h"

// The main window's private message that carries one view operation over to
// the window's thread; lParam points at the operation, which the sender
// keeps alive until SendMessage returns.
inline constexpr UINT WM_JOB_VIEW_CALL = WM_APP + 1;

// The main window's handling of WM_JOB_VIEW_CALL: runs the operation. Returns 0.
LRESULT run_job_view_call(LPARAM call);

// Every operation is sent to the main window as WM_JOB_VIEW_CALL and carried
// out by the window's thread, in its message loop or in a modal loop it
// runs, while the job's thread waits. The controls are thus only ever
// touched by the thread that owns them, and the job's message boxes are the
// window thread's own, like the wizard's. The window's thread waits for the
// job only when the session ends, and then runs the sends while it waits.
// Set when the session ends: the job's messages are not shown, since nobody
// is there to answer them and the save must not wait for a click.
extern std::atomic<bool> jobMessagesHeld;

class WindowJobView : public MoveJobView {
  public:
    void ensure_row_visible(int row) override;
    void set_row_status(int row, ItemState state) override;
    void set_row_failures(int row, FailureColumn column, int count) override;
    void set_progress(int finished) override;
    void set_progress_text(const JobProgress& progress) override;
    bool is_row_selected(int row) override;
    void refresh_failure_box() override;
    void show_message(const char* text, const char* caption, MessageIcon icon) override;
    void job_finished() override;
};
