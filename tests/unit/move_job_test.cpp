// Whole move jobs against a loopback image host, observed through the
// recording view, the files on disk, the saved package and app.log.
#include "engine/move_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/blank_image.h"
#include "engine/download_queue.h"
#include "engine/placement.h"
#include "http/connection.h"
#include "http/download.h"
#include "package/image_hosts.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

Strings strings_of(const PtrVector* list) {
    Strings out;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i)
        out.emplace_back(static_cast<const char*>(list->items[i]));
    return out;
}

std::string replace_every(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// A view that also runs a test's action at a chosen call, from the job's thread.
class HookedView : public RecordingView {
  public:
    using RecordingView::RecordingView;
    std::function<void(int row)> onItemStart;
    void set_row_status(int row, ItemState state) override {
        RecordingView::set_row_status(row, state);
        if (onItemStart && state == ItemState::Moving) onItemStart(row);
    }
};

class MoveJobTest : public testing::Test {
  protected:
    void SetUp() override {
        start_test_networking();
        settle_program_folder(dir.path().c_str());
        app_log_open(dir.path().c_str());
        connection_tables_init();
        cancelRequested.store(0);
        running.store(0);
        target = dir.file("pics");
        fs::create_directories(target);
    }

    void TearDown() override {
        unload();
        app_log_close();
        settle_program_folder("");
        cancelRequested.store(0);
    }

    void write(const PackageBuilder& builder) {
        packagePath = dir.file("items.csv");
        builder.write(packagePath);
    }

    void load() {
        unload();
        std::snprintf(package.path, sizeof package.path, "%s", packagePath.c_str());
        package.items = ptr_vector_new(256, 64);
        ASSERT_EQ(read_data_package(package.path, package.items, &package.text, &package.readFrom),
                  ReadResult::Ok);
    }

    void unload() {
        if (package.items != nullptr) {
            item_list_clear(package.items);
            ptr_vector_destroy(package.items, 0);
        }
        std::free(package.text);
        package = DataPackage{};
    }

    MoveOptions options(bool imageSpace = true, bool thirdParty = true, bool blank = false) const {
        MoveOptions o{};
        std::snprintf(o.targetFolder, sizeof o.targetFolder, "%s", target.c_str());
        o.moveImageSpace = imageSpace;
        o.moveThirdParty = thirdParty;
        o.blankForFailed = blank;
        o.network = network;
        return o;
    }

    MoveJobOutcome run(MoveJobView& view, const MoveOptions& o) {
        return run_move_job(&package, o, &view, &counters);
    }

    ItemRecord* item(int i) const { return static_cast<ItemRecord*>(package.items->items[i]); }
    std::string saved_text() const { return utf16le_to_gbk(read_file(packagePath).substr(2)); }
    std::string log() const { return read_log(dir.file("app.log")); }

    Strings files_in(const std::string& folder) const {
        Strings names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir;
    NetworkPolicy network;  // what options() gives the job
    ImageServer server;
    std::string target;
    std::string packagePath;
    DataPackage package{};
    MoveJobCounters counters;
};

const std::string SEP(1, platform::PATH_SEPARATOR);

TEST_F(MoveJobTest, TwoItemsFromStartToFinalMessage) {
    // A lies in the image space (its query names the image host), B elsewhere;
    // C is a mobile-detail image; D is missing on the server.
    const std::string a = server.url("/a.jpg?from=.alicdn.com/");
    const std::string b = server.url("/b.png?x=1");
    const std::string c = server.url("/c.jpg");
    const std::string d = server.url("/d.jpg");
    server.add("/a.jpg?from=.alicdn.com/", jpeg_body(100, 'a'));
    server.add("/b.png?x=1", jpeg_body(200, 'b'));
    server.add("/c.jpg", jpeg_body(300, 'c'));

    PackageBuilder builder;
    builder
        .add(PackageItem{"一", "<img src=\"" + a + "\"><img src=\"" + b + "\">",
                         "<wapDesc><img>" + c + "</img></wapDesc>", ""})
        .add(PackageItem{"二", "<img src=\"" + a + "\"><img src=\"" + d + "\">", "", ""});
    write(builder);
    const std::string original = read_file(packagePath);
    load();
    const int32_t first = nameSequence;
    RecordingView view;
    ASSERT_EQ(run(view, options()), MoveJobOutcome::Finished);

    // Files: start time, running number, extension; the mobile image with "m-".
    const Strings files = files_in(target);
    ASSERT_EQ(files.size(), 3u);
    const std::regex name(R"((m-)?(\d{4}-\d{1,2}-\d{1,2}-\d{1,2}-\d{1,2})-(\d+)\.(jpg|png))");
    std::map<int, std::string> by_number;
    for (const std::string& f : files) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(f, m, name)) << f;
        by_number[std::stoi(m[3])] = f;
    }
    ASSERT_EQ(by_number.count(first), 1u);
    EXPECT_EQ(by_number[first].substr(by_number[first].size() - 4), ".jpg");
    EXPECT_EQ(by_number[first + 1].substr(by_number[first + 1].size() - 4), ".png");
    EXPECT_EQ(by_number[first + 2].substr(0, 2), "m-");
    EXPECT_EQ(read_file(target + SEP + by_number[first]), jpeg_body(100, 'a'));
    EXPECT_EQ(nameSequence, first + 4);  // the failed download used a number too

    // Each address fetched once; the missing one asked twice (the client's retry).
    EXPECT_EQ(server.hits("/a.jpg?from=.alicdn.com/"), 1);
    EXPECT_EQ(server.hits("/d.jpg"), 2);

    // The saved package: A, B and C point at their files everywhere, D stays.
    std::string expected = builder.text();
    expected = replace_every(expected, a, target + SEP + by_number[first]);
    expected = replace_every(expected, b, target + SEP + by_number[first + 1]);
    expected = replace_every(expected, c, target + SEP + by_number[first + 2]);
    EXPECT_EQ(saved_text(), expected);
    EXPECT_EQ(package.text, nullptr);

    // Failure lists, counts, backup and log.
    EXPECT_EQ(item(0)->desc_failed, nullptr);
    EXPECT_EQ(item(0)->mobile_failed, nullptr);
    EXPECT_EQ(strings_of(item(1)->desc_failed), Strings{d});
    EXPECT_EQ(item(1)->mobile_failed, nullptr);
    EXPECT_EQ(item(0)->status, ITEM_MOVED);
    EXPECT_EQ(item(1)->status, ITEM_MOVED);
    EXPECT_EQ(counters.saved.load(), 3);
    EXPECT_EQ(counters.failed.load(), 1);
    EXPECT_EQ(read_file(dir.file("bak") + SEP + "items(1).csv"), original);
    EXPECT_NE(log().find("搬家失败：" + d + "，返回的错误信息：\r\n"), std::string::npos) << log();
    EXPECT_EQ(running.load(), 0);

    // What the window was told, in order.
    const Strings calls = view.calls();
    const Strings expected_calls = {
        "ensure_row_visible 0",
        "set_row_status 0 搬家中",
        "set_row_status 0 完成",
        "set_progress 1",
        "set_progress_text 搬家进度(宝贝数:2, 已搬家宝贝数:1)",
        "ensure_row_visible 1",
        "set_row_status 1 搬家中",
        "set_row_status 1 完成",
        "set_row_failures 1 pc 1",
        "set_progress 2",
        "set_progress_text 搬家进度(宝贝数:2, 已搬家宝贝数:2)",
        "is_row_selected 1",
        "set_progress_text 搬家进度(宝贝数:2, 已搬家宝贝数:2), 正在更新csv文件...",
    };
    ASSERT_GE(calls.size(), expected_calls.size());
    EXPECT_EQ(Strings(calls.begin(), calls.begin() + expected_calls.size()), expected_calls);
    const Strings tail(calls.end() - 3, calls.end());
    EXPECT_EQ(tail[0], "set_progress_text 搬家进度(宝贝数:2, 已搬家宝贝数:2)");
    EXPECT_EQ(
        tail[1].rfind(
            "show_message "
            "提示|warning|图片搬家已完成，数据包(items.csv)已更新。\n\n注意：有部分图片搬家失败！",
            0),
        0u)
        << tail[1];
    EXPECT_EQ(tail[2], "job_finished");
}

