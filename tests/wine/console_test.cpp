// kelvane-cli.exe in a Windows console, read back from the console's screen:
// its Chinese shows as characters whatever the console's code page. (A
// console needs a display under Wine: scripts/gui-run provides one.)
//   kelvane-console-tests [gtest flags]
#include <winsock2.h>
// windows.h after winsock2.h
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

std::wstring wide(const std::string& text, UINT codePage) {
    std::wstring out(text.size() + 1, L'\0');
    const int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, out.data(),
                                           static_cast<int>(out.size()));
    out.resize(length > 0 ? static_cast<size_t>(length - 1) : 0);
    return out;
}

// A console of this process's own, which kelvane-cli.exe writes into.
class ConsoleTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
        // A Western code page, so that text that relies on it would show wrong.
        SetConsoleOutputCP(437);
    }
    // Runs kelvane-cli with its stdout and stderr on the console, on a
    // cleared screen; returns the exit status.
    DWORD run(const std::string& arguments) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE screen =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(screen, INVALID_HANDLE_VALUE);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(screen, &info);
        DWORD written = 0;
        FillConsoleOutputCharacterW(screen, L' ', info.dwSize.X * info.dwSize.Y, COORD{0, 0},
                                    &written);
        SetConsoleCursorPosition(screen, COORD{0, 0});

        STARTUPINFOW start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        start.hStdOutput = screen;
        start.hStdError = screen;
        std::string exe = cli_path();
        if (exe[0] == '/') exe = "Z:" + exe;  // the build's own path, as Wine names it
        for (char& c : exe) c = c == '/' ? '\\' : c;
        std::wstring command = L"\"" + wide(exe, CP_ACP) + L"\" " + wide(arguments, 936);
        PROCESS_INFORMATION process{};
        DWORD status = 0xFFFF;
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &start, &process)) {
            WaitForSingleObject(process.hProcess, 60000);
            GetExitCodeProcess(process.hProcess, &status);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        rows_.clear();
        GetConsoleScreenBufferInfo(screen, &info);
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
            DWORD got = 0;
            ReadConsoleOutputCharacterW(screen, row.data(), info.dwSize.X, COORD{0, y}, &got);
            row.resize(got);
            row.erase(row.find_last_not_of(L' ') + 1);
            rows_.push_back(row);
        }
        CloseHandle(screen);
        return status;
    }
    std::wstring screen() const {
        std::wstring all;
        for (const std::wstring& row : rows_) all += row + L"\n";
        return all;
    }
    static std::string shown(const std::wstring& text) {
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), length, nullptr, nullptr);
        return out;
    }

    std::vector<std::wstring> rows_;
};

TEST_F(ConsoleTest, ChineseShowsAsCharactersWhateverTheCodePage) {
    EXPECT_EQ(run("move --help"), 0u);
    const std::wstring text = screen();
    EXPECT_NE(text.find(L"用法：kelvane-cli move 数据包.csv --to 文件夹"), std::wstring::npos)
        << shown(text);
    EXPECT_NE(text.find(L"退出状态："), std::wstring::npos) << shown(text);
}

TEST_F(ConsoleTest, TheJsonReportShowsAsCharactersToo) {
    TempDir dir;
    const std::string package = dir.file("shop.csv");
    PackageBuilder().write(package);  // no items: a job with nothing to fetch
    EXPECT_EQ(run("move \"" + package + "\" --to \"" + dir.path() + "\" --json"), 0u);
    EXPECT_NE(screen().find(L"\"message\": \"没有找到需要搬家的图片。\""), std::wstring::npos)
        << shown(screen());
}

}  // namespace
