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

#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "package/data_package.h"
#include "package/load_messages.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/files.h"
#include "shell/memory.h"
#include "shell/ptr_vector.h"
#include "ui/item_list.h"
#include "ui/job_view.h"
#include "ui/main_window.h"
#include "ui/maker_pages.h"
#include "ui/shell_services.h"
#include "ui/ui_choices.h"

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
char* folderStart = nullptr;
constexpr size_t FOLDER_START_SIZE = 1024;

void read_text(HWND control, char* out, int capacity) {
    out[0] = '\0';
    GetWindowTextA(control, out, capacity);
    out[capacity - 1] = '\0';
}

bool ticked(HWND option) {
    return SendMessageA(option, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void set_accept_files(bool accept) {
    // Sets or clears WS_EX_ACCEPTFILES, the way the shell expects it changed.
    DragAcceptFiles(mainWindow.main, accept ? TRUE : FALSE);
}

void warn(const char* text, HWND focus) {
    window_message(text, "提示", MB_OK | MB_ICONWARNING);
    if (focus != nullptr) SetFocus(focus);
}

void set_cursor(LPCSTR which) {
    SetCursor(LoadCursorA(nullptr, which));
}

void choose_package() {
    char file[PATH_BUFFER_SIZE] = "";
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow.main;
    dialog.hInstance = mainWindow.instance;
    dialog.lpstrFilter = "csv文件 (*.csv)\0*.csv\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrTitle = "选择淘宝助理导出的数据包(CSV)文件";
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (GetOpenFileNameA(&dialog)) SetWindowTextA(mainWindow.pathBox, file);
}

void reset_page_two() {
    item_list_clear(package.items);
    std::free(package.text);
    package.text = nullptr;
    SendMessageA(mainWindow.itemList, LVM_DELETEALLITEMS, 0, 0);
    EnableWindow(mainWindow.next, TRUE);
    EnableWindow(mainWindow.optionImageSpace, TRUE);
    EnableWindow(mainWindow.optionThirdParty, TRUE);
    EnableWindow(mainWindow.optionBlank, TRUE);
    EnableWindow(mainWindow.browse, TRUE);
    EnableWindow(mainWindow.back, TRUE);
    SendMessageA(mainWindow.optionImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(mainWindow.optionThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(mainWindow.optionBlank, BM_SETCHECK, BST_UNCHECKED, 0);
    SetWindowTextA(mainWindow.folderBox, "");
}

void show_loaded_package() {
    const int count = package.items->count;
    for (int i = 0; i < count; ++i)
        insert_item_row(static_cast<const ItemRecord*>(ptr_vector_get(package.items, i)));
    char label[64];
    std::snprintf(label, sizeof label, "搬家进度(宝贝数:%d)", count);
    SetWindowTextA(mainWindow.progressLabel, label);
    ShowWindow(mainWindow.panel1, SW_HIDE);
    ShowWindow(mainWindow.panel2, SW_SHOW);
    SetWindowTextA(mainWindow.next, "开始搬家");
    ShowWindow(mainWindow.back, SW_SHOW);
    SetWindowTextA(mainWindow.failureBox, "");
    // The 32-bit range: a package may hold more items than 16 bits can count.
    SendMessageA(mainWindow.progressBar, PBM_SETRANGE32, 0, count);
    SendMessageA(mainWindow.progressBar, PBM_SETPOS, 0, 0);
    mainWindow.page = 2;
    set_accept_files(false);
}

void release_package() {
    platform::unlock_package(packageLock);
    packageLock = nullptr;
}

void load_package() {
    read_text(mainWindow.pathBox, package.path, PATH_BUFFER_SIZE);
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
    set_cursor(IDC_WAIT);
    static char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(package.path, &package, message);
    set_cursor(IDC_ARROW);
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
    SetWindowTextA(mainWindow.next, "下一步");
    ShowWindow(mainWindow.back, SW_HIDE);
    EnableWindow(mainWindow.next, TRUE);
    mainWindow.page = 1;
    set_accept_files(true);
}

int CALLBACK folder_dialog_event(HWND dialog, UINT message, LPARAM lParam, LPARAM) {
    if (message == BFFM_INITIALIZED) {
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(folderStart));
    } else if (message == BFFM_SELCHANGED) {
        char path[MAX_PATH] = "";
        SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path);
        PostMessageA(dialog, BFFM_ENABLEOK, 0, path[0] != '\0');
    }
    return 0;
}

void choose_folder() {
    char folder[PATH_BUFFER_SIZE];
    read_text(mainWindow.folderBox, folder, PATH_BUFFER_SIZE);
    if (folderStart == nullptr) folderStart = static_cast<char*>(xcalloc(FOLDER_START_SIZE, 1));
    std::snprintf(folderStart, FOLDER_START_SIZE, "%s", folder);
    BROWSEINFOA browse{};
    browse.hwndOwner = mainWindow.main;
    browse.pszDisplayName = folder;
    browse.lpszTitle = "图片搬家到：";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    browse.lpfn = folder_dialog_event;
    // The new dialog style needs COM on this thread; nothing else here uses it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&browse);
    if (SUCCEEDED(com)) CoUninitialize();
    if (chosen == nullptr) return;
    // MAX_PATH bytes: the same size as the folder buffer.
    const BOOL found = SHGetPathFromIDListA(chosen, folder);
    CoTaskMemFree(chosen);
    if (found) SetWindowTextA(mainWindow.folderBox, folder);
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
    read_text(mainWindow.folderBox, options.targetFolder, PATH_BUFFER_SIZE);
    options.moveImageSpace = ticked(mainWindow.optionImageSpace);
    options.moveThirdParty = ticked(mainWindow.optionThirdParty);
    options.blankForFailed = ticked(mainWindow.optionBlank);
    char desktop[PATH_BUFFER_SIZE];
    if (!special_folder_path(CSIDL_DESKTOP_FOLDER, desktop)) desktop[0] = '\0';
    StartRefusal refusal = check_move_start(options, desktop);
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
    jobOptions = options;
    // Set before the thread exists, so that a close in the moment before the
    // job starts still asks and lets the job save.
    running.store(1);
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
            SendMessageA(mainWindow.main, WM_CLOSE, 0, 0);
            break;
        default:
            break;
    }
}

void wizard_drop_files(HDROP drop) {
    SetWindowPos(mainWindow.main, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(mainWindow.main);
    set_cursor(IDC_WAIT);
    const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        // A name too long for the path buffer would arrive cut, naming another file.
        if (DragQueryFileA(drop, i, nullptr, 0) >= PATH_BUFFER_SIZE) continue;
        char name[PATH_BUFFER_SIZE];
        if (DragQueryFileA(drop, i, name, sizeof name) == 0) continue;
        name[sizeof name - 1] = '\0';
        const char* names[] = {name};
        if (choose_dropped_name(names, 1) == 0) {
            SetWindowTextA(mainWindow.pathBox, name);
            break;
        }
    }
    DragFinish(drop);
    set_cursor(IDC_ARROW);
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
