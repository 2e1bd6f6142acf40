// kelvane-cli as a seller meets it at a terminal and as a script reads it:
// a progress line that fits the terminal, Ctrl+C, the folder written whole
// into the package, the console's own wording, the system's reasons, names
// GBK cannot hold, the JSON report and the help.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "shell/charset.h"
#include "support/cli_runner.h"
#include "support/cli_test.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace fs = std::filesystem;

namespace {

[[maybe_unused]] std::string u(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// The program's words as kelvane-cli writes them when its output is not a
// console: UTF-8 on POSIX, GBK (the system's code page) on Windows.
std::string printed(const std::string& gbk) {
#ifdef _WIN32
    return gbk;
#else
    return utf8(gbk);
#endif
}

// Runs kelvane-cli with file names that GBK may lack. Windows hands them over
// only in the wide command line, which std::system cannot write.
CliRun run_cli_with_names(const std::vector<fs::path>& args, const std::string& home) {
#ifdef _WIN32
    TempDir capture;
    const fs::path out = fs::path(capture.path()) / "out.txt";
    const fs::path err = fs::path(capture.path()) / "err.txt";
    std::wstring command = L"\"\"" + fs::path(cli_path()).wstring() + L"\"";
    for (const fs::path& arg : args) command += L" \"" + arg.wstring() + L"\"";
    command += L" >\"" + out.wstring() + L"\" 2>\"" + err.wstring() + L"\"\"";
    CliRun run;
    run.status = _wsystem(command.c_str());
    run.out = read_file(out.string());
    run.err = read_file(err.string());
    (void)home;
    return run;
#else
    std::vector<std::string> native;
    for (const fs::path& arg : args) native.push_back(arg.string());
    return run_cli(native, home);
#endif
}

class ConsoleTest : public CliTest {
  protected:
    std::string image(const std::string& path) {
        server.add(path, jpeg_body(60 + path.size()));
        return server.url(path);
    }
};

TEST_F(ConsoleTest, TheJsonReportTellsAScriptWhatTheJobDid) {
    // Only image-space descriptions are chosen: the two third-party
    // addresses stay remote and count as skipped; mobile detail is moved.
    const std::string kept = image("/img.alicdn.com/a.jpg");
    const std::string mobile = image("/m.jpg");
    const std::string gone = server.url("/img.alicdn.com/gone.jpg");
    const std::string third = image("/t1.jpg");
    const std::string third2 = image("/t2.jpg");
    PackageBuilder builder;
    builder
        .add(PackageItem{"连衣裙", "<img src=\"" + kept + "\"><img src=\"" + third + "\">",
                         "<img>" + mobile + "</img>", ""})
        .add(PackageItem{
            "帆布包",
            "<img src=\"" + kept + "\"><img src=\"" + gone + "\"><img src=\"" + third2 + "\">", "",
            ""});
    builder.write(package());

    const CliRun run =
        run_cli({"move", package(), "--to", pictures(), "--skip-third-party", "--json"}, home());
    ASSERT_EQ(run.status, 5) << run.err;
    auto report = nlohmann::json::parse(run.out);  // stdout holds the report alone
    EXPECT_EQ(report["command"], "move");
    EXPECT_FALSE(report["version"].get<std::string>().empty());
    EXPECT_EQ(report["status"], 5);
    EXPECT_GE(report["elapsed"].get<double>(), 0.0);
    EXPECT_EQ(report["package"], package());
    EXPECT_EQ(report["folder"], pictures());
    EXPECT_EQ(report["outcome"], "finished");
    EXPECT_EQ(report["counts"], nlohmann::json::parse(R"({"items": 2, "done": 2, "saved": 2,
                                                          "failed": 1, "skipped": 2,
                                                          "http_fallback": 0})"));
    EXPECT_EQ(report["package_saved"], true);
    EXPECT_EQ(report["error"], nullptr);
    EXPECT_EQ(
        report["message"].get<std::string>().rfind(
            utf8("图片搬家已完成，数据包(shop.csv)已更新。\n\n注意：有部分图片搬家失败！"), 0),
        0u);
    const std::string backup = report["backup"];
    const std::string backupName = fs::path(backup).filename().string();
    EXPECT_EQ(backupName.rfind("shop(", 0), 0u) << backup;  // the number is the first free one
    EXPECT_EQ(backupName.substr(backupName.size() - 5), ").csv") << backup;
    EXPECT_TRUE(read_file(backup) == builder.file_bytes());
    // Why it failed beside the image client's own text; a 404 is final, so tried once.
    EXPECT_EQ(report["failures"],
              nlohmann::json::parse(R"([{"url": ")" + gone + R"(", "item": 1, "title": ")" +
                                    utf8("帆布包") + R"(", "column": "desc", "reason": "http 404",
                                    "status": 404, "attempts": 1, "blanked": false, "text": ")" +
                                    utf8("404 Not Found - 文件不存在") + R"("}])"));
    EXPECT_EQ(report["http_fallback"], nlohmann::json::array());
    const std::string saved = utf16le_to_gbk(read_file(package()));
    EXPECT_EQ(saved.find(kept), std::string::npos);
    EXPECT_NE(saved.find(third2), std::string::npos);
}

