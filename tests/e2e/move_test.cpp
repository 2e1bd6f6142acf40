// kelvane-cli move against a loopback image host: files, package, exit
// statuses, and a job stopped with Ctrl+C that a second run completes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/charset.h"
#include "support/cli_runner.h"
#include "support/cli_test.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/tls_front.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

class MoveCliTest : public CliTest {
  protected:
    size_t pictures_saved() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(pictures()), fs::directory_iterator()));
    }
};

TEST_F(MoveCliTest, MovesImagesRewritesThePackageAndReportsFailures) {
    server.add("/a.jpg", jpeg_body(80));
    server.add("/m.jpg", jpeg_body(90));
    PackageBuilder builder;
    builder
        .add(PackageItem{"连衣裙", "<img src=\"" + server.url("/a.jpg") + "\">",
                         "<img>" + server.url("/m.jpg") + "</img>", ""})
        .add(PackageItem{"帆布包", "<img src=\"" + server.url("/gone.jpg") + "\">", "", ""});
    builder.write(package());

    const CliRun run = run_cli({"move", package(), "--to", pictures()}, home());
    EXPECT_EQ(run.status, 5) << run.err;  // done and saved, but an image failed
    EXPECT_EQ(pictures_saved(), 2u);
    const std::string saved = utf16le_to_gbk(read_file(package()));
    EXPECT_EQ(saved.find(server.url("/a.jpg")), std::string::npos);
    EXPECT_EQ(saved.find(server.url("/m.jpg")), std::string::npos);
    EXPECT_NE(saved.find(server.url("/gone.jpg")), std::string::npos);
#ifndef _WIN32
    EXPECT_EQ(utf16le_to_gbk(read_file(home() + "/bak/shop(1).csv")), builder.text());
    // Text for people: UTF-8 on this terminal-less run, one progress line per item.
    EXPECT_NE(run.out.find(utf8("数据包(shop.csv)已更新")), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(utf8("加上 --blank-failed 选项")), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(utf8("[1/2] 已存 2 张，失败 0 张：连衣裙\n")), std::string::npos)
        << run.err;
    // The summary at the end says where to look further.
    EXPECT_NE(run.err.find(utf8("已存 2 张图片，失败 1 张，按选项跳过 0 张，用时 0:0")),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(utf8("详细原因见应用日志：") + home() + "/app.log\n"), std::string::npos)
        << run.err;
    EXPECT_NE(
        run.err.find(utf8(
            "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：\n" +
            server.url("/gone.jpg") + "  (HTTP 404 文件不存在)\n")),
        std::string::npos)
        << run.err;
    EXPECT_NE(read_log(home() + "/app.log").find("\xB0\xE1\xBC\xD2\xCA\xA7\xB0\xDC"),
              std::string::npos);  // 搬家失败
    // The run began with the date and the command, in UTF-8 like the rest.
    const std::string log = read_file(home() + "/app.log");
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(^\d\d:\d\d:\d\d ==== \d{4}-\d\d-\d\d \(.+\) )"
                                                  R"(kelvane-cli move /\S+/shop.csv --to /)")))
        << log;
    EXPECT_NE(log.find(utf8("搬家失败：") + server.url("/gone.jpg")), std::string::npos) << log;
#endif

    // A second run meets only the address that fails again: still not done.
    const CliRun again = run_cli({"move", package(), "--to", pictures(), "--json"}, home());
    EXPECT_EQ(again.status, 5) << again.err;
    EXPECT_EQ(server.hits("/a.jpg"), 1);
    auto report = nlohmann::json::parse(again.out);
    EXPECT_EQ(report["status"], 5);
    EXPECT_EQ(report["counts"]["failed"], 1);
}

