// libFuzzer target: any file at all given to the data package reader must
// end in result 0, 1 or 2 without a crash, an over-read or a leak.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "package/data_package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes a path; a file in memory-backed /dev/shm keeps this fast.
    static const std::string path = "/dev/shm/kelvane-fuzz-" + std::to_string(getpid()) + ".csv";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    PtrVector* items = ptr_vector_new(256, 64);
    char* text = nullptr;
    const ReadResult result = read_data_package(path.c_str(), items, &text);
    if (result != ReadResult::Ok && result != ReadResult::Malformed &&
        result != ReadResult::TitleTooLong)
        std::abort();
    // Only a package that was read hands back text.
    if (result != ReadResult::Ok && text != nullptr) std::abort();
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        if (item->desc_images == nullptr) std::abort();
    }
    std::free(text);
    item_list_clear(items);
    ptr_vector_destroy(items, 0);
    return 0;
}
