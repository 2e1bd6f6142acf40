#include "ui/item_list.h"

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "engine/failure_text.h"
#include "engine/move_job_view.h"
#include "shell/charset.h"
#include "ui/main_window.h"

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

// Text from the package (GB18030) as the wide string a control shows: the
// ANSI messages would pass it through code page 936 and lose every
// character GBK lacks, such as an emoji in a title.
std::wstring shown(const char* text) {
    char16_t* utf16 = gb18030_to_utf16(text);
    std::wstring out;
    for (const char16_t* unit = utf16; *unit != u'\0'; ++unit) out += static_cast<wchar_t>(*unit);
    std::free(utf16);
    return out;
}

}  // namespace

void set_item_cell(int row, int column, const char* text) {
    LVITEMA cell{};
    cell.iSubItem = column;
    cell.pszText = const_cast<char*>(text);
    SendMessageA(mainWindow.itemList, LVM_SETITEMTEXTA, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&cell));
}

bool item_row_selected(int row) {
    return SendMessageA(mainWindow.itemList, LVM_GETITEMSTATE, static_cast<WPARAM>(row),
                        LVIS_SELECTED) == LVIS_SELECTED;
}

void item_list_setup(HWND list) {
    const DWORD extended = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    // An image list of empty 1 x 19 images only sets the row height.
    HIMAGELIST rowHeight = ImageList_Create(1, 19, ILC_COLOR24 | ILC_MASK, 3, 1);
    SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight));
    for (int i = 0; i < 4; ++i) {
        LVCOLUMNA column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = COLUMNS[i].format;
        column.cx = COLUMNS[i].width;
        column.pszText = const_cast<char*>(COLUMNS[i].header);
        SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
}

void insert_item_row(const ItemRecord* item) {
    std::wstring title = shown(item->name);
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
    if (SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0) < 1) {
        SetWindowTextA(mainWindow.failureBox, "");
        return;
    }
    const ItemRecord* selected = nullptr;
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        if (!item_row_selected(row)) continue;
        LVITEMA item{};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (!SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) continue;
        selected = reinterpret_cast<const ItemRecord*>(item.lParam);
    }
    // Empty unless the item is finished and has failures; the status is read
    // with acquire order inside, so the job's last list changes are visible.
    static char text[FAILURE_TEXT_SIZE];
    text[0] = '\0';
    if (selected != nullptr) format_failure_text(selected, text);
    SetWindowTextW(mainWindow.failureBox, shown(text).c_str());  // the addresses are package text
}

LRESULT item_list_notify(const NMHDR* header) {
    if (header != nullptr && header->hwndFrom == mainWindow.itemList &&
        header->code == LVN_ITEMCHANGED) {
        rebuild_failure_box();
    }
    return 0;
}
