// Writes a seed corpus for the reader's fuzz target: small packages of the
// forms Taobao Assistant exports, built with the tests' package builder.
//   make-seeds FOLDER
#include <cstdio>
#include <string>

#include "support/package_builder.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make-seeds FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    auto seed = [&](const char* name, const std::string& bytes) {
        write_file(folder + "/" + name, bytes);
    };
    const std::string desc =
        "<p><img src=\"http://a.example/1.jpg\"><img src='//a.example/2.png'>"
        "<td background=\"http://a.example/bg.gif\"></td>"
        "<div style=\"background:url(http://a.example/3.jpg_.webp)\"></div></p>";
    const std::string mobile =
        "<wapDesc><img>http://a.example/m.jpg</img>"
        "<img size=\"1\">//a.example/n.jpg</img></wapDesc>";

    seed("two-items.csv", PackageBuilder()
                              .add(PackageItem{"连衣裙 \"新款\"", desc, mobile, "卖点"})
                              .add(PackageItem{"T恤", "<p>\t无图\r\n</p>", "", ""})
                              .file_bytes());
    seed("no-mobile.csv",
         PackageBuilder().without_mobile_column().add(PackageItem{"a", desc, "", ""}).file_bytes());
    seed("header-only.csv", PackageBuilder().file_bytes());
    seed("narrow.csv", PackageBuilder()
                           .with_columns({"宝贝名称", "宝贝卖点", "宝贝描述", "无线详情", "价格"})
                           .add(PackageItem{"", desc, mobile, "x\ty"})
                           .add(PackageItem{std::string(253, 'x'), "", "", ""})
                           .file_bytes());
    seed("utf8-mark.csv",
         "\xEF\xBB\xBF" +
             PackageBuilder().add(PackageItem{"a", "b", "c", "d"}).file_bytes().substr(2));
    return 0;
}
