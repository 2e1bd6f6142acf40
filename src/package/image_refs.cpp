#include "package/image_refs.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "package/image_hosts.h"
#include "shell/app_log.h"
#include "shell/memory.h"

const char* const DESCRIPTION_PATTERNS[9] = {
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*((http[s]?:)?//[^ |>]*))re",
    R"re(background[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(background[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(background[ ]*=[ ]*((http[s]?:)?//[^ |>]*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*((http[s]?:)?//[^\)]*))re",
};

const char* const MOBILE_DETAIL_PATTERN = R"re(<img[^>]*>((http[s]?:)?//[^<]*)</img>)re";

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

pcre2_code* compile(const char* pattern, bool* owned) {
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        for (int i = 0; i < cached; ++i) {
            if (std::strcmp(cache[i].source, pattern) == 0) {
                *owned = false;
                return cache[i].code;
            }
        }
    }
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR text[256];
        if (pcre2_get_error_message(error, text, sizeof text) < 0)
            std::strcpy(reinterpret_cast<char*>(text), "?");
        app_log_format("PCRE compilation failed at offset %d: %s", static_cast<int>(offset),
                       reinterpret_cast<const char*>(text));
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
                 int addressGroup, bool skipRules) {
    bool owned = false;
    pcre2_code* code = compile(pattern, &owned);
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
                     int addressGroup) {
    return run_pattern(text, list, pattern, groups, addressGroup, true);
}

bool extract_description_images(const char* description, PtrVector* list) {
    static constexpr int GROUPS[9] = {3, 3, 3, 2, 2, 2, 2, 2, 2};
    static constexpr int ADDRESS_GROUP[9] = {2, 2, 2, 1, 1, 1, 1, 1, 1};
    for (int i = 0; i < 9; ++i) {
        if (!collect_matches(description, list, DESCRIPTION_PATTERNS[i], GROUPS[i],
                             ADDRESS_GROUP[i]))
            return false;
    }
    return true;
}

bool extract_mobile_images(const char* mobileDetail, PtrVector* list) {
    return run_pattern(mobileDetail, list, MOBILE_DETAIL_PATTERN, 2, 1, false);
}
