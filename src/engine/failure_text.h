// The failure box: the failed addresses of a finished item, under a heading
// per kind, ready to be copied into a browser.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "package/data_package.h"

inline constexpr size_t FAILURE_TEXT_SIZE = 8192;

// Builds the text for `item` into `out` (FAILURE_TEXT_SIZE bytes, NUL
// included). Empty unless the item is finished and has failures. Addresses
// that would not fit are left out whole. Reads `status` with acquire order,
// so it may run on another thread than the job's.
void format_failure_text(const ItemRecord* item, char* out);

// The same text for a console, every address followed by what `note` says
// about it ("" for nothing), with no address left out. Empty unless the item
// is finished and has failures.
std::string failure_text_with_notes(const ItemRecord* item,
                                    const std::function<std::string(const char*)>& note);