TEST_F(MoveCliTest, StartChecksAndRefusedPackagesEndWithTheirStatus) {
    PackageBuilder().add(PackageItem{"a", "", "", ""}).write(package());
    const std::string malformed = dir.file("bad.csv");
    write_file(malformed, "version 1.00\r\n");
    const std::string long_title = dir.file("long.csv");
    PackageBuilder().add(PackageItem{std::string(254, 'x'), "", "", ""}).write(long_title);

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* hint = nullptr;  // the option the console names beside the message
    };
    const Case cases[] = {
        {"no source option",
         {"move", package(), "--to", pictures(), "--skip-image-space", "--skip-third-party"},
         2,
         "--skip-image-space 与 --skip-third-party 不能同时使用"},
        {"no folder", {"move", package()}, 2, "用 --to 文件夹 指定"},
        {"missing folder", {"move", package(), "--to", dir.file("nowhere")}, 2},
        {"missing package", {"move", dir.file("none.csv"), "--to", pictures()}, 2},
        {"unknown option", {"move", package(), "--to", pictures(), "--fast"}, 2},
        {"timeout out of range", {"move", package(), "--to", pictures(), "--timeout", "0"}, 2},
        {"malformed package", {"move", malformed, "--to", pictures()}, 3},
        {"title too long", {"move", long_title, "--to", pictures()}, 4},
    };
    for (const Case& c : cases) {
        const CliRun run = run_cli(c.args, home());
        EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
        EXPECT_FALSE(run.err.empty()) << c.what;
        if (c.hint != nullptr) {
            EXPECT_NE(run.err.find(printed(c.hint)), std::string::npos) << c.what << "\n"
                                                                        << run.err;
        }
        // A script asking for JSON gets its one object even so.
        std::vector<std::string> json = c.args;
        json.push_back("--json");
        const CliRun scripted = run_cli(json, home());
        EXPECT_EQ(scripted.status, c.status) << c.what;
        auto report = nlohmann::json::parse(scripted.out, nullptr, false);
        ASSERT_TRUE(report.is_object()) << c.what << "\n" << scripted.out;
        EXPECT_EQ(report["outcome"], "refused") << c.what;
        EXPECT_EQ(report["status"], c.status) << c.what;
        EXPECT_FALSE(report["message"].get<std::string>().empty()) << c.what;
    }
#ifndef _WIN32
    const CliRun desktop = run_cli({"move", package(), "--to", pictures() + "/"}, home(),
                                   {"XDG_DESKTOP_DIR=" + pictures()});
    EXPECT_EQ(desktop.status, 2);
    EXPECT_NE(desktop.err.find(utf8("桌面")), std::string::npos) << desktop.err;
    fs::create_directories(pictures() + "/inside");
    const CliRun inside = run_cli({"move", package(), "--to", pictures() + "/inside"}, home(),
                                  {"XDG_DESKTOP_DIR=" + pictures()});
    EXPECT_EQ(inside.status, 0) << inside.err;
#endif
}

TEST_F(MoveCliTest, TimeoutBoundsEveryWaitOfMoveAndFetch) {
    ScriptedServer silent;
    silent.set_responder([](const std::string&) { return no_answer(); });
    server.add("/a.jpg", jpeg_body(80));
    PackageBuilder()
        .add(PackageItem{
            "a",
            "<img src=\"" + server.url("/a.jpg") + "\"><img src=\"" + silent.url("/b.jpg") + "\">",
            "", ""})
        .write(package());
    // The default would wait ten seconds for the silent host, each time.
    double started = platform::monotonic_seconds();
    const CliRun move = run_cli(
        {"move", package(), "--to", pictures(), "--timeout", "1", "--retries", "1", "--json"},
        home());
    EXPECT_EQ(move.status, 5) << move.err;  // the silent host's image failed
    EXPECT_LT(platform::monotonic_seconds() - started, 6.0);
    EXPECT_EQ(pictures_saved(), 1u);
    // It says why, and how often it was tried.
    auto failure = nlohmann::json::parse(move.out)["failures"][0];
    EXPECT_EQ(failure["url"], silent.url("/b.jpg"));
    EXPECT_EQ(failure["reason"], "timeout");
    EXPECT_EQ(failure["status"], nullptr);
    EXPECT_EQ(failure["attempts"], 2);
    EXPECT_FALSE(failure["text"].get<std::string>().empty());
#ifndef _WIN32
    EXPECT_NE(move.err.find(silent.url("/b.jpg") + utf8("  (超时，试了 2 次)\n")),
              std::string::npos)
        << move.err;
#endif

    started = platform::monotonic_seconds();
    const CliRun fetch =
        run_cli({"fetch", silent.url("/c.jpg"), dir.file("c.jpg"), "--timeout", "1"}, home());
    EXPECT_EQ(fetch.status, 1);
    EXPECT_LT(platform::monotonic_seconds() - started, 5.0);
    EXPECT_EQ(run_cli({"fetch", "--timeout", "61", "u", "f"}, home()).status, 2);
}

