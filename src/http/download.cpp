#include "http/download.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/number.h"
#include "http/response.h"
#include "http/url.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/memory.h"
#include "shell/text.h"

namespace {

double download_time_limit_s = DOWNLOAD_TIME_LIMIT_S;

// Set when this thread's download failed for a reason that trying again
// later does not change: a bad address, a refused name, a final answer of
// the server, content that is no image we take, a local file.
thread_local bool failedForGood = false;
thread_local bool lastFailureTransient = false;

// A server's answers that say "not now" rather than "no".
bool passing_status(const char* head) {
    static const char* const STATUSES[] = {"408", "429", "500", "502", "503", "504"};
    if (!starts_with_ignore_case(head, "HTTP/1.")) return false;
    const char* code = std::strchr(head, ' ');
    if (code == nullptr) return false;
    for (const char* status : STATUSES) {
        if (std::strncmp(code + 1, status, 3) == 0 && (code[4] == ' ' || code[4] == '\r'))
            return true;
    }
    return false;
}

// The status line's three-digit code ("HTTP/1.1 404 ..."), 0 when it has none.
int status_code(const char* head, size_t length) {
    if (length < 12 || !starts_with_ignore_case(head, "HTTP/1.") || head[8] != ' ') return 0;
    int code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (head[i] < '0' || head[i] > '9') return 0;
        code = code * 10 + (head[i] - '0');
    }
    if (length > 12 && head[12] >= '0' && head[12] <= '9') return 0;
    return code;
}

// fileSize when the response announced no length (-1 as unsigned).
constexpr uint32_t UNKNOWN_SIZE = 0xFFFFFFFFu;

// Where reading a response stands after each of its stages.
enum class Step {
    Continue,   // go on with the next stage
    BodyEnded,  // the body has ended: evaluate it
    Redirect,   // a redirect to follow
    Image,      // a whole image
    Failed,     // failed: the reader's failure_ and the error text say how
};

int equals_ignore_case(const char* text, const char* other) {
    return std::strlen(text) == std::strlen(other) && starts_with_ignore_case(text, other);
}

// Connection and Content-Encoding values longer than their fields are kept
// cut, because no decision can tell the cut copy from the whole value: the
// first is only ever compared whole with "close" (which a value too long for
// the field is not, before or after the cut) and tested for being empty, the
// second only tested for being empty.
static_assert(sizeof(HttpHeader::connection) > sizeof "close");
void copy_cut(char* field, size_t size, const char* value) {
    const size_t length = std::strlen(value);
    const size_t kept = length < size ? length : size - 1;
    std::memcpy(field, value, kept);
    field[kept] = '\0';
}

// One response, read through a single buffer of HTTP_BUFFER_SIZE bytes plus
// a NUL. `filled` always says how many bytes of it are valid: the network may
// send NUL bytes, so the text functions are never trusted with lengths.
class ResponseReader {
  public:
    ResponseReader(ResponseSource source, FILE* file, DownloadOptions options, HttpHeader* header,
                   char* errorText)
        : source_(source), file_(file), options_(options), header_(header), errorText_(errorText) {
        std::memset(data_, 0, sizeof data_);
        std::memset(header_, 0, sizeof *header_);
        header_->contentLength = -1;
    }

    ResponseResult run() {
        size_t bodyStart = 0;
        Step step = read_head(&bodyStart);
        const bool answered = step == Step::Continue;
        if (step == Step::Continue) {
            step = decide_status();
            if (step == Step::Continue) step = check_200_and_read_body(bodyStart);
        }
        if (step == Step::BodyEnded) step = end_of_body();
        if (step == Step::Redirect)
            return ResponseResult{DownloadResult::Ok, true, answered, FailureKind::None, status_};
        if (step == Step::Image)
            return ResponseResult{DownloadResult::Ok, false, answered, FailureKind::None, status_};
        return ResponseResult{failure_, false, answered, kind_, status_};
    }

  private:
    long receive(char* at, size_t capacity) {
        errno = 0;
        lastRet_ = source_.receive(source_.context, at, capacity);
        lastErrno_ = errno;
        return lastRet_;
    }

    Step fail(DownloadResult result, FailureKind kind, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 4, 5)))
