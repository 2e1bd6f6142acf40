// Schannel through SSPI behind platform/tls.h: the system's own TLS and its
// certificate store, so kelvane.exe carries no TLS code of its own.
//
// Schannel only transforms bytes; every byte it wants sent or needs read goes
// through platform::send_all and platform::receive, which keeps the socket
// time-outs, the thread's deadline and the abort flag in charge of a session.
// The server's certificate is checked here after the handshake (manual
// validation), so that a wrong name and an untrusted chain are told apart.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

// SCH_CREDENTIALS and TLS_PARAMETERS are declared only with this switch, and
// need UNICODE_STRING from subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <subauth.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "base/memory.h"
#include "platform/net.h"
#include "platform/net_names.h"
#include "platform/net_waits.h"
#include "platform/tls.h"

namespace platform {

struct TlsSession {
    Socket socket;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;

    // Records from the peer. DecryptMessage works in place, so the buffer
    // holds plaintext not yet handed out, followed by ciphertext not yet
    // decrypted; both are kept between calls of tls_receive.
    char* in;
    size_t inCapacity;
    char* plain;
    size_t plainLength;
    size_t pendingStart;
    size_t pendingLength;

    // One record on its way out: header, at most cbMaximumMessage bytes, trailer.
    char* out;
    size_t outCapacity;

    // The name the certificate was checked against, for another handshake.
    char host[256];
    wchar_t wideHost[256];

    bool peerClosed;          // close_notify arrived
    bool broken;              // an error ended the session
    bool handshakeRequested;  // the peer sent handshake messages after the handshake
};

namespace {

constexpr unsigned long REQUEST_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                        ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                        ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;

// Room for the server's handshake flight before the record sizes are known: a
// certificate chain spans a few records of at most 2^14 + 2048 bytes each.
constexpr size_t HANDSHAKE_BUFFER_SIZE = 64 * 1024;

// A TLS record header: type, version, length.
constexpr size_t RECORD_HEADER_SIZE = 5;
constexpr char ALERT_RECORD = 0x15;
constexpr char HANDSHAKE_RECORD = 0x16;

// Sizes beyond these are not what Schannel reports for TLS; they would only
// mean a broken provider, and no allocation follows from them.
constexpr unsigned long MAX_HEADER_OR_TRAILER = 4096;
constexpr unsigned long MAX_MESSAGE = 64 * 1024;

struct Credentials {
    CredHandle handle;
    SECURITY_STATUS status;
};

SECURITY_STATUS acquire(void* authData, CredHandle* handle) {
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr, nullptr,
                                     handle, nullptr);
}

// Client credentials for TLS 1.2 and 1.3, no client certificate, the server's
// certificate left to verify_certificate. SCH_CREDENTIALS is the structure
// through which Windows 11 negotiates TLS 1.3; systems before it refuse it,
// and SCHANNEL_CRED then gives what they have. A system that rejects the
// TLS 1.3 bit there still gets TLS 1.2. Wine 8 takes SCH_CREDENTIALS but
// ignores its protocol list, so check_protocol holds the floor after the
// handshake.
Credentials acquire_credentials() {
    constexpr DWORD flags =
        SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION | SCH_USE_STRONG_CRYPTO;
    constexpr DWORD protocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    Credentials result{};

    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~protocols;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    result.status = acquire(&modern, &result.handle);
    if (result.status == SEC_E_OK) return result;

    SCHANNEL_CRED legacy{};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.dwFlags = flags;
    legacy.grbitEnabledProtocols = protocols;
    result.status = acquire(&legacy, &result.handle);
    if (result.status == SEC_E_OK) return result;

    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    result.status = acquire(&legacy, &result.handle);
    return result;
}

// Acquired on first use, once for the process (a function-local static is
// initialised exactly once however many threads arrive), and kept: every
// session shares it and Schannel's session cache hangs off it.
const Credentials& credentials() {
    static const Credentials shared = acquire_credentials();
    return shared;
}

void set_detail(char* detail, const char* what, unsigned long code) {
    if (detail != nullptr) std::snprintf(detail, TLS_DETAIL_SIZE, "%s: 0x%08lX", what, code);
}

void set_text(char* detail, const char* text) {
    if (detail != nullptr) std::snprintf(detail, TLS_DETAIL_SIZE, "%s", text);
}

// What a refusing status says about the peer. Manual validation keeps the
// certificate checks out of the handshake, but a system that makes them
// anyway reports them here.
TlsFailure failure_of(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_WRONG_PRINCIPAL:
        case static_cast<SECURITY_STATUS>(CERT_E_CN_NO_MATCH):
            return TlsFailure::NameMismatch;
        case SEC_E_UNTRUSTED_ROOT:
        case SEC_E_CERT_EXPIRED:
        case SEC_E_CERT_UNKNOWN:
        case SEC_E_ISSUING_CA_UNTRUSTED:
            return TlsFailure::Untrusted;
        default:
            return TlsFailure::Handshake;
    }
}

