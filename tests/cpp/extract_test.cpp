// Page and document extraction: chunks, failed pages, content streams, resources, the XObject
// table, span fonts, sizes and colours, images, parallel pages and batches of files.
#include "extract.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "document.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using testing::PdfBuilder;

// ---- Helpers ----

constexpr const char* kFonts = "<< /Font << /F1 5 0 R >> >>";

// A document with one page per entry; each page is object 10 + 2k with its content stream at
// 11 + 2k, and uses `resources` (none when empty). Object 5 is a plain font without widths
// (every glyph 1000 units wide), 6 one that shows code 65 ("A") as U+00E9 through its
// Differences; `extra` adds objects (numbers from 100 on are free).
PdfBuilder pages_pdf(const std::vector<std::string>& contents, const std::string& resources = kFonts,
                     const std::map<std::uint32_t, std::string>& extra = {}) {
    std::vector<std::string> entries;
    for (size_t k = 0; k < contents.size(); ++k)
        entries.push_back("/Contents " + std::to_string(11 + 2 * k) + " 0 R" + (resources.empty() ? "" : " /Resources " + resources));
    PdfBuilder b = testing::pages_pdf_with(entries, /*first=*/10, /*step=*/2);
    for (std::uint32_t k = 0; k < contents.size(); ++k) b.add_stream(11 + 2 * k, "", contents[k]);
    b.add(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    b.add(6, "<< /Type /Font /Subtype /Type1 /Encoding << /Differences [65 /eacute] >> >>");
    for (const auto& [n, body] : extra) b.add(n, body);
    return b;
}

// A page under the page tree 2, drawing `contents` with the plain font.
std::string page_dict(const std::string& contents) {
    return "<< /Type /Page /Parent 2 0 R /Contents " + contents + " /Resources " + kFonts + " >>";
}

DocPtr open_ok(const PdfBuilder& b) {
    Result<DocPtr> doc = testing::open_bytes(b.build());
    EXPECT_TRUE(doc.has_value()) << doc.error().display();
    return doc ? std::move(*doc) : nullptr;
}

std::string show(std::string_view text, double x = 72, double y = 700, std::string_view font = "F1") {
    return "BT /" + std::string(font) + " 12 Tf " + std::to_string(x) + " " + std::to_string(y) +
           " Td (" + std::string(text) + ") Tj ET";
}

// The texts of a page's spans in order, spans joined by "|".
std::string text_of(const PageResult& page) {
    std::string out;
    for (const TextBlock& b : page.blocks)
        for (const TextLine& l : b.lines)
            for (const TextSpan& s : l.spans) out.append(out.empty() ? "" : "|").append(s.text);
    return out;
}

std::vector<std::string> texts_of(const ExtractResult& r) {
    std::vector<std::string> out;
    for (const PageResult& p : r.pages) out.push_back(text_of(p));
    return out;
}


std::ostream& operator<<(std::ostream& out, const BBox& b) {
    return out << '[' << b.x0 << ' ' << b.y0 << ' ' << b.x1 << ' ' << b.y1 << ']';
}

// Every field of a page's result, for comparing two results exactly.
std::string describe(const PageResult& page) {
    std::ostringstream out;
    out.precision(17);
    for (const TextBlock& b : page.blocks) {
        out << "block" << b.bbox;
        for (const TextLine& l : b.lines) {
            out << " line" << l.bbox;
            for (const TextSpan& s : l.spans)
                out << " span(" << s.text << ',' << s.font << ',' << s.size << ',' << s.color << ',' << s.char_count << ')' << s.bbox;
        }
        out << '\n';
    }
    for (const ExtractedImage& img : page.images) {
        out << "image(" << img.xref << ',' << img.width << ',' << img.height << ',' << +img.bpc << ',' << img.colorspace
            << ',' << img.ext << ',' << img.data.size() << ')' << BBox{img.bbox[0], img.bbox[1], img.bbox[2], img.bbox[3]} << '\n';
    }
    return out.str();
}

std::string describe(const ExtractResult& r) {
    std::string out;
    for (size_t i = 0; i < r.pages.size(); ++i) out += "page " + std::to_string(i) + "\n" + describe(r.pages[i]);
    return out;
}

// The document an extraction gave, or its error.
std::string outcome_text(const Result<ExtractResult>& r) {
    return r ? describe(*r) : "error: " + r.error().display();
}

Result<PageResult> first_page(const Document& doc, const ExtractOptions& opts = {}) {
    return extract_single_page(doc, ObjectId{10, 0}, opts);
}

// The text of the first page of `b`, or "error: " and the page's error.
std::string page_text(const PdfBuilder& b) {
    DocPtr doc = open_ok(b);
    if (!doc) return "no document";
    auto page = first_page(*doc);
    return page ? text_of(*page) : "error: " + page.error().display();
}
// ---- Documents and chunks ----

TEST(ExtractDoc, EmptyPageListAndBrokenPageTree) {
    // The page list's error is the document's error.
    for (const char* kids : {"[]", "7"}) {
        auto r = extract_doc(*open_ok(PdfBuilder().add(1, "<< /Type /Catalog /Pages 2 0 R >>")
                                          .add(2, std::string("<< /Type /Pages /Kids ") + kids + " /Count 0 >>")),
                             {});
        EXPECT_EQ(r ? std::to_string(r->pages.size()) + " pages" : r.error().display(),
                  kids[0] == '[' ? "0 pages" : "/Kids must be an array");
    }
}

TEST(ExtractDoc, FailedPagesStayEmptyInPlace) {
    PdfBuilder b = pages_pdf({show("P1"), show("P2"), show("P3"), show("P4"), show("P5")});
    // Page 2 names a content stream that does not exist; page 4's second stream is not zlib.
    b.add(12, page_dict("999 0 R")).add(16, page_dict("[17 0 R 100 0 R]"));
    b.add_stream(100, "/Filter /FlateDecode", "not zlib");
    DocPtr doc = open_ok(b);
    for (bool parallel : {false, true}) {
        auto r = extract_doc(*doc, {.page_parallel = parallel});
        ASSERT_TRUE(r) << r.error().display();
        EXPECT_EQ(texts_of(*r), (std::vector<std::string>{"P1", "", "P3", "", "P5"})) << parallel;
    }
    // extract_single_page reports what extract_doc drops (ContentsForms has the content errors).
    EXPECT_EQ(extract_single_page(*doc, ObjectId{98, 0}, {}), std::unexpected(ParseError::message("object is free (deleted)")));
}

TEST(ExtractDoc, ChunksAndParallelPagesEqualSequential) {
    std::vector<std::string> contents, expected;
    for (int i = 0; i < 10; ++i) {
        contents.push_back(show("Page " + std::to_string(i), 72, 700) + " " + show("second line", 72, 600) +
                           " q 100 0 0 50 10 20 cm /Im1 Do Q /Fm1 Do");
        expected.push_back("Page " + std::to_string(i) + "|second line|in form");
    }
    PdfBuilder b = pages_pdf(
        contents, "<< /Font << /F1 5 0 R /F2 6 0 R >> /XObject << /Im1 100 0 R /Fm1 101 0 R >> >>");
    b.add_stream(100, "/Subtype /Image /Width 2 /Height 1 /ColorSpace /DeviceGray", "ab")
        .add_stream(101, "/Subtype /Form /Matrix [1 0 0 1 0 -100]", show("in form", 72, 300, "F2"));
    DocPtr doc = open_ok(b);
    auto sequential = extract_doc(*doc, {.batch_size = 1, .page_parallel = false});
    ASSERT_TRUE(sequential);
    EXPECT_EQ(texts_of(*sequential), expected);
    EXPECT_EQ(sequential->pages[3].images.size(), 1u);
    // One chunk (0, at least the page count), single pages, and chunks that do not divide the
    // pages, one after another or on the pool (several rounds, for races); gpu changes nothing.
    for (size_t batch : {0, 1, 3, 4, 7, 100}) {
        for (int run = 0; run < 4; ++run) {
            SCOPED_TRACE(::testing::Message() << "batch " << batch << ", run " << run);
            const ExtractOptions opts{.batch_size = batch, .page_parallel = run > 0, .gpu = run == 1};
            EXPECT_EQ(outcome_text(extract_doc(*doc, opts)), describe(*sequential));
        }
    }
}

// ---- The document's budget ----

// A document of `count` pages (objects 1000 on) that all are alike, drawing `content` with the
// page resources `resources`, or are the dictionary `page` when given; `extra` adds objects
// (numbers from 100 to 999 are free). A page object listed twice is one page.
PdfBuilder shared_page_pdf(size_t count, const std::string& content,
                           const std::string& resources = "<< /Font << /F1 5 0 R >> >>",
                           const std::map<std::uint32_t, std::string>& extra = {},
                           const std::string& page = "") {
    PdfBuilder b = pages_pdf({content}, resources, extra);
    const std::string body = page.empty() ? b.objects.at(10) : page;
    std::string kids;
    for (std::uint32_t i = 0; i < count; ++i) {
        kids += std::to_string(1000 + i) + " 0 R ";
        b.add(1000 + i, body);
    }
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(count) + " >>");
    return b;
}

