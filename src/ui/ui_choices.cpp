#include "ui/ui_choices.h"

#include <cstdint>
#include <cstring>

#include "base/gbk.h"
#include "shell/text.h"

int choose_dropped_name(const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        const char* name = names[i];
        if (name == nullptr || name[0] == '\0') continue;
        if (ends_with_ignore_case(name, ".csv")) return i;
    }
    return -1;
}

UrlLaunchPlan plan_url_launch(bool programFound, const char* programPath) {
    const bool chooser = programFound && programPath != nullptr &&
                         ends_with_ignore_case(programPath, "OpenWith.exe");
    if (!programFound || programPath == nullptr || programPath[0] == '\0' || chooser) {
        return {UrlLaunch::ShellOpen, UrlLaunch::RunIexplore};
    }
    // Internet Explorer itself failed: starting it again would fail the same way.
    if (ends_with_ignore_case(programPath, "iexplore.exe")) {
        return {UrlLaunch::RunProgram, UrlLaunch::ShellOpen};
    }
    return {UrlLaunch::RunProgram, UrlLaunch::RunIexplore};
}

int scale_for_dpi(int length, int dpi) {
    const int64_t scaled = static_cast<int64_t>(length) * dpi;
    return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : (scaled - 48) / 96);
}

int dpi_font_height(int stockHeight, int stockDpi, int dpi) {
    if (stockDpi <= 0) return scale_for_dpi(stockHeight, dpi);
    const int64_t scaled = static_cast<int64_t>(stockHeight) * dpi;
    const int64_t half = stockDpi / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / stockDpi : (scaled - half) / stockDpi);
}

int corrected_window_height(int outerHeight, int captionHeight) {
    return outerHeight + (captionHeight - 19);
}

void centred_position(int screenWidth, int maximisedHeight, int clientWidth, int clientHeight,
                      int dpi, int* x, int* y) {
    *x = (screenWidth - clientWidth) / 2;
    *y = (maximisedHeight - clientHeight) / 2 - scale_for_dpi(26, dpi);
}

bool started_from_archive_tool(const char* programFolder) {
    if (programFolder == nullptr) return false;
    static const char TEMP_PART[] = "\\Temp\\";
    bool dollar = false;
    bool temp = false;
    // Walked a character at a time: the second byte of a GBK character may be
    // a backslash, and a folder name ending in such a character must not count
    // as the start of "\Temp\".
    for (const char* at = programFolder; *at != '\0';) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (is_gbk_lead(byte) && at[1] != '\0') {
            at += 2;
            continue;
        }
        if (byte == '$') dollar = true;
        if (!temp && std::strncmp(at, TEMP_PART, sizeof TEMP_PART - 1) == 0) temp = true;
        ++at;
    }
    return dollar && temp;
}
