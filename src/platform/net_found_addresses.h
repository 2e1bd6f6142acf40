// The addresses a system lookup found, in the program's own form. For each
// platform's socket code, after its socket headers: POSIX's addrinfo and
// Windows' ADDRINFOW have the same fields.
#pragma once

#include <cstring>

#include "platform/net.h"

namespace platform::sockets {

// Appends each IPv4 and IPv6 address of the list to `out`, in the system's
// order, up to MAX_HOST_ADDRESSES; entries too short for their family are
// passed over. False when none was taken.
template <typename AddressInfo>
bool take_found_addresses(const AddressInfo* found, HostAddresses* out) {
    for (const AddressInfo* entry = found; entry != nullptr && out->count < MAX_HOST_ADDRESSES;
         entry = entry->ai_next) {
        NetAddress& address = out->list[out->count];
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            address.family = 4;
            std::memcpy(address.bytes,
                        &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
            ++out->count;
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            address.family = 6;
            std::memcpy(address.bytes,
                        &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr, 16);
            ++out->count;
        }
    }
    return out->count > 0;
}

}  // namespace platform::sockets
