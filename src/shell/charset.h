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
// Known sets (case does not matter): "GBK" (also "CP936"), "UTF-8",
// "UCS-2LE", "UCS-2BE" and "UCS-2", which as a source honours a leading
// byte-order mark (FF FE little-endian, FE FF big-endian, none big-endian)
// and as a target is big-endian. Any other name prints "不支持的字符集" and a
// line feed on standard output and returns -1 without touching the output.
int32_t convert_charset(const char* fromCharset, const char* toCharset, const char* in,
                        size_t inLength, char* out, size_t outCapacity, size_t* outLength);

// convert_charset from "UCS-2" to "GBK" within one buffer: the bytes from
// `offset` to `length` are converted into the start of `buffer`, which must
// have room for `length` + 1 bytes; everything behind the result is zeroed.
// Saves a second buffer the size of a whole data package.
int32_t convert_ucs2_to_gbk_in_place(char* buffer, size_t offset, size_t length, size_t* outLength);

// A new heap string: GBK text as UTF-8, characters without a mapping left out.
char* gbk_to_utf8(const char* text);
// A new heap string: UTF-8 text as GBK, characters without a mapping left out.
char* utf8_to_gbk(const char* text);
