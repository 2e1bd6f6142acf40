// The TLS session against the kinds of server an image host may be: one with
// a certificate we trust, one for another name, a self-signed one, a plain
// HTTP server, and one that stalls mid-handshake; then whole exchanges, ended
// in order and cut.
#include "platform/tls.h"

#include <optional>
#include <string>

#include "platform/platform.h"
#include "support/network_test.h"
#include "support/tls_front.h"

using platform::TlsFailure;

namespace {

constexpr int SOCKET_MS = 700;

class TlsTest : public NetworkTest {
  protected:
    TlsTest() : NetworkTest(2000, SOCKET_MS) {}
    void SetUp() override {
        NetworkTest::SetUp();
        trust_test_ca();
    }

    // A session with host:port, or nullptr with `*failure` and `detail` set.
    static platform::TlsSession* start(const char* host, int port, TlsFailure* failure,
                                       char* detail) {
        char error[ERROR_TEXT_SIZE];
        NetworkPolicy policy;
        policy.connectTimeoutMs = 2000;
        policy.socketTimeoutMs = SOCKET_MS;
        const platform::Socket socket = connect_to_host(host, port, error, policy);
        *failure = TlsFailure::Unavailable;
        if (socket == platform::NO_SOCKET) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        platform::TlsSession* session = platform::tls_start(socket, host, failure, detail);
        if (session == nullptr) platform::close_socket(socket);
        return session;
    }

    // Everything the session brings until it ends; `*last` is the receive that ended it.
    static std::string receive_all(platform::TlsSession* session, long* last) {
        std::string got;
        char buffer[5000];
        while ((*last = platform::tls_receive(session, buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<size_t>(*last));
            if (got.size() > (1u << 20)) break;
        }
        return got;
    }
};

enum class Server { Trusted, WrongName, SelfSigned, Tls11Only, PlainHttp, Stalls };

TEST_F(TlsTest, HandshakeNamesWhatWentWrong) {
    const struct {
        const char* name;
        Server server;
        const char* host;
        TlsFailure expected;
    } cases[] = {
        {"trusted, by name", Server::Trusted, "localhost", TlsFailure::None},
        {"trusted, by address", Server::Trusted, "127.0.0.1", TlsFailure::None},
        {"issued for another name", Server::WrongName, "localhost", TlsFailure::NameMismatch},
        {"an address the certificate lacks", Server::WrongName, "127.0.0.1",
         TlsFailure::NameMismatch},
        {"self-signed", Server::SelfSigned, "localhost", TlsFailure::Untrusted},
        {"TLS 1.1 at most", Server::Tls11Only, "localhost", TlsFailure::Handshake},
        {"plain HTTP answers 400", Server::PlainHttp, "localhost", TlsFailure::Handshake},
        {"no answer to the hello", Server::Stalls, "localhost", TlsFailure::TimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.set_reject_tls(c.server == Server::PlainHttp);
        std::optional<TlsFront> front;
        if (c.server <= Server::Tls11Only) {
            front.emplace(server.port(), c.server == Server::Trusted     ? TestCert::Trusted
                                         : c.server == Server::WrongName ? TestCert::WrongName
                                         : c.server == Server::SelfSigned
                                             ? TestCert::Untrusted
                                             : TestCert::TrustedButTls11);
        }
        const double began = platform::monotonic_seconds();
        TlsFailure failure = TlsFailure::None;
        char detail[platform::TLS_DETAIL_SIZE] = "";
        platform::TlsSession* session =
            start(c.host, front ? front->port() : server.port(), &failure, detail);
        EXPECT_EQ(failure, c.expected) << detail;
        EXPECT_EQ(session != nullptr, c.expected == TlsFailure::None);
        if (session == nullptr) {
            EXPECT_NE(detail[0], '\0');
        }
        // Only the stall waits, and for no longer than one receive time-out.
        EXPECT_LT(platform::monotonic_seconds() - began, SOCKET_MS / 1000.0 + 1.0);
        platform::tls_close(session, true);
    }
}

TEST_F(TlsTest, ExchangeCarriesEveryByteAndEndsAsTheServerEndsIt) {
    // Both ways bigger than a TLS record, so each goes out in several.
    const std::string request =
        "GET /big.jpg HTTP/1.1\r\nHost: localhost\r\nX-Pad: " + std::string(40000, 'p') +
        "\r\n\r\n";
    const struct {
        const char* name;
        std::string answer;
        bool reset;  // the server aborts: the front cuts the session without close_notify
    } cases[] = {
        {"closed in order",
         "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'j'), false},
        // Small: a reset throws away whatever the server had not yet sent.
        {"cut", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedReply scripted = reply(c.answer);
        scripted.reset = c.reset;
        ScriptedServer server({scripted});
        TlsFront front(server.port(), TestCert::Trusted);
        TlsFailure failure;
        char detail[platform::TLS_DETAIL_SIZE];
        platform::TlsSession* session = start("localhost", front.port(), &failure, detail);
        ASSERT_NE(session, nullptr) << detail;
        EXPECT_TRUE(platform::tls_send_all(session, request.data(), request.size()));
        long last = 0;
        EXPECT_EQ(receive_all(session, &last), c.answer);
        if (c.reset) {
            EXPECT_LT(last, 0);
        } else {
            EXPECT_EQ(last, 0);
        }
        platform::tls_close(session, !c.reset);
        const std::vector<RecordedRequest> got = server.requests(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].bytes, request);
        EXPECT_EQ(front.handshakes(), 1);
    }
}

}  // namespace