TEST_F(MoveJobTest, OptionsChooseWhichHostsAreMoved) {
    const std::string space = server.url("/space.jpg?.alicdn.com/");
    const std::string other = server.url("/other.jpg");
    const std::string mobile = server.url("/mobile.jpg");
    for (const std::string path : {"/space.jpg?.alicdn.com/", "/other.jpg", "/mobile.jpg"})
        server.add(path, jpeg_body());
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + space + "\"><img src=\"" + other + "\">",
                            "<img>" + mobile + "</img>", ""});
    write(builder);

    struct Case {
        bool imageSpace, thirdParty;
        bool spaceMoved, otherMoved, mobileMoved;
    };
    for (const Case c :
         {Case{true, false, true, false, true}, Case{false, true, false, true, false},
          Case{true, true, true, true, true}}) {
        write(builder);
        load();
        fs::remove_all(target);
        fs::create_directories(target);
        RecordingView view;
        ASSERT_EQ(run(view, options(c.imageSpace, c.thirdParty)), MoveJobOutcome::Finished);
        const std::string text = saved_text();
        const std::string what = std::to_string(c.imageSpace) + std::to_string(c.thirdParty);
        EXPECT_EQ(text.find(space) == std::string::npos, c.spaceMoved) << what;
        EXPECT_EQ(text.find(other) == std::string::npos, c.otherMoved) << what;
        EXPECT_EQ(text.find(mobile) == std::string::npos, c.mobileMoved) << what;
        EXPECT_EQ(files_in(target).size(), size_t{c.spaceMoved} + c.otherMoved + c.mobileMoved)
            << what;
    }
}

