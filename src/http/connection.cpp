#include "http/connection.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/net_names.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/memory.h"
#include "shell/ptr_vector.h"

StrHashTable* ConnectionPool = nullptr;
StrHashTable* ConnectFailureCounts = nullptr;
StrHashTable* HostTimeoutCounts = nullptr;

namespace {

// The tables and the lookups are shared by the download threads.
std::mutex tables_mutex;

// Set once a time-out has been counted since the last reset, so that the
// exchanges of a job without any skip the table.
std::atomic<bool> anyTimeouts{false};

// The job's lookups, one per host name, answered or still running.
struct CachedLookup {
    std::shared_ptr<platform::HostLookup> lookup;
    double started;
};
std::unordered_map<std::string, CachedLookup> lookups;

// Why this thread's last connect failed.
thread_local FailureKind lastFailureKind = FailureKind::None;

struct IdleConnections {
    int count;
    Connection connections[MAX_IDLE_SOCKETS];
};

std::atomic<int> connect_timeout_ms{CONNECT_TIMEOUT_MS};
std::atomic<int> socket_timeout_ms{SOCKET_TIMEOUT_MS};

// "host:port", or "https://host:port" over TLS, on the heap and sized to
// fit, so no host name is ever cut short into another host's key.
char* host_key(const char* host, int port, Transport transport) {
    const char* scheme = transport == Transport::Tls ? "https://" : "";
    const int length = std::snprintf(nullptr, 0, "%s%s:%d", scheme, host, port);
    char* key = static_cast<char*>(xmalloc(checked_add(static_cast<size_t>(length), 1)));
    std::snprintf(key, static_cast<size_t>(length) + 1, "%s%s:%d", scheme, host, port);
    return key;
}

void set_failure_count(const char* host, int port, Transport transport, intptr_t count) {
    char* key = host_key(host, port, transport);
    // A count of 0 is stored too, so only presence says whose key it is.
    const bool present = strhash_find(ConnectFailureCounts, key, nullptr);
    strhash_put(ConnectFailureCounts, key, reinterpret_cast<void*>(count));
    if (present) std::free(key);  // the table kept its own
}

int failure_count_locked(const char* host, int port, Transport transport) {
    char* key = host_key(host, port, transport);
    const intptr_t count = reinterpret_cast<intptr_t>(strhash_get(ConnectFailureCounts, key));
    std::free(key);
    return static_cast<int>(count);
}

void raise_failure_count(const char* host, int port, Transport transport) {
    std::lock_guard<std::mutex> lock(tables_mutex);
    set_failure_count(host, port, transport, failure_count_locked(host, port, transport) + 1);
}

void clear_failure_count(const char* host, int port, Transport transport) {
    std::lock_guard<std::mutex> lock(tables_mutex);
    if (failure_count_locked(host, port, transport) != 0)
        set_failure_count(host, port, transport, 0);
}

int timeout_count_locked(const char* key) {
    if (!anyTimeouts.load()) return 0;
    return static_cast<int>(reinterpret_cast<intptr_t>(strhash_get(HostTimeoutCounts, key)));
}

// The text of a host given up for the job, when it is one.
bool given_up(const char* host, int port, Transport transport, char* errorText) {
    if (!anyTimeouts.load()) return false;
    if (host_timeout_count(host, port, transport) < HOST_TIMEOUT_LIMIT) return false;
    format_error_text(errorText, "主机多次没有响应，本次不再等待：%s:%d", host, port);
    return true;
}

// Every address of `host`, from the job's one lookup of it. A lookup that
// does not answer within the connect limit fails like a name that does not
// resolve, for every download that waits for it.
bool host_addresses(const char* host, platform::HostAddresses* out) {
    CachedLookup cached;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        auto found = lookups.find(host);
        if (found == lookups.end()) {
            found = lookups
                        .emplace(host, CachedLookup{platform::start_host_lookup(host),
                                                    platform::monotonic_seconds()})
                        .first;
        }
        cached = found->second;
    }
    const double until = cached.started + connect_timeout_ms.load() / 1000.0;
    return platform::wait_host_lookup(cached.lookup.get(), until, out) ==
           platform::LookupStatus::Found;
}

