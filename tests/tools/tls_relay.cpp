// kelvane-tls-relay: TLS fronts for the Windows tests, which run under Wine
// and cannot link OpenSSL. Listens on a free loopback port, which it prints on
// stdout, and serves the line protocol of support/tls_relay_protocol.h. It
// ends on SIGTERM or SIGINT, or when the process that started it is gone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_front.h"
#include "support/tls_relay_protocol.h"

namespace {

constexpr int POLL_SLICE_MS = 50;

volatile std::sig_atomic_t signalled = 0;
std::atomic<bool> stopping{false};

void on_signal(int) {
    signalled = 1;
}

bool send_line(int s, const std::string& line) {
    const std::string out = line + "\n";
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = send(s, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// The answer to one request line; `front` is the connection's front.
std::string answer(const std::string& line, std::unique_ptr<TlsFront>* front) {
    int target = 0, cert = 0, plain = 0;
    char end = 0;
    if (std::sscanf(line.c_str(), "open %d %d %d%c", &target, &cert, &plain, &end) == 3) {
        if (*front) return "error this connection has its front already";
        if (target < 1 || target > 65535 || cert < 0 ||
            cert > static_cast<int>(TestCert::TrustedButTls11))
            return "error bad port or certificate";
        try {
            front->reset(new TlsFront(target, static_cast<TestCert>(cert), plain != 0));
        } catch (const std::exception& e) {
            return std::string("error ") + e.what();
        }
        return "ok " + std::to_string((*front)->port());
    }
    if (line == "handshakes") {
        return *front ? "ok " + std::to_string((*front)->handshakes()) : "error no front";
    }
    if (line == "ca") {
        try {
            return "ok " + hex(test_ca_der());
        } catch (const std::exception& e) {
            return std::string("error ") + e.what();
        }
    }
    if (line == "close") {
        front->reset();
        return "ok";
    }
    return "error unknown request";
}

void serve(int control) {
    std::unique_ptr<TlsFront> front;
    std::string pending;
    while (!stopping) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!send_line(control, answer(line, &front))) break;
            continue;
        }
        if (pending.size() > TLS_RELAY_LINE_LIMIT) break;
        struct pollfd entry {
            control, POLLIN, 0
        };
        if (poll(&entry, 1, POLL_SLICE_MS) <= 0) continue;
        char buffer[1024];
        const ssize_t got = recv(control, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
    }
    front.reset();
    close(control);
}

}  // namespace

int main() {
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    const pid_t parent = getppid();
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("kelvane-tls-relay: cannot listen on 127.0.0.1");
        return 1;
    }
    try {
        test_ca_der();  // the certificates are made before any test waits on them
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvane-tls-relay: %s\n", e.what());
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    // A whole test run opens hundreds of fronts: finished ones are joined as it goes.
    struct Control {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Control> controls;
    while (!signalled && getppid() == parent) {
        for (size_t i = controls.size(); i-- > 0;) {
            if (!*controls[i].done) continue;
            controls[i].thread.join();
            controls.erase(controls.begin() + static_cast<long>(i));
        }
        struct pollfd entry {
            listener, POLLIN, 0
        };
        if (poll(&entry, 1, POLL_SLICE_MS) <= 0) continue;
        const int control = accept(listener, nullptr, nullptr);
        if (control < 0) continue;
        auto done = std::make_shared<std::atomic<bool>>(false);
        controls.push_back(Control{std::thread([control, done] {
                                       serve(control);
                                       *done = true;
                                   }),
                                   done});
    }
    stopping = true;
    for (Control& control : controls) control.thread.join();
    close(listener);
    return 0;
}
