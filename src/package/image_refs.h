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

// Appends the distinct addresses of a description to `list` (heap strings),
// skipping the blank placeholder and affiliated hosts. False at the first
// pattern that fails (logged); what was found before stays in the list.
bool extract_description_images(const char* description, PtrVector* list);

// The same for a mobile detail: the text of each <img ...>ADDRESS</img>.
// Only duplicates are skipped.
bool extract_mobile_images(const char* mobileDetail, PtrVector* list);

// Runs one description pattern over `text`, appending the text of capture
// group `addressGroup` of each match. `groups` is the pattern's number of
// capture groups. False (and logged) when the pattern does not compile or
// matching fails.
bool collect_matches(const char* text, PtrVector* list, const char* pattern, int groups,
                     int addressGroup);

// Test seam: caps the matcher's work per call (0 restores the library's
// default), so tests can make a scan fail without pathological input.
void image_refs_set_match_limit(uint32_t limit);
