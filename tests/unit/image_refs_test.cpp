#include "package/image_refs.h"

#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "package/image_hosts.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "support/temp_dir.h"

namespace {

using Addresses = std::vector<std::string>;

Addresses listed(const PtrVector* list) {
    Addresses out;
    for (int32_t i = 0; i < list->count; ++i)
        out.emplace_back(static_cast<const char*>(ptr_vector_get(list, i)));
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
        {"doubled quotes of the file format",
         R"("<p><img src=""http://img.example.com/a.jpg"" /></p>")",
         {"http://img.example.com/a.jpg"}},
        {"capitals",
         R"("<IMG ALT=""x"" SRC=""HTTPS://IMG.EXAMPLE.COM/A.JPG"">")",
         {"HTTPS://IMG.EXAMPLE.COM/A.JPG"}},
        {"spaces around = and inside the quotes",
         R"("<img  src = ""  http://a.example/b.png"">")",
         {"http://a.example/b.png"}},
        {"single quotes", "<img src='http://a.example/s.jpg'>", {"http://a.example/s.jpg"}},
        {"no scheme", R"("<img src=""//a.example/n.png"">")", {"//a.example/n.png"}},
        {"unquoted, ends at >", "<img src=http://a.example/u.jpg>", {"http://a.example/u.jpg"}},
        {"unquoted, ends at a bar",
         "<img src=http://a.example/u.jpg|rest>",
         {"http://a.example/u.jpg"}},
        {"unquoted, ends at a space",
         "<img src=http://a.example/u.jpg width=1>",
         {"http://a.example/u.jpg"}},
        {"data-src is not src", R"("<img data-src=""http://a.example/lazy.jpg"">")", {}},
        {"data-src beside src",
         R"("<img data-src=""http://a.example/lazy.jpg"" src=""http://a.example/real.jpg"">")",
         {"http://a.example/real.jpg"}},
        {"background attribute, three quotings",
         R"("<td background=""http://a.example/1.jpg""><td background='http://a.example/2.jpg'><td background=http://a.example/3.jpg>")",
         {"http://a.example/1.jpg", "http://a.example/2.jpg", "http://a.example/3.jpg"}},
        {"style url(), three quotings",
         R"~("<div style=""background:url(&quot;x&quot;)""><p style=""background : url( ""http://a.example/7.jpg"")""><p style=""background:url('http://a.example/8.jpg')""><p style=""background:url(http://a.example/9.jpg)"">")~",
         {"http://a.example/7.jpg", "http://a.example/8.jpg", "http://a.example/9.jpg"}},
        {"background-image is not background",
         R"~("<p style=""background-image:url(http://a.example/bi.jpg)"">")~",
         {}},
        {"not an address",
         R"("<img src=""ftp://a.example/f.jpg""><img src=""images/rel.jpg"">")",
         {}},
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
    EXPECT_EQ(description(cell), (Addresses{"http://a.example/1.jpg", "http://a.example/bg.jpg",
                                            "http://a.example/2.jpg"}));
}

TEST(DescriptionImages, SkipsTheBlankImageAndAffiliatedHosts) {
    const std::string cell =
        std::string(R"("<img src="")") + BLANK_IMAGE_URL +
        R"(""><img src=""http://img01.taobao.com/x.jpg""><img src=""https://detail.tmall.com/y.jpg"">)"
        R"(<img src=""http://a.alipay.com/z.jpg""><img src=""http://img.alicdn.com/keep.jpg"">")";
    EXPECT_EQ(description(cell), (Addresses{"http://img.alicdn.com/keep.jpg"}));
}

TEST(MobileImages, TakesTheTextOfEachImgElement) {
    const std::string cell =
        std::string(
            R"("<wapDesc><img>http://a.example/m1.jpg</img><IMG size=""1"">//a.example/m2.jpg</IMG>)") +
        "<img>http://img01.taobao.com/kept.jpg</img><img>" + BLANK_IMAGE_URL +
        "</img><img>http://a.example/m1.jpg</img><img>not an address</img><txt>x</txt></wapDesc>\"";
    EXPECT_EQ(mobile(cell), (Addresses{"http://a.example/m1.jpg", "//a.example/m2.jpg",
                                       "http://img01.taobao.com/kept.jpg", BLANK_IMAGE_URL}));
    EXPECT_EQ(mobile(""), Addresses{});
}

TEST(ImageRefs, UntrustedBytesNeverCrash) {
    // GBK text, stray quotes and unterminated tags around real addresses.
    const std::string cell =
        "\"\xD6\xD0<img src=\"\"\"\"\"\"http://a.example/\xCE\xC4.jpg\"\" <img src='<img "
        "background=\"\"\"\" background:url( <img>//x</img <img>";
    EXPECT_EQ(description(cell), (Addresses{"http://a.example/\xCE\xC4.jpg"}));
    EXPECT_EQ(mobile(cell), Addresses{});
}

// --- The patterns against their plain forms ---------------------------------

// The patterns as first written: they say plainly what is found, but can
// backtrack without end. The patterns in use must find what these find.
const char* const PLAIN_PATTERNS[10] = {
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*((http[s]?:)?//[^ |>]*))re",
    R"re(background[ ]*=[ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(background[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(background[ ]*=[ ]*((http[s]?:)?//[^ |>]*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*["]+[ ]*((http[s]?:)?//[^"]*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*[']+[ ]*((http[s]?:)?//[^']*))re",
    R"re(background[ ]*:[ ]*url[ ]*\([ ]*((http[s]?:)?//[^\)]*))re",
    R"re(<img[^>]*>((http[s]?:)?//[^<]*)</img>)re",
};
constexpr int ADDRESS_GROUPS[10] = {2, 2, 2, 1, 1, 1, 1, 1, 1, 1};

struct Match {
    size_t start;
    size_t end;
    std::string address;  // or the matcher's error
    bool operator==(const Match&) const = default;
};

class Pattern {
  public:
    explicit Pattern(const char* text) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text), PCRE2_ZERO_TERMINATED,
                              PCRE2_CASELESS, &error, &offset, nullptr);
        EXPECT_NE(code_, nullptr) << text;
        pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
        data_ = pcre2_match_data_create(4, nullptr);
    }
    ~Pattern() {
        pcre2_match_data_free(data_);
        pcre2_code_free(code_);
    }
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // Every match over `text`, walked as the extraction walks them.
    std::vector<Match> matches(const std::string& text, int group, uint32_t options) const {
        std::vector<Match> out;
        const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.c_str());
        for (size_t start = 0; start <= text.size();) {
            const int rc = pcre2_match(code_, subject, text.size(), start, options, data_, nullptr);
            if (rc < 0) {
                if (rc != PCRE2_ERROR_NOMATCH) out.push_back({0, 0, "error " + std::to_string(rc)});
                break;
            }
            const PCRE2_SIZE* o = pcre2_get_ovector_pointer(data_);
            out.push_back({o[0], o[1], text.substr(o[2 * group], o[2 * group + 1] - o[2 * group])});
            start = o[1] > o[0] ? o[1] : o[0] + 1;
        }
        return out;
    }

  private:
    pcre2_code* code_ = nullptr;
    pcre2_match_data* data_ = nullptr;
};

// Descriptions made of the nine forms and the mobile form, each piece of them
// varied or dropped: quotes single, double, doubled or missing, spaces, case,
// near-misses (data-src, background-image), tags left open, stray text.
class CellMaker {
  public:
    std::string cell() {
        std::string out;
        for (int pieces = 1 + pick(12); pieces > 0; --pieces) out += piece();
        return out;
    }

  private:
    int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
    std::string one(std::initializer_list<const char*> choices) {
        return *(choices.begin() + pick(static_cast<int>(choices.size())));
    }
    std::string spaces() { return one({"", " ", " ", "  ", "    "}); }
    std::string quote() { return one({"\"", "\"\"", "'", "''", "", "", "\"\"\"", "' "}); }
    std::string address() {
        return one({"http:", "https:", "HTTP:", "Https:", "", "", "htp:", "http"}) +
               one({"//", "//", "/", ""}) +
               one({"a.example/x.jpg", "img.alicdn.com/i/1.png", "h/p q.jpg", "h/a|b.jpg", "h/a)b",
                    "h/a>b", "h/\xCD\xBC.jpg"});
    }
    std::string piece() {
        const std::string q = quote();
        const std::string closing = pick(3) > 0 ? q : "";
        switch (pick(6)) {
            case 0:
            case 1:
                return "<" + one({"img", "IMG", "Img", "imgx", "im g"}) +
                       (pick(2) > 0
                            ? one({" alt=x", " width=\"\"1\"\"", " data-src=\"\"//l/z.jpg\"\"",
                                   "  class='c' ", " ", " src", " src=", "x"})
                            : "") +
                       one({" ", "  ", "", "\t"}) + one({"src", "SRC", "data-src", "sr c"}) +
                       spaces() + one({"=", "=", ":", ""}) + spaces() + q + spaces() + address() +
                       closing +
                       (pick(2) > 0 ? one({" ", " alt=y", " src=\"\"//b/c.jpg\"\""}) : "") +
                       one({">", ">", "/>", "", " <"});
            case 2:
                return one({"<td ", "<table ", " ", ""}) +
                       one({"background", "BACKGROUND", "background-image", "backgrounds"}) +
                       spaces() + one({"=", "=", ":"}) + spaces() + q + spaces() + address() +
                       closing + one({">", " ", ""});
            case 3:
                return one({"<p style=\"\"", "<div style='", ""}) +
                       one({"background", "background-image", "BACKGROUND",
                            "color:red;background"}) +
                       spaces() + one({":", ":", "="}) + spaces() + one({"url", "URL", "uri"}) +
                       spaces() + one({"(", "(", ""}) + spaces() + q + spaces() + address() +
                       closing + one({")", ")", "", ";"}) + one({"\"\">", "'>", ""});
            case 4:
                return one({"<img>", "<IMG size=\"\"1\"\">", "<img", "<img >", "<imgx>"}) +
                       address() + one({"</img>", "</IMG>", "<img>", "", "</im>"});
            default:
                return one({"<", ">", "<img ", " ", "\"", "//", "src=", "</img>", "url(", ")", "\n",
                            "\t", "|", "\xB1\xA6"});
        }
    }

    std::mt19937 random_{20240611};
};

TEST(ImageRefPatterns, FindExactlyWhatTheirPlainFormsFind) {
    std::vector<std::unique_ptr<Pattern>> plain, used;
    for (int i = 0; i < 10; ++i) {
        plain.push_back(std::make_unique<Pattern>(PLAIN_PATTERNS[i]));
        used.push_back(
            std::make_unique<Pattern>(i < 9 ? DESCRIPTION_PATTERNS[i] : MOBILE_DETAIL_PATTERN));
    }
    CellMaker maker;
    size_t found[10] = {};
    for (int n = 0; n < 20000; ++n) {
        const std::string cell = maker.cell();
        for (int i = 0; i < 10; ++i) {
            const std::vector<Match> expected = plain[i]->matches(cell, ADDRESS_GROUPS[i], 0);
            // With the JIT, and with the interpreter that stands in when the
            // JIT runs out of stack.
            ASSERT_EQ(used[i]->matches(cell, ADDRESS_GROUPS[i], 0), expected)
                << "pattern " << i << " on " << cell;
            ASSERT_EQ(used[i]->matches(cell, ADDRESS_GROUPS[i], PCRE2_NO_JIT), expected)
                << "pattern " << i << " on " << cell;
            found[i] += expected.size();
        }
    }
    // Every form was met often enough to mean something.
    for (int i = 0; i < 10; ++i) EXPECT_GT(found[i], 300u) << "pattern " << i;
}

TEST(ImageRefPatterns, PathologicalCellsAreScannedQuicklyAndCompletely) {
    std::string unclosed, attributes = "\"<img" + std::string(1000, ' '), open_mobile;
    for (int i = 0; i < 10000; ++i) unclosed += "<img ";
    for (int i = 0; i < 3000; ++i) attributes += " data-n" + std::to_string(i) + "=\"\"1\"\"    ";
    for (int i = 0; i < 10000; ++i) open_mobile += "<img size=1 ";
    struct Case {
        const char* what;
        std::string cell;
        Addresses description;
        Addresses mobile;
    };
    const Case cases[] = {
        {"spaces after <img",
         "\"<img" + std::string(20000, ' ') + "><img src=\"\"http://a.example/1.jpg\"\">\"",
         {"http://a.example/1.jpg"},
         {}},
        {"thousands of unclosed <img",
         "\"" + unclosed + "<img src=\"\"//a.example/2.jpg\"\">\"",
         {"//a.example/2.jpg"},
         {}},
        {"a long attribute list",
         attributes + " src=\"\"//a.example/3.jpg\"\"" + attributes.substr(1) + ">\"",
         {"//a.example/3.jpg"},
         {}},
        {"spaces after background",
         "\"<td background" + std::string(20000, ' ') + "=\"\"http://a.example/4.jpg\"\">\"",
         {"http://a.example/4.jpg"},
         {}},
        {"unclosed mobile tags",
         "\"" + open_mobile + "><img>http://a.example/m.jpg</img>\"",
         {},
         {"http://a.example/m.jpg"}},
    };
    for (const Case& c : cases) {
        const double start = platform::monotonic_seconds();
        EXPECT_EQ(description(c.cell), c.description) << c.what;
        EXPECT_EQ(mobile(c.cell), c.mobile) << c.what;
        // The plain forms give up on the first and the last of these, and
        // take seconds on the second.
        EXPECT_LT(platform::monotonic_seconds() - start, 0.5) << c.what;
    }
}

class ImageRefsLog : public testing::Test {
  protected:
    void SetUp() override { app_log_open(dir.path().c_str()); }
    void TearDown() override { app_log_close(); }
    std::string log() const { return read_log(dir.file("app.log")); }
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
