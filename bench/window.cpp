// bench-window KELVANE.EXE KELVANE-CLI.EXE PACKAGE WORK-FOLDER [ROUNDS]
// The window against the console on the same package, under Wine (bench/window
// sets it up): each round runs kelvane-cli.exe move, then kelvane.exe driven as a
// seller drives it, each on a fresh copy of PACKAGE into an empty folder. A run
// is timed from the start of its process to the console's exit or to the
// window's final message, so both include starting, loading and saving.
// Paths are Windows paths.
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Seconds on a clock that never goes backwards.
double now() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), length);
    out.resize(out.size() - 1);
    return out;
}

// Polls `done` every `everyMs`, up to `seconds`.
template <typename Condition>
bool wait_for(Condition done, double seconds, DWORD everyMs = 20) {
    const double limit = now() + seconds;
    while (!done()) {
        if (now() > limit) return false;
        Sleep(everyMs);
    }
    return true;
}

// Empties a folder, or makes it.
void fresh_folder(const std::wstring& folder) {
    std::wstring from = folder;
    from.push_back(L'\0');  // a list of one name, ended by a second NUL
    SHFILEOPSTRUCTW remove{};
    remove.wFunc = FO_DELETE;
    remove.pFrom = from.c_str();
    remove.fFlags = FOF_NO_UI;
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) SHFileOperationW(&remove);
    CreateDirectoryW(folder.c_str(), nullptr);
}