// A dotted IPv4 address: no SNI for it (RFC 6066 names hosts only).
bool is_dotted_address(const char* host) {
    for (const char* c = host; *c != '\0'; ++c) {
        if (!(*c == '.' || (*c >= '0' && *c <= '9'))) return false;
    }
    return true;
}

// The host for SNI and the name check, as UTF-16. Host names reach the image
// client as ASCII (an internationalised name arrives in its xn-- form);
// anything else is refused rather than guessed at, so each byte widens to one
// unit.
bool widen_host(const char* host, wchar_t* out, size_t capacity) {
    if (!is_plausible_host_name(host)) return false;
    const size_t length = std::strlen(host);
    if (length + 1 > capacity) return false;
    for (size_t i = 0; i <= length; ++i) out[i] = static_cast<wchar_t>(host[i]);
    return true;
}

SecBuffer buffer(unsigned long type, void* data, unsigned long size) {
    SecBuffer result;
    result.cbBuffer = size;
    result.BufferType = type;
    result.pvBuffer = data;
    return result;
}

SecBufferDesc describe(SecBuffer* buffers, unsigned long count) {
    SecBufferDesc result;
    result.ulVersion = SECBUFFER_VERSION;
    result.cBuffers = count;
    result.pBuffers = buffers;
    return result;
}

// Sends a token Schannel allocated and frees it. False when sending failed.
bool send_token(Socket socket, SecBuffer* token) {
    if (token->pvBuffer == nullptr) return true;
    const bool sent = token->cbBuffer == 0 ||
                      send_all(socket, static_cast<const char*>(token->pvBuffer), token->cbBuffer);
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    return sent;
}

const char* wait_end_text() {
    switch (last_wait_end()) {
        case WaitEnd::Aborted:
            return "stopped";
        case WaitEnd::DeadlinePassed:
            return "deadline passed";
        case WaitEnd::TimedOut:
            break;
    }
    return "timed out";
}

// Why a send or receive of the handshake failed: a wait that ended (a
// time-out, the deadline or a stop) is a stalled handshake, anything else the
// connection failing. `endedBefore` is waits::ended_waits() before the call.
TlsFailure io_failure(const char* what, unsigned endedBefore, char* detail) {
    if (waits::ended_waits() != endedBefore) {
        if (detail != nullptr)
            std::snprintf(detail, TLS_DETAIL_SIZE, "handshake %s: %s", what, wait_end_text());
        return TlsFailure::TimedOut;
    }
    if (detail != nullptr) {
        std::snprintf(detail, TLS_DETAIL_SIZE, "handshake %s failed: error %d", what,
                      WSAGetLastError());
    }
    return TlsFailure::Handshake;
}

