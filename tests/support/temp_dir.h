// A fresh folder per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, as a native (UTF-8 or ASCII) path.
    const std::string& path() const { return path_; }
    // `name` joined to the folder with the platform's separator.
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

// Writes `bytes` to a native path, replacing the file.
void write_file(const std::string& path, const std::string& bytes);
// The whole file, or an empty string when it cannot be read.
std::string read_file(const std::string& path);
// app.log's lines as the program's text (GBK, GB18030 where it quotes a
// package), whatever the encoding the platform writes the file in.
std::string read_log(const std::string& path);
// The same for a path that may hold any character (wide on Windows).
std::string read_path(const std::filesystem::path& path);
