// The failure box: the failed addresses of a finished item, under a heading
// per kind, ready to be copied into a browser.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "package/data_package.h"

inline constexpr size_t FAILURE_TEXT_SIZE = 8192;

// Builds the text for `item` into `out` (FAILURE_TEXT_SIZE bytes, NUL
// included). Empty unless the item is finished and has failures. When the
// addresses do not all fit, each list gets half the room (a list that needs
// less leaves the rest to the other), shows its addresses in order while
// they fit, whole, and ends with "……还有 N 个地址未显示". Reads `status` with
// acquire order, so it may run on another thread than the job's.
void format_failure_text(const ItemRecord* item, char* out);

// The same text for a console, every address followed by what `note` says
// about it ("" for nothing), with no address left out. Empty unless the item
// is finished and has failures.
std::string failure_text_with_notes(const ItemRecord* item,
                                    const std::function<std::string(const char*)>& note);
