// A scripted HTTP server on 127.0.0.1 for the image client's tests, in the
// manner of curl's test server: every reply is given as the exact bytes to
// send, split into pieces with pauses, and says whether the connection is
// then closed or held for the next request. Every request is recorded with
// the number of the connection it came on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Piece {
    std::string bytes;
    int pauseMs = 0;  // waited before these bytes go out
};

struct ScriptedReply {
    std::vector<Piece> pieces;
    bool close = true;   // close after the last piece; false holds the connection open
    bool reset = false;  // close with a reset (RST) instead of an orderly FIN
};

// The whole reply at once.
ScriptedReply reply(const std::string& bytes, bool close = true);
// The reply cut at the given offsets, with `pauseMs` before every piece after the first.
ScriptedReply reply_cut_at(const std::string& bytes, const std::vector<size_t>& cuts, int pauseMs,
                           bool close = true);
// The reply in pieces of `size` bytes, `pauseMs` apart.
ScriptedReply reply_in_pieces(const std::string& bytes, size_t size, int pauseMs,
                              bool close = true);
// No reply at all: the connection is held open, unanswered, until the
// client gives up (a host that takes connections and never answers).
ScriptedReply no_answer();

struct RecordedRequest {
    int connection;  // 1 for the first accepted connection, and so on
    std::string bytes;
};

class ScriptedServer {
  public:
    // Replies are used in order, one per request, whatever the connection.
    // A request that finds the script used up gets its connection closed.
    // `port` 0 takes any free port; `address` is the loopback address to
    // listen on ("127.0.0.2", "::1"); throws when they cannot be had.
    explicit ScriptedServer(std::vector<ScriptedReply> script = {}, int port = 0,
                            const char* address = "127.0.0.1");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    void add(ScriptedReply reply);
    // Answers every request from then on by calling `responder` with the
    // request's bytes, instead of taking replies from the script.
    using Responder = std::function<ScriptedReply(const std::string& request)>;
    void set_responder(Responder responder);
    // A connection that opens with a TLS ClientHello (first byte 0x16) is
    // never taken for a request: by default it is held, unanswered, until the
    // client gives up (a server that stalls mid-handshake); with `reject` it is
    // answered "400 Bad Request" and closed, as a plain HTTP server answers.
    void set_reject_tls(bool reject) { rejectTls_ = reject; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" (or the address listened on, an IPv6 one in
    // brackets) followed by `path`.
    std::string url(const std::string& path) const;
    // What has arrived so far. A test that stopped reading before the server
    // could answer asks for `atLeast` and waits (up to 2 s) for it.
    std::vector<RecordedRequest> requests(size_t atLeast = 0) const;
    // Connections accepted so far, waiting the same way for `atLeast`.
    int connections(int atLeast = 0) const;

  private:
    void accept_loop();
    void serve(intptr_t socket, int connection);
    bool next_reply(const std::string& request, ScriptedReply* reply);
    bool pause(int ms) const;

    intptr_t listener_ = -1;
    int port_ = 0;
    std::string host_;     // as it appears in a URL
    double deadline_ = 0;  // the server stops by itself at this time
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> rejectTls_{false};
    mutable std::mutex mutex_;
    std::deque<ScriptedReply> script_;
    Responder responder_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> handlers_;
    std::thread acceptor_;
};

// A listener that never accepts and whose queue is already full, so a
// connect to it neither succeeds nor fails: it times out.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

  private:
    intptr_t listener_ = -1;
    std::vector<intptr_t> fillers_;
    int port_ = 0;
};

// A bound loopback socket that refuses connects until open() makes it listen.
// Lets a test fail connects to a port and then succeed on the same port.
class UnopenedListener {
  public:
    UnopenedListener();
    ~UnopenedListener();
    UnopenedListener(const UnopenedListener&) = delete;
    UnopenedListener& operator=(const UnopenedListener&) = delete;
    int port() const { return port_; }
    void open();
    // Accepts and closes whatever connections are waiting; returns how many.
    int accept_waiting();

  private:
    intptr_t socket_ = -1;
    int port_ = 0;
};

// A loopback port with nothing listening on it: connects are refused.
int refused_port();
// The system's error number for a refused connect (ECONNREFUSED, WSAECONNREFUSED).
int connection_refused_code();

// The send and receive time-outs set on a connected socket, in milliseconds.
void socket_timeouts_ms(uintptr_t socket, int* sendMs, int* receiveMs);

// Starts Windows Sockets for the test program (the front ends do it for the
// real programs); nothing elsewhere. Safe to call many times.
void start_test_networking();
