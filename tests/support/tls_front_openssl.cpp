// The TLS front with OpenSSL, in the test process (and in kelvane-tls-relay
// for the Windows tests). The certificates are made once per process with
// fresh P-256 keys, so nothing secret or expiring lives in the tree.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/tls_front.h"
#include "support/tls_relay_protocol.h"

namespace {

constexpr int POLL_SLICE_MS = 20;
constexpr long DAY_SECONDS = 24 * 60 * 60;

[[noreturn]] void fail(const std::string& what) {
    char reason[256] = "";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    throw std::runtime_error("test TLS: " + what + ": " + reason);
}

// ---- Certificates ---------------------------------------------------------

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr || X509_add_ext(cert, extension, -1) != 1) fail(value);
    X509_EXTENSION_free(extension);
}

// A certificate for `key` named `commonName`, signed by `issuerKey` as
// `issuer` (itself when null), valid from a day ago for a year.
X509* make_certificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                       EVP_PKEY* issuerKey,
                       const std::vector<std::pair<int, const char*>>& extras) {
    X509* cert = X509_new();
    BIGNUM* serial = BN_new();
    if (cert == nullptr || serial == nullptr || X509_set_version(cert, 2) != 1 ||
        BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) == nullptr ||
        X509_gmtime_adj(X509_getm_notBefore(cert), -DAY_SECONDS) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert), 365 * DAY_SECONDS) == nullptr ||
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0) != 1 ||
        X509_set_pubkey(cert, key) != 1) {
        fail("certificate for " + commonName);
    }
    BN_free(serial);
    if (issuer == nullptr) issuer = cert;
    if (X509_set_issuer_name(cert, X509_get_subject_name(issuer)) != 1) fail("issuer name");
    // The key identifiers let a chain engine pick this run's CA among the
    // like-named ones that earlier runs left in a Wine prefix.
    add_extension(cert, issuer, NID_subject_key_identifier, "hash");
    add_extension(cert, issuer, NID_authority_key_identifier, "keyid:always");
    for (const auto& [nid, value] : extras) add_extension(cert, issuer, nid, value);
    if (X509_sign(cert, issuerKey, EVP_sha256()) == 0) fail("signing " + commonName);
    return cert;
}

EVP_PKEY* make_key() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr) fail("P-256 key");
    return key;
}

std::vector<std::pair<int, const char*>> serverExtensions(const char* names) {
    return {{NID_basic_constraints, "critical,CA:FALSE"},
            {NID_key_usage, "critical,digitalSignature"},
            {NID_ext_key_usage, "serverAuth"},
            {NID_subject_alt_name, names}};
}

SSL_CTX* server_context(X509* cert, EVP_PKEY* key, bool oldProtocol = false) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    // TLS 1.1 needs security level 0 under Debian's OpenSSL configuration.
    if (context != nullptr && oldProtocol &&
        (SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION) != 1 ||
         SSL_CTX_set_min_proto_version(context, TLS1_VERSION) != 1)) {
        fail("old-protocol server context");
    }
    if (context != nullptr && oldProtocol) SSL_CTX_set_security_level(context, 0);
    if (context == nullptr ||
        (!oldProtocol && SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) ||
        SSL_CTX_use_certificate(context, cert) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        fail("server context");
    }
    return context;
}

// Made at first use and kept for the life of the process.
struct Credentials {
    std::string caDer;
    std::string caPem;
    SSL_CTX* contexts[4];  // by TestCert
};

