#include "ui/shell_services.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>

#include "platform/platform.h"
#include "shell/files.h"
#include "ui/ui_choices.h"
#include "ui/wide_text.h"

namespace {

bool launched(HINSTANCE result) {
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool launch(UrlLaunch how, const wchar_t* program, const char* page) {
    const std::wstring address = wide(page);
    switch (how) {
        case UrlLaunch::ShellOpen:
            return launched(
                ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOW));
        case UrlLaunch::RunProgram:
            return launched(
                ShellExecuteW(nullptr, nullptr, program, address.c_str(), nullptr, SW_SHOW));
        case UrlLaunch::RunIexplore:
            return launched(ShellExecuteW(nullptr, nullptr, L"iexplore.exe", address.c_str(),
                                          nullptr, SW_SHOW));
        case UrlLaunch::None:
            break;
    }
    return false;
}

}  // namespace

void open_url(const char* address) {
    // An empty page only asks Windows which program opens web pages.
    char page[PATH_BUFFER_SIZE];
    const char* folder = settled_program_folder();
    if (folder[0] == '\0' || !join_path(page, sizeof page, folder, "temp.html")) {
        std::snprintf(page, sizeof page, "%s", "temp.html");
    }
    if (FILE* file = platform::open_file(page, "a")) std::fclose(file);
    wchar_t program[MAX_PATH] = L"";
    const bool found = launched(FindExecutableW(wide(page).c_str(), nullptr, program));
    program[MAX_PATH - 1] = L'\0';
    // Only its ending is looked at, which is ASCII whatever the folders are called.
    char programName[MAX_PATH * 4];
    if (!to_gb18030(program, programName, sizeof programName)) programName[0] = '\0';
    const UrlLaunchPlan plan = plan_url_launch(found, programName);
    if (launch(plan.first, program, address)) return;
    launch(plan.second, program, address);
}

HRESULT create_shortcut(const char* targetPath, const char* arguments, const char* linkPath,
                        const char* description, int showCommand, const char* workingFolder,
                        const char* iconPath, int iconIndex) {
    if (targetPath == nullptr || targetPath[0] == '\0' || linkPath == nullptr ||
        linkPath[0] == '\0' || arguments == nullptr || description == nullptr ||
        workingFolder == nullptr || iconPath == nullptr || showCommand < 0 || iconIndex < 0) {
        return E_INVALIDARG;
    }
    IShellLinkW* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;
    link->SetPath(wide(targetPath).c_str());
    link->SetArguments(wide(arguments).c_str());
    if (description[0] != '\0') link->SetDescription(wide(description).c_str());
    if (showCommand != 0) link->SetShowCmd(showCommand);
    if (workingFolder[0] != '\0') link->SetWorkingDirectory(wide(workingFolder).c_str());
    if (iconPath[0] != '\0') link->SetIconLocation(wide(iconPath).c_str(), iconIndex);
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        result = file->Save(wide(linkPath).c_str(), TRUE);
        file->Release();
    }
    link->Release();
    return result;
}
