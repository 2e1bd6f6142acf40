// kelvane-demo-server FOLDER: serves the files of FOLDER over HTTP/1.1 with
// keep-alive on a free loopback port, which it prints on stdout. It stops by
// itself after a minute, or earlier when its standard input closes.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/scripted_server.h"

namespace {

std::string answer(const std::string& folder, const std::string& request) {
    const size_t start = request.find(' ');
    const size_t end =
        start == std::string::npos ? std::string::npos : request.find(' ', start + 1);
    std::string path = end == std::string::npos ? "" : request.substr(start + 1, end - start - 1);
    const size_t query = path.find('?');
    if (query != std::string::npos) path.resize(query);
    // Plain names only: nothing outside the folder is ever served.
    const bool plain = path.size() > 1 && path[0] == '/' &&
                       path.find('/', 1) == std::string::npos &&
                       path.find("..") == std::string::npos && path.find('\\') == std::string::npos;
    std::ifstream file;
    if (plain) file.open(folder + path, std::ios::binary);
    if (!file) return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    std::ostringstream body;
    body << file.rdbuf();
    return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
           std::to_string(body.str().size()) + "\r\n\r\n" + body.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: kelvane-demo-server FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    ScriptedServer server;
    server.set_responder(
        [folder](const std::string& request) { return reply(answer(folder, request), false); });
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}
