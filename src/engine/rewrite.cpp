#include "engine/rewrite.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "shell/fatal.h"

namespace {

constexpr char MOBILE_OPEN[] = "<img>";
constexpr size_t MOBILE_OPEN_LENGTH = sizeof MOBILE_OPEN - 1;
constexpr char MOBILE_CLOSE[] = "</img>";
constexpr size_t MOBILE_CLOSE_LENGTH = sizeof MOBILE_CLOSE - 1;

// Text is handled in windows of at least this size; smaller ones would only
// add rescanning at their edges.
constexpr size_t MIN_WINDOW = 64 * 1024;

struct Key {
    const char* text;
    size_t length;
    const char* replacement;  // nullptr: the address stays as it is
    size_t replacementLength;
    bool moved;            // the replacement is a saved file's path
    bool dropMobileEntry;  // a plain "<img>ADDRESS</img>" entry disappears whole
};

// Aho-Corasick over the reversed keys. Reading the text backwards, the state
// reached at a position stands for the longest reversed key that ends there,
// that is the longest key that starts there: exactly the address the forward
// rewrite must take at that position, found in time linear in the text.
struct Node {
    uint32_t firstChild;  // children are nodes [firstChild, firstChild + childCount)
    uint32_t fail;
    int32_t output;       // the longest key recognised in this state, or -1
    uint16_t childCount;  // at most 256: one per byte value
    unsigned char byte;   // the byte on the edge into this node
};

// Whether an address may end just before `next`: the bytes that end an
// address in the extraction patterns, the ends of a cell, or the end of the
// text. A recorded address followed by anything else is the start of a
// longer address that the job did not handle, and stays as it is.
bool ends_address(char next) {
    switch (next) {
        case '\0':
        case '"':
        case '\'':
        case ' ':
        case '|':
        case '>':
        case ')':
        case '<':
        case '\t':
        case '\r':
        case '\n':
            return true;
        default:
            return false;
    }
}

// Byte `depth` of the reversed key.
unsigned char reversed_byte(const Key& key, size_t depth) {
    return static_cast<unsigned char>(key.text[key.length - 1 - depth]);
}

bool reversed_less(const Key& a, const Key& b) {
    size_t i = a.length, j = b.length;
    while (i > 0 && j > 0) {
        const auto x = static_cast<unsigned char>(a.text[--i]);
        const auto y = static_cast<unsigned char>(b.text[--j]);
        if (x != y) return x < y;
    }
    return i == 0 && j > 0;
}

class ReverseMatcher {
  public:
    ReverseMatcher(const Key* keys, int32_t keyCount, size_t textLength) {
        auto* order = static_cast<int32_t*>(
            xmalloc(checked_mul(static_cast<size_t>(keyCount), sizeof(int32_t))));
        uint32_t usableCount = 0;
        size_t total = 1;
        for (int32_t k = 0; k < keyCount; ++k) {
            if (!usable(keys[k], textLength)) continue;
            order[usableCount++] = k;
            total = checked_add(total, keys[k].length);
        }
        // Node numbers are 32 bits; keys that many bytes long would not fit
        // in memory as nodes anyway.
        if (total > UINT32_MAX) fatal_error("内存不足");
        std::sort(order, order + usableCount,
                  [keys](int32_t a, int32_t b) { return reversed_less(keys[a], keys[b]); });
        keyNode_ = static_cast<uint32_t*>(
            xcalloc(keyCount > 0 ? static_cast<size_t>(keyCount) : 1, sizeof(uint32_t)));
        build(keys, order, usableCount, total);
        std::free(order);
    }
    ~ReverseMatcher() {
        std::free(nodes_);
        std::free(keyNode_);
    }
    ReverseMatcher(const ReverseMatcher&) = delete;
    ReverseMatcher& operator=(const ReverseMatcher&) = delete;

    size_t longest_key() const { return longest_; }

    uint32_t step(uint32_t state, unsigned char c) const {
        while (true) {
            const uint32_t next = child(state, c);
            if (next != 0 || state == 0) return next;
            state = nodes_[state].fail;
        }
    }
    int32_t output(uint32_t state) const { return nodes_[state].output; }
    // The next shorter key that starts where key `k` starts, or -1.
    int32_t shorter(int32_t k) const { return nodes_[nodes_[keyNode_[k]].fail].output; }

  private:
    // An empty key matches nothing; one longer than the text cannot occur.
    static bool usable(const Key& key, size_t textLength) {
        return key.length > 0 && key.length <= textLength;
    }

