// Winsock behind platform/net.h. WSAStartup is the front end's job.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/net.h"
#include "platform/net_found_addresses.h"
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
// deadline ends the wait early. 1 when ready (or when the socket shows in the
// exception set), 0 when the wait ended first, negative when select failed.
int wait_for(SOCKET s, bool write, double until) {
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

}  // namespace

namespace sockets {

Started start_connect(const NetAddress& address, int port) {
    Started started{NO_SOCKET, false, false, ConnectStatus::SocketFailed, SOCKET_ERROR};
    const int family = address.family == 6 ? AF_INET6 : AF_INET;
    const SOCKET s = injected_failure(NetCall::Socket) ? INVALID_SOCKET
                                                       : socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return started;

    const bool nonblocking = !injected_failure(NetCall::NonBlocking) && set_nonblocking(s, true);
    started.blocking = !nonblocking;
    sockaddr_storage peer{};
    int size = 0;
    if (family == AF_INET6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(&peer);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<u_short>(port));
        std::memcpy(&six->sin6_addr, address.bytes, 16);
        size = sizeof *six;
    } else {
        auto* four = reinterpret_cast<sockaddr_in*>(&peer);
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<u_short>(port));
        std::memcpy(&four->sin_addr, address.bytes, 4);
        size = sizeof *four;
    }
    const int connected = injected_failure(NetCall::Connect)
                              ? SOCKET_ERROR
                              : connect(s, reinterpret_cast<const sockaddr*>(&peer), size);
    if (connected != SOCKET_ERROR) {
        started.socket = static_cast<Socket>(s);
        started.status = ConnectStatus::Connected;
        started.code = 0;
        return started;
    }
    if (!nonblocking) {
        closesocket(s);
        started.status = ConnectStatus::BlockingConnectFailed;
        return started;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
        closesocket(s);
        started.status = ConnectStatus::Refused;
        started.code = error;
        return started;
    }
    started.socket = static_cast<Socket>(s);
    started.pending = true;
    started.status = ConnectStatus::Connected;
    started.code = 0;
    return started;
}

int wait_for_connect(const Socket* sockets, int count, int ms, int* error) {
    if (injected_failure(NetCall::Wait)) {
        *error = SOCKET_ERROR;
        return -2;
    }
    // Winsock reports a failed connect in the exception set, never as
    // writable: without it a refused connect would wait out the limit.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (int i = 0; i < count; ++i) {
        FD_SET(native(sockets[i]), &writable);
        FD_SET(native(sockets[i]), &failed);
    }
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready < 0) {
        *error = ready;
        return -2;
    }
    for (int i = 0; i < count && ready > 0; ++i) {
        if (FD_ISSET(native(sockets[i]), &failed)) {
            *error = connect_error(native(sockets[i]));
            return i;
        }
        if (FD_ISSET(native(sockets[i]), &writable)) {
            *error = 0;
            return i;
        }
    }
    return -1;
}

bool finish_connect(Socket socket, bool blocking, int ioTimeoutMs) {
    if (!blocking &&
        (injected_failure(NetCall::RestoreBlocking) || !set_nonblocking(native(socket), false)))
        return false;
    set_timeouts(native(socket), ioTimeoutMs);
    return true;
}

int refused_code() {
    return WSAECONNREFUSED;
}

bool system_lookup(const char* name, HostAddresses* out) {
    // The name is plain ASCII (is_plausible_host_name), so widening is a copy.
    wchar_t wide[256];
    const size_t length = std::strlen(name);
    if (length >= sizeof wide / sizeof wide[0]) return false;
    for (size_t i = 0; i <= length; ++i) wide[i] = static_cast<wchar_t>(name[i]);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (GetAddrInfoW(wide, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    const bool taken = take_found_addresses(found, out);
    FreeAddrInfoW(found);
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
