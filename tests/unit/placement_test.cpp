#include "engine/placement.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const std::string SEP(1, platform::PATH_SEPARATOR);

// nameSequence is process-wide; each test that sets it puts it back.
class SequenceGuard {
  public:
    explicit SequenceGuard(int32_t value) : saved_(nameSequence) { nameSequence = value; }
    ~SequenceGuard() { nameSequence = saved_; }

  private:
    int32_t saved_;
};

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string name_of(const PlacementState& state, bool mobile, int32_t number,
                    const char* extension) {
    return std::string(mobile ? "m-" : "") + std::to_string(state.year) + "-" +
           std::to_string(state.month) + "-" + std::to_string(state.day) + "-" +
           std::to_string(state.hour) + "-" + std::to_string(state.minute) + "-" +
           std::to_string(number) + "." + extension;
}

// ---- extensions ------------------------------------------------------------

TEST(UrlExtension, TakesTheLastSegmentsExtensionUpToQueryOrFragment) {
    struct Case {
        const char* address;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h.com/a.JPG?x=1", "JPG"},
        {"http://h.com/a.jpg_400x400.jpg", "jpg"},
        {"http://h.com/a.b.c", "c"},
        {"http://h.com/a.", ""},
        {"http://h.com/a", ""},
        {"http://h.com/dir.v2/file", ""},  // the dot is not in the last segment
        {"no-slash.png", ""},
        {"http://h.com/a.gif#top", "gif"},
        {"http://h.com/a.png#frag?q", "png#fra"},  // "?" wins over "#"; then 7 bytes
        {"http://h.com/a.abcdefghij", "abcdefg"},
        {"http://h.com/a.png?u=x.y", "y"},            // the segment's last dot, even in a query
        {"http://h.com/a.jpg?u=http://o.com/b", ""},  // the last "/" is inside the query
        {"", ""},
    };
    for (const Case& c : cases) {
        char out[URL_EXTENSION_SIZE + 8];
        std::memset(out, 'Z', sizeof out);
        url_extension(c.address, out);
        EXPECT_STREQ(out, c.expected) << c.address;
        for (size_t i = URL_EXTENSION_SIZE; i < sizeof out; ++i) {
            EXPECT_EQ(out[i], 'Z') << c.address << ": wrote past the extension room";
        }
    }
}

TEST(ImageExtension, NamesTheFileAfterTheAddress) {
    struct Case {
        const char* address;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h.com/a.JPG", "jpg"},
        {"http://h.com/a.jpeg", "jpeg"},
        {"http://h.com/a.JPEG", "jpeg"},
        {"http://h.com/a.jpg_400x400.jpg", "jpg"},
        {"http://h.com/a.png?x=1", "png"},
        {"http://h.com/a.Png", "png"},
        {"http://h.com/a.webp", "jpg"},
        {"http://h.com/a", "jpg"},
        {"http://h.com/a.gif#frame", "gif"},
        {"http://h.com/a.bmp", "bmp"},
        {"http://h.com/a.abcdefgpng", "jpg"},  // png lies beyond the 7 bytes looked at
        {"http://h.com/a.xxxxpng", "png"},
        {"http://h.com/a.jpeg_1", "jpg"},   // jpeg inside decoration counts as jpg
        {"http://h.com/a.gif_jpg", "jpg"},  // jpg is tested first
        {"http://h.com/a.pngbmp", "png"},
        {"http://h.com/a.BMP!x", "bmp"},
        {"http://h.com/a.tiff", "jpg"},
        {"http://h.com/\xC9\xCC.\xC6\xB7", "jpg"},  // GBK bytes are not letters
    };
    for (const Case& c : cases) EXPECT_STREQ(image_extension(c.address), c.expected) << c.address;
}

// ---- folders -----------------------------------------------------------------

TEST(Placement, SmallPackagesUseTheTargetFolderItself) {
    for (const int items : {0, 1, LARGE_PACKAGE_ITEMS}) {
        TempDir dir;
        PlacementState state;
        char failed[PATH_BUFFER_SIZE] = "";
        ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), items, failed)) << items;
        EXPECT_FALSE(state.batchMode) << items;
        for (const int32_t ordinal : {1, 2049}) {
            ASSERT_TRUE(choose_image_folder(&state, ordinal, failed));
            EXPECT_EQ(std::string(state.currentFolder), dir.path()) << items;
        }
        EXPECT_TRUE(entries(dir.path()).empty()) << items << ": no folder may be created";
    }
}

