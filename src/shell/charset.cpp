#include "shell/charset.h"

#include <cstring>

#include "platform/platform.h"
#include "shell/memory.h"

namespace {

enum class Charset { Unknown, Gbk, Utf8, Ucs2, Ucs2Le, Ucs2Be };

Charset parse_charset(const char* name) {
    struct Entry {
        const char* name;
        Charset set;
    };
    static constexpr Entry NAMES[] = {
        {"GBK", Charset::Gbk},        {"CP936", Charset::Gbk},  {"UTF-8", Charset::Utf8},
        {"UTF8", Charset::Utf8},      {"UCS-2", Charset::Ucs2}, {"UCS-2LE", Charset::Ucs2Le},
        {"UCS-2BE", Charset::Ucs2Be},
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

// Both directions pass through this many UTF-16 units at a time.
constexpr size_t CHUNK_UNITS = 8192;

struct Decoded {
    size_t consumed;
    size_t produced;
    size_t dropped;
    bool incomplete;  // the input ends inside a character
};

Decoded decode_ucs2(const unsigned char* in, size_t length, bool little_endian, char16_t* out,
                    size_t capacity) {
    Decoded d{0, 0, 0, false};
    while (d.consumed + 1 < length && d.produced < capacity) {
        const unsigned char a = in[d.consumed];
        const unsigned char b = in[d.consumed + 1];
        const auto unit = static_cast<char16_t>(little_endian ? (b << 8 | a) : (a << 8 | b));
        d.consumed += 2;
        if (is_surrogate(unit)) {  // not a UCS-2 character
            ++d.dropped;
            continue;
        }
        out[d.produced++] = unit;
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
        d.consumed += need;
        if (cp > 0xFFFF || is_surrogate(static_cast<char16_t>(cp))) {  // nothing UCS-2 can hold
            ++d.dropped;
            continue;
        }
        out[d.produced++] = static_cast<char16_t>(cp);
    }
    return d;
}

Decoded decode(Charset set, bool little_endian, const unsigned char* in, size_t length,
               char16_t* out, size_t capacity) {
    switch (set) {
        case Charset::Gbk: {
            platform::CharsetStep step = platform::gbk_decode(in, length, out, capacity);
            const bool stalled = step.consumed < length && step.produced < capacity;
            return Decoded{step.consumed, step.produced, step.dropped, stalled};
        }
        case Charset::Utf8:
            return decode_utf8(in, length, out, capacity);
        default:
            return decode_ucs2(in, length, little_endian, out, capacity);
    }
}

struct Encoded {
    size_t consumed;
    size_t produced;
    size_t dropped;
};

Encoded encode(Charset set, const char16_t* in, size_t count, char* out, size_t capacity) {
    Encoded e{0, 0, 0};
    if (set == Charset::Gbk) {
        platform::CharsetStep step = platform::gbk_encode(in, count, out, capacity);
        return Encoded{step.consumed, step.produced, step.dropped};
    }
    for (; e.consumed < count; ++e.consumed) {
        const char16_t unit = in[e.consumed];
        unsigned char bytes[3];
        size_t n;
        if (set == Charset::Utf8) {
            if (unit < 0x80) {
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
            const auto high = static_cast<unsigned char>(unit >> 8);
            const auto low = static_cast<unsigned char>(unit & 0xFF);
            bytes[0] = set == Charset::Ucs2Le ? low : high;
            bytes[1] = set == Charset::Ucs2Le ? high : low;
            n = 2;
        }
        if (capacity - e.produced < n) break;
        std::memcpy(out + e.produced, bytes, n);
        e.produced += n;
    }
    return e;
}

char* convert_string(const char* from, const char* to, const char* text) {
    const size_t length = std::strlen(text);
    // UTF-8 takes at most 3 bytes for a GBK character of 1 or 2 bytes, and GBK
    // never more bytes than UTF-8, so 3 bytes per input byte always suffice.
    const size_t capacity = checked_add(checked_mul(length, 3), 1);
    char* out = static_cast<char*>(xmalloc(capacity));
    size_t written = 0;
    convert_charset(from, to, text, length, out, capacity, &written);
    out[written] = '\0';
    return out;
}

}  // namespace

namespace {

// The conversion proper. `out` may be the very buffer `in` points into, as
// long as it starts no later than `in`: no source character becomes more
// bytes of GBK than it had, so writing never overtakes reading.
int32_t transcode(Charset from, Charset to, const unsigned char* src, size_t left, char* out,
                  size_t outCapacity, size_t* outLength) {
    bool little_endian = from == Charset::Ucs2Le;
    if (from == Charset::Ucs2 && left >= 2) {
        if (src[0] == 0xFF && src[1] == 0xFE) {
            little_endian = true, src += 2, left -= 2;
        } else if (src[0] == 0xFE && src[1] == 0xFF) {
            src += 2, left -= 2;
        }
    }
    const Charset target = to == Charset::Ucs2 ? Charset::Ucs2Be : to;

    char16_t chunk[CHUNK_UNITS];
    size_t written = 0;
    size_t dropped = 0;
    bool failed = false;
    while (left > 0) {
        const Decoded d = decode(from, little_endian, src, left, chunk, CHUNK_UNITS);
        src += d.consumed;
        left -= d.consumed;
        dropped += d.dropped;
        const Encoded e = encode(target, chunk, d.produced, out + written, outCapacity - written);
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

int32_t convert_ucs2_to_gbk_in_place(char* buffer, size_t offset, size_t length,
                                     size_t* outLength) {
    const int32_t result = transcode(Charset::Ucs2, Charset::Gbk,
                                     reinterpret_cast<const unsigned char*>(buffer + offset),
                                     length - offset, buffer, length, outLength);
    std::memset(buffer + *outLength, 0, length + 1 - *outLength);
    return result;
}

char* gbk_to_utf8(const char* text) {
    return convert_string("GBK", "UTF-8", text);
}
char* utf8_to_gbk(const char* text) {
    return convert_string("UTF-8", "GBK", text);
}
