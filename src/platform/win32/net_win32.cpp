// Winsock behind platform/net.h. WSAStartup is the front end's job.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/net.h"
#include "platform/net_names.h"
#include "platform/net_waits.h"
#include "platform/platform.h"

namespace platform {
namespace {

SOCKET native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

bool set_nonblocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

void set_timeouts(SOCKET s, int ms) {
    const DWORD limit = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

// select() until `until`, in slices so that a stop request or the thread's
// deadline ends the wait early. 1 when ready (or, with `failed`, when the
// socket shows in the exception set: a refused connect), 0 when the wait
// ended first, negative when select failed.
int wait_for(SOCKET s, bool write, double until, bool* failed = nullptr) {
    for (;;) {
        const int slice = waits::next_slice(until);
        if (slice < 0) return 0;
        fd_set ready;
        fd_set error;
        FD_ZERO(&ready);
        FD_ZERO(&error);
        FD_SET(s, &ready);
        FD_SET(s, &error);
        timeval limit{};
        limit.tv_sec = slice / 1000;
        limit.tv_usec = (slice % 1000) * 1000;
        const int count =
            select(0, write ? nullptr : &ready, write ? &ready : nullptr, &error, &limit);
        if (count < 0) return count;
        if (count == 0) continue;
        if (failed != nullptr) *failed = FD_ISSET(s, &error) != 0;
        return 1;
    }
}

// The socket's own send or receive limit, as set when it connected.
double io_limit_seconds(SOCKET s, int option) {
    DWORD limit = 0;
    int size = sizeof limit;
    if (getsockopt(s, SOL_SOCKET, option, reinterpret_cast<char*>(&limit), &size) != 0 ||
        limit == 0) {
        return 10.0;
    }
    return static_cast<double>(limit) / 1000.0;
}

// True, with the last error set, when a test made this call fail.
bool injected_failure(NetCall call) {
    int code = 0;
    if (!waits::take_injected_failure(call, &code)) return false;
    WSASetLastError(code);
    return true;
}

// Why a connect that showed in the exception set failed.
int connect_error(SOCKET s) {
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) != 0 ||
        pending == 0) {
        return WSAECONNREFUSED;
    }
    return pending;
}

ConnectResult failure(SOCKET s, ConnectStatus status, int code, const ConnectResult& so_far) {
    if (s != INVALID_SOCKET) closesocket(s);
    ConnectResult result = so_far;
    result.socket = NO_SOCKET;
    result.status = status;
    result.code = code;
    return result;
}

}  // namespace

bool resolve_ipv4(const char* host, uint32_t* address) {
    if (!is_plausible_host_name(host)) return false;
    ADDRINFOA hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool ok = false;
    for (const ADDRINFOA* entry = found; entry != nullptr; entry = entry->ai_next) {
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
    ConnectResult result{NO_SOCKET, ConnectStatus::SocketFailed, SOCKET_ERROR, false, 0};
    if (port < 1 || port > 65535)
        return failure(INVALID_SOCKET, ConnectStatus::Refused, WSAECONNREFUSED, result);
    const SOCKET s = injected_failure(NetCall::Socket) ? INVALID_SOCKET
                                                       : socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return failure(s, ConnectStatus::SocketFailed, SOCKET_ERROR, result);

    const bool nonblocking = !injected_failure(NetCall::NonBlocking) && set_nonblocking(s, true);
    if (!nonblocking) {
        result.nonBlockingUnavailable = true;
        result.nonBlockingCode = SOCKET_ERROR;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(port));
    peer.sin_addr.s_addr = address;
    const int connected = injected_failure(NetCall::Connect)
                              ? SOCKET_ERROR
                              : connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);

    if (!nonblocking) {
        if (connected == SOCKET_ERROR) {
            return failure(s, ConnectStatus::BlockingConnectFailed, SOCKET_ERROR, result);
        }
    } else {
        if (connected == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            return failure(s, ConnectStatus::Refused, WSAGetLastError(), result);
        }
        if (connected == SOCKET_ERROR) {
            // Winsock reports a failed connect in the exception set, never as
            // writable: without it a refused connect would wait out the limit.
            bool failed = false;
            const int ready =
                injected_failure(NetCall::Wait)
                    ? SOCKET_ERROR
                    : wait_for(s, true, monotonic_seconds() + timeoutMs / 1000.0, &failed);
            if (ready == 0) return failure(s, ConnectStatus::TimedOut, 0, result);
            if (ready < 0) return failure(s, ConnectStatus::WaitFailed, ready, result);
            if (failed) return failure(s, ConnectStatus::Refused, connect_error(s), result);
        }
        if (injected_failure(NetCall::RestoreBlocking) || !set_nonblocking(s, false)) {
            return failure(s, ConnectStatus::RestoreBlockingFailed, SOCKET_ERROR, result);
        }
    }
    set_timeouts(s, ioTimeoutMs);
    result.socket = static_cast<Socket>(s);
    result.status = ConnectStatus::Connected;
    result.code = 0;
    return result;
}

bool send_all(Socket socket, const char* bytes, size_t length) {
    const double limit = io_limit_seconds(native(socket), SO_SNDTIMEO);
    while (length > 0) {
        if (wait_for(native(socket), true, monotonic_seconds() + limit) != 1) return false;
        const int piece = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        const int sent = send(native(socket), bytes, piece, 0);
        if (sent == SOCKET_ERROR || sent == 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

long receive(Socket socket, char* buffer, size_t capacity) {
    const double until = monotonic_seconds() + io_limit_seconds(native(socket), SO_RCVTIMEO);
    if (wait_for(native(socket), false, until) != 1) return -1;
    const int piece = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
    return recv(native(socket), buffer, piece, 0);
}

void close_socket(Socket socket) {
    if (socket != NO_SOCKET) closesocket(native(socket));
}

}  // namespace platform
