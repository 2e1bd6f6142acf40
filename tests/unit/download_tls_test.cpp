// The image download over TLS: https addresses, keep-alive over one session,
// redirects to https, and the fall back to plain HTTP when TLS cannot be had.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"
#include "support/network_test.h"
#include "support/tls_front.h"

namespace {

constexpr int SHORT_CONNECT_MS = 300;
constexpr int SHORT_SOCKET_MS = 400;

std::string with_length(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

bool has_line(const std::string& request, const std::string& line) {
    return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

class DownloadTlsTest : public NetworkTest {
  protected:
    DownloadTlsTest() : NetworkTest(SHORT_CONNECT_MS, SHORT_SOCKET_MS) {}
    void SetUp() override {
        NetworkTest::SetUp();
        trust_test_ca();
    }

    struct Outcome {
        DownloadResult result;
        std::string error;
        std::string content;
        DownloadDetails details;
    };
    Outcome fetch(const std::string& url, const std::string& name = "image.jpg",
                  DownloadOptions options = {}) {
        char error[ERROR_TEXT_SIZE] = {};
        const std::string path = dir.file(name);
        DownloadDetails details;
        const DownloadResult result =
            download_image(url.c_str(), path.c_str(), error, options, &details);
        return Outcome{result, error, read_file(path), details};
    }
};

TEST_F(DownloadTlsTest, HttpsAddressesShareOneTlsSessionWhileTheServerKeepsItOpen) {
    ScriptedServer server({reply(with_length("\xFF\xD8one"), false),
                           reply(with_length("GIF8two"), false),
                           reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "4\r\n\x89PNG\r\n0\r\n\r\n",
                                 false)});
    TlsFront front(server.port(), TestCert::Trusted);
    EXPECT_EQ(fetch(front.url("/1.jpg"), "1.jpg").content, "\xFF\xD8one");
    EXPECT_EQ(fetch(front.url("/2.gif"), "2.gif").content, "GIF8two");
    const Outcome third = fetch(front.url("/3.png"), "3.png");
    EXPECT_EQ(third.result, DownloadResult::Ok) << third.error;
    EXPECT_EQ(third.content, "\x89PNG");
    EXPECT_FALSE(third.details.overPlainHttp);

    EXPECT_EQ(front.handshakes(), 1);
    EXPECT_EQ(server.connections(), 1);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    // The Host line names the port, as it is not 443; the request is the plain one.
    EXPECT_TRUE(has_line(requests[0].bytes, "Host: localhost:" + std::to_string(front.port())));
    EXPECT_EQ(requests[0].bytes.substr(0, 21), "GET /1.jpg HTTP/1.1\r\n");
    EXPECT_EQ(pooled_connection_count("localhost", front.port(), Transport::Tls), 1);
    EXPECT_EQ(pooled_connection_count("localhost", front.port(), Transport::Plain), 0);
    EXPECT_EQ(log().find("HTTPS连接失败"), std::string::npos);
}

TEST_F(DownloadTlsTest, AnHttpAddressRedirectedToHttpsIsFetchedOverTls) {
    ScriptedServer images({reply(with_length("GIF8moved"))});
    TlsFront front(images.port(), TestCert::Trusted, false);
    ScriptedServer plain({reply("HTTP/1.1 302 Found\r\nLocation: " + front.url("/b.gif") +
                                "\r\nContent-Length: 0\r\n\r\n")});
    const Outcome out = fetch(plain.url("/a.gif"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, "GIF8moved");
    EXPECT_EQ(front.handshakes(), 1);
}

TEST_F(DownloadTlsTest, WhenTlsCannotBeHadThePlainAddressIsFetchedAndTheCauseLogged) {
    struct Case {
        const char* name;
        TestCert cert;
        bool tls;  // a TLS front; else the server itself, which answers a hello with 400
        std::string cause;
    };
    const Case cases[] = {
        {"untrusted certificate", TestCert::Untrusted, true, "HTTPS证书不受信任"},
        {"certificate for another name", TestCert::WrongName, true,
         "HTTPS证书与域名不符: localhost"},
        {"a server that does not speak TLS", TestCert::Trusted, false,
         "HTTPS握手失败: 服务器没有完成TLS握手"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connection_tables_reset_for_testing();
        ScriptedServer server({reply(with_length("GIF8plain"))});
        server.set_reject_tls(true);
        std::unique_ptr<TlsFront> front;
        if (c.tls) front = std::make_unique<TlsFront>(server.port(), c.cert);
        const int port = c.tls ? front->port() : server.port();
        const std::string url = "https://localhost:" + std::to_string(port) + "/p.gif";

        // HTTPS or nothing: the https attempts fail for their TLS, the host never asked.
        DownloadOptions strict;
        strict.httpFallback = false;
        const Outcome refused = fetch(url, "strict.gif", strict);
        EXPECT_EQ(refused.result, DownloadResult::Failed);
        EXPECT_EQ(refused.error, c.cause);
        EXPECT_EQ(refused.details.failure, FailureKind::Tls);
        EXPECT_FALSE(last_download_failure_transient());
        EXPECT_EQ(server.requests().size(), 0u);
        connection_tables_reset_for_testing();

        const Outcome out = fetch(url);
        EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
        EXPECT_EQ(out.content, "GIF8plain");
        EXPECT_TRUE(out.details.overPlainHttp);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_TRUE(has_line(requests[0].bytes, "Host: localhost:" + std::to_string(port)));
        EXPECT_NE(log().find("HTTPS连接失败，改用HTTP下载：" + url + "，原因：" + c.cause),
                  std::string::npos)
            << log();
        EXPECT_EQ(connect_failure_count("localhost", port, Transport::Tls), 1);
    }
}

TEST_F(DownloadTlsTest, WhenThePlainFallbackFailsTooTheTextNamesBothCauses) {
    ScriptedServer server;
    TlsFront front(server.port(), TestCert::Untrusted, false);
    const Outcome out = fetch(front.url("/p.gif"));
    EXPECT_EQ(out.result, DownloadResult::BadContent);
    EXPECT_EQ(out.error.rfind("HTTPS连接失败：HTTPS证书不受信任；改用HTTP下载也失败：", 0), 0u)
        << out.error;
    // The address the seller gave failed for its TLS, whatever plain HTTP did.
    EXPECT_EQ(out.details.failure, FailureKind::Tls);
    EXPECT_FALSE(out.details.overPlainHttp);
    EXPECT_GT(out.error.size(),
              std::string("HTTPS连接失败：HTTPS证书不受信任；改用HTTP下载也失败：").size());
    EXPECT_EQ(out.content, "");  // nothing is left behind
    EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(DownloadTlsTest, AStalledHandshakeIsBoundedByTheSocketLimitThenFallsBack) {
    // The server never answers the hello (no request head ever comes), but
    // answers the plain request that follows on a new connection.
    ScriptedServer server({reply(with_length("GIF8late"))});
    const std::string url = "https://localhost:" + std::to_string(server.port()) + "/s.gif";
    const double start = platform::monotonic_seconds();
    const Outcome out = fetch(url);
    const double took = platform::monotonic_seconds() - start;
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, "GIF8late");
    EXPECT_GE(took, SHORT_SOCKET_MS / 1000.0 * 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_NE(log().find("原因：HTTPS握手超时"), std::string::npos) << log();
}

TEST_F(DownloadTlsTest, AfterFiveFailedHandshakesTheHostIsFetchedPlainWithoutTrying) {
    ScriptedServer server;
    server.set_responder([](const std::string&) { return reply(with_length("GIF8"), false); });
    TlsFront front(server.port(), TestCert::Untrusted);
    for (int i = 0; i < 7; ++i) {
        const Outcome out = fetch(front.url("/" + std::to_string(i) + ".gif"));
        EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    }
    EXPECT_EQ(connect_failure_count("localhost", front.port(), Transport::Tls),
              CONNECT_FAILURE_LIMIT);
    // Five refused handshakes, then no more tries: straight to plain HTTP.
    const std::string limit =
        "原因：localhost:" + std::to_string(front.port()) + " - 连接失败已连续发生5次+";
    EXPECT_EQ(occurrences(log(), limit), 2) << log();
    EXPECT_EQ(occurrences(log(), " - HTTPS证书不受信任 ("), CONNECT_FAILURE_LIMIT);
    EXPECT_EQ(server.connections(), 1);
}

}  // namespace