#endif
    {
        va_list args;
        va_start(args, format);
        std::vsnprintf(errorText_, ERROR_TEXT_SIZE, format, args);
        va_end(args);
        failure_ = result;
        kind_ = kind;
        return Step::Failed;
    }

    // Writes body bytes and keeps the first two for the signature test. A
    // short write is a failed write: a file with a hole is no image.
    bool store(const char* bytes, size_t length) {
        for (size_t i = 0; i < length && signatureCount_ < 2; ++i) {
            signature_[signatureCount_++] = static_cast<unsigned char>(bytes[i]);
        }
        if (length == 0) return true;
        return std::fwrite(bytes, 1, length, file_) == length;
    }

    Step write_error() {
        return fail(DownloadResult::WriteError, FailureKind::Write,
                    "写入文件时出错，请检查硬盘可用空间是否已不足。");
    }

    bool find(size_t from, const char* pattern, size_t patternLength, size_t* at) const {
        for (size_t i = from; i + patternLength <= filled_; ++i) {
            if (std::memcmp(data_ + i, pattern, patternLength) == 0) {
                *at = i;
                return true;
            }
        }
        return false;
    }

    bool starts_with_crlf() const {
        return filled_ >= 2 && data_[0] == '\r' && data_[1] == '\n';
    }

    // Continue with the body's offset, BodyEnded when the connection ended
    // first, or a failure.
    Step read_head(size_t* bodyStart) {
        for (;;) {
            const size_t before = filled_;
            const long got = receive(data_ + filled_, HTTP_BUFFER_SIZE - filled_);
            if (got <= 0) {
                readTotal_ = static_cast<int32_t>(filled_);
                endedCleanly_ = got == 0;
                return Step::BodyEnded;
            }
            filled_ += static_cast<size_t>(got);
            data_[filled_] = '\0';
            size_t blank = 0;
            if (find(before >= 3 ? before - 3 : 0, "\r\n\r\n", 4, &blank)) {
                char* head = xstrndup(data_, blank);
                parse_http_header(head, header_);
                std::free(head);
                headRead_ = true;
                status_ = status_code(data_, filled_);
                *bodyStart = blank + 4;
                return Step::Continue;
            }
            if (filled_ == HTTP_BUFFER_SIZE) {
                return fail(DownloadResult::Failed, FailureKind::BadResponse,
                            "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.");
            }
        }
    }

    Step decide_status() {
        if (starts_with_ignore_case(data_, "HTTP/1.1 200 OK") ||
            starts_with_ignore_case(data_, "HTTP/1.0 200 OK")) {
            return Step::Continue;
        }
        if (options_.followRedirect && (starts_with_ignore_case(data_, "HTTP/1.0 301") ||
                                        starts_with_ignore_case(data_, "HTTP/1.1 301") ||
                                        starts_with_ignore_case(data_, "HTTP/1.0 302") ||
                                        starts_with_ignore_case(data_, "HTTP/1.1 302"))) {
            if (header_->refusedLocationLength > 0) {
                failedForGood = true;  // the same answer comes every time
                return fail(DownloadResult::Failed, FailureKind::BadAddress,
                            "重定向地址过长, header.location: %d字节, 大于%d字节",
                            header_->refusedLocationLength,
                            static_cast<int>(sizeof header_->location - 1));
            }
            if (header_->location[0] != '\0') return Step::Redirect;
        }
        failedForGood = !passing_status(data_);
        if (starts_with_ignore_case(data_, "HTTP/1.0 404") ||
            starts_with_ignore_case(data_, "HTTP/1.1 404")) {
            return fail(DownloadResult::Failed, FailureKind::HttpStatus,
                        "404 Not Found - 文件不存在");
        }
        // "200 Fine" is refused for its wording, not its status.
        const FailureKind kind =
            status_ == 0 || status_ == 200 ? FailureKind::BadResponse : FailureKind::HttpStatus;
        char start[257];
        const size_t kept = filled_ < 256 ? filled_ : 256;
        std::memcpy(start, data_, kept);
        start[kept] = '\0';
        return fail(DownloadResult::Failed, kind, "返回错误的http状态码:\n%s", start);
    }

    Step check_200_and_read_body(size_t bodyStart) {
        if (header_->contentEncoding[0] != '\0') {
            failedForGood = true;
            return fail(DownloadResult::Failed, FailureKind::BadResponse,
                        "header.contentEncoding:%s", header_->contentEncoding);
        }
        if (header_->contentLength == -1) {
            fileSize_ = UNKNOWN_SIZE;
            if (header_->isChunked) return chunked_body(bodyStart);
            if (options_.keepAlive && !equals_ignore_case(header_->connection, "close")) {
                return fail(DownloadResult::Failed, FailureKind::BadResponse,
                            "Connection: keep-alive, Content-Length = -1");
            }
            return identity_body(bodyStart);
        }
        const auto length = static_cast<uint32_t>(header_->contentLength);
        if (length > static_cast<uint32_t>(IMAGE_SIZE_LIMIT)) {
            failedForGood = true;
            return fail(DownloadResult::BadContent, FailureKind::TooLarge,
                        "fileSize=0, header.contentLength: %u, 大于10M", length);
        }
        fileSize_ = length;
        return header_->isChunked ? chunked_body(bodyStart) : identity_body(bodyStart);
    }

    Step identity_body(size_t bodyStart) {
        const size_t first = filled_ - bodyStart;
        readTotal_ = static_cast<int32_t>(first);
        if (fileSize_ < static_cast<uint32_t>(readTotal_)) {
            return fail(DownloadResult::BadContent, FailureKind::BadResponse,
                        "readTotal > fileSize, 当前下载的文件数据大小:%d, fileSize:%u", readTotal_,
                        fileSize_);
        }
        if (first > 0 && !store(data_ + bodyStart, first)) return write_error();
        if (static_cast<uint32_t>(readTotal_) == fileSize_) return Step::BodyEnded;
        for (;;) {
            const long got = receive(data_, HTTP_BUFFER_SIZE);
            if (got <= 0) {
                endedCleanly_ = got == 0;
                return Step::BodyEnded;
            }
            readTotal_ += static_cast<int32_t>(got);
            if (readTotal_ > IMAGE_SIZE_LIMIT) {
                failedForGood = true;
                return fail(DownloadResult::BadContent, FailureKind::TooLarge,
                            "header.contentLength: %d, readTotal:%d > 10M", header_->contentLength,
                            readTotal_);
            }
            const auto total = static_cast<uint32_t>(readTotal_);
            if (total <= fileSize_ && !store(data_, static_cast<size_t>(got))) return write_error();
            if (total == fileSize_) return Step::BodyEnded;
            // Beyond the announced length the bytes are dropped: the exchange
            // can then only end with the connection, and fails on its length.
        }
    }

    // Moves the bytes from `from` on to the start of the buffer and reads more
    // behind them. False when the read brought nothing.
    bool refill(size_t from) {
        const size_t kept = filled_ - from;
        std::memmove(data_, data_ + from, kept);
        filled_ = kept;
        data_[filled_] = '\0';
        if (filled_ >= HTTP_BUFFER_SIZE) {
            noRoom_ = true;
            lastRet_ = 0;  // no room: a chunk-size line longer than the buffer
            lastErrno_ = errno;
            return false;
        }
        const long got = receive(data_ + filled_, HTTP_BUFFER_SIZE - filled_);
        if (got <= 0) return false;
        filled_ += static_cast<size_t>(got);
        data_[filled_] = '\0';
        return true;
    }

    // The connection ended before the next chunk-size line, or the line did
    // not fit the buffer.
    Step lost_chunk_line() {
        return fail(DownloadResult::Failed, noRoom_ ? FailureKind::BadResponse : FailureKind::Cut,
                    "下载图片失败3: 图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d",
                    fileSize_, static_cast<int>(searchedLength_), static_cast<int>(lastRet_),
                    lastErrno_);
    }

    // Chunk data counts towards the same 10 MiB as an identity body, so an
    // endless chunked stream cannot fill the disk.
    bool over_limit(uint32_t size) const {
        return static_cast<int64_t>(readTotal_) + size > IMAGE_SIZE_LIMIT;
    }

    Step chunked_body(size_t bodyStart) {
        size_t p = bodyStart;
        for (;;) {
            size_t lineEnd = 0;
            searchedLength_ = filled_;
            while (!find(p, "\r\n", 2, &lineEnd)) {
                if (!refill(p)) return lost_chunk_line();
                p = starts_with_crlf() ? 2 : 0;
                searchedLength_ = filled_;
            }

            const char* s = data_ + p;
            const char* end = data_ + lineEnd;
            if (end - s >= 2 && (s[1] == 'x' || s[1] == 'X')) s += 2;
            while (s < end && (*s == ' ' || *s == '\t')) ++s;
            uint32_t size = 0;
            int significant = 0;  // digits after leading zeros
            for (; s < end; ++s) {
                int digit = -1;
                if (*s >= '0' && *s <= '9') digit = *s - '0';
                if (*s >= 'a' && *s <= 'f') digit = *s - 'a' + 10;
                if (*s >= 'A' && *s <= 'F') digit = *s - 'A' + 10;
                if (digit < 0) break;
                if (size != 0 || digit != 0) ++significant;
                size = (size << 4) | static_cast<uint32_t>(digit);
            }
            // More than eight digits would have wrapped to a small size that
            // another chunk's bytes could then satisfy.
            if (significant > 8) {
                return fail(DownloadResult::Failed, FailureKind::BadResponse,
                            "不正常: chunk size超过8位十六进制数字");
            }
            if (static_cast<int32_t>(size) < 0) {
                return fail(DownloadResult::Failed, FailureKind::BadResponse,
                            "不正常: 这里就有问题了, chunksize:%d", static_cast<int32_t>(size));
            }
            const size_t dataStart = lineEnd + 2;
            if (size == 0) return trailer(dataStart);
            if (over_limit(size)) {
                failedForGood = true;
                return fail(DownloadResult::BadContent, FailureKind::TooLarge,
                            "header.contentLength: %d, readTotal:%d > 10M", header_->contentLength,
                            static_cast<int32_t>(static_cast<int64_t>(readTotal_) + size));
            }

            const size_t present = filled_ - dataStart;
            if (present < size) {
                if (present > 0 && !store(data_ + dataStart, present)) return write_error();
                readTotal_ += static_cast<int32_t>(present);
                size_t remaining = size - present;
                while (remaining > 0) {
                    const size_t ask = remaining < HTTP_BUFFER_SIZE ? remaining : HTTP_BUFFER_SIZE;
                    const long got = receive(data_, ask);
                    if (got <= 0) {
                        endedCleanly_ = false;
                        return Step::BodyEnded;
                    }
                    if (!store(data_, static_cast<size_t>(got))) return write_error();
                    readTotal_ += static_cast<int32_t>(got);
                    remaining -= static_cast<size_t>(got);
                }
                filled_ = 0;
                if (!refill(0)) return lost_chunk_line();
                p = starts_with_crlf() ? 2 : 0;
                continue;
            }

            if (!store(data_ + dataStart, size)) return write_error();
            readTotal_ += static_cast<int32_t>(size);
            const size_t after = present - size;
            if (after >= 2) {  // the chunk's closing CR LF, taken on trust
                p = dataStart + size + 2;
                continue;
            }
            if (!refill(dataStart + size)) return lost_chunk_line();
            p = starts_with_crlf() ? 2 : 0;
        }
    }

    Step trailer(size_t from) {
        size_t syCount = filled_ - from;
        if (syCount != 2) {
            app_log_format(
                "chunk size == 0, readTotal:%d, p - data:%d, syCount:%d, dataContent:\r\n%s",
                static_cast<int>(filled_), static_cast<int>(from), static_cast<int>(syCount),
                data_);
        }
        std::memmove(data_, data_ + from, syCount);
        filled_ = syCount;
        data_[filled_] = '\0';
        while (syCount < 2 || data_[syCount - 2] != '\r' || data_[syCount - 1] != '\n') {
            if (syCount >= HTTP_BUFFER_SIZE) {
                return fail(DownloadResult::Failed, FailureKind::BadResponse,
                            "读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符");
            }
            const size_t ask = HTTP_BUFFER_SIZE - syCount;
            const long got = receive(data_ + syCount, ask);
            if (got <= 0) {
                return fail(
                    DownloadResult::Failed, FailureKind::Cut,
                    "读取chunk最后的结束符时出错: syCount:%d, bufferSize:%d, ret:%d, errno:%d",
                    static_cast<int>(syCount), static_cast<int>(ask), static_cast<int>(got),
                    lastErrno_);
            }
            syCount += static_cast<size_t>(got);
            filled_ = syCount;
            data_[filled_] = '\0';
        }
        isChunkReceiveCompleted_ = 1;
        return Step::BodyEnded;
    }

    Step end_of_body() {
        const bool lengthMet = fileSize_ == static_cast<uint32_t>(readTotal_);
        if (options_.keepAlive) {
            if (!lengthMet && !(header_->isChunked && isChunkReceiveCompleted_)) {
                if (fileSize_ == UNKNOWN_SIZE) {
                    return fail(DownloadResult::Failed, FailureKind::Cut,
                                "(fileSize:未定义, readTotal:%d), (header.isChunked:%d, "
                                "isChunkReceiveCompleted:%d)",
                                readTotal_, header_->isChunked, isChunkReceiveCompleted_);
                }
                return fail(DownloadResult::Failed, FailureKind::Cut,
                            "(fileSize:%u, readTotal:%d), (header.isChunked:%d, "
                            "isChunkReceiveCompleted:%d)",
                            fileSize_, readTotal_, header_->isChunked, isChunkReceiveCompleted_);
            }
        } else {
            // Without a length the end of the connection ends the body, but
            // only an orderly close does: a time-out or a reset, or a chunked
            // body without its last chunk, is a cut image, not a whole one.
            bool good = lengthMet;
            if (!good && fileSize_ == UNKNOWN_SIZE) {
                good = header_->isChunked ? isChunkReceiveCompleted_ != 0 : endedCleanly_;
            }
            if (!good) {
                return fail(DownloadResult::BadContent, FailureKind::Cut,
                            "图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d", fileSize_,
                            readTotal_, static_cast<int>(lastRet_), lastErrno_);
            }
        }
        if (signatureCount_ < 2 || !is_supported_image(signature_)) {
            // A connection that closed without a word gave no image to judge:
            // it may answer another time.
            failedForGood = headRead_;
            return fail(DownloadResult::BadContent,
                        headRead_ ? FailureKind::NotAnImage : FailureKind::Cut,
                        "下载的图片格式不受支持");
        }
        return Step::Image;
    }

    ResponseSource source_;
    FILE* file_;
    DownloadOptions options_;
    HttpHeader* header_;
    char* errorText_;

    char data_[HTTP_BUFFER_SIZE + 1];
    size_t filled_ = 0;
    size_t searchedLength_ = 0;
    uint32_t fileSize_ = UNKNOWN_SIZE;
    int32_t readTotal_ = 0;
    int isChunkReceiveCompleted_ = 0;
    bool endedCleanly_ = true;
    unsigned char signature_[2] = {0, 0};
    int signatureCount_ = 0;
    long lastRet_ = 0;
    int lastErrno_ = 0;
    bool headRead_ = false;
    bool noRoom_ = false;  // a chunk-size line filled the whole buffer
    int status_ = 0;
    DownloadResult failure_ = DownloadResult::Failed;
    FailureKind kind_ = FailureKind::Cut;
};

