// The shared half of the socket layer (platform code only): which slice of
// a wait comes next and why a wait ended, and the failures tests arm. The OS
// halves poll or select and set their own error codes.
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