const Credentials& credentials() {
    static const Credentials* made = [] {
        auto* out = new Credentials{};
        unsigned char tag[6];
        if (RAND_bytes(tag, sizeof tag) != 1) fail("random bytes");
        char name[64];
        std::snprintf(name, sizeof name, "Kelvane test CA %02x%02x%02x%02x%02x%02x", tag[0], tag[1],
                      tag[2], tag[3], tag[4], tag[5]);
        EVP_PKEY* caKey = make_key();
        X509* ca = make_certificate(caKey, name, nullptr, caKey,
                                    {{NID_basic_constraints, "critical,CA:TRUE"},
                                     {NID_key_usage, "critical,keyCertSign,cRLSign"}});
        const char* localNames = "DNS:localhost,IP:127.0.0.1";
        const struct {
            const char* commonName;
            const char* names;
            bool selfSigned;
        } kinds[3] = {{"localhost", localNames, false},
                      {"wrong.invalid", "DNS:wrong.invalid", false},
                      {"localhost", localNames, true}};
        for (int i = 0; i < 3; ++i) {
            EVP_PKEY* key = make_key();
            X509* cert = kinds[i].selfSigned
                             ? make_certificate(key, kinds[i].commonName, nullptr, key,
                                                serverExtensions(kinds[i].names))
                             : make_certificate(key, kinds[i].commonName, ca, caKey,
                                                serverExtensions(kinds[i].names));
            out->contexts[i] = server_context(cert, key);
            if (i == static_cast<int>(TestCert::Trusted)) {
                out->contexts[static_cast<int>(TestCert::TrustedButTls11)] =
                    server_context(cert, key, true);
            }
            X509_free(cert);  // the context holds its own references
            EVP_PKEY_free(key);
        }
        unsigned char* der = nullptr;
        const int derSize = i2d_X509(ca, &der);
        if (derSize <= 0) fail("CA encoding");
        out->caDer.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(derSize));
        OPENSSL_free(der);
        BIO* pem = BIO_new(BIO_s_mem());
        char* text = nullptr;
        if (pem == nullptr || PEM_write_bio_X509(pem, ca) != 1) fail("CA PEM");
        const long textSize = BIO_get_mem_data(pem, &text);
        out->caPem.assign(text, static_cast<size_t>(textSize));
        BIO_free(pem);
        X509_free(ca);
        EVP_PKEY_free(caKey);
        return out;
    }();
    return *made;
}

// ---- Sockets --------------------------------------------------------------

