#include "http/url.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace {

const std::string UA =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/72.0.3610.2";

std::string request_of(const char* host, const char* path, int port, int keepAlive) {
    char request[REQUEST_BUFFER_SIZE];
    if (!build_get_request(host, path, port, keepAlive, request)) return "<refused>";
    return request;
}

TEST(NormalizeImageUrl, UnescapesAmpersandsThenEscapesSpaces) {
    struct Case {
        const char* url;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h/a.jpg?x=1&amp;y=2", "http://h/a.jpg?x=1&y=2"},
        {"http://h/my pic.jpg", "http://h/my%20pic.jpg"},
        {"http://h/a b.jpg?x&amp;y", "http://h/a%20b.jpg?x&y"},
        // "&amp;amp;" loses one level only: nothing is unescaped twice.
        {"http://h/a.jpg?&amp;amp;", "http://h/a.jpg?&amp;"},
        {"http://h/%41 .jpg", "http://h/%41%20.jpg"},  // no other escaping or unescaping
    };
    for (const Case& c : cases) {
        const char* out = normalize_image_url(c.url);
        ASSERT_NE(out, c.url) << c.url;
        EXPECT_STREQ(out, c.expected);
        std::free(const_cast<char*>(out));
    }
    const char* plain = "http://h/a.jpg?x=1&y=2";
    EXPECT_EQ(normalize_image_url(plain), plain);  // unchanged and not copied
}

TEST(UrlParse, SplitsHostPortAndPath) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        const char* path;
    };
    const Case cases[] = {
        {"http://h/a/b.jpg", "h", 80, "/a/b.jpg"},
        {"https://h/a.jpg", "h", 443, "/a.jpg"},
        {"HTTPS://h/a.jpg", "h", 80, "/a.jpg"},  // the https port needs the scheme in lower case
        {"Https://h/a.jpg", "h", 80, "/a.jpg"},
        {"//h/x.jpg", "h", 80, "/x.jpg"},
        {"httpfoo://h/x.jpg", "h", 80, "/x.jpg"},
        {"http://h:81/x.jpg?v=1", "h", 81, "/x.jpg?v=1"},
        {"https://h:8443/x.jpg", "h", 8443, "/x.jpg"},
        {"http://h:abc/x.jpg", "h", 0, "/x.jpg"},
        {"http://h: +99/x.jpg", "h", 99, "/x.jpg"},
        {"http://h:-5/x.jpg", "h", -5, "/x.jpg"},
        {"http://h:99999999999/x.jpg", "h", INT_MAX, "/x.jpg"},  // saturates, never wraps
        {"http://h:/x.jpg", "h", 0, "/x.jpg"},
        {"http://:82/x.jpg", "", 82, "/x.jpg"},
        {"http:///x.jpg", "", 80, "/x.jpg"},
        {"http://a:b:c/x.jpg", "a", 0, "/x.jpg"},
        {"http://user@h:8080/a.jpg#top", "user@h", 8080, "/a.jpg#top"},
        {"http://h/a%20b.jpg?q=/x", "h", 80, "/a%20b.jpg?q=/x"},
        // The host starts two bytes after the first "/", whatever they are.
        {"http:/a/b/c.jpg", "", 80, "/b/c.jpg"},
        // An IPv6 literal keeps its brackets; only a colon after them starts the port.
        {"http://[::1]:8080/a.jpg", "[::1]", 8080, "/a.jpg"},
        {"http://[2001:db8::7]/a.jpg", "[2001:db8::7]", 80, "/a.jpg"},
        {"https://[::1]/a.jpg", "[::1]", 443, "/a.jpg"},
        {"http://[::1]x:81/a.jpg", "[::1]x:81", 80, "/a.jpg"},  // no name; the lookup refuses it
    };
    for (const Case& c : cases) {
        UrlParts parts{};
        ASSERT_EQ(url_parse(c.url, &parts), 1) << c.url;
        EXPECT_STREQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_STREQ(parts.path, c.path) << c.url;
        url_parts_free(&parts);
        EXPECT_EQ(parts.host, nullptr);
        EXPECT_EQ(parts.path, nullptr);
    }
}