// How many pages have any text. Pages that run one after another spend the budget in page
// order, so there (`in_order`) the pages with text must come first and all others be empty;
// pages on the pool may find it spent in any order.
size_t pages_with_text(const ExtractResult& r, bool in_order = true) {
    size_t n = 0;
    for (const PageResult& p : r.pages) n += !p.blocks.empty();
    for (size_t i = 0; in_order && i < r.pages.size(); ++i) EXPECT_EQ(r.pages[i].blocks.empty(), i >= n) << i;
    return n;
}

TEST(DocumentLimits, GrowWithTheFileAndSaturate) {
    const DocumentLimits none = document_limits(0), some = document_limits(1000),
                         huge = document_limits(std::numeric_limits<size_t>::max());
    EXPECT_EQ(std::pair(none.work, none.output), std::pair(kDocumentWorkBase, kDocumentOutputBase));
    EXPECT_TRUE(some.work > none.work && some.output > none.output);
    // Saturates instead of wrapping.
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(std::pair(huge.work, huge.output), std::pair(kMax, kMax));
}

TEST(ExtractDoc, WorkAndOutputBudgetsSpanPages) {
    const std::string content = show("Hello");
    DocPtr doc = open_ok(shared_page_pdf(6, content));
    // A page pays its content's bytes, then one unit per operator (BT Tf Td Tj ET) and per
    // character.
    const std::uint64_t page_cost = content.size() + 5 + 5, lots = std::uint64_t{1} << 40;
    const struct { const char* what; DocumentLimits limits; std::vector<std::string> texts; } cases[] = {
        // The third page pays its content and gets as far as BT Tf Td Tj and two characters.
        {"work for two pages and a prefix", {3 * page_cost - 4, lots}, {"Hello", "Hello", "He", "", "", ""}},
        {"output for one page and a prefix", {lots, 7}, {"Hello", "He", "", "", "", ""}},
        {"no work at all", {0, lots}, {"", "", "", "", "", ""}}, {"no output at all", {lots, 0}, {"", "", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Chunks of one page run in page order even on the pool, so they spend alike.
        for (bool parallel : {false, true}) {
            auto r = extract_doc_with_limits_for_testing(
                *doc, {.batch_size = parallel ? 1u : 4u, .page_parallel = parallel}, c.limits);
            ASSERT_TRUE(r) << r.error().display();
            EXPECT_EQ(texts_of(*r), c.texts) << "parallel " << parallel;
        }
    }
    // Pages that run at the same time may each take what was left when they started (and
    // starve each other), so only the overshoot is bounded: past the pages that fit, no more
    // pages than run at once (the workers and the caller) get any text.
    auto r = extract_doc_with_limits_for_testing(*doc, {.batch_size = 0}, {2 * page_cost, lots});
    ASSERT_TRUE(r && r->pages.size() == 6u);
    EXPECT_LE(pages_with_text(*r, /*in_order=*/false), 2 + process_pool().worker_count() + 1);
    for (const std::string& text : texts_of(*r)) EXPECT_EQ(std::string("Hello").find(text), 0u) << text;
}

TEST(ExtractDoc, ManyPagesOneHeavyForm) {
    // Every page draws form A six times; A draws the empty form B ten thousand times, so one
    // page spends its whole work budget at little cost in time. Twenty thousand such pages
    // would take many minutes; the document's budget ends them after a few
    // (fuzz/regressions/document/many-pages-one-heavy-form.pdf).
    std::string a;
    for (int i = 0; i < 10000; ++i) a += "/B Do ";
    const std::string content = show("x") + " /A Do /A Do /A Do /A Do /A Do /A Do";
    PdfBuilder b = shared_page_pdf(
        20000, content, "<< /Font << /F1 5 0 R >> /XObject << /A 100 0 R /B 101 0 R >> >>");
    b.add_stream(100, "/Subtype /Form", a).add_stream(101, "/Subtype /Form", "");
    const std::string file = b.build();
    DocPtr doc = std::move(*testing::open_bytes(file));
    // The file's own bounds one page after another, and a smaller budget for pages that run at
    // the same time (where each may pass the bound by a page's work).
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel);
        DocumentLimits limits = document_limits(file.size());
        if (parallel) limits.work = 5 * kPageWorkBudget;
        // A page spends its whole budget and a little more (content bytes, form bytes).
        const std::uint64_t most = limits.work / kPageWorkBudget + 1;
        const std::uint64_t least = limits.work / (kPageWorkBudget + content.size() + 2 * a.size() + 1);
        auto r = parallel ? extract_doc_with_limits_for_testing(*doc, {.page_parallel = true}, limits)
                          : extract_doc(*doc, {.page_parallel = false});
        ASSERT_TRUE(r && r->pages.size() == 20000u);
        const size_t with_text = pages_with_text(*r, /*in_order=*/!parallel);
        EXPECT_LE(with_text, most + (parallel ? 64 : 0));
        EXPECT_GE(with_text, least);
        if (!parallel) { EXPECT_EQ(text_of(r->pages[0]), "x"); }
    }
}

