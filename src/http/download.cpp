#include "http/download.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/response.h"
#include "http/url.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/memory.h"
#include "shell/text.h"

namespace {

// What last_download_failure_transient answers: the last download's mayPass.
thread_local bool lastFailureTransient = false;

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
    bool final;  // failed for a reason that asking again would only repeat
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
    attempt->final = false;
    // However slowly a server drips its bytes, one attempt ends in time.
    platform::set_thread_deadline(platform::monotonic_seconds() + options.policy.attemptLimitS);
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
                              options.policy.attemptLimitS);
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
    Connection connection = options.keepAlive
                                ? pool_get_connection(parts.host, target.port, target.transport,
                                                      connectError, options.policy)
                                : open_connection(parts.host, target.port, target.transport,
                                                  connectError, options.policy);
    FILE* file = nullptr;
    DownloadResult result = DownloadResult::Failed;
    HttpHeader header{};
    header.contentLength = -1;

    if (!connection.is_open()) {
        std::memcpy(errorText, connectError, ERROR_TEXT_SIZE);
        attempt->final = last_connect_failure_permanent();
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
        attempt->final = response.final;
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
        details->mayPass = false;
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
        details->mayPass = false;
        details->failure = FailureKind::BadAddress;
        details->httpStatus = 0;
        return DownloadResult::Failed;
    }

    Attempt attempt;
    run_attempt(parts, target, path, options, errorText, &attempt);
    if (attempt.opened) *opened = true;
    details->failure = attempt.result == DownloadResult::Ok ? FailureKind::None : attempt.failure;
    details->httpStatus = attempt.status;
    details->mayPass = attempt.result != DownloadResult::Ok && !attempt.final;
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
        DownloadOptions redirected = options;
        redirected.keepAlive = true;
        redirected.followRedirect = false;
        return download_attempts(attempt.location, path, errorText, redirected, opened, details);
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

DownloadResult download_image(const char* url, const char* path, char* errorText,
                              DownloadOptions options, DownloadDetails* details) {
    bool opened = false;
    DownloadDetails own;
    if (details == nullptr) details = &own;
    *details = DownloadDetails{};
    const DownloadResult result =
        download_attempts(url, path, errorText, options, &opened, details);
    // A file that cannot be written fails the same way however often it is tried.
    if (result == DownloadResult::WriteError || result == DownloadResult::CreateError)
        details->mayPass = false;
    lastFailureTransient = details->mayPass;
    // What a failed download wrote is no image; a file it never opened is
    // not its to remove.
    if (result != DownloadResult::Ok && opened) platform::remove_file(path);
    return result;
}
