#include "ui/item_list.h"

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "engine/failure_text.h"
#include "engine/move_job_view.h"
#include "ui/job_view.h"
#include "ui/main_window.h"
#include "ui/ui_choices.h"
#include "ui/wide_text.h"

namespace {

struct Column {
    const char* header;
    int width;
    int format;
};

const Column COLUMNS[] = {
    {"宝贝标题", 340, LVCFMT_LEFT},
    {"状态", 80, LVCFMT_CENTER},
    {"电脑端失败数", 96, LVCFMT_CENTER},
    {"手机端失败数", 96, LVCFMT_CENTER},
};

}  // namespace

void set_item_cell(int row, int column, const char* text) {
    std::wstring shown = wide(text);
    LVITEMW cell{};
    cell.iSubItem = column;
    cell.pszText = shown.data();
    SendMessageW(mainWindow.itemList, LVM_SETITEMTEXTW, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&cell));
}

void item_list_setup(HWND list) {
    const DWORD extended = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);

    for (int i = 0; i < 4; ++i) {
        std::wstring header = wide(COLUMNS[i].header);
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = COLUMNS[i].format;
        column.cx = COLUMNS[i].width;
        column.pszText = header.data();
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
    item_list_fit_dpi();
}

void item_list_fit_dpi() {
    HWND list = mainWindow.itemList;
    for (int i = 0; i < 4; ++i) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i),
                     scale_for_dpi(COLUMNS[i].width, mainWindow.dpi));
    }
    // An image list of empty 1 x 19 images (at 96 DPI) only sets the row height.
    HIMAGELIST rowHeight =
        ImageList_Create(1, scale_for_dpi(19, mainWindow.dpi), ILC_COLOR24 | ILC_MASK, 3, 1);
    auto old = reinterpret_cast<HIMAGELIST>(
        SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight)));
    if (old != nullptr) ImageList_Destroy(old);
}

void insert_item_row(const ItemRecord* item) {
    std::wstring title = wide(item->name);
    LVITEMW row{};
    row.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    row.iItem = item->index;
    row.pszText = title.data();
    row.iImage = 0;
    row.lParam = reinterpret_cast<LPARAM>(item);
    const int at = static_cast<int>(
        SendMessageW(mainWindow.itemList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    set_item_cell(at, 1, item_state_text(ItemState::Waiting));
    set_item_cell(at, 2, "");
    set_item_cell(at, 3, "");
}

void rebuild_failure_box() {
    HWND list = mainWindow.itemList;
    // The list allows one selected row at most: the first is the one.
    const int row = static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    note_selected_row(row);
    const ItemRecord* selected = nullptr;
    if (row >= 0) {
        LVITEMW item{};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) {
            selected = reinterpret_cast<const ItemRecord*>(item.lParam);
        }
    }
    // Empty unless the item is finished and has failures; the status is read
    // with acquire order inside, so the job's last list changes are visible.
    static char text[FAILURE_TEXT_SIZE];
    text[0] = '\0';
    if (selected != nullptr) format_failure_text(selected, text);
    SetWindowTextW(mainWindow.failureBox, wide(text).c_str());
}

LRESULT item_list_notify(const NMHDR* header) {
    if (header == nullptr || header->hwndFrom != mainWindow.itemList ||
        header->code != LVN_ITEMCHANGED) {
        return 0;
    }
    // Only a change of the selection: the job's row texts change items too,
    // and a rebuild for each of them would hold the window up.
    const auto* change = reinterpret_cast<const NMLISTVIEW*>(header);
    if ((change->uChanged & LVIF_STATE) != 0 &&
        ((change->uOldState ^ change->uNewState) & LVIS_SELECTED) != 0) {
        rebuild_failure_box();
    }
    return 0;
}
