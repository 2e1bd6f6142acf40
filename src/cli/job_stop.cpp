#include "cli/job_stop.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <csignal>

#include "engine/move_job.h"

namespace {

extern "C" void request_cancel(int signal) {
#ifdef _WIN32
    std::signal(signal, request_cancel);  // the C runtime disarms a handler as it runs it
#else
    (void)signal;
#endif
    // Only ever set: a second Ctrl+C while the package is saved changes nothing.
    cancelRequested.store(1);
}

#ifdef _WIN32

// Set when the job has ended and all is said: the close, logoff and
// shutdown handlers hold the process open until then.
HANDLE jobOver = nullptr;

// What Windows shows beside the program while it holds a shutdown up.
const wchar_t SAVING_REASON[] = L"正在保存数据包…";
// The end of the session may wait longer than a console's close: the
// system shows the reason meanwhile, and the user may end the program.
constexpr DWORD END_SESSION_WAIT_MS = 60000;

LRESULT CALLBACK session_window(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            cancelRequested.store(1);
            ShutdownBlockReasonCreate(window, SAVING_REASON);
            return TRUE;
        case WM_ENDSESSION:
            // The process ends when this returns: not before the package is saved.
            if (wParam != 0) WaitForSingleObject(jobOver, END_SESSION_WAIT_MS);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Logoff and shutdown reach a program linked with user32 only through a
// top-level window's messages, not through the console: a hidden one on a
// thread of its own, so that its wait holds nothing else up.
DWORD WINAPI session_thread(void*) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = session_window;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KelvaneCliSession";
    RegisterClassW(&windowClass);
    if (CreateWindowExW(0, windowClass.lpszClassName, L"kelvane-cli", WS_POPUP, 0, 0, 0, 0, nullptr,
                        nullptr, windowClass.hInstance, nullptr) == nullptr)
        return 0;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

#endif

}  // namespace

#ifdef _WIN32

int __stdcall console_event(unsigned long event) {
    cancelRequested.store(1);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // Close, logoff, shutdown: the process ends as this returns.
    if (jobOver != nullptr)
        WaitForSingleObject(jobOver, static_cast<DWORD>(CONSOLE_CLOSE_WAIT_S * 1000));
    return TRUE;
}

#endif

void ignore_broken_pipes() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void arm_job_stop() {
    std::signal(SIGINT, request_cancel);
    std::signal(SIGTERM, request_cancel);
#ifdef SIGHUP
    // Started under nohup: the seller wants the job to outlive the terminal.
    if (std::signal(SIGHUP, request_cancel) == SIG_IGN) std::signal(SIGHUP, SIG_IGN);
#endif
#ifdef _WIN32
    if (jobOver != nullptr) {
        ResetEvent(jobOver);  // a job of its own
        return;
    }
    jobOver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Console events come through this handler rather than the C runtime's
    // signals, which know nothing of a closed console.
    SetConsoleCtrlHandler(console_event, TRUE);
    HANDLE thread = CreateThread(nullptr, 0, session_thread, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
#endif
}

void job_stop_done() {
#ifdef _WIN32
    if (jobOver != nullptr) SetEvent(jobOver);
#endif
}