    // 0 when `node` has no child for `c`. Most nodes have one child; the few
    // wide ones (where file names start to differ) are searched by halving.
    uint32_t child(uint32_t node, unsigned char c) const {
        if (node == 0) return rootChild_[c];
        const Node& n = nodes_[node];
        const Node* children = nodes_ + n.firstChild;
        if (n.childCount <= 8) {
            for (uint32_t i = 0; i < n.childCount; ++i) {
                if (children[i].byte == c) return n.firstChild + i;
            }
            return 0;
        }
        uint32_t low = 0, high = n.childCount;
        while (low < high) {
            const uint32_t middle = low + (high - low) / 2;
            if (children[middle].byte < c) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low < n.childCount && children[low].byte == c ? n.firstChild + low : 0;
    }

    // The trie breadth first from the sorted reversed keys: a node is the run
    // of keys sharing its path, its children the sub-runs split by the next
    // byte, so siblings get consecutive numbers in byte order. A node's
    // failure target is shallower and therefore complete when it is made.
    void build(const Key* keys, const int32_t* order, uint32_t usableCount, size_t capacity) {
        nodes_ = static_cast<Node*>(xmalloc(checked_mul(capacity, sizeof(Node))));

        auto* runStart = static_cast<uint32_t*>(xmalloc(checked_mul(capacity, sizeof(uint32_t))));
        auto* runEnd = static_cast<uint32_t*>(xmalloc(checked_mul(capacity, sizeof(uint32_t))));
        std::memset(rootChild_, 0, sizeof rootChild_);
        nodes_[0] = Node{0, 0, -1, 0, 0};
        runStart[0] = 0;
        runEnd[0] = usableCount;
        uint32_t count = 1;
        uint32_t levelEnd = 1;  // the first node of the next depth
        size_t depth = 0;       // of node `u`
        for (uint32_t u = 0; u < count; ++u) {
            if (u == levelEnd) {
                ++depth;
                levelEnd = count;
            }
            nodes_[u].firstChild = count;
            for (uint32_t a = runStart[u]; a < runEnd[u];) {
                const unsigned char c = reversed_byte(keys[order[a]], depth);
                uint32_t e = a + 1;
                while (e < runEnd[u] && reversed_byte(keys[order[e]], depth) == c) ++e;

                const uint32_t v = count++;
                Node& node = nodes_[v];
                node = Node{0, u == 0 ? 0 : step(nodes_[u].fail, c), -1, 0, c};
                // The shortest key of a run sorts first: it ends right here.
                uint32_t rest = a;
                if (keys[order[a]].length == depth + 1) {
                    node.output = order[a];
                    keyNode_[order[a]] = v;
                    ++rest;
                    if (depth + 1 > longest_) longest_ = depth + 1;
                } else {
                    node.output = nodes_[node.fail].output;
                }
                runStart[v] = rest;
                runEnd[v] = e;
                ++nodes_[u].childCount;
                if (u == 0) rootChild_[c] = v;
                a = e;
            }
        }
        std::free(runStart);
        std::free(runEnd);
    }

    Node* nodes_ = nullptr;
    uint32_t* keyNode_ = nullptr;  // the node where each usable key ends
    uint32_t rootChild_[256];
    size_t longest_ = 0;
};

// The new text, started at the first edit. Paths are mostly shorter than the
// addresses they replace, so the first allocation usually suffices.
struct Output {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    size_t firstCapacity = 4096;

