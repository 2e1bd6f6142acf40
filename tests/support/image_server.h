// A loopback image host for tests of whole jobs: serves the images it was
// given over keep-alive connections, answers 404 to anything else, and counts
// the requests for every path.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/scripted_server.h"

class ImageServer {
  public:
    ImageServer();

    // Serves `body` at `path` (which starts with "/") as a 200 response,
    // each time after a pause of `pauseMs`.
    void add(const std::string& path, const std::string& body, int pauseMs = 0);
    // Answers `path` with exactly these response bytes, holding the connection.
    void add_raw(const std::string& path, const std::string& response);
    // Answers the n-th request for `path` with the n-th of `answers` (the
    // response bytes and a pause before them), the last one from then on.
    void add_sequence(const std::string& path, std::vector<std::pair<std::string, int>> answers);
    // "http://127.0.0.1:PORT" + path.
    std::string url(const std::string& path) const;
    int port() const { return server_.port(); }
    // GET requests seen for `path` (a 404 is asked twice: the client retries once).
    int hits(const std::string& path) const;
    int total_hits() const;
    // Connections accepted so far.
    int connections() const { return server_.connections(); }
    // Every reply from now on waits this long before it goes out.
    void set_delay_ms(int ms);
    // Replies for `path` wait this long instead (-1: the common delay again).
    void set_path_delay_ms(const std::string& path, int ms);
    // A TLS hello is answered "400 Bad Request", as a plain HTTP server
    // answers it, instead of being held unanswered.
    void set_reject_tls(bool reject) { server_.set_reject_tls(reject); }

  private:
    ScriptedReply answer(const std::string& request);

    mutable std::mutex mutex_;
    std::map<std::string, std::string> responses_;
    std::map<std::string, std::vector<std::pair<std::string, int>>> sequences_;
    std::map<std::string, int> hits_;
    std::map<std::string, int> pathDelayMs_;
    int delayMs_ = 0;
    // Last, so it is destroyed first: its threads answer from the maps above.
    ScriptedServer server_;
};

// A small JPEG-looking body: the FF D8 signature and `size` bytes in all.
std::string jpeg_body(size_t size = 64, char fill = 'j');
