// silent-host PORT: an image host that takes every connection on
// 127.0.0.1:PORT and never answers. What a client sends is read and dropped;
// a connection ends only when its client gives up. Runs until it is killed.
// bench/job --adverse puts it behind one image of every item.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: silent-host PORT\n", stderr);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port <= 0 || port > 65535 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 512) != 0) {
        std::perror("silent-host");
        return 1;
    }
    std::vector<pollfd> watched{{listener, POLLIN, 0}};
    char drop[4096];
    for (;;) {
        if (poll(watched.data(), watched.size(), -1) < 0) continue;
        for (size_t i = watched.size(); i-- > 1;) {
            if (watched[i].revents == 0) continue;
            if (recv(watched[i].fd, drop, sizeof drop, 0) <= 0) {
                close(watched[i].fd);
                watched.erase(watched.begin() + static_cast<long>(i));
            }
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const int client = accept(listener, nullptr, nullptr);
            if (client >= 0) watched.push_back(pollfd{client, POLLIN, 0});
        }
    }
}