TEST_F(MoveCliTest, AHostThatKeepsTimingOutIsGivenUpForTheRestOfTheJob) {
    ScriptedServer silent;
    silent.set_responder([](const std::string&) { return no_answer(); });
    std::string description;
    for (int i = 0; i < 6; ++i)
        description += "<img src=\"" + silent.url("/" + std::to_string(i) + ".jpg") + "\">";
    PackageBuilder().add(PackageItem{"a", description, "", ""}).write(package());
    // One connection, and one more beside a slow one: at most two time-outs
    // run at once, so the host is given up before the last images start.
    const CliRun run = run_cli({"move", package(), "--to", pictures(), "--timeout", "1",
                                "--retries", "0", "--connections", "1", "--json"},
                               home());
    EXPECT_EQ(run.status, 5) << run.err;
    auto failures = nlohmann::json::parse(run.out)["failures"];
    ASSERT_EQ(failures.size(), 6u) << run.out;
    int timeouts = 0;
    int givenUp = 0;
    for (auto& failure : failures) {
        timeouts += failure["reason"] == "timeout";
        givenUp += failure["reason"] == "host given up";
        EXPECT_EQ(failure["status"], nullptr);
        EXPECT_EQ(failure["attempts"], 1);
    }
    EXPECT_GE(timeouts, 3) << run.out;
    EXPECT_GE(givenUp, 1) << run.out;
    EXPECT_EQ(timeouts + givenUp, 6) << run.out;
    EXPECT_LE(silent.connections(), 4);
}

TEST_F(MoveCliTest, HttpsImagesFetchedOverPlainHttpAreListedUnlessRefused) {
    // A plain HTTP host: a TLS hello gets "400 Bad Request", the image plain HTTP.
    server.set_reject_tls(true);
    server.add("/a.jpg", jpeg_body(70));
    const std::string secure = "https://127.0.0.1:" + std::to_string(server.port()) + "/a.jpg";
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + secure + "\">", "", ""});
    builder.write(package());

    const CliRun fallback = run_cli({"move", package(), "--to", pictures(), "--json"}, home());
    EXPECT_EQ(fallback.status, 0) << fallback.err;
    auto report = nlohmann::json::parse(fallback.out);
    EXPECT_EQ(report["counts"]["http_fallback"], 1);
    EXPECT_EQ(report["http_fallback"], nlohmann::json::array({secure}));
    EXPECT_EQ(server.hits("/a.jpg"), 1);
#ifndef _WIN32
    EXPECT_NE(fallback.err.find(utf8("其中 1 张 https 图片因 HTTPS 连接失败改用 HTTP 下载")),
              std::string::npos)
        << fallback.err;