long receive_from_connection(void* context, char* buffer, size_t capacity) {
    return connection_receive(*static_cast<const Connection*>(context), buffer, capacity);
}

// Where one attempt goes: the transport, the port and the request for it.
struct Target {
    Transport transport;
    int port;
    char request[REQUEST_BUFFER_SIZE];
};

struct Attempt {
    DownloadResult result;
    bool redirect;
    bool opened;        // the file at the path was created or truncated
    bool notConnected;  // no connection could be made (over TLS: or no session)
    bool answered;      // the server sent a whole response head
    bool timedOut;      // connected, and failed waiting: the host did not answer in time
    FailureKind failure;
    int status;  // the answer's status code, 0 when none came
    char location[sizeof(HttpHeader::location)];
};

void run_exchange(const UrlParts& parts, const Target& target, const char* path,
                  DownloadOptions options, char* errorText, Attempt* attempt);

// One request and its response: connection, request, file, response. Every
// resource it takes is given back before it returns.
void run_attempt(const UrlParts& parts, const Target& target, const char* path,
                 DownloadOptions options, char* errorText, Attempt* attempt) {
    attempt->result = DownloadResult::Failed;
    attempt->redirect = false;
    attempt->opened = false;
    attempt->notConnected = false;
    attempt->answered = false;
    attempt->timedOut = false;
    attempt->failure = FailureKind::None;
    attempt->status = 0;
    failedForGood = false;  // the last attempt decides
    // However slowly a server drips its bytes, one attempt ends in time.
    platform::set_thread_deadline(platform::monotonic_seconds() + download_time_limit_s);
    const unsigned waitsBefore = platform::ended_wait_count();
    run_exchange(parts, target, path, options, errorText, attempt);
    const platform::WaitEnd end = platform::last_wait_end();
    const bool waitEnded = platform::ended_wait_count() != waitsBefore;
    platform::set_thread_deadline(0);
    const bool failed = attempt->result != DownloadResult::Ok && !attempt->redirect;
    // A connect that times out counts towards the host's connect failures;
    // once connected, waiting in vain counts towards giving the host up.
    attempt->timedOut =
        failed && waitEnded && !attempt->notConnected && end != platform::WaitEnd::Aborted;
    if (attempt->timedOut) {
        note_exchange_timed_out(parts.host, target.port, target.transport);
    } else if (attempt->answered) {
        note_host_answered(parts.host, target.port, target.transport);
    }
    if (failed) {
        // However the cut response looked, the host did not answer in time.
        if (attempt->timedOut && attempt->result != DownloadResult::WriteError)
            attempt->failure = FailureKind::Timeout;
        if (end == platform::WaitEnd::DeadlinePassed) {
            format_error_text(errorText, "下载图片超时：%g秒内没有下载完成。",
                              download_time_limit_s);
            // Whatever the cut response looked like, the exchange never finished.
            if (attempt->result != DownloadResult::WriteError) {
                attempt->result = DownloadResult::Failed;
                attempt->failure = FailureKind::Timeout;
            }
        } else if (end == platform::WaitEnd::Aborted) {
            format_error_text(errorText, "下载已放弃：搬家已停止。");
            attempt->failure = FailureKind::Stopped;
        }
    }
}

