// The package update stage over a seller-sized package: 20,000 recorded
// addresses in about 10 MB of text, next to the straightforward stage (one
// scan and one copy of the text per address) at a size it still finishes in.
//
//   bench-rewrite [ADDRESSES MEGABYTES [REFERENCE_ADDRESSES REFERENCE_MEGABYTES]]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "engine/rewrite.h"
#include "package/image_hosts.h"
#include "platform/platform.h"
#include "shell/ptr_vector.h"
#include "shell/text.h"

namespace {

struct Package {
    std::string text;
    StrHashTable* moved;
};

// Items of HTML description and mobile detail the way Taobao Assistant writes
// them; every tenth address failed, a few are never recorded.
Package make_package(int addresses, double megabytes) {
    const auto target = static_cast<size_t>(megabytes * 1024 * 1024);
    Package p;
    p.moved = strhash_create(hash_string, strings_equal, addresses * 2, 0.75f, KeyOwnership::Owned);
    std::vector<std::string> urls;
    for (int i = 0; i < addresses; ++i) {
        urls.push_back("https://img.alicdn.com/imgextra/i" + std::to_string(i % 4) + "/" +
                       std::to_string(2200000000LL + i * 7919LL) + "/O1CN01" + std::to_string(i) +
                       "_!!0-item_pic.jpg_400x400.jpg");
        const std::string path =
            i % 10 == 9 ? "" : "D:\\pics\\2024-3-8-14-5-" + std::to_string(i + 1) + ".jpg";
        strhash_put(p.moved, xstrdup(urls.back().c_str()), xstrdup(path.c_str()));
    }
    // Each address appears about twice (description and mobile detail); the
    // filler brings the text to the requested size.
    const size_t perAddress = target / static_cast<size_t>(addresses);
    const std::string chinese = "\xC9\xCC\xC6\xB7\xCF\xEA\xC7\xE9";  // 商品详情
    size_t next = 0;
    while (p.text.size() < target) {
        const std::string& url = urls[next % urls.size()];
        p.text += "<p><span style=\"\"font-size:14px\"\">" + chinese +
                  "</span><img align=\"\"absmiddle\"\" src=\"\"" + url +
                  "\"\" style=\"\"max-width:750px\"\"></p>";
        if (next % 2 == 0) p.text += "<img size=\"\"750x1000\"\">" + url + "</img>";
        if (next % 50 == 0)
            p.text += "<img src=\"\"http://other.example.com/unrecorded" + std::to_string(next) +
                      ".png\"\">";
        while (p.text.size() < (next + 1) * perAddress) p.text += chinese + " x ";
        ++next;
    }
    return p;
}

// The straightforward stage, for comparison.
bool reference_rewrite(const StrHashTable* moved, char** text, bool blank) {
    bool changed = false;
    StrHashKeyList* keys = strhash_keys(moved);
    for (StrHashKeyList* k = keys; k != nullptr; k = k->next) {
        const auto* value = static_cast<const char*>(strhash_get(moved, k->key));
        char* r = nullptr;
        if (value[0] != '\0') {
            r = replace_all(*text, k->key, value);
            changed = changed || r != nullptr;
        } else if (blank) {
            const std::string entry = std::string("<img>") + k->key + "</img>";
            if ((r = replace_all(*text, entry.c_str(), "")) != nullptr) {
                std::free(*text);
                *text = r;
            }
            r = replace_all(*text, k->key, BLANK_IMAGE_URL);
            changed = true;
        }
        if (r != nullptr) {
            std::free(*text);
            *text = r;
        }
    }
    strhash_free_keys(keys);
    return changed;
}

struct Timing {
    double seconds;
    size_t length;
    std::string text;
};

Timing time_stage(const Package& p, bool reference) {
    char* text = xstrdup(p.text.c_str());
    const double start = platform::monotonic_seconds();
    if (reference) {
        reference_rewrite(p.moved, &text, true);
    } else {
        rewrite_references(p.moved, &text, "C:\\pics\\blank.png", {});
    }
    Timing t{platform::monotonic_seconds() - start, std::strlen(text), text};
    std::free(text);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int addresses = argc > 2 ? std::atoi(argv[1]) : 20000;
    const double megabytes = argc > 2 ? std::atof(argv[2]) : 10.0;
    const int refAddresses = argc > 4 ? std::atoi(argv[3]) : 4000;
    const double refMegabytes = argc > 4 ? std::atof(argv[4]) : 2.0;

    Package full = make_package(addresses, megabytes);
    const Timing stage = time_stage(full, false);
    std::printf("rewrite: %d addresses, %.1f MB text: one pass %.3f s\n", addresses,
                static_cast<double>(full.text.size()) / (1024 * 1024), stage.seconds);
    strhash_destroy(full.moved, 1);

    Package small = make_package(refAddresses, refMegabytes);
    const Timing fast = time_stage(small, false);
    const Timing slow = time_stage(small, true);
    std::printf(
        "rewrite: %d addresses, %.1f MB text: one pass %.3f s, per-address reference %.3f s "
        "(%.0fx)%s\n",
        refAddresses, static_cast<double>(small.text.size()) / (1024 * 1024), fast.seconds,
        slow.seconds, slow.seconds / fast.seconds,
        fast.text == slow.text ? "" : "  RESULTS DIFFER");
    strhash_destroy(small.moved, 1);
    return fast.text == slow.text ? 0 : 1;
}
