// libFuzzer target: one HTTP response, delivered by a fake socket in reads of
// sizes the input chooses, through the same reader download_image uses (head,
// status, identity and chunked bodies, trailer), plus parse_http_header on
// the raw bytes. Anything the network can send must end in a result code.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/download.h"
#include "http/response.h"

namespace {

struct FakeSocket {
    const uint8_t* data;
    size_t size;
    size_t at;
    uint8_t sizes[4];  // read sizes, in turn
    unsigned turn;
    bool endWithError;  // a time-out instead of an orderly close at the end
};

long fake_receive(void* context, char* buffer, size_t capacity) {
    auto* s = static_cast<FakeSocket*>(context);
    if (s->at >= s->size) return s->endWithError ? -1 : 0;
    size_t want = s->sizes[s->turn++ % 4];
    want = want == 0 ? capacity : want;  // 0: as much as fits
    if (want > capacity) want = capacity;
    if (want > s->size - s->at) want = s->size - s->at;
    std::memcpy(buffer, s->data + s->at, want);
    s->at += want;
    return static_cast<long>(want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    static FILE* sink = std::fopen("/dev/null", "wb");
    FakeSocket socket{data + 5, size - 5,          0, {data[0], data[1], data[2], data[3]},
                      0,        (data[4] & 1) != 0};
    const DownloadOptions options{((data[4] >> 1) & 1) != 0, ((data[4] >> 2) & 1) == 0};
    HttpHeader header;
    char errorText[ERROR_TEXT_SIZE];
    const ResponseResult response =
        receive_response(ResponseSource{fake_receive, &socket}, sink, options, &header, errorText);
    const int result = static_cast<int>(response.result);
    if (result < static_cast<int>(DownloadResult::CreateError) ||
        result > static_cast<int>(DownloadResult::Ok))
        std::abort();
    if (response.redirect && (response.result != DownloadResult::Ok || !options.followRedirect))
        std::abort();
    // Every failure says why, and only a failure does.
    if ((response.result == DownloadResult::Ok) != (response.failure == FailureKind::None))
        std::abort();
    if (std::memchr(header.location, 0, sizeof header.location) == nullptr) std::abort();
    if (std::memchr(errorText, 0, sizeof errorText) == nullptr &&
        response.result != DownloadResult::Ok)
        std::abort();

    char* head = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(head, data, size);
    head[size] = '\0';
    parse_http_header(head, &header);
    std::free(head);
    return 0;
}
