#include "shell/ptr_vector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

void* tag(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

TEST(PtrVector, NonPositiveSizesBecomeTen) {
    PtrVector* v = ptr_vector_new(0, -5);
    EXPECT_EQ(v->capacity, 10);
    EXPECT_EQ(v->growth, 10);
    EXPECT_EQ(v->count, 0);
    ptr_vector_destroy(v, 0);

    v = ptr_vector_new_default();
    EXPECT_EQ(v->capacity, 10);
    EXPECT_EQ(v->growth, 10);
    ptr_vector_destroy(v, 0);
}

TEST(PtrVector, GrowsByGrowthAndKeepsOrder) {
    PtrVector* v = ptr_vector_new(256, 64);
    for (intptr_t i = 1; i <= 256; ++i) EXPECT_EQ(ptr_vector_push(v, tag(i)), i);
    EXPECT_EQ(v->capacity, 256);
    EXPECT_EQ(ptr_vector_push(v, tag(257)), 257);
    EXPECT_EQ(v->capacity, 320);
    for (int32_t i = 0; i < 257; ++i) ASSERT_EQ(ptr_vector_get(v, i), tag(i + 1));
    ptr_vector_destroy(v, 0);
}

TEST(PtrVector, GetOutsideTheUsedSlotsGivesNone) {
    PtrVector* v = ptr_vector_new(4, 4);
    ptr_vector_push(v, tag(7));
    EXPECT_EQ(ptr_vector_get(v, -1), nullptr);
    EXPECT_EQ(ptr_vector_get(v, 1), nullptr);  // a slot that exists but is not in use
    EXPECT_EQ(ptr_vector_get(v, 0), tag(7));
    ptr_vector_destroy(v, 0);
}

TEST(PtrVector, ContainsUsesTheMatchFunction) {
    PtrVector* v = ptr_vector_new_default();
    ptr_vector_push(v, xstrdup("http://a/1.jpg"));
    ptr_vector_push(v, xstrdup("http://a/2.jpg"));
    char probe[] = "http://a/2.jpg";
    EXPECT_EQ(ptr_vector_contains(v, probe, strings_equal), 1);
    EXPECT_EQ(ptr_vector_contains(v, "http://a/3.jpg", strings_equal), 0);
    ptr_vector_destroy(v, 1);  // frees the strings: ASan reports a leak otherwise
}

TEST(PtrVector, ClearKeepsTheSlotArrayAndSkipsNoneItems) {
    PtrVector* v = ptr_vector_new(2, 2);
    ptr_vector_push(v, xstrdup("x"));
    ptr_vector_push(v, nullptr);
    ptr_vector_push(v, xstrdup("y"));
    ptr_vector_clear(v, 1);
    EXPECT_EQ(v->count, 0);
    EXPECT_EQ(v->capacity, 4);
    EXPECT_EQ(v->items[0], nullptr);
    EXPECT_EQ(v->items[2], nullptr);
    ptr_vector_push(v, tag(1));
    EXPECT_EQ(ptr_vector_get(v, 0), tag(1));
    ptr_vector_destroy(v, 0);
}

TEST(StringsEqual, ComparesPointersThenBytes) {
    const char* a = "same";
    char b[] = "same";
    EXPECT_EQ(strings_equal(a, a), 1);
    EXPECT_EQ(strings_equal(a, b), 1);
    EXPECT_EQ(strings_equal(a, "other"), 0);
    EXPECT_EQ(strings_equal(a, "sam"), 0);
    EXPECT_EQ(strings_equal(nullptr, nullptr), 1);
    EXPECT_EQ(strings_equal(a, nullptr), 0);
}

}  // namespace
