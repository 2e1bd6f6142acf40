// Reading a data package: UTF-16 file -> GB18030 text -> item records.
//
// Memory: the file is read whole and converted to GB18030 into a buffer of
// its own (a character outside GBK grows from two bytes to four), which
// takes memory only as far as it is written and is shrunk to fit; the rows
// are then walked in place with pointers, and that buffer is what the caller
// receives. Peak use is the file plus its text.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/data_package.h"
#include "package/image_refs.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/charset.h"
#include "shell/content_hash.h"
#include "shell/memory.h"

namespace {

// Far beyond any real package (2,000 listings make about 100 MB); refusing
// more keeps a stray multi-gigabyte file from exhausting memory.
constexpr int64_t MAX_PACKAGE_BYTES = int64_t{1} << 30;

// The header cells the reader looks for, as GBK bytes whatever the compiler's
// execution charset (the fuzz build's compiler cannot produce GBK literals).
const char* const NAME_HEADER = "\xB1\xA6\xB1\xB4\xC3\xFB\xB3\xC6";            // 宝贝名称
const char* const DESCRIPTION_HEADER = "\xB1\xA6\xB1\xB4\xC3\xE8\xCA\xF6";     // 宝贝描述
const char* const MOBILE_HEADER = "\xCE\xDE\xCF\xDF\xCF\xEA\xC7\xE9";          // 无线详情
const char* const SELLING_POINTS_HEADER = "\xB1\xA6\xB1\xB4\xC2\xF4\xB5\xE3";  // 宝贝卖点

// The file's bytes with room for one more, or nullptr when it is missing,
// unreadable, empty, too large or shorter than its size.
unsigned char* read_whole_file(const char* path, size_t* size) {
    const int64_t expected = file_size(path);
    if (expected <= 0 || expected > MAX_PACKAGE_BYTES) return nullptr;
    FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return nullptr;
    auto* data = static_cast<unsigned char*>(xmalloc(static_cast<size_t>(expected) + 1));
    const size_t got = std::fread(data, 1, static_cast<size_t>(expected), file);
    std::fclose(file);
    if (got != static_cast<size_t>(expected)) {
        std::free(data);
        return nullptr;
    }
    *size = got;
    return data;
}

// Removes every occurrence of `pattern` in place; returns the new length.
size_t remove_all(char* text, size_t length, const char* pattern) {
    const size_t pattern_length = std::strlen(pattern);
    char* found = std::strstr(text, pattern);
    if (found == nullptr) return length;
    char* out = found;
    char* in = found;
    const char* end = text + length;
    while (found != nullptr) {
        std::memmove(out, in, static_cast<size_t>(found - in));
        out += found - in;
        in = found + pattern_length;
        found = std::strstr(in, pattern);
    }
    std::memmove(out, in, static_cast<size_t>(end - in));
    out += end - in;
    *out = '\0';
    return static_cast<size_t>(out - text);
}

struct Columns {
    int count = 0;
    int name = -1;
    int description = -1;
    int mobile = -1;
    int sellingPoints = -1;
};

Columns parse_header(const char* begin, const char* end) {
    Columns columns;
    const char* cell = begin;
    while (true) {
        const char* tab =
            static_cast<const char*>(std::memchr(cell, '\t', static_cast<size_t>(end - cell)));
        const char* cell_end = tab != nullptr ? tab : end;
        const size_t length = static_cast<size_t>(cell_end - cell);
        auto is = [&](const char* header) {
            return std::strlen(header) == length && std::memcmp(cell, header, length) == 0;
        };
        if (is(NAME_HEADER)) columns.name = columns.count;
        if (is(DESCRIPTION_HEADER)) columns.description = columns.count;
        if (is(MOBILE_HEADER)) columns.mobile = columns.count;
        if (is(SELLING_POINTS_HEADER)) columns.sellingPoints = columns.count;
        ++columns.count;
        if (tab == nullptr) break;
        cell = tab + 1;
    }
    return columns;
}

// A cursor over the data rows, splitting at TABs without writing into the
// text (which is handed back unchanged).
struct RowCursor {
    const char* at;
    const char* end;
    bool exhausted;

