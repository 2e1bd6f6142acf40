// Heap helpers. The program treats an exhausted heap as fatal rather than
// handing a null pointer to code that was written to assume success.
#pragma once

#include <cstddef>
#include <cstdint>

void* xmalloc(size_t size);
void* xcalloc(size_t count, size_t size);
char* xstrdup(const char* text);
// Copies `length` bytes and appends a NUL.
char* xstrndup(const char* text, size_t length);

// Overflow-checked size arithmetic: ends the process instead of wrapping.
size_t checked_add(size_t a, size_t b);
size_t checked_mul(size_t a, size_t b);
