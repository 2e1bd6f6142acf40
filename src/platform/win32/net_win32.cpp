// Winsock behind platform/net.h. WSAStartup is the front end's job.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/net.h"
#include "platform/net_names.h"

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
        return failure(INVALID_SOCKET, ConnectStatus::Refused, -1, result);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return failure(s, ConnectStatus::SocketFailed, SOCKET_ERROR, result);

    const bool nonblocking = set_nonblocking(s, true);
    if (!nonblocking) {
        result.nonBlockingUnavailable = true;
        result.nonBlockingCode = SOCKET_ERROR;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(port));
    peer.sin_addr.s_addr = address;
    const int connected = connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);

    if (!nonblocking) {
        if (connected == SOCKET_ERROR) {
            return failure(s, ConnectStatus::BlockingConnectFailed, SOCKET_ERROR, result);
        }
    } else {
        if (connected == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            return failure(s, ConnectStatus::Refused, SOCKET_ERROR, result);
        }
        if (connected == SOCKET_ERROR) {
            // Winsock reports a failed connect in the exception set, never as
            // writable: without it a refused connect would wait out the limit.
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit{};
            limit.tv_sec = timeoutMs / 1000;
            limit.tv_usec = (timeoutMs % 1000) * 1000;
            const int ready = select(0, nullptr, &writable, &failed, &limit);
            if (ready == 0) return failure(s, ConnectStatus::TimedOut, 0, result);
            if (ready < 0) return failure(s, ConnectStatus::WaitFailed, ready, result);
            if (FD_ISSET(s, &failed) || !FD_ISSET(s, &writable)) {
                return failure(s, ConnectStatus::Refused, SOCKET_ERROR, result);
            }
        }
        if (!set_nonblocking(s, false)) {
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
    while (length > 0) {
        const int piece = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        const int sent = send(native(socket), bytes, piece, 0);
        if (sent == SOCKET_ERROR || sent == 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

long receive(Socket socket, char* buffer, size_t capacity) {
    const int piece = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
    return recv(native(socket), buffer, piece, 0);
}

void close_socket(Socket socket) {
    if (socket != NO_SOCKET) closesocket(native(socket));
}

}  // namespace platform
