#include "cli/console_text.h"

#include <cstdio>
#include <cstring>

namespace {

// This file is compiled with GBK as its narrow charset; text for the terminal
// is written as u8 literals, which stay UTF-8.
const char* u8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

struct Range {
    char32_t first, last;
};

// East Asian Wide and Fullwidth blocks, and the emoji terminals draw two
// columns wide. Erring wide only costs a column; erring narrow wraps the line.
constexpr Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F2FF}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x3FFFD},
};

// Combining marks, drawn over the character before them. (U+FE0F, which
// turns the character before it into a two-column emoji, counts one.)
constexpr Range COMBINING[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0E}, {0xFE20, 0xFE2F},
};

// Invisible characters that steer the text (joiners, direction overrides):
// nothing a progress line needs, and they could reorder what follows.
constexpr Range FORMAT[] = {
    {0x00AD, 0x00AD}, {0x200B, 0x200F}, {0x202A, 0x202E},
    {0x2060, 0x2064}, {0x2066, 0x2069}, {0xFEFF, 0xFEFF},
};

template <size_t N>
bool in(const Range (&ranges)[N], char32_t c) {
    for (const Range& range : ranges) {
        if (c >= range.first && c <= range.last) return true;
    }
    return false;
}

bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

int char_width(char32_t c) {
    if (in(FORMAT, c) || in(COMBINING, c)) return 0;
    return in(WIDE, c) ? 2 : 1;
}

constexpr char32_t NOT_UTF8 = 0xFFFFFFFF;

// The character at `at` and its length in bytes; NOT_UTF8 and 1 for a byte
// that does not start a well-formed sequence.
char32_t decode(std::string_view text, size_t at, size_t* length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    *length = 1;
    if (lead < 0x80) return lead;
    size_t count;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3, c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4, c = lead & 0x07;
    } else {
        return NOT_UTF8;
    }
    if (at + count > text.size()) return NOT_UTF8;
    for (size_t i = 1; i < count; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return NOT_UTF8;
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[count] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return NOT_UTF8;
    *length = count;
    return c;
}

std::string number(int value) {
    return std::to_string(value);
}

// The least a title is shown with: three Chinese characters, or give it up.
constexpr int MIN_TAIL = 6;
constexpr const char* GAP = "  ";

}  // namespace

std::string duration(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds > 359999) seconds = 359999;
    const int whole = static_cast<int>(seconds + 0.5);
    char out[32];
    if (whole >= 3600) {
        std::snprintf(out, sizeof out, "%d:%02d:%02d", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(out, sizeof out, "%d:%02d", whole / 60, whole % 60);
    }
    return out;
}

int display_width(std::string_view utf8) {
    int width = 0;
    for (size_t at = 0, length; at < utf8.size(); at += length) {
        const char32_t c = decode(utf8, at, &length);
        width += c == NOT_UTF8 ? 1 : char_width(c);
    }
    return width;
}

std::string fit_to_width(std::string_view utf8, int columns) {
    const std::string_view ellipsis = u8(u8"…");
    const int ellipsisWidth = display_width(ellipsis);
    std::string out;
    int width = 0;
    // Where the text would end if "…" had to follow: the last place at
    // which it still fits before the ellipsis.
    size_t cutAt = 0;
    for (size_t at = 0, length; at < utf8.size(); at += length) {
        char32_t c = decode(utf8, at, &length);
        if (c != NOT_UTF8 && in(FORMAT, c)) continue;
        const bool plain = c == NOT_UTF8 || is_control(c);
        const int w = plain ? 1 : char_width(c);
        if (width + w > columns) {
            if (columns < ellipsisWidth) return std::string();
            // Back off until "…" fits too.
            out.resize(cutAt);
            return out.append(ellipsis);
        }
        if (plain) {
            out += ' ';
        } else {
            out.append(utf8.substr(at, length));
        }
        width += w;
        if (width + ellipsisWidth <= columns) cutAt = out.size();
    }
    return out;
}

std::string progress_line(const ProgressFacts& facts, int columns) {
    using Stage = ProgressFacts::Stage;
    const int budget = columns - 1;
    if (budget <= 0) return std::string();

    const double rate = facts.elapsed > 0 ? facts.saved / facts.elapsed : 0;
    std::string time;
    if (facts.stage == Stage::Moving && facts.done < facts.items) {
        time =
            facts.done > 0
                ? u8(u8"剩余 ") + duration(facts.elapsed / facts.done * (facts.items - facts.done))
                : u8(u8"剩余 --");
    } else {
        time = u8(u8"用时 ") + duration(facts.elapsed);
    }
    std::string tail;
    switch (facts.stage) {
        case Stage::Moving:
            tail = facts.title;
            break;
        case Stage::Updating:
            tail = u8(u8"正在更新数据包");
            if (facts.updatePercent >= 0) tail += " " + number(facts.updatePercent) + "%";
            break;
        case Stage::Stopping:
            tail = u8(u8"正在停止，保存已搬好的图片…");
            break;
        case Stage::Finished:
            break;
    }

    // In the order shown; `rank` is the order in which they claim room. What
    // the job is doing comes second, whole, while it is not the title; the
    // title comes late and takes whatever room is left.
    struct Part {
        std::string text;
        int rank;
        bool elastic;  // cut to the room left instead of left out
        bool shown = false;
    };
    const bool tailFirst = facts.stage != Stage::Moving;
    constexpr int LAST_RANK = 6;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f", rate);
    Part parts[] = {
        {u8(u8"宝贝 ") + number(facts.done) + "/" + number(facts.items), 0, false},
        {u8(u8"已存 ") + number(facts.saved) + u8(u8" 张"), 2, false},
        {u8(u8"失败 ") + number(facts.failed) + u8(u8" 张"), 3, false},
        {rateText + std::string(u8(u8" 张/秒")), LAST_RANK, false},
        {time, 4, false},
        {tail, tailFirst ? 1 : 5, !tailFirst},
    };
    int used = 0;
    for (int rank = 0; rank <= LAST_RANK; ++rank) {
        for (Part& part : parts) {
            if (part.rank != rank || part.text.empty()) continue;
            const int full = display_width(part.text);
            const int need = (part.elastic && full > MIN_TAIL ? MIN_TAIL : full) +
                             (used > 0 ? static_cast<int>(std::strlen(GAP)) : 0);
            if (used + need > budget) continue;
            part.shown = true;
            used += need;
        }
    }
    // The elastic part takes whatever the others leave.
    int room = budget;
    for (const Part& part : parts) {
        if (part.shown && !part.elastic) room -= display_width(part.text);
    }
    std::string line;
    for (const Part& part : parts) {
        if (!part.shown) continue;
        if (!line.empty()) {
            line += GAP;
            room -= static_cast<int>(std::strlen(GAP));
        }
        line += part.elastic ? fit_to_width(part.text, room) : part.text;
    }
    return fit_to_width(line, budget);
}

const char* console_hint(ConsoleHint hint) {
    switch (hint) {
        case ConsoleHint::None:
            return nullptr;
        case ConsoleHint::BlankFailed:
            return "命令行：再次搬家时加上 --blank-failed 选项，就是勾选了 "
                   "[将搬家失败的图片替换成空白图片]。";
        case ConsoleHint::SourceOptions:
            return "命令行：--skip-image-space 与 --skip-third-party 不能同时使用。";
        case ConsoleHint::TargetFolder:
            return "命令行：用 --to 文件夹 指定图片保存到哪个文件夹。";
        case ConsoleHint::PackagePath:
            return "命令行：在命令后面给出数据包(csv)文件的路径。";
    }
    return nullptr;
}
