// A separately chained hash table keyed by NUL-terminated strings, with
// caller-chosen hash and compare functions. It serves the keep-alive pool,
// the connect failure counts and the move job's moved addresses.
//
// Keys: the table keeps the pointer it is given (no copy). Putting a key that
// is already present keeps the stored key; the caller still owns the one it
// passed. Remove frees the stored key. Clear and destroy free stored keys (and
// values, when asked) only in a table compared with strings_equal, which is
// how a table says it owns heap keys.
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

struct StrHashTable {
    int32_t count;
    int32_t capacity;   // buckets; a power of two
    int32_t threshold;  // count at which the table doubles
    float loadFactor;
    StrHashNode* buckets;  // heads hold no entry: each chain starts at head.next
    StrHashFn hashFn;
    StrCompareFn compareFn;
};

struct StrHashKeyList {
    char* key;  // the stored key, not a copy
    StrHashKeyList* next;
};

uint32_t hash_string(const char* key);

// `capacity` is rounded up to a power of two (1 or less gives 1) and must not
// exceed 2^30.
StrHashTable* strhash_create(StrHashFn hashFn, StrCompareFn compareFn, int32_t capacity,
                             float loadFactor);
// Returns the key's previous value, or nullptr when the key was new.
void* strhash_put(StrHashTable* table, char* key, void* value);
void* strhash_get(const StrHashTable* table, const char* key);
// Returns the removed value (not freed), or nullptr when absent.
void* strhash_remove(StrHashTable* table, const char* key);
// All keys in bucket order, or nullptr for an empty table.
StrHashKeyList* strhash_keys(const StrHashTable* table);
void strhash_free_keys(StrHashKeyList* list);
void strhash_clear(StrHashTable* table, int freeValues);
void strhash_destroy(StrHashTable* table, int freeValues);
