// The 127.0.0.1 address of a port, for the tests' servers. Include it after
// the platform's socket headers (winsock2.h, or netinet/in.h and arpa/inet.h).
#pragma once

#include <cstdint>

inline sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
