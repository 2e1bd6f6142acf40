// What a move job may do to its front end, and nothing more: the window, the
// console program and the tests' recorder each implement these operations.
// The job calls them from its own thread, one at a time; every call returns
// only when the front end has carried it out. Texts are GBK.
#pragma once

// The two failure-count columns of the item list.
enum class FailureColumn { Pc, Mobile };

enum class MessageIcon { Error, Warning, Information };

class MoveJobView {
  public:
    virtual ~MoveJobView() = default;

    // Scroll the item list until `row` is at least partly visible.
    virtual void ensure_row_visible(int row) = 0;
    // The row's status column shows `text` ("搬家中", "完成").
    virtual void set_row_status(int row, const char* text) = 0;
    // The row's failure column shows `count` (never called with 0).
    virtual void set_row_failures(int row, FailureColumn column, int count) = 0;
    // The progress bar stands at `finished` (its range is 0 to the item count).
    virtual void set_progress(int finished) = 0;
    // The progress label shows `text`.
    virtual void set_progress_text(const char* text) = 0;
    // Whether `row` is selected in the item list.
    virtual bool is_row_selected(int row) = 0;
    // Rebuild the failure-address box from the selected row.
    virtual void refresh_failure_box() = 0;
    // A modal message with an OK button; returns once the user closed it.
    virtual void show_message(const char* text, const char* caption, MessageIcon icon) = 0;
    // The job is over: give back Back and Close (Start stays off until a reload).
    virtual void job_finished() = 0;
};