// The TCP half of every connection. A plain connect that proves the host is
// back clears its count; over TLS only a finished handshake does.
platform::Socket connect_counted(const char* host, int port, Transport transport, char* errorText) {
    lastFailureKind = FailureKind::None;
    if (host == nullptr) {
        format_error_text(errorText, "域名 = null");
        lastFailureKind = FailureKind::BadAddress;
        return platform::NO_SOCKET;
    }
    if (connect_failure_count(host, port, transport) >= CONNECT_FAILURE_LIMIT) {
        format_error_text(errorText, "%s:%d - 连接失败已连续发生5次+", host, port);
        lastFailureKind = FailureKind::HostGivenUp;
        return platform::NO_SOCKET;
    }
    if (given_up(host, port, transport, errorText)) {
        lastFailureKind = FailureKind::HostGivenUp;
        return platform::NO_SOCKET;
    }
    platform::HostAddresses addresses;
    if (!host_addresses(host, &addresses)) {
        format_error_text(errorText, "无法解析域名: %s", host);
        lastFailureKind = FailureKind::Dns;
        return platform::NO_SOCKET;
    }

    const platform::ConnectResult result =
        platform::connect_tcp(addresses, port, connect_timeout_ms.load(), socket_timeout_ms.load());
    if (result.nonBlockingUnavailable) {
        app_log_format("开启非阻塞方式连接失败，错误代码：%d，继续使用阻塞方式进行连接。",
                       result.nonBlockingCode);
    }
    lastFailureKind = FailureKind::Connect;
    switch (result.status) {
        case platform::ConnectStatus::Connected:
            lastFailureKind = FailureKind::None;
            // Only a connect that was timed (non-blocking) proves the host is back.
            if (!result.nonBlockingUnavailable && transport == Transport::Plain)
                clear_failure_count(host, port, transport);
            return result.socket;
        case platform::ConnectStatus::SocketFailed:
            format_error_text(errorText, "INVALID_SOCKET");
            break;
        case platform::ConnectStatus::TimedOut:
            format_error_text(errorText, "使用非阻塞方式连接超时。");
            lastFailureKind = FailureKind::Timeout;
            // A connect cut by a stop says nothing about the host.
            if (platform::last_wait_end() != platform::WaitEnd::Aborted)
                raise_failure_count(host, port, transport);
            break;
        case platform::ConnectStatus::WaitFailed:
            format_error_text(errorText, "使用非阻塞方式连接发生错误，错误码:%d", result.code);
            break;
        case platform::ConnectStatus::Refused:
            // A refused connect is as much a dead host as a silent one: it
            // counts, and it says so at once instead of after the limit. Its
            // own text (with the system's error number) keeps it apart from
            // a failed wait in app.log.
            format_error_text(errorText, "连接被拒绝，错误码:%d", result.code);
            lastFailureKind = FailureKind::Refused;
            raise_failure_count(host, port, transport);
            break;
        case platform::ConnectStatus::RestoreBlockingFailed:
            format_error_text(errorText, "将socket重置为阻塞模式出错, 错误码:%d\n", result.code);
            break;
        case platform::ConnectStatus::BlockingConnectFailed:
            format_error_text(errorText, "socket bio connect() failed");
            raise_failure_count(host, port, transport);
            break;
    }
    return platform::NO_SOCKET;
}

// The user's text for a TLS attempt that could not be made.
void format_tls_failure(char* errorText, platform::TlsFailure failure, const char* host) {
    switch (failure) {
        case platform::TlsFailure::Untrusted:
            format_error_text(errorText, "HTTPS证书不受信任");
            break;
        case platform::TlsFailure::NameMismatch:
            format_error_text(errorText, "HTTPS证书与域名不符: %s", host);
            break;
        case platform::TlsFailure::TimedOut:
            format_error_text(errorText, "HTTPS握手超时");
            break;
        case platform::TlsFailure::Unavailable:
            format_error_text(errorText, "HTTPS无法使用: TLS初始化失败");
            break;
        case platform::TlsFailure::Handshake:
        case platform::TlsFailure::None:
            format_error_text(errorText, "HTTPS握手失败: 服务器没有完成TLS握手");
            break;
    }
}

}  // namespace

