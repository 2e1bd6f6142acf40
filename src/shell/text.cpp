#include "shell/text.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

bool same_ignore_case(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

char* replace_all(const char* text, const char* pattern, const char* replacement) {
    if (text == nullptr || *text == '\0' || pattern == nullptr || *pattern == '\0' ||
        replacement == nullptr) {
        return nullptr;
    }
    const size_t text_length = std::strlen(text);
    const size_t pattern_length = std::strlen(pattern);
    const size_t replacement_length = std::strlen(replacement);

    size_t capacity = 256;
    size_t count = 0;
    auto* positions = static_cast<size_t*>(xmalloc(capacity * sizeof(size_t)));
    for (const char* at = std::strstr(text, pattern); at != nullptr;
         at = std::strstr(at + pattern_length, pattern)) {
        if (count == capacity) {
            capacity = checked_mul(capacity, 2);
            auto* grown = static_cast<size_t*>(xmalloc(checked_mul(capacity, sizeof(size_t))));
            std::memcpy(grown, positions, count * sizeof(size_t));
            std::free(positions);
            positions = grown;
        }
        positions[count++] = static_cast<size_t>(at - text);
    }
    if (count == 0) {
        std::free(positions);
        return nullptr;
    }

    // Occurrences never overlap, so removing them cannot underflow.
    size_t length = text_length - count * pattern_length;
    length = checked_add(length, checked_mul(count, replacement_length));
    char* result = static_cast<char*>(xmalloc(checked_add(length, 1)));
    char* out = result;
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out, text + from, positions[i] - from);
        out += positions[i] - from;
        std::memcpy(out, replacement, replacement_length);
        out += replacement_length;
        from = positions[i] + pattern_length;
    }
    std::memcpy(out, text + from, text_length - from);
    out += text_length - from;
    *out = '\0';
    std::free(positions);
    return result;
}

int starts_with_ignore_case(const char* text, const char* prefix) {
    const size_t prefix_length = std::strlen(prefix);
    if (prefix_length == 0) return *text == '\0' ? 1 : 0;
    // Byte by byte, so a long text is never measured: a NUL in the text ends
    // the comparison because no prefix byte is NUL.
    for (size_t i = 0; i < prefix_length; ++i) {
        if (fold(static_cast<unsigned char>(text[i])) !=
            fold(static_cast<unsigned char>(prefix[i]))) {
            return 0;
        }
    }
    return 1;
}

int ends_with_ignore_case(const char* text, const char* suffix) {
    const size_t text_length = std::strlen(text);
    const size_t suffix_length = std::strlen(suffix);
    if (text_length < suffix_length) return 0;
    if (suffix_length == 0) return text_length == 0 ? 1 : 0;
    return same_ignore_case(text + text_length - suffix_length, suffix, suffix_length) ? 1 : 0;
}
