// What a job must never do to a seller's files, whatever happens around it:
// leave a cut package or backup behind (a kill, a full disk), rewrite part of
// an address, mix the images of two jobs, or start work it cannot save.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/start_checks.h"
#include "package/load_package.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/charset.h"
#include "support/cli_runner.h"
#include "support/cli_test.h"
#include "support/image_server.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The local paths a saved package gives its images, in the order of the
// package's src='...' attributes.
std::vector<std::string> image_paths(const std::string& text) {
    std::vector<std::string> paths;
    for (size_t at = 0; (at = text.find("src='", at)) != std::string::npos;) {
        at += 5;
        const size_t end = text.find('\'', at);
        if (end == std::string::npos) break;
        paths.push_back(text.substr(at, end - at));
        at = end;
    }
    return paths;
}

class DataSafetyTest : public CliTest {
  protected:
    // A shop whose item i shows the image served at /<tag><i>.jpg.
    PackageBuilder shop(const std::string& tag, int items, size_t imageBytes = 120,
                        const std::string& filler = "") {
        PackageBuilder builder;
        for (int i = 0; i < items; ++i) {
            const std::string path = "/" + tag + std::to_string(i) + ".jpg";
            server.add(path, jpeg_body(imageBytes + static_cast<size_t>(i), tag[0]));
            builder.add(PackageItem{tag + " " + std::to_string(i),
                                    "<img src='" + server.url(path) + "'>" + filler, "", ""});
        }
        return builder;
    }
};

TEST_F(DataSafetyTest, TwoJobsIntoOneFolderKeepTheirOwnImages) {
    // Started in the same minute, both jobs name their files alike.
    constexpr int ITEMS = 30;
    const std::string tags[] = {"a", "b"};
    std::string packages[2];
    for (int p = 0; p < 2; ++p) {
        packages[p] = dir.file(tags[p] + ".csv");
        shop(tags[p], ITEMS).write(packages[p]);
    }
    server.set_delay_ms(5);
    CliRun runs[2];
    std::thread second([&] {
        runs[1] = run_cli({"move", packages[1], "--to", pictures()}, home());
    });
    runs[0] = run_cli({"move", packages[0], "--to", pictures()}, home());
    second.join();

    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(runs[p].status, 0) << runs[p].err;
        const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(packages[p])));
        ASSERT_EQ(paths.size(), static_cast<size_t>(ITEMS)) << tags[p];
        for (int i = 0; i < ITEMS; ++i) {
            EXPECT_EQ(read_file(paths[i]), jpeg_body(120 + static_cast<size_t>(i), tags[p][0]))
                << tags[p] << i << " at " << paths[i];
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(pictures()), fs::directory_iterator()),
              2 * ITEMS);
}

TEST_F(DataSafetyTest, ASecondJobOnAHeldPackageIsRefusedAtOnce) {
    const std::string package = dir.file("shop.csv");
    const PackageBuilder builder = shop("h", 2);
    builder.write(package);
    platform::PackageLock* lock = nullptr;
    ASSERT_EQ(platform::lock_package(package.c_str(), &lock), platform::LockResult::Locked);

    // However else the same file is named, it is the same package.
    std::vector<std::string> spellings;
#ifdef _WIN32
    spellings.push_back("\\\\?\\" + package);
    if (CreateHardLinkA(dir.file("linked.csv").c_str(), package.c_str(), nullptr))
        spellings.push_back(dir.file("linked.csv"));
    char shortName[MAX_PATH];
    const DWORD length = GetShortPathNameA(package.c_str(), shortName, MAX_PATH);
    if (length > 0 && length < MAX_PATH && package != shortName) spellings.push_back(shortName);
#else
    fs::create_hard_link(package, dir.file("linked.csv"));
    fs::create_symlink(package, dir.file("symlink.csv"));
    spellings = {dir.path() + "/./shop.csv", dir.file("linked.csv"), dir.file("symlink.csv")};
#endif
    for (const std::string& spelling : spellings) {
        platform::PackageLock* other = nullptr;
        EXPECT_EQ(platform::lock_package(spelling.c_str(), &other), platform::LockResult::Held)
            << spelling;
        platform::unlock_package(other);
    }

    const CliRun refused = run_cli({"move", package, "--to", pictures(), "--json"}, home());
    EXPECT_EQ(refused.status, 2) << refused.err;
    auto report = nlohmann::json::parse(refused.out);
    EXPECT_EQ(report["outcome"], "refused");
    EXPECT_EQ(report["status"], 2);
    EXPECT_EQ(report["message"], utf8(PACKAGE_IN_USE_MESSAGE));
#ifndef _WIN32
    EXPECT_NE(refused.err.find(utf8(PACKAGE_IN_USE_MESSAGE)), std::string::npos) << refused.err;
#endif
    EXPECT_EQ(server.total_hits(), 0);
    EXPECT_EQ(read_file(package), builder.file_bytes());
    EXPECT_FALSE(fs::exists(home() + "/bak"));

    platform::unlock_package(lock);
    EXPECT_EQ(run_cli({"move", package, "--to", pictures()}, home()).status, 0);
    EXPECT_EQ(server.total_hits(), 2);
}

