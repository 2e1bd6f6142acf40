// TLS for the image client: a client session over a connected socket,
// verified against the operating system's trust store. OpenSSL on POSIX,
// Schannel (SSPI) on Windows; above this line the two look alike.
//
// Every byte of a session goes through send_all and receive of platform/net.h,
// so the socket's time-outs, the thread's deadline and a stopped job's abort
// flag bound a handshake exactly as they bound a plain exchange.
#pragma once

#include <cstddef>

#include "platform/net.h"

namespace platform {

struct TlsSession;

enum class TlsFailure {
    None,
    Unavailable,   // the TLS library or the trust store could not be set up
    Handshake,     // the peer did not complete a TLS 1.2+ handshake (closed, reset,
                   // answered something else, or no common protocol or cipher)
    TimedOut,      // the handshake stalled: a time-out, the deadline or a stop
    Untrusted,     // the certificate does not chain to a trusted root, or is
                   // expired or otherwise invalid
    NameMismatch,  // a valid certificate, but not for this host name
};

// Upper bound of the detail text that tls_start writes, NUL included.
inline constexpr size_t TLS_DETAIL_SIZE = 256;

// Makes a TLS 1.2 (or newer) handshake over `socket` for `host`: the name
// goes out as SNI (unless it is an IPv4 or IPv6 address) and the server's
// certificate must chain to a root the system trusts (OpenSSL: its default
// paths, which honour SSL_CERT_FILE and SSL_CERT_DIR) and be issued for the
// name (or address). Returns the session, which from then on owns the socket;
// or nullptr with `*failure` set, the library's own reason in `detail`
// (TLS_DETAIL_SIZE bytes, for the log) and the socket still the caller's.
// Safe to call from several threads at once.
TlsSession* tls_start(Socket socket, const char* host, TlsFailure* failure, char* detail);

// As send_all: every byte, false on an error or a time-out.
bool tls_send_all(TlsSession* session, const char* bytes, size_t length);

// As receive: at most `capacity` bytes of plaintext, 0 when the peer closed
// the session in order (close_notify), negative on an error, a time-out or a
// connection that ended without close_notify (the data may have been cut).
long tls_receive(TlsSession* session, char* buffer, size_t capacity);

// Ends the session and closes its socket. `orderly` sends close_notify first
// (a pooled connection at its end); false drops the connection at once (after
// an error, when the peer may no longer listen). Null is ignored.
void tls_close(TlsSession* session, bool orderly);

}  // namespace platform
