// How long the image client waits for a host, and how long a job pauses
// before asking again. A job and each download carry these values in their
// options, so every download thread reads its own copy, and a test states
// its timing where it calls.
#pragma once

inline constexpr int CONNECT_TIMEOUT_MS = 10000;
inline constexpr int SOCKET_TIMEOUT_MS = 10000;
// One attempt (a request and its response) gives up after this long, so a
// server that drips its bytes cannot hold a job forever.
inline constexpr double DOWNLOAD_TIME_LIMIT_S = 60;
// The pauses before the extra tries of an address whose failure may pass
// (the first, then every later one).
inline constexpr double FIRST_RETRY_PAUSE_S = 1;
inline constexpr double LATER_RETRY_PAUSE_S = 4;
// The longest connect and socket limit kelvane-cli's --timeout takes, in
// seconds: longer than the attempt's own limit would change nothing.
inline constexpr int MAX_TIMEOUT_SECONDS = 60;

struct NetworkPolicy {
    int connectTimeoutMs = CONNECT_TIMEOUT_MS;  // the connect, and the wait for a name's lookup
    int socketTimeoutMs = SOCKET_TIMEOUT_MS;    // each send, and each wait for the server
    double attemptLimitS = DOWNLOAD_TIME_LIMIT_S;
    double firstRetryPauseS = FIRST_RETRY_PAUSE_S;
    double laterRetryPauseS = LATER_RETRY_PAUSE_S;
};
