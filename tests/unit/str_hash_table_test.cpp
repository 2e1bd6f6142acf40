#include "shell/str_hash_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/memory.h"
#include "shell/ptr_vector.h"

namespace {

void* value(intptr_t n) {
    return reinterpret_cast<void*>(n);
}

std::vector<std::string> keys_of(const StrHashTable* table) {
    std::vector<std::string> out;
    StrHashKeyList* list = strhash_keys(table);
    for (StrHashKeyList* cell = list; cell != nullptr; cell = cell->next)
        out.emplace_back(cell->key);
    strhash_free_keys(list);
    return out;
}

// Every key lands in bucket 0 of any table, so chains are long and ordered.
uint32_t constant_hash(const char*) {
    return 0;
}

TEST(HashString, KnownValuesAndSignedBytes) {
    EXPECT_EQ(hash_string("abc"), 93442u);
    EXPECT_EQ(hash_string(""), 0u);
    // 0xD6 counts as -42: h = -42 mod 2^32 before mixing.
    uint32_t h = static_cast<uint32_t>(-42);
    h ^= (h >> 20) ^ (h >> 12);
    EXPECT_EQ(hash_string("\xD6"), h ^ (h >> 7) ^ (h >> 4));
    EXPECT_NE(hash_string("\xD6\xD0"), hash_string("\x56\x50"));
}

TEST(StrHashCreate, RoundsCapacityUpToAPowerOfTwo) {
    struct Case {
        int32_t requested;
        int32_t buckets;
    };
    for (const Case c : {Case{-3, 1}, Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{5, 8}, Case{16, 16},
                         Case{17, 32}}) {
        StrHashTable* t =
            strhash_create(hash_string, strings_equal, c.requested, 0.75f, KeyOwnership::Owned);
        EXPECT_EQ(t->capacity, c.buckets) << c.requested;
        EXPECT_EQ(t->threshold, static_cast<int32_t>(c.buckets * 0.75f));
        EXPECT_EQ(t->count, 0);
        strhash_destroy(t, 0);
    }
}

TEST(StrHashPut, GrowsWhenCountReachesThreshold) {
    StrHashTable* t = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    EXPECT_EQ(t->capacity, 16);
    EXPECT_EQ(t->threshold, 12);
    for (int i = 0; i < 11; ++i)
        strhash_put(t, xstrdup(("k" + std::to_string(i)).c_str()), value(i + 1));
    EXPECT_EQ(t->capacity, 16);
    strhash_put(t, xstrdup("k11"), value(12));
    EXPECT_EQ(t->capacity, 32);
    EXPECT_EQ(t->threshold, 24);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(strhash_get(t, ("k" + std::to_string(i)).c_str()), value(i + 1));
    strhash_destroy(t, 0);

    // A one-bucket table has threshold 0 and grows on every early put.
    t = strhash_create(hash_string, strings_equal, 0, 0.75f, KeyOwnership::Owned);
    EXPECT_EQ(t->threshold, 0);
    const int32_t expected[][2] = {{2, 1}, {4, 3}, {8, 6}};
    for (int i = 0; i < 3; ++i) {
        strhash_put(t, xstrdup(std::string(1, static_cast<char>('a' + i)).c_str()), value(1));
        EXPECT_EQ(t->capacity, expected[i][0]);
        EXPECT_EQ(t->threshold, expected[i][1]);
    }
    strhash_destroy(t, 0);
}

TEST(StrHashPut, ExistingKeyKeepsTheStoredKeyAndCount) {
    StrHashTable* t = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    char* first = xstrdup("http://a/1.jpg");
    EXPECT_EQ(strhash_put(t, first, value(1)), nullptr);
    char second[] = "http://a/1.jpg";
    EXPECT_EQ(strhash_put(t, second, value(2)), value(1));
    EXPECT_EQ(t->count, 1);
    EXPECT_EQ(t->buckets[hash_string(first) & 15].next->key, first);
    EXPECT_EQ(strhash_get(t, "http://a/1.jpg"), value(2));

    // A new key whose value is none looks like a missing one.
    EXPECT_EQ(strhash_put(t, xstrdup("null"), nullptr), nullptr);
    EXPECT_EQ(strhash_get(t, "null"), nullptr);
    EXPECT_EQ(t->count, 2);
    EXPECT_EQ(strhash_get(t, "absent"), nullptr);
    strhash_destroy(t, 0);
}

TEST(StrHashGrowth, KeepsRelativeOrderAndReusesStoredHashes) {
    // Chain order in one bucket survives growth; keys_of shows it.
    StrHashTable* t = strhash_create(constant_hash, strings_equal, 4, 0.75f, KeyOwnership::Owned);
    for (const char* k : {"c", "a", "d", "b"}) strhash_put(t, xstrdup(k), value(1));
    EXPECT_EQ(t->capacity, 8);
    EXPECT_EQ(keys_of(t), (std::vector<std::string>{"c", "a", "d", "b"}));
    strhash_destroy(t, 0);

    // With the real hash, keys come back in bucket order, which growth changes.
    t = strhash_create(hash_string, strings_equal, 2, 0.75f, KeyOwnership::Owned);
    strhash_put(t, xstrdup("a"), value(1));  // 'a' = 97: h mixes to bucket 97's pattern
    strhash_put(t, xstrdup("b"), value(2));
    std::vector<std::string> keys = keys_of(t);
    std::vector<std::pair<uint32_t, std::string>> expected;
    for (const std::string& k : {std::string("a"), std::string("b")}) {
        expected.emplace_back(hash_string(k.c_str()) & static_cast<uint32_t>(t->capacity - 1), k);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    EXPECT_EQ(keys, (std::vector<std::string>{expected[0].second, expected[1].second}));
    strhash_destroy(t, 0);
}

TEST(StrHashKeys, EmptyTableGivesNone) {
    StrHashTable* t = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    EXPECT_EQ(strhash_keys(t), nullptr);
    strhash_free_keys(nullptr);
    strhash_destroy(t, 0);
}

TEST(StrHashRemove, FreesTheStoredKeyNotTheValue) {
    StrHashTable* t = strhash_create(constant_hash, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    char* value_text = xstrdup("path");
    for (const char* k : {"x", "y", "z"}) strhash_put(t, xstrdup(k), value_text);
    EXPECT_EQ(strhash_remove(t, "absent"), nullptr);
    EXPECT_EQ(t->count, 3);
    EXPECT_EQ(strhash_remove(t, "y"), value_text);  // from the middle of the chain
    EXPECT_EQ(t->count, 2);
    EXPECT_EQ(strhash_get(t, "y"), nullptr);
    EXPECT_EQ(keys_of(t), (std::vector<std::string>{"x", "z"}));
    EXPECT_EQ(strhash_remove(t, "x"), value_text);  // the head of the chain
    EXPECT_EQ(keys_of(t), (std::vector<std::string>{"z"}));
    strhash_destroy(t, 0);
    std::free(value_text);  // the value survived every removal; ASan would catch a double free
}

TEST(StrHashClear, FreesKeysAndValuesOnlyInOwningTables) {
    // Owning table: ASan's leak check fails the run if keys or values stay.
    StrHashTable* owning =
        strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    strhash_put(owning, xstrdup("k1"), xstrdup("v1"));
    strhash_put(owning, xstrdup("k2"), xstrdup("v2"));
    strhash_clear(owning, 1);
    EXPECT_EQ(owning->count, 0);
    EXPECT_EQ(owning->capacity, 16);
    EXPECT_EQ(owning->threshold, 12);
    EXPECT_EQ(strhash_get(owning, "k1"), nullptr);
    strhash_put(owning, xstrdup("again"), value(5));
    EXPECT_EQ(strhash_get(owning, "again"), value(5));
    strhash_destroy(owning, 0);

    // Borrowing table: keys and values belong to the caller and stay valid,
    // whatever the compare function; removing a key does not free it either
    // (ASan would catch a free of this stack string's buffer).
    std::string k1 = "k1", k2 = "k2", v1 = "v1";
    StrHashTable* borrowing =
        strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Borrowed);
    strhash_put(borrowing, k1.data(), v1.data());
    strhash_put(borrowing, k2.data(), v1.data());
    EXPECT_EQ(strhash_remove(borrowing, "k2"), v1.data());
    strhash_destroy(borrowing, 1);
    EXPECT_EQ(k1, "k1");
    EXPECT_EQ(k2, "k2");
    EXPECT_EQ(v1, "v1");
}

TEST(StrHashFind, TellsAStoredNullFromAnAbsentKey) {
    StrHashTable* t = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    strhash_put(t, xstrdup("zero"), nullptr);
    strhash_put(t, xstrdup("five"), value(5));
    void* found = value(9);
    EXPECT_TRUE(strhash_find(t, "zero", &found));
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(strhash_find(t, "five", &found));
    EXPECT_EQ(found, value(5));
    found = value(9);
    EXPECT_FALSE(strhash_find(t, "absent", &found));
    EXPECT_EQ(found, value(9));  // untouched
    EXPECT_TRUE(strhash_find(t, "zero", nullptr));
    strhash_destroy(t, 0);
}

TEST(StrHashTable, ManyKeysStayReachable) {
    StrHashTable* t = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    for (int i = 0; i < 20000; ++i) {
        const std::string key = "http://img.example.com/" + std::to_string(i) + ".jpg";
        strhash_put(t, xstrdup(key.c_str()), value(i + 1));
    }
    EXPECT_EQ(t->count, 20000);
    EXPECT_EQ(t->capacity, 32768);
    for (int i = 0; i < 20000; i += 7) {
        const std::string key = "http://img.example.com/" + std::to_string(i) + ".jpg";
        ASSERT_EQ(strhash_get(t, key.c_str()), value(i + 1));
    }
    strhash_destroy(t, 0);
}

}  // namespace
