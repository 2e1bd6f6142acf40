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

// receive_response's answer when the response is a redirect to follow;
// header->location holds its target.
inline constexpr int RESPONSE_REDIRECT = 2;

// Reads one response into `file`. Returns DOWNLOAD_OK, RESPONSE_REDIRECT or a
// failure code with its text in `errorText` (ERROR_TEXT_SIZE bytes). `header`
// describes the response whenever its head was read.
int receive_response(ResponseSource source, FILE* file, int useKeepAlive, int noRedirect,
                     HttpHeader* header, char* errorText);
