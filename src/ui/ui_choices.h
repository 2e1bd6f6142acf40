// Decisions of the window that need no window: kept apart so that unit tests
// on every platform can call them.
#pragma once

#include <cstddef>

// The first dropped name that could be a data package: not empty and ending
// in ".csv" in any letter case. -1 when there is none.
int choose_dropped_name(const char* const* names, int count);

// How open_url tries to show a page, in order, until one launch succeeds.
enum class UrlLaunch { None, ShellOpen, RunProgram, RunIexplore };

struct UrlLaunchPlan {
    UrlLaunch first;
    UrlLaunch second;  // tried only when the first fails
};

// `programFound` says whether the shell named a program for web pages, and
// `programPath` is that program. The system's program chooser counts as none:
// starting it would ask the user instead of showing the page.
UrlLaunchPlan plan_url_launch(bool programFound, const char* programPath);

// The window is laid out in pixels for 96 DPI; on a screen of `dpi` every
// length is multiplied by dpi / 96, rounded to the nearest pixel (halves away
// from zero), so at 96 DPI nothing changes.
int scale_for_dpi(int length, int dpi);

// A font height for a screen of `dpi` from the stock font's, which the
// system made for its own DPI, `stockDpi`.
int dpi_font_height(int stockHeight, int stockDpi, int dpi);

// The outer height that keeps the client area as laid out for a 19-pixel caption.
int corrected_window_height(int outerHeight, int captionHeight);

// Where the window goes so that its client area sits centred on the screen,
// a little above the middle of the work area (26 pixels at 96 DPI).
void centred_position(int screenWidth, int maximisedHeight, int clientWidth, int clientHeight,
                      int dpi, int* x, int* y);

// True when the program folder lies in the temporary folder an archive tool
// unpacks into when a program is started straight from the archive: such a
// folder holds a dollar sign and "\Temp\" with exactly that letter case.
bool started_from_archive_tool(const char* programFolder);