TEST_F(MoveJobTest, FailedAddressIsTriedOnceAndListedWhereverItAppears) {
    const std::string missing = server.url("/missing.jpg");
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + missing + "\">", "<img>" + missing + "</img>", ""})
        .add(PackageItem{"b", "<img src='" + missing + "'>", "", ""});
    write(builder);
    load();
    RecordingView view(1);  // row 1 is selected
    ASSERT_EQ(run(view, options()), MoveJobOutcome::Finished);
    EXPECT_EQ(server.hits("/missing.jpg"), 2);  // one download and its one retry
    EXPECT_EQ(counters.failed.load(), 1);
    EXPECT_EQ(strings_of(item(0)->desc_failed), Strings{missing});
    EXPECT_EQ(strings_of(item(0)->mobile_failed), Strings{missing});
    EXPECT_EQ(strings_of(item(1)->desc_failed), Strings{missing});
    EXPECT_EQ(view.calls_of("set_row_failures"),
              (Strings{"set_row_failures 0 pc 1", "set_row_failures 0 mobile 1",
                       "set_row_failures 1 pc 1"}));
    EXPECT_EQ(view.calls_of("refresh_failure_box").size(), 1u);  // the selected row had failures
    // Nothing saved and no blank asked for: the package is left alone.
    EXPECT_EQ(view.messages(), Strings{"提示|warning|图片搬家失败，没有找到搬家成功的图片。"});
    EXPECT_TRUE(files_in(target).empty());
}

TEST_F(MoveJobTest, BlankForFailedReplacesAndDropsMobileEntries) {
    const std::string missing = server.url("/missing.jpg");
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<img src=\"" + missing + "\">",
                            "<wapDesc><img>" + missing + "</img></wapDesc>", ""});
    write(builder);
    load();
    RecordingView view;
    ASSERT_EQ(run(view, options(true, true, true)), MoveJobOutcome::Finished);
    // The failed image becomes a blank picture in the target folder, which
    // Taobao Assistant uploads like any other.
    const std::string blank = target + SEP + "blank.png";
    std::string expected = replace_every(builder.text(), "<img>" + missing + "</img>", "");
    expected = replace_every(expected, missing, blank);
    EXPECT_TRUE(saved_text() == expected);
    EXPECT_EQ(read_file(blank),
              std::string(reinterpret_cast<const char*>(BLANK_IMAGE_PNG), BLANK_IMAGE_PNG_SIZE));
    EXPECT_EQ(files_in(target), Strings{"blank.png"});
    EXPECT_EQ(view.messages(),
              Strings{"完成|information|图片搬家已完成，数据包(items.csv)已更新。"});
}

TEST_F(MoveJobTest, NothingToMoveLeavesThePackageUntouched) {
    // The unpaired surrogate in the title is dropped by the reader: a package
    // that was saved again would have lost it.
    PackageBuilder builder;
    builder.add(PackageItem{"a", "<p>no images</p>", "", ""}).add(PackageItem{"b", "", "", ""});
    write(builder);
    std::string bytes = read_file(packagePath);
    bytes.insert(bytes.find(std::string("a\0\"\0", 4)), std::string("\0\xD8", 2));
    write_file(packagePath, bytes);
    load();
    RecordingView view;
    ASSERT_EQ(run(view, options()), MoveJobOutcome::Finished);
    EXPECT_EQ(read_file(packagePath), bytes);
    EXPECT_EQ(view.messages(), Strings{"完成|information|没有找到需要搬家的图片。"});
    EXPECT_EQ(view.calls_of("set_row_status").size(), 4u);  // every item still passes through
    EXPECT_EQ(view.calls().back(), "job_finished");
}

