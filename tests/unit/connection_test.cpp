#include "http/connection.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/network_test.h"

namespace {

constexpr int SHORT_CONNECT_MS = 150;
constexpr int SHORT_SOCKET_MS = 200;

class ConnectionTest : public NetworkTest {
  protected:
    ConnectionTest() : NetworkTest(SHORT_CONNECT_MS, SHORT_SOCKET_MS) {}

    struct Outcome {
        platform::Socket socket;
        std::string error;
        double seconds;
    };
    Outcome connect(const char* host, int port) const {
        char error[ERROR_TEXT_SIZE] = {};
        const double start = platform::monotonic_seconds();
        const platform::Socket socket = connect_to_host(host, port, error, policy);
        return Outcome{socket, error, platform::monotonic_seconds() - start};
    }
};

TEST_F(ConnectionTest, EachFailureHasItsTextAndItsEffectOnTheCount) {
    SilentListener silent;
    const int refused = refused_port();
    const std::string refused_text =
        "连接被拒绝，错误码:" + std::to_string(connection_refused_code());
    struct Case {
        const char* name;
        const char* host;
        int port;
        std::string error;
        int count_after;  // failures recorded for host and port afterwards
    };
    const Case cases[] = {
        {"null host", nullptr, 80, "域名 = null", 0},
        {"unresolvable name", "no such host", 80, "无法解析域名: no such host", 0},
        {"empty name", "", 80, "无法解析域名: ", 0},
        {"time-out", "127.0.0.1", silent.port(), "使用非阻塞方式连接超时。", 1},
        {"refused", "127.0.0.1", refused, refused_text, 1},
        {"port out of range", "127.0.0.1", 70000, refused_text, 1},
    };
    for (const Case& c : cases) {
        const Outcome out = connect(c.host, c.port);
        EXPECT_EQ(out.socket, platform::NO_SOCKET) << c.name;
        EXPECT_EQ(out.error, c.error) << c.name;
        if (c.host != nullptr) {
            EXPECT_EQ(connect_failure_count(c.host, c.port), c.count_after) << c.name;
        }
        // Bounded by the (shortened) connect limit, never the default 10 s.
        EXPECT_LT(out.seconds, 3.0) << c.name;
        EXPECT_EQ(pooled_connection_total(), 0) << c.name;
    }
}

TEST_F(ConnectionTest, FiveFailuresRefuseTheHostWithoutTryingUntilReset) {
    UnopenedListener door;
    const int port = door.port();
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(connect("127.0.0.1", port).socket, platform::NO_SOCKET);
        EXPECT_EQ(connect_failure_count("127.0.0.1", port), i);
    }
    door.open();  // the port would accept now, but the count says no
    const Outcome sixth = connect("127.0.0.1", port);
    EXPECT_EQ(sixth.socket, platform::NO_SOCKET);
    EXPECT_EQ(sixth.error, "127.0.0.1:" + std::to_string(port) + " - 连接失败已连续发生5次+");
    EXPECT_EQ(connect_failure_count("127.0.0.1", port), 5);
    EXPECT_EQ(door.accept_waiting(), 0);  // no connect was attempted

    // The same host by another name, and the same host on another port, are
    // other keys with counts of their own.
    EXPECT_EQ(connect_failure_count("localhost", port), 0);
    EXPECT_EQ(connect_failure_count("127.0.0.1", port + 1), 0);

    reset_connect_failures();
    EXPECT_EQ(connect_failure_count("127.0.0.1", port), 0);
    const Outcome after_reset = connect("127.0.0.1", port);
    EXPECT_NE(after_reset.socket, platform::NO_SOCKET) << after_reset.error;
    platform::close_socket(after_reset.socket);
    EXPECT_EQ(door.accept_waiting(), 1);
}

TEST_F(ConnectionTest, ASuccessfulConnectForgetsEarlierFailures) {
    UnopenedListener door;
    for (int i = 0; i < 4; ++i) connect("127.0.0.1", door.port());
    EXPECT_EQ(connect_failure_count("127.0.0.1", door.port()), 4);
    door.open();
    const Outcome out = connect("127.0.0.1", door.port());
    ASSERT_NE(out.socket, platform::NO_SOCKET) << out.error;
    platform::close_socket(out.socket);
    EXPECT_EQ(connect_failure_count("127.0.0.1", door.port()), 0);
    connection_tables_reset_for_testing();
}

TEST_F(ConnectionTest, ConnectedSocketBlocksAndTimesOutReceiving) {
    ScriptedServer server({reply("", false)});
    const Outcome out = connect("127.0.0.1", server.port());
    ASSERT_NE(out.socket, platform::NO_SOCKET) << out.error;
    ASSERT_TRUE(platform::send_all(out.socket, "GET / HTTP/1.1\r\n\r\n", 18));
    char buffer[16];
    const double start = platform::monotonic_seconds();
    // Blocking: the receive waits for the silent server, then gives up at
    // the socket time-out rather than at once or never.
    EXPECT_LT(platform::receive(out.socket, buffer, sizeof buffer), 0);
    const double waited = platform::monotonic_seconds() - start;
    EXPECT_GE(waited, SHORT_SOCKET_MS / 1000.0 * 0.8);
    EXPECT_LT(waited, 3.0);
    platform::close_socket(out.socket);
}

