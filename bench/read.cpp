// Reading a large data package: about 100 MB of UTF-16 with realistic rows
// (sixty columns, ~10 KB HTML descriptions with 20 images, mobile details).
// Prints the read time, MB/s and the peak memory against the file size.
//
//   bench-read [FILE]   generates FILE (default: a temporary file) if it does
//                       not exist, then reads it in a fresh process
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "package/data_package.h"
#include "package/data_package_io.h"
#include "platform/platform.h"
#include "support/package_builder.h"

namespace {

size_t target_bytes() {
    const char* mb = std::getenv("KELVANE_BENCH_MB");
    return (mb != nullptr ? std::strtoul(mb, nullptr, 10) : 100u) * 1024 * 1024;
}

std::string description(int item) {
    std::string html = "<p style=\"text-align:center\">";
    for (int i = 0; i < 20; ++i) {
        html += "<p><span style=\"font-size:14px;color:#333333\">商品详情 精选面料 舒适透气 ";
        html += std::string(380, 'x');
        html += "</span></p><img align=\"absmiddle\" src=\"https://img.alicdn.com/imgextra/i" +
                std::to_string(i % 4) + "/" + std::to_string(100000 + item) + "/O1CN01abc" +
                std::to_string(i) + "_!!0-item_pic.jpg\" style=\"max-width:750px\">";
    }
    return html + "</p>";
}

std::string mobile(int item) {
    std::string wap = "<wapDesc><shortDesc>手机详情</shortDesc>";
    for (int i = 0; i < 8; ++i) {
        wap += "<img size=\"750x1000\">https://img.alicdn.com/imgextra/i1/" + std::to_string(item) +
               "/m" + std::to_string(i) + ".jpg</img>";
    }
    return wap + "</wapDesc>";
}

void generate(const std::string& path) {
    PackageBuilder builder;
    size_t estimate = 0;
    for (int item = 0; estimate < target_bytes(); ++item) {
        PackageItem row{"夏季新款连衣裙 " + std::to_string(item), description(item), mobile(item),
                        "卖点一 卖点二"};
        estimate += 2 * (row.description.size() + row.mobile.size() + 400);
        builder.add(std::move(row));
    }
    builder.write(path);
}

long peak_kib() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int read_once(const char* path) {
    const long before = peak_kib();
    const int64_t size = file_size(path);
    PtrVector* items = ptr_vector_new(256, 64);
    char* text = nullptr;
    const double start = platform::monotonic_seconds();
    PackageFingerprint fingerprint;
    const ReadResult result = read_data_package(path, items, &text, &fingerprint);
    const double seconds = platform::monotonic_seconds() - start;
    const long peak = peak_kib();
    if (result != ReadResult::Ok) {
        std::fprintf(stderr, "read failed: %d\n", static_cast<int>(result));
        return 1;
    }
    int64_t addresses = 0;
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        addresses +=
            item->desc_images->count + (item->mobile_images ? item->mobile_images->count : 0);
    }
    const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf(
        "read: %.1f MB, %d items, %lld addresses in %.3f s: %.1f MB/s; peak memory %.1f MB "
        "(%.2fx the file; %.1f MB before reading)\n",
        mb, items->count, static_cast<long long>(addresses), seconds, mb / seconds, peak / 1024.0,
        peak * 1024.0 / static_cast<double>(size), before / 1024.0);
    // A job that saves reads the package once more first, to be sure it is
    // still the one it read.
    const double check_start = platform::monotonic_seconds();
    const bool unchanged = package_unchanged(path, fingerprint);
    const double check_seconds = platform::monotonic_seconds() - check_start;
    std::printf("check: the file compared with the one read (%s) in %.3f s: %.1f MB/s\n",
                unchanged ? "unchanged" : "CHANGED", check_seconds, mb / check_seconds);
    // Saving is the other end of every job: time it on the same text.
    const std::string copy = std::string(path) + ".saved";
    const double write_start = platform::monotonic_seconds();
    write_data_package(copy.c_str(), text);
    const double write_seconds = platform::monotonic_seconds() - write_start;
    std::printf("write: %.1f MB of text saved in %.3f s\n",
                static_cast<double>(std::strlen(text)) / (1024.0 * 1024.0), write_seconds);
    std::remove(copy.c_str());
    std::free(text);
    item_list_clear(items);
    ptr_vector_destroy(items, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--read") == 0) return read_once(argv[2]);

    const std::string path = argc > 1 ? argv[1] : "/tmp/kelvane-bench-read.csv";
    if (file_size(path.c_str()) <= 0) {
        std::printf("generating %s ...\n", path.c_str());
        std::fflush(stdout);
        generate(path);
    }
    // Read in a fresh process, so the peak memory is the reader's own.
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", argv[0], "--read", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
