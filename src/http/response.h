// The reading half of one exchange, apart from the socket so that it can be
// driven from memory (the fuzzer does): head, status decision, body into the
// file, end-of-body evaluation and signature test.
#pragma once

#include <cstddef>
#include <cstdio>

#include "http/download.h"

struct ResponseSource {
    // Like recv: bytes received, 0 at the end of the stream, negative on an
    // error or a time-out.
    long (*receive)(void* context, char* buffer, size_t capacity);
    void* context;
};

struct ResponseResult {
    DownloadResult result;  // Ok for a whole image and for a redirect
    bool redirect;          // a redirect to follow: header->location holds its target
    bool answered;          // a whole response head arrived: the server answers
    FailureKind failure;    // why it failed (None for an image or a redirect)
    int status;             // the status line's code, 0 when no head (or none) came
};

// Reads one response into `file`: a whole image, a redirect (when
// `options.followRedirect`), or a failure with its text in `errorText`
// (ERROR_TEXT_SIZE bytes). `header` describes the response whenever its head
// was read.
ResponseResult receive_response(ResponseSource source, FILE* file, DownloadOptions options,
                                HttpHeader* header, char* errorText);
