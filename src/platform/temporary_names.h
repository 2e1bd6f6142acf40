// The names of the temporary files and of their owner locks, shared by the
// POSIX and Windows safe file operations. A process draws one token of 64
// random bits and names everything it leaves beside a seller's files after
// it: ".kelvane-TOKEN-N.tmp" for a temporary file, ".kelvane-TOKEN.lock" for
// the lock it holds in that folder while it may have any there. Names of
// earlier versions (".kelvane-PID-N.tmp") never match: a process id says
// nothing about a process in another PID namespace or on another computer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

inline constexpr size_t TOKEN_DIGITS = 16;

enum class OwnedName { None, Temporary, Lock };

// What `name` is, with its token in `token`.
template <class Char>
OwnedName parse_owned_name(const Char* name, std::basic_string<Char>* token) {
    static const char prefix[] = ".kelvane-";
    size_t at = 0;
    for (; prefix[at] != '\0'; ++at) {
        if (name[at] != static_cast<Char>(prefix[at])) return OwnedName::None;
    }
    const size_t start = at;
    for (; at < start + TOKEN_DIGITS; ++at) {
        const Char c = name[at];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return OwnedName::None;
    }
    token->assign(name + start, TOKEN_DIGITS);
    auto rest_is = [&](const char* text, size_t from) {
        for (size_t i = 0;; ++i) {
            if (name[from + i] != static_cast<Char>(text[i])) return false;
            if (text[i] == '\0') return true;
        }
    };
    if (rest_is(".lock", at)) return OwnedName::Lock;
    if (name[at] != '-') return OwnedName::None;
    size_t digits = ++at;
    while (name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (digits == at || digits - at > 10 || !rest_is(".tmp", digits)) return OwnedName::None;
    return OwnedName::Temporary;
}

// A token as its name part: 16 lower-case hexadecimal digits.
inline std::string token_text(uint64_t token) {
    static const char hex[] = "0123456789abcdef";
    std::string text(TOKEN_DIGITS, '0');
    for (size_t i = TOKEN_DIGITS; i-- > 0; token >>= 4) text[i] = hex[token & 15];
    return text;
}

}  // namespace platform
