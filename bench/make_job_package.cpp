// make-job-package FOLDER BASE-URL ITEMS IMAGES-PER-ITEM: a package of ITEMS
// items, each with IMAGES-PER-ITEM distinct description images, written to
// FOLDER/job.csv; the images themselves into FOLDER/site/; and the list of
// every address into FOLDER/urls.txt, for wget.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/package_builder.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: make-job-package FOLDER BASE-URL ITEMS IMAGES-PER-ITEM\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string base = argv[2];
    const int items = std::atoi(argv[3]);
    const int images = std::atoi(argv[4]);

    // A few kilobytes per image, like a thumbnail; distinct bytes per file.
    std::string body = "\xFF\xD8\xFF\xE0";
    for (int i = 0; body.size() < 6000; ++i) body += static_cast<char>('a' + i % 26);

    PackageBuilder builder;
    std::string urls;
    for (int item = 0; item < items; ++item) {
        std::string description = "<p>";
        for (int i = 0; i < images; ++i) {
            const std::string name = std::to_string(item) + "-" + std::to_string(i) + ".jpg";
            body[4] = static_cast<char>(i);
            write_file(folder + "/site/" + name, body);
            description += "<img src=\"" + base + "/" + name + "\">";
            urls += base + "/" + name + "\n";
        }
        builder.add(PackageItem{"商品 " + std::to_string(item), description + "</p>", "", ""});
    }
    builder.write(folder + "/job.csv");
    write_file(folder + "/urls.txt", urls);
    return 0;
}
