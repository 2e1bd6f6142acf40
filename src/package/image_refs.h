// Finding the image addresses in an item's description and mobile detail.
// Cells arrive as the reader cut them from the package text: still in their
// enclosing quotes, with inner quotes doubled, which the patterns allow for.
// Addresses are kept exactly as written so they can later be replaced
// verbatim everywhere in the text.
#pragma once

#include <cstdint>

#include "shell/ptr_vector.h"

// The description patterns, in the order they run.
extern const char* const DESCRIPTION_PATTERNS[9];
extern const char* const MOBILE_DETAIL_PATTERN;

// Why a scan failed, for the caller's own report: PCRE2's error number (a
// compile error, or the negative result of a match) and its message.
struct ScanError {
    int code;
    char message[128];
};

// Appends the distinct addresses of a description to `list` (heap strings),
// skipping the blank placeholder and affiliated hosts. False at the first
// pattern that fails (logged, and described in `error` when given); what was
// found before stays in the list.
bool extract_description_images(const char* description, PtrVector* list,
                                ScanError* error = nullptr);

// The same for a mobile detail: the text of each <img ...>ADDRESS</img>.
// Only duplicates are skipped.
bool extract_mobile_images(const char* mobileDetail, PtrVector* list, ScanError* error = nullptr);

// Runs one description pattern over `text`, appending the text of capture
// group `addressGroup` of each match. `groups` is the pattern's number of
// capture groups. False (and logged) when the pattern does not compile or
// matching fails.
bool collect_matches(const char* text, PtrVector* list, const char* pattern, int groups,
                     int addressGroup, ScanError* error = nullptr);

// Test seam: caps the matcher's work per call (0 restores the library's
// default), so tests can make a scan fail without pathological input.
void image_refs_set_match_limit(uint32_t limit);
