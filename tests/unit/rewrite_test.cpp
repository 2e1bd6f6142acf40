#include "engine/rewrite.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/memory.h"
#include "package/image_hosts.h"
#include "shell/ptr_vector.h"
#include "shell/text.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;  // address -> path or ""

const std::string BLANK = BLANK_IMAGE_URL;

class Table {
  public:
    explicit Table(const Entries& entries)
        : table_(strhash_create(hash_string, strings_equal, 64, 0.75f, KeyOwnership::Owned)) {
        for (const auto& [address, path] : entries) {
            strhash_put(table_, xstrdup(address.c_str()), xstrdup(path.c_str()));
        }
    }
    ~Table() { strhash_destroy(table_, 1); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const StrHashTable* get() const { return table_; }
    // The entries in the table's own order, the order the old stage used.
    Entries in_table_order() const {
        Entries ordered;
        StrHashKeyList* keys = strhash_keys(table_);
        for (StrHashKeyList* k = keys; k != nullptr; k = k->next) {
            ordered.emplace_back(k->key, static_cast<const char*>(strhash_get(table_, k->key)));
        }
        strhash_free_keys(keys);
        return ordered;
    }

  private:
    StrHashTable* table_;
};

// The straightforward stage: one scan and one copy of the whole text per key,
// in the given order. Kept as the yardstick for the one-pass rewrite.
std::pair<std::string, bool> reference_rewrite(const Entries& ordered, const std::string& input,
                                               bool blankForFailed) {
    char* text = xstrdup(input.c_str());
    bool changed = false;
    auto apply = [&text](const std::string& pattern, const std::string& replacement) {
        char* result = replace_all(text, pattern.c_str(), replacement.c_str());
        if (result == nullptr) return false;
        std::free(text);
        text = result;
        return true;
    };
    for (const auto& [address, path] : ordered) {
        if (!path.empty()) {
            changed = apply(address, path) || changed;
        } else if (blankForFailed) {
            apply("<img>" + address + "</img>", "");
            apply(address, BLANK);
            changed = true;
        }
    }
    std::string result = text;
    std::free(text);
    return {result, changed};
}

struct Outcome {
    std::string text;
    bool changed;
    bool sameBuffer;            // the caller's text was left in place
    std::vector<int> percents;  // as reported, in order
};

void run_stage(const Entries& entries, const std::string& input, bool blankForFailed,
               Outcome* out) {
    Table table(entries);
    char* text = xstrdup(input.c_str());
    char* const before = text;
    out->changed = rewrite_references(table.get(), &text, blankForFailed ? BLANK.c_str() : nullptr,
                                      [out](int percent) { out->percents.push_back(percent); });
    out->sameBuffer = text == before;
    out->text = text;
    std::free(text);
}

// ---- agreement with the straightforward stage ----------------------------------

// Packages whose addresses never overlap: each carries a marker "h<id>x." that
// no other address, path, filler or the blank image contains.
struct Generated {
    Entries entries;
    std::string text;
};

Generated generate(std::mt19937& random, int keyCount, int pieces) {
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    static const char* const SCHEMES[] = {"http://", "https://", "//", "HTTP://"};
    static const char* const TAILS[] = {".jpg", ".png?x=1&amp;y=2", ".gif#a", "",
                                        ".JPG_400x400.jpg"};
    static const char* const FILLER[] = {"\xC9\xCC\xC6\xB7",  // 商品
                                         "<p>",
                                         "</p>",
                                         "\"\"",
                                         "\t",
                                         "\r\n",
                                         "abc",
                                         " ",
                                         "<img>",
                                         "</img>",
                                         "\x95\x5C"};
    static const char* const FORMS[][2] = {
        {"<img src=\"\"", "\"\">"},
        {"<img>", "</img>"},
        {"<img size=\"\"750\"\">", "</img>"},
        {"background=", " "},
        {"url(", ")"},
        {"", ""},
        {"<img><img>", "</img></img>"},
        {"<img>", ""},
        {"", "</img>"},
        {"<img>", "</img"},
    };
    Generated g;
    std::vector<std::string> addresses;
    const int total = keyCount + 5;  // a few addresses stay unrecorded
    for (int id = 0; id < total; ++id) {
        addresses.push_back(std::string(SCHEMES[pick(4)]) + "h" + std::to_string(id) +
                            "x.example.com/p/" + std::to_string(pick(100000)) + TAILS[pick(5)]);
        if (id < keyCount) {
            const bool moved = pick(3) != 0;
            g.entries.emplace_back(addresses.back(),
                                   moved ? "C:\\pics\\" + std::string(pick(2) ? "m-" : "") +
                                               "2024-3-8-14-5-" + std::to_string(id) + ".jpg"
                                         : "");
        }
    }
    for (int i = 0; i < pieces; ++i) {
        if (pick(3) == 0) {
            const auto& form = FORMS[pick(10)];
            g.text += std::string(" ") + form[0] + addresses[pick(total)] + form[1] + " ";
        } else {
            g.text += FILLER[pick(11)];
        }
    }
    return g;
}

TEST(RewriteReferences, AgreesWithTheStraightforwardStageWithoutOverlaps) {
    struct Size {
        int packages;
        int keys;
        int pieces;
    };
    // Small packages in numbers, then a few large enough to span many of the
    // stage's windows, so that addresses cross window edges.
    const Size sizes[] = {{300, 8, 40}, {100, 60, 400}, {2, 100, 12000}};
    std::mt19937 random(20240308);
    for (const Size& size : sizes) {
        for (int p = 0; p < size.packages; ++p) {
            const Generated g = generate(random, size.keys, size.pieces);
            for (const bool blank : {false, true}) {
                Table table(g.entries);
                const auto [expected, expectedChanged] =
                    reference_rewrite(table.in_table_order(), g.text, blank);
                Outcome out;
                run_stage(g.entries, g.text, blank, &out);
                ASSERT_EQ(out.text, expected) << "package " << p << " blank " << blank;
                EXPECT_EQ(out.changed, expectedChanged) << "package " << p << " blank " << blank;
                EXPECT_EQ(out.sameBuffer, out.text == g.text);
            }
        }
    }
}

// ---- explicit behaviour ------------------------------------------------------

const std::string SHORT = "http://a.example/x.jpg";
const std::string LONG = "http://a.example/x.jpg_400x400.jpg";

TEST(RewriteReferences, TheLongestRecordedAddressWins) {
    struct Case {
        const char* name;
        Entries entries;
        std::string text;
        bool blank;
        std::string expected;
    };
    const Case cases[] = {
        {"both moved", {{SHORT, "P1"}, {LONG, "P2"}}, LONG + " " + SHORT, false, "P2 P1"},
        {"both moved, other order",
         {{LONG, "P2"}, {SHORT, "P1"}},
         SHORT + "'" + LONG,
         false,
         "P1'P2"},
        {"longer failed stays whole",
         {{SHORT, "P1"}, {LONG, ""}},
         LONG + " " + SHORT,
         false,
         LONG + " P1"},
        {"longer failed becomes blank",
         {{SHORT, "P1"}, {LONG, ""}},
         "<i>" + LONG + " " + SHORT,
         true,
         "<i>" + BLANK + " P1"},
        {"longer failed entry removed",
         {{SHORT, "P1"}, {LONG, ""}},
         "<img>" + LONG + "</img><img>" + SHORT + "</img>",
         true,
         "<img>P1</img>"},
        {"shorter failed entry removed",
         {{SHORT, ""}, {LONG, "P2"}},
         "<img>" + LONG + "</img><img>" + SHORT + "</img>",
         true,
         "<img>P2</img>"},
        // A thumbnail named after its image: the image was moved, the thumbnail
        // not (the job stopped first, or it was not selected). It stays whole.
        {"unrecorded longer address", {{SHORT, "P1"}}, LONG + "\"" + SHORT, false, LONG + "\"P1"},
        {"unrecorded longer address at the text's end",
         {{SHORT, "P1"}},
         SHORT + " " + LONG,
         false,
         "P1 " + LONG},
        {"address inside another",
         {{SHORT, "P1"}, {"http://r.example/?u=" + LONG, "Q"}},
         LONG + " http://r.example/?u=" + LONG,
         false,
         LONG + " Q"},
        // Only bytes that end an address in the patterns, or a cell, end one.
        {"every end",
         {{SHORT, "P"}},
         SHORT + "\"" + SHORT + "'" + SHORT + " " + SHORT + "|" + SHORT + ">" + SHORT + ")" +
             SHORT + "<" + SHORT + "\t" + SHORT + "\r" + SHORT + "\n" + SHORT,
         false,
         "P\"P'P P|P>P)P<P\tP\rP\nP"},
        {"no end",
         {{SHORT, "P"}},
         SHORT + "?a " + SHORT + "_b " + SHORT + "&c " + SHORT + "/d",
         false,
         SHORT + "?a " + SHORT + "_b " + SHORT + "&c " + SHORT + "/d"},
        // When the longest recorded address does not stand whole, a shorter one
        // that does is still replaced.
        {"shorter one stands whole",
         {{SHORT, "P1"}, {SHORT + ")y", "P2"}},
         "url(" + SHORT + ")yz url(" + SHORT + ")y ",
         false,
         "url(P1)yz url(P2 "},
    };
    for (const Case& c : cases) {
        Outcome out;
        run_stage(c.entries, c.text, c.blank, &out);
        EXPECT_EQ(out.text, c.expected) << c.name;
    }
    // The case above is the one the order-dependent replacement got wrong.
    EXPECT_EQ(reference_rewrite({{SHORT, "P1"}, {LONG, "P2"}}, LONG, false).first,
              "P1_400x400.jpg");
}

TEST(RewriteReferences, FailedMobileEntriesDisappearWhenBlanking) {
    const std::string K = "https://img.example.com/a.jpg";
    struct Case {
        std::string text;
        bool blank;
        std::string expected;
    };
    const Case cases[] = {
        {"<img>" + K + "</img>", true, ""},
        {"a<img>" + K + "</img><img>" + K + "</img>b", true, "ab"},
        {"<img size=\"750\">" + K + "</img>", true, "<img size=\"750\">" + BLANK + "</img>"},
        {"src=\"" + K + "\"", true, "src=\"" + BLANK + "\""},
        {"<IMG>" + K + "</IMG>", true, "<IMG>" + BLANK + "</IMG>"},
        {"<img>" + K + "?x</img>", true, "<img>" + K + "?x</img>"},  // a longer address
        {"<img> " + K + "</img>", true, "<img> " + BLANK + "</img>"},
        {"<img>" + K + "</img", true, "<img>" + BLANK + "</img"},  // cut at the text's end
        {"img>" + K + "</img>", true, "img>" + BLANK + "</img>"},  // cut at the text's start
        {K + "</img>", true, BLANK + "</img>"},
        {"<img>" + K, true, "<img>" + BLANK},
        {"<img><img>" + K + "</img></img>", true, "<img></img>"},
        {"<img>" + K + "</img>", false, "<img>" + K + "</img>"},
    };
    for (const Case& c : cases) {
        Outcome out;
        run_stage({{K, ""}}, c.text, c.blank, &out);
        EXPECT_EQ(out.text, c.expected) << c.text;
        EXPECT_EQ(out.changed, c.blank) << c.text;
    }
    // A moved address keeps its entry, now with the local path.
    Outcome moved;
    run_stage({{K, "C:\\p\\1.jpg"}}, "<img>" + K + "</img>", true, &moved);
    EXPECT_EQ(moved.text, "<img>C:\\p\\1.jpg</img>");
}

TEST(RewriteReferences, ChangedFollowsWhatWasRecorded) {
    const std::string A = "http://a.example/1.jpg";
    const std::string B = "http://b.example/2.jpg";
    struct Case {
        const char* name;
        Entries entries;
        std::string text;
        bool blank;
        bool changed;
        bool rewritten;
    };
    const Case cases[] = {
        {"nothing recorded", {}, "x " + A, true, false, false},
        {"moved, absent", {{A, "P"}}, "x " + B, false, false, false},
        {"moved, present", {{A, "P"}}, "x " + A, false, true, true},
        {"failed, present, no blank", {{A, ""}}, "x " + A, false, false, false},
        {"failed, absent, blank", {{A, ""}}, "x " + B, true, true, false},
        {"failed, present, blank", {{A, ""}}, "x " + A, true, true, true},
        {"failed and moved absent, blank", {{A, ""}, {B, "P"}}, "x", true, true, false},
        {"empty text, moved", {{A, "P"}}, "", false, false, false},
        {"empty text, failed, blank", {{A, ""}}, "", true, true, false},
        {"empty address recorded", {{"", ""}, {A, "P"}}, "x", true, true, false},
    };
    for (const Case& c : cases) {
        Outcome out;
        run_stage(c.entries, c.text, c.blank, &out);
        EXPECT_EQ(out.changed, c.changed) << c.name;
        EXPECT_EQ(out.sameBuffer, !c.rewritten) << c.name;
        if (!c.rewritten) {
            EXPECT_EQ(out.text, c.text) << c.name;
        }
    }

    // A package without text at all.
    for (const bool blank : {false, true}) {
        Table table({{A, ""}});
        char* text = nullptr;
        // Nobody to tell: the progress may be left empty.
        EXPECT_EQ(rewrite_references(table.get(), &text, blank ? BLANK.c_str() : nullptr, {}),
                  blank);
        EXPECT_EQ(text, nullptr);
    }
}

TEST(RewriteReferences, LeavesEveryOtherByteAlone) {
    // GBK text whose trail bytes look like ASCII, NUL-free binary-ish bytes and
    // an address at both ends.
    const std::string K = "//img.example.com/k.png";
    std::string text = K + "\"\x81\x40\x95\x5C\xFE\xFE\x7F\x01\"\"\t";
    for (int c = 1; c < 256; ++c) text += static_cast<char>(c);
    text += K;
    Outcome out;
    run_stage({{K, "D:\\x.png"}}, text, false, &out);
    std::string expected = text;
    expected.replace(expected.size() - K.size(), K.size(), "D:\\x.png");
    expected.replace(0, K.size(), "D:\\x.png");
    EXPECT_EQ(out.text, expected);
}

TEST(RewriteReferences, HandlesLongAddressesAndHeavyGrowth) {
    struct Case {
        const char* name;
        Entries entries;
        std::string text;
    };
    const std::string huge = "http://h.example/" + std::string(150000, 'a') + ".jpg";
    std::string manyShort;
    for (int i = 0; i < 20000; ++i) manyShort += "//s ";
    std::string nearMisses;
    for (int i = 0; i < 100; ++i) nearMisses += "//" + std::string(1000, 'a') + " ";
    const Case cases[] = {
        // An address longer than the stage's usual window, among short ones.
        {"huge address",
         {{huge, "P"}, {"http://h.example/b", "Q"}},
         std::string(70000, '.') + huge + " http://h.example/b " + huge},
        // Each four bytes grow to two hundred.
        {"growth", {{"//s", std::string(200, 'p')}}, manyShort},
        // A long recorded address that never completes must not hide the
        // short one, and must not make the pass quadratic.
        {"near misses",
         {{"//" + std::string(1000, 'a') + "x", ""}, {"//" + std::string(1000, 'a'), "P"}},
         nearMisses},
    };
    for (const Case& c : cases) {
        for (const bool blank : {false, true}) {
            Table table(c.entries);
            Outcome out;
            run_stage(c.entries, c.text, blank, &out);
            EXPECT_EQ(out.text, reference_rewrite(table.in_table_order(), c.text, blank).first)
                << c.name;
        }
    }
}

// ---- progress ----------------------------------------------------------------

TEST(RewriteReferences, ReportsTheShareOfTextDone) {
    struct Case {
        const char* name;
        Entries entries;
        size_t textBytes;
        size_t minimumUpdates;  // percentages at least
    };
    const Case cases[] = {
        {"one key, small text", {{"http://a.example/1.jpg", "P"}}, 100, 1},
        {"many keys, small text",
         {{"http://a.example/1.jpg", "P"}, {"http://b.example/2.jpg", ""}},
         5000,
         1},
        {"large text", {{"http://a.example/1.jpg", "P"}}, 4 * 1024 * 1024, 50},
    };
    for (const Case& c : cases) {
        std::string text;
        while (text.size() < c.textBytes) text += "<img>http://a.example/1.jpg</img>\xC9\xCC";
        Outcome out;
        run_stage(c.entries, text, true, &out);
        const std::vector<int>& percents = out.percents;
        ASSERT_FALSE(percents.empty()) << c.name;
        EXPECT_EQ(percents[0], -1) << c.name;  // the update has begun
        EXPECT_GE(percents.size() - 1, c.minimumUpdates) << c.name;
        EXPECT_LE(percents.size() - 1, 101u) << c.name;
        int last = 0;
        for (size_t i = 1; i < percents.size(); ++i) {
            EXPECT_GT(percents[i], last) << c.name << ": " << i;
            last = percents[i];
        }
        EXPECT_EQ(last, 100) << c.name;
    }

    // Nothing recorded: only the opening report.
    Outcome none;
    run_stage({}, "text", true, &none);
    EXPECT_EQ(none.percents, std::vector<int>{-1});
    EXPECT_FALSE(none.changed);
}

}  // namespace
