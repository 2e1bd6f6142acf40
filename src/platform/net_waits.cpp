#include "platform/net_waits.h"

#include "platform/platform.h"

namespace platform {
namespace {

thread_local const std::atomic<int>* abortFlag = nullptr;
thread_local double deadline = 0;
thread_local WaitEnd lastEnd = WaitEnd::TimedOut;
thread_local unsigned endedWaits = 0;

struct InjectedFailure {
    bool armed;
    NetCall call;
    int code;
};
thread_local InjectedFailure injected{};

}  // namespace

void set_thread_abort_flag(const std::atomic<int>* flag) {
    abortFlag = flag;
}

void set_thread_deadline(double when) {
    deadline = when;
    lastEnd = WaitEnd::TimedOut;
}

void fail_next_call_for_testing(NetCall call, int errorCode) {
    injected = InjectedFailure{true, call, errorCode};
}

bool waits::take_injected_failure(NetCall call, int* code) {
    if (!injected.armed || injected.call != call) return false;
    injected.armed = false;
    *code = injected.code;
    return true;
}

unsigned waits::ended_waits() {
    return endedWaits;
}

WaitEnd last_wait_end() {
    return lastEnd;
}

bool thread_aborted() {
    return abortFlag != nullptr && abortFlag->load() != 0;
}

unsigned ended_wait_count() {
    return endedWaits;
}

int waits::next_slice(double until) {
    if (abortFlag != nullptr && abortFlag->load() != 0) {
        lastEnd = WaitEnd::Aborted;
        ++endedWaits;
        return -1;
    }
    const double now = monotonic_seconds();
    const bool deadlineFirst = deadline > 0 && deadline < until;
    const double end = deadlineFirst ? deadline : until;
    if (now >= end) {
        lastEnd = deadlineFirst ? WaitEnd::DeadlinePassed : WaitEnd::TimedOut;
        ++endedWaits;
        return -1;
    }
    const double left = (end - now) * 1000.0;
    return left >= SLICE_MS ? SLICE_MS : static_cast<int>(left) + 1;
}

}  // namespace platform
