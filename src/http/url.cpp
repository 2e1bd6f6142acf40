#include "http/url.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/number.h"
#include "shell/memory.h"
#include "shell/text.h"

namespace {

bool has_control_byte(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        if (*p < 0x20 || *p == 0x7F) return true;
    }
    return false;
}

}  // namespace

const char* normalize_image_url(const char* url) {
    char* unescaped =
        std::strstr(url, "&amp;") != nullptr ? replace_all(url, "&amp;", "&") : nullptr;
    const char* current = unescaped != nullptr ? unescaped : url;
    if (std::strchr(current, ' ') != nullptr) {
        char* spaced = replace_all(current, " ", "%20");
        if (spaced != nullptr) {
            std::free(unescaped);
            current = spaced;
        }
    }
    return current;
}

int url_parse(const char* url, UrlParts* parts) {
    if (!starts_with_ignore_case(url, "http") && std::strncmp(url, "//", 2) != 0) return 0;
    const char* slash = std::strchr(url, '/');
    if (slash == nullptr || slash[1] == '\0') return 0;
    const char* host = slash + 2;
    const char* path = std::strchr(host, '/');
    if (path == nullptr) return 0;

    const int32_t scheme_port = std::strncmp(url, "https:", 6) == 0 ? 443 : 80;
    const char* host_end = path;
    int32_t port = scheme_port;
    bool explicit_port = false;
    const void* bracket = host < path && *host == '['
                              ? std::memchr(host, ']', static_cast<size_t>(path - host))
                              : nullptr;
    if (bracket != nullptr) {
        // An IPv6 literal keeps its brackets, as the Host line must carry them;
        // only a colon right after them starts the port.
        const char* after = static_cast<const char*>(bracket) + 1;
        if (after < path && *after == ':') {
            host_end = after;
            port = lenient_number(after + 1, path);
            explicit_port = true;
        }
    } else if (host < path && *host == ':') {
        host_end = host;
        port = lenient_number(host + 1, path);
        explicit_port = true;
    } else if (host < path) {
        const void* colon = std::memchr(host + 1, ':', static_cast<size_t>(path - host - 1));
        if (colon != nullptr) {
            host_end = static_cast<const char*>(colon);
            port = lenient_number(host_end + 1, path);
            explicit_port = true;
        }
    }
    parts->host = xstrndup(host, static_cast<size_t>(host_end - host));
    parts->path = xstrdup(path);
    parts->port = port;
    parts->secure = starts_with_ignore_case(url, "https:") != 0;
    parts->tlsPort = explicit_port ? port : 443;
    return 1;
}

void url_parts_free(UrlParts* parts) {
    std::free(parts->host);
    std::free(parts->path);
    parts->host = nullptr;
    parts->path = nullptr;
}

int build_get_request(const char* host, const char* path, int port, int useKeepAlive, char* request,
                      Transport transport) {
    request[0] = '\0';
    if (has_control_byte(host) || has_control_byte(path)) return 0;
    char host_line[HOST_LINE_BUFFER_SIZE];
    const int own_port = transport == Transport::Tls ? 443 : 80;
    const int host_length =
        port == own_port
            ? std::snprintf(host_line, sizeof host_line, "\r\nHost: %s", host)
            : std::snprintf(host_line, sizeof host_line, "\r\nHost: %s:%d", host, port);
    if (host_length < 0 || static_cast<size_t>(host_length) >= sizeof host_line) return 0;
    const int length = std::snprintf(
        request, REQUEST_BUFFER_SIZE,
        "GET %s %s\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nUser-Agent: Mozilla/5.0 (Windows NT "
        "6.1) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/72.0.3610.2%s%s",
        path, useKeepAlive ? "HTTP/1.1" : "HTTP/1.0", host_line,
        useKeepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
    if (length < 0 || static_cast<size_t>(length) >= REQUEST_BUFFER_SIZE) {
        request[0] = '\0';
        return 0;
    }
    return 1;
}