TEST_F(MoveJobTest, StopAndResumeDownloadEveryImageOnce) {
    PackageBuilder builder;
    for (int i = 0; i < 4; ++i) {
        const std::string path = "/img" + std::to_string(i) + ".jpg";
        server.add(path, jpeg_body(50 + i));
        builder.add(PackageItem{"item" + std::to_string(i),
                                "<img src=\"" + server.url(path) + "\">", "", ""});
    }
    write(builder);
    load();
    HookedView first;
    first.onItemStart = [](int row) {
        if (row == 2) cancelRequested.store(1);  // a confirmed close while item 2 runs
    };
    ASSERT_EQ(run(first, options()), MoveJobOutcome::Interrupted);
    EXPECT_TRUE(first.messages().empty());
    EXPECT_TRUE(first.calls_of("job_finished").empty());
    EXPECT_EQ(first.calls_of("set_row_status").back(),
              "set_row_status 2 搬家中");  // left unfinished
    // The finished items' images are saved; what else had arrived may be too.
    const std::string after_stop = saved_text();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(after_stop.find(server.url("/img" + std::to_string(i))), std::string::npos) << i;

    cancelRequested.store(0);
    load();
    RecordingView second;
    ASSERT_EQ(run(second, options()), MoveJobOutcome::Finished);
    EXPECT_EQ(files_in(target).size(), 4u);
    EXPECT_EQ(saved_text().find("http://"), std::string::npos);
    // A stopped job that saved has its copy; the second one only if it changed anything.
    EXPECT_TRUE(fs::exists(dir.file("bak") + SEP + "items(1).csv"));
    EXPECT_EQ(fs::exists(dir.file("bak") + SEP + "items(2).csv"), saved_text() != after_stop);
}

TEST_F(MoveJobTest, CancelBeforeTheFirstItemWritesNothing) {
    server.add("/a.jpg", jpeg_body());
    write(PackageBuilder().add(
        PackageItem{"a", "<img src=\"" + server.url("/a.jpg") + "\">", "", ""}));
    load();
    cancelRequested.store(1);
    RecordingView view;
    EXPECT_EQ(run(view, options()), MoveJobOutcome::Interrupted);
    EXPECT_EQ(server.total_hits(), 0);
    EXPECT_TRUE(view.calls_of("set_row_status").empty());
}

TEST_F(MoveJobTest, AFileThatCannotBeCreatedStopsTheJob) {
    server.add("/a.jpg", jpeg_body());
    server.add("/m.jpg", jpeg_body());
    struct Case {
        const char* what;
        std::string description, mobile;
        std::string message_start;
    };
    const Case cases[] = {
        {"description image: retried under a fresh name, then stopped",
         "<img src=\"" + server.url("/a.jpg") + "\">", "",
         "错误|error|图片搬家中断：无法创建新文件。\n\n图片地址:" + server.url("/a.jpg") +
             "\n\n保存到:" + target},
        {"mobile image: stopped at once", "", "<img>" + server.url("/m.jpg") + "</img>",
         "错误|error|"},
    };
    for (const Case& c : cases) {
        write(PackageBuilder().add(PackageItem{"a", c.description, c.mobile, ""}));
        load();
        cancelRequested.store(0);
        fs::remove_all(target);  // the folder vanished before the job
        HookedView view;
        EXPECT_EQ(run(view, options()), MoveJobOutcome::StoppedByError) << c.what;
        ASSERT_EQ(view.messages().size(), 1u) << c.what;
        EXPECT_EQ(view.messages()[0].rfind(c.message_start, 0), 0u) << view.messages()[0];
        EXPECT_EQ(cancelRequested.load(), 1);
        // The address that stopped the job is not recorded anywhere, so a later job retries it.
        EXPECT_EQ(item(0)->desc_failed, nullptr);
        EXPECT_EQ(item(0)->mobile_failed, nullptr);
    }
}

TEST_F(MoveJobTest, LargePackagesGoIntoABatchFolder) {
    server.add("/a.jpg", jpeg_body());
    PackageBuilder builder;
    builder.add(PackageItem{"first", "<img src=\"" + server.url("/a.jpg") + "\">", "", ""});
    for (int i = 1; i <= LARGE_PACKAGE_ITEMS; ++i)
        builder.add(PackageItem{"t" + std::to_string(i), "", "", ""});
    write(builder);
    load();
    RecordingView view;
    ASSERT_EQ(run(view, options()), MoveJobOutcome::Finished);
    const Strings batch = files_in(target);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_TRUE(std::regex_match(batch[0], std::regex(R"(\d{1,2}-\d{1,2}-\d{1,2})"))) << batch[0];
    const std::string first_subfolder = target + SEP + batch[0] + SEP + "1";
    EXPECT_EQ(files_in(first_subfolder).size(), 1u);
    EXPECT_NE(saved_text().find(first_subfolder + SEP), std::string::npos);
}

TEST_F(MoveJobTest, ABatchFolderThatCannotBeMadeAbortsBeforeAnything) {
    PackageBuilder builder;
    for (int i = 0; i <= LARGE_PACKAGE_ITEMS; ++i)
        builder.add(PackageItem{"t" + std::to_string(i), "", "", ""});
    write(builder);
    load();
    const std::string not_a_folder = dir.file("plain-file");
    write_file(not_a_folder, "x");
    MoveOptions o = options();
    std::snprintf(o.targetFolder, sizeof o.targetFolder, "%s", not_a_folder.c_str());
    RecordingView view;
    EXPECT_EQ(run(view, o), MoveJobOutcome::Aborted);
    ASSERT_EQ(view.messages().size(), 1u);
    EXPECT_EQ(view.messages()[0].rfind("错误|error|创建子文件夹 [" + not_a_folder + SEP, 0), 0u)
        << view.messages()[0];
    EXPECT_TRUE(view.calls_of("set_row_status").empty());
    EXPECT_EQ(running.load(), 0);
}

}  // namespace