TEST_F(DataSafetyTest, APackageChangedDuringAJobIsNotSavedOver) {
    const PackageBuilder builder = shop("s", 2);
    builder.write(package());
    // What another program makes of the package while this job downloads.
    const PackageBuilder other = shop("o", 1);
    server.set_delay_ms(1500);
    CliRun run;
    std::thread job([&] {
        run = run_cli({"move", package(), "--to", pictures(), "--json"}, home());
    });
    const double deadline = platform::monotonic_seconds() + 60;
    while (server.total_hits() == 0 && platform::monotonic_seconds() < deadline)
        std::this_thread::yield();
    other.write(package());
    job.join();

    EXPECT_EQ(run.status, 1) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["outcome"], "stopped");
    EXPECT_EQ(report["package_saved"], false);
    EXPECT_EQ(report["backup"], nullptr);
    EXPECT_NE(report["error"].get<std::string>().find(utf8("被其他程序改动过")), std::string::npos)
        << report["error"];
    EXPECT_TRUE(read_file(package()) == other.file_bytes());
    // The images stay in the folder, and the job's journal with them, for
    // the next job to find again.
    EXPECT_EQ(std::distance(fs::directory_iterator(pictures()), fs::directory_iterator()), 3);

    // The package as it was (exported again, say): the next job fetches
    // nothing again and leaves nothing unused.
    builder.write(package());
    server.set_delay_ms(0);
    const int hits = server.total_hits();
    const CliRun rerun = run_cli({"move", package(), "--to", pictures()}, home());
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(server.total_hits(), hits);
    const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(package())));
    ASSERT_EQ(paths.size(), 2u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(read_file(paths[i]), jpeg_body(120 + static_cast<size_t>(i), 's')) << paths[i];
    EXPECT_EQ(std::distance(fs::directory_iterator(pictures()), fs::directory_iterator()), 2);
}