TEST(ExtractDoc, ManyPagesWithinTheBudgetExtractFully) {
    // Ten thousand ordinary pages are far from the document's bounds.
    std::vector<std::string> contents;
    for (int i = 0; i < 10000; ++i) contents.push_back(show("Page " + std::to_string(i)) + " " + show("a second line of text", 72, 680));
    auto r = extract_doc(*open_ok(pages_pdf(contents)), {});
    ASSERT_TRUE(r && r->pages.size() == 10000u);
    EXPECT_EQ(pages_with_text(*r), 10000u);
    EXPECT_EQ(text_of(r->pages[9999]), "Page 9999|a second line of text");
}

TEST(ExtractDoc, SharedFilteredStreamsGiveEveryPageTheSameResult) {
    // Pages share a filtered content stream, a filtered form and a form whose filter fails
    // (drawn from its stored bytes); the document decodes shared streams once or twice and
    // keeps them, which must not change what any page gets.
    PdfBuilder shared = shared_page_pdf(
        40, "", "", {}, "<< /Type /Page /Parent 2 0 R /Contents [100 0 R 103 0 R] "
                        "/Resources << /Font << /F1 5 0 R >> /XObject << /Fa 101 0 R /Fb 102 0 R >> >> >>");
    shared.add_stream(100, "/Filter /ASCIIHexDecode", "4254202f463120313220546620373220373030205464202841422920546a204554>");
    shared.add_stream(101, "/Subtype /Form /Filter /ASCIIHexDecode", "4254202f463120313220546620373220363030205464202843442920546a204554>");
    shared.add_stream(102, "/Subtype /Form /Filter /FlateDecode", show("EF", 72, 500)).add_stream(103, "", "/Fa Do /Fb Do");
    DocPtr doc = open_ok(shared);
    for (bool parallel : {false, true}) {
        auto r = extract_doc(*doc, {.batch_size = 7, .page_parallel = parallel});
        ASSERT_TRUE(r) << r.error().display();
        EXPECT_EQ(texts_of(*r), std::vector<std::string>(40, "AB|CD|EF")) << parallel;
    }
}

