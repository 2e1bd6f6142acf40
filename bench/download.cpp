// bench-download [IMAGES] [BYTES]: downloads IMAGES images of BYTES bytes
// each from a local keep-alive server, first with download_image (as the move
// job calls it) and then with `wget -i` on the same address list from the
// same server, in alternating rounds, and prints images/s and their ratio.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "platform/platform.h"
#include "shell/app_log.h"

namespace fs = std::filesystem;

namespace {

constexpr int ROUNDS = 3;

// Answers every GET with the same image; keeps the connection unless the
// request asks to close it. Threads per connection, stopped by the destructor.
class ImageServer {
  public:
    explicit ImageServer(size_t bytes) : body_("\xFF\xD8") {
        body_.resize(bytes, 'j');
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 64) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::perror("bench server");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~ImageServer() {
        stop_ = true;
        acceptor_.join();
        for (std::thread& t : handlers_) t.join();
        close(listener_);
    }
    int port() const { return port_; }

  private:
    void accept_loop() {
        while (!stop_) {
            struct pollfd entry {
                listener_, POLLIN, 0
            };
            if (poll(&entry, 1, 20) <= 0) continue;
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            handlers_.emplace_back([this, client] { serve(client); });
        }
    }

    void serve(int client) {
        const std::string head_keep =
            "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
            std::to_string(body_.size()) + "\r\n\r\n";
        const std::string keep = head_keep + body_;
        std::string pending;
        char buffer[4096];
        while (!stop_) {
            const size_t end = pending.find("\r\n\r\n");
            if (end == std::string::npos) {
                struct pollfd entry {
                    client, POLLIN, 0
                };
                if (poll(&entry, 1, 20) <= 0) continue;
                const ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0 || pending.size() > 65536) break;
                pending.append(buffer, static_cast<size_t>(n));
                continue;
            }
            const std::string request = pending.substr(0, end);
            pending.erase(0, end + 4);
            const bool close_it = request.find("Connection: close") != std::string::npos ||
                                  request.find("HTTP/1.0") != std::string::npos;
            if (!send_all(client, keep) || close_it) break;
        }
        close(client);
    }

    static bool send_all(int client, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    std::string body_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> handlers_;
};

bool have_wget() {
    return std::system("wget --version >/dev/null 2>&1") == 0;
}

// The bench compares against wget; fetch it from Debian when it is missing.
bool ensure_wget() {
    if (have_wget()) return true;
    if (geteuid() != 0) return false;
    std::fputs("bench-download: installing wget\n", stderr);
    return std::system(
               "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wget >/dev/null 2>&1 || "
               "(apt-get update -qq >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive "
               "apt-get install -y -qq wget >/dev/null 2>&1)") == 0 &&
           have_wget();
}

double run_kelvane(const std::vector<std::string>& urls, const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    connection_tables_reset_for_testing();
    const double start = platform::monotonic_seconds();
    for (size_t i = 0; i < urls.size(); ++i) {
        char error[ERROR_TEXT_SIZE] = {};
        const std::string path = (folder / (std::to_string(i) + ".jpg")).string();
        if (download_image(urls[i].c_str(), path.c_str(), error) != DownloadResult::Ok) {
            std::fprintf(stderr, "bench-download: %s failed\n", urls[i].c_str());
            std::exit(1);
        }
    }
    return platform::monotonic_seconds() - start;
}

double run_wget(const fs::path& list, const fs::path& folder, size_t expected) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string command =
        "wget -q --no-proxy -i '" + list.string() + "' -P '" + folder.string() + "'";
    const double start = platform::monotonic_seconds();
    const int status = std::system(command.c_str());
    const double seconds = platform::monotonic_seconds() - start;
    size_t saved = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        saved += entry.is_regular_file() ? 1 : 0;
    if (status != 0 || saved != expected) {
        std::fprintf(stderr, "bench-download: wget saved %zu of %zu (status %d)\n", saved, expected,
                     status);
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t images = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    const size_t bytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20000;
    if (images == 0 || bytes < 2 || bytes > static_cast<size_t>(IMAGE_SIZE_LIMIT)) {
        std::fputs("usage: bench-download [IMAGES] [BYTES]\n", stderr);
        return 2;
    }
    const fs::path work =
        fs::temp_directory_path() / ("kelvane-bench-download-" + std::to_string(getpid()));
    fs::create_directories(work);
    app_log_open(work.string().c_str());
    connection_tables_init();

    ImageServer server(bytes);
    std::vector<std::string> urls;
    std::ofstream list(work / "urls.txt");
    for (size_t i = 0; i < images; ++i) {
        urls.push_back("http://127.0.0.1:" + std::to_string(server.port()) + "/img/" +
                       std::to_string(i) + ".jpg");
        list << urls.back() << "\n";
    }
    list.close();

    const bool wget = ensure_wget();
    double best_kelvane = 1e9;
    double best_wget = 1e9;
    for (int round = 0; round < ROUNDS; ++round) {
        const double k = run_kelvane(urls, work / "kelvane");
        if (k < best_kelvane) best_kelvane = k;
        if (wget) {
            const double w = run_wget(work / "urls.txt", work / "wget", images);
            if (w < best_wget) best_wget = w;
        }
    }

    const double kelvane_rate = images / best_kelvane;
    std::printf(
        "download_image: %zu images of %zu bytes over keep-alive, best of %d: %.3f s, %.0f "
        "images/s\n",
        images, bytes, ROUNDS, best_kelvane, kelvane_rate);
    if (wget) {
        const double wget_rate = images / best_wget;
        std::printf(
            "wget -i:        same list, same server, best of %d:             %.3f s, %.0f "
            "images/s\n",
            ROUNDS, best_wget, wget_rate);
        std::printf("ratio download_image / wget: %.2f\n", kelvane_rate / wget_rate);
    } else {
        std::puts("wget not available: no comparison");
    }
    app_log_close();
    fs::remove_all(work);
    return 0;
}