TEST_F(ConsoleTest, ABackupIsMadeOnlyByAJobThatChangesThePackage) {
    PackageBuilder builder;
    builder.add(PackageItem{
        "连衣裙",
        "<img src=\"" + image("/a.jpg") + "\"><img src=\"" + server.url("/gone.jpg") + "\">", "",
        ""});
    builder.write(package());
    auto job = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"move", package(), "--to", pictures(), "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const CliRun run = run_cli(args, home());
        EXPECT_EQ(run.status, 5) << run.err;  // gone.jpg fails every time
        return nlohmann::json::parse(run.out);
    };
    const auto first = job({});
    ASSERT_TRUE(first["backup"].is_string());
    EXPECT_TRUE(read_file(first["backup"].get<std::string>()) == builder.file_bytes());
    // A rerun finds only the failed address, fails again and changes nothing.
    const std::string moved = read_file(package());
    const auto rerun = job({});
    EXPECT_EQ(rerun["package_saved"], false);
    EXPECT_EQ(rerun["backup"], nullptr);
    EXPECT_TRUE(read_file(package()) == moved);
    // Blanking the failed address changes the package: this job keeps a copy.
    const auto blanked = job({"--blank-failed"});
    EXPECT_EQ(blanked["package_saved"], true);
    ASSERT_TRUE(blanked["backup"].is_string());
    EXPECT_NE(blanked["backup"], first["backup"]);
    EXPECT_TRUE(read_file(blanked["backup"].get<std::string>()) == moved);
}

TEST_F(ConsoleTest, TitlesShowAsWrittenWhileThePackageKeepsItsQuotes) {
    const std::string title = "T恤 \"男女\" 同款";
    PackageBuilder builder;
    builder.add(PackageItem{title, "<img src=\"" + server.url("/gone.jpg") + "\">", "", ""});
    builder.write(package());
    ASSERT_NE(builder.text().find("\"T恤 \"\"男女\"\" 同款\""), std::string::npos);

    const CliRun scan = run_cli({"scan", package(), "--json"}, home());
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(nlohmann::json::parse(scan.out)["items"][0]["title"], utf8(title));
    const CliRun move = run_cli({"move", package(), "--to", pictures(), "--json"}, home());
    ASSERT_EQ(move.status, 5) << move.err;
    EXPECT_EQ(nlohmann::json::parse(move.out)["failures"][0]["title"], utf8(title));
    EXPECT_NE(move.err.find(printed(title)), std::string::npos) << move.err;
    EXPECT_TRUE(read_file(package()) == builder.file_bytes());
}

TEST_F(ConsoleTest, ARelativeFolderIsWrittenWholeAndWindowWordingGetsItsOption) {
    PackageBuilder builder;
    builder.add(PackageItem{"连衣裙", "<img src=\"" + image("/a.jpg") + "\">", "", ""})
        .add(PackageItem{"帆布包", "<img src=\"" + server.url("/gone.jpg") + "\">", "", ""});
    builder.write(package());
    // (Under Wine the temporary folder is on another drive: no relative path
    // leads there, and the folder is given as it is.)
    std::error_code failed;
    fs::path to = fs::relative(pictures(), fs::current_path(), failed);
    if (failed || to.empty()) to = pictures();

    const CliRun run = run_cli({"move", package(), "--to", to.string()}, home());
    ASSERT_EQ(run.status, 5) << run.err;
    const std::string saved = utf16le_to_gbk(read_file(package()));
    const std::string folder = fs::weakly_canonical(pictures()).string();
    EXPECT_NE(
        saved.find("<img src=\"\"" + folder + static_cast<char>(fs::path::preferred_separator)),
        std::string::npos)
        << saved;
    // The notice names the window's check box; the console adds its option.
    EXPECT_NE(run.out.find("--blank-failed"), std::string::npos) << run.out;

    const CliRun neither =
        run_cli({"move", package(), "--to", pictures(), "--skip-image-space", "--skip-third-party"},
                home());
    EXPECT_EQ(neither.status, 2);
    EXPECT_NE(neither.err.find(printed("至少需选择其中一项")), std::string::npos) << neither.err;
    EXPECT_NE(neither.err.find("--skip-image-space"), std::string::npos) << neither.err;
}

