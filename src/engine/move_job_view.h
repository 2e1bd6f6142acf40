// What a move job may do to its front end, and nothing more: the window, the
// console program and the tests' recorder each implement these operations.
// The job calls them from its own thread, one at a time; every call returns
// only when the front end has carried it out. The job hands over states and
// numbers, never texts to be read back: a front end that shows them gets the
// window's wording from item_state_text and format_progress_text. Texts are GBK.
#pragma once

#include <cstddef>

// Where an item stands; its row's status column says so.
enum class ItemState { Waiting, Moving, Moved };

// The status column's text: "等待", "搬家中", "完成".
const char* item_state_text(ItemState state);

// The two failure-count columns of the item list.
enum class FailureColumn { Pc, Mobile };

enum class MessageIcon { Error, Warning, Information };

// What the progress label reports: the items finished so far and, once the
// job has reached it, how far the package update has come.
struct JobProgress {
    int items;               // in the package
    int done;                // finished items
    bool updating = false;   // the package update has begun
    int updatePercent = -1;  // its whole percentage, -1 before the first one
};

// Room for any label format_progress_text writes.
inline constexpr size_t PROGRESS_TEXT_SIZE = 160;

// The label as the window shows it: "搬家进度(宝贝数:%d, 已搬家宝贝数:%d)",
// while updating followed by ", 正在更新csv文件..." and then "(%d%%)".
void format_progress_text(const JobProgress& progress, char (&out)[PROGRESS_TEXT_SIZE]);

class MoveJobView {
  public:
    virtual ~MoveJobView() = default;

    // Scroll the item list until `row` is at least partly visible.
    virtual void ensure_row_visible(int row) = 0;
    // The row's item has entered `state` (Moving, then Moved).
    virtual void set_row_status(int row, ItemState state) = 0;
    // The row's failure column shows `count` (never called with 0).
    virtual void set_row_failures(int row, FailureColumn column, int count) = 0;
    // The progress bar stands at `finished` (its range is 0 to the item count).
    virtual void set_progress(int finished) = 0;
    // The progress label reports `progress`.
    virtual void set_progress_text(const JobProgress& progress) = 0;
    // Whether `row` is selected in the item list.
    virtual bool is_row_selected(int row) = 0;
    // Rebuild the failure-address box from the selected row.
    virtual void refresh_failure_box() = 0;
    // A modal message with an OK button; returns once the user closed it.
    virtual void show_message(const char* text, const char* caption, MessageIcon icon) = 0;
    // The job is over: give back Back and Close (Start stays off until a reload).
    virtual void job_finished() = 0;
};

// Carries out nothing and sees no row selected: a front end or a test
// overrides only the operations it has a use for.
class NullJobView : public MoveJobView {
  public:
    void ensure_row_visible(int) override {}
    void set_row_status(int, ItemState) override {}
    void set_row_failures(int, FailureColumn, int) override {}
    void set_progress(int) override {}
    void set_progress_text(const JobProgress&) override {}
    bool is_row_selected(int) override { return false; }
    void refresh_failure_box() override {}
    void show_message(const char*, const char*, MessageIcon) override {}
    void job_finished() override {}
};