void run_exchange(const UrlParts& parts, const Target& target, const char* path,
                  DownloadOptions options, char* errorText, Attempt* attempt) {
    attempt->location[0] = '\0';

    char connectError[ERROR_TEXT_SIZE] = {};
    Connection connection =
        options.keepAlive
            ? pool_get_connection(parts.host, target.port, target.transport, connectError)
            : open_connection(parts.host, target.port, target.transport, connectError);
    FILE* file = nullptr;
    DownloadResult result = DownloadResult::Failed;
    HttpHeader header{};
    header.contentLength = -1;

    if (!connection.is_open()) {
        std::memcpy(errorText, connectError, ERROR_TEXT_SIZE);
        failedForGood = last_connect_failure_permanent();
        attempt->failure = last_connect_failure_kind();
        attempt->notConnected = true;
    } else if (!connection_send_all(connection, target.request, std::strlen(target.request))) {
        format_error_text(errorText, "下载图片失败: send() failed");
        attempt->failure = FailureKind::Cut;
    } else if ((file = platform::open_file(path, "wb")) == nullptr) {
        result = DownloadResult::CreateError;
        format_error_text(errorText, "图片搬家失败：无法创建新文件。");
        attempt->failure = FailureKind::Create;
        // The text stays the user's; the system's reason is for the log.
        app_log_format("无法创建图片文件 [%s]：%s", path, platform::last_file_error());
    } else {
        attempt->opened = true;
        // Unbuffered: each piece goes to the disk as it arrives, so a full
        // disk shows at the write that hit it.
        std::setvbuf(file, nullptr, _IONBF, 0);
        const ResponseSource source{receive_from_connection, &connection};
        const ResponseResult response = receive_response(source, file, options, &header, errorText);
        result = response.result;
        attempt->answered = response.answered;
        attempt->failure = response.failure;
        attempt->status = response.status;
        const bool closed = std::fclose(file) == 0;
        file = nullptr;
        // The file stays until the download as a whole has failed: the job
        // claimed its name, and a later attempt writes over it.
        if (response.redirect) {
            const bool keep = options.keepAlive && header.connection[0] != '\0' &&
                              response_keeps_connection(header);
            if (keep) {
                pool_put_connection(parts.host, target.port, target.transport, connection);
            } else {
                connection_close(&connection, true);
            }
            attempt->redirect = true;
            std::memcpy(attempt->location, header.location, sizeof attempt->location);
            return;
        }
        if (result == DownloadResult::Ok && !closed) {
            result = DownloadResult::WriteError;
            format_error_text(errorText, "写入文件时出错，请检查硬盘可用空间是否已不足。");
            attempt->failure = FailureKind::Write;
        }
        if (result == DownloadResult::Ok) {
            const bool close_it = !options.keepAlive || !response_keeps_connection(header);
            if (close_it) {
                connection_close(&connection, true);
            } else {
                pool_put_connection(parts.host, target.port, target.transport, connection);
            }
            attempt->result = DownloadResult::Ok;
            return;
        }
    }
    connection_close(&connection, false);
    attempt->result = result;
}

}  // namespace