void format_error_text(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, ERROR_TEXT_SIZE, format, args);
    va_end(args);
}

void connection_tables_init() {
    if (ConnectionPool == nullptr)
        ConnectionPool = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    if (ConnectFailureCounts == nullptr) {
        ConnectFailureCounts =
            strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    }
    if (HostTimeoutCounts == nullptr) {
        HostTimeoutCounts =
            strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);
    }
}

int host_timeout_count(const char* host, int port, Transport transport) {
    char* key = host_key(host, port, transport);
    std::lock_guard<std::mutex> lock(tables_mutex);
    const int count = timeout_count_locked(key);
    std::free(key);
    return count;
}

void note_exchange_timed_out(const char* host, int port, Transport transport) {
    if (host == nullptr) return;
    char* key = host_key(host, port, transport);
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        anyTimeouts.store(true);
        count = timeout_count_locked(key) + 1;
        const bool present = strhash_find(HostTimeoutCounts, key, nullptr);
        strhash_put(HostTimeoutCounts, key, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
        if (present) std::free(key);  // the table kept its own
    }
    if (count == HOST_TIMEOUT_LIMIT) {
        app_log_format("%s:%d 连续%d次没有响应，本次不再等待这个主机", host, port, count);
    }
}

void note_host_answered(const char* host, int port, Transport transport) {
    if (host == nullptr || !anyTimeouts.load()) return;
    char* key = host_key(host, port, transport);
    std::lock_guard<std::mutex> lock(tables_mutex);
    if (timeout_count_locked(key) != 0) {
        strhash_put(HostTimeoutCounts, key, nullptr);  // the table keeps its own key
    }
    std::free(key);
}

int connect_failure_count(const char* host, int port, Transport transport) {
    std::lock_guard<std::mutex> lock(tables_mutex);
    return failure_count_locked(host, port, transport);
}

FailureKind last_connect_failure_kind() {
    return lastFailureKind;
}

bool last_connect_failure_permanent() {
    return lastFailureKind == FailureKind::BadAddress || lastFailureKind == FailureKind::Dns ||
           lastFailureKind == FailureKind::HostGivenUp || lastFailureKind == FailureKind::Tls;
}

platform::Socket connect_to_host(const char* host, int port, char* errorText) {
    return connect_counted(host, port, Transport::Plain, errorText);
}

Connection open_connection(const char* host, int port, Transport transport, char* errorText) {
    Connection connection;
    connection.socket = connect_counted(host, port, transport, errorText);
    if (transport == Transport::Plain || !connection.is_open()) return connection;

    platform::TlsFailure failure = platform::TlsFailure::None;
    char detail[platform::TLS_DETAIL_SIZE];
    // The certificate names an IPv6 address without the brackets of a URL.
    char bare[48];
    const char* name = platform::ipv6_literal_inside(host, bare, sizeof bare) ? bare : host;
    connection.tls = platform::tls_start(connection.socket, name, &failure, detail);
    if (connection.tls == nullptr) {
        platform::close_socket(connection.socket);
        connection.socket = platform::NO_SOCKET;
        format_tls_failure(errorText, failure, host);
        // A stalled handshake is a host that does not answer, like any other.
        lastFailureKind =
            failure == platform::TlsFailure::TimedOut ? FailureKind::Timeout : FailureKind::Tls;
        app_log_format("%s:%d - %s (%s)", host, port, errorText, detail);
        // A host whose TLS fails is skipped like a dead one after the limit,
        // so that each image does not pay for the handshake again.
        raise_failure_count(host, port, transport);
        if (failure == platform::TlsFailure::TimedOut &&
            platform::last_wait_end() != platform::WaitEnd::Aborted) {
            note_exchange_timed_out(host, port, transport);
        }
        return connection;
    }
    clear_failure_count(host, port, transport);
    return connection;
}

