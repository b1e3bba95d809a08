#include "links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_pdf.h"

namespace vellix {
namespace {

using testing::open_bytes;
using testing::PdfBuilder;

// A document with one page per entry of `annots`: page i is object 200 + i and carries
// "/Annots <annots[i]>" unless that text is empty. Objects 100 to 199 belong to the test.
PdfBuilder pages_with_annots(const std::vector<std::string>& annots,
                             const std::map<std::uint32_t, std::string>& extra = {}) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (size_t i = 0; i < annots.size(); ++i) {
        const auto num = static_cast<std::uint32_t>(200 + i);
        kids += std::to_string(num) + " 0 R ";
        std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]";
        if (!annots[i].empty()) page += " /Annots " + annots[i];
        b.add(num, page + " >>");
    }
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(annots.size()) +
                 " >>");
    for (const auto& [n, body] : extra) b.add(n, body);
    return b;
}

Result<std::vector<PageLink>> links_of(const PdfBuilder& b) {
    Result<DocPtr> doc = open_bytes(b.build());
    if (!doc) return std::unexpected(doc.error());
    return extract_links(**doc);
}

// The links of a one-page document whose only annotation is the inline dictionary `annot`.
std::vector<PageLink> links_of_annot(const std::string& annot,
                                     const std::map<std::uint32_t, std::string>& extra = {}) {
    Result<std::vector<PageLink>> got = links_of(pages_with_annots({"[" + annot + "]"}, extra));
    EXPECT_TRUE(got.has_value()) << got.error().display();
    return got ? *got : std::vector<PageLink>{};
}

TEST(ExtractLinks, TargetText) {
    const struct {
        const char* annot;
        const char* uri;  // nullptr: no link
    } cases[] = {
        // URI actions: the string is decoded before it becomes text.
        {"<< /Subtype /Link /A << /S /URI /URI (http://a.example/x) >> >>", "http://a.example/x"},
        {"<< /Subtype /Link /A << /S /URI /URI <68747470 3A2F2F622E6578> >> >>", "http://b.ex"},
        {"<< /Subtype /Link /A << /S /URI /URI <6874747> >> >>", "http"},
        {"<< /Subtype /Link /A << /S /URI /URI (http://c/\\(x\\)) >> >>", "http://c/(x)"},
        {"<< /Subtype /Link /A << /S /URI /URI (a\\101\\\nb) >> >>", "aAb"},
        // Invalid UTF-8 is replaced, UTF-16BE text strings are converted (with a surrogate
        // pair, a lone surrogate and an odd last byte).
        {"<< /Subtype /Link /A << /S /URI /URI <68FF69> >> >>", "h\xEF\xBF\xBDi"},
        {"<< /Subtype /Link /A << /S /URI /URI <FEFF00680069> >> >>", "hi"},
        {"<< /Subtype /Link /A << /S /URI /URI <FEFF00E9D83DDE00> >> >>",
         "\xC3\xA9\xF0\x9F\x98\x80"},
        {"<< /Subtype /Link /A << /S /URI /URI <FEFFD83D0041> >> >>", "\xEF\xBF\xBD" "A"},
        {"<< /Subtype /Link /A << /S /URI /URI <FEFF004100> >> >>", "A\xEF\xBF\xBD"},
        {"<< /Subtype /Link /A << /S /URI /URI <FEFF> >> >>", ""},
        {"<< /Subtype /Link /A << /S /URI /URI () >> >>", ""},
        // The first of duplicate keys wins.
        {"<< /Subtype /Link /A << /S /URI /URI (first) /URI (second) >> >>", "first"},
        // Other annotation kinds, other actions and non-string URIs give no link from A.
        {"<< /Subtype /Text /A << /S /URI /URI (http://x) >> >>", nullptr},
        {"<< /A << /S /URI /URI (http://x) >> >>", nullptr},
        {"<< /Subtype (Link) /A << /S /URI /URI (http://x) >> >>", nullptr},
        {"<< /Subtype /Link /A << /S /GoTo /D /chapter1 >> >>", nullptr},
        {"<< /Subtype /Link /A << /S /URI /URI /http >> >>", nullptr},
        {"<< /Subtype /Link /A << /URI (http://x) >> >>", nullptr},
        {"<< /Subtype /Link /A [/S /URI] >>", nullptr},
        {"[/Subtype /Link]", nullptr},
        // Dest strings: only web addresses, after decoding, and only when A gave nothing.
        {"<< /Subtype /Link /Dest (http://d.example) >>", "http://d.example"},
        {"<< /Subtype /Link /Dest (https://e.example) >>", "https://e.example"},
        {"<< /Subtype /Link /Dest (http://) >>", "http://"},
        {"<< /Subtype /Link /Dest (https:/) >>", nullptr},
        {"<< /Subtype /Link /Dest (HTTP://x) >>", nullptr},
        {"<< /Subtype /Link /Dest (ftp://x) >>", nullptr},
        {"<< /Subtype /Link /Dest (\\150ttp://octal) >>", "http://octal"},
        {"<< /Subtype /Link /Dest <687474703A2F2F68> >>", "http://h"},
        {"<< /Subtype /Link /Dest /chapter1 >>", nullptr},
        {"<< /Subtype /Link /Dest [3 0 R /Fit] >>", nullptr},
        {"<< /Subtype /Link /A << /S /GoTo /D (x) >> /Dest (http://fallback) >>",
         "http://fallback"},
        {"<< /Subtype /Link /A << /S /URI /URI (http://action) >> /Dest (http://dest) >>",
         "http://action"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.annot);
        std::vector<PageLink> got = links_of_annot(c.annot);
        if (c.uri == nullptr) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].uri, c.uri);
        EXPECT_EQ(got[0].page, 0u);
    }
}

