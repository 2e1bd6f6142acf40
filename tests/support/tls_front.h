// A TLS server for the image client's tests: a front on loopback that speaks
// TLS with a certificate made at test time and relays the plaintext to a
// ScriptedServer. Linux runs it in-process with OpenSSL; the Windows tests,
// which cannot link OpenSSL, ask the native kelvane-tls-relay for one.
#pragma once

#include <memory>
#include <string>

enum class TestCert {
    Trusted,    // issued by the test CA; subjectAltName DNS:localhost and IP:127.0.0.1
    WrongName,  // issued by the test CA; subjectAltName DNS:wrong.invalid only
    Untrusted,  // self-signed (no trusted issuer); subjectAltName DNS:localhost, IP:127.0.0.1
    // The Trusted certificate, served by a front that speaks TLS 1.1 at most:
    // a client that takes it has let itself be talked down.
    TrustedButTls11,
};

// A TLS front on 127.0.0.1 for another loopback port: each connection whose first byte is a
// TLS handshake record (0x16) is answered with TLS 1.2+ using `cert`, and the plaintext is
// relayed both ways to 127.0.0.1:targetPort (when either side closes, the other is closed;
// an orderly TLS close sends close_notify; a target that resets its connection gets the
// client's cut without close_notify). The target is connected when the client's first bytes
// come, so a client that refuses the certificate never reaches it. A connection whose first
// byte is anything else is relayed as plain TCP when `allowPlain`, else closed at once. This
// is how the tests show the fallback: the client tries TLS, fails on a bad certificate, then
// fetches plain HTTP from the same port. The constructor makes the process trust the test CA
// (trust_test_ca). Throws when the front cannot be had.
class TlsFront {
  public:
    TlsFront(int targetPort, TestCert cert, bool allowPlain = true);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;
    int port() const;
    std::string url(const std::string& path) const {
        return "https://localhost:" + std::to_string(port()) + path;
    }
    // TLS handshakes completed so far (to show keep-alive reuse). A client that checks the
    // certificate only after the handshake (Schannel) completes one before it gives up.
    int handshakes() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Makes this process trust the test CA, once, before the first TLS session of the process:
// POSIX: writes the CA's PEM to a file and sets SSL_CERT_FILE to it (OpenSSL reads its
// default paths when the client context is first made). Windows: adds the CA to the current
// user's "Root" store of the (throw-away) Wine prefix. Idempotent.
void trust_test_ca();
// The CA certificate as a PEM file, for child processes (kelvane-cli under SSL_CERT_FILE).
std::string test_ca_pem_path();