TEST_F(DataSafetyTest, OnlyWholeAddressesAreRewritten) {
    server.add("/x.jpg", jpeg_body(50));
    server.add("/end.jpg", jpeg_body(60));
    server.add("/bg.jpg", jpeg_body(70));
    const std::string thumbnail = server.url("/x.jpg") + "_400x400.jpg";
    const std::string package = dir.file("shop.csv");
    PackageBuilder()
        // An unquoted address and an unclosed url( at the very end of a cell
        // end with the cell, not with its closing quote.
        .add(PackageItem{
            "a", "<img src='" + server.url("/x.jpg") + "'><img src=" + server.url("/end.jpg"),
            "<img>" + thumbnail + "</img>", ""})
        .add(PackageItem{"b", "<div style=\"background:url(" + server.url("/bg.jpg"), "", ""})
        .write(package);

    // Mobile details are not moved: the thumbnail named after x.jpg stays remote.
    const CliRun run = run_cli({"move", package, "--to", pictures(), "--skip-image-space"}, home());
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string saved = utf16le_to_gbk(read_file(package));
    EXPECT_NE(saved.find("<img>" + thumbnail + "</img>"), std::string::npos) << saved;
    EXPECT_EQ(saved.find(server.url("/end.jpg")), std::string::npos);
    EXPECT_EQ(saved.find(server.url("/bg.jpg")), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(pictures()), fs::directory_iterator()), 3);

    // The saved package still reads, and still lists the thumbnail as remote.
    const CliRun scan = run_cli({"scan", package}, home());
    EXPECT_EQ(scan.status, 0) << scan.err;
    const CliRun again = run_cli({"move", package, "--to", pictures()}, home());
    EXPECT_EQ(again.status, 5) << again.err;          // the thumbnail does not exist
    EXPECT_EQ(server.hits("/x.jpg_400x400.jpg"), 2);  // asked for whole: 404, and its retry
}

#ifndef _WIN32

// A small file system of its own (root only), for full and read-only disks.
class Tmpfs {
  public:
    Tmpfs(const std::string& folder, size_t bytes) : folder_(folder) {
        fs::create_directories(folder);
        mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0,
                         ("size=" + std::to_string(bytes)).c_str()) == 0;
    }
    ~Tmpfs() {
        if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool mounted() const { return mounted_; }
    bool make_read_only() {
        return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string folder_;
    bool mounted_ = false;
};

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A temporary file or an owner lock; a journal waits for its package's
// next job and is no temporary file.
bool has_temporary(const std::string& folder) {
    for (const std::string& name : names_in(folder)) {
        if (name.rfind(".kelvane-", 0) == 0 && name.rfind(".kelvane-journal-", 0) != 0) return true;
    }
    return false;
}

// The saved text with every image path of `folder` replaced by "IMG", so
// that two runs' packages compare whatever numbers their files got.
std::string with_paths_folded(const std::string& text, const std::string& folder) {
    const std::string prefix = folder + "/";
    std::string out;
    size_t at = 0;
    for (size_t hit; (hit = text.find(prefix, at)) != std::string::npos;) {
        out.append(text, at, hit - at);
        out += "IMG";
        at = hit + prefix.size();
        while (at < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '-'))
            ++at;
        if (text.compare(at, 4, ".jpg") == 0) at += 4;
    }
    out.append(text, at, std::string::npos);
    return out;
}

