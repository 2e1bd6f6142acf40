#include "base/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void out_of_memory() {
    std::fputs("kelvane: out of memory\n", stderr);
    std::abort();
}

}  // namespace

void* xmalloc(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) out_of_memory();
    return p;
}

void* xcalloc(size_t count, size_t size) {
    void* p = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (p == nullptr) out_of_memory();
    return p;
}

char* xstrndup(const char* text, size_t length) {
    char* copy = static_cast<char*>(xmalloc(checked_add(length, 1)));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char* xstrdup(const char* text) {
    return xstrndup(text, std::strlen(text));
}

size_t checked_add(size_t a, size_t b) {
    if (a > SIZE_MAX - b) out_of_memory();
    return a + b;
}

size_t checked_mul(size_t a, size_t b) {
    if (a != 0 && b > SIZE_MAX / a) out_of_memory();
    return a * b;
}