TEST(Placement, LargePackagesGoIntoAHourMinuteSecondBatchFolder) {
    for (const int items : {LARGE_PACKAGE_ITEMS + 1, 5000}) {
        TempDir dir;
        const std::time_t before = std::time(nullptr);
        PlacementState state;
        char failed[PATH_BUFFER_SIZE] = "";
        ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), items, failed)) << items;
        const std::time_t after = std::time(nullptr);
        EXPECT_TRUE(state.batchMode);
        EXPECT_EQ(state.subfolderNumber, 0);

        const std::vector<std::string> made = entries(dir.path());
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(std::string(state.batchFolder), dir.file(made[0]));
        // The name is one of the seconds the call took, without leading zeros.
        bool matches = false;
        for (std::time_t t = before; t <= after; ++t) {
            struct tm local {};
            platform::local_time(t, &local);
            const std::string name = std::to_string(local.tm_hour) + "-" +
                                     std::to_string(local.tm_min) + "-" +
                                     std::to_string(local.tm_sec);
            matches = matches || made[0] == name;
        }
        EXPECT_TRUE(matches) << made[0];

        ASSERT_TRUE(choose_image_folder(&state, 1, failed));
        EXPECT_EQ(std::string(state.currentFolder), std::string(state.batchFolder) + SEP + "1");
        EXPECT_TRUE(fs::is_directory(state.currentFolder));
    }
}

TEST(Placement, TakesANewSubfolderEvery2048SavedImages) {
    struct Step {
        int32_t savedOrdinal;
        int subfolder;  // expected current subfolder after the call
    };
    // A repeated ordinal 1 is a first download that failed: the next new
    // address takes yet another subfolder, leaving the previous one empty.
    const Step steps[] = {{1, 1},    {2, 1},    {2048, 1}, {2049, 2}, {2050, 2},
                          {4096, 2}, {4097, 3}, {4097, 4}, {4098, 4}, {6145, 5}};
    TempDir dir;
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 1000, failed));
    for (const Step& step : steps) {
        ASSERT_TRUE(choose_image_folder(&state, step.savedOrdinal, failed)) << step.savedOrdinal;
        EXPECT_EQ(state.subfolderNumber, step.subfolder) << step.savedOrdinal;
        EXPECT_EQ(std::string(state.currentFolder),
                  std::string(state.batchFolder) + SEP + std::to_string(step.subfolder))
            << step.savedOrdinal;
    }
    EXPECT_EQ(entries(state.batchFolder).size(), 5u);
}

TEST(Placement, ExistingFoldersAreUsedAgain) {
    TempDir dir;
    // The batch folder is named by the clock: make the ones of the next few
    // seconds beforehand, each with a file that must survive.
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 5; ++t) {
        struct tm local {};
        platform::local_time(t, &local);
        const std::string name = std::to_string(local.tm_hour) + "-" +
                                 std::to_string(local.tm_min) + "-" + std::to_string(local.tm_sec);
        fs::create_directories(dir.file(name) + SEP + "1");
        write_file(dir.file(name) + SEP + "1" + SEP + "keep.txt", "x");
    }
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 301, failed));
    ASSERT_TRUE(choose_image_folder(&state, 1, failed));
    EXPECT_EQ(state.subfolderNumber, 1);
    EXPECT_EQ(read_file(std::string(state.currentFolder) + SEP + "keep.txt"), "x");
    EXPECT_EQ(entries(dir.path()).size(), 5u) << "no folder besides the prepared ones";
}

