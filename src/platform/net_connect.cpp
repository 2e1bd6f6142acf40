// The half of the socket layer that is the same on every system: the race
// of a name's addresses, lookups on threads of their own, and the tests'
// table of names. The OS halves start connects, wait for them and ask the
// system's resolver.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/net.h"
#include "platform/net_names.h"
#include "platform/net_waits.h"
#include "platform/platform.h"

namespace platform {
namespace {

struct TestHost {
    std::string addresses;
    int delayMs;
};

std::mutex testHostsMutex;
std::map<std::string, TestHost> testHosts;

// The test table's answer for `host`, when it has one: after its delay, as a
// hung resolver would give it.
bool test_host(const char* host, HostAddresses* out) {
    TestHost entry;
    {
        std::lock_guard<std::mutex> lock(testHostsMutex);
        const auto found = testHosts.find(host);
        if (found == testHosts.end()) return false;
        entry = found->second;
    }
    if (entry.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(entry.delayMs));
    size_t from = 0;
    while (from < entry.addresses.size() && out->count < MAX_HOST_ADDRESSES) {
        size_t comma = entry.addresses.find(',', from);
        if (comma == std::string::npos) comma = entry.addresses.size();
        const std::string one = entry.addresses.substr(from, comma - from);
        if (sockets::parse_numeric_address(one.c_str(), &out->list[out->count])) ++out->count;
        from = comma + 1;
    }
    return true;
}

bool same_address(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// The families take turns, starting with the system's first choice, so that
// a family that does not work here costs one stagger, not one per address
// (RFC 8305, section 4). The same address twice is tried once.
void interleave(HostAddresses* found) {
    HostAddresses ordered;
    bool used[MAX_HOST_ADDRESSES] = {};
    int family = found->list[0].family;
    for (int taken = 0; taken < found->count; ++taken) {
        int pick = -1;
        for (int i = 0; i < found->count && pick < 0; ++i) {
            if (!used[i] && found->list[i].family == family) pick = i;
        }
        for (int i = 0; i < found->count && pick < 0; ++i) {
            if (!used[i]) pick = i;
        }
        used[pick] = true;
        bool seen = false;
        for (int i = 0; i < ordered.count && !seen; ++i)
            seen = same_address(ordered.list[i], found->list[pick]);
        if (!seen) ordered.list[ordered.count++] = found->list[pick];
        family = found->list[pick].family == 6 ? 4 : 6;
    }
    *found = ordered;
}

// Lookups running on threads of their own. A resolver that hangs for every
// name could otherwise pile up a thread per host; past this many, a lookup is
// made by the download that needs it, as the system's resolver allows.
constexpr int MAX_LOOKUP_THREADS = 32;
std::atomic<int> lookupThreads{0};

bool is_numeric_host(const char* host) {
    NetAddress address;
    char inner[48];
    return ipv6_literal_inside(host, inner, sizeof inner) ||
           (is_plausible_host_name(host) && sockets::parse_numeric_address(host, &address));
}

}  // namespace

struct HostLookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool found = false;
    HostAddresses addresses;

    void finish(bool ok, const HostAddresses& result) {
        std::lock_guard<std::mutex> lock(mutex);
        found = ok;
        addresses = result;
        done = true;
        finished.notify_all();
    }
};

void set_host_for_testing(const char* name, const char* addresses, int delayMs) {
    std::lock_guard<std::mutex> lock(testHostsMutex);
    if (name == nullptr) {
        testHosts.clear();
    } else {
        testHosts[name] = TestHost{addresses, delayMs};
    }
}

bool resolve_host(const char* host, HostAddresses* out) {
    out->count = 0;
    if (host == nullptr) return false;
    if (test_host(host, out)) return out->count > 0;
    char inner[48];
    if (ipv6_literal_inside(host, inner, sizeof inner)) {
        if (!sockets::parse_numeric_address(inner, &out->list[0]) || out->list[0].family != 6)
            return false;
        out->count = 1;
        return true;
    }
    if (!is_plausible_host_name(host)) return false;
    if (!sockets::system_lookup(host, out) || out->count == 0) {
        out->count = 0;
        return false;
    }
    interleave(out);
    return true;
}

std::shared_ptr<HostLookup> start_host_lookup(const char* host) {
    auto lookup = std::make_shared<HostLookup>();
    HostAddresses found;
    // A numeric address needs no resolver, and a text that is no host name
    // must not reach one.
    if (host == nullptr || is_numeric_host(host) || !is_plausible_host_name(host)) {
        const bool ok = host != nullptr && resolve_host(host, &found);
        lookup->finish(ok, found);
        return lookup;
    }
    if (++lookupThreads <= MAX_LOOKUP_THREADS) {
        try {
            // The thread keeps the lookup alive; nobody waits for the thread.
            std::thread([lookup, name = std::string(host)] {
                HostAddresses result;
                const bool ok = resolve_host(name.c_str(), &result);
                lookup->finish(ok, result);
                --lookupThreads;
            }).detach();
            return lookup;
        } catch (...) {
        }
    }
    --lookupThreads;
    // No thread to be had: ask here.
    const bool ok = resolve_host(host, &found);
    lookup->finish(ok, found);
    return lookup;
}

LookupStatus wait_host_lookup(HostLookup* lookup, double until, HostAddresses* out) {
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done) {
        const int slice = waits::next_slice(until);
        if (slice < 0) return LookupStatus::Unfinished;
        lookup->finished.wait_for(lock, std::chrono::milliseconds(slice));
    }
    if (!lookup->found) return LookupStatus::NotFound;
    *out = lookup->addresses;
    return LookupStatus::Found;
}

