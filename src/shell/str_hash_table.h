// A separately chained hash table keyed by NUL-terminated strings, with
// caller-chosen hash and compare functions. It serves the keep-alive pool,
// the connect failure counts and the move job's moved addresses.
//
// Keys: the table keeps the pointer it is given (no copy). Putting a key that
// is already present keeps the stored key; the caller still owns the one it
// passed. A table made with KeyOwnership::Owned takes heap keys and frees them
// when they are removed or cleared (and the values, when asked); a Borrowed
// table frees neither.
#pragma once

#include <cstdint>

using StrHashFn = uint32_t (*)(const char* key);
// Nonzero when equal. strings_equal (shell/ptr_vector.h) has this type.
using StrCompareFn = int (*)(const void* storedKey, const void* probeKey);

struct StrHashNode {
    uint32_t hash;  // full hash of the key, computed once at insertion
    char* key;
    void* value;
    StrHashNode* next;
};

enum class KeyOwnership { Owned, Borrowed };

struct StrHashTable {
    int32_t count;
    int32_t capacity;   // buckets; a power of two
    int32_t threshold;  // count at which the table doubles
    float loadFactor;
    StrHashNode* buckets;  // heads hold no entry: each chain starts at head.next
    StrHashFn hashFn;
    StrCompareFn compareFn;
    KeyOwnership ownership;
};

struct StrHashKeyList {
    char* key;  // the stored key, not a copy
    StrHashKeyList* next;
};

uint32_t hash_string(const char* key);

// `capacity` is rounded up to a power of two (1 or less gives 1) and must not
// exceed 2^30.
StrHashTable* strhash_create(StrHashFn hashFn, StrCompareFn compareFn, int32_t capacity,
                             float loadFactor, KeyOwnership ownership);
// Returns the key's previous value, or nullptr when the key was new.
void* strhash_put(StrHashTable* table, char* key, void* value);
// The key's value, or nullptr when absent (or stored as nullptr).
void* strhash_get(const StrHashTable* table, const char* key);
// Whether the key is present, with its value in `*value` when it is (a stored
// nullptr or 0 included); `value` may be null.
bool strhash_find(const StrHashTable* table, const char* key, void** value);
// Returns the removed value (not freed), or nullptr when absent. An owned key
// is freed.
void* strhash_remove(StrHashTable* table, const char* key);
// All keys in bucket order, or nullptr for an empty table.
StrHashKeyList* strhash_keys(const StrHashTable* table);
void strhash_free_keys(StrHashKeyList* list);
void strhash_clear(StrHashTable* table, int freeValues);
void strhash_destroy(StrHashTable* table, int freeValues);