int count_files(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int files = 0;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            files += count_files(folder + L"\\" + name);
        } else if (found.nFileSizeLow > 0 || found.nFileSizeHigh > 0) {
            ++files;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

struct Run {
    double seconds = -1;  // -1: it did not come to its end
    int images = 0;
    double shown = -1;   // the window: its main window is up
    double loaded = -1;  // the window: page 2 shows the loaded package
};

// The program folder of one run: the executable, no shortcut question.
std::wstring program_copy(const std::wstring& work, const std::wstring& exe, const wchar_t* name) {
    const std::wstring folder = work + L"\\" + name;
    fresh_folder(folder);
    const std::wstring copy = folder + L"\\" + exe.substr(exe.find_last_of(L"\\/") + 1);
    CopyFileW(exe.c_str(), copy.c_str(), FALSE);
    HANDLE marker = CreateFileW((folder + L"\\no_shortcut.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return copy;
}

bool start(const std::wstring& exe, std::wstring commandLine, PROCESS_INFORMATION* process) {
    STARTUPINFOW info{};
    info.cb = sizeof info;
    info.dwFlags = STARTF_USESHOWWINDOW;
    info.wShowWindow = SW_SHOWNORMAL;
    const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
    return CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, folder.c_str(), &info, process) != 0;
}

Run run_console(const std::wstring& cli, const std::wstring& package, const std::wstring& out,
                const std::wstring& work) {
    Run run;
    const std::wstring exe = program_copy(work, cli, L"console");
    PROCESS_INFORMATION process{};
    const double begin = now();
    if (!start(exe, L"\"" + exe + L"\" move \"" + package + L"\" --to \"" + out + L"\" --quiet",
               &process)) {
        return run;
    }
    if (WaitForSingleObject(process.hProcess, 3600 * 1000) == WAIT_OBJECT_0) {
        run.seconds = now() - begin;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.images = count_files(out);
    return run;
}

struct Search {
    DWORD process;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK find_window(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    if (owner == search->process && std::wstring(name) == search->className &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND window_of(DWORD process, const wchar_t* className) {
    Search search{process, className, nullptr};
    EnumWindows(find_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND control(HWND main, int id) {
    HWND found = nullptr;
    struct Find {
        int id;
        HWND* found;
        static BOOL CALLBACK each(HWND child, LPARAM param) {
            auto* find = reinterpret_cast<Find*>(param);
            if (GetDlgCtrlID(child) != find->id) return TRUE;
            *find->found = child;
            return FALSE;
        }
    } find{id, &found};
    EnumChildWindows(main, Find::each, reinterpret_cast<LPARAM>(&find));
    return found;
}

// The control identifiers of the window's path box, folder box and Next button.
constexpr int PATH_BOX = 36102;
constexpr int FOLDER_BOX = 36109;
constexpr int NEXT = 36116;

Run run_window(const std::wstring& kelvane, const std::wstring& package, const std::wstring& out,
               const std::wstring& work) {
    Run run;
    const std::wstring exe = program_copy(work, kelvane, L"window");
    PROCESS_INFORMATION process{};
    const double begin = now();
    if (!start(exe, L"\"" + exe + L"\"", &process)) return run;
    HWND main = nullptr;
    HWND box = nullptr;
    if (wait_for([&] { return (main = window_of(process.dwProcessId, L"CodeBlocksWindowsApp")); },
                 60)) {
        run.shown = now() - begin;
        SendMessageW(control(main, PATH_BOX), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(package.c_str()));
        PostMessageW(control(main, NEXT), BM_CLICK, 0, 0);
        // Page 2 shows once the package is loaded: the folder box is visible.
        HWND folder = control(main, FOLDER_BOX);
        if (wait_for([&] { return IsWindowVisible(folder) != 0; }, 600)) {
            run.loaded = now() - begin;
            SendMessageW(folder, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(out.c_str()));
            PostMessageW(control(main, NEXT), BM_CLICK, 0, 0);
            // The final message ends the job. Looked for four times a second:
            // under Wine each look walks every window through the wineserver,
            // and at 50 a second the looking took more of the machine than
            // the window being timed (a quarter second in 40 is 0.6%).
            if (wait_for([&] { return (box = window_of(process.dwProcessId, L"#32770")); }, 3600,
                         250)) {
                run.seconds = now() - begin;
            }
        }
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.images = count_files(out);
    return run;
}

struct Summary {
    double mean;
    double median;
    double best;
};

Summary summary(std::vector<double> runs) {
    std::sort(runs.begin(), runs.end());
    double total = 0;
    for (double run : runs) total += run;
    const size_t middle = runs.size() / 2;
    const double median =
        runs.size() % 2 == 1 ? runs[middle] : (runs[middle - 1] + runs[middle]) / 2;
    return {total / static_cast<double>(runs.size()), median, runs.front()};
}

void print(const char* label, int round, const Run& run) {
    if (run.seconds < 0) {
        std::printf("%-28s round %d: did not finish (%d images saved)\n", label, round, run.images);
    } else {
        std::printf("%-28s round %d: %8.2f s  %d images saved", label, round, run.seconds,
                    run.images);
        if (run.loaded >= 0) {
            std::printf(" (window up at %.2f s, package loaded at %.2f s)", run.shown, run.loaded);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::fputs("usage: bench-window KELVANE.EXE KELVANE-CLI.EXE PACKAGE WORK-FOLDER [ROUNDS]\n",
                   stderr);
        return 2;
    }
    const std::wstring kelvane = widen(argv[1]);
    const std::wstring cli = widen(argv[2]);
    const std::wstring original = widen(argv[3]);
    const std::wstring work = widen(argv[4]);
    const int rounds = argc == 6 ? std::atoi(argv[5]) : 2;
    const std::wstring package = work + L"\\job.csv";
    const std::wstring out = work + L"\\out";

    std::vector<double> consoleRuns;
    std::vector<double> windowRuns;
    bool complete = true;
    for (int round = 1; round <= rounds; ++round) {
        for (int which = 0; which < 2; ++which) {
            fresh_folder(out);
            CopyFileW(original.c_str(), package.c_str(), FALSE);
            const Run run = which == 0 ? run_console(cli, package, out, work)
                                       : run_window(kelvane, package, out, work);
            print(which == 0 ? "kelvane-cli.exe move" : "kelvane.exe (the window)", round, run);
            complete = complete && run.seconds >= 0;
            (which == 0 ? consoleRuns : windowRuns).push_back(run.seconds);
        }
    }
    if (!complete) return 1;
    // On a machine shared with other work single runs scatter: the median and
    // the fastest run (the least disturbed) say more than the mean.
    const Summary console = summary(consoleRuns);
    const Summary window = summary(windowRuns);
    std::printf("mean:   console %7.2f s, window %7.2f s; window / console = %.3f\n", console.mean,
                window.mean, window.mean / console.mean);
    std::printf("median: console %7.2f s, window %7.2f s; window / console = %.3f\n",
                console.median, window.median, window.median / console.median);
    std::printf("best:   console %7.2f s, window %7.2f s; window / console = %.3f\n", console.best,
                window.best, window.best / console.best);
    return 0;
}