ConnectResult connect_tcp(const HostAddresses& addresses, int port, int timeoutMs,
                          int ioTimeoutMs) {
    ConnectResult result{NO_SOCKET, ConnectStatus::SocketFailed, -1, false, 0};
    if (port < 1 || port > 65535 || addresses.count <= 0) {
        result.status = ConnectStatus::Refused;
        result.code = sockets::refused_code();
        return result;
    }
    const double until = monotonic_seconds() + timeoutMs / 1000.0;
    Socket racing[MAX_HOST_ADDRESSES];
    int racingCount = 0;
    int next = 0;
    double nextStart = 0;  // when the next address is due
    Socket winner = NO_SOCKET;
    bool blocking = false;
    bool ended = false;  // the time is up, or the job stopped

    while (winner == NO_SOCKET && !ended) {
        while (next < addresses.count && (racingCount == 0 || monotonic_seconds() >= nextStart)) {
            // Nothing new starts once the time is up or the job has stopped.
            if (waits::next_slice(until) < 0) {
                ended = true;
                break;
            }
            const sockets::Started started = sockets::start_connect(addresses.list[next++], port);
            if (started.blocking) {
                result.nonBlockingUnavailable = true;
                result.nonBlockingCode = -1;
            }
            if (started.status == ConnectStatus::Connected && !started.pending) {
                winner = started.socket;
                blocking = started.blocking;
                break;
            }
            if (started.pending) {
                racing[racingCount++] = started.socket;
                nextStart = monotonic_seconds() + CONNECT_STAGGER_MS / 1000.0;
            } else {
                result.status = started.status;  // failed at once: the next one now
                result.code = started.code;
            }
        }
        if (winner != NO_SOCKET || ended) break;
        if (racingCount == 0) return result;  // every address failed at once

        int slice = waits::next_slice(until);
        if (slice < 0) break;
        if (next < addresses.count) {
            const int untilNext = static_cast<int>((nextStart - monotonic_seconds()) * 1000.0) + 1;
            if (untilNext < slice) slice = untilNext < 1 ? 1 : untilNext;
        }
        int error = 0;
        const int done = sockets::wait_for_connect(racing, racingCount, slice, &error);
        if (done == -2) {
            for (int i = 0; i < racingCount; ++i) close_socket(racing[i]);
            result.status = ConnectStatus::WaitFailed;
            result.code = error;
            return result;
        }
        if (done < 0) continue;
        const Socket socket = racing[done];
        racing[done] = racing[--racingCount];
        if (error != 0) {
            close_socket(socket);
            result.status = ConnectStatus::Refused;
            result.code = error;
            nextStart = 0;
            continue;
        }
        winner = socket;
    }
    for (int i = 0; i < racingCount; ++i) close_socket(racing[i]);
    if (winner == NO_SOCKET) {
        result.status = ConnectStatus::TimedOut;
        result.code = 0;
        return result;
    }
    if (!sockets::finish_connect(winner, blocking, ioTimeoutMs)) {
        close_socket(winner);
        result.status = ConnectStatus::RestoreBlockingFailed;
        result.code = -1;
        return result;
    }
    result.socket = winner;
    result.status = ConnectStatus::Connected;
    result.code = 0;
    return result;
}

}  // namespace platform
