// The TLS front for the Windows tests: the test programs run under Wine and
// cannot link OpenSSL, so kelvane-tls-relay makes the fronts natively and
// each TlsFront here holds a control connection to it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/scripted_server.h"
#include "support/tls_front.h"
#include "support/tls_relay_protocol.h"

struct TlsFront::Impl {
    SOCKET control = INVALID_SOCKET;
    int port = 0;
};

namespace {

constexpr DWORD CONTROL_TIMEOUT_MS = 10000;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("test TLS: " + what);
}

int relay_port() {
    const char* value = std::getenv(TLS_RELAY_VARIABLE);
    if (value == nullptr || value[0] == '\0') {
        fail(std::string(TLS_RELAY_VARIABLE) +
             " is not set: the Windows tests get their TLS servers from kelvane-tls-relay, "
             "running natively beside Wine (scripts/windows-tests starts it)");
    }
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535)
        fail(std::string(TLS_RELAY_VARIABLE) + " is not a port: " + value);
    return static_cast<int>(port);
}

SOCKET open_control() {
    const int port = relay_port();
    start_test_networking();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        fail("cannot reach kelvane-tls-relay on 127.0.0.1:" + std::to_string(port));
    }
    const DWORD limit = CONTROL_TIMEOUT_MS;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    return s;
}

// Sends one request and returns its answer after "ok "; throws on anything else.
std::string ask(SOCKET s, const std::string& request) {
    const std::string out = request + "\n";
    if (send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size()))
        fail("kelvane-tls-relay did not take \"" + request + "\"");
    std::string line;
    size_t end = std::string::npos;
    while ((end = line.find('\n')) == std::string::npos) {
        char buffer[2048];
        const int got = recv(s, buffer, sizeof buffer, 0);
        if (got <= 0 || line.size() > TLS_RELAY_LINE_LIMIT)
            fail("no answer from kelvane-tls-relay to \"" + request + "\"");
        line.append(buffer, static_cast<size_t>(got));
    }
    line.resize(end);
    if (line == "ok") return "";
    if (line.compare(0, 3, "ok ") != 0) fail("kelvane-tls-relay: " + line);
    return line.substr(3);
}

const std::string& ca_der() {
    static const std::string der = [] {
        const SOCKET s = open_control();
        std::string text;
        try {
            text = ask(s, "ca");
        } catch (...) {
            closesocket(s);
            throw;
        }
        closesocket(s);
        std::string bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2)
            bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
        return bytes;
    }();
    return der;
}

// The CA's PEM file, removed when the process ends.
struct PemFile {
    std::string path;
    PemFile() {
        const std::string& der = ca_der();
        DWORD size = 0;
        const auto* bytes = reinterpret_cast<const BYTE*>(der.data());
        const DWORD length = static_cast<DWORD>(der.size());
        if (!CryptBinaryToStringA(bytes, length, CRYPT_STRING_BASE64HEADER, nullptr, &size))
            fail("cannot encode the test CA");
        std::string pem(size, '\0');
        if (!CryptBinaryToStringA(bytes, length, CRYPT_STRING_BASE64HEADER, pem.data(), &size))
            fail("cannot encode the test CA");
        pem.resize(size);
        char folder[MAX_PATH + 1];
        const DWORD folderLength = GetTempPathA(sizeof folder, folder);
        if (folderLength == 0 || folderLength > MAX_PATH) fail("no temporary folder");
        path = std::string(folder) + "kelvane-test-ca-" + std::to_string(GetCurrentProcessId()) +
               ".pem";
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(pem.data(), 1, pem.size(), file) != pem.size() ||
            std::fclose(file) != 0) {
            fail("cannot write " + path);
        }
    }
    ~PemFile() { std::remove(path.c_str()); }
};

}  // namespace

std::string test_ca_der() {
    return ca_der();
}

std::string test_ca_pem_path() {
    static const PemFile file;
    return file.path;
}

void trust_test_ca() {
    static const bool trusted = [] {
        const std::string& der = ca_der();
        HCERTSTORE store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        if (store == nullptr) fail("cannot open the Root store");
        const BOOL added = CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        const DWORD error = GetLastError();
        // Only the close writes the store to the registry, where the chain engine looks.
        if (!CertCloseStore(store, 0) || !added)
            fail("cannot add the test CA to the Root store (error " + std::to_string(error) + ")");
        return true;
    }();
    (void)trusted;
}

TlsFront::TlsFront(int targetPort, TestCert cert, bool allowPlain) : impl_(new Impl) {
    trust_test_ca();
    impl_->control = open_control();
    try {
        impl_->port = std::stoi(ask(impl_->control, "open " + std::to_string(targetPort) + " " +
                                                        std::to_string(static_cast<int>(cert)) +
                                                        " " + (allowPlain ? "1" : "0")));
    } catch (...) {
        closesocket(impl_->control);
        throw;
    }
}

TlsFront::~TlsFront() {
    // The relay answers once the front has stopped, so no connection outlives this.
    try {
        ask(impl_->control, "close");
    } catch (const std::exception&) {
    }
    closesocket(impl_->control);
}

int TlsFront::port() const {
    return impl_->port;
}

int TlsFront::handshakes() const {
    return std::stoi(ask(impl_->control, "handshakes"));
}