// The image folder's path goes into the package, so it must be GBK; the
// package's own name never does, so it may be anything.
TEST_F(ConsoleTest, OnlyTheImageFolderMustBeGbk) {
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + image("/a.jpg") + "\">", "", ""});
    builder.write(package());
    const fs::path base(dir.path());
    const fs::path emojiFolder = base / u8"图片😀";
    const fs::path emojiPackage = base / u8"店铺😀.csv";
    const fs::path chineseFolder = base / u8"图片";
    fs::create_directories(emojiFolder);
    fs::create_directories(chineseFolder);
    fs::copy_file(package(), emojiPackage);

    const CliRun refused = run_cli_with_names({"move", package(), "--to", emojiFolder}, home());
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find(printed("图片文件夹的路径里有 GBK 无法表示的字符")),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.err.find(printed("不存在")), std::string::npos) << refused.err;
    EXPECT_EQ(server.total_hits(), 0);

    const CliRun emoji = run_cli_with_names({"move", emojiPackage, "--to", pictures()}, home());
    EXPECT_EQ(emoji.status, 0) << emoji.err;
    EXPECT_NE(utf16le_to_gbk(read_path(emojiPackage)).find(pictures()), std::string::npos);
    const CliRun scanned = run_cli_with_names({"scan", emojiPackage}, home());
    EXPECT_EQ(scanned.status, 0) << scanned.err;
    // A Chinese name GBK holds is no trouble, on the command line or in the package.
    const CliRun chinese = run_cli_with_names({"move", package(), "--to", chineseFolder}, home());
    EXPECT_EQ(chinese.status, 0) << chinese.err;
    EXPECT_NE(utf16le_to_gbk(read_file(package()))
                  .find("图片" + std::string(1, fs::path::preferred_separator)),
              std::string::npos);
}

// Columns as a terminal may draw them: from U+1100 up (CJK) two, else one.
// (It counts the ellipsis two, as some CJK terminals do.)
[[maybe_unused]] int columns_of(const std::string& text) {
    int columns = 0;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        columns += c >= 0x1100 ? 2 : 1;
        i += length;
    }
    return columns;
}

TEST_F(ConsoleTest, HelpFitsEightyColumnsListsEveryOptionAndAUsageErrorIsOneLine) {
    const char* const options[] = {
        "--to",          "--skip-image-space", "--skip-third-party", "--blank-failed",
        "--connections", "--retries",          "--no-http-fallback", "--json",
        "--quiet"};
    const CliRun move = run_cli({"help", "move"}, home());
    EXPECT_EQ(move.status, 0);
    const CliRun top = run_cli({"--help"}, home());
    EXPECT_EQ(top.status, 0);
    for (const char* option : options) {
        EXPECT_NE(move.out.find(option), std::string::npos) << option << "\n" << move.out;
        EXPECT_NE(top.out.find(option), std::string::npos) << option << "\n" << top.out;
    }
    for (const char* status : {"\n  5 ", "\n  130 "}) {
        EXPECT_NE(move.out.find(status), std::string::npos) << move.out;
        EXPECT_NE(top.out.find(status), std::string::npos) << top.out;
    }
#ifndef _WIN32
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"move", "--help"},
                                                 {"scan", "-h"},
                                                 {"help", "fetch"}}) {
        const CliRun help = run_cli(args, home());
        for (size_t start = 0, end; start < help.out.size(); start = end + 1) {
            end = help.out.find('\n', start);
            if (end == std::string::npos) end = help.out.size();
            const std::string line = help.out.substr(start, end - start);
            EXPECT_LE(columns_of(line), 80) << args[0] << ": " << line;
        }
    }