TEST(Placement, FoldersThatCannotBeCreatedAreNamed) {
    // Batch folder under a target that does not exist.
    {
        TempDir dir;
        const std::string missing = dir.file("missing");
        PlacementState state;
        char failed[PATH_BUFFER_SIZE] = "";
        EXPECT_FALSE(placement_begin(&state, missing.c_str(), 301, failed));
        EXPECT_EQ(std::string(failed).rfind(missing + SEP, 0), 0u) << failed;
        EXPECT_FALSE(fs::exists(missing));
    }
    // A file where subfolder "1" should be: that subfolder fails, the next
    // attempt moves on to "2".
    {
        TempDir dir;
        PlacementState state;
        char failed[PATH_BUFFER_SIZE] = "";
        ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 301, failed));
        const std::string blocker = std::string(state.batchFolder) + SEP + "1";
        write_file(blocker, "not a folder");
        const std::string before = state.currentFolder;
        EXPECT_FALSE(choose_image_folder(&state, 1, failed));
        EXPECT_EQ(std::string(failed), blocker);
        EXPECT_EQ(std::string(state.currentFolder), before);
        ASSERT_TRUE(choose_image_folder(&state, 1, failed));
        EXPECT_EQ(std::string(state.currentFolder), std::string(state.batchFolder) + SEP + "2");
    }
}

// ---- names -----------------------------------------------------------------

TEST(ImagePath, NamesFollowTheStartTimeAndTheRunningNumber) {
    SequenceGuard sequence(1);
    TempDir dir;
    const std::time_t before = std::time(nullptr);
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 2, failed));
    const std::time_t after = std::time(nullptr);
    // The start time is the local time of the call, to the minute.
    struct tm start {};
    start.tm_year = state.year - 1900;
    start.tm_mon = state.month - 1;
    start.tm_mday = state.day;
    start.tm_hour = state.hour;
    start.tm_min = state.minute;
    start.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&start);
    EXPECT_LE(stamped, after);
    EXPECT_GT(stamped + 60, before);

    struct Call {
        bool mobile;
        const char* extension;
        bool occupy;  // make the file so that the next call must skip past it
        int32_t expectedNumber;
    };
    const Call calls[] = {
        {false, "jpg", false, 1}, {true, "png", false, 2},  {false, "gif", true, 3},
        {false, "gif", false, 4}, {true, "jpeg", false, 5},
    };
    for (const Call& call : calls) {
        char path[PATH_BUFFER_SIZE];
        ASSERT_TRUE(choose_image_path(&state,
                                      call.mobile ? ImageColumn::Mobile : ImageColumn::Description,
                                      call.extension, path));
        EXPECT_EQ(std::string(path),
                  dir.file(name_of(state, call.mobile, call.expectedNumber, call.extension)));
        if (call.occupy) write_file(path, "taken");
    }
    EXPECT_EQ(nameSequence, 6);
}

TEST(ImagePath, SkipsNumbersWhoseFileExists) {
    SequenceGuard sequence(10);
    TempDir dir;
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 1, failed));
    for (const int32_t taken : {10, 11, 13})
        write_file(dir.file(name_of(state, false, taken, "jpg")), "x");
    write_file(dir.file(name_of(state, true, 12, "jpg")), "x");  // another name: not in the way

    char path[PATH_BUFFER_SIZE];
    ASSERT_TRUE(choose_image_path(&state, ImageColumn::Description, "jpg", path));
    EXPECT_EQ(std::string(path), dir.file(name_of(state, false, 12, "jpg")));
    EXPECT_EQ(nameSequence, 13);
    write_file(path, "x");
    ASSERT_TRUE(choose_image_path(&state, ImageColumn::Description, "jpg", path));
    EXPECT_EQ(std::string(path), dir.file(name_of(state, false, 14, "jpg")));
    EXPECT_EQ(nameSequence, 15);
}

TEST(ImagePath, TheSequenceContinuesAcrossJobs) {
    SequenceGuard sequence(1);
    TempDir dir;
    std::vector<int32_t> numbers;
    for (int job = 0; job < 3; ++job) {
        PlacementState state;
        char failed[PATH_BUFFER_SIZE] = "";
        ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 1, failed));
        for (int image = 0; image < 2; ++image) {
            char path[PATH_BUFFER_SIZE];
            ASSERT_TRUE(choose_image_path(
                &state, image == 1 ? ImageColumn::Mobile : ImageColumn::Description, "jpg", path));
            int32_t number = 0;
            const char* last = std::strrchr(path, '-');
            ASSERT_NE(last, nullptr);
            ASSERT_EQ(std::sscanf(last, "-%d.jpg", &number), 1) << path;
            numbers.push_back(number);
        }
    }
    EXPECT_EQ(numbers, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(ImagePath, BatchModeFilesLandInTheCurrentSubfolder) {
    SequenceGuard sequence(1);
    TempDir dir;
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 301, failed));
    ASSERT_TRUE(choose_image_folder(&state, 1, failed));
    char path[PATH_BUFFER_SIZE];
    ASSERT_TRUE(choose_image_path(&state, ImageColumn::Mobile, "png", path));
    EXPECT_EQ(std::string(path),
              std::string(state.batchFolder) + SEP + "1" + SEP + name_of(state, true, 1, "png"));
}

