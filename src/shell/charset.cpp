#include "shell/charset.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shell/memory.h"

namespace {

enum class Charset {
    Unknown,
    Gbk,
    Gb18030,
    Utf8,
    Ucs2,
    Ucs2Le,
    Ucs2Be,
    Utf16,
    Utf16Le,
    Utf16Be,
};

Charset parse_charset(const char* name) {
    struct Entry {
        const char* name;
        Charset set;
    };
    static constexpr Entry NAMES[] = {
        {"GBK", Charset::Gbk},          {"CP936", Charset::Gbk},
        {"GB18030", Charset::Gb18030},  {"UTF-8", Charset::Utf8},
        {"UTF8", Charset::Utf8},        {"UCS-2", Charset::Ucs2},
        {"UCS-2LE", Charset::Ucs2Le},   {"UCS-2BE", Charset::Ucs2Be},
        {"UTF-16", Charset::Utf16},     {"UTF-16LE", Charset::Utf16Le},
        {"UTF-16BE", Charset::Utf16Be},
    };
    if (name == nullptr) return Charset::Unknown;
    for (const Entry& entry : NAMES) {
        size_t i = 0;
        while (entry.name[i] != '\0' && name[i] != '\0' &&
               (name[i] == entry.name[i] ||
                (name[i] >= 'a' && name[i] <= 'z' && name[i] - 32 == entry.name[i]))) {
            ++i;
        }
        if (entry.name[i] == '\0' && name[i] == '\0') return entry.set;
    }
    return Charset::Unknown;
}

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool is_utf16(Charset set) {
    return set == Charset::Utf16 || set == Charset::Utf16Le || set == Charset::Utf16Be;
}

// Both directions pass through this many UTF-16 units at a time. Decoders
// put a surrogate pair into a chunk whole or leave it for the next one, so
// encoders always see both halves together.
constexpr size_t CHUNK_UNITS = 8192;

struct Decoded {
    size_t consumed;
    size_t produced;
    size_t dropped;
    bool incomplete;  // the input ends inside a character
};

// UCS-2 or, with `pairs`, UTF-16. UCS-2 has no surrogates: each is left
// out; in UTF-16 only an unpaired one is, unless `keepLone`.
Decoded decode_utf16(const unsigned char* in, size_t length, bool little_endian, bool pairs,
                     bool keepLone, char16_t* out, size_t capacity) {
    auto unit_at = [&](size_t at) {
        return static_cast<char16_t>(little_endian ? (in[at + 1] << 8 | in[at])
                                                   : (in[at] << 8 | in[at + 1]));
    };
    Decoded d{0, 0, 0, false};
    while (d.consumed + 1 < length && d.produced < capacity) {
        const char16_t unit = unit_at(d.consumed);
        if (!is_surrogate(unit)) {
            out[d.produced++] = unit;
            d.consumed += 2;
            continue;
        }
        if (pairs && is_high_surrogate(unit) && d.consumed + 3 < length &&
            is_low_surrogate(unit_at(d.consumed + 2))) {
            if (capacity - d.produced < 2) break;  // the pair goes whole into the next chunk
            out[d.produced++] = unit;
            out[d.produced++] = unit_at(d.consumed + 2);
            d.consumed += 4;
            continue;
        }
        if (pairs && keepLone) out[d.produced++] = unit;
        d.consumed += 2;
        if (!(pairs && keepLone)) ++d.dropped;
    }
    d.incomplete = d.produced < capacity && length - d.consumed == 1;
    return d;
}

Decoded decode_utf8(const unsigned char* in, size_t length, char16_t* out, size_t capacity) {
    Decoded d{0, 0, 0, false};
    while (d.consumed < length && d.produced < capacity) {
        const unsigned char lead = in[d.consumed];
        size_t need;
        uint32_t cp;
        if (lead < 0x80) {
            need = 1, cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            need = 2, cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 3, cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 4, cp = lead & 0x07;
        } else {
            ++d.consumed, ++d.dropped;
            continue;
        }
        size_t i = 1;
        for (; i < need && d.consumed + i < length; ++i) {
            const unsigned char c = in[d.consumed + i];
            if ((c & 0xC0) != 0x80) break;
            cp = cp << 6 | (c & 0x3F);
        }
        if (i < need && d.consumed + i == length) {
            d.incomplete = true;
            break;
        }
        const bool overlong = (need == 3 && cp < 0x800) || (need == 4 && cp < 0x10000);
        if (i < need || overlong) {  // broken sequence: leave out its lead byte
            ++d.consumed, ++d.dropped;
            continue;
        }
        if (cp > 0x10FFFF || (cp <= 0xFFFF && is_surrogate(static_cast<char16_t>(cp)))) {
            d.consumed += need, ++d.dropped;
            continue;
        }
        if (cp > 0xFFFF) {  // a surrogate pair, whole or in the next chunk
            if (capacity - d.produced < 2) break;
            out[d.produced++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out[d.produced++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[d.produced++] = static_cast<char16_t>(cp);
        }
        d.consumed += need;
    }
    return d;
}

Decoded decode(Charset set, bool little_endian, bool keepLone, const unsigned char* in,
               size_t length, char16_t* out, size_t capacity) {
    switch (set) {
        case Charset::Gbk:
        case Charset::Gb18030: {
            const platform::CharsetStep step =
                set == Charset::Gbk ? platform::gbk_decode(in, length, out, capacity)
                                    : platform::gb18030_decode(in, length, out, capacity);
            return Decoded{step.consumed, step.produced, step.dropped, step.truncated};
        }
        case Charset::Utf8:
            return decode_utf8(in, length, out, capacity);
        default:
            return decode_utf16(in, length, little_endian, is_utf16(set), keepLone, out, capacity);
    }
}

struct Encoded {
    size_t consumed;
    size_t produced;
    size_t dropped;
};

// Half a pair reaches an encoder only from a GB18030 form that carries one
// (platform.h): `keepLone` writes it as it is, into UTF-16 and GB18030;
// otherwise a Unicode target shows U+FFFD in its place.
Encoded encode(Charset set, bool keepLone, const char16_t* in, size_t count, char* out,
               size_t capacity) {
    if (set == Charset::Gbk || set == Charset::Gb18030) {
        const platform::CharsetStep step = set == Charset::Gbk
                                               ? platform::gbk_encode(in, count, out, capacity)
                                               : platform::gb18030_encode(in, count, out, capacity);
        return Encoded{step.consumed, step.produced, step.dropped};
    }
    Encoded e{0, 0, 0};
    const bool little = set == Charset::Ucs2Le || set == Charset::Utf16Le;
    while (e.consumed < count) {
        if (set != Charset::Utf8) {
            // The common case, kept quick: units that are characters, as many
            // as the room takes.
            const size_t room = (capacity - e.produced) / 2;
            const size_t limit =
                e.consumed + (count - e.consumed < room ? count - e.consumed : room);
            auto* to = reinterpret_cast<unsigned char*>(out + e.produced);
            size_t i = e.consumed;
            for (; i < limit && !is_surrogate(in[i]); ++i) {
                *to++ = static_cast<unsigned char>(little ? in[i] & 0xFF : in[i] >> 8);
                *to++ = static_cast<unsigned char>(little ? in[i] >> 8 : in[i] & 0xFF);
            }
            e.produced += 2 * (i - e.consumed);
            e.consumed = i;
            if (e.consumed == count || !is_surrogate(in[e.consumed])) break;
        }
        char16_t unit = in[e.consumed];
        const bool pair = is_high_surrogate(unit) && e.consumed + 1 < count &&
                          is_low_surrogate(in[e.consumed + 1]);
        if (is_surrogate(unit) && !pair && !keepLone) unit = u'\uFFFD';
        const size_t units = pair ? 2 : 1;
        unsigned char bytes[4];
        size_t n = 0;
        const bool ucs2 = set == Charset::Ucs2Le || set == Charset::Ucs2Be;
        if (is_surrogate(unit) && (ucs2 || (!pair && set == Charset::Utf8))) {
            // none UCS-2 can hold, nor UTF-8 half a pair
        } else if (set == Charset::Utf8) {
            if (pair) {
                const uint32_t cp =
                    0x10000 + ((unit - 0xD800u) << 10) + (in[e.consumed + 1] - 0xDC00u);
                bytes[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
                bytes[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
                bytes[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
                bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), n = 4;
            } else if (unit < 0x80) {
                bytes[0] = static_cast<unsigned char>(unit), n = 1;
            } else if (unit < 0x800) {
                bytes[0] = static_cast<unsigned char>(0xC0 | unit >> 6);
                bytes[1] = static_cast<unsigned char>(0x80 | (unit & 0x3F)), n = 2;
            } else {
                bytes[0] = static_cast<unsigned char>(0xE0 | unit >> 12);
                bytes[1] = static_cast<unsigned char>(0x80 | (unit >> 6 & 0x3F));
                bytes[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F)), n = 3;
            }
        } else {
            for (size_t i = 0; i < units; ++i) {
                const char16_t u = i == 0 ? unit : in[e.consumed + i];
                bytes[n++] = static_cast<unsigned char>(little ? u & 0xFF : u >> 8);
                bytes[n++] = static_cast<unsigned char>(little ? u >> 8 : u & 0xFF);
            }
        }
        if (n == 0) {
            e.consumed += units, ++e.dropped;
            continue;
        }
        if (capacity - e.produced < n) break;
        std::memcpy(out + e.produced, bytes, n);
        e.produced += n;
        e.consumed += units;
    }
    return e;
}

char* convert_string(const char* from, const char* to, const char* text) {
    const size_t length = std::strlen(text);
    // UTF-8 takes at most 3 bytes for a GBK character of 1 or 2 bytes and 4
    // for a GB18030 form of 4, and neither set ever more bytes than UTF-8, so
    // 3 bytes per input byte always suffice.
    const size_t capacity = checked_add(checked_mul(length, 3), 1);
    char* out = static_cast<char*>(xmalloc(capacity));
    size_t written = 0;
    convert_charset(from, to, text, length, out, capacity, &written);
    out[written] = '\0';
    return out;
}

}  // namespace

namespace {

// The conversion proper.
int32_t transcode(Charset from, Charset to, const unsigned char* src, size_t left, char* out,
                  size_t outCapacity, size_t* outLength, bool keepLone = false) {
    bool little_endian = from == Charset::Ucs2Le || from == Charset::Utf16Le;
    if ((from == Charset::Ucs2 || from == Charset::Utf16) && left >= 2) {
        if (src[0] == 0xFF && src[1] == 0xFE) {
            little_endian = true, src += 2, left -= 2;
        } else if (src[0] == 0xFE && src[1] == 0xFF) {
            src += 2, left -= 2;
        }
    }
    const Charset target = to == Charset::Ucs2    ? Charset::Ucs2Be
                           : to == Charset::Utf16 ? Charset::Utf16Be
                                                  : to;

    char16_t chunk[CHUNK_UNITS];
    size_t written = 0;
    size_t dropped = 0;
    bool failed = false;
    while (left > 0) {
        const Decoded d = decode(from, little_endian, keepLone, src, left, chunk, CHUNK_UNITS);
        src += d.consumed;
        left -= d.consumed;
        dropped += d.dropped;
        const Encoded e =
            encode(target, keepLone, chunk, d.produced, out + written, outCapacity - written);
        written += e.produced;
        dropped += e.dropped;
        if (e.consumed < d.produced || d.incomplete) {  // output full, or a cut-off character
            failed = true;
            break;
        }
        if (d.consumed == 0 && d.produced == 0) break;  // cannot advance: treat the rest as cut off
    }
    if (left > 0 && !failed) failed = true;
    *outLength = written;
    if (failed) return -1;
    return dropped > INT32_MAX ? INT32_MAX : static_cast<int32_t>(dropped);
}

}  // namespace

int32_t convert_charset(const char* fromCharset, const char* toCharset, const char* in,
                        size_t inLength, char* out, size_t outCapacity, size_t* outLength) {
    const Charset from = parse_charset(fromCharset);
    const Charset to = parse_charset(toCharset);
    if (from == Charset::Unknown || to == Charset::Unknown) {
        platform::write_console(stdout, "不支持的字符集\n");
        return -1;
    }
    if (outCapacity > 0) std::memset(out, 0, outCapacity);
    return transcode(from, to, reinterpret_cast<const unsigned char*>(in), inLength, out,
                     outCapacity, outLength);
}

int32_t package_text_from_utf16(const char* in, size_t length, char** out, size_t* outLength) {
    // Two bytes of UTF-16 become at most four of GB18030 (a BMP character
    // outside GBK), a pair's four stay four, ASCII halves. The worst case is
    // reserved, but only the pages written to ever take memory.
    const size_t capacity = checked_add(checked_mul(length, 2), 1);
    char* text = static_cast<char*>(xmalloc(capacity));
    size_t written = 0;
    const int32_t result =
        transcode(Charset::Utf16, Charset::Gb18030, reinterpret_cast<const unsigned char*>(in),
                  length, text, capacity - 1, &written, true);
    if (result == -1) {
        std::free(text);
        *out = nullptr;
        *outLength = 0;
        return -1;
    }
    text[written] = '\0';
    char* shrunk = static_cast<char*>(std::realloc(text, written + 1));
    *out = shrunk != nullptr ? shrunk : text;
    *outLength = written;
    return result;
}

int32_t package_text_to_utf16(const char* text, size_t length, char* out, size_t capacity,
                              size_t* outLength) {
    return transcode(Charset::Gb18030, Charset::Utf16Le,
                     reinterpret_cast<const unsigned char*>(text), length, out, capacity, outLength,
                     true);
}

char* gbk_to_utf8(const char* text) {
    return convert_string("GBK", "UTF-8", text);
}
char* gb18030_to_utf8(const char* text) {
    return convert_string("GB18030", "UTF-8", text);
}

char16_t* gb18030_to_utf16(const char* text) {
    const size_t length = std::strlen(text);
    // No character takes more UTF-16 units than it has bytes.
    const size_t capacity = checked_mul(checked_add(length, 1), sizeof(char16_t));
    auto* out = static_cast<char16_t*>(xmalloc(capacity));
    size_t written = 0;
    convert_charset("GB18030", std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE",
                    text, length, reinterpret_cast<char*>(out), capacity, &written);
    out[written / sizeof(char16_t)] = u'\0';
    return out;
}