TEST(UrlParse, HttpsInAnyCaseGoesOverTlsToTheNamedPortElse443) {
    struct Case {
        const char* url;
        bool secure;
        int tlsPort;
        int plainPort;  // where the fallback goes, before 443 becomes 80
    };
    const Case cases[] = {
        {"https://h/a.jpg", true, 443, 443},
        {"HTTPS://h/a.jpg", true, 443, 80},
        {"hTtPs://h:8443/a.jpg", true, 8443, 8443},
        {"https://h:80/a.jpg", true, 80, 80},
        {"http://h/a.jpg", false, 443, 80},
        {"httpsx://h/a.jpg", false, 443, 80},
        {"//h/a.jpg", false, 443, 80},
    };
    for (const Case& c : cases) {
        UrlParts parts{};
        ASSERT_EQ(url_parse(c.url, &parts), 1) << c.url;
        EXPECT_EQ(parts.secure, c.secure) << c.url;
        if (c.secure) {
            EXPECT_EQ(parts.tlsPort, c.tlsPort) << c.url;
        }
        EXPECT_EQ(parts.port, c.plainPort) << c.url;
        url_parts_free(&parts);
    }
}

TEST(UrlParse, RefusesAndLeavesTheRecordUntouched) {
    const char* refused[] = {"http://h", "http://h?x=1",  "ftp://h/a.jpg",  "/a/b.jpg",
                             "a.jpg",    "http:",         "http:/",         "//",
                             "",         "htt://h/a.jpg", "file:///c/a.jpg"};
    for (const char* url : refused) {
        char host_mark = 'h';
        char path_mark = 'p';
        UrlParts parts{&host_mark, &path_mark, 1234, false, 0};
        EXPECT_EQ(url_parse(url, &parts), 0) << url;
        EXPECT_EQ(parts.host, &host_mark) << url;
        EXPECT_EQ(parts.path, &path_mark) << url;
        EXPECT_EQ(parts.port, 1234) << url;
    }
}

TEST(BuildGetRequest, KeepAliveAndCloseFormsByteForByte) {
    EXPECT_EQ(request_of("h", "/a/b.jpg", 80, 1),
              "GET /a/b.jpg HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" + UA +
                  "\r\nHost: h\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(request_of("h", "/x.jpg?v=1", 81, 1),
              "GET /x.jpg?v=1 HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" + UA +
                  "\r\nHost: h:81\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(request_of("img.example", "/a.jpg", 80, 0),
              "GET /a.jpg HTTP/1.0\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" + UA +
                  "\r\nHost: img.example\r\nConnection: close\r\n\r\n");
    // Over TLS the Host line leaves out 443 instead of 80.
    char request[REQUEST_BUFFER_SIZE];
    ASSERT_TRUE(build_get_request("h", "/a.jpg", 443, 1, request, Transport::Tls));
    EXPECT_NE(std::string(request).find("\r\nHost: h\r\n"), std::string::npos);
    ASSERT_TRUE(build_get_request("h", "/a.jpg", 80, 1, request, Transport::Tls));
    EXPECT_NE(std::string(request).find("\r\nHost: h:80\r\n"), std::string::npos);
    // GBK bytes in a path go out as they are.
    EXPECT_EQ(request_of("h", "/\xCD\xBC.jpg", 80, 0).substr(0, 22),
              "GET /\xCD\xBC.jpg HTTP/1.0\r\n");
}

TEST(BuildGetRequest, RefusesWhatWouldNotFitOrWouldForgeHeaders) {
    // "\r\nHost: " takes 8 of the Host line's 64 bytes and the NUL one more.
    EXPECT_NE(request_of(std::string(55, 'a').c_str(), "/a", 80, 1), "<refused>");
    EXPECT_EQ(request_of(std::string(56, 'a').c_str(), "/a", 80, 1), "<refused>");
    EXPECT_NE(request_of(std::string(52, 'a').c_str(), "/a", 81, 1), "<refused>");
    EXPECT_EQ(request_of(std::string(53, 'a').c_str(), "/a", 81, 1), "<refused>");

    // The longest path whose request still fits 1023 bytes, then one more.
    const std::string base = request_of("h", "/", 80, 1);
    const std::string fits = "/" + std::string(REQUEST_BUFFER_SIZE - 1 - base.size(), 'p');
    EXPECT_EQ(request_of("h", fits.c_str(), 80, 1).size(), REQUEST_BUFFER_SIZE - 1);
    EXPECT_EQ(request_of("h", (fits + "p").c_str(), 80, 1), "<refused>");

    EXPECT_EQ(request_of("h", "/a.jpg\r\nCookie: x", 80, 1), "<refused>");
    EXPECT_EQ(request_of("h\r\nX: y", "/a.jpg", 80, 1), "<refused>");
    EXPECT_EQ(request_of("h", "/a\t.jpg", 80, 1), "<refused>");
}

}  // namespace
