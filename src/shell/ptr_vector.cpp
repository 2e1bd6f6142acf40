#include "shell/ptr_vector.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

PtrVector* ptr_vector_new(int32_t capacity, int32_t growth) {
    auto* vector = static_cast<PtrVector*>(xmalloc(sizeof(PtrVector)));
    vector->capacity = capacity > 0 ? capacity : 10;
    vector->growth = growth > 0 ? growth : 10;
    vector->count = 0;
    vector->items =
        static_cast<void**>(xcalloc(static_cast<size_t>(vector->capacity), sizeof(void*)));
    return vector;
}

PtrVector* ptr_vector_new_default() {
    return ptr_vector_new(10, 10);
}

int32_t ptr_vector_push(PtrVector* vector, void* item) {
    if (vector->count == vector->capacity) {
        if (vector->capacity > INT32_MAX - vector->growth)
            std::abort();  // 2^31 slots: never legitimate
        int32_t capacity = vector->capacity + vector->growth;
        auto* items = static_cast<void**>(xcalloc(static_cast<size_t>(capacity), sizeof(void*)));
        std::memcpy(items, vector->items, sizeof(void*) * static_cast<size_t>(vector->count));
        std::free(vector->items);
        vector->items = items;
        vector->capacity = capacity;
    }
    vector->items[vector->count++] = item;
    return vector->count;
}

int ptr_vector_contains(const PtrVector* vector, const void* key,
                        int (*match)(const void* item, const void* key)) {
    for (int32_t i = 0; i < vector->count; ++i) {
        if (match(vector->items[i], key)) return 1;
    }
    return 0;
}

void* ptr_vector_get(const PtrVector* vector, int32_t index) {
    if (index < 0 || index >= vector->count) return nullptr;
    return vector->items[index];
}

void ptr_vector_clear(PtrVector* vector, int freeItems) {
    for (int32_t i = 0; i < vector->count; ++i) {
        if (freeItems && vector->items[i] != nullptr) std::free(vector->items[i]);
        vector->items[i] = nullptr;
    }
    vector->count = 0;
}

void ptr_vector_destroy(PtrVector* vector, int freeItems) {
    if (vector == nullptr) return;
    ptr_vector_clear(vector, freeItems);
    std::free(vector->items);
    std::free(vector);
}

int strings_equal(const void* a, const void* b) {
    if (a == b) return 1;
    if (a == nullptr || b == nullptr) return 0;
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b)) == 0 ? 1 : 0;
}
