// make-sample FOLDER BASE-URL: writes a small shop's data package,
// FOLDER/shop-items.csv, whose descriptions and mobile details point at
// BASE-URL, and the images it names into FOLDER/site (one is left missing).
#include <cstdio>
#include <string>

#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

// The smallest well-formed images: a 1x1 GIF, PNG and BMP.
const std::string GIF(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\xFF\xFF\xFF\x00\x00\x00!\xF9\x04\x01\x00\x00\x00\x00,"
    "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
    43);
const std::string PNG(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08"
    "\x02\x00\x00\x00\x90\x77\x53\xDE\x00\x00\x00\x0C\x49\x44\x41\x54\x78\x9C\x63\x78\x90\xE0\x00"
    "\x00\x03"
    "\xA4\x01\x81\xA9\x1C\x66\x6B\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    69);
const std::string BMP(
    "BM\x3A\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x01\x00\x00\x00\x01\x00\x00"
    "\x00\x01\x00\x18"
    "\x00\x00\x00\x00\x00\x04\x00\x00\x00\x13\x0B\x00\x00\x13\x0B\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\xFF\xFF"
    "\xFF\x00",
    58);

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make-sample FOLDER BASE-URL\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string base = argv[2];
    const std::string site = folder + "/site/";
    write_file(site + "dress-front.gif", GIF);
    write_file(site + "dress-back.png", PNG);
    write_file(site + "dress-size.bmp", BMP);
    write_file(site + "shirt.gif", GIF);
    write_file(site + "mobile-1.png", PNG);
    write_file(site + "mobile-2.gif", GIF);

    PackageBuilder builder;
    builder
        .add(PackageItem{"2026夏季新款连衣裙 雪纺碎花",
                         "<p><img src=\"" + base + "/dress-front.gif\"><img src=\"" + base +
                             "/dress-back.png\"></p><p style=\"background:url(" + base +
                             "/dress-size.bmp)\">尺码表</p>",
                         "<wapDesc><img>" + base + "/mobile-1.png</img><img>" + base +
                             "/mobile-2.gif</img></wapDesc>",
                         "显瘦 百搭"})
        .add(PackageItem{
            "纯棉短袖T恤 男女同款",
            "<p><img src='" + base + "/shirt.gif'><img src=\"" + base + "/dress-front.gif\"></p>",
            "<wapDesc><img>" + base + "/mobile-2.gif</img></wapDesc>", ""})
        .add(PackageItem{"帆布包 大容量",
                         "<p><img src=\"" + base + "/bag-missing.jpg\"></p><p>图片已下架</p>", "",
                         ""})
        .add(PackageItem{"手机壳 (无图)", "<p>纯文字描述</p>", "", ""});
    builder.write(folder + "/shop-items.csv");
    return 0;
}
