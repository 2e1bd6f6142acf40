#include "package/image_refs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/image_hosts.h"
#include "shell/app_log.h"
#include "support/temp_dir.h"

namespace {

using Addresses = std::vector<std::string>;

Addresses listed(const PtrVector* list) {
    Addresses out;
    for (int32_t i = 0; i < list->count; ++i) out.emplace_back(static_cast<const char*>(ptr_vector_get(list, i)));
    return out;
}

Addresses description(const std::string& cell) {
    PtrVector* list = ptr_vector_new(32, 16);
    EXPECT_TRUE(extract_description_images(cell.c_str(), list)) << cell;
    Addresses out = listed(list);
    ptr_vector_destroy(list, 1);
    return out;
}

Addresses mobile(const std::string& cell) {
    PtrVector* list = ptr_vector_new(16, 8);
    EXPECT_TRUE(extract_mobile_images(cell.c_str(), list)) << cell;
    Addresses out = listed(list);
    ptr_vector_destroy(list, 1);
    return out;
}

TEST(DescriptionImages, EveryAttributeForm) {
    struct Case {
        const char* what;
        std::string cell;
        Addresses expected;
    };
    const Case cases[] = {
        {"doubled quotes of the file format", R"("<p><img src=""http://img.example.com/a.jpg"" /></p>")",
         {"http://img.example.com/a.jpg"}},
        {"capitals", R"("<IMG ALT=""x"" SRC=""HTTPS://IMG.EXAMPLE.COM/A.JPG"">")", {"HTTPS://IMG.EXAMPLE.COM/A.JPG"}},
        {"spaces around = and inside the quotes", R"("<img  src = ""  http://a.example/b.png"">")",
         {"http://a.example/b.png"}},
        {"single quotes", "<img src='http://a.example/s.jpg'>", {"http://a.example/s.jpg"}},
        {"no scheme", R"("<img src=""//a.example/n.png"">")", {"//a.example/n.png"}},
        {"unquoted, ends at >", "<img src=http://a.example/u.jpg>", {"http://a.example/u.jpg"}},
        {"unquoted, ends at a bar", "<img src=http://a.example/u.jpg|rest>", {"http://a.example/u.jpg"}},
        {"unquoted, ends at a space", "<img src=http://a.example/u.jpg width=1>", {"http://a.example/u.jpg"}},
        {"data-src is not src", R"("<img data-src=""http://a.example/lazy.jpg"">")", {}},
        {"data-src beside src", R"("<img data-src=""http://a.example/lazy.jpg"" src=""http://a.example/real.jpg"">")",
         {"http://a.example/real.jpg"}},
        {"background attribute, three quotings",
         R"("<td background=""http://a.example/1.jpg""><td background='http://a.example/2.jpg'><td background=http://a.example/3.jpg>")",
         {"http://a.example/1.jpg", "http://a.example/2.jpg", "http://a.example/3.jpg"}},
        {"style url(), three quotings",
         R"~("<div style=""background:url(&quot;x&quot;)""><p style=""background : url( ""http://a.example/7.jpg"")""><p style=""background:url('http://a.example/8.jpg')""><p style=""background:url(http://a.example/9.jpg)"">")~",
         {"http://a.example/7.jpg", "http://a.example/8.jpg", "http://a.example/9.jpg"}},
        {"background-image is not background", R"~("<p style=""background-image:url(http://a.example/bi.jpg)"">")~", {}},
        {"not an address", R"("<img src=""ftp://a.example/f.jpg""><img src=""images/rel.jpg"">")", {}},
        {"no image at all", R"("<p>plain text</p>")", {}},
        {"empty cell", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(description(c.cell), c.expected) << c.what;
}

TEST(DescriptionImages, DistinctAddressesInPatternOrder) {
    // The background (pattern 4) is found after every img src (patterns 1 to 3),
    // though it comes first in the text; repeats are listed once.
    const std::string cell =
        R"("<td background=""http://a.example/bg.jpg""><img src=""http://a.example/1.jpg"">)"
        R"(<img src='http://a.example/2.jpg'><img src=""http://a.example/1.jpg""><img src=""http://a.example/bg.jpg"">")";
    EXPECT_EQ(description(cell),
              (Addresses{"http://a.example/1.jpg", "http://a.example/bg.jpg", "http://a.example/2.jpg"}));
}

TEST(DescriptionImages, SkipsTheBlankImageAndAffiliatedHosts) {
    const std::string cell = std::string(R"("<img src="")") + BLANK_IMAGE_URL +
                             R"(""><img src=""http://img01.taobao.com/x.jpg""><img src=""https://detail.tmall.com/y.jpg"">)"
                             R"(<img src=""http://a.alipay.com/z.jpg""><img src=""http://img.alicdn.com/keep.jpg"">")";
    EXPECT_EQ(description(cell), (Addresses{"http://img.alicdn.com/keep.jpg"}));
}

TEST(MobileImages, TakesTheTextOfEachImgElement) {
    const std::string cell = std::string(R"("<wapDesc><img>http://a.example/m1.jpg</img><IMG size=""1"">//a.example/m2.jpg</IMG>)") +
                             "<img>http://img01.taobao.com/kept.jpg</img><img>" + BLANK_IMAGE_URL +
                             "</img><img>http://a.example/m1.jpg</img><img>not an address</img><txt>x</txt></wapDesc>\"";
    EXPECT_EQ(mobile(cell), (Addresses{"http://a.example/m1.jpg", "//a.example/m2.jpg",
                                       "http://img01.taobao.com/kept.jpg", BLANK_IMAGE_URL}));
    EXPECT_EQ(mobile(""), Addresses{});
}

TEST(ImageRefs, UntrustedBytesNeverCrash) {
    // GBK text, stray quotes and unterminated tags around real addresses.
    const std::string cell = "\"\xD6\xD0<img src=\"\"\"\"\"\"http://a.example/\xCE\xC4.jpg\"\" <img src='<img "
                             "background=\"\"\"\" background:url( <img>//x</img <img>";
    EXPECT_EQ(description(cell), (Addresses{"http://a.example/\xCE\xC4.jpg"}));
    EXPECT_EQ(mobile(cell), Addresses{});
}

class ImageRefsLog : public testing::Test {
protected:
    void SetUp() override { app_log_open(dir.path().c_str()); }
    void TearDown() override { app_log_close(); }
    std::string log() const { return read_file(dir.file("app.log")); }
    TempDir dir;
};

TEST_F(ImageRefsLog, PatternThatDoesNotCompileIsLoggedAndFails) {
    PtrVector* list = ptr_vector_new_default();
    EXPECT_FALSE(collect_matches("<img src=x>", list, "<img(", 1, 1));
    EXPECT_EQ(list->count, 0);
    EXPECT_NE(log().find("PCRE compilation failed at offset 5: "), std::string::npos) << log();
    ptr_vector_destroy(list, 1);
}

TEST_F(ImageRefsLog, MatchingErrorIsLoggedAndKeepsEarlierMatches) {
    // Nested repetition over a long run with no final b or c exceeds the match limit.
    const std::string text = "<a>http://first/</a> " + std::string(40, 'a');
    PtrVector* list = ptr_vector_new_default();
    EXPECT_TRUE(collect_matches(text.c_str(), list, "<a>(http://[^<]*)</a>", 1, 1));
    EXPECT_FALSE(collect_matches(text.c_str(), list, "(a+)+[bc]", 1, 1));
    EXPECT_EQ(listed(list), (Addresses{"http://first/"}));
    EXPECT_NE(log().find("Matching error: -47"), std::string::npos) << log();
    ptr_vector_destroy(list, 1);
}

TEST(CollectMatches, EmptyMatchesStillAdvance) {
    PtrVector* list = ptr_vector_new_default();
    EXPECT_TRUE(collect_matches("abc", list, "(x?)", 1, 1));
    EXPECT_EQ(listed(list), (Addresses{""}));  // one distinct empty text, and no endless loop
    ptr_vector_destroy(list, 1);
}

}  // namespace
