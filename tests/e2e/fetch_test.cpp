// kelvane-cli fetch against the scripted server: the files it saves, what it
// prints for failures, its exit status and app.log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/cli_runner.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/tls_front.h"

namespace {

[[maybe_unused]] std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

std::string with_length(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

bool exists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

class FetchTest : public testing::Test {
  protected:
    std::string home() const { return dir.file("home"); }
    std::string log() const { return read_log(dir.file("home") + "/app.log"); }
    TempDir dir;
};

TEST_F(FetchTest, SavesEveryPairOverOneKeepAliveConnection) {
    ScriptedServer server;
    server.add(reply(with_length("\xFF\xD8jpeg-one"), false));
    server.add(
        reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
              "3;x=y\r\nGIF\r\n0x2\r\n89\r\n0\r\n\r\n",
              false));
    server.add(reply("HTTP/1.1 302 Found\r\nLocation: " + server.url("/3.png_.webp") +
                         "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
                     false));
    server.add(reply(with_length("\x89PNG"), false));

    const CliRun run =
        run_cli({"fetch", server.url("/1.jpg"), dir.file("1.jpg"), server.url("/2.gif"),
                 dir.file("2.gif"), server.url("/3.png"), dir.file("3.png")},
                home());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(dir.file("1.jpg")), "\xFF\xD8jpeg-one");
    EXPECT_EQ(read_file(dir.file("2.gif")), "GIF89");
    EXPECT_EQ(read_file(dir.file("3.png")), "\x89PNG");
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const RecordedRequest& request : requests) EXPECT_EQ(request.connection, 1);
    EXPECT_EQ(requests[3].bytes.substr(0, 22), "GET /3.png HTTP/1.1\r\nA");
#ifndef _WIN32
    const std::string key = "127.0.0.1:" + std::to_string(server.port()) + " --- new socket()\r\n";
    EXPECT_NE(log().find(key), std::string::npos) << log();
    EXPECT_EQ(log().find(key), log().rfind(key));  // one connection, logged once
#endif
}

TEST_F(FetchTest, ReportsEachFailureAndExitsOne) {
    const std::string not_found = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    ScriptedServer server({reply(with_length("GIF8-a"), false), reply(not_found), reply(not_found),
                           reply(with_length("RIFF....WEBP")), reply(with_length("RIFF....WEBP")),
                           reply(with_length("GIF8-d"))});
    const CliRun run =
        run_cli({"fetch", server.url("/a.gif"), dir.file("a.gif"), server.url("/b.gif"),
                 dir.file("b.gif"), "ftp://127.0.0.1/c.gif", dir.file("c.gif"),
                 server.url("/w.gif"), dir.file("w.gif"), server.url("/d.gif"), dir.file("d.gif")},
                home());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
#ifndef _WIN32
    // Each failure names its pair, with the download's result code and why.
    EXPECT_EQ(run.err, utf8(u8"下载失败 (-1，HTTP 404 文件不存在)：") + server.url("/b.gif") +
                           utf8(u8" → ") + dir.file("b.gif") +
                           utf8(u8"：404 Not Found - 文件不存在\n") +
                           utf8(u8"下载失败 (-1，地址无法识别)：ftp://127.0.0.1/c.gif → ") +
                           dir.file("c.gif") +
                           utf8(u8"：无法parse下载图片地址\n下载失败 (0，不是支持的图片格式)：") +
                           server.url("/w.gif") + utf8(u8" → ") + dir.file("w.gif") +
                           utf8(u8"：下载的图片格式不受支持\n"));
    // The log as the program wrote it, whatever its encoding on disk.
    const std::string retry = "搬家失败：" + server.url("/b.gif") + "(useKeepAlive:1)";
    EXPECT_NE(log().find(retry), std::string::npos) << log();
#endif
    EXPECT_EQ(read_file(dir.file("a.gif")), "GIF8-a");
    EXPECT_EQ(read_file(dir.file("d.gif")), "GIF8-d");
    EXPECT_FALSE(exists(dir.file("b.gif")));
    EXPECT_FALSE(exists(dir.file("c.gif")));
    EXPECT_FALSE(exists(dir.file("w.gif")));
}

TEST_F(FetchTest, HttpsAddressesAreFetchedOverTlsElseTheFailureNamesBothCauses) {
    ScriptedServer server({reply(with_length("\xFF\xD8over-tls"), false)});
    TlsFront good(server.port(), TestCert::Trusted, false);
    ScriptedServer silent;
    TlsFront bad(silent.port(), TestCert::WrongName, false);
    const CliRun run = run_cli(
        {"fetch", good.url("/a.jpg"), dir.file("a.jpg"), bad.url("/b.jpg"), dir.file("b.jpg")},
        home(), {"SSL_CERT_FILE=" + test_ca_pem_path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir.file("a.jpg")), "\xFF\xD8over-tls");
    EXPECT_EQ(good.handshakes(), 1);
    EXPECT_FALSE(exists(dir.file("b.jpg")));
#ifndef _WIN32
    EXPECT_NE(run.err.find(utf8(u8"：HTTPS连接失败：HTTPS证书与域名不符: "
                                u8"localhost；改用HTTP下载也失败：")),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.rfind(utf8(u8"下载失败 (0，HTTPS 连接失败)：") + bad.url("/b.jpg"), 0), 0u)
        << run.err;
#endif
}

TEST_F(FetchTest, WrongArgumentsAreAUsageError) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"fetch"},
          std::vector<std::string>{"fetch", "http://127.0.0.1/a.jpg"},
          std::vector<std::string>{"fetch", "u", "f", "u2"}}) {
        const CliRun run = run_cli(args, home());
        EXPECT_EQ(run.status, 2) << args.size();
#ifndef _WIN32
        EXPECT_EQ(run.err, utf8(u8"kelvane-cli fetch：图片地址和文件必须成对给出\n"
                                u8"可用 kelvane-cli help fetch 查看用法。\n"));
#endif
    }
}

}  // namespace
