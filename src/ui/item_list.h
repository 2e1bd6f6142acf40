// The item list and the failure box on page 2.
#pragma once

#include <windows.h>

#include "package/data_package.h"

// Creates the list's columns, extended style and row-height image list.
void item_list_setup(HWND list);
// Column widths and row height for the window's DPI.
void item_list_fit_dpi();
// Adds the row of `item` at its index: title, "等待", two empty counts.
void insert_item_row(const ItemRecord* item);
// Sets a cell of `row`: column 1 the status, 2 and 3 the failure counts.
void set_item_cell(int row, int column, const char* text);
// Fills the failure box from the selected row (when the list's selection
// changes, and when the job has finished the selected item).
void rebuild_failure_box();
// WM_NOTIFY of the main window and panels.
LRESULT item_list_notify(const NMHDR* header);