// ---- Content streams ----

// The page's Contents (object 111 draws the form /Fm) and its XObject table (empty unless given).
TEST(ExtractSinglePage, ContentsFormsAndXObjectTable) {
    const struct { const char* what; std::string contents, xobjects, text_or_error; } cases[] = {
        {"a reference to a stream", "100 0 R", "<< >>", "AB"},
        {"an array of streams is read as one content", "[100 0 R 101 0 R]", "<< >>", "ABCD"},
        // The newline after each part splits "T" + "j" into two operators.
        {"each part is followed by a newline", "[102 0 R 103 0 R]", "<< >>", ""},
        {"array elements that are not references are skipped", "[5 (x) 100 0 R /N]", "<< >>", "AB"},
        {"a reference to an array is not followed", "104 0 R", "<< >>", ""},
        {"a direct stream-less value gives no content", "(BT)", "<< >>", ""},
        {"a missing part fails the page", "[100 0 R 999 0 R]", "<< >>", "error: object not in xref"},
        {"an undecodable part fails the page", "[100 0 R 106 0 R]", "<< >>", "error: flate decompression failed"},
        {"a form listed directly is drawn", "111 0 R", "<< /Fm 120 0 R >>", "F"},
        {"an XObject dictionary by reference", "111 0 R", "124 0 R", "F"},
        {"a form without stream data is left out", "111 0 R", "<< /Fm 121 0 R >>", ""},
        {"an unfetchable form is left out", "111 0 R", "<< /Fm 99 0 R >>", ""},
        {"a later entry of the same name wins", "111 0 R", "<< /Fm 122 0 R /Fm 120 0 R >>", "F"},
        {"an earlier entry stays when the later one is left out", "111 0 R", "<< /Fm 120 0 R /Fm 121 0 R >>", "F"},
        {"undecodable form data is kept as stored", "111 0 R", "<< /Fm 123 0 R >>", "F"},
        {"an image entry is not drawn", "111 0 R", "<< /Fm 125 0 R >>", ""},
        {"a form's own fonts are used inside it", "111 0 R", "<< /Fm 126 0 R >>", "\xC3\xA9"},
        {"a form's resources by reference", "111 0 R", "<< /Fm 127 0 R >>", "\xC3\xA9"},
    };
    const std::string form_text = show("F", 10, 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PdfBuilder b = pages_pdf({""});
        b.add(10, "<< /Type /Page /Parent 2 0 R /Contents " + c.contents + " /Resources << /Font << /F1 5 0 R >> /XObject " +
                      c.xobjects + " >> >>");
        b.add_stream(100, "", "BT /F1 12 Tf 72 700 Td (AB) Tj").add_stream(101, "", "(CD) Tj ET");
        b.add_stream(102, "", "BT /F1 12 Tf 72 700 Td (AB) T").add_stream(103, "", "j ET").add(104, "[100 0 R 101 0 R]");
        b.add_stream(106, "/Filter /FlateDecode", "not zlib").add_stream(111, "", "/Fm Do");
        b.add_stream(120, "/Subtype /Form", form_text).add(121, "<< /Subtype /Form >>");
        b.add_stream(122, "/Subtype /Form", show("G", 10, 20)).add(124, "<< /Fm 120 0 R >>");
        b.add_stream(123, "/Subtype /Form /Filter /FlateDecode", form_text);
        b.add_stream(125, "/Subtype /Image /Width 1 /Height 1", "x").add_stream(126, "/Subtype /Form /Resources << /Font << /F9 6 0 R >> >>", show("A", 10, 20, "F9"));
        b.add_stream(127, "/Subtype /Form /Resources 128 0 R", show("A", 10, 20, "F9")).add(128, "<< /Font << /F9 6 0 R >> >>");
        EXPECT_EQ(page_text(b), c.text_or_error);
    }
}