TEST_F(DataSafetyTest, AKillAtAnyMomentLeavesTheOldPackageOrTheWholeNewOne) {
    // About 16 MB on disk, so that saving and backing up take real time.
    std::string filler;
    while (filler.size() < 40000)
        filler += "<p>\xC9\xCC\xC6\xB7\xCF\xEA\xC7\xE9 0123456789 abcdef</p>";
    const PackageBuilder builder = shop("k", 200, 120, filler);
    const std::string original = builder.file_bytes();

    auto prepare = [&](const std::string& name) {
        const std::string folder = dir.file(name);
        fs::create_directories(folder + "/pictures");
        write_file(folder + "/shop.csv", original);
        return folder;
    };
    const std::string reference = prepare("reference");
    const double started = platform::monotonic_seconds();
    const CliRun run =
        run_cli({"move", reference + "/shop.csv", "--to", reference + "/pictures"}, home());
    const double duration = platform::monotonic_seconds() - started;
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string expected = with_paths_folded(
        utf16le_to_gbk(read_file(reference + "/shop.csv")), reference + "/pictures");
    ASSERT_NE(expected, utf16le_to_gbk(original));

    std::mt19937 random(20261207);
    auto within = [&random](double from, double to) {
        return std::uniform_real_distribution<double>(from, to)(random);
    };
    int keptOld = 0, savedNew = 0, cutSaves = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const std::string folder = prepare("trial" + std::to_string(trial));
        const pid_t child =
            start_cli({"move", folder + "/shop.csv", "--to", folder + "/pictures"}, home());
        // A third of the kills anywhere in the job; a third just after the
        // backup's temporary file appears, a third after the save's.
        if (trial % 3 == 0) {
            usleep(static_cast<useconds_t>(within(0, 1.5 * duration) * 1e6));
        } else {
            const std::string watched = trial % 3 == 1 ? home() + "/bak" : folder;
            const double deadline = platform::monotonic_seconds() + 5 * duration;
            while (platform::monotonic_seconds() < deadline && !has_temporary(watched)) usleep(500);
            usleep(static_cast<useconds_t>(within(0, 0.05) * 1e6));
        }
        kill(child, SIGKILL);
        wait_cli(child);

        const std::string bytes = read_file(folder + "/shop.csv");
        if (bytes == original) {
            ++keptOld;
        } else {
            ASSERT_EQ(with_paths_folded(utf16le_to_gbk(bytes), folder + "/pictures"), expected)
                << "trial " << trial;
            ++savedNew;
        }
        for (const std::string& name : names_in(folder))
            cutSaves += name.rfind(".kelvane-", 0) == 0;
    }
    // Every numbered copy is a whole copy; only temporary names may be short.
    int backups = 0;
    for (const std::string& name : names_in(home() + "/bak")) {
        if (name.rfind("shop(", 0) != 0) continue;
        ++backups;
        EXPECT_TRUE(read_file(home() + "/bak/" + name) == original) << name;
    }
    std::printf(
        "job %.2f s; kills: %d kept the old package, %d found the new one, %d cut a save; "
        "%d whole backups\n",
        duration, keptOld, savedNew, cutSaves, backups);
}

// A process id that no process of this PID namespace has.
pid_t unused_pid() {
    int most = 32768;
    if (FILE* file = std::fopen("/proc/sys/kernel/pid_max", "r")) {
        if (std::fscanf(file, "%d", &most) != 1) most = 32768;
        std::fclose(file);
    }
    for (pid_t pid = most - 1; pid > 1000; --pid) {
        if (kill(pid, 0) != 0 && errno == ESRCH) return pid;
    }
    return 0;
}

// Runs kelvane-cli as process `pid` of a PID namespace of its own, as a
// container or another computer on a shared folder would: here that id is
// nobody's.
std::vector<std::string> in_pid_namespace(pid_t pid) {
    return {"unshare",
            "--pid",
            "--fork",
            "--mount-proc",
            "--kill-child",
            "sh",
            "-c",
            "echo " + std::to_string(pid - 1) +
                " >/proc/sys/kernel/ns_last_pid && \"$0\" \"$@\"; exit $?"};
}

bool wait_for_temporaries(const std::string& folder, int wanted) {
    const double deadline = platform::monotonic_seconds() + 20;
    for (;;) {
        int count = 0;
        for (const std::string& name : names_in(folder))
            count += name.rfind(".kelvane-", 0) == 0 && name.find(".tmp") != std::string::npos;
        if (count >= wanted) return true;
        if (platform::monotonic_seconds() > deadline) return false;
        usleep(2000);
    }
}