TEST(ImagePath, TheSequenceNeverOverflows) {
    SequenceGuard sequence(INT32_MAX - 1);
    TempDir dir;
    PlacementState state;
    char failed[PATH_BUFFER_SIZE] = "";
    ASSERT_TRUE(placement_begin(&state, dir.path().c_str(), 1, failed));
    char path[PATH_BUFFER_SIZE];
    ASSERT_TRUE(choose_image_path(&state, ImageColumn::Description, "jpg", path));
    EXPECT_EQ(std::string(path), dir.file(name_of(state, false, INT32_MAX - 1, "jpg")));
    EXPECT_FALSE(choose_image_path(&state, ImageColumn::Description, "jpg", path));
    EXPECT_EQ(nameSequence, INT32_MAX);
}

// ---- over-long paths ---------------------------------------------------------

// A folder path of exactly `length` bytes under `base`; it is never created.
std::string folder_of_length(const std::string& base, size_t length) {
    return base + SEP + std::string(length - base.size() - 1, 'd');
}

TEST(OverLongPaths, AreRefusedWithoutOverflow) {
    TempDir dir;
    const size_t limit = PATH_BUFFER_SIZE - 1;  // bytes a path may have

    // A target folder that does not fit at all.
    {
        const std::string target = folder_of_length(dir.path(), limit + 1);
        PlacementState state;
        char failed[PATH_BUFFER_SIZE];
        EXPECT_FALSE(placement_begin(&state, target.c_str(), 1, failed));
        EXPECT_EQ(std::string(failed), target.substr(0, limit));
    }
    // A target folder that fits but leaves no room for the batch folder.
    {
        const std::string target = folder_of_length(dir.path(), limit - 4);
        PlacementState state;
        char failed[PATH_BUFFER_SIZE];
        EXPECT_FALSE(placement_begin(&state, target.c_str(), 301, failed));
        EXPECT_EQ(std::string(failed).size(), limit);
        EXPECT_EQ(std::string(failed).rfind(target + SEP, 0), 0u);
    }
    // A batch folder that leaves no room for a numbered subfolder.
    {
        PlacementState state{};
        state.batchMode = true;
        const std::string batch = folder_of_length(dir.path(), limit - 1);
        std::memcpy(state.batchFolder, batch.c_str(), batch.size() + 1);
        char failed[PATH_BUFFER_SIZE];
        EXPECT_FALSE(choose_image_folder(&state, 1, failed));
        EXPECT_EQ(std::string(failed), batch + SEP);
        EXPECT_STREQ(state.currentFolder, "");
    }
    // An image path one byte too long, then one that just fits.
    {
        SequenceGuard sequence(7);
        PlacementState state{};
        state.year = 2024, state.month = 3, state.day = 8, state.hour = 14, state.minute = 5;
        const std::string name = name_of(state, true, 7, "jpeg");
        for (const size_t pathLength : {limit + 1, limit}) {
            const std::string folder = folder_of_length(dir.path(), pathLength - name.size() - 1);
            std::memcpy(state.currentFolder, folder.c_str(), folder.size() + 1);
            nameSequence = 7;
            char path[PATH_BUFFER_SIZE];
            const bool fits = choose_image_path(&state, ImageColumn::Mobile, "jpeg", path);
            EXPECT_EQ(fits, pathLength == limit) << pathLength;
            if (fits) {
                EXPECT_EQ(std::string(path), folder + SEP + name);
            }
        }
    }
}

}  // namespace