TEST(GetStreamData, ByObjectKind) {
    PdfBuilder b = pages_pdf({""});
    b.add_stream(100, "", "raw bytes").add_stream(101, "/Filter /ASCIIHexDecode", "41 42>");
    b.add_stream(102, "/Filter /FlateDecode", "bad").add_stream(103, "/Filter /NoSuchFilter", "kept");
    DocPtr doc = open_ok(b);
    std::vector<std::string> got;
    for (std::uint32_t num : {100, 101, 102, 103, 5}) {
        auto data = get_stream_data(**doc->get_object(ObjectId{num, 0}));
        got.push_back(data ? std::string(data->begin(), data->end()) : "error: " + data.error().display());
    }
    // Unknown filters keep the stored bytes; a dictionary has no data.
    EXPECT_EQ(got, (std::vector<std::string>{"raw bytes", "AB", "error: flate decompression failed", "kept", ""}));
}

TEST(ExtractSinglePage, ContentAndFormBytesAreBounded) {
    // Page 10 shows AB and CD from three unfiltered parts, each costing its bytes once read and
    // once kept, plus the newline; page 12 draws forms showing F and G, each costing its stored
    // bytes read and kept, the first in the dictionary paying first.
    const std::string head = "BT /F1 12 Tf 72 700 Td", ab = "(AB) Tj", cd = "(CD) Tj";
    const std::string form_f = show("F", 10, 20), form_g = show("G", 40, 20);
    PdfBuilder b = pages_pdf({"", "/Fa Do /Fb Do"},
                             "<< /Font << /F1 5 0 R >> /XObject << /Fa 103 0 R /Fb 104 0 R >> >>");
    b.add(10, page_dict("[100 0 R 101 0 R 102 0 R]")).add_stream(100, "", head).add_stream(101, "", ab);
    b.add_stream(102, "", cd).add_stream(103, "/Subtype /Form", form_f).add_stream(104, "/Subtype /Form", form_g);
    DocPtr doc = open_ok(b);
    auto cost = [](const std::string& part) { return 2 * part.size() + 1; };
    const size_t two = cost(head) + cost(ab), forms = 2 * form_f.size() + 2 * form_g.size();
    const struct { std::uint32_t page; size_t content_bytes, form_bytes; std::string text; } cases[] = {
        {10, two, kMaxPageFormBytes, "AB"}, {10, two - 1, kMaxPageFormBytes, ""},
        {10, two + cost(cd), kMaxPageFormBytes, "ABCD"}, {10, two + cost(cd) - 1, kMaxPageFormBytes, "AB"},
        // A form over the bound draws nothing and is no image either.
        {12, kMaxPageContentBytes, forms, "F |G"}, {12, kMaxPageContentBytes, forms - 1, "F"},
        {12, kMaxPageContentBytes, 2 * form_f.size() - 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.page << " " << c.content_bytes << " " << c.form_bytes);
        const PageLimits limits{.content_bytes = c.content_bytes, .form_bytes = c.form_bytes};
        auto page = extract_single_page_with_limits_for_testing(*doc, ObjectId{c.page, 0}, {}, limits);
        ASSERT_TRUE(page) << page.error().display();
        EXPECT_EQ(std::pair(text_of(*page), page->images.size()), std::pair(c.text, size_t{0}));
    }
}

