// TCP over IPv6 and IPv4 for the image client: the few socket operations the
// connection layer and the download need, so that BSD sockets and Winsock
// differ only below this line. Winsock must already be started by the front
// end when any of these is called on Windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// An open socket, or NO_SOCKET. The image client stores handles in hash table
// values and treats 0 as "none", so a real socket is never 0.
using Socket = uintptr_t;
inline constexpr Socket NO_SOCKET = 0;

// One address of a host, in network byte order.
struct NetAddress {
    int family;         // 4 or 6
    uint8_t bytes[16];  // IPv4: the first four
};

// The most addresses of one name that are tried.
inline constexpr int MAX_HOST_ADDRESSES = 16;
struct HostAddresses {
    int count = 0;
    NetAddress list[MAX_HOST_ADDRESSES];
};

// Every address of a host name, of a dotted IPv4 address or of a bracketed
// IPv6 literal ("[::1]"), IPv6 and IPv4 alike, in the order to try them: the
// system's first choice, then the families taking turns. False when the text
// is not a plausible host (so garbage never reaches the resolver, and an
// empty name never means "this machine") or does not resolve. Blocks as long
// as the system's resolver takes: the image client asks through
// start_host_lookup instead.
bool resolve_host(const char* host, HostAddresses* out);

// A lookup running on a thread of its own, shared by the downloads that wait
// for it: a resolver that hangs then holds up no stop, since a waiting
// download can leave it behind.
struct HostLookup;
std::shared_ptr<HostLookup> start_host_lookup(const char* host);
enum class LookupStatus { Found, NotFound, Unfinished };
// Waits for the lookup until `until` (monotonic seconds), in slices like
// every other wait: Found with `out` filled, NotFound, or Unfinished when the
// wait ended first (last_wait_end() says why).
LookupStatus wait_host_lookup(HostLookup* lookup, double until, HostAddresses* out);

// Tests only: from now on `name` resolves to `addresses` (comma-separated
// numeric addresses, "127.0.0.2,::1"; empty: the name does not resolve),
// after `delayMs`, without asking the system. A null name forgets them all.
void set_host_for_testing(const char* name, const char* addresses, int delayMs);

enum class ConnectStatus {
    Connected,
    SocketFailed,           // no socket could be created
    TimedOut,               // no answer within the connect limit
    WaitFailed,             // waiting for the connect failed
    Refused,                // the peer (or the stack) turned the connect down
    RestoreBlockingFailed,  // connected, but blocking mode could not be restored
    BlockingConnectFailed,  // non-blocking mode was unavailable and connect failed
};

struct ConnectResult {
    Socket socket;  // NO_SOCKET unless Connected
    ConnectStatus status;
    // For messages: the failing call's return value; for Refused the system's
    // error number, which names the cause (a port out of range counts as
    // refused).
    int code;
    // Non-blocking mode could not be switched on: the connect went ahead
    // blocking, without the time limit. `nonBlockingCode` is the call's result.
    bool nonBlockingUnavailable;
    int nonBlockingCode;
};

// Connects to `port` (1..65535) of the first of `addresses` that answers, the
// simple form of RFC 8305: the first address, then the next one after
// CONNECT_STAGGER_MS without an answer or at once when one fails, every
// started attempt racing on; `timeoutMs` bounds the whole. A connected socket
// is blocking, and each send and receive on it gives up after `ioTimeoutMs`.
// When every address fails, the result is a time-out if any attempt timed
// out, else the last failure.
inline constexpr int CONNECT_STAGGER_MS = 250;
ConnectResult connect_tcp(const HostAddresses& addresses, int port, int timeoutMs, int ioTimeoutMs);

// Tests only: the next call of this kind that connect_tcp makes on the
// calling thread fails as the system call fails, with `errorCode` as the
// system's error number; so each failure of a connect can be provoked.
enum class NetCall { Socket, NonBlocking, Connect, Wait, RestoreBlocking };
void fail_next_call_for_testing(NetCall call, int errorCode);

// Sends every byte, looping over partial sends. False on an error or a send
// time-out. A peer that has gone away is an error, never a signal.
bool send_all(Socket socket, const char* bytes, size_t length);

// Receives at most `capacity` bytes: their number, 0 when the peer closed the
// connection, negative on an error or when the receive time-out passed.
long receive(Socket socket, char* buffer, size_t capacity);

void close_socket(Socket socket);

// ---- Giving up on waits -------------------------------------------------
// Every wait of connect_tcp, wait_host_lookup, send_all and receive on the calling thread is
// cut into short slices, so that it can end early: when the flag set here
// becomes non-zero (a stopped job abandons its downloads), or when the
// deadline set here passes (a download may not take forever, however slowly
// its bytes drip in). Such a call fails as a time-out does; last_wait_end()
// tells the three apart.
void set_thread_abort_flag(const std::atomic<int>* flag);  // nullptr: never
void set_thread_deadline(double deadline);  // on the monotonic_seconds() clock; 0: none
enum class WaitEnd { TimedOut, Aborted, DeadlinePassed };
WaitEnd last_wait_end();
// True once the flag set with set_thread_abort_flag is non-zero: nothing new
// (an attempt, a connection) should start.
bool thread_aborted();
// How many waits of this thread have ended without their event so far; two
// readings tell whether a failed exchange failed by waiting.
unsigned ended_wait_count();

}  // namespace platform