// ---- Downloads in parallel ------------------------------------------------------

// A saved package or file name with what depends on the clock and the target
// folder folded away: the batch folder, the date and time in names.
std::string without_time(const std::string& text, const std::string& folder) {
    std::string out = replace_every(text, folder + SEP, "T/");
    out = std::regex_replace(out, std::regex(R"(T/\d{1,2}-\d{1,2}-\d{1,2}[/\\])"), "T/B/");
    return std::regex_replace(out, std::regex(R"(\d{4}-\d{1,2}-\d{1,2}-\d{1,2}-\d{1,2}-(\d+))"),
                              "N$1");
}

struct JobResult {
    Strings calls;
    std::string package;
    std::vector<std::pair<std::string, std::string>> files;  // name -> bytes
    std::vector<std::pair<Strings, Strings>> failures;       // per item
};

TEST_F(MoveJobTest, OneOrEightConnectionsGiveTheSameFilesPackageAndReports) {
    // Over 300 items (a batch folder), shared addresses and every kind of answer.
    PackageBuilder builder;
    const int closed = refused_port();
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n\xFF\xD8xy\r\n0\r\n\r\n";
    for (int i = 0; i < 40; ++i)
        server.add("/p" + std::to_string(i) + ".png", jpeg_body(60 + i, 'p'));
    std::string mobile;
    for (int i = 0; i < 310; ++i) {
        const std::string n = std::to_string(i);
        std::string description =
            "<img src=\"" + server.url("/p" + std::to_string(i % 40) + ".png") + "\">";
        if (i % 7 == 0) description += "<img src=\"" + server.url("/missing" + n + ".jpg") + "\">";
        if (i % 11 == 0) {
            server.add_raw("/r" + n, "HTTP/1.1 302 Found\r\nLocation: " + server.url("/p3.png") +
                                         "\r\nContent-Length: 0\r\n\r\n");
            description += "<img src='" + server.url("/r" + n) + "'>";
        }
        if (i % 13 == 0) {
            server.add_raw("/c" + n + ".gif", chunked);
            description += "<img src=" + server.url("/c" + n + ".gif") + " >";
        }
        if (i % 17 == 0) {  // a host that refuses every connection
            description +=
                "<img src=\"http://127.0.0.1:" + std::to_string(closed) + "/x" + n + "\">";
        }
        mobile = i % 5 == 0 ? "<img>" + server.url("/m" + n + ".jpg") + "</img>" : "";
        if (i % 5 == 0) server.add("/m" + n + ".jpg", jpeg_body(30 + i, 'm'));
        builder.add(PackageItem{"item" + n, description, mobile, ""});
    }
    write(builder);
    server.set_delay_ms(2);

    auto run_with = [&](int connections) {
        load();
        cancelRequested.store(0);
        nameSequence = 1;
        const std::string folder = dir.file("pics" + std::to_string(connections));
        fs::create_directories(folder);
        MoveOptions o = options();
        std::snprintf(o.targetFolder, sizeof o.targetFolder, "%s", folder.c_str());
        o.connections = connections;
        RecordingView view(3);
        EXPECT_EQ(run(view, o), MoveJobOutcome::Finished);
        JobResult result;
        result.calls = view.calls();
        result.package = without_time(saved_text(), folder);
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                result.files.emplace_back(without_time(entry.path().string(), folder),
                                          read_file(entry.path().string()));
            }
        }
        std::sort(result.files.begin(), result.files.end());
        for (int i = 0; i < package.items->count; ++i)
            result.failures.emplace_back(strings_of(item(i)->desc_failed),
                                         strings_of(item(i)->mobile_failed));
        write(builder);  // the next run starts from the same package
        return result;
    };
    const JobResult one = run_with(1);
    const JobResult eight = run_with(8);
    EXPECT_EQ(one.calls, eight.calls);
    EXPECT_TRUE(one.package == eight.package);
    EXPECT_EQ(one.files.size(), eight.files.size());
    EXPECT_TRUE(one.files == eight.files);
    EXPECT_EQ(one.failures, eight.failures);
    // Shared addresses were fetched once per job.
    EXPECT_EQ(server.hits("/p7.png"), 2);
    // 40 shared images, 29 redirected, 24 chunked, 62 mobile.
    EXPECT_EQ(one.files.size(), 155u);
}