// ---- Resources and spans ----

// The page's resources are its own (direct or by reference) or its parent's; fonts and colour
// spaces are looked up in them. Each span's font is the BaseFont without a subset tag, else the
// resource name (font 6 has no BaseFont: "F1" shows it was found), else "Helvetica"; its size is
// in user space and its colour the fill colour.
TEST(ExtractSinglePage, ResourcesSpanFontSizeAndColour) {
    const std::string icc = " /ColorSpace << /C3 [/ICCBased 7 0 R] /Cg [/ICCBased 8 0 R] /Sep [/Separation /S /DeviceRGB 5 0 R] >>";
    const struct { std::string resources, content, font; double size; std::uint32_t color; bool inherited = false; } cases[] = {
        {"<< /Font << /F1 6 0 R >> >>", show("A"), "F1", 12, 0},
        {"<< /Font << /F1 6 0 R >> >>", show("A"), "F1", 12, 0, /*inherited=*/true},
        {"100 0 R", show("A"), "F1", 12, 0}, {"<< /Font 101 0 R >>", show("A"), "F1", 12, 0},
        // Unfetchable resources and a font name not in the table are no failure.
        {"99 0 R", show("A"), "Helvetica", 12, 0}, {"<< /Font << /F2 6 0 R >> >>", show("A"), "Helvetica", 12, 0},
        {"<< /Font << /F1 9 0 R >> >>", show("A"), "Times-Roman", 12, 0},
        {"", show("A"), "Helvetica", 12, 0},
        {"<< /Font << /F1 5 0 R >> >>", "0 0 1 rg BT /F1 1 Tf 12 0 0 12 72 700 Tm (A) Tj ET", "Helvetica", 12, 0xFF},
        {"<< /Font << /F1 5 0 R >> >>", "3 0 0 3 0 0 cm 0.5 g " + show("A", 72, 200), "Helvetica", 36, 0x808080},
        {"<< /Font << /F1 5 0 R >>" + icc + " >>", "/C3 cs 1 0 0 scn " + show("A"), "Helvetica", 12, 0xFF0000},
        {"<< /Font << /F1 5 0 R >>" + icc + " >>", "/Cg cs 1 scn " + show("A"), "Helvetica", 12, 0xFFFFFF},
        {"<< /Font << /F1 5 0 R >>" + icc + " >>", "/Sep cs 1 scn " + show("A"), "Helvetica", 12, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resources + c.content);
        PdfBuilder b = pages_pdf({c.content}, c.inherited ? "" : c.resources,
                                 {{7, testing::stream_body("/N 3", "")},
                                  {8, testing::stream_body("/Alternate /DeviceGray", "")},
                                  {9, "<< /Type /Font /Subtype /Type1 /BaseFont /ABCDEF+Times-Roman >>"},
                                  {100, "<< /Font << /F1 6 0 R >> >>"}, {101, "<< /F1 6 0 R >>"}});
        if (c.inherited) b.add(2, "<< /Type /Pages /Kids [10 0 R] /Count 1 /Resources " + c.resources + " >>");
        auto page = first_page(*open_ok(b));
        ASSERT_TRUE(page && !page->blocks.empty());
        const TextSpan& s = page->blocks[0].lines[0].spans[0];
        EXPECT_EQ(std::tie(s.font, s.size, s.color), std::tie(c.font, c.size, c.color));
    }
}

// ---- XObjects ----

TEST(ExtractSinglePage, FormMatrix) {
    // The form shows one glyph (12 wide, 12 high at size 12) at (10, 20) in form space.
    const struct { const char* matrix_entry; BBox box; } cases[] = {
        {"", {10, 20, 22, 32}}, {"/Matrix [2 0 0 2]", {20, 40, 44, 64}}, {"/Matrix 7", {10, 20, 22, 32}},
        {"/Matrix [2 0 0 2 /x 5 99]", {20, 45, 44, 69}}, {"/Matrix [1.5 0 0 1 100 0]", {115, 20, 133, 32}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.matrix_entry);
        PdfBuilder b = pages_pdf({"/Fm Do"}, "<< /Font << /F1 7 0 R >> /XObject << /Fm 100 0 R >> >>");
        b.add(7, "<< /Type /Font /Subtype /Type1 /FirstChar 70 /Widths [1000] >>")
            .add_stream(100, std::string("/Subtype /Form ") + c.matrix_entry, show("F", 10, 20));
        auto page = first_page(*open_ok(b));
        ASSERT_TRUE(page && text_of(*page) == "F");
        EXPECT_EQ(page->blocks[0].lines[0].spans[0].bbox, c.box);
    }
}