TEST_F(ConnectionTest, PoolLendsEachIdleConnectionToOneDownloadAtATime) {
    ScriptedServer first;
    ScriptedServer second;
    char error[ERROR_TEXT_SIZE] = {};
    const std::string first_key = "127.0.0.1:" + std::to_string(first.port());
    const auto get = [&](const ScriptedServer& server) {
        return pool_get_connection("127.0.0.1", server.port(), Transport::Plain, error, policy);
    };
    const auto put = [&](const ScriptedServer& server, const Connection& connection) {
        pool_put_connection("127.0.0.1", server.port(), Transport::Plain, connection);
    };

    // Two downloads at once from one host get two connections.
    Connection a = get(first);
    ASSERT_TRUE(a.is_open()) << error;
    Connection b = get(first);
    ASSERT_TRUE(b.is_open()) << error;
    EXPECT_NE(a.socket, b.socket);
    EXPECT_EQ(occurrences(log(), first_key + " --- new socket()"), 2);
    EXPECT_EQ(pooled_connection_total(), 0);  // both are lent out

    // Handed back, they are lent again without a new connection, each once.
    put(first, a);
    put(first, b);
    EXPECT_EQ(pooled_connection_count("127.0.0.1", first.port()), 2);
    // The same host and port over TLS is another pool.
    EXPECT_EQ(pooled_connection_count("127.0.0.1", first.port(), Transport::Tls), 0);
    Connection c = get(first);
    Connection d = get(first);
    EXPECT_TRUE((c.socket == a.socket && d.socket == b.socket) ||
                (c.socket == b.socket && d.socket == a.socket));
    EXPECT_EQ(occurrences(log(), first_key + " --- new socket()"), 2);
    EXPECT_EQ(pooled_connection_total(), 0);

    // Another port is another pool.
    put(first, c);
    Connection e = get(second);
    ASSERT_TRUE(e.is_open()) << error;
    EXPECT_NE(e.socket, c.socket);
    EXPECT_EQ(pooled_connection_count("127.0.0.1", first.port()), 1);
    EXPECT_EQ(first.connections(2), 2);
    EXPECT_EQ(second.connections(1), 1);
    connection_close(&d, true);
    connection_close(&e, true);
}

TEST_F(ConnectionTest, FailedPoolConnectEntersNothing) {
    char error[ERROR_TEXT_SIZE] = {};
    const int port = refused_port();
    EXPECT_FALSE(pool_get_connection("127.0.0.1", port, Transport::Plain, error, policy).is_open());
    EXPECT_EQ(error, "连接被拒绝，错误码:" + std::to_string(connection_refused_code()));
    EXPECT_EQ(pooled_connection_total(), 0);
    EXPECT_EQ(occurrences(log(), "127.0.0.1:" + std::to_string(port) + " --- new socket()"), 1);
}

TEST_F(ConnectionTest, FailingSocketCallsHaveTheirTextsAndTheirEffectOnTheCount) {
    using platform::NetCall;
    ScriptedServer server;
    SilentListener silent;  // a connect to it stays pending, so select() is reached
    const int refused = refused_port();
    struct Case {
        const char* name;
        int port;
        NetCall call;  // the call made to fail, with the system's error 4242
        std::string error;
        int count_after;  // from one failure before
    };
    const Case cases[] = {
        {"socket() fails", server.port(), NetCall::Socket, "INVALID_SOCKET", 1},
        {"connect() refused at once", server.port(), NetCall::Connect, "连接被拒绝，错误码:4242",
         2},
        {"select() fails", silent.port(), NetCall::Wait, "使用非阻塞方式连接发生错误，错误码:-1",
         1},
        {"blocking mode cannot be restored", server.port(), NetCall::RestoreBlocking,
         "将socket重置为阻塞模式出错, 错误码:-1\n", 1},
        {"no non-blocking mode, blocking connect fails", refused, NetCall::NonBlocking,
         "socket bio connect() failed", 2},
        {"no non-blocking mode, blocking connect succeeds", server.port(), NetCall::NonBlocking, "",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        connection_tables_reset_for_testing();
        platform::fail_next_call_for_testing(NetCall::Connect, 4242);
        ASSERT_EQ(connect("127.0.0.1", c.port).socket, platform::NO_SOCKET);
        ASSERT_EQ(connect_failure_count("127.0.0.1", c.port), 1);

        platform::fail_next_call_for_testing(c.call, 4242);
        const Outcome out = connect("127.0.0.1", c.port);
        EXPECT_EQ(out.error, c.error);
        EXPECT_EQ(out.socket != platform::NO_SOCKET, c.error.empty());
        EXPECT_EQ(connect_failure_count("127.0.0.1", c.port), c.count_after);
        EXPECT_LT(out.seconds, 3.0);
        platform::close_socket(out.socket);
    }
    // Without non-blocking mode the connect goes ahead, and says so.
    EXPECT_EQ(
        occurrences(log(), "开启非阻塞方式连接失败，错误代码：-1，继续使用阻塞方式进行连接。"), 2);
}

TEST_F(ConnectionTest, ConnectSendAndReceiveLimitsAreTenSeconds) {
    EXPECT_EQ(CONNECT_TIMEOUT_MS, 10000);
    EXPECT_EQ(SOCKET_TIMEOUT_MS, 10000);
    // What a connect with the limits in use leaves on its socket.
    policy = NetworkPolicy{};
    ScriptedServer server;
    const Outcome out = connect("127.0.0.1", server.port());
    ASSERT_NE(out.socket, platform::NO_SOCKET) << out.error;
    int send_ms = 0;
    int receive_ms = 0;
    socket_timeouts_ms(out.socket, &send_ms, &receive_ms);
    EXPECT_EQ(send_ms, 10000);
    EXPECT_EQ(receive_ms, 10000);
    platform::close_socket(out.socket);
}

}  // namespace
