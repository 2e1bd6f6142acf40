// The item list and the failure box on page 2, and the window side of the
// move job's view.
#pragma once

#include <windows.h>

#include "engine/move_job_view.h"
#include "package/data_package.h"

// Creates the list's columns, extended style and row-height image list.
void item_list_setup(HWND list);
// Adds the row of `item` at its index: title, "等待", two empty counts.
void insert_item_row(const ItemRecord* item);
// Fills the failure box from the selected row (the list's LVN_ITEMCHANGED).
void rebuild_failure_box();
// WM_NOTIFY of the main window and panels.
LRESULT item_list_notify(const NMHDR* header);

// Carries each operation out on the window's thread by sending a message.
class WindowJobView : public MoveJobView {
  public:
    void ensure_row_visible(int row) override;
    void set_row_status(int row, const char* text) override;
    void set_row_failures(int row, FailureColumn column, int count) override;
    void set_progress(int finished) override;
    void set_progress_text(const char* text) override;
    bool is_row_selected(int row) override;
    void refresh_failure_box() override;
    void show_message(const char* text, const char* caption, MessageIcon icon) override;
    void job_finished() override;
};