TEST_F(MoveJobTest, TheQueueRunsAsManyDownloadsAtOnceAsItHasConnections) {
    constexpr int IMAGES = 16;
    for (int i = 0; i < IMAGES; ++i) server.add("/q" + std::to_string(i) + ".jpg", jpeg_body());
    server.set_delay_ms(20);  // long enough for downloads to overlap
    const std::atomic<int> never{0};
    for (const int connections : {1, 8}) {
        DownloadQueue queue(target.c_str(), connections, 0);
        for (int i = 0; i < IMAGES; ++i)
            queue.add(server.url("/q" + std::to_string(i) + ".jpg").c_str());
        queue.start();
        for (size_t i = 0; i < queue.size(); ++i) {
            FetchedImage image;
            ASSERT_TRUE(queue.take(i, &image, never));
            EXPECT_EQ(image.result, DownloadResult::Ok) << image.error;
            platform::remove_file(image.file);
        }
        if (connections == 1) {
            EXPECT_EQ(queue.most_in_flight(), 1);
        } else {
            EXPECT_GT(queue.most_in_flight(), 1);
        }
    }
}

TEST_F(MoveJobTest, AStopAbandonsDownloadsInFlightAndAResumeFetchesOnlyWhatIsLeft) {
    constexpr int ITEMS = 60;  // more than the downloads may run ahead
    PackageBuilder builder;
    for (int i = 0; i < ITEMS; ++i) {
        const std::string path = "/s" + std::to_string(i) + ".jpg";
        server.add(path, jpeg_body(100 + i));
        builder.add(
            PackageItem{"s" + std::to_string(i), "<img src=\"" + server.url(path) + "\">", "", ""});
    }
    write(builder);
    MoveOptions o = options();
    o.connections = 8;

    // Every answer takes seconds: the stop must not wait for them.
    server.set_delay_ms(3000);
    load();
    HookedView slow;
    double stopped = 0;
    slow.onItemStart = [&](int) {
        stopped = platform::monotonic_seconds();
        cancelRequested.store(1);
    };
    EXPECT_EQ(run(slow, o), MoveJobOutcome::Interrupted);
    EXPECT_LT(platform::monotonic_seconds() - stopped, 1.0);
    EXPECT_TRUE(files_in(target).empty());  // nothing half written, no temporary file
    // Nothing started after the stop: no retry, no extra try, no connection.
    // (A connection made just before the stop may never send its request,
    // so the count is compared with itself later, not with the requests.)
    const int connectionsAtEnd = server.connections();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.connections(), connectionsAtEnd);
    for (int i = 0; i < ITEMS; ++i) EXPECT_LE(server.hits("/s" + std::to_string(i) + ".jpg"), 1);
    EXPECT_EQ(log().find("下载已放弃"), std::string::npos) << log();

    // Stopped at item 5 with the first half answered at once and the rest
    // held: what had arrived whole is kept, what was in flight is not.
    server.set_delay_ms(0);
    for (int i = ITEMS / 2; i < ITEMS; ++i)
        server.set_path_delay_ms("/s" + std::to_string(i) + ".jpg", 3000);
    cancelRequested.store(0);
    load();
    HookedView fast;
    fast.onItemStart = [](int row) {
        if (row == 5) cancelRequested.store(1);
    };
    EXPECT_EQ(run(fast, o), MoveJobOutcome::Interrupted);
    const std::string after_stop = saved_text();
    std::vector<int> hits(ITEMS);
    int remote = 0;
    for (int i = 0; i < ITEMS; ++i) {
        hits[i] = server.hits("/s" + std::to_string(i) + ".jpg");
        remote +=
            after_stop.find(server.url("/s" + std::to_string(i) + ".jpg")) != std::string::npos;
    }
    EXPECT_GT(remote, 0);
    EXPECT_LE(remote, ITEMS - 5);
    EXPECT_EQ(files_in(target).size(), static_cast<size_t>(ITEMS - remote));

    for (int i = ITEMS / 2; i < ITEMS; ++i)
        server.set_path_delay_ms("/s" + std::to_string(i) + ".jpg", -1);
    cancelRequested.store(0);
    load();
    RecordingView resume;
    EXPECT_EQ(run(resume, o), MoveJobOutcome::Finished);
    EXPECT_EQ(saved_text().find("http://"), std::string::npos);
    EXPECT_EQ(files_in(target).size(), static_cast<size_t>(ITEMS));
    for (int i = 0; i < ITEMS; ++i) {
        const std::string path = "/s" + std::to_string(i) + ".jpg";
        const bool keptEarlier = after_stop.find(server.url(path)) == std::string::npos;
        EXPECT_EQ(server.hits(path) - hits[i], keptEarlier ? 0 : 1) << path;
    }
}

// ---- Extra tries for failures that may pass ----------------------------------

