#include "engine/failure_text.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "engine/move_job.h"

namespace {

const char* const DESCRIPTION_HEADING =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char* const MOBILE_HEADING =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

// Appends `text` when it fits with the terminating NUL; false otherwise.
bool append(char* out, size_t* length, const char* text) {
    const size_t add = std::strlen(text);
    if (*length + add + 1 > FAILURE_TEXT_SIZE) return false;
    std::memcpy(out + *length, text, add + 1);
    *length += add;
    return true;
}

void append_list(char* out, size_t* length, const char* heading, const PtrVector* list) {
    if (!append(out, length, heading)) return;
    for (int32_t i = 0; i < list->count; ++i) {
        const size_t before = *length;
        if (!append(out, length, "\r\n") ||
            !append(out, length, static_cast<const char*>(list->items[i]))) {
            *length = before;  // no half address, and no dangling line break
            out[before] = '\0';
        }
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
    size_t length = 0;
    if (item->desc_failed != nullptr)
        append_list(out, &length, DESCRIPTION_HEADING, item->desc_failed);
    if (item->mobile_failed != nullptr) {
        if (length > 0) append(out, &length, "\r\n\r\n");
        append_list(out, &length, MOBILE_HEADING, item->mobile_failed);
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
