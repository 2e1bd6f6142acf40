// The shared half of the sliced socket waits (platform code only): which
// slice to wait next and why a wait ended. The OS halves poll or select.
#pragma once

#include "platform/net.h"

namespace platform::waits {

// The longest single wait: how late a stop request may be noticed.
inline constexpr int SLICE_MS = 100;

// How long to wait next, in milliseconds, on the way to `until` (seconds on
// the monotonic clock); -1 when the wait must end now, its reason recorded.
int next_slice(double until);

}  // namespace platform::waits