class RetryTest : public MoveJobTest {
  protected:
    void SetUp() override {
        MoveJobTest::SetUp();
        network.firstRetryPauseS = 0.05;
        network.laterRetryPauseS = 0.2;
    }
    const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
    std::string image(size_t size) const {
        const std::string body = jpeg_body(size);
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    }
    // One job over `builder`'s package; the failed count at its end.
    int failed_with(const PackageBuilder& builder, int retries) {
        write(builder);
        load();
        cancelRequested.store(0);
        counters.failed.store(0);
        MoveOptions o = options();
        o.retries = retries;
        RecordingView view;
        EXPECT_EQ(run(view, o), MoveJobOutcome::Finished);
        return counters.failed.load();
    }
};

TEST_F(RetryTest, PassingFailuresAreTriedAgainAfterAPauseAndPermanentOnesAreNot) {
    // Each try of the download is a request and its retry without keep-alive.
    server.add_sequence("/busy.jpg", {{busy, 0}, {busy, 0}, {image(70), 0}});
    server.add_sequence("/slow.jpg", {{image(80), 600}, {image(80), 600}, {image(80), 0}});
    network.connectTimeoutMs = 2000;
    network.socketTimeoutMs = 300;  // the first try of /slow.jpg times out
    PackageBuilder builder;
    builder.add(PackageItem{"a",
                            "<img src=\"" + server.url("/busy.jpg") + "\"><img src=\"" +
                                server.url("/slow.jpg") + "\"><img src=\"" +
                                server.url("/gone.jpg") + "\">",
                            "", ""});
    const double started = platform::monotonic_seconds();
    EXPECT_EQ(failed_with(builder, DEFAULT_RETRIES), 1);
    EXPECT_GE(platform::monotonic_seconds() - started, 0.05);  // the pause was kept
    EXPECT_EQ(server.hits("/busy.jpg"), 3);
    EXPECT_EQ(server.hits("/slow.jpg"), 3);
    EXPECT_EQ(server.hits("/gone.jpg"), 2);  // a 404 is asked as it always was
    EXPECT_EQ(strings_of(item(0)->desc_failed), Strings{server.url("/gone.jpg")});
    EXPECT_NE(log().find("0.05秒后重试：" + server.url("/busy.jpg")), std::string::npos);
    EXPECT_NE(log().find("第1次重试成功：" + server.url("/busy.jpg")), std::string::npos);
    EXPECT_EQ(log().find("后重试：" + server.url("/gone.jpg")), std::string::npos);
    EXPECT_EQ(files_in(target).size(), 2u);
}

TEST_F(RetryTest, OneAddressInTenBusyTwiceFailsOnlyWithoutExtraTries) {
    PackageBuilder builder;
    for (int i = 0; i < 20; ++i) {
        const std::string path = "/t" + std::to_string(i) + ".jpg";
        builder.add(
            PackageItem{"t" + std::to_string(i), "<img src=\"" + server.url(path) + "\">", "", ""});
    }
    auto serve = [&] {
        for (int i = 0; i < 20; ++i) {
            const std::string path = "/t" + std::to_string(i) + ".jpg";
            if (i % 10 == 3) {
                server.add_sequence(path, {{busy, 0}, {busy, 0}, {image(60), 0}});
            } else {
                server.add(path, jpeg_body(60));
            }
        }
    };
    serve();
    EXPECT_EQ(failed_with(builder, 0), 2);
    serve();  // the busy answers again come first
    fs::remove_all(target);
    fs::create_directories(target);
    EXPECT_EQ(failed_with(builder, DEFAULT_RETRIES), 0);
    EXPECT_EQ(files_in(target).size(), 20u);
}

TEST_F(RetryTest, AStopCutsAPause) {
    network.firstRetryPauseS = FIRST_RETRY_PAUSE_S;
    network.laterRetryPauseS = LATER_RETRY_PAUSE_S;
    server.add_raw("/down.jpg", busy);
    write(PackageBuilder().add(
        PackageItem{"a", "<img src=\"" + server.url("/down.jpg") + "\">", "", ""}));
    load();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // inside the 1 s pause
        cancelRequested.store(1);
    });
    RecordingView view;
    const double started = platform::monotonic_seconds();
    EXPECT_EQ(run(view, options()), MoveJobOutcome::Interrupted);
    stopper.join();
    EXPECT_LT(platform::monotonic_seconds() - started, 1.0);
    EXPECT_EQ(server.hits("/down.jpg"), 2);  // no extra try after the stop
    EXPECT_NE(saved_text().find(server.url("/down.jpg")), std::string::npos);
}

// ---- Hosts that do not answer, slow addresses, lookups that hang ---------------