#endif

    const CliRun version = run_cli({"-V"}, home());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("kelvane-cli ", 0), 0u) << version.out;
    // One line for what is wrong and one for where to read more.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"move", "--fast"},
                                                 {"scan", "--json=yes"},
                                                 {"frobnicate"},
                                                 {"help", "frobnicate"}}) {
        const CliRun wrong = run_cli(args, home());
        EXPECT_EQ(wrong.status, 2) << args[0];
        EXPECT_EQ(std::count(wrong.err.begin(), wrong.err.end(), '\n'), 2) << wrong.err;
        EXPECT_NE(wrong.err.find("kelvane-cli help"), std::string::npos) << wrong.err;
        EXPECT_EQ(wrong.out, "") << args[0];
    }
}

#ifndef _WIN32

struct TerminalRun {
    std::string output;  // stdout and stderr, as the terminal got them
    int status = -1;     // the exit status, or -1 when a signal ended the program
};

// Runs kelvane-cli on a pseudo-terminal `columns` wide. `react` sees the
// output so far every few milliseconds; what it returns is typed (Ctrl+C is
// "\x03").
TerminalRun run_in_terminal(const std::vector<std::string>& args, const std::string& home,
                            int columns,
                            const std::function<std::string(const std::string&)>& react = {}) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    termios mode{};
    mode.c_cflag = CS8 | CREAD;
    mode.c_lflag = ISIG;  // Ctrl+C raises SIGINT; no echo, and no CR added before LF
    mode.c_cc[VINTR] = 3;
    cfsetispeed(&mode, B38400);
    cfsetospeed(&mode, B38400);
    std::vector<char*> argv{const_cast<char*>(cli_path())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, &mode, &size);
    if (child == 0) {
        setenv("KELVANE_HOME", home.c_str(), 1);
        execv(cli_path(), argv.data());
        _exit(127);
    }
    TerminalRun run;
    if (child < 0) return run;
    for (int waited = 0; waited < 120000; waited += 5) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 5) > 0) {
            char buffer[4096];
            const ssize_t got = read(terminal, buffer, sizeof buffer);
            if (got <= 0) break;  // EIO: the program is gone
            run.output.append(buffer, static_cast<size_t>(got));
        }
        if (react) {
            const std::string keys = react(run.output);
            if (!keys.empty() && write(terminal, keys.data(), keys.size()) < 0) break;
        }
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(ConsoleTest, TheProgressLineFitsTheTerminalAndStaysOneLine) {
    const std::string title = "夏季新款韩版宽松显瘦雪纺碎花连衣裙女中长款气质收腰百搭时尚款";
    PackageBuilder builder;
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        builder.add(PackageItem{n + title,
                                "<img src=\"" + image("/" + n + "a.jpg") + "\"><img src=\"" +
                                    image("/" + n + "b.jpg") + "\">",
                                "", ""});
    }
    server.set_delay_ms(120);  // long enough for the line to be redrawn between images
    for (int columns : {40, 80, 200}) {
        builder.write(package());
        const TerminalRun run =
            run_in_terminal({"move", package(), "--to", pictures()}, home(), columns);
        ASSERT_EQ(run.status, 0) << run.output;
        // Each redraw starts with a carriage return: every piece between
        // them must fit, or the terminal wraps it onto a new line.
        int redraws = 0;
        for (size_t start = 0, end; start < run.output.size(); start = end + 1) {
            end = run.output.find('\n', start);
            if (end == std::string::npos) end = run.output.size();
            const std::string line = run.output.substr(start, end - start);
            if (line.find('\r') == std::string::npos) continue;
            for (size_t from = 0, to; from <= line.size(); from = to + 1) {
                to = line.find('\r', from);
                if (to == std::string::npos) to = line.size();
                const std::string piece = line.substr(from, to - from);
                EXPECT_LE(columns_of(piece), columns) << piece;
                redraws += piece.find_first_not_of(' ') != std::string::npos;
            }
        }
        EXPECT_GE(redraws, 6) << run.output;
        // One line for the progress before the final message.
        const size_t message = run.output.find(utf8("图片搬家已完成"));
        ASSERT_NE(message, std::string::npos) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.begin() + message, '\n'), 1)
            << run.output;
        EXPECT_NE(run.output.find(u(u8"宝贝 3/3")), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(u(u8"已存 6 张")), std::string::npos) << run.output;
        if (columns == 200) {
            EXPECT_NE(run.output.find(utf8("2" + title)), std::string::npos) << run.output;
        } else if (columns == 80) {  // cut, but as much of it as there is room for
            EXPECT_EQ(run.output.find(utf8("2" + title)), std::string::npos) << run.output;
            EXPECT_NE(run.output.find(utf8("2" + title.substr(0, 10))), std::string::npos)
                << run.output;
            EXPECT_NE(run.output.find(u(u8"…")), std::string::npos) << run.output;
        }
        fs::remove_all(pictures());
        fs::create_directories(pictures());
    }
}