    // The text up to the next TAB, stepping over it; at the end of the text
    // the rest, after which the cursor is exhausted.
    bool next_cell(const char** cell, size_t* length) {
        if (exhausted) return false;
        const char* tab =
            static_cast<const char*>(std::memchr(at, '\t', static_cast<size_t>(end - at)));
        *cell = at;
        if (tab == nullptr) {
            *length = static_cast<size_t>(end - at);
            at = end;
            exhausted = true;
        } else {
            *length = static_cast<size_t>(tab - at);
            at = tab + 1;
        }
        return true;
    }

    // A cell in double quotes, which may hold TABs and line feeds; doubled
    // quotes inside are stepped over. Returns a NUL-terminated copy, quotes
    // included, or nullptr when the cell is not quoted or never closes.
    char* read_quoted() {
        if (exhausted || at == end || *at != '"') return nullptr;
        const char* p = at + 1;
        while (true) {
            p = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
            if (p == nullptr) return nullptr;
            if (p + 1 < end && p[1] == '"') {
                p += 2;
                continue;
            }
            break;
        }
        char* cell = xstrndup(at, static_cast<size_t>(p + 1 - at));
        at = p + 1;
        return cell;
    }
};

enum class TitleOutcome { NewItem, End, Malformed, TooLong };

ItemRecord* new_item(bool hasMobileColumn) {
    auto* item = static_cast<ItemRecord*>(xcalloc(1, sizeof(ItemRecord)));
    // Present from the start, so an item whose row ends early still has lists.
    item->desc_images = ptr_vector_new(32, 16);
    item->mobile_images = hasMobileColumn ? ptr_vector_new(16, 8) : nullptr;
    return item;
}

// The title cell without its first and last byte (the enclosing quotes), and
// shown as the seller wrote it: a quoted cell writes each quote inside twice.
// No byte of a multi-byte character is a quote, so none is taken for one.
void copy_title(char* name, const char* cell, size_t length) {
    const bool quoted = cell[0] == '"' && cell[length - 1] == '"';
    const char* in = cell + 1;
    const char* end = cell + length - 1;
    while (in < end) {
        if (quoted && in[0] == '"' && in + 1 < end && in[1] == '"') ++in;
        *name++ = *in++;
    }
}

// The limit counts the cell as stored, quotes doubled, as Taobao Assistant
// reads it back.
TitleOutcome apply_title_rule(const char* title, size_t length, bool hasMobileColumn,
                              PtrVector* items, ItemRecord** current) {
    if (length > static_cast<size_t>(MAX_TITLE_CELL_BYTES)) return TitleOutcome::TooLong;
    if (length == 0) return TitleOutcome::End;
    if (length == 1) return title[0] == '\r' ? TitleOutcome::End : TitleOutcome::Malformed;
    ItemRecord* item = new_item(hasMobileColumn);
    copy_title(item->name, title, length);
    item->index = items->count;
    ptr_vector_push(items, item);
    *current = item;
    return TitleOutcome::NewItem;
}

ReadResult read_rows(const char* rows, const char* end, const Columns& columns, PtrVector* items) {
    const bool has_mobile = columns.mobile >= 0;
    RowCursor cursor{rows, end, false};
    ItemRecord* current = nullptr;
    int column = 0;
    const char* cell;
    size_t length;
    while (cursor.next_cell(&cell, &length)) {
        TitleOutcome outcome = TitleOutcome::Malformed;
        bool title_cell = false;
        if (column == columns.count - 1) {
            // The row's last cell, its line end and the next row's first cell.
            const char* lf = static_cast<const char*>(std::memchr(cell, '\n', length));
            if (lf == nullptr) return ReadResult::Malformed;
            outcome = apply_title_rule(lf + 1, length - static_cast<size_t>(lf + 1 - cell),
                                       has_mobile, items, &current);
            title_cell = true;
            if (outcome == TitleOutcome::NewItem) column = 0;
        } else if (column == 0) {
            outcome = apply_title_rule(cell, length, has_mobile, items, &current);
            title_cell = true;
        }
        if (title_cell) {
            if (outcome == TitleOutcome::TooLong) return ReadResult::TitleTooLong;
            if (outcome == TitleOutcome::Malformed) return ReadResult::Malformed;
            if (outcome == TitleOutcome::End) return ReadResult::Ok;
        }

        const int next = column + 1;
        if (next == columns.description || next == columns.mobile ||
            next == columns.sellingPoints) {
            char* quoted = cursor.read_quoted();
            if (quoted == nullptr) return ReadResult::Malformed;
            // The patterns see the cell without its closing quote: an address
            // written without quotes at the very end of a cell ends with the
            // cell, rather than taking the quote along for the rewrite to drop.
            quoted[std::strlen(quoted) - 1] = '\0';
            // A scan the matcher cannot finish costs this item the addresses
            // it did not reach, never the whole package.
            ScanError error{};
            if (current != nullptr && next == columns.description) {
                if (!extract_description_images(quoted, current->desc_images, &error)) {
                    app_log_format(
                        "读取宝贝详情时出错：宝贝“%s”，错误码:%d（%s），已找到的图片地址保留。",
                        current->name, error.code, error.message);
                }
            } else if (current != nullptr && next == columns.mobile) {
                if (!extract_mobile_images(quoted, current->mobile_images, &error)) {
                    app_log_format(
                        "读取宝贝无线详情时出错：宝贝“%s”，错误码:%d（%s），已找到的图片地址保留。",
                        current->name, error.code, error.message);
                }
            }
            std::free(quoted);
        }
        ++column;
    }
    return ReadResult::Ok;
}

}  // namespace

