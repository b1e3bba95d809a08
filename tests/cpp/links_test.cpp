// Hyperlink extraction: targets decoded from URI actions and web-address destinations, the
// rectangle, pages and indirect objects, fetch failures and the annotation bound.
#include "links.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_pdf.h"

namespace vellix {
namespace {

// The links of a document with one page per entry of `annots`: page i is object 200 + i and
// carries "/Annots <annots[i]>" unless that text is empty. Objects 100 to 199 belong to the test.
// A `bound` other than the default one goes through the testing entry.
Result<std::vector<PageLink>> links_of(const std::vector<std::string>& annots,
                                       const std::map<std::uint32_t, std::string>& extra = {},
                                       std::optional<size_t> bound = std::nullopt) {
    std::vector<std::string> entries;
    for (const std::string& a : annots) entries.push_back(a.empty() ? "" : "/Annots " + a);
    testing::PdfBuilder b = testing::pages_pdf_with(entries, /*first=*/200, /*step=*/1);
    for (const auto& [n, body] : extra) b.add(n, body);
    Result<DocPtr> doc = testing::open_bytes(b.build());
    if (!doc) return std::unexpected(doc.error());
    return bound ? extract_links_for_testing(**doc, *bound) : extract_links(**doc);
}

// The links as "uri@page" joined by spaces, or "error: " and the error.
std::string summary(const Result<std::vector<PageLink>>& got) {
    if (!got) return "error: " + got.error().display();
    std::string out;
    for (const PageLink& link : *got) out += (out.empty() ? "" : " ") + link.uri + "@" + std::to_string(link.page);
    return out;
}

std::string uri_link(const std::string& uri) { return "<< /Subtype /Link /A << /S /URI /URI " + uri + " >> >>"; }

TEST(ExtractLinks, TargetText) {
    const std::string link = "<< /Subtype /Link ";
    const struct { std::string annot; const char* uri; } cases[] = {  // uri nullptr: no link
        // URI actions: the string is decoded before it becomes text.
        {uri_link("(http://a.example/x)"), "http://a.example/x"}, {uri_link("<6874747>"), "http"},
        {uri_link("(http://c/\\(x\\))"), "http://c/(x)"}, {uri_link("(a\\101\\\nb)"), "aAb"},
        // Invalid UTF-8 is replaced, UTF-16BE text strings are converted (with a surrogate
        // pair, a lone surrogate and an odd last byte).
        {uri_link("<68FF69>"), "h\xEF\xBF\xBDi"}, {uri_link("<FEFF00680069>"), "hi"},
        {uri_link("<FEFF00E9D83DDE00>"), "\xC3\xA9\xF0\x9F\x98\x80"}, {uri_link("<FEFFD83D0041>"), "\xEF\xBF\xBD" "A"},
        {uri_link("<FEFF004100>"), "A\xEF\xBF\xBD"}, {uri_link("<FEFF>"), ""}, {uri_link("()"), ""},
        // The first of duplicate keys wins.
        {uri_link("(first) /URI (second)"), "first"},
        // Other annotation kinds, other actions and non-string URIs give no link from A.
        {"<< /Subtype /Text /A << /S /URI /URI (http://x) >> >>", nullptr}, {"<< /A << /S /URI /URI (http://x) >> >>", nullptr},
        {"<< /Subtype (Link) /A << /S /URI /URI (http://x) >> >>", nullptr}, {link + "/A << /S /GoTo /D /chapter1 >> >>", nullptr},
        {uri_link("/http"), nullptr}, {link + "/A << /URI (http://x) >> >>", nullptr}, {link + "/A [/S /URI] >>", nullptr},
        {"[/Subtype /Link]", nullptr},
        // Dest strings: only web addresses, after decoding, and only when A gave nothing.
        {link + "/Dest (http://d.example) >>", "http://d.example"}, {link + "/Dest (https://e.example) >>", "https://e.example"},
        {link + "/Dest (http://) >>", "http://"}, {link + "/Dest (https:/) >>", nullptr}, {link + "/Dest (HTTP://x) >>", nullptr},
        {link + "/Dest (\\150ttp://octal) >>", "http://octal"}, {link + "/Dest <687474703A2F2F68> >>", "http://h"},
        {link + "/Dest /chapter1 >>", nullptr}, {link + "/Dest [3 0 R /Fit] >>", nullptr},
        {link + "/A << /S /GoTo /D (x) >> /Dest (http://fallback) >>", "http://fallback"},
        {link + "/A << /S /URI /URI (http://action) >> /Dest (http://dest) >>", "http://action"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(summary(links_of({"[" + c.annot + "]"})), c.uri ? std::string(c.uri) + "@0" : "") << c.annot;
    }
}

TEST(ExtractLinks, Rectangle) {
    const struct { const char* rect; double expected[4]; } cases[] = {  // rect: the Rect entry, or none
        // Corners are kept as written, not normalised.
        {"/Rect [10 20 30.5 40]", {10, 20, 30.5, 40}}, {"/Rect [300 400 100 -2.5]", {300, 400, 100, -2.5}},
        // Numbers are collected past other elements; extra numbers are ignored.
        {"/Rect [5 0 R 1 2 3 4]", {1, 2, 3, 4}}, {"/Rect [0 1 2 3 4]", {0, 1, 2, 3}}, {"/Rect [/X 1 (s) 2 null 3 true 4 5]", {1, 2, 3, 4}},
        // Fewer than four numbers, a non-array, an indirect array or no entry: all zero.
        {"/Rect [1 2 3]", {0, 0, 0, 0}}, {"/Rect [1 2 3 /X]", {0, 0, 0, 0}}, {"/Rect 5", {0, 0, 0, 0}}, {"/Rect 100 0 R", {0, 0, 0, 0}},
        {"", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        auto got = links_of({std::string("[<< /Subtype /Link ") + c.rect + " /A << /S /URI /URI (u) >> >>]"}, {{100, "[1 2 3 4]"}});
        ASSERT_TRUE(got && got->size() == 1u) << c.rect;
        for (int k = 0; k < 4; ++k) EXPECT_EQ((*got)[0].bbox[k], c.expected[k]) << c.rect << ", corner " << k;
    }
}

TEST(ExtractLinks, PagesAndIndirection) {
    const std::map<std::uint32_t, std::string> objects = {
        {100, "<< /Subtype /Link /Rect [1 1 2 2] /A << /S /URI /URI (one) >> >>"},
        {101, "<< /Subtype /Link /A 102 0 R >>"}, {102, "<< /S /URI /URI (two) >>"},
        {103, "[100 0 R 101 0 R]"},
        {104, "<< /Subtype /Link /Dest (http://three) >>"}, {105, "(not an array)"},
    };
    // Page 0 has no Annots, page 1 an array given by reference, page 2 an inline mix, page 3 a
    // reference to a non-array, pages 4 and 5 an empty array and null.
    auto got = links_of({"", "103 0 R", "[104 0 R << /Subtype /Link /Dest (http://four) >> 100 0 R]", "105 0 R", "[]", "null"}, objects);
    EXPECT_EQ(summary(got), "one@1 two@1 http://three@2 http://four@2 one@2");
    EXPECT_TRUE(got && (*got)[0].bbox[2] == 2.0);
}

TEST(ExtractLinks, FetchFailures) {
    const std::map<std::uint32_t, std::string> objects = {
        {100, uri_link("(ok)")},
        // An action given by a reference to a missing object drops only its annotation, even
        // with a usable Dest.
        {101, "<< /Subtype /Link /A 999 0 R /Dest (http://not-used) >>"},
    };
    EXPECT_EQ(summary(links_of({"[101 0 R 100 0 R]"}, objects)), "ok@0");
    // A missing annotation, or a missing Annots array, fails the call.
    const std::vector<std::string> failing[] = {{"[100 0 R 998 0 R]"}, {"[100 0 R]", "997 0 R"}};
    for (const auto& annots : failing) EXPECT_EQ(summary(links_of(annots, objects)), "error: object not in xref") << annots.back();
}

TEST(ExtractLinks, AnnotationBound) {
    // Three pages share an array of four entries, then one link on each of two more pages: the
    // links are entries 13 and 14. The walk stops after the bound's number of entries, and an
    // entry just past it is never looked at.
    const std::map<std::uint32_t, std::string> objects = {
        {100, "<< /Subtype /Text /Contents (note) >>"}, {101, uri_link("(last)")},
        {102, "[100 0 R 100 0 R 100 0 R 100 0 R]"}};
    const std::vector<std::string> annots = {"102 0 R", "102 0 R", "102 0 R", "[101 0 R]", "[101 0 R]"};
    const std::pair<size_t, const char*> cases[] = {{12, ""}, {13, "last@3"}, {14, "last@3 last@4"}, {1000, "last@3 last@4"}, {0, ""}};
    for (const auto& [bound, links] : cases) EXPECT_EQ(summary(links_of(annots, objects, bound)), links) << bound;
    static_assert(kMaxAnnotationsPerDocument >= 1'000'000);
}

}  // namespace
}  // namespace vellix
