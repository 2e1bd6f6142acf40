// The 127.0.0.1 address of a port, for the tests' servers, or another
// loopback address (127.0.0.2, ::1). Include it after the platform's socket
// headers (winsock2.h and ws2tcpip.h, or netinet/in.h and arpa/inet.h).
#pragma once

#include <cstdint>
#include <cstring>

inline sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// `text` ("127.0.0.2", "::1") and `port` as a socket address of its family;
// false when the text is no numeric address.
inline bool loopback_address(const char* text, int port, sockaddr_storage* out, int* size) {
    std::memset(out, 0, sizeof *out);
    auto* four = reinterpret_cast<sockaddr_in*>(out);
    if (inet_pton(AF_INET, text, &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<uint16_t>(port));
        *size = sizeof *four;
        return true;
    }
    auto* six = reinterpret_cast<sockaddr_in6*>(out);
    if (inet_pton(AF_INET6, text, &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<uint16_t>(port));
        *size = sizeof *six;
        return true;
    }
    return false;
}
