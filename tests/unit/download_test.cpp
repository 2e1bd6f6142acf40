#include "http/download.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "http/url.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "support/network_test.h"

namespace {

constexpr int SHORT_CONNECT_MS = 300;
constexpr int SHORT_SOCKET_MS = 300;

std::string jpeg(size_t size) {
    std::string body = "\xFF\xD8";
    for (size_t i = 2; i < size; ++i) body += static_cast<char>('a' + i % 26);
    return body.substr(0, size);
}

std::string with_length(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

const std::string CHUNKED_HEAD = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string request_line(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

bool has_header(const std::string& request, const std::string& line) {
    return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

struct Outcome {
    DownloadResult result;
    std::string error;
    bool saved;  // the file exists afterwards
    std::string content;
    DownloadDetails details;
};

class DownloadTest : public NetworkTest {
  protected:
    DownloadTest() : NetworkTest(SHORT_CONNECT_MS, SHORT_SOCKET_MS) {}

    static constexpr DownloadOptions WITHOUT_KEEP_ALIVE{false, true};

    Outcome fetch(const std::string& url, DownloadOptions options = {}) {
        return fetch_to(url, target(), options);
    }
    static Outcome fetch_to(const std::string& url, const std::string& path,
                            DownloadOptions options = {}) {
        char error[ERROR_TEXT_SIZE] = {};
        DownloadDetails details;
        details.failure = FailureKind::Stopped;  // so that leaving it alone shows
        const DownloadResult result =
            download_image(url.c_str(), path.c_str(), error, options, &details);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file != nullptr) std::fclose(file);
        return Outcome{result, error, file != nullptr, read_file(path), details};
    }
    std::string target() const { return dir.file("image.jpg"); }
    // The line the retry writes to app.log, with the first attempt's text.
    static std::string retry_line(const std::string& url, const std::string& error) {
        return "搬家失败：" + url + "(useKeepAlive:1)，返回的错误信息：\r\n" + error + "\r\n";
    }
};

// --- Every way a download fails: its result, its text, its retry -------------

TEST_F(DownloadTest, ResponseFailuresGiveTheirResultAndTextAndAreRetriedOnce) {
    const std::string over_buffer_head = "HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'h');
    const std::string long_status =
        "HTTP/1.1 500 Internal Server Error\r\nX-Pad: " + std::string(300, 'p') +
        "\r\nContent-Length: 0\r\n\r\n";
    const std::string endless_body =
        "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + jpeg(IMAGE_SIZE_LIMIT + 5000);
    struct Case {
        const char* name;
        std::string response;  // given to both attempts
        DownloadResult result;
        std::string error;
        bool prefix_only;  // the text only has to begin with `error`
        FailureKind failure;
        int status;  // of the answer, 0 for none
    };
    using K = FailureKind;
    const Case cases[] = {
        {"head larger than the buffer", over_buffer_head, DownloadResult::Failed,
         "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.", false, K::BadResponse, 0},
        {"status 404", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
         DownloadResult::Failed, "404 Not Found - 文件不存在", false, K::HttpStatus, 404},
        {"status 500, cut to 256 bytes", long_status, DownloadResult::Failed,
         "返回错误的http状态码:\n" + long_status.substr(0, 256), false, K::HttpStatus, 500},
        {"200 without OK", "HTTP/1.1 200 Fine\r\nContent-Length: 4\r\n\r\nGIF8",
         DownloadResult::Failed,
         "返回错误的http状态码:\nHTTP/1.1 200 Fine\r\nContent-Length: 4\r\n\r\nGIF8", false,
         K::BadResponse, 200},
        {"206", "HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\n\r\nGIF8",
         DownloadResult::Failed, "返回错误的http状态码:\nHTTP/1.1 206", true, K::HttpStatus, 206},
        {"no status code", "HTTP/1.1 2x0 OK\r\nContent-Length: 4\r\n\r\nGIF8",
         DownloadResult::Failed, "返回错误的http状态码:\nHTTP/1.1 2x0", true, K::BadResponse, 0},
        {"compressed body", with_length("GIF8", "Content-Encoding: gzip\r\n"),
         DownloadResult::Failed, "header.contentEncoding:gzip", false, K::BadResponse, 200},
        {"announced length over 10 MiB", "HTTP/1.1 200 OK\r\nContent-Length: 10485761\r\n\r\nGIF8",
         DownloadResult::BadContent, "fileSize=0, header.contentLength: 10485761, 大于10M", false,
         K::TooLarge, 200},
        {"negative announced length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nGIF8",
         DownloadResult::BadContent, "fileSize=0, header.contentLength: 4294967291, 大于10M", false,
         K::TooLarge, 200},
        {"first body bytes exceed the length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nGIF8",
         DownloadResult::BadContent, "readTotal > fileSize, 当前下载的文件数据大小:4, fileSize:2",
         false, K::BadResponse, 200},
        {"identity body over 10 MiB", endless_body, DownloadResult::BadContent,
         "header.contentLength: -1, readTotal:", true, K::TooLarge, 200},
        // Nine digits would wrap to 4 and take the next four bytes as the chunk.
        {"chunk size of more than eight digits", CHUNKED_HEAD + "100000004\r\nGIF8\r\n0\r\n\r\n",
         DownloadResult::Failed, "不正常: chunk size超过8位十六进制数字", false, K::BadResponse,
         200},
        {"negative chunk size", CHUNKED_HEAD + "80000000\r\n", DownloadResult::Failed,
         "不正常: 这里就有问题了, chunksize:-2147483648", false, K::BadResponse, 200},
        {"connection ends before a chunk-size line", CHUNKED_HEAD + "4\r\nGIF8\r\n",
         DownloadResult::Failed, "下载图片失败3: 图片大小:4294967295, 实际接收到的文件大小:", true,
         K::Cut, 200},
        {"trailer longer than the buffer",
         CHUNKED_HEAD + "4\r\nGIF8\r\n0\r\n" + std::string(9000, 't'), DownloadResult::Failed,
         "读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符", false, K::BadResponse,
         200},
        {"connection ends in the trailer", CHUNKED_HEAD + "0\r\nX: y", DownloadResult::Failed,
         "读取chunk最后的结束符时出错: syCount:4, bufferSize:8188, ret:0, errno:0", false, K::Cut,
         200},
        {"body shorter than announced", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nGIF8",
         DownloadResult::BadContent, "图片大小:100, 实际接收到的文件大小:4, ret:0, errno:0", false,
         K::Cut, 200},
        {"not an image (WebP)", with_length("RIFF\x10\0\0\0WEBPVP8 "), DownloadResult::BadContent,
         "下载的图片格式不受支持", false, K::NotAnImage, 200},
        {"one-byte body", with_length("\xFF"), DownloadResult::BadContent, "下载的图片格式不受支持",
         false, K::NotAnImage, 200},
        {"empty body", with_length(""), DownloadResult::BadContent, "下载的图片格式不受支持", false,
         K::NotAnImage, 200},
        // Closed without a word: no image to judge, and worth asking again later.
        {"no response at all", "", DownloadResult::BadContent, "下载的图片格式不受支持", false,
         K::Cut, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({reply(c.response), reply(c.response)});
        const std::string url = server.url("/a.jpg");
        const Outcome out = fetch(url);
        EXPECT_EQ(out.result, c.result);
        if (c.prefix_only) {
            EXPECT_EQ(out.error.substr(0, c.error.size()), c.error);
        } else {
            EXPECT_EQ(out.error, c.error);
        }
        EXPECT_FALSE(out.saved);
        EXPECT_EQ(out.details.failure, c.failure);
        EXPECT_EQ(out.details.httpStatus, c.status);
        if (c.response.empty()) {
            EXPECT_TRUE(last_download_failure_transient());
        }
        const std::vector<RecordedRequest> requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(request_line(requests[0].bytes), "GET /a.jpg HTTP/1.1");
        EXPECT_TRUE(has_header(requests[0].bytes, "Connection: keep-alive"));
        EXPECT_EQ(request_line(requests[1].bytes), "GET /a.jpg HTTP/1.0");
        EXPECT_TRUE(has_header(requests[1].bytes, "Connection: close"));
        EXPECT_NE(requests[0].connection, requests[1].connection);
        EXPECT_EQ(occurrences(log(), "搬家失败：" + url + "(useKeepAlive:1)"), 1);
        EXPECT_EQ(ConnectionPool->count, 0);
        connection_tables_reset_for_testing();
    }
}

TEST_F(DownloadTest, KeepAliveOnlyFailuresAreLoggedAndTheRetrySucceeds) {
    struct Case {
        const char* name;
        std::string keep_alive_response;
        std::string keep_alive_error;
    };
    const Case cases[] = {
        {"no length on keep-alive", "HTTP/1.1 200 OK\r\n\r\nGIF8",
         "Connection: keep-alive, Content-Length = -1"},
        {"a Connection value too long for its field is no \"close\"",
         "HTTP/1.1 200 OK\r\nConnection: close, and then some more\r\n\r\nGIF8",
         "Connection: keep-alive, Content-Length = -1"},
        {"closed identity body on keep-alive", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nGIF8",
         "(fileSize:未定义, readTotal:4), (header.isChunked:0, isChunkReceiveCompleted:0)"},
        {"body shorter than announced", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nGIF8",
         "(fileSize:9, readTotal:4), (header.isChunked:0, isChunkReceiveCompleted:0)"},
        {"chunked body cut before its last chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nGIF8",
         "(fileSize:未定义, readTotal:4), (header.isChunked:1, isChunkReceiveCompleted:0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The retry's HTTP/1.0 reply has no length and ends with the connection.
        ScriptedServer server(
            {reply(c.keep_alive_response), reply("HTTP/1.0 200 OK\r\n\r\nGIF89a")});
        const std::string url = server.url("/x.gif");
        const Outcome out = fetch(url);
        EXPECT_EQ(out.result, DownloadResult::Ok);
        EXPECT_EQ(out.content, "GIF89a");
        // A success writes no text: the first attempt's stays.
        EXPECT_EQ(out.error, c.keep_alive_error);
        EXPECT_NE(log().find(retry_line(url, c.keep_alive_error)), std::string::npos) << log();
        ASSERT_EQ(server.requests().size(), 2u);
        EXPECT_EQ(request_line(server.requests()[1].bytes), "GET /x.gif HTTP/1.0");
        connection_tables_reset_for_testing();
    }
}

TEST_F(DownloadTest, RefusedAddressFailsAtOnceWithoutRetry) {
    const char* refused[] = {"ftp://127.0.0.1/a.jpg", "127.0.0.1/a.jpg", "http://127.0.0.1",
                             "http://127.0.0.1/a.jpg\r\nX: y"};
    for (const char* url : refused) {
        const Outcome out = fetch(url);
        EXPECT_EQ(out.result, DownloadResult::Failed) << url;
        EXPECT_EQ(out.error, "无法parse下载图片地址") << url;
        EXPECT_EQ(out.details.failure, FailureKind::BadAddress) << url;
        EXPECT_FALSE(out.saved) << url;
    }
    EXPECT_EQ(log().find("搬家失败"), std::string::npos);
}

TEST_F(DownloadTest, ConnectFailureIsRetriedAndCountsTwice) {
    const int port = refused_port();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/a.jpg";
    const Outcome out = fetch(url);
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error, "连接被拒绝，错误码:" + std::to_string(connection_refused_code()));
    EXPECT_EQ(out.details.failure, FailureKind::Refused);
    EXPECT_EQ(out.details.httpStatus, 0);
    EXPECT_FALSE(out.saved);
    EXPECT_NE(log().find(retry_line(url, out.error)), std::string::npos);
    EXPECT_EQ(connect_failure_count("127.0.0.1", port), 2);
}

TEST_F(DownloadTest, FileThatCannotBeCreatedIsNotRetried) {
    ScriptedServer server({reply(with_length("GIF8"), false)});
    const Outcome out =
        fetch_to(server.url("/a.gif"), dir.file("missing") + platform::PATH_SEPARATOR + "a.gif");
    EXPECT_EQ(out.result, DownloadResult::CreateError);
    EXPECT_EQ(out.error, "图片搬家失败：无法创建新文件。");
    EXPECT_EQ(out.details.failure, FailureKind::Create);
    EXPECT_EQ(server.requests(1).size(), 1u);  // the request went out before the file
    EXPECT_EQ(log().find("搬家失败："), std::string::npos);
    EXPECT_EQ(ConnectionPool->count, 0);  // the socket went with the failure
}

#ifndef _WIN32
TEST_F(DownloadTest, FullDiskEndsAtOnceWithoutRetryOrFile) {
    // A file size limit makes the disk "full" after 1000 bytes.
    ScriptedServer server({reply(with_length(jpeg(5000))), reply(with_length(jpeg(5000)))});
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const Outcome out = fetch(server.url("/big.jpg"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(out.result, DownloadResult::WriteError);
    EXPECT_EQ(out.error, "写入文件时出错，请检查硬盘可用空间是否已不足。");
    EXPECT_EQ(out.details.failure, FailureKind::Write);
    EXPECT_FALSE(out.saved);
    EXPECT_EQ(server.requests().size(), 1u);
}
#endif

TEST_F(DownloadTest, SendOnAConnectionTheServerResetIsRetried) {
    ScriptedReply first = reply(with_length("GIF8a"));
    first.pieces.push_back(Piece{"", 50});  // let the client read it all first
    first.reset = true;                     // then drop the connection the client keeps pooled
    ScriptedServer server({first, reply(with_length("GIF8b"))});
    ASSERT_EQ(fetch(server.url("/1.gif")).result, DownloadResult::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the reset arrive
    const std::string url = server.url("/2.gif");
    const Outcome out = fetch(url);
    EXPECT_EQ(out.result, DownloadResult::Ok);
    EXPECT_EQ(out.content, "GIF8b");
    EXPECT_NE(log().find(retry_line(url, "下载图片失败: send() failed")), std::string::npos)
        << log();
    EXPECT_EQ(server.connections(2), 2);
}

TEST_F(DownloadTest,
       AReceiveTimeOutEndsTheAttemptWithinTheLimitAndIsNotAskedAgainWithoutKeepAlive) {
    const std::string stalled = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nGIF8";
    ScriptedServer server({reply(stalled, false), reply(stalled, false)});
    const double start = platform::monotonic_seconds();
    const Outcome out = fetch(server.url("/slow.gif"));
    const double waited = platform::monotonic_seconds() - start;
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error,
              "(fileSize:100, readTotal:4), (header.isChunked:0, isChunkReceiveCompleted:0)");
    // Cut short by the wait, not by the server: a time-out, after a 200.
    EXPECT_EQ(out.details.failure, FailureKind::Timeout);
    EXPECT_EQ(out.details.httpStatus, 200);
    EXPECT_FALSE(out.saved);
    EXPECT_TRUE(last_download_failure_transient());
    // The host did not answer in time: asking it again at once would wait as long again.
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(host_timeout_count("127.0.0.1", server.port()), 1);
    EXPECT_GE(waited, SHORT_SOCKET_MS / 1000.0 * 0.8);
    EXPECT_LT(waited, 2 * SHORT_SOCKET_MS / 1000.0);
}

// --- Bodies that succeed ------------------------------------------------------

TEST_F(DownloadTest, ChunkedBodiesAreStoredWhateverTheirShapeAndSplit) {
    const std::string big(20000, 'z');
    const std::string gif26 = "GIF89a" + std::string(20, 'q');
    struct Case {
        const char* name;
        std::string body;          // after the head
        std::vector<size_t> cuts;  // read boundaries, counted from the start of the body
        std::string stored;
    };
    const Case cases[] = {
        {"one chunk", "4\r\nGIF8\r\n0\r\n\r\n", {}, "GIF8"},
        {"extension after the size", "1a;name=value\r\n" + gif26 + "\r\n0\r\n\r\n", {}, gif26},
        {"0x prefix", "0x10\r\nGIF89a0123456789\r\n0\r\n\r\n", {}, "GIF89a0123456789"},
        {"0X prefix, upper-case digits", "0X1A\r\n" + gif26 + "\r\n0\r\n\r\n", {}, gif26},
        {"blanks before the size", " \t4\r\nGIF8\r\n0\r\n\r\n", {}, "GIF8"},
        {"leading zeros do not count as digits", "0000000004\r\nGIF8\r\n0\r\n\r\n", {}, "GIF8"},
        {"several chunks", "2\r\nGI\r\n1\r\nF\r\n1\r\n8\r\n0\r\n\r\n", {}, "GIF8"},
        {"size line ends at a read boundary", "4\r\nGIF8\r\n0\r\n\r\n", {3}, "GIF8"},
        {"size line cut in two", "1a\r\n" + gif26 + "\r\n0\r\n\r\n", {1}, gif26},
        {"chunk data cut", "4\r\nGIF8\r\n0\r\n\r\n", {5}, "GIF8"},
        {"read ends right after the data", "4\r\nGIF8\r\n0\r\n\r\n", {7}, "GIF8"},
        {"read ends inside the closing CR LF", "4\r\nGIF8\r\n0\r\n\r\n", {8}, "GIF8"},
        {"last chunk's CR LF in the next read", "4\r\nGIF8\r\n0\r\n\r\n", {12}, "GIF8"},
        {"trailer fields", "4\r\nGIF8\r\n0\r\nX-Check: 1\r\n\r\n", {}, "GIF8"},
        {"chunk larger than the buffer",
         "4e20\r\n" + std::string("GI") + big.substr(2) + "\r\n0\r\n\r\n",
         {},
         "GI" + big.substr(2)},
        {"large chunk cut everywhere",
         "4e20\r\n" + std::string("GI") + big.substr(2) + "\r\n0\r\n\r\n",
         {4, 6, 100, 9000, 19000, 20006, 20007},
         "GI" + big.substr(2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<size_t> cuts;
        for (size_t cut : c.cuts) cuts.push_back(CHUNKED_HEAD.size() + cut);
        ScriptedServer server({reply_cut_at(CHUNKED_HEAD + c.body, cuts, 30, false)});
        const Outcome out = fetch(server.url("/c.gif"));
        EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
        EXPECT_EQ(out.content == c.stored, true) << out.content.size() << " bytes stored";
        EXPECT_EQ(ConnectionPool->count, 1);  // a complete chunked body keeps the connection
        connection_tables_reset_for_testing();
    }
}

TEST_F(DownloadTest, HeadAndBodyInManySmallPiecesAreStoredByteForByte) {
    const std::string body = jpeg(3000);
    ScriptedServer whole({reply_in_pieces(with_length(body, "Server: pieces\r\n"), 7, 1, false)});
    const Outcome out = fetch(whole.url("/p.jpg"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, body);

    ScriptedServer tiny({reply_in_pieces(with_length("GIF89a", "Server: bytes\r\n"), 1, 1, false)});
    const Outcome bytes = fetch(tiny.url("/b.gif"));
    EXPECT_EQ(bytes.result, DownloadResult::Ok) << bytes.error;
    EXPECT_EQ(bytes.content, "GIF89a");
}

TEST_F(DownloadTest, TenMebibytesIsTheLargestImage) {
    const std::string body = jpeg(IMAGE_SIZE_LIMIT);
    ScriptedServer server({reply(with_length(body), false)});
    const Outcome out = fetch(server.url("/limit.jpg"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content.size(), body.size());
    EXPECT_TRUE(out.content == body);

    // Chunked bodies are held to the same limit.
    ScriptedServer chunked(
        {reply(CHUNKED_HEAD + "a00000\r\n" + jpeg(IMAGE_SIZE_LIMIT) + "\r\n1\r\nx\r\n0\r\n\r\n"),
         reply(CHUNKED_HEAD + "a00001\r\n")});
    const Outcome over = fetch(chunked.url("/over.jpg"));
    EXPECT_EQ(over.result, DownloadResult::BadContent);
    EXPECT_EQ(over.error, "header.contentLength: -1, readTotal:10485761 > 10M");
    EXPECT_FALSE(over.saved);
}

TEST_F(DownloadTest, NotFoundIsRetriedOnceAsHttp10WithConnectionClose) {
    const std::string not_found = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    ScriptedServer server(
        {reply(not_found, false), reply(not_found, false), reply(with_length("GIF8"))});
    const std::string url = server.url("/gone.jpg");
    const Outcome out = fetch(url);
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error, "404 Not Found - 文件不存在");
    EXPECT_NE(log().find(retry_line(url, "404 Not Found - 文件不存在")), std::string::npos);
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);  // once, not more
    char expected[REQUEST_BUFFER_SIZE];
    ASSERT_TRUE(build_get_request("127.0.0.1", "/gone.jpg", server.port(), 0, expected));
    EXPECT_EQ(requests[1].bytes, expected);
    // A call without keep-alive never retries.
    ScriptedServer once({reply(not_found), reply(not_found)});
    EXPECT_EQ(fetch(once.url("/gone.jpg"), WITHOUT_KEEP_ALIVE).result, DownloadResult::Failed);
    EXPECT_EQ(once.requests().size(), 1u);
}

TEST_F(DownloadTest, KeepAliveConnectionIsReusedUntilTheServerSaysClose) {
    ScriptedServer server({reply(with_length("GIF8-1"), false),
                           reply(with_length("GIF8-2", "Connection: close\r\n")),
                           reply(with_length("GIF8-3", "Connection: Keep-Alive\r\n"), false),
                           reply(with_length("GIF8-4"), false)});
    for (int i = 1; i <= 4; ++i) {
        const Outcome out =
            fetch_to(server.url("/" + std::to_string(i) + ".gif"), dir.file(std::to_string(i)));
        EXPECT_EQ(out.result, DownloadResult::Ok) << i << " " << out.error;
        EXPECT_EQ(out.content, "GIF8-" + std::to_string(i));
    }
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].connection, 1);
    EXPECT_EQ(requests[1].connection, 1);
    EXPECT_EQ(requests[2].connection, 2);
    EXPECT_EQ(requests[3].connection, 2);
    const std::string key = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_EQ(occurrences(log(), key + " --- new socket()"), 2);
    EXPECT_EQ(ConnectionPool->count, 1);
}

TEST_F(DownloadTest, AnHttp10ServerGetsOneRequestPerImageUnlessItSaysKeepAlive) {
    const std::string body = jpeg(40);
    // The server ends each connection after its response, as HTTP/1.0 allows.
    const std::string sized = "HTTP/1.0 200 OK\r\nContent-Length: 40\r\n\r\n" + body;
    const std::string kept =
        "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 40\r\n\r\n" + body;
    ScriptedServer server(
        {reply(sized), reply(sized), reply(sized), reply(kept, false), reply(kept, false)});
    for (int i = 1; i <= 5; ++i) {
        const Outcome out =
            fetch_to(server.url("/" + std::to_string(i) + ".jpg"), dir.file(std::to_string(i)));
        EXPECT_EQ(out.result, DownloadResult::Ok) << i << " " << out.error;
        EXPECT_TRUE(out.content == body) << i;
    }
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);  // no request went out on a closed connection
    EXPECT_EQ(requests[2].connection, 3);
    EXPECT_EQ(requests[3].connection, 4);
    EXPECT_EQ(requests[4].connection, 4);  // "Connection: keep-alive" keeps it
    EXPECT_EQ(log().find("(useKeepAlive:1)"), std::string::npos) << log();
}

TEST_F(DownloadTest, StalePooledConnectionIsDetectedByItsExchangeAndRetried) {
    ScriptedServer server({reply(with_length("GIF8-1")), reply(with_length("GIF8-2"))});
    ASSERT_EQ(fetch(server.url("/1.gif")).result, DownloadResult::Ok);
    const Outcome out = fetch(server.url("/2.gif"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, "GIF8-2");
    EXPECT_EQ(server.connections(2), 2);
    // The pooled socket was tried first: its exchange failed, and the retry
    // without keep-alive fetched the image.
    EXPECT_EQ(occurrences(log(), "搬家失败：" + server.url("/2.gif") + "(useKeepAlive:1)"), 1)
        << log();
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(request_line(server.requests()[1].bytes), "GET /2.gif HTTP/1.0");
}

TEST_F(DownloadTest, OneRedirectIsFollowedWithWebpSuffixStripped) {
    ScriptedServer server;
    server.add(reply("HTTP/1.1 302 Found\r\nLocation: " + server.url("/real.jpg_.webp") +
                         "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
                     false));
    server.add(reply(with_length(jpeg(100)), false));
    const Outcome out = fetch(server.url("/moved.jpg"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, jpeg(100));
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(request_line(requests[1].bytes), "GET /real.jpg HTTP/1.1");
    EXPECT_EQ(requests[1].connection, 1);  // "Connection: keep-alive" kept the socket
}

TEST_F(DownloadTest, ASecondRedirectIsAnError) {
    ScriptedServer server;
    const std::string again =
        "HTTP/1.1 302 Found\r\nLocation: " + server.url("/again.jpg") + "\r\n\r\n";
    for (int i = 0; i < 3; ++i) server.add(reply(again));
    const Outcome out = fetch(server.url("/first.jpg"));
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error, "返回错误的http状态码:\n" + again);
    EXPECT_FALSE(out.saved);
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);  // first, the redirect, the redirect's retry
    EXPECT_EQ(request_line(requests[1].bytes), "GET /again.jpg HTTP/1.1");
    EXPECT_EQ(request_line(requests[2].bytes), "GET /again.jpg HTTP/1.0");
    // Without a Connection field the redirect's socket was not kept.
    EXPECT_NE(requests[0].connection, requests[1].connection);
}

TEST_F(DownloadTest, EveryRedirectStatusIsFollowedAndWebpIsStrippedInAnyCase) {
    struct Case {
        const char* status;
        const char* location;  // a path on the same server
        const char* requested;
    };
    const Case cases[] = {
        {"HTTP/1.1 301 Moved Permanently", "/r1.jpg", "/r1.jpg"},
        {"HTTP/1.0 301 Moved Permanently", "/r2.jpg", "/r2.jpg"},
        {"HTTP/1.0 302 Found", "/r3.jpg", "/r3.jpg"},
        {"http/1.1 301 moved", "/r4.jpg", "/r4.jpg"},
        {"HTTP/1.1 302 Found", "/r5.jpg_.WEBP", "/r5.jpg"},
        {"HTTP/1.1 301 Moved Permanently", "/r6.jpg_.Webp", "/r6.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status + std::string(" ") + c.location);
        ScriptedServer server;
        server.add(reply(std::string(c.status) + "\r\nLocation: " + server.url(c.location) +
                         "\r\nContent-Length: 0\r\n\r\n"));
        server.add(reply(with_length("GIF89a")));
        const Outcome out = fetch(server.url("/first.jpg"));
        EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
        EXPECT_EQ(out.content, "GIF89a");
        const std::vector<RecordedRequest> requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(request_line(requests[1].bytes), "GET " + std::string(c.requested) + " HTTP/1.1");
        connection_tables_reset_for_testing();
    }
}

TEST_F(DownloadTest, TheRetryWithoutKeepAliveFollowsARedirectToo) {
    ScriptedServer server;
    server.add(reply("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    server.add(reply("HTTP/1.0 302 Found\r\nLocation: " + server.url("/moved.gif") + "\r\n\r\n"));
    server.add(reply(with_length("GIF89a")));
    const Outcome out = fetch(server.url("/a.gif"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, "GIF89a");
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(request_line(requests[1].bytes), "GET /a.gif HTTP/1.0");
    EXPECT_EQ(request_line(requests[2].bytes), "GET /moved.gif HTTP/1.1");
}

TEST_F(DownloadTest, ALocationTooLongForItsFieldIsRefusedNotCut) {
    ScriptedServer server;
    // 512 bytes: one more than the field holds (the parser's test keeps 511).
    const std::string too_long =
        server.url("/") + std::string(512 - server.url("/").size() - 4, 'p') + ".jpg";
    const std::string refusal =
        "HTTP/1.1 302 Found\r\nLocation: " + too_long + "\r\nContent-Length: 0\r\n\r\n";
    server.add(reply(refusal));
    server.add(reply(refusal));
    server.add(reply(with_length("GIF89a")));  // what a cut address would have fetched
    const Outcome out = fetch(server.url("/a.jpg"));
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error, "重定向地址过长, header.location: 512字节, 大于511字节");
    EXPECT_FALSE(last_download_failure_transient());  // asking again gets the same answer
    EXPECT_FALSE(out.saved);
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);  // the request and its retry, never the cut address
    EXPECT_EQ(request_line(requests[1].bytes), "GET /a.jpg HTTP/1.0");
}

TEST_F(DownloadTest, RedirectWithoutUsableLocation) {
    const std::string no_location =
        "HTTP/1.1 301 Moved Permanently\r\nX-Pad: " + std::string(400, 'p') + "\r\n\r\n";
    ScriptedServer server({reply(no_location), reply(no_location)});
    const Outcome out = fetch(server.url("/a.jpg"));
    EXPECT_EQ(out.error, "返回错误的http状态码:\n" + no_location.substr(0, 256));
    EXPECT_EQ(out.result, DownloadResult::Failed);

    // A relative location cannot be parsed: refused, and that is not retried.
    ScriptedServer relative({reply("HTTP/1.0 302 Found\r\nLocation: /b.jpg\r\n\r\n")});
    const Outcome rel = fetch(relative.url("/a.jpg"));
    EXPECT_EQ(rel.result, DownloadResult::Failed);
    EXPECT_EQ(rel.error, "无法parse下载图片地址");
    EXPECT_EQ(relative.requests().size(), 1u);
}

TEST_F(DownloadTest, WithoutKeepAliveTheEndOfTheConnectionEndsTheBody) {
    struct Case {
        const char* name;
        ScriptedReply response;
        DownloadResult result;
        std::string error;
    };
    const Case cases[] = {
        {"orderly close", reply("HTTP/1.0 200 OK\r\n\r\nGIF89a"), DownloadResult::Ok, ""},
        {"chunked, complete", reply(CHUNKED_HEAD + "4\r\nGIF8\r\n0\r\n\r\n"), DownloadResult::Ok,
         ""},
        // Sound behaviour: a body that did not end by an orderly close, or a
        // chunked body without its last chunk, is a cut image.
        {"chunked, cut inside a chunk", reply(CHUNKED_HEAD + "10\r\nGIF8"),
         DownloadResult::BadContent, "图片大小:4294967295, 实际接收到的文件大小:4, ret:0, errno:0"},
        {"receive time-out", reply("HTTP/1.0 200 OK\r\n\r\nGIF89a", false),
         DownloadResult::BadContent, "图片大小:4294967295, 实际接收到的文件大小:6, ret:-1, errno:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.response});
        const Outcome out = fetch(server.url("/n.gif"), WITHOUT_KEEP_ALIVE);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.error.substr(0, c.error.size()), c.error);
        EXPECT_EQ(out.saved, c.result == DownloadResult::Ok);
        EXPECT_EQ(ConnectionPool->count, 0);
    }
}

TEST_F(DownloadTest, HttpsAddressWithoutTlsOn443FallsBackToPort80WithAPlainHostLine) {
    std::unique_ptr<ScriptedServer> server;
    try {
        server = std::make_unique<ScriptedServer>(
            std::vector<ScriptedReply>{reply(with_length("GIF8"))}, 80);
    } catch (const std::exception&) {
        GTEST_SKIP() << "port 80 is not free here";
    }
    const Outcome out = fetch("https://127.0.0.1/s.gif");
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_TRUE(has_header(server->requests()[0].bytes, "Host: 127.0.0.1"));
    EXPECT_EQ(occurrences(log(), "HTTPS连接失败，改用HTTP下载：https://127.0.0.1/s.gif"), 1);
}

TEST_F(DownloadTest, AddressIsNormalizedBeforeItIsRequested) {
    ScriptedServer server({reply(with_length("GIF8"))});
    const Outcome out = fetch(server.url("/my pic.gif?a=1&amp;b=2"));
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(request_line(server.requests()[0].bytes), "GET /my%20pic.gif?a=1&b=2 HTTP/1.1");
}

// --- The head parser and the signature ---------------------------------------

TEST(ParseHttpHeader, ReadsTheFiveFieldsAndNothingElse) {
    struct Case {
        const char* head;
        int32_t contentLength;
        int32_t isChunked;
        const char* location;
        const char* connection;
        const char* contentEncoding;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK", -1, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 123", 123, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\ncontent-length: 5\r\nCONNECTION: Close", 5, 0, "", "Close", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length:5", -1, 0, "", "",
         ""},  // one space is part of the name
        {"HTTP/1.1 200 OK\r\nContent-Length: abc", 0, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length:  +42x", 42, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999", 2147483647, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2", 2, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", -1, 1, "", "", ""},
        {"HTTP/1.1 200 OK\r\ntransfer-encoding: CHUNKED", -1, 1, "", "", ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked", -1, 0, "", "", ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked ", -1, 0, "", "", ""},
        {"HTTP/1.1 302 Found\r\nLocation: http://h/b.jpg\n\n\nConnection: keep-alive", -1, 0,
         "http://h/b.jpg", "keep-alive", ""},
        {"HTTP/1.1 200 OK\rContent-Encoding: gzip\r\r\nX-Other: 1", -1, 0, "", "", "gzip"},
        {"HTTP/1.1 200 OK\r\nConnection: keep-alive, Upgrade, more", -1, 0, "", "keep-alive, Upg",
         ""},
    };
    for (const Case& c : cases) {
        std::string head = c.head;
        HttpHeader header;
        std::memset(&header, 0x5A, sizeof header);  // cleared by the parser
        parse_http_header(head.data(), &header);
        EXPECT_EQ(header.contentLength, c.contentLength) << c.head;
        EXPECT_EQ(header.isChunked, c.isChunked) << c.head;
        EXPECT_STREQ(header.location, c.location) << c.head;
        EXPECT_STREQ(header.connection, c.connection) << c.head;
        EXPECT_STREQ(header.contentEncoding, c.contentEncoding) << c.head;
    }
}

TEST(ParseHttpHeader, RefusesALongLocationAndCutsWhatNoDecisionReadsWhole) {
    const std::string longest = "http://h/" + std::string(502, 'l');  // 511 bytes
    std::string head = "HTTP/1.1 302 Found\r\nLocation: " + longest +
                       "x\r\nContent-Encoding: " + std::string(40, 'e');
    HttpHeader header{};
    parse_http_header(head.data(), &header);
    EXPECT_STREQ(header.location, "");
    EXPECT_EQ(header.refusedLocationLength, 512);
    EXPECT_EQ(std::string(header.contentEncoding), std::string(31, 'e'));

    // The last Location decides, as for every field.
    head = "HTTP/1.1 302 Found\r\nLocation: " + longest + "x\r\nLocation: " + longest;
    parse_http_header(head.data(), &header);
    EXPECT_EQ(std::string(header.location), longest);
    EXPECT_EQ(header.refusedLocationLength, 0);
}

TEST(IsSupportedImage, KnowsFourSignatures) {
    struct Case {
        unsigned char bytes[2];
        int supported;
    };
    const Case cases[] = {{{0xFF, 0xD8}, 1}, {{0x89, 0x50}, 1}, {{0x47, 0x49}, 1},
                          {{0x42, 0x4D}, 1}, {{0x52, 0x49}, 0}, {{0xD8, 0xFF}, 0},
                          {{0x00, 0x00}, 0}, {{0x47, 0x47}, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(is_supported_image(c.bytes), c.supported) << int(c.bytes[0]);
}

}  // namespace

namespace {

TEST_F(DownloadTest, AServerThatDripsItsBytesIsGivenUpAfterTheAttemptsLimit) {
    // One byte at a time, each well inside the receive time-out, never done in time.
    const std::string response = with_length(jpeg(200));
    ScriptedServer server(
        {reply_in_pieces(response, 1, 40, false), reply_in_pieces(response, 1, 40, false)});
    set_download_time_limit_for_testing(0.5);
    const double started = platform::monotonic_seconds();
    const Outcome out = fetch(server.url("/drip.jpg"));
    const double took = platform::monotonic_seconds() - started;
    set_download_time_limit_for_testing(DOWNLOAD_TIME_LIMIT_S);
    EXPECT_EQ(out.result, DownloadResult::Failed);
    EXPECT_EQ(out.error, "下载图片超时：0.5秒内没有下载完成。");
    EXPECT_EQ(out.details.failure, FailureKind::Timeout);
    EXPECT_FALSE(out.saved);
    EXPECT_TRUE(last_download_failure_transient());  // worth trying again later
    EXPECT_EQ(server.requests().size(), 1u);         // but not at once without keep-alive
    EXPECT_GE(took, 0.45);
    EXPECT_LT(took, 2.0);
}

}  // namespace

// --- Hosts that do not answer, and every address of a name -------------------

namespace {

TEST_F(DownloadTest, AHostThatTimesOutThreeTimesInARowIsGivenUpUntilTheCountsAreReset) {
    const std::string image = with_length(jpeg(30));
    ScriptedServer server({reply(image, false), no_answer(), no_answer(), reply(image, false),
                           no_answer(), no_answer(), no_answer(), reply(image, false)});
    const int port = server.port();
    const std::string given_up =
        "主机多次没有响应，本次不再等待：127.0.0.1:" + std::to_string(port);
    // A success between time-outs starts the count again.
    const DownloadResult expected[] = {
        DownloadResult::Ok,     DownloadResult::Failed, DownloadResult::Failed, DownloadResult::Ok,
        DownloadResult::Failed, DownloadResult::Failed, DownloadResult::Failed};
    const int counts[] = {0, 1, 2, 0, 1, 2, 3};
    for (int i = 0; i < 7; ++i) {
        const Outcome out = fetch(server.url("/" + std::to_string(i) + ".jpg"));
        EXPECT_EQ(out.result, expected[i]) << i << " " << out.error;
        EXPECT_EQ(host_timeout_count("127.0.0.1", port), counts[i]) << i;
    }
    EXPECT_EQ(server.requests().size(), 7u);
    EXPECT_EQ(occurrences(log(), " 连续3次没有响应，本次不再等待这个主机"), 1) << log();

    // Given up: no connection, no retry, no extra try.
    const int connections = server.connections();
    const Outcome refused = fetch(server.url("/7.jpg"));
    EXPECT_EQ(refused.result, DownloadResult::Failed);
    EXPECT_EQ(refused.error, given_up);
    EXPECT_EQ(refused.details.failure, FailureKind::HostGivenUp);
    EXPECT_FALSE(last_download_failure_transient());
    EXPECT_EQ(server.connections(), connections);

    // The next job tries the host again.
    reset_connect_failures();
    EXPECT_EQ(fetch(server.url("/8.jpg")).result, DownloadResult::Ok);
    EXPECT_EQ(server.requests().size(), 8u);
}

TEST_F(DownloadTest, AnIpv6LiteralAndANameServedOnIpv6OnlyAreFetched) {
    std::unique_ptr<ScriptedServer> server;
    try {
        server = std::make_unique<ScriptedServer>(
            std::vector<ScriptedReply>{reply(with_length("GIF8-six")),
                                       reply(with_length("GIF8-2"))},
            0, "::1");
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback (::1) on this system";
    }
    const std::string url = server->url("/a.gif");
    ASSERT_EQ(url.substr(0, 13), "http://[::1]:");
    const Outcome out = fetch(url);
    EXPECT_EQ(out.result, DownloadResult::Ok) << out.error;
    EXPECT_EQ(out.content, "GIF8-six");
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_TRUE(
        has_header(server->requests()[0].bytes, "Host: [::1]:" + std::to_string(server->port())));

    // A name whose IPv4 address has nothing listening: its IPv6 one serves.
    platform::set_host_for_testing("six-only.test", "127.0.0.1,::1", 0);
    const Outcome named =
        fetch("http://six-only.test:" + std::to_string(server->port()) + "/b.gif");
    platform::set_host_for_testing(nullptr, nullptr, 0);
    EXPECT_EQ(named.result, DownloadResult::Ok) << named.error;
    EXPECT_EQ(named.content, "GIF8-2");
}

TEST_F(DownloadTest, EveryAddressOfANameIsTriedTheNextAtOnceOnAFailureElseAfterAQuarterSecond) {
    set_connection_timeouts_for_testing(3000, SHORT_SOCKET_MS);
    // The first address refuses: the next one is tried at once.
    ScriptedServer server({reply(with_length("GIF8-1")), reply(with_length("GIF8-2"))});
    platform::set_host_for_testing("refusing-first.test", "127.0.0.2,127.0.0.1", 0);
    const Outcome refused =
        fetch("http://refusing-first.test:" + std::to_string(server.port()) + "/1.gif");
    EXPECT_EQ(refused.result, DownloadResult::Ok) << refused.error;
    EXPECT_EQ(refused.content, "GIF8-1");

    // The first address never answers (its queue is full): the next one
    // starts after a quarter second, long before the connect limit.
    SilentListener silent;
    ScriptedServer beside({reply(with_length("GIF8-3"))}, silent.port(), "127.0.0.2");
    platform::set_host_for_testing("silent-first.test", "127.0.0.1,127.0.0.2", 0);
    const double started = platform::monotonic_seconds();
    const Outcome staggered =
        fetch("http://silent-first.test:" + std::to_string(silent.port()) + "/3.gif");
    const double took = platform::monotonic_seconds() - started;
    EXPECT_EQ(staggered.result, DownloadResult::Ok) << staggered.error;
    EXPECT_EQ(staggered.content, "GIF8-3");
    EXPECT_GE(took, 0.2);
    EXPECT_LT(took, 1.5);

    // A name is looked up once per job: the table's answer changes, the job's does not.
    platform::set_host_for_testing("refusing-first.test", "", 0);
    EXPECT_EQ(
        fetch("http://refusing-first.test:" + std::to_string(server.port()) + "/2.gif").result,
        DownloadResult::Ok);
    reset_connect_failures();
    const Outcome unknown =
        fetch("http://refusing-first.test:" + std::to_string(server.port()) + "/2.gif");
    EXPECT_EQ(unknown.error, "无法解析域名: refusing-first.test");
    platform::set_host_for_testing(nullptr, nullptr, 0);
}

}  // namespace
