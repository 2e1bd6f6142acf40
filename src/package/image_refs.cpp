#include "package/image_refs.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/memory.h"
#include "package/image_hosts.h"
#include "shell/app_log.h"

// The patterns find exactly what these plain forms find, match for match (the
// tests keep them as the reference):
//
//   <img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*)  (and the ' and unquoted src)
//   background[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*)                (and the other five)
//   <img[^>]*>((http[s]?:)?//[^<]*)</img>
//
// but in time linear in the cell, where the plain img forms try every way of
// sharing a tag's spaces between their two space runs, and try again from
// every later "<img" before the same ">": 20,000 spaces after "<img", or a
// few thousand unclosed tags, exhaust the matcher. For one "<img" the plain
// form takes the src after the last space run, before the tag's ">", that a
// src follows. So here:
//  - the optional group ends on a character that is neither a space nor ">":
//    where the plain group could end inside a space run, the src run takes
//    the whole run instead, with the same result; space runs are taken whole
//    (possessive), as what follows them is never a space;
//  - when no src follows an "<img " at all, none follows an "<img" further on
//    before the same ">" either, so (*SKIP) resumes the search at that ">"
//    rather than one character on. The mobile form skips likewise once it
//    has found the ">" that closes its tag.
// The background forms never backtracked; their repeats are possessive all
// the same, which changes nothing they find.
const char* const DESCRIPTION_PATTERNS[9] = {
    R"re(<img(?:([ ]++[^>]*[^> ])?[ ]++src[ ]*+=[ ]*+["]++[ ]*+((http[s]?:)?//[^"]*+)|[ ][^>]*+(*SKIP)(*F)))re",
    R"re(<img(?:([ ]++[^>]*[^> ])?[ ]++src[ ]*+=[ ]*+[']++[ ]*+((http[s]?:)?//[^']*+)|[ ][^>]*+(*SKIP)(*F)))re",
    R"re(<img(?:([ ]++[^>]*[^> ])?[ ]++src[ ]*+=[ ]*+((http[s]?:)?//[^ |>]*+)|[ ][^>]*+(*SKIP)(*F)))re",
    R"re(background[ ]*+=[ ]*+["]++[ ]*+((http[s]?:)?//[^"]*+))re",
    R"re(background[ ]*+=[ ]*+[']++[ ]*+((http[s]?:)?//[^']*+))re",
    R"re(background[ ]*+=[ ]*+((http[s]?:)?//[^ |>]*+))re",
    R"re(background[ ]*+:[ ]*+url[ ]*+\([ ]*+["]++[ ]*+((http[s]?:)?//[^"]*+))re",
    R"re(background[ ]*+:[ ]*+url[ ]*+\([ ]*+[']++[ ]*+((http[s]?:)?//[^']*+))re",
    R"re(background[ ]*+:[ ]*+url[ ]*+\([ ]*+((http[s]?:)?//[^\)]*+))re",
};

const char* const MOBILE_DETAIL_PATTERN = R"re(<img[^>]*+(*SKIP)>((http[s]?:)?//[^<]*+)</img>)re";

namespace {

// Compiled patterns live for the whole process: a package of 2,000 items
// would otherwise compile twenty thousand of them.
struct CompiledPattern {
    char* source;
    pcre2_code* code;
};

constexpr int MAX_CACHED_PATTERNS = 32;
std::mutex cache_mutex;
CompiledPattern cache[MAX_CACHED_PATTERNS];
int cached = 0;

void describe(ScanError* error, int code) {
    if (error == nullptr) return;
    error->code = code;
    if (pcre2_get_error_message(code, reinterpret_cast<PCRE2_UCHAR*>(error->message),
                                sizeof error->message) < 0) {
        std::snprintf(error->message, sizeof error->message, "?");
    }
}

pcre2_code* compile(const char* pattern, bool* owned, ScanError* error) {
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        for (int i = 0; i < cached; ++i) {
            if (std::strcmp(cache[i].source, pattern) == 0) {
                *owned = false;
                return cache[i].code;
            }
        }
    }
    int error_number = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS, &error_number, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR text[256];
        if (pcre2_get_error_message(error_number, text, sizeof text) < 0)
            std::strcpy(reinterpret_cast<char*>(text), "?");
        app_log_format("PCRE compilation failed at offset %d: %s", static_cast<int>(offset),
                       reinterpret_cast<const char*>(text));
        describe(error, error_number);
        return nullptr;
    }
    pcre2_jit_compile(code,
                      PCRE2_JIT_COMPLETE);  // without JIT the interpreter gives the same results

    std::lock_guard<std::mutex> lock(cache_mutex);
    for (int i = 0; i < cached; ++i) {  // another thread may have compiled it meanwhile
        if (std::strcmp(cache[i].source, pattern) == 0) {
            pcre2_code_free(code);
            *owned = false;
            return cache[i].code;
        }
    }
    if (cached == MAX_CACHED_PATTERNS) {  // only a caller with ad-hoc patterns gets here
        *owned = true;
        return code;
    }
    cache[cached++] = CompiledPattern{xstrdup(pattern), code};
    *owned = false;
    return code;
}

