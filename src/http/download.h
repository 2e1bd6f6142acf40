// One image address downloaded into one file, with the client's policies:
// a pooled keep-alive connection per host, one retry without keep-alive, one
// followed redirect, a 10 MiB limit and an image signature check. A failed
// download never leaves its file behind.
#pragma once

#include <cstddef>
#include <cstdint>

// The receive buffer: the whole response head must fit in it, and the body
// streams through it to the file.
inline constexpr size_t HTTP_BUFFER_SIZE = 8192;
// Larger images are refused (10 MiB).
inline constexpr int32_t IMAGE_SIZE_LIMIT = 10485760;

inline constexpr int DOWNLOAD_OK = 1;
inline constexpr int DOWNLOAD_BAD_CONTENT = 0;  // too large, wrong length, not an image
inline constexpr int DOWNLOAD_FAILED = -1;      // address, connection or exchange failed
inline constexpr int DOWNLOAD_WRITE_ERROR = -2;
inline constexpr int DOWNLOAD_CREATE_ERROR = -3;

struct HttpHeader {
    int32_t contentLength;  // -1 when the head has none
    int32_t isChunked;      // the head had "Transfer-Encoding: chunked"
    char location[512];     // longer values are cut to fit
    char connection[16];
    char contentEncoding[32];
};

// Downloads `url` into the file `path` (created or overwritten). On failure
// `errorText` (ERROR_TEXT_SIZE bytes) holds the reason of the last failed
// attempt; a success does not touch it. Returns one of the DOWNLOAD_ codes.
// The move job calls it with useKeepAlive = 1 and noRedirect = 0.
int download_image(const char* url, const char* path, char* errorText, int useKeepAlive,
                   int noRedirect);

// Fills `header` from a response head (status line included), cutting the
// text into lines in place.
void parse_http_header(char* head, HttpHeader* header);

// 1 when the two bytes begin a JPEG, PNG, GIF or BMP file.
int is_supported_image(const unsigned char* firstTwoBytes);