ReadResult read_data_package(const char* path, PtrVector* items, char** outText,
                             PackageFingerprint* outFingerprint) {
    size_t size = 0;
    unsigned char* file = read_whole_file(path, &size);
    if (file == nullptr) return ReadResult::Malformed;
    ContentHash hash;
    hash.add(file, size);
    const PackageFingerprint fingerprint{static_cast<int64_t>(size), hash.value()};

    // An 8-bit export with its version line, or a UTF-16 file that starts
    // straight with the Chinese header, is not what Taobao Assistant 5 writes.
    if ((size >= 3 && std::memcmp(file, "ver", 3) == 0) ||
        (size >= 4 && std::memcmp(file, "\xFF\xFE\x9D\x5B", 4) == 0)) {
        std::free(file);
        return ReadResult::Malformed;
    }
    size_t skip = 0;
    if (size >= 3 && std::memcmp(file, "\xEF\xBB\xBF", 3) == 0) skip = 3;

    char* text = nullptr;
    size_t length = 0;
    const int32_t converted = package_text_from_utf16(reinterpret_cast<const char*>(file) + skip,
                                                      size - skip, &text, &length);
    std::free(file);
    if (converted == -1) {
        app_log("csv 文件编码存在问题, 无法正常的解析。");
        return ReadResult::Malformed;
    }
    // The text is a C string everywhere after this point; a NUL character
    // inside it would silently cut off every row behind it when saved.
    if (std::memchr(text, '\0', length) != nullptr) {
        app_log("csv 文件编码存在问题, 无法正常的解析。");
        std::free(text);
        return ReadResult::Malformed;
    }
    length = remove_all(text, length, "_.webp");

    const char* header = std::strstr(text, NAME_HEADER);
    const char* header_end = header != nullptr ? std::strchr(header, '\n') : nullptr;
    if (header_end == nullptr) {
        std::free(text);
        return ReadResult::Malformed;
    }
    const Columns columns = parse_header(header, header_end);
    if (columns.name < 0 || columns.description < 0) {
        std::free(text);
        return ReadResult::Malformed;
    }

    const ReadResult result = read_rows(header_end + 1, text + length, columns, items);
    if (result != ReadResult::Ok) {
        std::free(text);
        return result;
    }
    *outText = text;
    if (outFingerprint != nullptr) *outFingerprint = fingerprint;
    return ReadResult::Ok;
}

void item_record_free(ItemRecord* item) {
    if (item == nullptr) return;
    ptr_vector_destroy(item->desc_images, 1);
    ptr_vector_destroy(item->mobile_images, 1);
    ptr_vector_destroy(item->desc_failed, 1);
    ptr_vector_destroy(item->mobile_failed, 1);
    std::free(item);
}

void item_list_clear(PtrVector* items) {
    for (int32_t i = 0; i < items->count; ++i)
        item_record_free(static_cast<ItemRecord*>(items->items[i]));
    ptr_vector_clear(items, 0);
}