TEST(ExtractLinks, Rectangle) {
    const struct {
        const char* rect;  // the Rect entry's text; empty for none
        double expected[4];
    } cases[] = {
        {"/Rect [10 20 30.5 40]", {10, 20, 30.5, 40}},
        // Corners are kept as written, not normalised.
        {"/Rect [300 400 100 -2.5]", {300, 400, 100, -2.5}},
        // Numbers are collected past other elements; extra numbers are ignored.
        {"/Rect [5 0 R 1 2 3 4]", {1, 2, 3, 4}},
        {"/Rect [0 1 2 3 4]", {0, 1, 2, 3}},
        {"/Rect [/X 1 (s) 2 null 3 true 4 5]", {1, 2, 3, 4}},
        // Fewer than four numbers, a non-array, an indirect array or no entry: all zero.
        {"/Rect [1 2 3]", {0, 0, 0, 0}},
        {"/Rect [1 2 3 /X]", {0, 0, 0, 0}},
        {"/Rect 5", {0, 0, 0, 0}},
        {"/Rect 100 0 R", {0, 0, 0, 0}},
        {"", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rect);
        std::vector<PageLink> got = links_of_annot(
            std::string("<< /Subtype /Link ") + c.rect + " /A << /S /URI /URI (u) >> >>",
            {{100, "[1 2 3 4]"}});
        ASSERT_EQ(got.size(), 1u);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(got[0].bbox[k], c.expected[k]) << "corner " << k;
    }
}

TEST(ExtractLinks, PagesAndIndirection) {
    const std::map<std::uint32_t, std::string> objects = {
        {100, "<< /Subtype /Link /Rect [1 1 2 2] /A << /S /URI /URI (one) >> >>"},
        {101, "<< /Subtype /Link /A 102 0 R >>"},
        {102, "<< /S /URI /URI (two) >>"},
        {103, "[100 0 R 101 0 R]"},
        {104, "<< /Subtype /Link /Dest (http://three) >>"},
        {105, "(not an array)"},
    };
    // Page 0 has no Annots, page 1 an array given by reference, page 2 an inline mix, page 3 a
    // reference to a non-array, page 4 an empty array.
    Result<std::vector<PageLink>> got = links_of(pages_with_annots(
        {"", "103 0 R", "[104 0 R << /Subtype /Link /Dest (http://four) >> 100 0 R]",
         "105 0 R", "[]"},
        objects));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const struct {
        const char* uri;
        std::uint32_t page;
    } expected[] = {{"one", 1}, {"two", 1}, {"http://three", 2}, {"http://four", 2}, {"one", 2}};
    ASSERT_EQ(got->size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((*got)[i].uri, expected[i].uri);
        EXPECT_EQ((*got)[i].page, expected[i].page);
    }
    EXPECT_EQ((*got)[0].bbox[2], 2.0);
}

TEST(ExtractLinks, NoAnnotations) {
    Result<std::vector<PageLink>> got = links_of(pages_with_annots({"", "", "null"}));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_TRUE(got->empty());
}

TEST(ExtractLinks, FetchFailures) {
    const std::map<std::uint32_t, std::string> objects = {
        {100, "<< /Subtype /Link /A << /S /URI /URI (ok) >> >>"},
        // An action given by a reference to a missing object drops only its annotation, even
        // with a usable Dest.
        {101, "<< /Subtype /Link /A 999 0 R /Dest (http://not-used) >>"},
    };
    const struct {
        std::vector<std::string> annots;
        const char* error;  // nullptr: success with exactly one link "ok"
    } cases[] = {
        {{"[101 0 R 100 0 R]"}, nullptr},
        {{"[100 0 R 998 0 R]"}, "object not in xref"},
        {{"[100 0 R]", "997 0 R"}, "object not in xref"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.annots.back());
        Result<std::vector<PageLink>> got = links_of(pages_with_annots(c.annots, objects));
        if (c.error != nullptr) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().display(), c.error);
            continue;
        }
        ASSERT_TRUE(got.has_value()) << got.error().display();
        ASSERT_EQ(got->size(), 1u);
        EXPECT_EQ((*got)[0].uri, "ok");
    }
}

// Pages sharing one Annots array: the walk stops after the bound's number of entries, and
// an entry just past it is never looked at.
TEST(ExtractLinks, AnnotationBound) {
    const std::map<std::uint32_t, std::string> objects = {
        {100, "<< /Subtype /Text /Contents (note) >>"},
        {101, "<< /Subtype /Link /A << /S /URI /URI (last) >> >>"},
        {102, "[100 0 R 100 0 R 100 0 R 100 0 R]"},
    };
    const struct {
        size_t bound;
        size_t links;
    } cases[] = {{12, 0}, {13, 1}, {14, 2}, {1000, 2}, {0, 0}};
    // Three pages of four shared entries, then one link on each of two more pages: the links
    // are entries 13 and 14.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bound);
        Result<DocPtr> doc = open_bytes(
            pages_with_annots({"102 0 R", "102 0 R", "102 0 R", "[101 0 R]", "[101 0 R]"},
                              objects)
                .build());
        ASSERT_TRUE(doc.has_value()) << doc.error().display();
        Result<std::vector<PageLink>> got = extract_links_for_testing(**doc, c.bound);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got->size(), c.links);
    }
    static_assert(kMaxAnnotationsPerDocument >= 1'000'000);
}

}  // namespace
}  // namespace vellix
