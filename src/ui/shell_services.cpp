#include "ui/shell_services.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>

#include "platform/platform.h"
#include "shell/files.h"
#include "ui/ui_choices.h"

namespace {

bool launched(HINSTANCE result) {
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool launch(UrlLaunch how, const char* program, const char* address) {
    switch (how) {
        case UrlLaunch::ShellOpen:
            return launched(ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOW));
        case UrlLaunch::RunProgram:
            return launched(ShellExecuteA(nullptr, nullptr, program, address, nullptr, SW_SHOW));
        case UrlLaunch::RunIexplore:
            return launched(
                ShellExecuteA(nullptr, nullptr, "iexplore.exe", address, nullptr, SW_SHOW));
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
    char program[MAX_PATH] = "";
    const bool found = launched(FindExecutableA(page, nullptr, program));
    program[MAX_PATH - 1] = '\0';
    const UrlLaunchPlan plan = plan_url_launch(found, program);
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
    IShellLinkA* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkA, reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;
    link->SetPath(targetPath);
    link->SetArguments(arguments);
    if (description[0] != '\0') link->SetDescription(description);
    if (showCommand != 0) link->SetShowCmd(showCommand);
    if (workingFolder[0] != '\0') link->SetWorkingDirectory(workingFolder);
    if (iconPath[0] != '\0') link->SetIconLocation(iconPath, iconIndex);
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        wchar_t wideLink[MAX_PATH] = L"";
        // At most MAX_PATH characters, the last one kept for the NUL.
        MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wideLink, MAX_PATH - 1);
        result = file->Save(wideLink, TRUE);
        file->Release();
    }
    link->Release();
    return result;
}
