#include "support/scripted_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "support/loopback.h"

namespace {

// No server outlives this, whatever a test does.
constexpr double SERVER_LIFETIME_SECONDS = 60.0;
constexpr size_t REQUEST_LIMIT = 65536;
constexpr int POLL_SLICE_MS = 20;

#ifdef _WIN32
using Native = SOCKET;
constexpr Native BAD = INVALID_SOCKET;
void close_native(Native s) {
    closesocket(s);
}
int wait_readable(Native s, int ms) {
    WSAPOLLFD entry{s, POLLRDNORM, 0};
    return WSAPoll(&entry, 1, ms);
}
void set_nonblocking(Native s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
constexpr int SEND_FLAGS = 0;
#else
using Native = int;
constexpr Native BAD = -1;
void close_native(Native s) {
    close(s);
}
int wait_readable(Native s, int ms) {
    struct pollfd entry {
        s, POLLIN, 0
    };
    return poll(&entry, 1, ms);
}
void set_nonblocking(Native s) {
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#endif

Native native(intptr_t s) {
    return static_cast<Native>(s);
}

// A socket bound to a loopback port (`*port`, or any when 0) of `host`,
// listening unless `backlog` is negative.
Native listen_on_loopback(int backlog, int* port, const char* host = "127.0.0.1") {
    start_test_networking();
    sockaddr_storage address{};
    int length = 0;
    if (!loopback_address(host, *port, &address, &length))
        throw std::runtime_error("not a loopback address");
    Native s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == BAD) throw std::runtime_error("socket() failed");
    socklen_t size = sizeof address;
#ifndef _WIN32
    // A fixed port may still be in TIME_WAIT from an earlier run.
    int one = 1;
    if (*port != 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (backlog >= 0 && listen(s, backlog) != 0) ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close_native(s);
        throw std::runtime_error(std::string("cannot listen on ") + host);
    }
    *port = address.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    return s;
}

void send_bytes(Native s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = static_cast<int>(
            send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), SEND_FLAGS));
        if (n <= 0) return;  // the client went away; the test will see why
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

void start_test_networking() {
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

ScriptedReply reply(const std::string& bytes, bool close) {
    return ScriptedReply{{Piece{bytes, 0}}, close};
}

ScriptedReply reply_cut_at(const std::string& bytes, const std::vector<size_t>& cuts, int pauseMs,
                           bool close) {
    ScriptedReply out{{}, close};
    size_t from = 0;
    for (size_t cut : cuts) {
        out.pieces.push_back(
            Piece{bytes.substr(from, cut - from), out.pieces.empty() ? 0 : pauseMs});
        from = cut;
    }
    out.pieces.push_back(Piece{bytes.substr(from), out.pieces.empty() ? 0 : pauseMs});
    return out;
}

ScriptedReply no_answer() {
    return ScriptedReply{{}, false};
}

ScriptedReply reply_in_pieces(const std::string& bytes, size_t size, int pauseMs, bool close) {
    std::vector<size_t> cuts;
    for (size_t at = size; at < bytes.size(); at += size) cuts.push_back(at);
    return reply_cut_at(bytes, cuts, pauseMs, close);
}

ScriptedServer::ScriptedServer(std::vector<ScriptedReply> script, int port, const char* address)
    : port_(port),
      host_(std::strchr(address, ':') != nullptr ? "[" + std::string(address) + "]" : address),
      script_(script.begin(), script.end()) {
    listener_ = static_cast<intptr_t>(listen_on_loopback(16, &port_, address));
    deadline_ = platform::monotonic_seconds() + SERVER_LIFETIME_SECONDS;
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& handler : handlers_) handler.join();
    close_native(native(listener_));
}

void ScriptedServer::add(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(reply));
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://" + host_ + ":" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> ScriptedServer::requests(size_t atLeast) const {
    const double until = platform::monotonic_seconds() + 2.0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.size() >= atLeast || platform::monotonic_seconds() > until)
                return requests_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int ScriptedServer::connections(int atLeast) const {
    const double until = platform::monotonic_seconds() + 2.0;
    while (connections_.load() < atLeast && platform::monotonic_seconds() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return connections_.load();
}

void ScriptedServer::set_responder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

bool ScriptedServer::next_reply(const std::string& request, ScriptedReply* reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (responder_) {
        *reply = responder_(request);
        return true;
    }
    if (script_.empty()) return false;
    *reply = std::move(script_.front());
    script_.pop_front();
    return true;
}

// False when the server is stopping.
bool ScriptedServer::pause(int ms) const {
    const double until = platform::monotonic_seconds() + ms / 1000.0;
    while (platform::monotonic_seconds() < until) {
        if (stopping_ || platform::monotonic_seconds() > deadline_) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ScriptedServer::accept_loop() {
    const Native listener = native(listener_);
    while (!stopping_ && platform::monotonic_seconds() < deadline_) {
        if (wait_readable(listener, POLL_SLICE_MS) <= 0) continue;
        const Native client = accept(listener, nullptr, nullptr);
        if (client == BAD) continue;
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
        const int number = ++connections_;
        handlers_.emplace_back(
            [this, client, number] { serve(static_cast<intptr_t>(client), number); });
    }
}

void ScriptedServer::serve(intptr_t socket, int connection) {
    const Native s = native(socket);
    std::string pending;
    bool open = true;
    bool started = false;
    bool tlsHello = false;  // what comes is read and dropped
    while (open && !stopping_ && platform::monotonic_seconds() < deadline_) {
        // One request: everything up to its blank line.
        const size_t end = tlsHello ? std::string::npos : pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (pending.size() > REQUEST_LIMIT) break;
            if (wait_readable(s, POLL_SLICE_MS) <= 0) continue;
            char buffer[4096];
            const int n = static_cast<int>(recv(s, buffer, sizeof buffer, 0));
            if (n <= 0) break;
            if (!started && buffer[0] == '\x16') {
                tlsHello = true;
                if (rejectTls_) {
                    send_bytes(s,
                               "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                               "Connection: close\r\n\r\n");
                    break;
                }
            }
            started = true;
            if (!tlsHello) pending.append(buffer, static_cast<size_t>(n));
            continue;
        }
        const std::string request = pending.substr(0, end + 4);
        pending.erase(0, end + 4);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(RecordedRequest{connection, request});
        }
        ScriptedReply answer;
        if (!next_reply(request, &answer)) break;
        for (const Piece& piece : answer.pieces) {
            if (piece.pauseMs > 0 && !pause(piece.pauseMs)) {
                open = false;
                break;
            }
            send_bytes(s, piece.bytes);
        }
        if (answer.close) open = false;
        if (answer.reset) {
            struct linger abort_it {
                1, 0
            };
            setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_it),
                       sizeof abort_it);
            open = false;
        }
    }
    close_native(s);
}

