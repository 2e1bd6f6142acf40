// The package update at the end of a move job: every moved address in the
// whole package text becomes the path of its local file and, when asked,
// every failed address becomes the path of a blank image (its plain
// "<img>ADDRESS</img>" mobile-detail entries are removed outright).
#pragma once

#include <functional>

#include "shell/str_hash_table.h"

// Told how far the rewrite has come: -1 as it begins, then each new whole
// percentage of the text it has passed, ending with 100 when there was
// anything to look for.
using RewriteProgress = std::function<void(int percent)>;

// `movedImages` maps addresses to local paths ("" for a failed address).
// Rewrites `*text` in one pass, always replacing the longest recorded address
// that stands whole at a position (followed by a byte that ends an address,
// the end of a cell or the end of the text), and reports its progress to
// `progress` (which may be empty). `blankImage` is the path that replaces
// failed addresses, or nullptr to leave them. Returns whether the package
// changed: a moved address occurred, or a failed address was recorded while
// blanking (even when it no longer occurs). `*text` is replaced by the new
// text (the old one freed) only when something was rewritten.
bool rewrite_references(const StrHashTable* movedImages, char** text, const char* blankImage,
                        const RewriteProgress& progress);
