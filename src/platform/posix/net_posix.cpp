// BSD sockets behind platform/net.h.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/net.h"
#include "platform/net_found_addresses.h"
#include "platform/net_waits.h"
#include "platform/platform.h"

namespace platform {
namespace {

// A socket on descriptor 0 (possible when stdin was closed) would read as
// "no socket" above this layer: move it.
int nonzero_descriptor(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

bool set_nonblocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// Each socket's send and receive limit as set when it connected (small
// descriptors only; 0: not known), so that a send or a receive need not ask
// the system for it every time.
constexpr int KNOWN_LIMITS = 1024;
std::atomic<int> knownLimitMs[KNOWN_LIMITS];

void set_timeouts(int fd, int ms) {
    if (fd < KNOWN_LIMITS) knownLimitMs[fd].store(ms);
    struct timeval limit {};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// poll() for `events` until `until`, in slices so that a stop request or
// the thread's deadline ends the wait early; restarted after signals. 1 when
// ready, 0 when the wait ended first, negative when poll failed.
int wait_for(int fd, short events, double until) {
    for (;;) {
        const int slice = waits::next_slice(until);
        if (slice < 0) return 0;
        struct pollfd entry {
            fd, events, 0
        };
        const int ready = poll(&entry, 1, slice);
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return ready;
    }
}

// The socket's own send or receive limit, as set when it connected.
double io_limit_seconds(int fd, int option) {
    if (fd < KNOWN_LIMITS) {
        const int known = knownLimitMs[fd].load();
        if (known > 0) return known / 1000.0;
    }
    struct timeval limit {};
    socklen_t size = sizeof limit;
    if (getsockopt(fd, SOL_SOCKET, option, &limit, &size) != 0 ||
        (limit.tv_sec == 0 && limit.tv_usec == 0)) {
        return 10.0;
    }
    return static_cast<double>(limit.tv_sec) + static_cast<double>(limit.tv_usec) / 1e6;
}

// True, with errno set, when a test made this call fail.
bool injected_failure(NetCall call) {
    int code = 0;
    if (!waits::take_injected_failure(call, &code)) return false;
    errno = code;
    return true;
}

}  // namespace

namespace sockets {

Started start_connect(const NetAddress& address, int port) {
    Started started{NO_SOCKET, false, false, ConnectStatus::SocketFailed, -1};
    const int family = address.family == 6 ? AF_INET6 : AF_INET;
    const int fd =
        injected_failure(NetCall::Socket)
            ? -1
            : nonzero_descriptor(socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (fd < 0) return started;

    const bool nonblocking = !injected_failure(NetCall::NonBlocking) && set_nonblocking(fd, true);
    started.blocking = !nonblocking;
    struct sockaddr_storage peer {};
    socklen_t size = 0;
    if (family == AF_INET6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(&peer);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&six->sin6_addr, address.bytes, 16);
        size = sizeof *six;
    } else {
        auto* four = reinterpret_cast<sockaddr_in*>(&peer);
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&four->sin_addr, address.bytes, 4);
        size = sizeof *four;
    }
    const int connected = injected_failure(NetCall::Connect)
                              ? -1
                              : connect(fd, reinterpret_cast<const sockaddr*>(&peer), size);
    if (connected == 0) {
        started.socket = static_cast<Socket>(fd);
        started.status = ConnectStatus::Connected;
        started.code = 0;
        return started;
    }
    if (!nonblocking) {
        close(fd);
        started.status = ConnectStatus::BlockingConnectFailed;
        return started;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        started.status = ConnectStatus::Refused;
        started.code = errno;
        close(fd);
        return started;
    }
    started.socket = static_cast<Socket>(fd);
    started.pending = true;
    started.status = ConnectStatus::Connected;
    started.code = 0;
    return started;
}

int wait_for_connect(const Socket* sockets, int count, int ms, int* error) {
    if (injected_failure(NetCall::Wait)) {
        *error = -1;
        return -2;
    }
    struct pollfd entries[MAX_HOST_ADDRESSES];
    for (int i = 0; i < count; ++i) entries[i] = pollfd{static_cast<int>(sockets[i]), POLLOUT, 0};
    const int ready = poll(entries, static_cast<nfds_t>(count), ms);
    if (ready < 0) {
        if (errno == EINTR) return -1;
        *error = ready;
        return -2;
    }
    for (int i = 0; i < count && ready > 0; ++i) {
        if (entries[i].revents == 0) continue;
        // Writable also means "the connect failed": only SO_ERROR tells.
        int pending = 0;
        socklen_t size = sizeof pending;
        if (getsockopt(entries[i].fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
        *error = pending;
        return i;
    }
    return -1;
}

bool finish_connect(Socket socket, bool blocking, int ioTimeoutMs) {
    const int fd = static_cast<int>(socket);
    if (!blocking && (injected_failure(NetCall::RestoreBlocking) || !set_nonblocking(fd, false)))
        return false;
    set_timeouts(fd, ioTimeoutMs);
    return true;
}

int refused_code() {
    return ECONNREFUSED;
}

bool system_lookup(const char* name, HostAddresses* out) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    const bool taken = take_found_addresses(found, out);
    freeaddrinfo(found);
    return taken;
}

bool parse_numeric_address(const char* text, NetAddress* out) {
    *out = NetAddress{};
    if (inet_pton(AF_INET, text, out->bytes) == 1) {
        out->family = 4;
        return true;
    }
    if (inet_pton(AF_INET6, text, out->bytes) == 1) {
        out->family = 6;
        return true;
    }
    return false;
}

}  // namespace sockets

bool send_all(Socket socket, const char* bytes, size_t length) {
    const int fd = static_cast<int>(socket);
    const double limit = io_limit_seconds(fd, SO_SNDTIMEO);
    // A stopped job or a passed deadline sends nothing, as when waiting.
    if (waits::next_slice(monotonic_seconds() + limit) < 0) return false;
    while (length > 0) {
        // The socket's buffer nearly always has room: wait only when it has none.
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            // Each piece may wait the whole limit, as a blocking send would.
            if (errno != EINTR && wait_for(fd, POLLOUT, monotonic_seconds() + limit) != 1)
                return false;
            continue;
        }
        if (sent == 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

long receive(Socket socket, char* buffer, size_t capacity) {
    const int fd = static_cast<int>(socket);
    const double until = monotonic_seconds() + io_limit_seconds(fd, SO_RCVTIMEO);
    for (;;) {
        const int ready = wait_for(fd, POLLIN, until);
        if (ready != 1) return -1;
        const ssize_t got = recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
}

void close_socket(Socket socket) {
    if (socket == NO_SOCKET) return;
    const int fd = static_cast<int>(socket);
    if (fd < KNOWN_LIMITS) knownLimitMs[fd].store(0);
    close(fd);
}

}  // namespace platform
