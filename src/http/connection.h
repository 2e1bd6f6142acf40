// Connections for the image download: one name lookup per host and job,
// every address of a name raced for the connect, a connect limit, send and
// receive time-outs, TLS where the address asks for it, counts of
// consecutive connect failures and of exchanges that timed out per transport,
// host and port, and a pool of idle keep-alive connections per transport,
// host and port. Safe to use from several download threads at once.
#pragma once

#include <cstddef>

#include "http/failure_kind.h"
#include "http/url.h"
#include "platform/net.h"
#include "platform/tls.h"
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
// A host and port is given up for the rest of the job after this many
// exchanges in a row that timed out once connected (no answer within the
// socket limit, a stalled TLS handshake, the attempt's time limit).
inline constexpr int HOST_TIMEOUT_LIMIT = 3;
inline constexpr int CONNECT_TIMEOUT_MS = 10000;
inline constexpr int SOCKET_TIMEOUT_MS = 10000;

// The most idle keep-alive sockets kept for one host and port.
inline constexpr int MAX_IDLE_SOCKETS = 32;

// "host:port" (plain) or "https://host:port" (TLS) -> its idle keep-alive
// connections (present while there is one).
extern StrHashTable* ConnectionPool;
// The same keys -> consecutive connect failures, stored in the value slot.
// Over TLS a failed handshake counts as a failed connect.
extern StrHashTable* ConnectFailureCounts;
// The same keys -> exchanges in a row that timed out, in the value slot.
extern StrHashTable* HostTimeoutCounts;

// One open connection to an image host: a socket, and the TLS session that
// owns it when the exchange goes over TLS.
struct Connection {
    platform::Socket socket = platform::NO_SOCKET;
    platform::TlsSession* tls = nullptr;
    bool is_open() const { return socket != platform::NO_SOCKET; }
};

// send_all and receive of platform/net.h, through TLS when the connection has it.
bool connection_send_all(const Connection& connection, const char* bytes, size_t length);
long connection_receive(const Connection& connection, char* buffer, size_t capacity);
// Closes the connection and marks it closed. `orderly` ends a TLS session
// with close_notify; after a failed exchange the peer may not listen any more.
void connection_close(Connection* connection, bool orderly);

// A connection to host and port over `transport`, or a closed one with the
// reason in `errorText` (ERROR_TEXT_SIZE bytes). Over TLS the handshake is
// part of it: a certificate the system does not trust, or one for another
// host, fails it like a refused connect, with its own text.
Connection open_connection(const char* host, int port, Transport transport, char* errorText);

// Creates both tables; once, after Winsock has been started, before any
// download. Calling it again changes nothing.
void connection_tables_init();

// A connected, blocking socket with 10-second send and receive time-outs, or
// NO_SOCKET with the reason in `errorText` (ERROR_TEXT_SIZE bytes): the plain
// TCP connect of open_connection.
platform::Socket connect_to_host(const char* host, int port, char* errorText);

// Why the last failed connect_to_host, open_connection or pool_get_connection
// of this thread failed.
FailureKind last_connect_failure_kind();

// Whether the last failed connect_to_host or open_connection of this thread failed for a reason
// that waiting does not change: no host, a name that does not resolve, a
// host refused after too many failures or time-outs in a row, or a TLS
// handshake that failed (a certificate does not mend itself in a few seconds).
bool last_connect_failure_permanent();

// An idle pooled connection for transport, host and port, or a new one from
// open_connection. Either way it is the caller's until it goes back with
// pool_put_connection (or is closed), so no two downloads ever share one.
Connection pool_get_connection(const char* host, int port, Transport transport, char* errorText);

// Hands a connection whose exchange ended cleanly back to the pool for the
// next download from the same transport, host and port (closed instead when
// the pool is full).
void pool_put_connection(const char* host, int port, Transport transport, Connection connection);

// The idle connections pooled for transport, host and port.
int pooled_connection_count(const char* host, int port, Transport transport = Transport::Plain);

// An exchange with transport, host and port timed out after the connection
// stood (or its TLS handshake stalled); at HOST_TIMEOUT_LIMIT in a row the
// host and port is given up until reset_connect_failures: its connections
// then fail at once with their own text.
void note_exchange_timed_out(const char* host, int port, Transport transport);
// The host answered an exchange: its time-outs in a row start again from 0.
void note_host_answered(const char* host, int port, Transport transport);
// The exchanges in a row that timed out for transport, host and port.
int host_timeout_count(const char* host, int port, Transport transport = Transport::Plain);

// Forgets every failure and time-out count and every name lookup; the move
// job calls it when a job ends, so that the next job tries every host again.
void reset_connect_failures();

// The connect limit and the send and receive limit of later connections
// (kelvane-cli's --timeout); CONNECT_TIMEOUT_MS and SOCKET_TIMEOUT_MS unless set.
// Longer than the attempt's own limit (DOWNLOAD_TIME_LIMIT_S) would change nothing.
inline constexpr int MAX_TIMEOUT_SECONDS = 60;
void set_connection_time_limits(int connectMs, int socketMs);

// The consecutive failures recorded for transport, host and port.
int connect_failure_count(const char* host, int port, Transport transport = Transport::Plain);

// Tests only: shorter limits than the 10 seconds, so a time-out can be
// provoked without waiting for it. Applies to later connects.
void set_connection_timeouts_for_testing(int connectMs, int socketMs);
// Tests only: closes every pooled connection and empties both tables.
void connection_tables_reset_for_testing();
