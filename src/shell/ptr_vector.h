// A growable array of untyped pointers: holds the items of a data package and
// every list of image addresses. Entries keep their insertion order.
#pragma once

#include <cstdint>

struct PtrVector {
    void** items;      // room for `capacity` slots
    int32_t capacity;  // slots allocated
    int32_t growth;    // slots added each time the array is full
    int32_t count;     // slots in use
};

// Capacity or growth of 0 or less become 10.
PtrVector* ptr_vector_new(int32_t capacity, int32_t growth);
PtrVector* ptr_vector_new_default();
// Appends `item`; returns the new count.
int32_t ptr_vector_push(PtrVector* vector, void* item);
// 1 as soon as `match(item, key)` is non-zero for an item, else 0.
int ptr_vector_contains(const PtrVector* vector, const void* key,
                        int (*match)(const void* item, const void* key));
// The item at `index`, or nullptr when out of range.
void* ptr_vector_get(const PtrVector* vector, int32_t index);
// Empties the vector, freeing the items with free() when `freeItems` is set.
void ptr_vector_clear(PtrVector* vector, int freeItems);
void ptr_vector_destroy(PtrVector* vector, int freeItems);

// 1 when both are the same pointer or hold the same bytes. Serves as the
// match function that keeps address lists free of duplicates.
int strings_equal(const void* a, const void* b);