// The server's first bytes must open a TLS handshake or alert record.
// Anything else (an HTTP server answering in plain text) is refused at once:
// read as a record header, "HTTP/" would announce 20 KB that never come.
bool looks_like_tls(const char* bytes, size_t length) {
    if (length >= 1 && bytes[0] != HANDSHAKE_RECORD && bytes[0] != ALERT_RECORD) return false;
    if (length >= 2 && bytes[1] != 0x03) return false;
    return true;
}

struct Exchange {
    Socket socket;
    CtxtHandle* context;
    bool haveContext;  // the first call succeeded and made the context
    char* buffer;      // bytes from the peer that the handshake has not used
    size_t capacity;
    size_t length;
    char* detail;
};

// Reads more of the peer's handshake.
TlsFailure read_more(Exchange* x) {
    if (x->length == x->capacity) {
        set_text(x->detail, "handshake message too large");
        return TlsFailure::Handshake;
    }
    const unsigned ended = waits::ended_waits();
    const long got = receive(x->socket, x->buffer + x->length, x->capacity - x->length);
    if (got > 0) {
        x->length += static_cast<size_t>(got);
        return TlsFailure::None;
    }
    if (got == 0) {
        set_text(x->detail, "connection closed during the handshake");
        return TlsFailure::Handshake;
    }
    return io_failure("receive", ended, x->detail);
}

// InitializeSecurityContext until the handshake is done: its tokens go to the
// peer, the peer's records come back to it, and whatever follows the last
// handshake record stays at the start of the buffer. Starts a new context
// when `x->haveContext` is false; otherwise continues one (a handshake the
// peer asked for after the first).
TlsFailure handshake(Exchange* x, const wchar_t* target) {
    const bool fresh = !x->haveContext;
    unsigned long flags = REQUEST_FLAGS;
    bool askedForCredentials = false;
    // A handshake the peer asks for later starts from what it sent, if
    // anything: a TLS 1.2 client answers a HelloRequest with a new hello.
    bool needInput = false;
    bool firstReply = fresh;
    for (;;) {
        if (needInput) {
            const TlsFailure failure = read_more(x);
            if (failure != TlsFailure::None) return failure;
            if (firstReply && !looks_like_tls(x->buffer, x->length)) {
                set_text(x->detail, "the server did not answer in TLS");
                return TlsFailure::Handshake;
            }
            firstReply = false;
        }
        SecBuffer input[2] = {
            buffer(SECBUFFER_TOKEN, x->buffer, static_cast<unsigned long>(x->length)),
            buffer(SECBUFFER_EMPTY, nullptr, 0)};
        SecBufferDesc inputDesc = describe(input, 2);
        SecBuffer output[1] = {buffer(SECBUFFER_TOKEN, nullptr, 0)};
        SecBufferDesc outputDesc = describe(output, 1);
        unsigned long attributes = 0;
        CredHandle credential = credentials().handle;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &credential, x->haveContext ? x->context : nullptr, const_cast<wchar_t*>(target), flags,
            0, 0, x->haveContext ? &inputDesc : nullptr, 0, x->haveContext ? nullptr : x->context,
            &outputDesc, &attributes, nullptr);
        if (!FAILED(status)) x->haveContext = true;
        // With EXTENDED_ERROR a failing call may leave an alert for the peer.
        const unsigned ended = waits::ended_waits();
        const bool sent = send_token(x->socket, &output[0]);
        if (FAILED(status) && status != SEC_E_INCOMPLETE_MESSAGE) {
            set_detail(x->detail, "InitializeSecurityContext", static_cast<unsigned long>(status));
            return failure_of(status);
        }
        if (!sent) return io_failure("send", ended, x->detail);

        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate; there is none to give,
            // and the handshake goes on without one.
            if (askedForCredentials) {
                set_detail(x->detail, "InitializeSecurityContext",
                           static_cast<unsigned long>(status));
                return TlsFailure::Handshake;
            }
            askedForCredentials = true;
            flags |= ISC_REQ_USE_SUPPLIED_CREDS;
            needInput = false;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            set_detail(x->detail, "InitializeSecurityContext", static_cast<unsigned long>(status));
            return TlsFailure::Handshake;
        }

        // The records used are gone; bytes of the next ones move to the front.
        const size_t before = x->length;
        size_t extra = 0;
        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer <= before) {
            extra = input[1].cbBuffer;
        }
        std::memmove(x->buffer, x->buffer + (before - extra), extra);
        x->length = extra;

        if (status == SEC_E_OK) return TlsFailure::None;
        // Call again on what is left while it shrinks; read when it does not.
        needInput = extra == 0 || extra == before;
    }
}