TEST_F(DataSafetyTest, ALiveJobKeepsItsFilesWhateverItsPidAndAKilledJobsAreTakenAway) {
    if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "PID namespaces need root";
    // The first image comes late: meanwhile the others wait, downloaded,
    // under temporary names until the job files them in order.
    constexpr int ITEMS = 24;
    const std::string live = dir.file("live.csv");
    shop("n", ITEMS).write(live);
    server.add("/n0.jpg", jpeg_body(120, 'n'), 4000);
    const pid_t job =
        start_cli({"move", live, "--to", pictures()}, home(), in_pid_namespace(unused_pid()));
    ASSERT_TRUE(wait_for_temporaries(pictures(), 8));
    const std::string other = dir.file("other.csv");
    shop("o", 2).write(other);
    const CliRun second = run_cli({"move", other, "--to", pictures()}, home());
    EXPECT_EQ(second.status, 0) << second.err;

    EXPECT_EQ(wait_cli(job), 0);
    const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(live)));
    ASSERT_EQ(paths.size(), static_cast<size_t>(ITEMS));
    for (int i = 0; i < ITEMS; ++i) {
        EXPECT_EQ(read_file(paths[i]), jpeg_body(120 + static_cast<size_t>(i), 'n')) << paths[i];
        // Not one download lost and fetched again.
        EXPECT_EQ(server.hits("/n" + std::to_string(i) + ".jpg"), 1) << i;
    }
    EXPECT_FALSE(has_temporary(pictures()));

    // A killed job leaves its files and its lock file; the next job in the
    // folder takes them away.
    const std::string killed = dir.file("killed.csv");
    shop("k", ITEMS).write(killed);
    server.add("/k0.jpg", jpeg_body(120, 'k'), 1500);
    const pid_t victim = start_cli({"move", killed, "--to", pictures()}, home());
    ASSERT_TRUE(wait_for_temporaries(pictures(), 8));
    kill(victim, SIGKILL);
    wait_cli(victim);
    ASSERT_TRUE(has_temporary(pictures()));
    const std::string next = dir.file("next.csv");
    shop("x", 1).write(next);
    const CliRun after = run_cli({"move", next, "--to", pictures()}, home());
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_FALSE(has_temporary(pictures())) << testing::PrintToString(names_in(pictures()));
    // The killed job's journal waits for its own package's next job.
    const CliRun again = run_cli({"move", killed, "--to", pictures()}, home());
    EXPECT_EQ(again.status, 0) << again.err;
    for (const std::string& name : names_in(pictures()))
        EXPECT_NE(name.rfind(".kelvane-", 0), 0u) << name;
}

// Every file under `folder` that is not one of the package's images, and
// every name of the program's own left behind.
std::vector<std::string> unused_files(const std::string& folder, const std::string& package) {
    const std::vector<std::string> used = image_paths(utf16le_to_gbk(read_file(package)));
    std::vector<std::string> unused;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_directory()) continue;
        if (std::find(used.begin(), used.end(), entry.path().string()) == used.end())
            unused.push_back(entry.path().string());
    }
    return unused;
}

int image_files(const std::string& folder) {
    int count = 0;
    for (const std::string& name : names_in(folder)) count += name.rfind(".kelvane-", 0) != 0;
    return count;
}

TEST_F(DataSafetyTest, AKilledJobCostsItsRerunOnlyTheDownloadsInFlight) {
    constexpr int ITEMS = 160;
    constexpr int IN_FLIGHT = 16;  // eight connections, and as many beside slow ones
    std::mt19937 random(20261223);
    server.set_delay_ms(30);
    for (int trial = 0; trial < 3; ++trial) {
        const std::string folder = dir.file("trial" + std::to_string(trial));
        const std::string package = folder + "/shop.csv";
        fs::create_directories(folder + "/pictures");
        const std::string tag = "t" + std::to_string(trial) + "-";
        shop(tag, ITEMS).write(package);

        // Killed after a random number of requests, with images filed, some
        // waiting for their turn and some in flight.
        const int moment = std::uniform_int_distribution<int>(40, ITEMS - 20)(random);
        const int before = server.total_hits();
        const pid_t job = start_cli({"move", package, "--to", folder + "/pictures"}, home());
        const double deadline = platform::monotonic_seconds() + 30;
        while (server.total_hits() - before < moment && platform::monotonic_seconds() < deadline)
            usleep(500);
        kill(job, SIGKILL);
        wait_cli(job);
        const int asked = server.total_hits() - before;

        const CliRun rerun = run_cli({"move", package, "--to", folder + "/pictures"}, home());
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(package)));
        ASSERT_EQ(paths.size(), static_cast<size_t>(ITEMS));
        int again = 0;
        for (int i = 0; i < ITEMS; ++i) {
            const int hits = server.hits("/" + tag + std::to_string(i) + ".jpg");
            EXPECT_GE(hits, 1);
            again += hits - 1;
            EXPECT_EQ(read_file(paths[i]), jpeg_body(120 + static_cast<size_t>(i), tag[0]))
                << paths[i];
        }
        std::printf("killed after %d requests: %d asked again\n", asked, again);
        EXPECT_LE(again, IN_FLIGHT) << "killed after " << asked;
        const std::vector<std::string> unused = unused_files(folder + "/pictures", package);
        EXPECT_TRUE(unused.empty()) << unused.size() << " unused, as " << unused.front();
    }
}