ResponseResult receive_response(ResponseSource source, FILE* file, DownloadOptions options,
                                HttpHeader* header, char* errorText) {
    ResponseReader reader(source, file, options, header, errorText);
    return reader.run();
}

void parse_http_header(char* head, HttpHeader* header) {
    std::memset(header, 0, sizeof *header);
    header->contentLength = -1;
    header->isHttp10 = starts_with_ignore_case(head, "HTTP/1.0 ") ? 1 : 0;
    char* p = head;
    for (;;) {
        while (*p == '\r' || *p == '\n') ++p;
        if (*p == '\0') return;
        char* line = p;
        while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
        if (*p != '\0') *p++ = '\0';

        if (starts_with_ignore_case(line, "Content-Length: ")) {
            header->contentLength = lenient_number(line + 16, line + std::strlen(line));
        } else if (equals_ignore_case(line, "Transfer-Encoding: chunked")) {
            header->isChunked = 1;
        } else if (starts_with_ignore_case(line, "Location: ")) {
            const size_t length = std::strlen(line + 10);
            if (length < sizeof header->location) {
                std::memcpy(header->location, line + 10, length + 1);
                header->refusedLocationLength = 0;
            } else {
                header->location[0] = '\0';
                header->refusedLocationLength = static_cast<int32_t>(length);
            }
        } else if (starts_with_ignore_case(line, "Connection: ")) {
            copy_cut(header->connection, sizeof header->connection, line + 12);
        } else if (starts_with_ignore_case(line, "Content-Encoding: ")) {
            copy_cut(header->contentEncoding, sizeof header->contentEncoding, line + 18);
        }
    }
}

