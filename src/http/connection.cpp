#include "http/connection.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "shell/app_log.h"
#include "shell/memory.h"
#include "shell/ptr_vector.h"

StrHashTable* ConnectionPool = nullptr;
StrHashTable* ConnectFailureCounts = nullptr;

namespace {

// Both tables are shared by the download threads.
std::mutex tables_mutex;

// Whether this thread's last failed connect failed for a reason that trying
// again soon does not change.
thread_local bool lastFailurePermanent = false;

struct IdleSockets {
    int count;
    platform::Socket sockets[MAX_IDLE_SOCKETS];
};

int connect_timeout_ms = CONNECT_TIMEOUT_MS;
int socket_timeout_ms = SOCKET_TIMEOUT_MS;

// "host:port" on the heap, sized to fit, so no host name is ever cut short
// into another host's key.
char* host_key(const char* host, int port) {
    const int length = std::snprintf(nullptr, 0, "%s:%d", host, port);
    char* key = static_cast<char*>(xmalloc(checked_add(static_cast<size_t>(length), 1)));
    std::snprintf(key, static_cast<size_t>(length) + 1, "%s:%d", host, port);
    return key;
}

// The table's node for `key`, or nullptr. Needed because a stored value of 0
// and an absent key look alike to strhash_get.
StrHashNode* find_node(const StrHashTable* table, const char* key) {
    const uint32_t hash = table->hashFn(key);
    for (StrHashNode* node = table->buckets[hash & static_cast<uint32_t>(table->capacity - 1)].next;
         node != nullptr; node = node->next) {
        if (node->hash == hash && table->compareFn(node->key, key)) return node;
    }
    return nullptr;
}

void set_failure_count(const char* host, int port, intptr_t count) {
    char* key = host_key(host, port);
    StrHashNode* node = find_node(ConnectFailureCounts, key);
    if (node != nullptr) {
        node->value = reinterpret_cast<void*>(count);
        std::free(key);
    } else {
        strhash_put(ConnectFailureCounts, key, reinterpret_cast<void*>(count));
    }
}

int failure_count_locked(const char* host, int port) {
    char* key = host_key(host, port);
    const intptr_t count = reinterpret_cast<intptr_t>(strhash_get(ConnectFailureCounts, key));
    std::free(key);
    return static_cast<int>(count);
}

void raise_failure_count(const char* host, int port) {
    std::lock_guard<std::mutex> lock(tables_mutex);
    set_failure_count(host, port, failure_count_locked(host, port) + 1);
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
        ConnectionPool = strhash_create(hash_string, strings_equal, 16, 0.75f);
    if (ConnectFailureCounts == nullptr) {
        ConnectFailureCounts = strhash_create(hash_string, strings_equal, 16, 0.75f);
    }
}

int connect_failure_count(const char* host, int port) {
    std::lock_guard<std::mutex> lock(tables_mutex);
    return failure_count_locked(host, port);
}

bool last_connect_failure_permanent() {
    return lastFailurePermanent;
}

platform::Socket connect_to_host(const char* host, int port, char* errorText) {
    lastFailurePermanent = false;
    if (host == nullptr) {
        format_error_text(errorText, "域名 = null");
        lastFailurePermanent = true;
        return platform::NO_SOCKET;
    }
    if (connect_failure_count(host, port) >= CONNECT_FAILURE_LIMIT) {
        format_error_text(errorText, "%s:%d - 连接失败已连续发生5次+", host, port);
        lastFailurePermanent = true;
        return platform::NO_SOCKET;
    }
    uint32_t address = 0;
    if (!platform::resolve_ipv4(host, &address)) {
        format_error_text(errorText, "无法解析域名: %s", host);
        lastFailurePermanent = true;
        return platform::NO_SOCKET;
    }

    const platform::ConnectResult result =
        platform::connect_tcp(address, port, connect_timeout_ms, socket_timeout_ms);
    if (result.nonBlockingUnavailable) {
        app_log_format("开启非阻塞方式连接失败，错误代码：%d，继续使用阻塞方式进行连接。",
                       result.nonBlockingCode);
    }
    switch (result.status) {
        case platform::ConnectStatus::Connected:
            // Only a connect that was timed (non-blocking) proves the host is back.
            if (!result.nonBlockingUnavailable) {
                std::lock_guard<std::mutex> lock(tables_mutex);
                if (failure_count_locked(host, port) != 0) set_failure_count(host, port, 0);
            }
            return result.socket;
        case platform::ConnectStatus::SocketFailed:
            format_error_text(errorText, "INVALID_SOCKET");
            break;
        case platform::ConnectStatus::TimedOut:
            format_error_text(errorText, "使用非阻塞方式连接超时。");
            raise_failure_count(host, port);
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
            raise_failure_count(host, port);
            break;
        case platform::ConnectStatus::RestoreBlockingFailed:
            format_error_text(errorText, "将socket重置为阻塞模式出错, 错误码:%d\n", result.code);
            break;
        case platform::ConnectStatus::BlockingConnectFailed:
            format_error_text(errorText, "socket bio connect() failed");
            raise_failure_count(host, port);
            break;
    }
    return platform::NO_SOCKET;
}

platform::Socket pool_get_socket(const char* host, int port, char* errorText) {
    if (host == nullptr) return connect_to_host(host, port, errorText);
    char* key = host_key(host, port);
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (auto* idle = static_cast<IdleSockets*>(strhash_get(ConnectionPool, key))) {
            const platform::Socket socket = idle->sockets[--idle->count];
            if (idle->count == 0) std::free(strhash_remove(ConnectionPool, key));
            std::free(key);
            return socket;
        }
    }
    std::free(key);
    app_log_format("%s:%d --- new socket()", host, port);
    return connect_to_host(host, port, errorText);
}

