// One image address downloaded into one file, with the client's policies:
// a pooled keep-alive connection per host, one retry without keep-alive, one
// followed redirect, a 10 MiB limit and an image signature check. A failed
// download never leaves its file behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/failure_kind.h"

// The receive buffer: the whole response head must fit in it, and the body
// streams through it to the file.
inline constexpr size_t HTTP_BUFFER_SIZE = 8192;
// Larger images are refused (10 MiB).
inline constexpr int32_t IMAGE_SIZE_LIMIT = 10485760;

// What a download came to. The numbers are the ones `kelvane-cli fetch`
// prints and scripts read.
enum class DownloadResult : int {
    Ok = 1,
    BadContent = 0,  // too large, wrong length, not an image
    Failed = -1,     // address, connection or exchange failed
    WriteError = -2,
    CreateError = -3,
};

struct DownloadOptions {
    // A pooled keep-alive connection first; without it, HTTP/1.0 and a
    // connection of its own.
    bool keepAlive = true;
    // One 301 or 302 is followed; a redirect's own download follows none.
    bool followRedirect = true;
    // An https address whose TLS cannot be had (refused, failed handshake,
    // certificate not trusted or not the host's) is fetched as plain HTTP.
    bool httpFallback = true;
};

// What became of a download beyond its result: why it failed, and whether
// an https image came over plain HTTP.
struct DownloadDetails {
    FailureKind failure = FailureKind::None;  // None when the image was saved
    // The status of the last answer the download got (200 for an image that
    // was cut or is no image, 404 for a 404), 0 when no answer came.
    int httpStatus = 0;
    // Saved from the plain HTTP address after the https one failed. When the
    // plain one failed too, `failure` is the https attempt's cause (the one
    // the seller's address met), unless the file itself failed.
    bool overPlainHttp = false;
};

struct HttpHeader {
    int32_t contentLength;  // -1 when the head has none
    int32_t isChunked;      // the head had "Transfer-Encoding: chunked"
    char location[512];     // empty when absent or too long (never cut)
    char connection[16];    // longer values are cut: see parse_http_header
    char contentEncoding[32];
    // The length of a Location value too long for `location`, 0 when it fit:
    // a cut address is another address, so such a redirect is refused.
    int32_t refusedLocationLength;
    // The status line says HTTP/1.0: the connection ends with the response
    // unless the server says "Connection: keep-alive".
    int32_t isHttp10;
};

// Whether the connection may carry another request after this response:
// HTTP/1.1 unless it says "Connection: close", HTTP/1.0 only when it says
// "Connection: keep-alive".
bool response_keeps_connection(const HttpHeader& header);

// Downloads `url` into the file `path` (created or overwritten). On failure
// `errorText` (ERROR_TEXT_SIZE bytes) holds the reason of the last failed
// attempt; a success does not touch it. A failed keep-alive attempt is tried
// once more without keep-alive. The move job uses the default options.
// `details`, when given, is filled either way.
DownloadResult download_image(const char* url, const char* path, char* errorText,
                              DownloadOptions options = {}, DownloadDetails* details = nullptr);

// Whether the last failed download_image of this thread failed for a reason
// that may pass: a time-out, a refused, reset or cut connection, a body
// shorter than announced, or a busy server's 408, 429, 500, 502, 503, 504.
// Not for a name that does not resolve, an address that cannot be parsed,
// any other answer of the server, content that is no image we take, or a
// local file that cannot be created or written.
bool last_download_failure_transient();

// One attempt (a request and its response) gives up after this long, so a
// server that drips its bytes cannot hold a job forever.
inline constexpr double DOWNLOAD_TIME_LIMIT_S = 60;
// Tests only: a shorter limit, so that it can be reached without waiting.
void set_download_time_limit_for_testing(double seconds);

// Fills `header` from a response head (status line included), cutting the
// text into lines in place.
void parse_http_header(char* head, HttpHeader* header);

// 1 when the two bytes begin a JPEG, PNG, GIF or BMP file.
int is_supported_image(const unsigned char* firstTwoBytes);