TEST_F(ConsoleTest, OnATerminalAFailureListNamesItsItemAndASummaryEndsTheJob) {
    PackageBuilder builder;
    builder.add(PackageItem{"连衣裙", "<img src=\"" + image("/a.jpg") + "\">", "", ""})
        .add(PackageItem{"帆布包", "<img src=\"" + server.url("/gone.jpg") + "\">", "", ""});
    builder.write(package());
    const TerminalRun run = run_in_terminal({"move", package(), "--to", pictures()}, home(), 80);
    EXPECT_EQ(run.status, 5) << run.output;
    EXPECT_NE(run.output.find(utf8("[2/2] 帆布包\n[宝贝描述]图片搬家失败列表")), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(server.url("/gone.jpg") + utf8("  (HTTP 404 文件不存在)\n")),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(utf8("已存 1 张图片，失败 1 张，")), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(utf8("数据包备份：") + home() + "/bak/shop(1).csv\n"),
              std::string::npos)
        << run.output;
}

TEST_F(ConsoleTest, CtrlCSavesThePackageSaysSoAndASecondOneDoesNotCutTheSave) {
    // About 16 MB of package, so that its save takes a moment to hit.
    std::string filler;
    while (filler.size() < 40000) filler += "<p>商品详情 0123456789 abcdef</p>";
    PackageBuilder builder;
    constexpr int ITEMS = 200;
    for (int i = 0; i < ITEMS; ++i) {
        const std::string url = image("/p" + std::to_string(i) + ".jpg");
        builder.add(
            PackageItem{"item " + std::to_string(i), "<img src='" + url + "'>" + filler, "", ""});
    }
    builder.write(package());
    server.set_delay_ms(100);

    // The second Ctrl+C comes as the line says the package is being updated:
    // what is left then is rewriting and saving it.
    auto images = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(pictures()))
            count += entry.path().filename().string().rfind(".kelvane-", 0) != 0;
        return count;
    };
    bool stopped = false, pressedDuringSave = false;
    const TerminalRun run = run_in_terminal(
        {"move", package(), "--to", pictures()}, home(), 80, [&](const std::string& output) {
            if (!stopped && images() >= 3) {
                stopped = true;
                return std::string("\x03");
            }
            if (stopped && !pressedDuringSave &&
                output.find(u(u8"正在更新数据包")) != std::string::npos) {
                pressedDuringSave = true;
                return std::string("\x03");
            }
            return std::string();
        });
    EXPECT_EQ(run.status, 130) << run.output;
    ASSERT_TRUE(pressedDuringSave) << run.output;
    EXPECT_NE(
        run.output.find(utf8(
            "搬家已停止：已搬好的图片已写入数据包(shop.csv)。再次运行同一条命令即可接着搬家。")),
        std::string::npos)
        << run.output;

    // The save went through whole: every image on disk is in the package.
    const std::string saved = utf16le_to_gbk(read_file(package()));
    size_t local = 0;
    for (size_t at = 0; (at = saved.find("src='" + pictures(), at)) != std::string::npos; ++at)
        ++local;
    EXPECT_GE(local, 3u);
    EXPECT_EQ(local, static_cast<size_t>(images()));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".kelvane-", 0), 0u) << entry.path();
}

TEST_F(ConsoleTest, AnImageFileTheSystemRefusesIsExplainedWithItsReason) {
    const std::string folder = dir.file("read-only");
    fs::create_directories(folder);
    if (mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=65536") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + image("/a.jpg") + "\">", "", ""});
    builder.write(package());

    const CliRun run = run_cli({"move", package(), "--to", folder}, home());
    umount2(folder.c_str(), MNT_DETACH);
    EXPECT_EQ(run.status, 1) << run.err;
    const std::string reason = std::strerror(EROFS);
    EXPECT_NE(run.err.find(utf8("无法创建新文件")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(utf8("系统给出的原因：") + reason), std::string::npos) << run.err;
    EXPECT_NE(read_log(home() + "/app.log").find(reason), std::string::npos);
}

#endif

}  // namespace