#endif

    // HTTPS or nothing: the image fails for its TLS, and is not asked for.
    builder.write(package());
    const CliRun strict =
        run_cli({"move", package(), "--to", pictures(), "--no-http-fallback", "--json"}, home());
    EXPECT_EQ(strict.status, 5) << strict.err;
    report = nlohmann::json::parse(strict.out);
    EXPECT_EQ(report["counts"]["http_fallback"], 0);
    ASSERT_EQ(report["failures"].size(), 1u) << strict.out;
    EXPECT_EQ(report["failures"][0]["reason"], "tls");
    EXPECT_EQ(report["failures"][0]["status"], nullptr);
    EXPECT_EQ(report["failures"][0]["attempts"], 1);
    EXPECT_EQ(server.hits("/a.jpg"), 1);

    // fetch alike, and it says when it fell back.
    const CliRun fetched = run_cli({"fetch", secure, dir.file("a.jpg")}, home());
    EXPECT_EQ(fetched.status, 0) << fetched.err;
    const CliRun refused =
        run_cli({"fetch", "--no-http-fallback", secure, dir.file("b.jpg")}, home());
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_EQ(server.hits("/a.jpg"), 2);
#ifndef _WIN32
    EXPECT_EQ(fetched.err, utf8("已改用 HTTP 下载(HTTPS 连接失败)：") + secure + utf8(" → ") +
                               dir.file("a.jpg") + "\n");
    EXPECT_EQ(refused.err.rfind(utf8("下载失败 (-1，HTTPS 连接失败)：") + secure, 0), 0u)
        << refused.err;
#endif
}

