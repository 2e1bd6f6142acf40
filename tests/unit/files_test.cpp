#include "shell/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

const std::string SEP(1, platform::PATH_SEPARATOR);

TEST(FileQueries, ExistsSizeAndDirectory) {
    TempDir dir;
    const std::string file = dir.file("a.csv");
    write_file(file, std::string("\xFF\xFE") + std::string("a\0\r\0\n\0", 6));

    EXPECT_EQ(file_exists(file.c_str()), 1);
    EXPECT_EQ(file_size(file.c_str()), 8);
    EXPECT_EQ(is_directory(file.c_str()), 0);
    EXPECT_EQ(is_directory(dir.path().c_str()), 1);

    const std::string missing = dir.file("missing.csv");
    EXPECT_EQ(file_exists(missing.c_str()), 0);
    EXPECT_EQ(file_size(missing.c_str()), -1);
    EXPECT_EQ(is_directory(missing.c_str()), 0);
    EXPECT_EQ(file_exists(""), 0);
    EXPECT_EQ(is_directory(""), 0);
}

TEST(FileQueries, GbkNamesReachTheFileSystem) {
    TempDir dir;
    const std::string name = dir.file("\xD6\xD0\xCE\xC4.csv");  // 中文.csv in GBK
    FILE* f = platform::open_file(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("x", f);
    std::fclose(f);
    EXPECT_EQ(file_exists(name.c_str()), 1);
    EXPECT_EQ(file_size(name.c_str()), 1);
    EXPECT_TRUE(platform::remove_file(name.c_str()));
    EXPECT_EQ(file_exists(name.c_str()), 0);
}

TEST(FileNamePart, IsTheTextBehindTheLastSeparator) {
    EXPECT_STREQ(file_name_part("items.csv"), "items.csv");
    EXPECT_STREQ(file_name_part(""), "");
    const std::string path = SEP + "a" + SEP + "b" + SEP + "items.csv";
    EXPECT_STREQ(file_name_part(path.c_str()), "items.csv");
    const std::string folder = "a" + SEP;
    EXPECT_STREQ(file_name_part(folder.c_str()), "");
    const char* text = "plain";
    EXPECT_EQ(file_name_part(text), text);  // a pointer into the path, not a copy
}

TEST(FileNamePart, StepsOverGbkCharactersWhoseSecondByteIsABackslash) {
    // 0x95 0x5C is one GBK character; its trail byte must not split the path.
    const std::string path = "x" + SEP + "\x95\\a.csv";
    EXPECT_STREQ(file_name_part(path.c_str()), "\x95\\a.csv");
}

TEST(JoinPath, UsesThePlatformSeparatorAndRefusesOverlongResults) {
    char out[16];
    ASSERT_TRUE(join_path(out, sizeof out, "dir", "app.log"));
    EXPECT_EQ(std::string(out), "dir" + SEP + "app.log");
    const std::string root = "C:" + SEP;
    ASSERT_TRUE(join_path(out, sizeof out, root.c_str(), "app.log"));
    EXPECT_EQ(std::string(out), root + "app.log");
    EXPECT_TRUE(join_path(out, sizeof out, "0123456", "89abcde"));  // 15 bytes and the NUL
    EXPECT_FALSE(join_path(out, sizeof out, "0123456", "89abcdef"));
}

#ifndef _WIN32
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvVar() {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(ProgramFolder, FollowsKelvaneHomeThenXdgStateHome) {
    TempDir dir;
    char out[PATH_BUFFER_SIZE];
    {
        const std::string home = dir.file("home") + "/";
        EnvVar kelvane("KELVANE_HOME", home.c_str());
        ASSERT_TRUE(platform::program_folder(out, sizeof out));
        EXPECT_EQ(std::string(out), dir.file("home"));  // created, trailing slash dropped
        EXPECT_EQ(is_directory(out), 1);
    }
    {
        EnvVar kelvane("KELVANE_HOME", nullptr);
        EnvVar state("XDG_STATE_HOME", dir.file("state").c_str());
        ASSERT_TRUE(platform::program_folder(out, sizeof out));
        EXPECT_EQ(std::string(out), dir.file("state") + "/kelvane");
        EXPECT_EQ(is_directory(out), 1);
    }
    {
        EnvVar kelvane("KELVANE_HOME", nullptr);
        EnvVar state("XDG_STATE_HOME", nullptr);
        EnvVar home("HOME", dir.path().c_str());
        ASSERT_TRUE(platform::program_folder(out, sizeof out));
        EXPECT_EQ(std::string(out), dir.path() + "/.local/state/kelvane");
    }
    {
        const std::string overlong = dir.path() + "/" + std::string(300, 'x');
        EnvVar kelvane("KELVANE_HOME", overlong.c_str());
        EXPECT_FALSE(platform::program_folder(out, sizeof out));
    }
}

TEST(DesktopFolder, FromXdgOrHome) {
    char out[PATH_BUFFER_SIZE];
    {
        EnvVar desktop("XDG_DESKTOP_DIR", "/somewhere/\xE6\xA1\x8C\xE9\x9D\xA2");  // 桌面 in UTF-8
        ASSERT_TRUE(platform::desktop_folder(out, sizeof out));
        EXPECT_STREQ(out, "/somewhere/\xD7\xC0\xC3\xE6");  // handed out in GBK
    }
    {
        EnvVar desktop("XDG_DESKTOP_DIR", nullptr);
        EnvVar home("HOME", "/home/seller");
        ASSERT_TRUE(platform::desktop_folder(out, sizeof out));
        EXPECT_STREQ(out, "/home/seller/Desktop");
    }
}
#endif

}  // namespace

namespace {

TEST(FolderOfExecutable, CutsAtTheLastBackslashAndKeepsDriveRoots) {
    struct Case {
        const char* exe;
        const char* folder;  // nullptr: refused
    };
    const Case cases[] = {
        {"C:\\Program Files\\Kelvane\\kelvane.exe", "C:\\Program Files\\Kelvane"},
        {"C:\\kelvane.exe", "C:\\"},
        {"\\\\server\\share\\kelvane.exe", "\\\\server\\share"},
        // 0x95 0x5C: a GBK character whose trail byte is the backslash.
        {"D:\\\xB1\xB4\\\x95\x5C\\kelvane.exe", "D:\\\xB1\xB4\\\x95\x5C"},
        {"kelvane.exe", nullptr},
    };
    for (const Case& c : cases) {
        char out[PATH_BUFFER_SIZE];
        const bool ok = platform::folder_of_executable(c.exe, out, sizeof out);
        if (c.folder == nullptr) {
            EXPECT_FALSE(ok) << c.exe;
        } else {
            ASSERT_TRUE(ok) << c.exe;
            EXPECT_STREQ(out, c.folder);
        }
    }
    char tiny[4];
    EXPECT_FALSE(platform::folder_of_executable("C:\\a\\b.exe", tiny,
                                                sizeof tiny));  // C:\a needs five bytes
    EXPECT_TRUE(platform::folder_of_executable("C:\\b.exe", tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "C:\\");
}

}  // namespace

#ifdef _WIN32
namespace {

TEST(WindowsFolders, ProgramFolderHoldsTheRunningExecutable) {
    char folder[PATH_BUFFER_SIZE];
    ASSERT_TRUE(platform::program_folder(folder, sizeof folder));
    EXPECT_EQ(is_directory(folder), 1);
    char exe[PATH_BUFFER_SIZE];
    ASSERT_TRUE(join_path(exe, sizeof exe, folder, "kelvane-unit-tests.exe"));
    EXPECT_EQ(file_exists(exe), 1) << exe;
}

TEST(WindowsFolders, DesktopIsFoundByTheShell) {
    char desktop[PATH_BUFFER_SIZE];
    ASSERT_TRUE(platform::desktop_folder(desktop, sizeof desktop));
    EXPECT_NE(std::string(desktop).find("Desktop"), std::string::npos) << desktop;
}

}  // namespace
#endif