bool response_keeps_connection(const HttpHeader& header) {
    return header.isHttp10 ? equals_ignore_case(header.connection, "keep-alive") != 0
                           : equals_ignore_case(header.connection, "close") == 0;
}

int is_supported_image(const unsigned char* b) {
    if (b[0] == 0xFF && b[1] == 0xD8) return 1;  // JPEG
    if (b[0] == 0x89 && b[1] == 0x50) return 1;  // PNG
    if (b[0] == 0x47 && b[1] == 0x49) return 1;  // GIF
    if (b[0] == 0x42 && b[1] == 0x4D) return 1;  // BMP
    return 0;
}

namespace {

// The attempts of one download: the request, one redirect, the retry
// without keep-alive; for an https address each first over TLS, and plain
// HTTP as before when no TLS connection can be made. Leaves whatever the last
// attempt wrote at `path`.
DownloadResult download_attempts(const char* url, const char* path, char* errorText,
                                 DownloadOptions options, bool* opened, DownloadDetails* details,
                                 Transport allowed = Transport::Tls) {
    // After a stop nothing new starts: no attempt, retry, redirect or fallback.
    if (platform::thread_aborted()) {
        format_error_text(errorText, "下载已放弃：搬家已停止。");
        failedForGood = true;
        details->failure = FailureKind::Stopped;
        details->httpStatus = 0;
        return DownloadResult::Failed;
    }
    const char* prepared = normalize_image_url(url);
    UrlParts parts{};
    Target target{};
    bool usable = url_parse(prepared, &parts) == 1;
    if (usable) {
        target.transport = parts.secure ? allowed : Transport::Plain;
        target.port = target.transport == Transport::Tls ? parts.tlsPort
                      : parts.port == 443                ? 80
                                                         : parts.port;
        if (!build_get_request(parts.host, parts.path, target.port, options.keepAlive,
                               target.request, target.transport)) {
            url_parts_free(&parts);
            usable = false;
        }
    }
    if (!usable) {
        if (prepared != url) std::free(const_cast<char*>(prepared));
        format_error_text(errorText, "无法parse下载图片地址");
        failedForGood = true;
        details->failure = FailureKind::BadAddress;
        details->httpStatus = 0;
        return DownloadResult::Failed;
    }

    Attempt attempt;
    run_attempt(parts, target, path, options, errorText, &attempt);
    if (attempt.opened) *opened = true;
    details->failure = attempt.result == DownloadResult::Ok ? FailureKind::None : attempt.failure;
    details->httpStatus = attempt.status;
    url_parts_free(&parts);
    if (prepared != url) std::free(const_cast<char*>(prepared));

    if (target.transport == Transport::Tls && attempt.notConnected && options.httpFallback &&
        !platform::thread_aborted()) {
        // Whatever downloaded before TLS did must still download: the same
        // address as plain HTTP, port 443 taken as 80.
        char tlsCause[ERROR_TEXT_SIZE];
        std::memcpy(tlsCause, errorText, sizeof tlsCause);
        const FailureKind tlsFailure = attempt.failure;
        app_log_format("HTTPS连接失败，改用HTTP下载：%s，原因：%s", url, tlsCause);
        const DownloadResult result =
            download_attempts(url, path, errorText, options, opened, details, Transport::Plain);
        if (result == DownloadResult::Ok) {
            details->overPlainHttp = true;
        } else {
            char plainCause[ERROR_TEXT_SIZE];
            std::memcpy(plainCause, errorText, sizeof plainCause);
            format_error_text(errorText, "HTTPS连接失败：%s；改用HTTP下载也失败：%s", tlsCause,
                              plainCause);
            if (result != DownloadResult::WriteError && result != DownloadResult::CreateError) {
                details->failure = tlsFailure;
                details->httpStatus = 0;
            }
        }
        return result;
    }
    if (attempt.redirect) {
        if (ends_with_ignore_case(attempt.location, "_.webp")) {
            attempt.location[std::strlen(attempt.location) - 6] = '\0';
        }
        // The redirect's own download starts with keep-alive again and
        // follows no further redirect.
        return download_attempts(attempt.location, path, errorText,
                                 DownloadOptions{true, false, options.httpFallback}, opened,
                                 details);
    }
    const DownloadResult result = attempt.result;
    // The retry without keep-alive is for servers that mishandle keep-alive,
    // not for a host that did not answer: that would only wait as long again.
    if (result != DownloadResult::Ok && options.keepAlive && result != DownloadResult::WriteError &&
        result != DownloadResult::CreateError && !attempt.timedOut && !platform::thread_aborted()) {
        app_log_format("搬家失败：%s(useKeepAlive:%d)，返回的错误信息：\r\n%s", url,
                       options.keepAlive ? 1 : 0, errorText);
        options.keepAlive = false;
        return download_attempts(url, path, errorText, options, opened, details, allowed);
    }
    return result;
}

}  // namespace

bool last_download_failure_transient() {
    return lastFailureTransient;
}

void set_download_time_limit_for_testing(double seconds) {
    download_time_limit_s = seconds;
}

DownloadResult download_image(const char* url, const char* path, char* errorText,
                              DownloadOptions options, DownloadDetails* details) {
    bool opened = false;
    failedForGood = false;
    DownloadDetails own;
    if (details == nullptr) details = &own;
    *details = DownloadDetails{};
    const DownloadResult result =
        download_attempts(url, path, errorText, options, &opened, details);
    // A file that cannot be written fails the same way however often it is tried.
    if (result == DownloadResult::WriteError || result == DownloadResult::CreateError)
        failedForGood = true;
    lastFailureTransient = result != DownloadResult::Ok && !failedForGood;
    // What a failed download wrote is no image; a file it never opened is
    // not its to remove.
    if (result != DownloadResult::Ok && opened) platform::remove_file(path);
    return result;
}