void free_certificate(PCCERT_CONTEXT* certificate) {
    if (*certificate != nullptr) CertFreeCertificateContext(*certificate);
    *certificate = nullptr;
}

// The SSL policy's verdict on `chain` for `host`: 0 when it passes, else its
// error. A null host leaves the name out of it.
DWORD ssl_policy(PCCERT_CHAIN_CONTEXT chain, const wchar_t* host, bool* ran) {
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = const_cast<wchar_t*>(host);
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    *ran = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict) != 0;
    return *ran ? verdict.dwError : GetLastError();
}

// True when the certificate's subject alternative names hold the IPv4
// address `host`. Wine's SSL policy compares DNS names only; an address
// must match an iPAddress entry exactly (never the common name).
bool names_address(PCCERT_CONTEXT certificate, const char* host) {
    in_addr address{};
    if (!is_dotted_address(host) || inet_pton(AF_INET, host, &address) != 1) return false;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == sizeof address &&
                std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0;
    }
    LocalFree(names);
    return found;
}

// The server's certificate must chain to a root the system trusts, be valid
// today and be issued for `host` (a name, or an address in its subject
// alternative names).
TlsFailure verify_certificate(CtxtHandle* context, const char* host, const wchar_t* wideHost,
                              char* detail) {
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status =
        QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
        set_detail(detail, "QueryContextAttributes(REMOTE_CERT_CONTEXT)",
                   static_cast<unsigned long>(status));
        free_certificate(&certificate);
        return TlsFailure::Untrusted;
    }

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates come from the store that holds what the server sent.
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                 0, nullptr, &chain)) {
        set_detail(detail, "CertGetCertificateChain", GetLastError());
        free_certificate(&certificate);
        return TlsFailure::Untrusted;
    }

    bool ran = false;
    DWORD error = ssl_policy(chain, wideHost, &ran);
    if (ran && error == static_cast<DWORD>(CERT_E_CN_NO_MATCH) &&
        names_address(certificate, host)) {
        // Sound in every other respect and issued for this address.
        error = ssl_policy(chain, nullptr, &ran);
    }
    TlsFailure failure = TlsFailure::None;
    if (error != 0) {
        set_detail(detail, "CertVerifyCertificateChainPolicy", error);
        failure = ran && error == static_cast<DWORD>(CERT_E_CN_NO_MATCH) ? TlsFailure::NameMismatch
                                                                         : TlsFailure::Untrusted;
    }
    CertFreeCertificateChain(chain);
    free_certificate(&certificate);
    return failure;
}

