// OpenSSL 3 behind platform/tls.h. The session reads and writes through a
// BIO of our own that calls receive and send_all, so a handshake waits in
// the same short slices as every other socket wait and ends with the job.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/net_waits.h"
#include "platform/tls.h"

namespace platform {

// What the BIO knows of its socket: the handle, and whether the last failed
// read ended by waiting (a stall) rather than by the connection's end.
struct SocketLink {
    Socket socket;
    bool waitEnded;
    bool ended;  // the peer closed the connection
};

struct TlsSession {
    SSL* ssl;
    SocketLink link;
    bool broken;  // an error or a cut connection: no close_notify goes out
};

namespace {

SSL_CTX* clientContext = nullptr;
BIO_METHOD* linkMethod = nullptr;
std::once_flag setUp;

int link_write(BIO* bio, const char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    auto* link = static_cast<SocketLink*>(BIO_get_data(bio));
    return send_all(link->socket, bytes, static_cast<size_t>(length)) ? length : -1;
}

int link_read(BIO* bio, char* buffer, int capacity) {
    BIO_clear_retry_flags(bio);
    if (capacity <= 0) return 0;
    auto* link = static_cast<SocketLink*>(BIO_get_data(bio));
    const unsigned endedBefore = waits::ended_waits();
    const long got = receive(link->socket, buffer, static_cast<size_t>(capacity));
    if (got < 0) {
        link->waitEnded = waits::ended_waits() != endedBefore;
        return -1;
    }
    if (got == 0) link->ended = true;
    return static_cast<int>(got);
}

long link_control(BIO* bio, int command, long, void*) {
    const auto* link = static_cast<const SocketLink*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;  // every write has gone out already
        case BIO_CTRL_EOF:
            return link != nullptr && link->ended ? 1 : 0;
        default:
            return 0;
    }
}

void set_up() {
    linkMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelvane socket");
    if (linkMethod == nullptr || BIO_meth_set_write(linkMethod, link_write) != 1 ||
        BIO_meth_set_read(linkMethod, link_read) != 1 ||
        BIO_meth_set_ctrl(linkMethod, link_control) != 1) {
        return;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // Records are read in as large pieces as have arrived, not header and
    // body apart: half the waits and system calls for every record.
    SSL_CTX_set_read_ahead(context, 1);
    // The system's certificates, or SSL_CERT_FILE / SSL_CERT_DIR when set.
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
        SSL_CTX_free(context);
        return;
    }
    clientContext = context;
}

void write_detail(char* detail, const char* what, unsigned long error) {
    char reason[200] = "";
    if (error != 0) ERR_error_string_n(error, reason, sizeof reason);
    std::snprintf(detail, TLS_DETAIL_SIZE, "%s%s%s", what, reason[0] != '\0' ? ": " : "", reason);
}

// Why a handshake failed, with OpenSSL's own words for the log.
TlsFailure handshake_failure(SSL* ssl, const SocketLink& link, int returned, char* detail) {
    const int kind = SSL_get_error(ssl, returned);
    const unsigned long error = ERR_peek_last_error();
    const long verdict = SSL_get_verify_result(ssl);
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        write_detail(detail, X509_verify_cert_error_string(verdict), 0);
        return TlsFailure::NameMismatch;
    }
    if (verdict != X509_V_OK) {
        write_detail(detail, X509_verify_cert_error_string(verdict), 0);
        return TlsFailure::Untrusted;
    }
    if (kind == SSL_ERROR_SYSCALL && link.waitEnded) {
        write_detail(detail, "no answer to the handshake in time", 0);
        return TlsFailure::TimedOut;
    }
    if (kind == SSL_ERROR_SYSCALL && error == 0) {
        write_detail(detail,
                     link.ended ? "connection closed during the handshake"
                                : "connection failed during the handshake",
                     0);
        return TlsFailure::Handshake;
    }
    write_detail(detail, "handshake failed", error);
    return TlsFailure::Handshake;
}

bool is_ipv4_address(const char* host) {
    struct in_addr address {};
    return inet_pton(AF_INET, host, &address) == 1;
}

}  // namespace

TlsSession* tls_start(Socket socket, const char* host, TlsFailure* failure, char* detail) {
    detail[0] = '\0';
    std::call_once(setUp, set_up);
    if (clientContext == nullptr) {
        *failure = TlsFailure::Unavailable;
        write_detail(detail, "TLS could not be set up", ERR_peek_last_error());
        return nullptr;
    }
    ERR_clear_error();
    auto* session = new TlsSession{SSL_new(clientContext), SocketLink{socket, false, false}, false};
    BIO* bio = session->ssl != nullptr ? BIO_new(linkMethod) : nullptr;
    bool named = false;
    if (bio != nullptr) {
        BIO_set_data(bio, &session->link);
        BIO_set_init(bio, 1);
        SSL_set_bio(session->ssl, bio, bio);  // the session owns the BIO now
        if (is_ipv4_address(host) || std::strchr(host, ':') != nullptr) {
            // An address (IPv4, or IPv6 without its brackets: no name has a
            // colon) is checked against the certificate's IP entries and
            // never sent as SNI, which is for names only.
            named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl), host) == 1;
        } else {
            SSL_set_hostflags(session->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            named = SSL_set_tlsext_host_name(session->ssl, host) == 1 &&
                    SSL_set1_host(session->ssl, host) == 1;
        }
    }
    if (!named) {
        *failure = TlsFailure::Unavailable;
        write_detail(detail, "TLS session could not be made", ERR_peek_last_error());
        SSL_free(session->ssl);
        delete session;
        return nullptr;
    }
    const int returned = SSL_connect(session->ssl);
    if (returned != 1) {
        *failure = handshake_failure(session->ssl, session->link, returned, detail);
        SSL_free(session->ssl);
        delete session;
        ERR_clear_error();
        return nullptr;
    }
    *failure = TlsFailure::None;
    return session;
}

bool tls_send_all(TlsSession* session, const char* bytes, size_t length) {
    while (length > 0) {
        const int piece = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        ERR_clear_error();
        const int sent = SSL_write(session->ssl, bytes, piece);
        if (sent <= 0) {
            session->broken = true;
            return false;
        }
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

long tls_receive(TlsSession* session, char* buffer, size_t capacity) {
    const int ask = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    ERR_clear_error();
    const int got = SSL_read(session->ssl, buffer, ask);
    if (got > 0) return got;
    if (SSL_get_error(session->ssl, got) == SSL_ERROR_ZERO_RETURN) return 0;
    // A connection that ends without close_notify may have been cut by
    // anyone on the way; its data is not taken as whole.
    session->broken = true;
    ERR_clear_error();
    return -1;
}

void tls_close(TlsSession* session, bool orderly) {
    if (session == nullptr) return;
    if (orderly && !session->broken) {
        ERR_clear_error();
        SSL_shutdown(session->ssl);  // our close_notify; the peer's is not awaited
    }
    const Socket socket = session->link.socket;
    SSL_free(session->ssl);
    ERR_clear_error();
    delete session;
    close_socket(socket);
}

}  // namespace platform