bool connection_send_all(const Connection& connection, const char* bytes, size_t length) {
    return connection.tls != nullptr ? platform::tls_send_all(connection.tls, bytes, length)
                                     : platform::send_all(connection.socket, bytes, length);
}

long connection_receive(const Connection& connection, char* buffer, size_t capacity) {
    return connection.tls != nullptr ? platform::tls_receive(connection.tls, buffer, capacity)
                                     : platform::receive(connection.socket, buffer, capacity);
}

void connection_close(Connection* connection, bool orderly) {
    if (connection->tls != nullptr) {
        platform::tls_close(connection->tls, orderly);
    } else {
        platform::close_socket(connection->socket);
    }
    *connection = Connection{};
}

Connection pool_get_connection(const char* host, int port, Transport transport, char* errorText) {
    if (host == nullptr) return open_connection(host, port, transport, errorText);
    // A host given up for the job lends nothing, not even an idle connection.
    if (given_up(host, port, transport, errorText)) {
        lastFailureKind = FailureKind::HostGivenUp;
        return Connection{};
    }
    char* key = host_key(host, port, transport);
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (auto* idle = static_cast<IdleConnections*>(strhash_get(ConnectionPool, key))) {
            const Connection connection = idle->connections[--idle->count];
            if (idle->count == 0) std::free(strhash_remove(ConnectionPool, key));
            std::free(key);
            return connection;
        }
    }
    std::free(key);
    app_log_format("%s:%d --- new socket()%s", host, port,
                   transport == Transport::Tls ? " (HTTPS)" : "");
    return open_connection(host, port, transport, errorText);
}

void pool_put_connection(const char* host, int port, Transport transport, Connection connection) {
    if (host == nullptr || !connection.is_open()) return;
    char* key = host_key(host, port, transport);
    std::unique_lock<std::mutex> lock(tables_mutex);
    auto* idle = static_cast<IdleConnections*>(strhash_get(ConnectionPool, key));
    if (idle == nullptr) {
        idle = static_cast<IdleConnections*>(xcalloc(1, sizeof(IdleConnections)));
        strhash_put(ConnectionPool, key, idle);  // the table owns the key now
    } else {
        std::free(key);
    }
    if (idle->count == MAX_IDLE_SOCKETS) {
        lock.unlock();
        connection_close(&connection, true);
        return;
    }
    idle->connections[idle->count++] = connection;
}

int pooled_connection_count(const char* host, int port, Transport transport) {
    char* key = host_key(host, port, transport);
    std::lock_guard<std::mutex> lock(tables_mutex);
    const auto* idle = static_cast<const IdleConnections*>(strhash_get(ConnectionPool, key));
    std::free(key);
    return idle != nullptr ? idle->count : 0;
}

void reset_connect_failures() {
    std::lock_guard<std::mutex> lock(tables_mutex);
    strhash_clear(ConnectFailureCounts, 0);
    strhash_clear(HostTimeoutCounts, 0);
    anyTimeouts.store(false);
    lookups.clear();  // a lookup still running finishes for nobody
}

void set_connection_time_limits(int connectMs, int socketMs) {
    connect_timeout_ms.store(connectMs);
    socket_timeout_ms.store(socketMs);
}

void set_connection_timeouts_for_testing(int connectMs, int socketMs) {
    set_connection_time_limits(connectMs, socketMs);
}

void connection_tables_reset_for_testing() {
    connection_tables_init();
    std::lock_guard<std::mutex> lock(tables_mutex);
    StrHashKeyList* keys = strhash_keys(ConnectionPool);
    for (StrHashKeyList* cell = keys; cell != nullptr; cell = cell->next) {
        auto* idle = static_cast<IdleConnections*>(strhash_get(ConnectionPool, cell->key));
        for (int i = 0; i < idle->count; ++i) connection_close(&idle->connections[i], false);
        std::free(idle);
    }
    strhash_free_keys(keys);
    strhash_clear(ConnectionPool, 0);
    strhash_clear(ConnectFailureCounts, 0);
    strhash_clear(HostTimeoutCounts, 0);
    anyTimeouts.store(false);
    lookups.clear();
}