void pool_put_socket(const char* host, int port, platform::Socket socket) {
    if (host == nullptr || socket == platform::NO_SOCKET) return;
    char* key = host_key(host, port);
    std::unique_lock<std::mutex> lock(tables_mutex);
    auto* idle = static_cast<IdleSockets*>(strhash_get(ConnectionPool, key));
    if (idle == nullptr) {
        idle = static_cast<IdleSockets*>(xcalloc(1, sizeof(IdleSockets)));
        strhash_put(ConnectionPool, key, idle);  // the table owns the key now
    } else {
        std::free(key);
    }
    if (idle->count == MAX_IDLE_SOCKETS) {
        lock.unlock();
        platform::close_socket(socket);
        return;
    }
    idle->sockets[idle->count++] = socket;
}

int pooled_socket_count(const char* host, int port) {
    char* key = host_key(host, port);
    std::lock_guard<std::mutex> lock(tables_mutex);
    const auto* idle = static_cast<const IdleSockets*>(strhash_get(ConnectionPool, key));
    std::free(key);
    return idle != nullptr ? idle->count : 0;
}

void reset_connect_failures() {
    std::lock_guard<std::mutex> lock(tables_mutex);
    strhash_clear(ConnectFailureCounts, 0);
}

void set_connection_timeouts_for_testing(int connectMs, int socketMs) {
    connect_timeout_ms = connectMs;
    socket_timeout_ms = socketMs;
}

void connection_tables_reset_for_testing() {
    connection_tables_init();
    std::lock_guard<std::mutex> lock(tables_mutex);
    StrHashKeyList* keys = strhash_keys(ConnectionPool);
    for (StrHashKeyList* cell = keys; cell != nullptr; cell = cell->next) {
        auto* idle = static_cast<IdleSockets*>(strhash_get(ConnectionPool, cell->key));
        for (int i = 0; i < idle->count; ++i) platform::close_socket(idle->sockets[i]);
        std::free(idle);
    }
    strhash_free_keys(keys);
    strhash_clear(ConnectionPool, 0);
    strhash_clear(ConnectFailureCounts, 0);
}