TEST_F(RetryTest, AHostThatNeverAnswersIsGivenUpForTheJobAndEveryAddressOnItListed) {
    constexpr int ITEMS = 30;
    ScriptedServer silent;
    silent.set_responder([](const std::string&) { return no_answer(); });
    network.connectTimeoutMs = 2000;
    network.socketTimeoutMs = 300;
    PackageBuilder builder;
    for (int i = 0; i < ITEMS; ++i) {
        const std::string n = std::to_string(i);
        server.add("/good" + n + ".jpg", jpeg_body(50));
        builder.add(PackageItem{"item" + n,
                                "<img src=\"" + server.url("/good" + n + ".jpg") +
                                    "\"><img src=\"" + silent.url("/banner.gif?item=" + n) + "\">",
                                "", ""});
    }
    const double started = platform::monotonic_seconds();
    EXPECT_EQ(failed_with(builder, DEFAULT_RETRIES), ITEMS);
    const double took = platform::monotonic_seconds() - started;
    // Asked until three time-outs in a row gave it up; the downloads already
    // waiting on it when that happened end on their own.
    const size_t asked = silent.requests().size();
    EXPECT_LE(asked, static_cast<size_t>(DEFAULT_CONNECTIONS + HOST_TIMEOUT_LIMIT));
    EXPECT_LT(took, 5.0);
    for (int i = 0; i < ITEMS; ++i) {
        EXPECT_EQ(strings_of(item(i)->desc_failed),
                  Strings{silent.url("/banner.gif?item=" + std::to_string(i))});
    }
    EXPECT_EQ(files_in(target).size(), static_cast<size_t>(ITEMS));
    EXPECT_NE(
        log().find("主机多次没有响应，本次不再等待：127.0.0.1:" + std::to_string(silent.port())),
        std::string::npos);

    // The next job asks the host again.
    load();
    RecordingView again;
    EXPECT_EQ(run(again, options()), MoveJobOutcome::Finished);
    EXPECT_GT(silent.requests().size(), asked);
}

TEST_F(MoveJobTest, ASlowAddressHoldsUpNoOtherDownload) {
    constexpr int GOOD = 120;
    // The slow host answers once the good host has answered as many as it
    // waits for, or after a long while, and counts what the good host had
    // answered by then. (Waiting for a count rather than a fixed time keeps
    // the test fast and independent of the machine's load.)
    std::atomic<int> hitsBefore{0};
    std::atomic<int> awaited{0};
    std::atomic<int> answeredBefore{-1};
    ScriptedServer slow;
    slow.set_responder([&](const std::string&) {
        const double giveUp = platform::monotonic_seconds() + 20;
        while (server.total_hits() - hitsBefore.load() < awaited.load() &&
               platform::monotonic_seconds() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        answeredBefore.store(server.total_hits());
        return reply("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n" + jpeg_body(50), false);
    });
    server.set_delay_ms(10);
    PackageBuilder builder;
    builder.add(PackageItem{"slow", "<img src=\"" + slow.url("/slow.jpg") + "\">", "", ""});
    for (int i = 0; i < GOOD; ++i) {
        const std::string path = "/g" + std::to_string(i) + ".jpg";
        server.add(path, jpeg_body(50));
        builder.add(
            PackageItem{"g" + std::to_string(i), "<img src=\"" + server.url(path) + "\">", "", ""});
    }
    // Every other connection keeps working while the first image is awaited;
    // even the only one makes way for another after a while.
    for (const int connections : {8, 1}) {
        awaited.store(connections == 8 ? GOOD : 1);
        fs::remove_all(target);
        fs::create_directories(target);
        write(builder);
        load();
        MoveOptions o = options();
        o.connections = connections;
        RecordingView view;
        hitsBefore.store(server.total_hits());
        EXPECT_EQ(run(view, o), MoveJobOutcome::Finished);
        EXPECT_EQ(files_in(target).size(), static_cast<size_t>(GOOD + 1));
        if (connections == 8) {
            EXPECT_EQ(answeredBefore.load() - hitsBefore.load(), GOOD);
        } else {
            EXPECT_GT(answeredBefore.load() - hitsBefore.load(), 0);
        }
    }
}

TEST_F(MoveJobTest, AStopEndsTheJobWhileALookupHangs) {
    server.add("/a.jpg", jpeg_body());
    platform::set_host_for_testing("hanging.test", "127.0.0.1", 5000);
    const std::string address = "http://hanging.test:" + std::to_string(server.port()) + "/a.jpg";
    write(PackageBuilder().add(PackageItem{"a", "<img src=\"" + address + "\">", "", ""}));
    load();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancelRequested.store(1);
    });
    RecordingView view;
    const double started = platform::monotonic_seconds();
    EXPECT_EQ(run(view, options()), MoveJobOutcome::Interrupted);
    const double took = platform::monotonic_seconds() - started;
    stopper.join();
    platform::set_host_for_testing(nullptr, nullptr, 0);
    EXPECT_LT(took, 1.3);
    EXPECT_NE(saved_text().find(address), std::string::npos);  // still remote, not failed
    EXPECT_EQ(item(0)->desc_failed, nullptr);
    EXPECT_EQ(server.total_hits(), 0);
}