TEST_F(DataSafetyTest, AKillDuringTheTakeOverLosesNothing) {
    // The first image is held: all the others arrive and wait for it under
    // temporary names, and a kill leaves them to the next job to take over.
    constexpr int ITEMS = 1200;
    const PackageBuilder builder = shop("r", ITEMS);
    builder.write(package());
    server.set_path_delay_ms("/r0.jpg", 60000);
    const pid_t job = start_cli({"move", package(), "--to", pictures()}, home());
    ASSERT_TRUE(wait_for_temporaries(pictures(), ITEMS - 20));
    kill(job, SIGKILL);
    wait_cli(job);
    server.set_path_delay_ms("/r0.jpg", -1);

    // Later jobs killed while they give those images their names.
    int midway = 0;
    for (int attempt = 0; attempt < 8 && midway < 2; ++attempt) {
        const int filed = image_files(pictures());
        const pid_t next = start_cli({"move", package(), "--to", pictures()}, home());
        const double deadline = platform::monotonic_seconds() + 20;
        while (image_files(pictures()) == filed && platform::monotonic_seconds() < deadline)
            usleep(200);
        kill(next, SIGKILL);
        wait_cli(next);
        const int now = image_files(pictures());
        midway += now > filed && now < ITEMS - 1;
    }
    EXPECT_GE(midway, 1);

    const CliRun last = run_cli({"move", package(), "--to", pictures()}, home());
    ASSERT_EQ(last.status, 0) << last.err;
    // Asked again: what was in flight at the first kill, and at most as much
    // again where a kill came only after a job had started downloading.
    EXPECT_LE(server.total_hits() - ITEMS, 3 * 16);
    const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(package())));
    ASSERT_EQ(paths.size(), static_cast<size_t>(ITEMS));
    for (int i = 0; i < ITEMS; ++i) {
        EXPECT_EQ(read_file(paths[i]), jpeg_body(120 + static_cast<size_t>(i), 'r')) << paths[i];
        EXPECT_LE(server.hits("/r" + std::to_string(i) + ".jpg"), 2) << i;
    }
    const std::vector<std::string> unused = unused_files(pictures(), package());
    EXPECT_TRUE(unused.empty()) << unused.size() << " unused, as " << unused.front();
}

