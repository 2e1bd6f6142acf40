// make-job-package FOLDER BASE-URL ITEMS IMAGES-PER-ITEM [banner=URL|slow=EVERY]:
// a package of ITEMS items, each with IMAGES-PER-ITEM distinct description
// images, written to FOLDER/job.csv; the images themselves into FOLDER/site/;
// and the list of every address into FOLDER/urls.txt, for wget and aria2c.
// banner=URL adds to each item one more image of its own under URL (a host
// that may never answer); slow=EVERY puts one image in EVERY under slow/ (a
// location the server holds longer).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/package_builder.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fputs(
            "usage: make-job-package FOLDER BASE-URL ITEMS IMAGES-PER-ITEM "
            "[banner=URL|slow=EVERY]\n",
            stderr);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string base = argv[2];
    const int items = std::atoi(argv[3]);
    const int images = std::atoi(argv[4]);
    const std::string mode = argc == 6 ? argv[5] : "";
    const std::string banner = mode.rfind("banner=", 0) == 0 ? mode.substr(7) : "";
    const int slowEvery = mode.rfind("slow=", 0) == 0 ? std::atoi(mode.c_str() + 5) : 0;

    // A few kilobytes per image, like a thumbnail; distinct bytes per file.
    std::string body = "\xFF\xD8\xFF\xE0";
    for (int i = 0; body.size() < 6000; ++i) body += static_cast<char>('a' + i % 26);

    std::filesystem::create_directories(folder + "/site/slow");
    PackageBuilder builder;
    std::string urls;
    int count = 0;
    for (int item = 0; item < items; ++item) {
        std::string description = "<p>";
        for (int i = 0; i < images; ++i, ++count) {
            const bool slow = slowEvery > 0 && count % slowEvery == slowEvery / 2;
            const std::string name = std::string(slow ? "slow/" : "") + std::to_string(item) + "-" +
                                     std::to_string(i) + ".jpg";
            body[4] = static_cast<char>(i);
            write_file(folder + "/site/" + name, body);
            description += "<img src=\"" + base + "/" + name + "\">";
            urls += base + "/" + name + "\n";
        }
        if (!banner.empty()) {
            const std::string address = banner + "/banner.gif?item=" + std::to_string(item);
            description += "<img src=\"" + address + "\">";
            urls += address + "\n";
        }
        builder.add(PackageItem{"商品 " + std::to_string(item), description + "</p>", "", ""});
    }
    builder.write(folder + "/job.csv");
    write_file(folder + "/urls.txt", urls);
    return 0;
}