void set_nonblocking(int s) {
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A non-blocking connection to 127.0.0.1:port, or -1.
int connect_loopback(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    const sockaddr_in address = loopback(port);
    if (s < 0) return -1;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    set_nonblocking(s);
    return s;
}

// Closes with a reset, as a peer that aborts its connection.
void close_with_reset(int s) {
    struct linger abortIt {
        1, 0
    };
    setsockopt(s, SOL_SOCKET, SO_LINGER, &abortIt, sizeof abortIt);
    close(s);
}

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// connection the client has dropped; this one sends with MSG_NOSIGNAL.
int bio_write(BIO* bio, const char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    const int s = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t sent = send(s, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bio_read(BIO* bio, char* buffer, int capacity) {
    BIO_clear_retry_flags(bio);
    const int s = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t got = recv(s, buffer, static_cast<size_t>(capacity), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long bio_control(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "test socket");
        if (made == nullptr || BIO_meth_set_write(made, bio_write) != 1 ||
            BIO_meth_set_read(made, bio_read) != 1 || BIO_meth_set_ctrl(made, bio_control) != 1) {
            fail("socket BIO");
        }
        return made;
    }();
    return method;
}

// One end of a relayed connection: TLS when `ssl` is set (the client's), else plain.
struct Side {
    int socket;
    SSL* ssl;
};

enum Read : long { WOULD_BLOCK = -1, CLOSED = -2, FAILED = -3 };

long read_side(const Side& side, char* buffer, size_t capacity) {
    if (side.ssl == nullptr) {
        const ssize_t got = recv(side.socket, buffer, capacity, 0);
        if (got > 0) return got;
        if (got == 0) return CLOSED;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? WOULD_BLOCK : FAILED;
    }
    size_t got = 0;
    ERR_clear_error();
    if (SSL_read_ex(side.ssl, buffer, capacity, &got) == 1) return static_cast<long>(got);
    switch (SSL_get_error(side.ssl, 0)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return WOULD_BLOCK;
        case SSL_ERROR_ZERO_RETURN:
            return CLOSED;
        default:
            return FAILED;
    }
}

}  // namespace

// ---- The front ------------------------------------------------------------

struct TlsFront::Impl {
    Impl(int target, TestCert kind, bool plain)
        : targetPort(target), cert(kind), allowPlain(plain) {}

    const int targetPort;
    const TestCert cert;
    const bool allowPlain;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> handshakes{0};
    std::vector<std::thread> connections;  // the acceptor's until it has ended
    std::thread acceptor;

    void accept_loop();
    void serve(int client);
    bool wait_for(int s, short events) const;
    bool finish_handshake(SSL* ssl, int client);
    bool write_side(const Side& side, const char* bytes, size_t length);
    bool send_target(int* target, const char* bytes, size_t length);
    void relay(const Side& client);
};

// False when the front is stopping before `s` is ready.
bool TlsFront::Impl::wait_for(int s, short events) const {
    for (;;) {
        if (stopping) return false;
        struct pollfd entry {
            s, events, 0
        };
        if (poll(&entry, 1, POLL_SLICE_MS) > 0) return true;
    }
}

void TlsFront::Impl::accept_loop() {
    while (!stopping) {
        struct pollfd entry {
            listener, POLLIN, 0
        };
        if (poll(&entry, 1, POLL_SLICE_MS) <= 0) continue;
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        set_nonblocking(client);
        connections.emplace_back([this, client] { serve(client); });
    }
}

bool TlsFront::Impl::finish_handshake(SSL* ssl, int client) {
    for (;;) {
        ERR_clear_error();
        const int done = SSL_accept(ssl);
        if (done == 1) return true;
        const int kind = SSL_get_error(ssl, done);
        if (kind == SSL_ERROR_WANT_READ) {
            if (!wait_for(client, POLLIN)) return false;
        } else if (kind == SSL_ERROR_WANT_WRITE) {
            if (!wait_for(client, POLLOUT)) return false;
        } else {
            return false;  // the client gave up on our certificate, or spoke no TLS
        }
    }
}

bool TlsFront::Impl::write_side(const Side& side, const char* bytes, size_t length) {
    while (length > 0) {
        size_t sent = 0;
        int kind = SSL_ERROR_NONE;
        if (side.ssl != nullptr) {
            ERR_clear_error();
            if (SSL_write_ex(side.ssl, bytes, length, &sent) != 1)
                kind = SSL_get_error(side.ssl, 0);
        } else {
            const ssize_t n = send(side.socket, bytes, length, MSG_NOSIGNAL);
            if (n >= 0)
                sent = static_cast<size_t>(n);
            else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                kind = SSL_ERROR_WANT_WRITE;
            else
                kind = SSL_ERROR_SYSCALL;
        }
        if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
            if (!wait_for(side.socket, kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT))
                return false;
        } else if (kind != SSL_ERROR_NONE) {
            return false;
        }
        bytes += sent;
        length -= sent;
    }
    return true;
}

// Connects to the target with the client's first bytes, not before: a client
// that checks the certificate after the handshake (Schannel does) and then
// gives up never reaches it, so the target's connection count tells the
// fallback's story alike on every platform.
bool TlsFront::Impl::send_target(int* target, const char* bytes, size_t length) {
    if (*target < 0) *target = connect_loopback(targetPort);
    return *target >= 0 && write_side(Side{*target, nullptr}, bytes, length);
}

// Copies both ways until one side ends, then ends the other as that one
// ended: an orderly close of the target closes the session with close_notify;
// a target's reset cuts the client's connection without it.
void TlsFront::Impl::relay(const Side& client) {
    int target = -1;  // poll passes over it until the client has sent something
    char buffer[16384];
    enum { ABORT, ORDERLY, CUT } end = ABORT;
    while (!stopping) {
        const bool buffered = client.ssl != nullptr && SSL_has_pending(client.ssl) == 1;
        struct pollfd entries[2] = {{client.socket, POLLIN, 0}, {target, POLLIN, 0}};
        if (poll(entries, 2, buffered ? 0 : POLL_SLICE_MS) < 0) break;
        if (buffered || entries[0].revents != 0) {
            long got = 0;
            while ((got = read_side(client, buffer, sizeof buffer)) > 0) {
                if (!send_target(&target, buffer, static_cast<size_t>(got))) break;
            }
            if (got != WOULD_BLOCK) {
                end = got == CLOSED ? ORDERLY : ABORT;
                break;
            }
        }
        if (entries[1].revents != 0) {
            const ssize_t got = recv(target, buffer, sizeof buffer, 0);
            if (got > 0) {
                if (write_side(client, buffer, static_cast<size_t>(got))) continue;
                break;
            }
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                end = got == 0 ? ORDERLY : CUT;
                break;
            }
        }
    }
    if (target >= 0) close(target);
    if (end == ORDERLY && client.ssl != nullptr) {
        ERR_clear_error();
        SSL_shutdown(client.ssl);  // our close_notify; the client's is not awaited
    }
    if (end == CUT && client.ssl == nullptr) {
        close_with_reset(client.socket);  // plain: pass the reset on as it came
    } else {
        close(client.socket);
    }
}