TEST_F(DataSafetyTest, AFullDiskNeverLeavesAShortFile) {
    const PackageBuilder builder = shop("f", 30, 40000, std::string(6000, 'x'));
    const std::string original = builder.file_bytes();

    {  // The package's own disk has no room for the new text beside the old.
        Tmpfs disk(dir.file("full-package"), original.size() * 3 / 2);
        if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
        const std::string package = dir.file("full-package") + "/shop.csv";
        write_file(package, original);
        const CliRun run = run_cli({"move", package, "--to", pictures()}, home());
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(utf8("更新CSV文件失败：写入文件出错。")), std::string::npos)
            << run.err;
        EXPECT_TRUE(read_file(package) == original);
        EXPECT_EQ(names_in(dir.file("full-package")), std::vector<std::string>{"shop.csv"});
    }
    {  // The backup folder is full: the package is not saved without its copy,
       // and no short copy appears.
        const std::string package = dir.file("shop.csv");
        write_file(package, original);
        const std::string smallHome = dir.file("small-home");
        Tmpfs disk(smallHome, 64 * 1024);
        ASSERT_TRUE(disk.mounted());
        const CliRun run = run_cli({"move", package, "--to", pictures()}, smallHome);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(utf8("备份csv文件时出错：写入文件失败")), std::string::npos)
            << run.err;
        EXPECT_TRUE(names_in(smallHome + "/bak").empty());
        EXPECT_TRUE(read_file(package) == original);
    }
    {  // The image folder fills up: the job stops and saves what is whole.
        const std::string package = dir.file("shop.csv");
        write_file(package, original);
        const std::string smallPictures = dir.file("small-pictures");
        Tmpfs disk(smallPictures, 96 * 1024);
        ASSERT_TRUE(disk.mounted());
        const CliRun run = run_cli({"move", package, "--to", smallPictures}, home());
        EXPECT_EQ(run.status, 1) << run.err;
        const std::vector<std::string> paths = image_paths(utf16le_to_gbk(read_file(package)));
        ASSERT_EQ(paths.size(), 30u);
        size_t saved = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (paths[i] == server.url("/f" + std::to_string(i) + ".jpg"))
                continue;  // still remote
            ++saved;
            EXPECT_EQ(read_file(paths[i]), jpeg_body(40000 + i, 'f')) << paths[i];
        }
        EXPECT_GE(saved, 1u);
        EXPECT_LT(saved, 30u);
        EXPECT_EQ(names_in(smallPictures).size(), saved);  // no cut file, no temporary one
    }
}

TEST_F(DataSafetyTest, WorkThatCouldNotBeSavedIsRefusedBeforeAnyDownload) {
    const PackageBuilder builder = shop("r", 2);
    const std::string package = dir.file("shop.csv");
    builder.write(package);
    const std::string fifo = dir.file("pipe.csv");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // A folder whose longest image path (batch folder, subfolder, name) is
    // one byte too long, and one that leaves just enough room.
    std::string deep = dir.path();
    while (deep.size() < 180) deep += "/" + std::string(40, 'd');
    const size_t room = PATH_BUFFER_SIZE - 1 -
                        (deep.size() + 1 + std::strlen("m-9999-12-31-23-59-2147483647.jpeg"));
    const std::string fits = deep + "/" + std::string(room - 1, 'e');
    const std::string tooLong = fits + "e";
    fs::create_directories(fits);
    fs::create_directories(tooLong);

    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {"a FIFO to scan", {"scan", fifo}, PACKAGE_NOT_A_FILE_MESSAGE},
        {"a FIFO to move", {"move", fifo, "--to", pictures()}, PACKAGE_NOT_A_FILE_MESSAGE},
        {"a folder", {"move", pictures(), "--to", pictures()}, PACKAGE_NOT_A_FILE_MESSAGE},
        {"a device", {"scan", "/dev/zero"}, PACKAGE_NOT_A_FILE_MESSAGE},
        {"a folder too deep", {"move", package, "--to", tooLong}, PATH_TOO_LONG_TEXT},
    };
    for (const Case& c : cases) {
        const CliRun run = run_cli(c.args, home());
        EXPECT_EQ(run.status, 2) << c.what << "\n" << run.err;
        EXPECT_NE(run.err.find(utf8(c.message)), std::string::npos) << c.what << "\n" << run.err;
    }
    EXPECT_EQ(server.total_hits(), 0);
    const CliRun fitting = run_cli({"move", package, "--to", fits}, home());
    EXPECT_EQ(fitting.status, 0) << fitting.err;

    Tmpfs medium(dir.file("read-only"), 1024 * 1024);
    if (!medium.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string locked = dir.file("read-only") + "/shop.csv";
    builder.write(locked);
    ASSERT_TRUE(medium.make_read_only());
    const int hits = server.total_hits();
    const CliRun run = run_cli({"move", locked, "--to", pictures()}, home());
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(utf8(PACKAGE_NOT_WRITABLE_MESSAGE)), std::string::npos) << run.err;
    EXPECT_EQ(server.total_hits(), hits);
}

#endif

}  // namespace
