// Image reference extraction over generated descriptions the size sellers
// have: about 10 KB of HTML with 20 images each, plus a mobile detail.
// Prints MB/s and items/s.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "package/image_refs.h"
#include "platform/platform.h"

namespace {

std::string make_description(int item) {
    std::string cell = "\"<p style=\"\"text-align:center\"\">";
    for (int i = 0; i < 20; ++i) {
        cell += "<p><span style=\"\"font-size:14px;color:#333\"\">";
        cell += "\xC9\xCC\xC6\xB7\xCF\xEA\xC7\xE9 ";  // 商品详情
        cell += std::string(300, 'x');
        cell +=
            "</span></p><img align=\"\"absmiddle\"\" src=\"\"https://img.alicdn.com/imgextra/i" +
            std::to_string(i % 4) + "/" + std::to_string(item) + "/O1CN01" + std::to_string(i) +
            ".jpg\"\" style=\"\"max-width:750px\"\">";
    }
    cell += "<table background=\"\"http://img.example.com/bg" + std::to_string(item) +
            ".jpg\"\"></table></p>\"";
    return cell;
}

std::string make_mobile_detail(int item) {
    std::string cell = "\"<wapDesc>";
    for (int i = 0; i < 10; ++i) {
        cell += "<img size=\"\"750x1000\"\">https://img.alicdn.com/imgextra/i1/" +
                std::to_string(item) + "/m" + std::to_string(i) + ".jpg</img>";
    }
    return cell + "</wapDesc>\"";
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::vector<std::string> descriptions, mobiles;
    size_t bytes = 0;
    for (int i = 0; i < items; ++i) {
        descriptions.push_back(make_description(i));
        mobiles.push_back(make_mobile_detail(i));
        bytes += descriptions.back().size() + mobiles.back().size();
    }

    size_t found = 0;
    const double start = platform::monotonic_seconds();
    for (int i = 0; i < items; ++i) {
        PtrVector* desc = ptr_vector_new(32, 16);
        PtrVector* mobile = ptr_vector_new(16, 8);
        if (!extract_description_images(descriptions[i].c_str(), desc) ||
            !extract_mobile_images(mobiles[i].c_str(), mobile)) {
            std::fprintf(stderr, "extraction failed on item %d\n", i);
            return 1;
        }
        found += static_cast<size_t>(desc->count + mobile->count);
        ptr_vector_destroy(desc, 1);
        ptr_vector_destroy(mobile, 1);
    }
    const double seconds = platform::monotonic_seconds() - start;
    const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("extract: %d items, %.1f MB, %zu addresses in %.3f s: %.1f MB/s, %.0f items/s\n",
                items, mb, found, seconds, mb / seconds, items / seconds);
    return 0;
}