// TLS 1.2 or newer, whatever the credentials let through.
TlsFailure check_protocol(CtxtHandle* context, char* detail) {
    SecPkgContext_ConnectionInfo info{};
    const SECURITY_STATUS status =
        QueryContextAttributesW(context, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (status != SEC_E_OK) {
        set_detail(detail, "QueryContextAttributes(CONNECTION_INFO)",
                   static_cast<unsigned long>(status));
        return TlsFailure::Handshake;
    }
    if ((info.dwProtocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) == 0) {
        set_detail(detail, "protocol older than TLS 1.2", info.dwProtocol);
        return TlsFailure::Handshake;
    }
    return TlsFailure::None;
}

// The record sizes of the negotiated cipher, within reason.
bool query_sizes(CtxtHandle* context, SecPkgContext_StreamSizes* sizes, char* detail) {
    const SECURITY_STATUS status =
        QueryContextAttributesW(context, SECPKG_ATTR_STREAM_SIZES, sizes);
    if (status != SEC_E_OK) {
        set_detail(detail, "QueryContextAttributes(STREAM_SIZES)",
                   static_cast<unsigned long>(status));
        return false;
    }
    if (sizes->cbHeader > MAX_HEADER_OR_TRAILER || sizes->cbTrailer > MAX_HEADER_OR_TRAILER ||
        sizes->cbMaximumMessage == 0 || sizes->cbMaximumMessage > MAX_MESSAGE) {
        set_text(detail, "unexpected record sizes");
        return false;
    }
    return true;
}

size_t record_capacity(const SecPkgContext_StreamSizes& sizes) {
    return static_cast<size_t>(sizes.cbHeader) + sizes.cbMaximumMessage + sizes.cbTrailer;
}

void destroy(TlsSession* session) {
    DeleteSecurityContext(&session->context);
    std::free(session->in);
    std::free(session->out);
    delete session;
}

// Lets Schannel read the handshake messages the peer sent after the
// handshake (TLS 1.3 session tickets on some stacks, a TLS 1.2
// renegotiation), from the pending ciphertext on.
bool continue_handshake(TlsSession* session) {
    char detail[TLS_DETAIL_SIZE];
    Exchange x{session->socket,     &session->context,      true,  session->in,
               session->inCapacity, session->pendingLength, detail};
    if (handshake(&x, nullptr) != TlsFailure::None) return false;
    session->pendingStart = 0;
    session->pendingLength = x.length;
    // A TLS 1.2 renegotiation may present another certificate.
    if (verify_certificate(&session->context, session->host, session->wideHost, detail) !=
        TlsFailure::None) {
        return false;
    }
    // A renegotiation may change the cipher, never to records the buffers
    // cannot hold.
    SecPkgContext_StreamSizes sizes{};
    if (!query_sizes(&session->context, &sizes, detail)) return false;
    if (record_capacity(sizes) > session->inCapacity) return false;
    session->sizes = sizes;
    return true;
}

bool within(const TlsSession* session, const SecBuffer& part) {
    const char* start = static_cast<const char*>(part.pvBuffer);
    return start >= session->in && part.cbBuffer <= session->inCapacity &&
           static_cast<size_t>(start - session->in) <= session->inCapacity - part.cbBuffer;
}

// Decrypts the first pending record, which is whole. False when the session
// cannot go on.
bool decrypt_record(TlsSession* session) {
    const size_t start = session->pendingStart;
    const size_t length = session->pendingLength;
    char* record = session->in + start;
    const char recordType = record[0];
    SecBuffer parts[4] = {buffer(SECBUFFER_DATA, record, static_cast<unsigned long>(length)),
                          buffer(SECBUFFER_EMPTY, nullptr, 0), buffer(SECBUFFER_EMPTY, nullptr, 0),
                          buffer(SECBUFFER_EMPTY, nullptr, 0)};
    SecBufferDesc desc = describe(parts, 4);
    const SECURITY_STATUS status = DecryptMessage(&session->context, &desc, 0, nullptr);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        return false;
    }
    session->pendingLength = 0;
    for (const SecBuffer& part : parts) {
        if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
            if (!within(session, part)) return false;
            session->plain = static_cast<char*>(part.pvBuffer);
            session->plainLength = part.cbBuffer;
        } else if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0) {
            // The bytes of the next records: the tail of what was passed in,
            // shorter by at least the record just decrypted.
            if (part.cbBuffer >= length) return false;
            session->pendingStart = start + length - part.cbBuffer;
            session->pendingLength = part.cbBuffer;
        }
    }
    // Wine (8) decrypts a TLS 1.2 close_notify into no data and SEC_E_OK
    // where Windows says SEC_I_CONTEXT_EXPIRED. A fatal alert fails the call,
    // so an alert record that passes without data is the orderly end.
    const bool emptyAlert = recordType == ALERT_RECORD && session->plainLength == 0;
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && emptyAlert)) {
        session->peerClosed = true;
    }
    if (status == SEC_I_RENEGOTIATE) session->handshakeRequested = true;
    return true;
}