bool is_skipped(const char* address) {
    for (const char* suffix : SKIPPED_HOST_SUFFIXES) {
        if (std::strstr(address, suffix) != nullptr) return true;
    }
    return std::strcmp(address, BLANK_IMAGE_URL) == 0;
}

std::atomic<uint32_t> match_limit{0};

int match(const pcre2_code* code, const char* text, size_t length, size_t start,
          pcre2_match_data* data) {
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(text);
    pcre2_match_context* context = nullptr;
    if (const uint32_t limit = match_limit.load(); limit != 0) {
        context = pcre2_match_context_create(nullptr);
        pcre2_set_match_limit(context, limit);
    }
    int rc = pcre2_match(code, subject, length, start, 0, data, context);
    // The JIT's small default stack is the one way it can fail where the
    // interpreter would not; give that match to the interpreter.
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
        rc = pcre2_match(code, subject, length, start, PCRE2_NO_JIT, data, context);
    pcre2_match_context_free(context);
    return rc;
}

bool run_pattern(const char* text, PtrVector* list, const char* pattern, int groups,
                 int addressGroup, bool skipRules, ScanError* error) {
    bool owned = false;
    pcre2_code* code = compile(pattern, &owned, error);
    if (code == nullptr) return false;
    if (groups < 0) groups = 0;
    pcre2_match_data* data = pcre2_match_data_create(static_cast<uint32_t>(groups) + 1, nullptr);

    bool ok = true;
    const size_t length = std::strlen(text);
    size_t start = 0;
    while (start <= length) {
        const int rc = match(code, text, length, start, data);
        if (rc < 0) {
            if (rc != PCRE2_ERROR_NOMATCH) {
                app_log_format("Matching error: %d", rc);
                describe(error, rc);
                ok = false;
            }
            break;
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        const uint32_t pairs = pcre2_get_ovector_count(data);
        if (addressGroup >= 0 && static_cast<uint32_t>(addressGroup) < pairs &&
            ovector[2 * addressGroup] != PCRE2_UNSET) {
            const size_t from = ovector[2 * addressGroup];
            const size_t to = ovector[2 * addressGroup + 1];
            char* address = xstrndup(text + from, to - from);
            if ((skipRules && is_skipped(address)) ||
                ptr_vector_contains(list, address, strings_equal)) {
                std::free(address);
            } else {
                ptr_vector_push(list, address);
            }
        }
        // Step past an empty match so that no pattern can loop forever.
        start = ovector[1] > ovector[0] ? ovector[1] : ovector[0] + 1;
    }
    pcre2_match_data_free(data);
    if (owned) pcre2_code_free(code);
    return ok;
}

}  // namespace

void image_refs_set_match_limit(uint32_t limit) {
    match_limit.store(limit);
}

bool collect_matches(const char* text, PtrVector* list, const char* pattern, int groups,
                     int addressGroup, ScanError* error) {
    return run_pattern(text, list, pattern, groups, addressGroup, true, error);
}

bool extract_description_images(const char* description, PtrVector* list, ScanError* error) {
    static constexpr int GROUPS[9] = {3, 3, 3, 2, 2, 2, 2, 2, 2};
    static constexpr int ADDRESS_GROUP[9] = {2, 2, 2, 1, 1, 1, 1, 1, 1};
    for (int i = 0; i < 9; ++i) {
        if (!collect_matches(description, list, DESCRIPTION_PATTERNS[i], GROUPS[i],
                             ADDRESS_GROUP[i], error))
            return false;
    }
    return true;
}

bool extract_mobile_images(const char* mobileDetail, PtrVector* list, ScanError* error) {
    return run_pattern(mobileDetail, list, MOBILE_DETAIL_PATTERN, 2, 1, false, error);
}
