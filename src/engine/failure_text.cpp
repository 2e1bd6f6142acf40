#include "engine/failure_text.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/move_job.h"

namespace {

const char* const DESCRIPTION_HEADING =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char* const MOBILE_HEADING =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char* const LIST_GAP = "\r\n\r\n";
// After a list that was cut: how many of its addresses follow unseen.
const char* const LEFT_OUT_FORMAT = "\r\n……还有 %d 个地址未显示";
// Room for that note with the largest count.
constexpr size_t LEFT_OUT_ROOM = 48;

struct Part {
    const char* heading;
    const PtrVector* list;
    size_t need = 0;    // the bytes of all its lines, CR LF before each address
    size_t budget = 0;  // the bytes its lines may take
};

size_t lines_size(const PtrVector* list) {
    size_t size = 0;
    for (int32_t i = 0; i < list->count; ++i)
        size += 2 + std::strlen(static_cast<const char*>(list->items[i]));
    return size;
}

void append(char* out, size_t* length, const char* text) {
    const size_t add = std::strlen(text);
    std::memcpy(out + *length, text, add + 1);
    *length += add;
}

// The heading, then the addresses in order while they fit the part's budget,
// then, if some did not, how many were left out.
void append_part(char* out, size_t* length, const Part& part) {
    append(out, length, part.heading);
    size_t used = 0;
    int32_t shown = 0;
    for (; shown < part.list->count; ++shown) {
        const auto* address = static_cast<const char*>(part.list->items[shown]);
        const size_t line = 2 + std::strlen(address);
        if (used + line > part.budget) break;
        append(out, length, "\r\n");
        append(out, length, address);
        used += line;
    }
    if (shown < part.list->count) {
        char note[LEFT_OUT_ROOM];
        std::snprintf(note, sizeof note, LEFT_OUT_FORMAT, part.list->count - shown);
        append(out, length, note);
    }
}

int32_t published_status(const ItemRecord* item) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(item->status))
        .load(std::memory_order_acquire);
}

}  // namespace

void format_failure_text(const ItemRecord* item, char* out) {
    std::memset(out, 0, FAILURE_TEXT_SIZE);
    if (published_status(item) != ITEM_MOVED) return;
    Part parts[2];
    int count = 0;
    if (item->desc_failed != nullptr) parts[count++] = {DESCRIPTION_HEADING, item->desc_failed};
    if (item->mobile_failed != nullptr) parts[count++] = {MOBILE_HEADING, item->mobile_failed};
    if (count == 0) return;

    // Headings, the gap between two lists, and a note for every list, so that
    // whatever is cut the text fits with its NUL.
    size_t fixed = (count == 2 ? std::strlen(LIST_GAP) : 0) + count * LEFT_OUT_ROOM;
    size_t need = 0;
    for (int i = 0; i < count; ++i) {
        fixed += std::strlen(parts[i].heading);
        parts[i].need = lines_size(parts[i].list);
        need += parts[i].need;
    }
    const size_t room = FAILURE_TEXT_SIZE - 1 - fixed;
    if (need <= room + count * LEFT_OUT_ROOM) {
        // Everything fits: no list is cut, so no note takes its room.
        for (int i = 0; i < count; ++i) parts[i].budget = parts[i].need;
    } else if (count == 1) {
        parts[0].budget = room;
    } else {
        // A fair cut: each list gets half the room, and a list that needs
        // less gives what it leaves to the other, so a long description list
        // never crowds out the mobile addresses.
        const size_t half = room / 2;
        parts[0].budget = parts[0].need <= half   ? parts[0].need
                          : parts[1].need <= half ? room - parts[1].need
                                                  : half;
        parts[1].budget = room - parts[0].budget;
    }
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0) append(out, &length, LIST_GAP);
        append_part(out, &length, parts[i]);
    }
}

std::string failure_text_with_notes(const ItemRecord* item,
                                    const std::function<std::string(const char*)>& note) {
    std::string text;
    if (published_status(item) != ITEM_MOVED) return text;
    for (const auto& [heading, list] : {std::pair{DESCRIPTION_HEADING, item->desc_failed},
                                        std::pair{MOBILE_HEADING, item->mobile_failed}}) {
        if (list == nullptr) continue;
        if (!text.empty()) text += "\r\n\r\n";
        text += heading;
        for (int32_t i = 0; i < list->count; ++i) {
            const auto* address = static_cast<const char*>(list->items[i]);
            text += "\r\n";
            text += address;
            text += note(address);
        }
    }
    return text;
}