// Makes the pending ciphertext start at the front, once no plaintext sits
// before it.
void compact(TlsSession* session) {
    if (session->pendingStart == 0) return;
    std::memmove(session->in, session->in + session->pendingStart, session->pendingLength);
    session->pendingStart = 0;
}

}  // namespace

TlsSession* tls_start(Socket socket, const char* host, TlsFailure* failure, char* detail) {
    TlsFailure ignored;
    if (failure == nullptr) failure = &ignored;
    if (detail != nullptr) detail[0] = '\0';

    wchar_t name[sizeof TlsSession::wideHost / sizeof TlsSession::wideHost[0]];
    static_assert(sizeof TlsSession::host == sizeof name / sizeof name[0]);
    if (!widen_host(host, name, sizeof name / sizeof name[0])) {
        set_text(detail, "not a plain ASCII host name");
        *failure = TlsFailure::Handshake;
        return nullptr;
    }
    const Credentials& shared = credentials();
    if (shared.status != SEC_E_OK) {
        set_detail(detail, "AcquireCredentialsHandle", static_cast<unsigned long>(shared.status));
        *failure = TlsFailure::Unavailable;
        return nullptr;
    }

    char* flight = static_cast<char*>(xmalloc(HANDSHAKE_BUFFER_SIZE));
    CtxtHandle context{};
    Exchange x{socket, &context, false, flight, HANDSHAKE_BUFFER_SIZE, 0, detail};
    *failure = handshake(&x, is_dotted_address(host) ? nullptr : name);
    SecPkgContext_StreamSizes sizes{};
    if (*failure == TlsFailure::None) *failure = check_protocol(&context, detail);
    if (*failure == TlsFailure::None) *failure = verify_certificate(&context, host, name, detail);
    if (*failure == TlsFailure::None && !query_sizes(&context, &sizes, detail)) {
        *failure = TlsFailure::Handshake;
    }
    const size_t capacity = *failure == TlsFailure::None ? record_capacity(sizes) : 0;
    if (*failure == TlsFailure::None && x.length > capacity) {
        set_text(detail, "too much data after the handshake");
        *failure = TlsFailure::Handshake;
    }
    if (*failure != TlsFailure::None) {
        if (x.haveContext) DeleteSecurityContext(&context);
        std::free(flight);
        return nullptr;
    }

    TlsSession* session = new TlsSession{};
    session->socket = socket;
    session->context = context;
    session->sizes = sizes;
    session->inCapacity = capacity;
    session->in = static_cast<char*>(xmalloc(capacity));
    session->outCapacity = capacity;
    session->out = static_cast<char*>(xmalloc(capacity));
    // widen_host checked that the name fits both, NUL included.
    std::memcpy(session->host, host, std::strlen(host) + 1);
    std::memcpy(session->wideHost, name, sizeof name);
    // Records that came with the last handshake flight are the first data.
    std::memcpy(session->in, flight, x.length);
    session->pendingLength = x.length;
    std::free(flight);
    return session;
}

