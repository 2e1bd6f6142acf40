// Character set conversion with the behaviour of GNU libiconv's "//IGNORE"
// on every platform: characters the target cannot represent, and input
// bytes that are not characters of the source set, are left out without
// failing the conversion.
#pragma once

#include <cstddef>
#include <cstdint>

// Converts `inLength` bytes from `fromCharset` to `toCharset` into `out`,
// which is zero-filled first (so a caller with spare room gets a
// NUL-terminated result). Stores the bytes written in `*outLength`.
// Returns -1 when the output is too small or the input ends inside a
// character (what was converted before stays), otherwise the number of
// characters left out.
//
// Known sets (case does not matter): "GBK" (also "CP936"), "GB18030",
// "UTF-8", "UCS-2LE", "UCS-2BE" and "UCS-2", "UTF-16LE", "UTF-16BE" and
// "UTF-16". "UCS-2" and "UTF-16" as a source honour a leading byte-order mark
// (FF FE little-endian, FE FF big-endian, none big-endian) and as a target are
// big-endian without a mark. The UCS-2 sets hold no surrogates: each one is a
// character left out. The UTF-16 sets take surrogate pairs; an unpaired
// surrogate is left out. Half a pair that GB18030 text carries (platform.h)
// becomes U+FFFD in a UTF or UCS target. Any other name prints "不支持的字符集" and a line
// feed on standard output and returns -1 without touching the output.
int32_t convert_charset(const char* fromCharset, const char* toCharset, const char* in,
                        size_t inLength, char* out, size_t outCapacity, size_t* outLength);

// The data package's text is held as GB18030 rather than GBK: a superset of
// GBK in which every GBK sequence means the same, that holds every Unicode
// character (emoji, Hangul, rare CJK), and whose four-byte forms (lead byte,
// digit, byte from 0x81, digit) never contain the quotes, TABs, line ends or
// path separators the reader and the job look for. So a job changes nothing
// in a package but the addresses it rewrites.
//
// The package file's UTF-16 (FF FE little-endian, FE FF or no mark
// big-endian) as GB18030 in a new heap buffer: `*outLength` bytes and a NUL.
// The buffer is sized for the worst case but shrunk at the end; pages it
// never touched cost no memory. Every unit is kept: half a surrogate pair
// becomes the GB18030 form that carries it (platform.h). Returns 0, or -1
// with `*out` null when the input ends inside a character.
int32_t package_text_from_utf16(const char* in, size_t length, char** out, size_t* outLength);

// The package text back as UTF-16LE without a byte-order mark, every unit as
// the file had it, into `capacity` bytes at `out`; `*outLength` bytes
// written. -1 when they do not suffice or the text ends inside a character.
int32_t package_text_to_utf16(const char* text, size_t length, char* out, size_t capacity,
                              size_t* outLength);

// A new heap string: GBK text as UTF-8, characters without a mapping left out.
char* gbk_to_utf8(const char* text);
// A new heap string: GB18030 text (a package's title or address, or any GBK
// text) as UTF-8, for the console and JSON.
char* gb18030_to_utf8(const char* text);
// A new heap string: GB18030 text as NUL-terminated UTF-16 in host order, for
// the window's wide controls.
char16_t* gb18030_to_utf16(const char* text);
