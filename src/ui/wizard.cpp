#include "ui/wizard.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "package/data_package.h"
#include "package/load_package.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/files.h"
#include "shell/ptr_vector.h"
#include "ui/item_list.h"
#include "ui/job_view.h"
#include "ui/main_window.h"
#include "ui/maker_pages.h"
#include "ui/shell_services.h"
#include "ui/ui_choices.h"
#include "ui/wide_text.h"

namespace {

// The process's one data package, used by the job while it runs.
DataPackage package{};
MoveOptions jobOptions{};
WindowJobView jobView;
// Held from loading the package until the next load, Back or the end of the
// process: no other job (the console's, another window's) may move the
// package this window shows, nor save over what this window's job saves.
platform::PackageLock* packageLock = nullptr;
// The folder dialog's start selection: allocated at its first use, then reused.
wchar_t* folderStart = nullptr;
constexpr size_t FOLDER_START_SIZE = 1024;

// A path box's text as the program's paths are held, GB18030, so that a
// name of any characters is carried whole: the package's own path never
// goes into the package, and the image folder's is checked before the job
// (it must be GBK). False, with `out` empty, when the path does not fit.
bool read_path(HWND control, char* out, size_t capacity) {
    return to_gb18030(window_text(control).c_str(), out, capacity);
}

bool ticked(HWND option) {
    return SendMessageW(option, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void set_accept_files(bool accept) {
    // Sets or clears WS_EX_ACCEPTFILES, the way the shell expects it changed.
    DragAcceptFiles(mainWindow.main, accept ? TRUE : FALSE);
}

void warn(const char* text, HWND focus) {
    window_message(text, "提示", MB_OK | MB_ICONWARNING);
    if (focus != nullptr) SetFocus(focus);
}

void set_cursor(LPCWSTR which) {
    SetCursor(LoadCursorW(nullptr, which));
}

void set_text(HWND control, const char* text) {
    SetWindowTextW(control, wide(text).c_str());
}

void choose_package() {
    wchar_t file[MAX_PATH] = L"";
    // One pair of description and pattern, each ended by a NUL, and a NUL after the last.
    std::wstring filter = wide("csv文件 (*.csv)");
    filter += L'\0';
    filter += L"*.csv";
    filter += L'\0';
    const std::wstring title = wide("选择淘宝助理导出的数据包(CSV)文件");
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow.main;
    dialog.hInstance = mainWindow.instance;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (GetOpenFileNameW(&dialog)) SetWindowTextW(mainWindow.pathBox, file);
}

void reset_page_two() {
    item_list_clear(package.items);
    std::free(package.text);
    package.text = nullptr;
    SendMessageW(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    note_selected_row(-1);  // deleting the rows tells no selection change
    EnableWindow(mainWindow.next, TRUE);
    EnableWindow(mainWindow.optionImageSpace, TRUE);
    EnableWindow(mainWindow.optionThirdParty, TRUE);
    EnableWindow(mainWindow.optionBlank, TRUE);
    EnableWindow(mainWindow.browse, TRUE);
    EnableWindow(mainWindow.back, TRUE);
    SendMessageW(mainWindow.optionImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(mainWindow.optionThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(mainWindow.optionBlank, BM_SETCHECK, BST_UNCHECKED, 0);
    SetWindowTextW(mainWindow.folderBox, L"");
}

void show_loaded_package() {
    const int count = package.items->count;
    for (int i = 0; i < count; ++i)
        insert_item_row(static_cast<const ItemRecord*>(ptr_vector_get(package.items, i)));
    char label[64];
    std::snprintf(label, sizeof label, "搬家进度(宝贝数:%d)", count);
    set_text(mainWindow.progressLabel, label);
    ShowWindow(mainWindow.panel1, SW_HIDE);
    ShowWindow(mainWindow.panel2, SW_SHOW);
    set_text(mainWindow.next, "开始搬家");
    ShowWindow(mainWindow.back, SW_SHOW);
    SetWindowTextW(mainWindow.failureBox, L"");
    // The 32-bit range: a package may hold more items than 16 bits can count.
    SendMessageW(mainWindow.progressBar, PBM_SETRANGE32, 0, count);
    SendMessageW(mainWindow.progressBar, PBM_SETPOS, 0, 0);
    mainWindow.page = 2;
    set_accept_files(false);
    focus_page();
}

void release_package() {
    platform::unlock_package(packageLock);
    packageLock = nullptr;
}

void load_package() {
    if (!read_path(mainWindow.pathBox, package.path, PATH_BUFFER_SIZE)) {
        warn(PACKAGE_PATH_TOO_LONG_MESSAGE, mainWindow.choosePackage);
        return;
    }
    if (const char* refusal = check_package_path(package.path)) {
        warn(refusal, mainWindow.choosePackage);
        return;
    }
    if (package.items != nullptr) reset_page_two();
    release_package();
    // Taken before the read, so that the text shown is one no other job can
    // save over while this window has it.
    const platform::LockResult locked = platform::lock_package(package.path, &packageLock);
    if (locked == platform::LockResult::Held) {
        warn(PACKAGE_IN_USE_MESSAGE, mainWindow.choosePackage);
        return;
    }
    if (locked == platform::LockResult::Failed)
        app_log_format(PACKAGE_UNLOCKED_LOG_FORMAT, package.path, platform::last_file_error());
    set_cursor(reinterpret_cast<LPCWSTR>(IDC_WAIT));
    static char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(package.path, &package, message);
    set_cursor(reinterpret_cast<LPCWSTR>(IDC_ARROW));
    if (result == ReadResult::Ok) {
        show_loaded_package();
        return;
    }
    release_package();
    if (result == ReadResult::TitleTooLong) {
        warn(message, mainWindow.choosePackage);
        return;
    }
    const size_t used = std::strlen(message);
    std::snprintf(message + used, sizeof message - used, "%s", CONVERSION_GUIDE_QUESTION);
    if (window_message(message, "提示", MB_YESNO | MB_ICONQUESTION) == IDYES) {
        open_url(CONVERSION_GUIDE_URL);
    }
    SetFocus(mainWindow.choosePackage);
}

void go_back() {
    release_package();  // the next job starts with a new load
    ShowWindow(mainWindow.panel1, SW_SHOW);
    ShowWindow(mainWindow.panel2, SW_HIDE);
    set_text(mainWindow.next, "下一步");
    ShowWindow(mainWindow.back, SW_HIDE);
    EnableWindow(mainWindow.next, TRUE);
    mainWindow.page = 1;
    set_accept_files(true);
    focus_page();
}

int CALLBACK folder_dialog_event(HWND dialog, UINT message, LPARAM lParam, LPARAM) {
    if (message == BFFM_INITIALIZED) {
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folderStart));
    } else if (message == BFFM_SELCHANGED) {
        wchar_t path[MAX_PATH] = L"";
        SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path);
        PostMessageW(dialog, BFFM_ENABLEOK, 0, path[0] != L'\0');
    }
    return 0;
}

void choose_folder() {
    // The folder box as it stands, whatever characters it holds.
    const std::wstring current = window_text(mainWindow.folderBox);
    if (folderStart == nullptr) {
        folderStart = static_cast<wchar_t*>(xcalloc(FOLDER_START_SIZE, sizeof(wchar_t)));
    }
    folderStart[current.copy(folderStart, FOLDER_START_SIZE - 1)] = L'\0';
    wchar_t folder[MAX_PATH] = L"";
    const std::wstring title = wide("图片搬家到：");
    BROWSEINFOW browse{};
    browse.hwndOwner = mainWindow.main;
    browse.pszDisplayName = folder;
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    browse.lpfn = folder_dialog_event;
    // The new dialog style needs COM on this thread; nothing else here uses it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
    if (SUCCEEDED(com)) CoUninitialize();
    if (chosen == nullptr) return;
    // MAX_PATH characters: the same size as the folder buffer.
    const BOOL found = SHGetPathFromIDListW(chosen, folder);
    CoTaskMemFree(chosen);
    if (found) SetWindowTextW(mainWindow.folderBox, folder);
}

unsigned __stdcall job_thread(void*) {
    const MoveJobOutcome outcome = run_move_job(&package, jobOptions, &jobView);
    // Interrupted or stopped: the package has been saved as far as it got (or
    // left as another program had written it).
    if (outcome != MoveJobOutcome::Finished) ExitProcess(0);
    return 0;
}

void start_job() {
    MoveOptions options{};
    const bool folderFits = read_path(mainWindow.folderBox, options.targetFolder, PATH_BUFFER_SIZE);
    options.moveImageSpace = ticked(mainWindow.optionImageSpace);
    options.moveThirdParty = ticked(mainWindow.optionThirdParty);
    options.blankForFailed = ticked(mainWindow.optionBlank);
    char desktop[PATH_BUFFER_SIZE];
    if (!platform::desktop_folder(desktop, sizeof desktop)) desktop[0] = '\0';
    StartRefusal refusal = check_move_start(options, desktop);
    // Only the source options are checked before the folder's length.
    if (!folderFits && refusal != StartRefusal::NoSourceOption) refusal = StartRefusal::PathTooLong;
    if (refusal == StartRefusal::None)
        refusal = check_job_files(options, package.path, package.items->count);
    if (refusal != StartRefusal::None) {
        warn(start_refusal_text(refusal), start_check_focus(refusal));
        return;
    }
    EnableWindow(mainWindow.optionImageSpace, FALSE);
    EnableWindow(mainWindow.optionThirdParty, FALSE);
    EnableWindow(mainWindow.optionBlank, FALSE);
    EnableWindow(mainWindow.browse, FALSE);
    EnableWindow(mainWindow.back, FALSE);
    EnableWindow(mainWindow.next, FALSE);
    // The focus was on a control now disabled (Next, when Enter started the job).
    focus_page();
    jobOptions = options;
    // Set before the thread exists, so that a close in the moment before the
    // job starts still asks and lets the job save.
    running.store(1);
    start_job_view_timer();
    const uintptr_t thread = _beginthreadex(nullptr, 0, job_thread, nullptr, 0, nullptr);
    if (thread == 0) {
        window_message("启动图片搬家线程失败", "提示", MB_OK | MB_ICONERROR);
        ExitProcess(static_cast<UINT>(-1));
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace

HWND start_check_focus(StartRefusal refusal) {
    return refusal == StartRefusal::NoSourceOption ? mainWindow.optionImageSpace
                                                   : mainWindow.browse;
}

void wizard_command(int controlId) {
    switch (controlId) {
        case ID_CHOOSE_PACKAGE:
            choose_package();
            break;
        case ID_BROWSE:
            choose_folder();
            break;
        case ID_BACK:
            go_back();
            break;
        case ID_NEXT:
            if (mainWindow.page == 1) {
                load_package();
            } else {
                start_job();
            }
            break;
        case ID_CLOSE:
            SendMessageW(mainWindow.main, WM_CLOSE, 0, 0);
            break;
        default:
            break;
    }
}

void wizard_drop_files(HDROP drop) {
    SetWindowPos(mainWindow.main, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(mainWindow.main);
    set_cursor(reinterpret_cast<LPCWSTR>(IDC_WAIT));
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        // A name too long for the path buffer would arrive cut, naming another file.
        if (DragQueryFileW(drop, i, nullptr, 0) >= MAX_PATH) continue;
        wchar_t name[MAX_PATH];
        if (DragQueryFileW(drop, i, name, MAX_PATH) == 0) continue;
        name[MAX_PATH - 1] = L'\0';
        char narrow[PATH_BUFFER_SIZE * 4];
        if (!to_gb18030(name, narrow, sizeof narrow)) continue;
        const char* names[] = {narrow};
        if (choose_dropped_name(names, 1) == 0) {
            SetWindowTextW(mainWindow.pathBox, name);
            break;
        }
    }
    DragFinish(drop);
    set_cursor(reinterpret_cast<LPCWSTR>(IDC_ARROW));
    SetWindowPos(mainWindow.main, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void wizard_close() {
    if (!running.load()) ExitProcess(0);
    if (window_message("正在搬家，确定要关闭吗？", "确认", MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
        return;
    }
    if (!running.load()) ExitProcess(0);
    cancelRequested.store(1);
    EnableWindow(mainWindow.close, FALSE);
    EnableMenuItem(GetSystemMenu(mainWindow.main, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

BOOL wizard_query_end_session() {
    if (running.load() != 0) {
        jobMessagesHeld.store(true);
        cancelRequested.store(1);
        ShutdownBlockReasonCreate(mainWindow.main, L"正在保存数据包…");
    }
    return TRUE;
}

void wizard_end_session() {
    if (running.load() != 0) {
        jobMessagesHeld.store(true);
        cancelRequested.store(1);
    }
    // The job's calls wait for this thread: run while the job reaches its save.
    MSG message;
    while (running.load() != 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_SENDMESSAGE);
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    ExitProcess(0);
}

void wizard_open_link(HWND link) {
    open_url(link == mainWindow.tutorialLink ? TUTORIAL_URL : HOME_URL);
}
