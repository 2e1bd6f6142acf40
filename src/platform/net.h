// TCP over IPv4 for the image client: the few socket operations the
// connection layer and the download need, so that BSD sockets and Winsock
// differ only below this line. Winsock must already be started by the front
// end when any of these is called on Windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

// An open socket, or NO_SOCKET. The image client stores handles in hash table
// values and treats 0 as "none", so a real socket is never 0.
using Socket = uintptr_t;
inline constexpr Socket NO_SOCKET = 0;

// The IPv4 address of a host name or dotted address, in network byte order.
// False when the name is not a plausible host name (so garbage never reaches
// the resolver, and an empty name never means "this machine") or does not
// resolve to an IPv4 address.
bool resolve_ipv4(const char* host, uint32_t* address);

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

// Connects to `port` (1..65535) of `address`, waiting at most `timeoutMs`
// for the connection to stand. A connected socket is blocking, and each send
// and receive on it gives up after `ioTimeoutMs`.
ConnectResult connect_tcp(uint32_t address, int port, int timeoutMs, int ioTimeoutMs);

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
// Every wait of connect_tcp, send_all and receive on the calling thread is
// cut into short slices, so that it can end early: when the flag set here
// becomes non-zero (a stopped job abandons its downloads), or when the
// deadline set here passes (a download may not take forever, however slowly
// its bytes drip in). Such a call fails as a time-out does; last_wait_end()
// tells the three apart.
void set_thread_abort_flag(const std::atomic<int>* flag);  // nullptr: never
void set_thread_deadline(double deadline);  // on the monotonic_seconds() clock; 0: none
enum class WaitEnd { TimedOut, Aborted, DeadlinePassed };
WaitEnd last_wait_end();

}  // namespace platform