void TlsFront::Impl::serve(int client) {
    unsigned char first = 0;
    ssize_t peeked = -1;
    while (peeked < 0 && wait_for(client, POLLIN)) {
        peeked = recv(client, &first, 1, MSG_PEEK);
        if (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
    if (peeked != 1 || (first != 0x16 && !allowPlain)) {
        close(client);
        return;
    }
    SSL* ssl = nullptr;
    if (first == 0x16) {
        ssl = SSL_new(credentials().contexts[static_cast<int>(cert)]);
        BIO* bio = ssl != nullptr ? BIO_new(socket_method()) : nullptr;
        if (bio != nullptr) {
            BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(client)));
            BIO_set_init(bio, 1);
            SSL_set_bio(ssl, bio, bio);
        }
        if (bio == nullptr || !finish_handshake(ssl, client)) {
            SSL_free(ssl);
            ERR_clear_error();
            close(client);
            return;
        }
        ++handshakes;
    }
    relay(Side{client, ssl});
    SSL_free(ssl);
    ERR_clear_error();
}

TlsFront::TlsFront(int targetPort, TestCert cert, bool allowPlain)
    : impl_(new Impl(targetPort, cert, allowPlain)) {
    trust_test_ca();
    impl_->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (impl_->listener < 0 ||
        bind(impl_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(impl_->listener, 16) != 0 ||
        getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (impl_->listener >= 0) close(impl_->listener);
        throw std::runtime_error("test TLS: cannot listen on 127.0.0.1");
    }
    impl_->port = ntohs(address.sin_port);
    impl_->acceptor = std::thread([impl = impl_.get()] { impl->accept_loop(); });
}

TlsFront::~TlsFront() {
    impl_->stopping = true;
    impl_->acceptor.join();
    for (std::thread& connection : impl_->connections) connection.join();
    close(impl_->listener);
}

int TlsFront::port() const {
    return impl_->port;
}

int TlsFront::handshakes() const {
    return impl_->handshakes.load();
}

std::string test_ca_der() {
    return credentials().caDer;
}

namespace {

// The CA's PEM file, removed when the process ends.
struct PemFile {
    std::string path;
    PemFile() {
        const char* folder = std::getenv("TMPDIR");
        path = std::string(folder != nullptr && folder[0] != '\0' ? folder : "/tmp") +
               "/kelvane-test-ca-" + std::to_string(getpid()) + ".pem";
        const std::string& pem = credentials().caPem;
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(pem.data(), 1, pem.size(), file) != pem.size() ||
            std::fclose(file) != 0) {
            throw std::runtime_error("test TLS: cannot write " + path);
        }
    }
    ~PemFile() { std::remove(path.c_str()); }
};

}  // namespace

std::string test_ca_pem_path() {
    static const PemFile file;
    return file.path;
}

void trust_test_ca() {
    static const bool trusted = [] {
        // Before any client context exists: OpenSSL reads the variable when
        // the client's context loads its default verify paths.
        return setenv("SSL_CERT_FILE", test_ca_pem_path().c_str(), 1) == 0;
    }();
    if (!trusted) throw std::runtime_error("test TLS: cannot set SSL_CERT_FILE");
}
