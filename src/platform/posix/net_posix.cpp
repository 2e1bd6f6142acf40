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

#include <cstring>

#include "platform/net.h"
#include "platform/net_names.h"
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

void set_timeouts(int fd, int ms) {
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

int wait_writable(int fd, int timeoutMs) {
    return wait_for(fd, POLLOUT, monotonic_seconds() + timeoutMs / 1000.0);
}

// The socket's own send or receive limit, as set when it connected.
double io_limit_seconds(int fd, int option) {
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

ConnectResult failure(int fd, ConnectStatus status, int code, const ConnectResult& so_far) {
    if (fd >= 0) close(fd);
    ConnectResult result = so_far;
    result.socket = NO_SOCKET;
    result.status = status;
    result.code = code;
    return result;
}

}  // namespace

bool resolve_ipv4(const char* host, uint32_t* address) {
    if (!is_plausible_host_name(host)) return false;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool ok = false;
    for (const struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            *address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

ConnectResult connect_tcp(uint32_t address, int port, int timeoutMs, int ioTimeoutMs) {
    ConnectResult result{NO_SOCKET, ConnectStatus::SocketFailed, -1, false, 0};
    if (port < 1 || port > 65535) return failure(-1, ConnectStatus::Refused, ECONNREFUSED, result);
    const int fd =
        injected_failure(NetCall::Socket)
            ? -1
            : nonzero_descriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (fd < 0) return failure(-1, ConnectStatus::SocketFailed, -1, result);

    const bool nonblocking = !injected_failure(NetCall::NonBlocking) && set_nonblocking(fd, true);
    if (!nonblocking) {
        result.nonBlockingUnavailable = true;
        result.nonBlockingCode = -1;
    }
    struct sockaddr_in peer {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr.s_addr = address;
    const int connected = injected_failure(NetCall::Connect)
                              ? -1
                              : connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);

    if (!nonblocking) {
        if (connected != 0) return failure(fd, ConnectStatus::BlockingConnectFailed, -1, result);
    } else {
        if (connected != 0 && errno != EINPROGRESS && errno != EINTR) {
            return failure(fd, ConnectStatus::Refused, errno, result);
        }
        if (connected != 0) {
            const int ready = injected_failure(NetCall::Wait) ? -1 : wait_writable(fd, timeoutMs);
            if (ready == 0) return failure(fd, ConnectStatus::TimedOut, 0, result);
            if (ready < 0) return failure(fd, ConnectStatus::WaitFailed, ready, result);
            // Writable also means "the connect failed": only SO_ERROR tells.
            int pending = 0;
            socklen_t size = sizeof pending;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
            if (pending != 0) return failure(fd, ConnectStatus::Refused, pending, result);
        }
        if (injected_failure(NetCall::RestoreBlocking) || !set_nonblocking(fd, false)) {
            return failure(fd, ConnectStatus::RestoreBlockingFailed, -1, result);
        }
    }
    set_timeouts(fd, ioTimeoutMs);
    result.socket = static_cast<Socket>(fd);
    result.status = ConnectStatus::Connected;
    result.code = 0;
    return result;
}

bool send_all(Socket socket, const char* bytes, size_t length) {
    const int fd = static_cast<int>(socket);
    const double limit = io_limit_seconds(fd, SO_SNDTIMEO);
    while (length > 0) {
        // Each piece may wait the whole limit, as a blocking send would.
        if (wait_for(fd, POLLOUT, monotonic_seconds() + limit) != 1) return false;
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
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
    if (socket != NO_SOCKET) close(static_cast<int>(socket));
}

}  // namespace platform
