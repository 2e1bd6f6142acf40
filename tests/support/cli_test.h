// The set-up every test of kelvane-cli shares: sockets started, a fresh
// folder with a pictures folder, the program folder and the package's path
// in it, and a loopback image host.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/image_server.h"
#include "support/temp_dir.h"

class CliTest : public testing::Test {
  protected:
    void SetUp() override {
        start_test_networking();
        std::filesystem::create_directories(pictures());
    }
    std::string home() const { return dir.file("home"); }
    std::string pictures() const { return dir.file("pictures"); }
    std::string package() const { return dir.file("shop.csv"); }

    TempDir dir;
    ImageServer server;
};

// GBK text (the program's, and these tests' literals) as UTF-8, the way
// kelvane-cli writes it to a POSIX console and to its JSON report.
std::string utf8(const std::string& gbk);
// The program's words as kelvane-cli writes them when its output is not a
// console: UTF-8 on POSIX, GBK (the system's code page) on Windows.
std::string printed(const std::string& gbk);