TEST_F(MoveCliTest, HttpsImagesAreMovedOverTlsOneSessionPerConnection) {
    constexpr int IMAGES = 12;
    TlsFront front(server.port(), TestCert::Trusted, false);
    std::string description;
    for (int i = 0; i < IMAGES; ++i) {
        const std::string path = "/s" + std::to_string(i) + ".jpg";
        server.add(path, jpeg_body(2000 + static_cast<size_t>(i)));
        description += "<img src=\"" + front.url(path) + "\">";
    }
    PackageBuilder().add(PackageItem{"secure", description, "", ""}).write(package());

    const CliRun run = run_cli({"move", package(), "--to", pictures(), "--connections", "3"},
                               home(), {"SSL_CERT_FILE=" + test_ca_pem_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(pictures_saved(), static_cast<size_t>(IMAGES));
    EXPECT_EQ(utf16le_to_gbk(read_file(package())).find("https://"), std::string::npos);
    // One handshake per connection, not per image; on a slow machine a
    // download running over a second lets one more connection start.
    EXPECT_GE(front.handshakes(), 1);
    EXPECT_LE(front.handshakes(), 2 * 3);
}

TEST_F(MoveCliTest, GnuOptionFormsAndAQuietRunSaysNothingButFatalErrors) {
    server.add("/a.jpg", jpeg_body(80));
    PackageBuilder()
        .add(PackageItem{"a",
                         "<img src=\"" + server.url("/a.jpg") + "\"><img src=\"" +
                             server.url("/gone.jpg") + "\">",
                         "", ""})
        .write(package());
    const CliRun run =
        run_cli({"move", "--to=" + pictures(), "--connections=2", "-q", "--", package()}, home());
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_EQ(pictures_saved(), 1u);
    // No progress, failure list, final message or summary.
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

#ifndef _WIN32
TEST_F(MoveCliTest, InterruptedJobSavesWhatItMovedAndASecondRunFinishes) {
    constexpr int IMAGES = 12;
    PackageBuilder builder;
    for (int i = 0; i < IMAGES; ++i) {
        const std::string path = "/p" + std::to_string(i) + ".jpg";
        server.add(path, jpeg_body(40 + i));
        builder.add(PackageItem{"item " + std::to_string(i),
                                "<img src=\"" + server.url(path) + "\">", "", ""});
    }
    builder.write(package());
    server.set_delay_ms(150);

    // One connection: the images arrive one after another.
    const pid_t child =
        start_cli({"move", package(), "--to", pictures(), "--quiet", "--connections", "1"}, home());
    // Let a few images arrive, then press Ctrl+C.
    for (int waited = 0; server.total_hits() < 4 && waited < 10000; waited += 10) usleep(10000);
    kill(child, SIGINT);
    EXPECT_EQ(wait_cli(child), 130);
    const size_t first_run = pictures_saved();
    EXPECT_GE(first_run, 3u);  // the download under way is abandoned
    EXPECT_LT(first_run, static_cast<size_t>(IMAGES));
    const std::string after_stop = utf16le_to_gbk(read_file(package()));
    size_t still_remote = 0;
    for (int i = 0; i < IMAGES; ++i)
        still_remote +=
            after_stop.find(server.url("/p" + std::to_string(i) + ".jpg")) != std::string::npos;
    EXPECT_EQ(still_remote, IMAGES - first_run);  // everything saved is rewritten

    server.set_delay_ms(0);
    const CliRun second = run_cli({"move", package(), "--to", pictures()}, home());
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(pictures_saved(), static_cast<size_t>(IMAGES));
    // What the first run saved is not fetched again; only the one download
    // that was under way at Ctrl+C is asked for twice.
    for (int i = 0; i < IMAGES; ++i) {
        const int hits = server.hits("/p" + std::to_string(i) + ".jpg");
        if (i == static_cast<int>(first_run)) {
            EXPECT_TRUE(hits == 1 || hits == 2) << i;
        } else {
            EXPECT_EQ(hits, 1) << i;
        }
    }
    EXPECT_EQ(utf16le_to_gbk(read_file(package())).find("http://"), std::string::npos);
}

// A shop of `count` items, each showing one image served at `<tag><i>.jpg`.
void write_shop(ImageServer& server, const std::string& tag, int count, const std::string& path) {
    PackageBuilder builder;
    for (int i = 0; i < count; ++i) {
        const std::string image = tag + std::to_string(i) + ".jpg";
        server.add(image, jpeg_body(40 + static_cast<size_t>(i)));
        builder.add(PackageItem{"item " + std::to_string(i),
                                "<img src=\"" + server.url(image) + "\">", "", ""});
    }
    builder.write(path);
}

TEST_F(MoveCliTest, AClosedTerminalOrATerminateStopsAndSavesAsCtrlCDoes) {
    constexpr int IMAGES = 12;
    server.set_delay_ms(150);
    for (const int signal : {SIGHUP, SIGTERM}) {
        const std::string tag = "/s" + std::to_string(signal) + "-";
        write_shop(server, tag, IMAGES, package());
        // The output goes where nobody reads it any more, as a closed
        // terminal's does.
        int output[2];
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);  // the reader stays ours alone
        const int before = server.total_hits();
        const pid_t child = start_cli({"move", package(), "--to", pictures(), "--connections", "1"},
                                      home(), {}, output[1]);
        close(output[1]);
        for (int waited = 0; server.total_hits() - before < 4 && waited < 10000; waited += 10)
            usleep(10000);
        close(output[0]);
        kill(child, signal);
        EXPECT_EQ(wait_cli(child), 130) << signal;
        const std::string saved = utf16le_to_gbk(read_file(package()));
        int remote = 0;
        for (int i = 0; i < IMAGES; ++i)
            remote += saved.find(server.url(tag + std::to_string(i) + ".jpg")) != std::string::npos;
        EXPECT_LE(remote, IMAGES - 3) << signal;  // what arrived is in the package
        EXPECT_GT(remote, 0) << signal;
    }
}

TEST_F(MoveCliTest, AnOutputNobodyReadsNeverEndsTheJob) {
    // As `kelvane-cli move … 2>&1 | head -1`: the reader goes after a line.
    constexpr int IMAGES = 20;
    write_shop(server, "/h", IMAGES, package());
    server.set_delay_ms(30);
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);  // the reader stays ours alone
    const pid_t child = start_cli({"move", package(), "--to", pictures(), "--connections", "1"},
                                  home(), {}, output[1]);
    close(output[1]);
    char c = 0;
    while (read(output[0], &c, 1) == 1 && c != '\n') {
    }
    close(output[0]);
    EXPECT_EQ(wait_cli(child), 0);
    EXPECT_EQ(utf16le_to_gbk(read_file(package())).find("http://"), std::string::npos);
    EXPECT_EQ(pictures_saved(), static_cast<size_t>(IMAGES));  // no temporary file left
}
#endif

}  // namespace
