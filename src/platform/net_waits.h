// The shared half of the socket layer (platform code only): which slice of
// a wait comes next and why a wait ended, the failures tests arm, the race
// of a name's addresses and its lookups. The OS halves poll or select, start
// connects and ask the system's resolver, and set their own error codes.
#pragma once

#include "platform/net.h"

namespace platform::waits {

// The longest single wait: how late a stop request may be noticed.
inline constexpr int SLICE_MS = 100;

// How long to wait next, in milliseconds, on the way to `until` (seconds on
// the monotonic clock); -1 when the wait must end now, its reason recorded.
int next_slice(double until);

// True once, with the error code to report, when a test armed a failure of
// `call` on this thread (fail_next_call_for_testing).
bool take_injected_failure(NetCall call, int* code);

// How many waits of this thread have ended without their event (a time-out,
// the deadline or a stop). A failed call that moved it failed by waiting,
// not by an error of the connection.
unsigned ended_waits();

}  // namespace platform::waits

namespace platform::sockets {

// What the OS half made of starting one connect.
struct Started {
    Socket socket;         // the socket, unless the attempt failed at once
    bool pending;          // connecting in the background: wait_for_connect says how it ends
    bool blocking;         // non-blocking mode was unavailable: connected (or failed) blocking
    ConnectStatus status;  // Connected, or why the attempt failed at once
    int code;              // as ConnectResult::code
};
Started start_connect(const NetAddress& address, int port);

// Waits up to `ms` for one of `sockets` (connects under way) to end: its index,
// with `*error` 0 when it connected, else the system's error number; -1 when
// none ended in time; -2 when the wait itself failed, its result in `*error`.
int wait_for_connect(const Socket* sockets, int count, int ms, int* error);

// A connected socket made ready for use: blocking again (unless it never
// left blocking mode) with `ioTimeoutMs` for every send and receive. False
// when blocking mode cannot be restored.
bool finish_connect(Socket socket, bool blocking, int ioTimeoutMs);

// The system's error number for a refused connect.
int refused_code();

// The system's addresses for `name` (a plausible host name or dotted IPv4
// address), IPv6 and IPv4, in the system's order.
bool system_lookup(const char* name, HostAddresses* out);

// A numeric address ("127.0.0.1", "::1"); false for anything else.
bool parse_numeric_address(const char* text, NetAddress* out);

}  // namespace platform::sockets