bool tls_send_all(TlsSession* session, const char* bytes, size_t length) {
    if (session == nullptr || session->broken) return false;
    const SecPkgContext_StreamSizes& sizes = session->sizes;
    while (length > 0) {
        const size_t piece = length < sizes.cbMaximumMessage ? length : sizes.cbMaximumMessage;
        char* data = session->out + sizes.cbHeader;
        std::memcpy(data, bytes, piece);
        SecBuffer parts[4] = {buffer(SECBUFFER_STREAM_HEADER, session->out, sizes.cbHeader),
                              buffer(SECBUFFER_DATA, data, static_cast<unsigned long>(piece)),
                              buffer(SECBUFFER_STREAM_TRAILER, data + piece, sizes.cbTrailer),
                              buffer(SECBUFFER_EMPTY, nullptr, 0)};
        SecBufferDesc desc = describe(parts, 4);
        const SECURITY_STATUS status = EncryptMessage(&session->context, 0, &desc, 0);
        const size_t total =
            static_cast<size_t>(parts[0].cbBuffer) + parts[1].cbBuffer + parts[2].cbBuffer;
        // The record is sent from the start of the buffer, so the parts must
        // lie there one after the other.
        if (status != SEC_E_OK || total > session->outCapacity ||
            parts[1].pvBuffer != session->out + parts[0].cbBuffer) {
            session->broken = true;
            return false;
        }
        if (!send_all(session->socket, session->out, total)) {
            session->broken = true;
            return false;
        }
        bytes += piece;
        length -= piece;
    }
    return true;
}

long tls_receive(TlsSession* session, char* buffer, size_t capacity) {
    if (session == nullptr || capacity == 0) return -1;
    for (;;) {
        if (session->plainLength > 0) {
            size_t count = session->plainLength < capacity ? session->plainLength : capacity;
            if (count > 0x40000000) count = 0x40000000;
            std::memcpy(buffer, session->plain, count);
            session->plain += count;
            session->plainLength -= count;
            return static_cast<long>(count);
        }
        if (session->peerClosed) return 0;
        if (session->broken) return -1;
        compact(session);
        if (session->handshakeRequested) {
            session->handshakeRequested = false;
            if (!continue_handshake(session)) {
                session->broken = true;
                return -1;
            }
            continue;
        }
        if (session->pendingLength >= RECORD_HEADER_SIZE) {
            const unsigned char* header = reinterpret_cast<unsigned char*>(session->in);
            const size_t record =
                RECORD_HEADER_SIZE + (static_cast<size_t>(header[3]) << 8) + header[4];
            if (record > session->inCapacity) {
                // More than the negotiated sizes allow: never read past the buffer.
                session->broken = true;
                return -1;
            }
            if (session->pendingLength >= record) {
                if (!decrypt_record(session)) {
                    session->broken = true;
                    return -1;
                }
                continue;
            }
        }
        const long got = receive(session->socket, session->in + session->pendingLength,
                                 session->inCapacity - session->pendingLength);
        if (got <= 0) {
            // A close without close_notify may have cut the data short.
            session->broken = true;
            return -1;
        }
        session->pendingLength += static_cast<size_t>(got);
    }
}

void tls_close(TlsSession* session, bool orderly) {
    if (session == nullptr) return;
    if (orderly && !session->broken) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control[1] = {buffer(SECBUFFER_TOKEN, &type, sizeof type)};
        SecBufferDesc controlDesc = describe(control, 1);
        if (ApplyControlToken(&session->context, &controlDesc) == SEC_E_OK) {
            SecBuffer output[1] = {buffer(SECBUFFER_TOKEN, nullptr, 0)};
            SecBufferDesc outputDesc = describe(output, 1);
            unsigned long attributes = 0;
            CredHandle credential = credentials().handle;
            const SECURITY_STATUS status = InitializeSecurityContextW(
                &credential, &session->context, nullptr, REQUEST_FLAGS, 0, 0, nullptr, 0, nullptr,
                &outputDesc, &attributes, nullptr);
            // Best effort: a peer that no longer listens changes nothing here.
            if (FAILED(status) && output[0].pvBuffer != nullptr) {
                FreeContextBuffer(output[0].pvBuffer);
            } else {
                send_token(session->socket, &output[0]);
            }
        }
    }
    close_socket(session->socket);
    destroy(session);
}

}  // namespace platform