    void append(const char* bytes, size_t count) {
        if (count == 0) return;
        const size_t needed = checked_add(length, count);
        if (needed > capacity) {
            size_t grown = capacity == 0 ? firstCapacity : checked_mul(capacity, 2);
            if (grown < needed) grown = needed;
            // realloc can move a large block by remapping it instead of copying.
            char* bigger = static_cast<char*>(std::realloc(data, grown));
            if (bigger == nullptr) fatal_error("内存不足");
            data = bigger;
            capacity = grown;
        }
        std::memcpy(data + length, bytes, count);
        length = needed;
    }
};

struct Match {
    size_t position;
    int32_t key;
};

// Matches of one window, found back to front.
struct MatchList {
    Match* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    ~MatchList() { std::free(items); }
    void push(size_t position, int32_t key) {
        if (count == capacity) {
            const size_t grown = capacity == 0 ? 256 : checked_mul(capacity, 2);
            auto* bigger = static_cast<Match*>(xmalloc(checked_mul(grown, sizeof(Match))));
            if (count > 0) std::memcpy(bigger, items, count * sizeof(Match));
            std::free(items);
            items = bigger;
            capacity = grown;
        }
        items[count++] = Match{position, key};
    }
};

// The keys of `movedImages` with what replaces each; sets `*changed` when
// asking for blanks already makes this a change. Returns how many were made.
int32_t build_keys(const StrHashTable* movedImages, const StrHashKeyList* list,
                   const char* blankImage, Key* keys, int32_t capacity, bool* changed) {
    const size_t blankLength = blankImage != nullptr ? std::strlen(blankImage) : 0;
    int32_t used = 0;
    for (const StrHashKeyList* entry = list; entry != nullptr && used < capacity;
         entry = entry->next) {
        const auto* value = static_cast<const char*>(strhash_get(movedImages, entry->key));
        Key& key = keys[used++];
        key.text = entry->key;
        key.length = std::strlen(entry->key);
        key.moved = false;
        key.dropMobileEntry = false;
        if (value != nullptr && value[0] != '\0') {
            key.moved = true;
            key.replacement = value;
            key.replacementLength = std::strlen(value);
        } else if (blankImage != nullptr) {
            // Asking for blanks is itself a change: the package is written
            // even when the failed address is gone from it.
            *changed = true;
            key.replacement = blankImage;
            key.replacementLength = blankLength;
            key.dropMobileEntry = true;
        } else {
            // Still matched, so that a shorter recorded address can never
            // rewrite the start of this one.
            key.replacement = nullptr;
            key.replacementLength = 0;
        }
    }
    return used;
}

// One pass over `input` (`length` bytes, not empty) that writes the new text
// into `out` from the first edit on. Returns whether anything was rewritten;
// sets `*changed` when a moved address was. Reports each new whole
// percentage; `*lastPercent` is the last one reported.
bool rewrite_pass(const Key* keys, int32_t keyCount, const char* input, size_t length, Output* out,
                  const RewriteProgress& progress, int* lastPercent, bool* changed) {
    const ReverseMatcher matcher(keys, keyCount, length);
    // A window is rescanned from `longest` bytes past its end so that every
    // address starting inside it is seen whole.
    const size_t longest = matcher.longest_key();
    size_t window = length / 100 + 1;
    if (window < MIN_WINDOW) window = MIN_WINDOW;
    if (window < 2 * longest) window = 2 * longest;

    bool rewritten = false;
    MatchList matches;
    size_t next = 0;    // no address may start before this (inside a taken one)
    size_t copied = 0;  // input before this is already in `out` or replaced
    for (size_t start = 0; start < length && longest > 0;) {
        const size_t end = length - start > window ? start + window : length;
        const size_t scanEnd = length - end > longest ? end + longest : length;
        matches.count = 0;
        uint32_t state = 0;
        for (size_t i = scanEnd; i > start;) {
            --i;
            state = matcher.step(state, static_cast<unsigned char>(input[i]));
            if (i >= end) continue;
            // The longest recorded address that stands whole at i.
            int32_t k = matcher.output(state);
            while (k >= 0 && !ends_address(input[i + keys[k].length])) k = matcher.shorter(k);
            if (k >= 0) matches.push(i, k);
        }
        for (size_t m = matches.count; m-- > 0;) {
            const size_t at = matches.items[m].position;
            if (at < next) continue;
            const Key& key = keys[matches.items[m].key];
            const size_t taken = next;  // the end of the previous address
            next = at + key.length;
            if (key.replacement == nullptr) continue;

            size_t from = at, to = next;
            const char* replacement = key.replacement;
            size_t replacementLength = key.replacementLength;
            if (key.dropMobileEntry && at - taken >= MOBILE_OPEN_LENGTH &&
                std::memcmp(input + at - MOBILE_OPEN_LENGTH, MOBILE_OPEN, MOBILE_OPEN_LENGTH) ==
                    0 &&
                length - next >= MOBILE_CLOSE_LENGTH &&
                std::memcmp(input + next, MOBILE_CLOSE, MOBILE_CLOSE_LENGTH) == 0) {
                from = at - MOBILE_OPEN_LENGTH;
                to = next + MOBILE_CLOSE_LENGTH;
                next = to;
                replacement = "";
                replacementLength = 0;
            }
            out->append(input + copied, from - copied);
            out->append(replacement, replacementLength);
            copied = to;
            rewritten = true;
            if (key.moved) *changed = true;
        }
        start = end;
        if (start < length) {
            const int percent =
                static_cast<int>(static_cast<double>(start) * 100.0 / static_cast<double>(length));
            if (percent != *lastPercent && progress) progress(percent);
            *lastPercent = percent;
        }
    }
    if (rewritten) {
        out->append(input + copied, length - copied);
        out->append("", 1);
    }
    return rewritten;
}

}  // namespace

bool rewrite_references(const StrHashTable* movedImages, char** text, const char* blankImage,
                        const RewriteProgress& progress) {
    if (progress) progress(-1);
    if (movedImages == nullptr || movedImages->count <= 0) return false;

    StrHashKeyList* list = strhash_keys(movedImages);
    const auto keyCount = static_cast<int32_t>(movedImages->count);
    auto* keys =
        static_cast<Key*>(xmalloc(checked_mul(static_cast<size_t>(keyCount), sizeof(Key))));
    bool changed = false;
    const int32_t used = build_keys(movedImages, list, blankImage, keys, keyCount, &changed);

    const char* input = *text != nullptr ? *text : "";
    const size_t length = std::strlen(input);
    Output out;
    out.firstCapacity = checked_add(checked_add(length, length / 8), 4096);
    int last = 0;
    const bool rewritten =
        length > 0 && rewrite_pass(keys, used, input, length, &out, progress, &last, &changed);
    if (last != 100 && progress) progress(100);

    if (rewritten) {
        std::free(*text);
        *text = out.data;
    }
    std::free(keys);
    strhash_free_keys(list);
    return changed;
}
