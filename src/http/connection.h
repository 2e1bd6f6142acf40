// Connected sockets for the image download: name lookup, a connect limit,
// send and receive time-outs, a count of consecutive connect failures per
// host and port, and a pool of idle keep-alive sockets per host and port.
// Safe to use from several download threads at once.
#pragma once

#include <cstddef>

#include "platform/net.h"
#include "shell/str_hash_table.h"

// Failure texts go into caller buffers of this size.
inline constexpr size_t ERROR_TEXT_SIZE = 1024;
// Formats a failure text into a caller buffer of ERROR_TEXT_SIZE bytes.
void format_error_text(char* out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A host and port is refused outright after this many connect failures in a row.
inline constexpr int CONNECT_FAILURE_LIMIT = 5;
inline constexpr int CONNECT_TIMEOUT_MS = 10000;
inline constexpr int SOCKET_TIMEOUT_MS = 10000;

// The most idle keep-alive sockets kept for one host and port.
inline constexpr int MAX_IDLE_SOCKETS = 32;

// "host:port" -> its idle keep-alive sockets (present while there is one).
extern StrHashTable* ConnectionPool;
// "host:port" -> consecutive connect failures, stored in the value slot.
extern StrHashTable* ConnectFailureCounts;

// Creates both tables; once, after Winsock has been started, before any
// download. Calling it again changes nothing.
void connection_tables_init();

// A connected, blocking socket with 10-second send and receive time-outs, or
// NO_SOCKET with the reason in `errorText` (ERROR_TEXT_SIZE bytes).
platform::Socket connect_to_host(const char* host, int port, char* errorText);

// Whether the last failed connect_to_host of this thread failed for a reason
// that waiting does not change: no host, a name that does not resolve, or a
// host refused after too many failures in a row.
bool last_connect_failure_permanent();

// An idle pooled socket for host and port, or a new one from connect_to_host.
// Either way it is the caller's until it goes back with pool_put_socket (or
// is closed), so no two downloads ever share one.
platform::Socket pool_get_socket(const char* host, int port, char* errorText);

// Hands a socket whose exchange ended cleanly back to the pool for the next
// download from host and port (closed instead when the pool is full).
void pool_put_socket(const char* host, int port, platform::Socket socket);

// The idle sockets pooled for host and port.
int pooled_socket_count(const char* host, int port);

// Forgets every failure count; the move job calls it when a job ends.
void reset_connect_failures();

// The consecutive failures recorded for host and port.
int connect_failure_count(const char* host, int port);

// Tests only: shorter limits than the 10 seconds, so a time-out can be
// provoked without waiting for it. Applies to later connects.
void set_connection_timeouts_for_testing(int connectMs, int socketMs);
// Tests only: closes every pooled socket and empties both tables.
void connection_tables_reset_for_testing();
