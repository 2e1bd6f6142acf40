// The window's side of the move job's view: the job's calls, made on the
// job's thread, shown by the window's own thread.
#pragma once

#include <windows.h>

#include <atomic>

#include "engine/move_job_view.h"

// The main window's private message that carries one view operation over to
// the window's thread; lParam points at the operation, which the sender
// keeps alive until SendMessage returns.
inline constexpr UINT WM_JOB_VIEW_CALL = WM_APP + 1;

// The timer that shows the job's progress while it runs, 10 times a second:
// quicker than anyone reads a row, and cheap for the window.
inline constexpr UINT_PTR JOB_VIEW_TIMER = 1;
inline constexpr UINT JOB_VIEW_TICK_MS = 100;
// The list follows the job's row at most this often.
inline constexpr ULONGLONG JOB_VIEW_SCROLL_MS = 500;

// The main window's handling of WM_JOB_VIEW_CALL: runs the operation. Returns 0.
LRESULT run_job_view_call(LPARAM call);

// On the window's thread: starts the timer (when a job starts).
void start_job_view_timer();
// On the window's thread: shows what the job has reported since the last
// call, the rows that changed and the latest progress. The timer calls it;
// `everything` also scrolls to the job's row however recently the list
// scrolled (before a message box and at the job's end).
void show_job_progress(bool everything = false);
// On the window's thread, whenever the list's selection may have changed:
// the row now selected (-1 for none), which is_row_selected answers from.
void note_selected_row(int row);

// The job must never wait for the window between rows: a window busy with
// painting, or slowed by a remote desktop, would hold back the downloads.
// So the row, progress and failure-box operations only record what changed,
// under a small lock, and return; the window shows it at its next tick.
// Only the operations that must be seen before the job goes on wait for
// the window's thread, which first shows everything recorded: the message
// boxes (the job waits while one is open) and the job's end. The window's
// thread waits for the job only when the session ends, and then runs the
// sends while it waits, so they cannot deadlock.
//
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
