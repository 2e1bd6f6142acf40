// What kelvane-cli shows on a terminal, worked out apart from the terminal:
// the columns a text takes, the progress line cut to one row, and the hint
// that turns a window's wording into the console's. Text here is UTF-8 (as
// the terminal gets it) unless said otherwise.
#pragma once

#include <string>
#include <string_view>

// The columns a terminal gives the text: two for wide characters (CJK,
// Hangul, full-width forms, emoji), none for combining marks, one for the
// rest. Bytes that are not UTF-8 count one column each.
int display_width(std::string_view utf8);

// The longest leading part of the text that fits in `columns`, ending in "…"
// when anything was cut. Control characters become spaces and invisible
// format characters are left out, so a title can never move the cursor.
std::string fit_to_width(std::string_view utf8, int columns);

// Seconds as "1:05" or "2:01:05" (ASCII).
std::string duration(double seconds);

// What the progress line reports.
struct ProgressFacts {
    enum class Stage { Moving, Updating, Stopping, Finished };
    Stage stage = Stage::Moving;
    int items = 0;           // in the package
    int done = 0;            // finished
    int saved = 0;           // images saved
    int failed = 0;          // images that failed
    double elapsed = 0;      // seconds since the job began
    int updatePercent = -1;  // how far the package update is, -1 while unknown
    std::string title;       // the current item's title
};

// The progress line for a terminal `columns` wide. It never fills the last
// column (a terminal may wrap there); the least useful parts give way first.
std::string progress_line(const ProgressFacts& facts, int columns);

// The messages the program shares with the window that name one of its
// controls; the console adds a line naming the matching option instead.
enum class ConsoleHint {
    None,
    BlankFailed,    // the final message suggests the blank image for failures
    SourceOptions,  // neither kind of image chosen
    TargetFolder,   // no image folder chosen
    PackagePath,    // no package chosen
};

// The line for `hint` (GBK); nullptr for None.
const char* console_hint(ConsoleHint hint);
