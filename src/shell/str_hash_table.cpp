#include "shell/str_hash_table.h"

#include <cstdlib>

#include "base/memory.h"

namespace {

constexpr int32_t MAX_CAPACITY = 1 << 30;

int32_t threshold_for(int32_t capacity, float loadFactor) {
    return static_cast<int32_t>(static_cast<float>(capacity) * loadFactor);
}

StrHashNode* find(const StrHashTable* table, const char* key, uint32_t hash,
                  StrHashNode** previous) {
    StrHashNode* before = &table->buckets[hash & static_cast<uint32_t>(table->capacity - 1)];
    for (StrHashNode* node = before->next; node != nullptr; before = node, node = node->next) {
        if (node->hash == hash && table->compareFn(node->key, key)) {
            if (previous != nullptr) *previous = before;
            return node;
        }
    }
    return nullptr;
}

void append(StrHashNode* head, StrHashNode* node) {
    while (head->next != nullptr) head = head->next;
    head->next = node;
}

void grow(StrHashTable* table) {
    if (table->capacity >= MAX_CAPACITY) return;  // a table this large just gets longer chains
    const int32_t capacity = table->capacity * 2;
    auto* buckets =
        static_cast<StrHashNode*>(xcalloc(static_cast<size_t>(capacity), sizeof(StrHashNode)));
    // Tails of the new chains, so each move is O(1) and chains keep their order.
    auto** tails =
        static_cast<StrHashNode**>(xmalloc(sizeof(StrHashNode*) * static_cast<size_t>(capacity)));
    for (int32_t i = 0; i < capacity; ++i) tails[i] = &buckets[i];
    for (int32_t i = 0; i < table->capacity; ++i) {
        StrHashNode* node = table->buckets[i].next;
        while (node != nullptr) {
            StrHashNode* next = node->next;
            const uint32_t bucket = node->hash & static_cast<uint32_t>(capacity - 1);
            node->next = nullptr;
            tails[bucket]->next = node;
            tails[bucket] = node;
            node = next;
        }
    }
    std::free(tails);
    std::free(table->buckets);
    table->buckets = buckets;
    table->capacity = capacity;
    table->threshold = threshold_for(capacity, table->loadFactor);
}

bool owns_keys(const StrHashTable* table) {
    return table->ownership == KeyOwnership::Owned;
}

}  // namespace

uint32_t hash_string(const char* key) {
    uint32_t h = 0;
    for (const char* p = key; *p != '\0'; ++p) {
        // Bytes count as signed, so GBK text hashes as the table always has.
        h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    h ^= (h >> 20) ^ (h >> 12);
    return h ^ (h >> 7) ^ (h >> 4);
}

StrHashTable* strhash_create(StrHashFn hashFn, StrCompareFn compareFn, int32_t capacity,
                             float loadFactor, KeyOwnership ownership) {
    int32_t buckets = 1;
    if (capacity > MAX_CAPACITY) capacity = MAX_CAPACITY;
    while (buckets < capacity) buckets *= 2;
    auto* table = static_cast<StrHashTable*>(xmalloc(sizeof(StrHashTable)));
    table->count = 0;
    table->capacity = buckets;
    table->loadFactor = loadFactor;
    table->threshold = threshold_for(buckets, loadFactor);
    table->buckets =
        static_cast<StrHashNode*>(xcalloc(static_cast<size_t>(buckets), sizeof(StrHashNode)));
    table->hashFn = hashFn;
    table->compareFn = compareFn;
    table->ownership = ownership;
    return table;
}

void* strhash_put(StrHashTable* table, char* key, void* value) {
    const uint32_t hash = table->hashFn(key);
    if (StrHashNode* node = find(table, key, hash, nullptr)) {
        void* old = node->value;
        node->value = value;
        return old;
    }
    auto* node = static_cast<StrHashNode*>(xmalloc(sizeof(StrHashNode)));
    *node = StrHashNode{hash, key, value, nullptr};
    append(&table->buckets[hash & static_cast<uint32_t>(table->capacity - 1)], node);
    table->count++;
    if (table->count >= table->threshold) grow(table);
    return nullptr;
}

void* strhash_get(const StrHashTable* table, const char* key) {
    StrHashNode* node = find(table, key, table->hashFn(key), nullptr);
    return node != nullptr ? node->value : nullptr;
}

bool strhash_find(const StrHashTable* table, const char* key, void** value) {
    StrHashNode* node = find(table, key, table->hashFn(key), nullptr);
    if (node != nullptr && value != nullptr) *value = node->value;
    return node != nullptr;
}

void* strhash_remove(StrHashTable* table, const char* key) {
    StrHashNode* previous = nullptr;
    StrHashNode* node = find(table, key, table->hashFn(key), &previous);
    if (node == nullptr) return nullptr;
    previous->next = node->next;
    table->count--;
    void* value = node->value;
    if (owns_keys(table)) std::free(node->key);
    std::free(node);
    return value;
}

StrHashKeyList* strhash_keys(const StrHashTable* table) {
    StrHashKeyList* first = nullptr;
    StrHashKeyList** tail = &first;
    for (int32_t i = 0; i < table->capacity; ++i) {
        for (StrHashNode* node = table->buckets[i].next; node != nullptr; node = node->next) {
            auto* cell = static_cast<StrHashKeyList*>(xmalloc(sizeof(StrHashKeyList)));
            *cell = StrHashKeyList{node->key, nullptr};
            *tail = cell;
            tail = &cell->next;
        }
    }
    return first;
}

void strhash_free_keys(StrHashKeyList* list) {
    while (list != nullptr) {
        StrHashKeyList* next = list->next;
        std::free(list);
        list = next;
    }
}

void strhash_clear(StrHashTable* table, int freeValues) {
    const bool owns = owns_keys(table);
    for (int32_t i = 0; i < table->capacity; ++i) {
        StrHashNode* node = table->buckets[i].next;
        while (node != nullptr) {
            StrHashNode* next = node->next;
            if (owns) {
                std::free(node->key);
                if (freeValues) std::free(node->value);
            }
            std::free(node);
            node = next;
        }
        table->buckets[i].next = nullptr;
    }
    table->count = 0;
}

void strhash_destroy(StrHashTable* table, int freeValues) {
    if (table == nullptr) return;
    strhash_clear(table, freeValues);
    std::free(table->buckets);
    std::free(table);
}