TEST(ExtractSinglePage, AnnotationAppearances) {
    // The appearance (BBox 0 0 100 100, glyph at 10 20 of size 12) is drawn into Rect 200 300 250
    // 350: scaled by one half. Hidden, Popup and Link annotations draw nothing; /AS picks a state.
    const struct { const char* annot; std::string text; } cases[] = {
        {"/Subtype /Widget /Rect [250 350 200 300] /AP << /N 100 0 R >>", "F"},
        {"/Subtype /Widget /F 2 /Rect [200 300 250 350] /AP << /N 100 0 R >>", ""},
        {"/Subtype /Popup /Rect [200 300 250 350] /AP << /N 100 0 R >>", ""},
        {"/Rect [200 300 250 350] /AS /On /AP << /N << /Off 101 0 R /On 100 0 R >> >>", "F"},
        {"/Rect [200 300 250 350] /AS /Off /AP << /N << /On 100 0 R >> >>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.annot);
        PdfBuilder b = pages_pdf({""}, std::string(kFonts) + " /Annots [110 0 R]");
        b.add_stream(100, "/Subtype /Form /BBox [0 0 100 100] /Resources " + std::string(kFonts),
                     show("F", 10, 20));
        b.add_stream(101, "/Subtype /Form /BBox [0 0 100 100]", show("G", 10, 20));
        b.add(110, std::string("<< /Type /Annot ") + c.annot + " >>");
        DocPtr doc = open_ok(b);
        ASSERT_TRUE(doc);
        auto page = first_page(*doc);
        ASSERT_TRUE(page) << page.error().display();
        ASSERT_EQ(text_of(*page), c.text);
        if (!c.text.empty()) {
            EXPECT_EQ(page->blocks[0].bbox.x0, 205);
        }
    }
}

// ---- Images ----

TEST(ExtractSinglePage, ImagesOnlyWhenAsked) {
    PdfBuilder b = pages_pdf({"q 100 0 0 50 10 20 cm /Im1 Do Q /Im1 Do /Fm Do /Nothing Do"},
                             "<< /XObject << /Im1 100 0 R /Fm 101 0 R >> >>");
    b.add_stream(100, "/Subtype /Image /Width 2 /Height 1 /ColorSpace /DeviceGray /Filter /DCTDecode", "jpeg");
    b.add_stream(101, "/Subtype /Form /Resources << /XObject << /Im2 102 0 R >> >>", "/Im2 Do")
        .add_stream(102, "/Subtype /Image /Width 3 /Height 3", "raw");
    DocPtr doc = open_ok(b);
    auto page = first_page(*doc);
    ASSERT_TRUE(page) << page.error().display();
    // The second placement draws at the unit square, the third inside the form: a PNG file of
    // the raw samples (padded to 3 x 3 pixels).
    EXPECT_EQ(describe(*page), "image(100,2,1,8,DeviceGray,jpeg,4)[10 20 110 70]\n"
                               "image(100,2,1,8,DeviceGray,jpeg,4)[0 0 1 1]\n"
                               "image(102,3,3,8,DeviceRGB,png,80)[0 0 1 1]\n");
    EXPECT_EQ(page->images[0].data, testing::to_vec("jpeg"));
    EXPECT_EQ(std::string(page->images[2].data.begin(), page->images[2].data.begin() + 4), "\x89PNG");
    auto bare = first_page(*doc, {.include_images = false});
    EXPECT_TRUE(bare && bare->images.empty());
}

// ---- Files ----
class ExtractFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("vellix_extract_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A file of `pages` pages, each showing the file's name and the page number.
    std::string write(const std::string& name, int pages) {
        std::vector<std::string> contents;
        for (int i = 0; i < pages; ++i) contents.push_back(show(name + " p" + std::to_string(i)));
        const std::string path = (dir_ / (name + ".pdf")).string();
        std::ofstream(path, std::ios::binary) << pages_pdf(contents).build();
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(ExtractFiles, ExtractManyAndEachMatchSingleExtracts) {
    std::vector<std::string> files;
    for (int i = 0; i < 8; ++i) files.push_back(write("f" + std::to_string(i), 1 + i % 4));
    EXPECT_EQ(texts_of(*extract(files[1], {})), (std::vector<std::string>{"f1 p0", "f1 p1"}));
    const std::string gone = (dir_ / "gone.pdf").string();
    EXPECT_EQ(outcome_text(extract(gone, {})), "error: cannot open file");
    const struct { const char* what; std::vector<std::string> paths; } cases[] = {
        {"no path", {}}, {"one path", {files[0]}}, {"a missing single path", {gone}},
        {"three paths, one after another with open-ahead, one missing", {files[0], gone, files[2]}},
        {"the same path twice", {files[3], files[3]}},
        {"eight paths (on the pool) with a missing one",
         {files[0], files[1], files[2], files[3], gone, files[5], files[6], files[7]}},
    };
    const std::thread::id caller = std::this_thread::get_id();
    for (const auto& c : cases) {
        for (int mode = 0; mode < 4; ++mode) {
            const bool file_parallel = mode & 1;
            const ExtractOptions opts{.page_parallel = (mode & 2) != 0, .file_parallel = file_parallel};
            SCOPED_TRACE(::testing::Message() << c.what << ", file_parallel " << file_parallel << ", mode " << mode);
            auto out = extract_many(c.paths, opts);
            ASSERT_EQ(out.size(), c.paths.size());
            for (size_t i = 0; i < out.size(); ++i) {
                EXPECT_EQ(out[i].first, c.paths[i]);
                EXPECT_EQ(outcome_text(out[i].second), outcome_text(extract(c.paths[i], opts))) << i;
            }
            // The same pairs, each handed over once on the caller's thread: in input order one
            // after another, in the order they finish on the pool.
            std::vector<size_t> order, all(c.paths.size());
            std::iota(all.begin(), all.end(), size_t{0});
            extract_many_each(c.paths, opts, [&](size_t i, FileOutcome&& outcome) {
                EXPECT_EQ(std::this_thread::get_id(), caller);
                order.push_back(i);
                EXPECT_EQ(outcome.first, c.paths[i]);
                EXPECT_EQ(outcome_text(outcome.second), outcome_text(out[i].second));
            });
            if (file_parallel && c.paths.size() >= 8) std::sort(order.begin(), order.end());
            EXPECT_EQ(order, all);
            // A consumer that throws is not called again; the exception reaches the caller.
            size_t calls = 0;
            auto throw_at_second = [&](size_t, FileOutcome&&) { if (++calls == 2) throw std::runtime_error("stop"); };
            if (c.paths.size() >= 2) { EXPECT_THROW(extract_many_each(c.paths, opts, throw_at_second), std::runtime_error); }
            EXPECT_EQ(calls, c.paths.size() >= 2 ? 2u : 0u);
        }
    }
}
// Runs `body` in a forked child where no thread's stack fits the address space, so
// every thread the library tries to start (workers, open-ahead) fails with std::system_error.
// Returns the child's exit code; 77 when threads could still be started (nothing tested).
int run_without_threads(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        long pages = 0;
        if (!(std::ifstream("/proc/self/statm") >> pages) || pages <= 0) _exit(77);
        const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        const rlimit limit{now + (rlim_t{6} << 20), now + (rlim_t{6} << 20)};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(77);
        // Stacks cached from threads that ended before the fork could still be reused; a
        // default stack larger than the limit rules them out.
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, size_t{1} << 36) != 0 ||
            pthread_setattr_default_np(&attr) != 0)
            _exit(77);
        try {
            std::thread([] {}).join();
            _exit(77);
        } catch (const std::system_error&) {
        }
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(ExtractFiles, ThreadsThatCannotStartChangeNoResult) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit leaves";
#endif
    std::vector<std::string> paths;
    for (int i = 0; i < 9; ++i) paths.push_back(write("t" + std::to_string(i), 2 + i % 3));
    const ExtractOptions opts{.batch_size = 2, .page_parallel = true, .file_parallel = true};
    // Many files (on the pool), three (one after another, open-ahead) and one file's pages on
    // the pool: computed here with threads; the child must compute the same without any.
    auto all = [&] {
        std::string out;
        for (const auto& list : {paths, std::vector(paths.begin(), paths.begin() + 3)})
            for (const FileOutcome& o : extract_many(list, opts)) out += o.first + "\n" + describe(*o.second);
        return out + describe(*extract(paths[2], opts));
    };
    const std::string expected = all();
    ASSERT_FALSE(expected.empty());
    const int code = run_without_threads([&] { return all() == expected ? 0 : 1; });
    if (code == 77) GTEST_SKIP() << "threads could still be started under the limit";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace vellix
