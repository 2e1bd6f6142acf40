#include "support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "shell/charset.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = static_cast<long long>(platform::monotonic_seconds() * 1e9);
    fs::path dir = fs::temp_directory_path() /
                   ("kelvane-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(dir);
    path_ = dir.string();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const {
    return path_ + platform::PATH_SEPARATOR + name;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string read_log(const std::string& path) {
    const std::string bytes = read_file(path);
    if (!platform::APP_LOG_UTF8) return bytes;
    // A character takes no more bytes in GB18030 than twice its UTF-8 bytes.
    std::string text(bytes.size() * 2 + 1, '\0');
    size_t length = 0;
    convert_charset("UTF-8", "GB18030", bytes.data(), bytes.size(), text.data(), text.size(),
                    &length);
    text.resize(length);
    return text;
}

std::string read_path(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