SilentListener::SilentListener() {
    port_ = 0;
    listener_ = static_cast<intptr_t>(listen_on_loopback(0, &port_));
    // With a backlog of 0 the queue takes one connection; later SYNs are
    // dropped, so further connects hang until the client gives up.
    for (int i = 0; i < 2; ++i) {
        Native filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        set_nonblocking(filler);
        const sockaddr_in address = loopback(port_);
        connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        fillers_.push_back(static_cast<intptr_t>(filler));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

SilentListener::~SilentListener() {
    for (intptr_t filler : fillers_) close_native(native(filler));
    close_native(native(listener_));
}

UnopenedListener::UnopenedListener() {
    socket_ = static_cast<intptr_t>(listen_on_loopback(-1, &port_));
}

UnopenedListener::~UnopenedListener() {
    close_native(native(socket_));
}

void UnopenedListener::open() {
    listen(native(socket_), 16);
    set_nonblocking(native(socket_));
}

int UnopenedListener::accept_waiting() {
    int count = 0;
    for (;;) {
        const Native client = accept(native(socket_), nullptr, nullptr);
        if (client == BAD) return count;
        close_native(client);
        ++count;
    }
}

int refused_port() {
    int port = 0;
    const Native s = listen_on_loopback(1, &port);
    close_native(s);
    return port;
}

int connection_refused_code() {
#ifdef _WIN32
    return WSAECONNREFUSED;
#else
    return ECONNREFUSED;
#endif
}

void socket_timeouts_ms(uintptr_t socket, int* sendMs, int* receiveMs) {
    const int options[2] = {SO_SNDTIMEO, SO_RCVTIMEO};
    int* out[2] = {sendMs, receiveMs};
    for (int i = 0; i < 2; ++i) {
#ifdef _WIN32
        DWORD limit = 0;
        int size = sizeof limit;
        getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, options[i],
                   reinterpret_cast<char*>(&limit), &size);
        *out[i] = static_cast<int>(limit);
#else
        struct timeval limit {};
        socklen_t size = sizeof limit;
        getsockopt(static_cast<int>(socket), SOL_SOCKET, options[i], &limit, &size);
        *out[i] = static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000);
#endif
    }
}
