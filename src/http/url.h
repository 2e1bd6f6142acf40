// Image addresses: cleaning one up, splitting it into host, port and path,
// and the text of the GET request that fetches it.
#pragma once

#include <cstddef>
#include <cstdint>

// The request is built in a buffer of this many bytes, NUL included.
inline constexpr size_t REQUEST_BUFFER_SIZE = 1024;
// The Host line ("\r\nHost: h" or "\r\nHost: h:port") must fit in this, NUL included.
inline constexpr size_t HOST_LINE_BUFFER_SIZE = 64;

// How a connection carries an exchange: as it is, or inside a TLS session.
enum class Transport { Plain, Tls };

struct UrlParts {
    char* host;    // as written in the address ("[::1]" with its brackets); may be empty
    char* path;    // from the first "/" after the host to the end, query included
    int32_t port;  // the explicit port, else 443 for "https:", else 80
    // The scheme is https, in any letter case: the address is tried over TLS
    // first, on `tlsPort` (the explicit port, else 443).
    bool secure;
    int32_t tlsPort;
};

// The address with every "&amp;" turned into "&" and then every space into
// "%20". Returns the argument itself when nothing changed; otherwise a new
// heap string that the caller frees.
const char* normalize_image_url(const char* url);

// 1 with `parts` filled (host and path on the heap); 0 when the address is
// refused, leaving `parts` untouched.
int url_parse(const char* url, UrlParts* parts);
// Frees host and path and sets them to null; the record itself stays.
void url_parts_free(UrlParts* parts);

// Writes the GET request for `path` on `host`:`port` into `request`
// (REQUEST_BUFFER_SIZE bytes): HTTP/1.1 with "Connection: keep-alive" when
// `useKeepAlive` is set, HTTP/1.0 with "Connection: close" otherwise. The
// port appears in the Host line unless it is the transport's own (80 plain,
// 443 over TLS). Returns 0, writing nothing useful, when the request or its
// Host line would not fit, or when host or path hold a control byte that
// would let the address forge header lines.
int build_get_request(const char* host, const char* path, int port, int useKeepAlive, char* request,
                      Transport transport = Transport::Plain);
