// Opening documents, object lookup and its caches, object streams, the page tree, update
// chains, hybrid files, encryption refusal and the fall-back to the recovery scan.
#include "document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "parser/filters.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using testing::one_page_pdf;
using testing::open_bytes;
using testing::PdfBuilder;
using testing::PdfWriter;
using testing::StreamEntry;

ParseError msg(const char* text) { return ParseError::message(text); }
ParseError kind(ParseErrorKind k) { return ParseError::of(k); }

const char* kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const char* kPages3 = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
const char* kPage = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>";

DocPtr open_ok(const std::string& file) {
    Result<DocPtr> doc = open_bytes(file);
    EXPECT_TRUE(doc.has_value()) << doc.error().display();
    return doc ? std::move(*doc) : nullptr;
}

std::vector<std::uint32_t> page_numbers(const Document& doc) {
    Result<std::vector<ObjectId>> refs = doc.page_refs();
    EXPECT_TRUE(refs.has_value()) << refs.error().display();
    std::vector<std::uint32_t> nums;
    if (refs) {
        for (ObjectId id : *refs) nums.push_back(id.num);
    }
    return nums;
}

// The integer object `num` of the document, or -1.
std::int64_t int_object(const Document& doc, std::uint32_t num) {
    Result<ObjPtr> obj = doc.get_object({num, 0});
    if (!obj || !(*obj)->as_int()) return -1;
    return *(*obj)->as_int();
}

// ---------------------------------------------------------------------------------------------
// Opening and lookup

TEST(DocumentOpen, ClassicTable) {
    DocPtr doc = open_ok(one_page_pdf("BT ET").build());
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->recovered());
    EXPECT_EQ(doc->root(), (ObjectId{1, 0}));
    EXPECT_EQ(doc->size(), 5u);
    EXPECT_FALSE(doc->info().has_value());
    Result<std::vector<ObjectId>> refs = doc->page_refs();
    ASSERT_TRUE(refs.has_value()) << refs.error().display();
    EXPECT_EQ(*refs, (std::vector<ObjectId>{{3, 0}}));
}

TEST(DocumentGetObject, RepeatedLookupsShareOneValue) {
    PdfBuilder b = one_page_pdf("BT (Hi) Tj ET");
    b.trailer_extra = "/Info 5 0 R";
    b.add(5, "<< /Title (t) >>");
    DocPtr doc = open_ok(b.build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->info(), (ObjectId{5, 0}));
    Result<ObjPtr> first = doc->get_object({3, 0});
    ASSERT_TRUE(first.has_value());
    // The generation is carried along but never compared.
    Result<ObjPtr> second = doc->get_object({3, 7});
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(first->get(), second->get());
    EXPECT_TRUE((*first)->get("Type")->is_name("Page"));

    Result<ObjPtr> content = doc->get_object({4, 0});
    ASSERT_TRUE(content.has_value());
    ASSERT_NE((*content)->stream(), nullptr);
    EXPECT_EQ(as_chars((*content)->stream()->data), "BT (Hi) Tj ET");
    // Stream data borrows from the file's bytes.
    const Bytes file = doc->bytes();
    EXPECT_GE((*content)->stream()->data.data(), file.data());
    EXPECT_LE((*content)->stream()->data.data() + 13, file.data() + file.size());
}

TEST(DocumentGetObject, Errors) {
    PdfWriter w;
    w.object(1, kCatalog);
    w.object(2, kPages3);
    w.object(3, kPage);
    w.object(5, "(five)");
    w.object(6, "(six)");
    w.object(9, "[1 2 3]");
    const size_t nine = w.offsets[9];
    w.offsets[5] += 4;                          // at the keyword obj: the header is required
    w.offsets[6] = 1000000;                     // past the end of the file
    w.offsets[8] = nine + std::string("9 0 obj\n[").size();  // "1 2 3]": no obj keyword
    const size_t xref = w.table({1, 2, 3, 5, 6, 8, 9}, "/Size 10 /Root 1 0 R", {0, 4});
    w.startxref(xref);
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->recovered());
    const struct {
        std::uint32_t num;
        ParseError expected;
    } cases[] = {
        {5, kind(ParseErrorKind::InvalidNumber)},
        {6, kind(ParseErrorKind::UnexpectedEof)},
        {8, msg("expected 'obj' keyword")},
        {4, msg("object is free (deleted)")},
        {77, msg("object not in xref")},
        {4000000000u, msg("object not in xref")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.num);
        // Failures are not cached: the second request fails the same way.
        for (int attempt = 0; attempt < 2; ++attempt) {
            Result<ObjPtr> got = doc->get_object({c.num, 0});
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), c.expected) << got.error().display();
        }
    }
    EXPECT_EQ(int_object(*doc, 9), -1);  // an array, not an integer
    EXPECT_TRUE(doc->get_object({9, 0}).has_value());
}

// ---------------------------------------------------------------------------------------------
// Object streams

// Catalog, page tree and three integers 10, 11, 12 in object stream 20, listed by a
// cross-reference stream.
std::string objstm_file(bool compress_objstm, bool compress_xref, const std::string& extra = "") {
    PdfWriter w;
    w.object_stream(20,
                    {{1, kCatalog}, {2, kPages3}, {3, kPage}, {10, "100"}, {11, "110"}, {12, "120"}},
                    compress_objstm, extra);
    std::vector<StreamEntry> entries = w.in_use({20});
    entries.push_back({0, 0, 0, 65535});
    const std::uint32_t packed_nums[] = {1, 2, 3, 10, 11, 12};
    for (std::uint16_t i = 0; i < 6; ++i) entries.push_back({packed_nums[i], 2, 20, i});
    const size_t xref = w.xref_stream(30, entries, "/Size 31 /Root 1 0 R", compress_xref);
    w.startxref(xref);
    return w.out;
}

TEST(DocumentObjectStreams, CompressedObjectsAndXrefStreams) {
    for (bool compress_objstm : {false, true}) {
        for (bool compress_xref : {false, true}) {
            SCOPED_TRACE(::testing::Message() << compress_objstm << compress_xref);
            DocPtr doc = open_ok(objstm_file(compress_objstm, compress_xref));
            ASSERT_TRUE(doc);
            // A Flate-compressed, PNG-predicted cross-reference stream is read directly.
            EXPECT_FALSE(doc->recovered());
            EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
            EXPECT_EQ(int_object(*doc, 10), 100);
            EXPECT_EQ(int_object(*doc, 11), 110);
            EXPECT_EQ(int_object(*doc, 12), 120);
            Result<ObjPtr> a = doc->get_object({11, 0});
            Result<ObjPtr> b = doc->get_object({11, 0});
            ASSERT_TRUE(a && b);
            EXPECT_EQ(a->get(), b->get());
        }
    }
}

TEST(DocumentObjectStreams, PredictorOnObjectStream) {
    // Object streams may carry /DecodeParms too; 31 columns fit the whole data in few rows.
    PdfWriter w;
    const std::string body = std::string(kCatalog) + " " + kPages3 + " " + kPage;
    const std::string header = "1 0 2 " + std::to_string(body.find("<< /Type /Pages")) + " 3 " +
                               std::to_string(body.find("<< /Type /Page ")) + " ";
    std::string data = header + body;
    data.resize((data.size() + 30) / 31 * 31, ' ');
    w.stream(20,
             "/Type /ObjStm /N 3 /First " + std::to_string(header.size()) +
                 " /Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 31 >>",
             testing::flate(testing::png_up(data, 31)));
    std::vector<StreamEntry> entries = w.in_use({20});
    for (std::uint16_t i = 0; i < 3; ++i) entries.push_back({i + 1u, 2, 20, i});
    const size_t xref = w.xref_stream(30, entries, "/Size 31 /Root 1 0 R", true);
    w.startxref(xref);
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->recovered());
    EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
}

TEST(DocumentObjectStreams, HeaderExample) {
    // /N 3 and the header "10 0 11 5 12 9": objects at body offsets 0, 5 and 9.
    PdfWriter v;
    v.object(1, kCatalog);
    v.object(2, kPages3);
    v.object(3, kPage);
    v.stream(20, "/Type /ObjStm /N 3 /First 15", "10 0 11 5 12 9 1111 222 33");
    std::vector<StreamEntry> entries = v.in_use({1, 2, 3, 20});
    entries.push_back({10, 2, 20, 0});
    entries.push_back({11, 2, 20, 1});
    entries.push_back({12, 2, 20, 2});
    v.startxref(v.xref_stream(30, entries, "/Size 31 /Root 1 0 R", false));
    DocPtr doc = open_ok(v.out);
    ASSERT_TRUE(doc);
    EXPECT_EQ(int_object(*doc, 10), 1111);
    EXPECT_EQ(int_object(*doc, 11), 222);
    EXPECT_EQ(int_object(*doc, 12), 33);
}

TEST(DocumentObjectStreams, Errors) {
    PdfWriter w;
    w.object(1, kCatalog);
    w.object(2, kPages3);
    w.object(3, kPage);
    w.stream(20, "/Type /ObjStm /N 1 /First 4", "10 0 1010");
    w.stream(21, "/Type /ObjStm /N 5 /First 4", "10 0 1010");  // fewer pairs than /N
    w.object(22, "<< /Type /ObjStm /N 1 /First 4 >>");           // no stream
    w.stream(23, "/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", "not zlib data");
    std::vector<StreamEntry> entries = w.in_use({1, 2, 3, 20, 21, 22, 23});
    entries.push_back({10, 2, 20, 0});
    entries.push_back({11, 2, 20, 1});   // the stream does not hold 11
    entries.push_back({12, 2, 12, 0});   // a stream that is itself compressed
    entries.push_back({13, 2, 99, 0});   // a stream without entry
    entries.push_back({14, 2, 21, 0});
    entries.push_back({15, 2, 22, 0});
    entries.push_back({16, 2, 24, 0});   // 24 is free
    entries.push_back({24, 0, 0, 1});
    entries.push_back({17, 2, 23, 0});
    w.startxref(w.xref_stream(30, entries, "/Size 31 /Root 1 0 R", false));
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_EQ(int_object(*doc, 10), 1010);
    const struct {
        std::uint32_t num;
        ParseError expected;
    } cases[] = {
        {11, msg("object not found in ObjStm")},
        {12, msg("ObjStm must be uncompressed")},
        {13, msg("ObjStm not in xref")},
        {14, kind(ParseErrorKind::InvalidNumber)},
        {15, msg("expected stream after dict")},
        {16, msg("ObjStm must be uncompressed")},
        {17, msg("flate decompression failed")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.num);
        for (int attempt = 0; attempt < 2; ++attempt) {
            Result<ObjPtr> got = doc->get_object({c.num, 0});
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), c.expected) << got.error().display();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Page tree

// A catalog (1) whose /Pages is 2, plus the given objects.
Result<std::vector<ObjectId>> pages_of(const std::map<std::uint32_t, std::string>& objects,
                                       const std::string& catalog = kCatalog) {
    PdfBuilder b;
    b.add(1, catalog);
    for (const auto& [n, body] : objects) b.add(n, body);
    Result<DocPtr> doc = open_bytes(b.build());
    if (!doc) return std::unexpected(doc.error());
    return (*doc)->page_refs();
}

TEST(DocumentPageRefs, DocumentOrderAndSkippedKids) {
    // Pages(Kids: Page A, Pages(Kids: Page B, Page C), Page D), with kids that are neither
    // pages nor tree nodes mixed in.
    Result<std::vector<ObjectId>> refs = pages_of({
        {2, "<< /Type /Pages /Kids [10 0 R 3 0 R 13 0 R 14 0 R 15 0 R 16 0 R 10 2 R] >>"},
        {3, "<< /Type /Pages /Kids [11 0 R 12 0 R] >>"},
        {10, "<< /Type /Page >>"},
        {11, "<< /Type /Page >>"},
        {12, "<< /Type /Page >>"},
        {13, "<< /Type /Page /Contents 5 0 R >>"},
        {14, "<< /Contents 5 0 R >>"},          // no /Type
        {15, "<< /Type (Page) >>"},             // not a name
        {16, "42"},                             // not a dictionary
    });
    ASSERT_TRUE(refs.has_value()) << refs.error().display();
    // The same page listed twice appears twice, with the generation as written in /Kids.
    const std::vector<ObjectId> expected = {{10, 0}, {11, 0}, {12, 0}, {13, 0}, {10, 2}};
    EXPECT_EQ(*refs, expected);

    // A stream can be the catalog: only its dictionary is looked at.
    refs = pages_of({{2, kPages3}, {3, kPage}}, "<< /Type /Catalog /Pages 2 0 R /Length 0 >>\nstream\n\nendstream");
    ASSERT_TRUE(refs.has_value()) << refs.error().display();
    EXPECT_EQ(refs->size(), 1u);
}

TEST(DocumentPageRefs, Errors) {
    const struct {
        const char* what;
        std::string catalog;
        std::map<std::uint32_t, std::string> objects;
        ParseError expected;
    } cases[] = {
        {"no Pages", "<< /Type /Catalog >>", {}, msg("missing /Pages in catalog")},
        {"catalog not a dictionary", "[/Pages 2 0 R]", {}, msg("missing /Pages in catalog")},
        {"direct Pages", "<< /Pages << /Kids [] >> >>", {}, msg("/Pages must be a reference")},
        {"Pages missing", kCatalog, {}, msg("object not in xref")},
        {"root without Kids", kCatalog, {{2, "<< /Type /Pages >>"}}, msg("missing /Kids in Pages")},
        {"root Kids not array", kCatalog, {{2, "<< /Kids 3 0 R >>"}}, msg("/Kids must be an array")},
        {"integer kid", kCatalog, {{2, "<< /Kids [3] >>"}}, msg("Kid must be a reference")},
        {"kid free", kCatalog, {{2, "<< /Kids [4 0 R] >>"}, {5, "1"}}, msg("object is free (deleted)")},
        {"kid missing", kCatalog, {{2, "<< /Kids [7 0 R] >>"}}, msg("object not in xref")},
        {"inner node without Kids", kCatalog,
         {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Count 0 >>"}},
         msg("Pages node missing /Kids")},
        {"inner Kids not array", kCatalog,
         {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Kids 4 >>"}},
         msg("/Kids must be an array")},
        // A page tree that leads back to an ancestor, to the root node, or to itself.
        {"cycle", kCatalog,
         {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Kids [4 0 R] >>"},
          {4, "<< /Type /Pages /Kids [3 0 R] >>"}},
         msg("page tree cycle")},
        {"back to root", kCatalog,
         {{2, "<< /Type /Pages /Kids [3 0 R 2 0 R] >>"}, {3, "<< /Type /Page >>"}},
         msg("page tree cycle")},
        {"self", kCatalog, {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Kids [3 0 R] >>"}},
         msg("page tree cycle")},
        // A node shared by two parents would be walked twice.
        {"shared node", kCatalog,
         {{2, "<< /Kids [3 0 R 3 0 R] >>"}, {3, "<< /Type /Pages /Kids [4 0 R] >>"},
          {4, "<< /Type /Page >>"}},
         msg("page tree cycle")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Result<std::vector<ObjectId>> refs = pages_of(c.objects, c.catalog);
        ASSERT_FALSE(refs.has_value());
        EXPECT_EQ(refs.error(), c.expected) << refs.error().display();
    }
}

TEST(DocumentPageRefs, DepthBound) {
    // `levels` Pages nodes in a chain below the root node, the last one holding a page.
    auto chain = [](unsigned levels) {
        std::map<std::uint32_t, std::string> objects;
        objects[2] = "<< /Type /Pages /Kids [10 0 R] >>";
        for (unsigned i = 0; i < levels; ++i) {
            const std::uint32_t n = 10 + i;
            const std::string kid = i + 1 < levels ? std::to_string(n + 1) : "5";
            objects[n] = "<< /Type /Pages /Kids [" + kid + " 0 R] >>";
        }
        objects[5] = "<< /Type /Page >>";
        return pages_of(objects);
    };
    Result<std::vector<ObjectId>> at_bound = chain(kMaxPageTreeDepth);
    ASSERT_TRUE(at_bound.has_value()) << at_bound.error().display();
    EXPECT_EQ(*at_bound, (std::vector<ObjectId>{{5, 0}}));
    Result<std::vector<ObjectId>> beyond = chain(kMaxPageTreeDepth + 1);
    ASSERT_FALSE(beyond.has_value());
    EXPECT_EQ(beyond.error(), msg("page tree too deep"));
}

// ---------------------------------------------------------------------------------------------
// Update chains and hybrid files

// Revision 1: catalog, page tree of page 3, integers 5 and 6. Returns the writer and the
// offset of its table.
PdfWriter base_revision(size_t& xref) {
    PdfWriter w;
    w.object(1, kCatalog);
    w.object(2, kPages3);
    w.object(3, kPage);
    w.object(5, "5");
    w.object(6, "6");
    xref = w.table({1, 2, 3, 5, 6}, "/Size 7 /Root 1 0 R", {0, 4});
    w.startxref(xref);
    return w;
}

TEST(DocumentChain, TwoSections) {
    size_t first = 0;
    PdfWriter w = base_revision(first);
    // Revision 2 replaces 5, deletes 6 and adds page 4 (older readers of the last section
    // alone would lose 1, 2 and 3).
    w.object(5, "55");
    w.object(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>");
    w.object(4, kPage);
    const size_t second =
        w.table({2, 4, 5}, "/Size 7 /Root 1 0 R /Prev " + std::to_string(first), {6});
    w.startxref(second);
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->recovered());
    EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(int_object(*doc, 5), 55);
    EXPECT_EQ(doc->get_object({6, 0}).error(), msg("object is free (deleted)"));
}

TEST(DocumentChain, ThreeSectionsMixingTablesAndStreams) {
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        size_t first = 0;
        PdfWriter w = base_revision(first);
        // Revision 2: a compressed cross-reference stream and an object stream with 7.
        w.object_stream(20, {{7, "7"}, {5, "50"}}, compress);
        std::vector<StreamEntry> entries = w.in_use({20});
        entries.push_back({7, 2, 20, 0});
        entries.push_back({5, 2, 20, 1});
        const size_t second = w.xref_stream(
            30, entries, "/Size 31 /Root 1 0 R /Prev " + std::to_string(first), compress);
        w.startxref(second);
        // Revision 3: a table again, replacing 7 and with its own trailer fields.
        w.object(7, "700");
        w.object(8, "<< /Title (new) >>");
        const size_t third = w.table(
            {7, 8}, "/Size 31 /Root 1 0 R /Info 8 0 R /Prev " + std::to_string(second));
        w.startxref(third);
        DocPtr doc = open_ok(w.out);
        ASSERT_TRUE(doc);
        EXPECT_FALSE(doc->recovered());
        EXPECT_EQ(doc->info(), (ObjectId{8, 0}));
        EXPECT_EQ(int_object(*doc, 7), 700);
        EXPECT_EQ(int_object(*doc, 5), 50);
        EXPECT_EQ(int_object(*doc, 6), 6);
        EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
    }
}

TEST(DocumentChain, PrevLoopsEndTheChain) {
    {
        // A section whose /Prev is its own offset.
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(2, kPages3);
        w.object(3, kPage);
        w.object(5, "5");
        const size_t at = w.out.size();
        w.table({1, 2, 3, 5}, "/Size 6 /Root 1 0 R /Prev " + std::to_string(at), {0});
        w.startxref(at);
        DocPtr doc = open_ok(w.out);
        ASSERT_TRUE(doc);
        EXPECT_FALSE(doc->recovered());
        EXPECT_EQ(int_object(*doc, 5), 5);
    }
    {
        // Three sections, the oldest naming the newest: each is read once.
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(2, kPages3);
        w.object(3, kPage);
        w.object(5, "5");
        w.object(6, "6");
        const size_t first = w.table({1, 2, 3, 5, 6}, "/Size 7 /Root 1 0 R /Prev 0000000000");
        w.startxref(first);
        w.object(5, "55");
        const size_t second = w.table({5}, "/Size 7 /Root 1 0 R /Prev " + std::to_string(first));
        w.startxref(second);
        w.object(6, "66");
        const size_t third = w.table({6}, "/Size 7 /Root 1 0 R /Prev " + std::to_string(second));
        w.startxref(third);
        char patched[16];
        std::snprintf(patched, sizeof patched, "%010zu", third);
        w.out.replace(w.out.find("/Prev 0000000000") + 6, 10, patched);
        DocPtr doc = open_ok(w.out);
        ASSERT_TRUE(doc);
        EXPECT_FALSE(doc->recovered());
        EXPECT_EQ(int_object(*doc, 5), 55);
        EXPECT_EQ(int_object(*doc, 6), 66);
        EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
    }
}

TEST(DocumentChain, BrokenOlderSectionFallsBackToTheScan) {
    size_t first = 0;
    PdfWriter w = base_revision(first);
    w.object(5, "55");
    // /Prev points into the middle of an object: that section cannot be read.
    const size_t second = w.table({5}, "/Size 7 /Root 1 0 R /Prev " + std::to_string(first - 20));
    w.startxref(second);
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->recovered());
    EXPECT_EQ(int_object(*doc, 5), 55);  // the last header of 5 in the file
    EXPECT_EQ(int_object(*doc, 6), 6);
    EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));

    // When the scan fails too (its catalog has no /Type, so the scan cannot recognise it), the
    // sections that were read are used.
    PdfWriter v;
    v.object(1, "<< /Pages 2 0 R >>");
    v.object(2, kPages3);
    v.object(3, kPage);
    const size_t newest = v.table({1, 2, 3}, "/Size 4 /Root 1 0 R /Prev 999999");
    v.startxref(newest);
    DocPtr partial = open_ok(v.out);
    ASSERT_TRUE(partial);
    EXPECT_FALSE(partial->recovered());
    EXPECT_EQ(page_numbers(*partial), (std::vector<std::uint32_t>{3}));
}

TEST(DocumentChain, HybridFile) {
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(3, kPage);
        w.object(5, "5");
        w.object_stream(20, {{2, kPages3}, {6, "60"}, {7, "70"}}, compress);
        // The hidden stream lists 2, 6 and 7 compressed and 5 at a wrong offset; it has no
        // /Root, as usual.
        std::vector<StreamEntry> hidden = w.in_use({20});
        hidden.push_back({2, 2, 20, 0});
        hidden.push_back({6, 2, 20, 1});
        hidden.push_back({7, 2, 20, 2});
        hidden.push_back({5, 1, 3, 0});
        const size_t stm = w.xref_stream(30, hidden, "/Size 31", compress);
        // The table: in-use entries win over the stream's; its free entries for 2 and 6 are
        // how older readers are kept away from them and give way to the stream.
        const size_t table =
            w.table({1, 3, 5}, "/Size 31 /Root 1 0 R /XRefStm " + std::to_string(stm), {0, 2, 6});
        w.startxref(table);
        DocPtr doc = open_ok(w.out);
        ASSERT_TRUE(doc);
        EXPECT_FALSE(doc->recovered());
        EXPECT_EQ(int_object(*doc, 5), 5);
        EXPECT_EQ(int_object(*doc, 6), 60);
        EXPECT_EQ(int_object(*doc, 7), 70);
        EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
    }
}

TEST(DocumentChain, HybridUpdateOverOlderRevision) {
    // Revision 2 is hybrid; its stream's entry for 5 must not hide revision 3's, and its
    // compressed 6 must win over revision 1's.
    size_t first = 0;
    PdfWriter w = base_revision(first);
    w.object_stream(20, {{5, "50"}, {6, "60"}}, true);
    std::vector<StreamEntry> hidden = w.in_use({20});
    hidden.push_back({5, 2, 20, 0});
    hidden.push_back({6, 2, 20, 1});
    const size_t stm = w.xref_stream(30, hidden, "/Size 31", true);
    const size_t second = w.table({}, "/Size 31 /Root 1 0 R /XRefStm " + std::to_string(stm) +
                                          " /Prev " + std::to_string(first));
    w.startxref(second);
    w.object(5, "500");
    const size_t third =
        w.table({5}, "/Size 31 /Root 1 0 R /Prev " + std::to_string(second));
    w.startxref(third);
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->recovered());
    EXPECT_EQ(int_object(*doc, 5), 500);
    EXPECT_EQ(int_object(*doc, 6), 60);
}

// ---------------------------------------------------------------------------------------------
// Encryption

TEST(DocumentOpen, RefusesEveryEncryptEntry) {
    const std::string refused = "encrypted PDFs are not supported";
    std::vector<std::pair<std::string, std::string>> files;
    {
        PdfBuilder b = one_page_pdf("");
        b.trailer_extra = "/Encrypt 9 0 R";
        b.add(9, "<< /Filter /Standard /V 1 /R 2 >>");
        files.push_back({"reference", b.build()});
        b.trailer_extra = "/Encrypt << /Filter /Standard /V 1 /R 2 >>";
        files.push_back({"direct dictionary", b.build()});
    }
    {
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(2, kPages3);
        w.object(3, kPage);
        w.startxref(w.xref_stream(
            30, w.in_use({1, 2, 3}),
            "/Size 31 /Root 1 0 R /Encrypt << /Filter /Standard >>", true));
        files.push_back({"cross-reference stream", w.out});
    }
    {
        // Only an older section of the chain says so.
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(2, kPages3);
        w.object(3, kPage);
        w.object(9, "<< /Filter /Standard >>");
        const size_t first = w.table({1, 2, 3, 9}, "/Size 10 /Root 1 0 R /Encrypt 9 0 R");
        w.startxref(first);
        w.object(5, "5");
        w.startxref(w.table({5}, "/Size 10 /Root 1 0 R /Prev " + std::to_string(first)));
        files.push_back({"older section", w.out});
    }
    {
        // Only the hidden stream of a hybrid file says so.
        PdfWriter w;
        w.object(1, kCatalog);
        w.object(2, kPages3);
        w.object(3, kPage);
        const size_t stm = w.xref_stream(30, {}, "/Size 31 /Encrypt 9 0 R", false);
        w.startxref(w.table({1, 2, 3}, "/Size 31 /Root 1 0 R /XRefStm " + std::to_string(stm)));
        files.push_back({"hybrid stream", w.out});
    }
    {
        // The cross-reference is damaged, but the trailer the scan finds has /Encrypt.
        PdfBuilder b = one_page_pdf("");
        b.trailer_extra = "/Encrypt << /Filter /Standard >>";
        std::string f = b.build();
        f.replace(f.rfind("startxref\n") + 10, 1, "9");
        files.push_back({"damaged with trailer", f});
    }
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        Result<DocPtr> doc = open_bytes(file);
        ASSERT_FALSE(doc.has_value());
        EXPECT_EQ(doc.error().display(), refused);
    }
}

// ---------------------------------------------------------------------------------------------
// Fall-back to the recovery scan

TEST(DocumentOpen, BadCrossReferenceUsesTheScan) {
    const std::string good = one_page_pdf("BT ET").build();
    const size_t sx = good.rfind("startxref\n") + 10;
    const size_t eol = good.find('\n', sx);
    auto with_offset = [&](const std::string& offset) {
        return good.substr(0, sx) + offset + good.substr(eol);
    };
    const struct {
        const char* what;
        std::string file;
    } cases[] = {
        {"offset past the end", with_offset("99999999")},
        {"offset at plain text", with_offset("0")},
        {"offset on white space before xref", with_offset(std::to_string(good.rfind("xref\n0 ") - 1))},
        {"offset beyond 64 bits", with_offset("99999999999999999999999")},
        {"no startxref", good.substr(0, good.rfind("startxref"))},
        // A table numbered from 1 instead of 0: every entry is one object off, which the
        // root's header shows.
        {"table numbered from 1", [&] {
             std::string f = good;
             f.replace(f.find("xref\n0 "), 7, "xref\n1 ");
             return f;
         }()},
        // Bytes in front of the header shift every offset.
        {"junk in front", "GARBAGE LINE\n" + good},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DocPtr doc = open_ok(c.file);
        ASSERT_TRUE(doc);
        EXPECT_TRUE(doc->recovered());
        EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
        Result<ObjPtr> content = doc->get_object({4, 0});
        ASSERT_TRUE(content.has_value());
        EXPECT_EQ(as_chars((*content)->stream()->data), "BT ET");
    }
    // Nothing to rebuild from.
    for (const std::string& hopeless : {std::string(), std::string("%PDF-1.7\nhello\n")}) {
        Result<DocPtr> doc = open_bytes(hopeless);
        ASSERT_FALSE(doc.has_value());
        EXPECT_EQ(doc.error(), msg("recovery: could not find Catalog root"));
    }
}

TEST(DocumentOpen, DamagedModernFile) {
    // Catalog and pages live only in a compressed object stream and the cross-reference stream
    // cannot be found: the scan indexes the object stream.
    std::string file = objstm_file(true, true);
    file.replace(file.rfind("startxref\n") + 10, 1, "1");
    DocPtr doc = open_ok(file);
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->recovered());
    EXPECT_EQ(page_numbers(*doc), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(int_object(*doc, 12), 120);
    ASSERT_NE(doc->entries().find(12), nullptr);
    EXPECT_EQ(doc->entries().find(12)->kind, XrefKind::Compressed);
}

// ---------------------------------------------------------------------------------------------
// Threads

TEST(DocumentConcurrency, ParallelLookupsAgree) {
    // Many objects, some in object streams, looked up from several threads at once.
    PdfWriter w;
    std::vector<std::pair<std::uint32_t, std::string>> packed;
    std::string kids;
    std::vector<std::uint32_t> direct = {1, 2};
    for (std::uint32_t n = 100; n < 300; ++n) {
        w.object(n, "<< /Type /Page /N " + std::to_string(n) + " >>");
        direct.push_back(n);
        kids += std::to_string(n) + " 0 R ";
    }
    for (std::uint32_t s = 0; s < 10; ++s) {
        packed.clear();
        for (std::uint32_t i = 0; i < 20; ++i) {
            const std::uint32_t n = 1000 + s * 20 + i;
            packed.push_back({n, std::string("[") + std::to_string(n) + " (x)]"});
        }
        w.object_stream(500 + s, packed, true);
        direct.push_back(500 + s);
    }
    w.object(1, kCatalog);
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    std::vector<StreamEntry> entries = w.in_use(direct);
    for (std::uint32_t s = 0; s < 10; ++s) {
        for (std::uint16_t i = 0; i < 20; ++i) entries.push_back({1000 + s * 20 + i, 2, 500 + s, i});
    }
    w.startxref(w.xref_stream(600, entries, "/Size 601 /Root 1 0 R", true));
    DocPtr doc = open_ok(w.out);
    ASSERT_TRUE(doc);

    constexpr int kThreads = 8;
    // Each thread walks the 400 numbers in its own order.
    auto num_at = [](int t, std::uint32_t k) {
        const std::uint32_t i = (k * 7 + static_cast<std::uint32_t>(t) * 53) % 400;
        return i < 200 ? 100 + i : 1000 + (i - 200);
    };
    std::vector<std::vector<ObjPtr>> seen(kThreads);
    std::vector<size_t> page_counts(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t k = 0; k < 400; ++k) {
                Result<ObjPtr> obj = doc->get_object({num_at(t, k), 0});
                seen[t].push_back(obj ? *obj : nullptr);
            }
            Result<std::vector<ObjectId>> refs = doc->page_refs();
            page_counts[t] = refs ? refs->size() : 0;
        });
    }
    for (std::thread& th : threads) th.join();
    // A thread that lost a race to insert got the winner's value: every thread holds the very
    // object that a lookup returns now.
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(page_counts[t], 200u);
        for (std::uint32_t k = 0; k < 400; ++k) {
            Result<ObjPtr> now = doc->get_object({num_at(t, k), 0});
            ASSERT_TRUE(now.has_value());
            EXPECT_EQ(seen[t][k].get(), now->get()) << num_at(t, k);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Files on disk

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/vellix_document_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const std::string& content) const {
        const std::filesystem::path p = path / name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
};

TEST(DocumentOpen, FromPath) {
    TempDir dir;
    const std::string pdf = dir.write("one.pdf", one_page_pdf("BT ET").build());
    Result<DocPtr> doc = Document::open(pdf);
    ASSERT_TRUE(doc.has_value()) << doc.error().display();
    EXPECT_EQ(page_numbers(**doc), (std::vector<std::uint32_t>{3}));

    const struct {
        const char* what;
        std::string path;
        const char* expected;
    } cases[] = {
        {"missing", (dir.path / "absent.pdf").string(), "cannot open file"},
        {"zero length", dir.write("empty.pdf", ""), "cannot mmap file"},
        {"directory", dir.path.string(), "cannot mmap file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Result<DocPtr> bad = Document::open(c.path);
        ASSERT_FALSE(bad.has_value());
        EXPECT_EQ(bad.error(), msg(c.expected));
    }
}

TEST(MappedFile, MovesKeepTheBytes) {
    MappedFile a = MappedFile::from_vector_for_testing(testing::to_vec("abc"));
    const Bytes before = a.bytes();
    MappedFile b(std::move(a));
    EXPECT_EQ(b.bytes().data(), before.data());
    EXPECT_EQ(as_chars(b.bytes()), "abc");
    EXPECT_TRUE(a.bytes().empty());  // NOLINT: moved-from is empty by contract
    MappedFile c;
    c = std::move(b);
    EXPECT_EQ(as_chars(c.bytes()), "abc");

    TempDir dir;
    Result<MappedFile> mapped = MappedFile::open(dir.write("x.pdf", "hello"));
    ASSERT_TRUE(mapped.has_value());
    MappedFile moved = std::move(*mapped);
    EXPECT_EQ(as_chars(moved.bytes()), "hello");
}

// ---------------------------------------------------------------------------------------------
// Real files

std::filesystem::path source_dir() {
    if (const char* env = std::getenv("VELLIX_SOURCE")) return env;
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

std::filesystem::path corpus_dir() {
    if (const char* env = std::getenv("VELLIX_CORPUS")) return env;
    return source_dir() / ".." / "shared" / "corpus";
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decoded content streams of each page, joined.
std::vector<std::string> page_contents(const Document& doc) {
    std::vector<std::string> out;
    Result<std::vector<ObjectId>> refs = doc.page_refs();
    if (!refs) return out;
    for (ObjectId id : *refs) {
        std::string text;
        Result<ObjPtr> page = doc.get_object(id);
        const PdfObject* contents = page ? (*page)->get("Contents") : nullptr;
        std::vector<ObjectId> streams;
        if (contents && contents->as_ref()) streams.push_back(*contents->as_ref());
        if (contents && contents->array()) {
            for (const PdfObject& c : *contents->array()) {
                if (c.as_ref()) streams.push_back(*c.as_ref());
            }
        }
        for (ObjectId s : streams) {
            Result<ObjPtr> obj = doc.get_object(s);
            if (!obj || !(*obj)->stream()) continue;
            const PdfObject* filter = (*obj)->get("Filter");
            const Bytes raw = (*obj)->stream()->data;
            Result<ByteVec> decoded = filter ? decompress_stream(raw, *filter)
                                             : Result<ByteVec>(ByteVec(raw.begin(), raw.end()));
            if (decoded) text.append(decoded->begin(), decoded->end());
            text += "\n";
        }
        out.push_back(std::move(text));
    }
    return out;
}

TEST(DocumentModernVariants, SamePagesAsTheClassicOriginal) {
    // Each original has a classic table; its variants were written with qpdf: object streams
    // and cross-reference streams (--object-streams=generate), linearized (--linearize), or
    // both. Object numbers change, so pages are compared by their decoded content.
    const std::filesystem::path data = source_dir() / "tests" / "data";
    if (!std::filesystem::exists(data / "vertical.pdf")) GTEST_SKIP() << "no " << data;
    const struct {
        const char* name;
        size_t pages;
    } originals[] = {{"vertical", 3}, {"test-punkt", 4}, {"standard_fonts", 14}};
    size_t variants = 0;
    for (const auto& o : originals) {
        SCOPED_TRACE(o.name);
        DocPtr original = open_ok(read_file(data / (std::string(o.name) + ".pdf")));
        ASSERT_TRUE(original);
        EXPECT_FALSE(original->recovered());
        const std::vector<std::string> expected = page_contents(*original);
        ASSERT_EQ(expected.size(), o.pages);
        for (const char* kind : {"objstm", "linearized", "linearized-objstm"}) {
            const auto path = data / (std::string(o.name) + "." + kind + ".pdf");
            if (!std::filesystem::exists(path)) continue;
            SCOPED_TRACE(kind);
            ++variants;
            const std::string bytes = read_file(path);
            DocPtr doc = open_ok(bytes);
            ASSERT_TRUE(doc);
            EXPECT_FALSE(doc->recovered());
            EXPECT_EQ(page_contents(*doc), expected);

            // The same file with its startxref offset broken opens through the scan, which
            // must find the catalog and pages inside the object streams.
            std::string damaged = bytes;
            damaged.replace(damaged.rfind("startxref") + 9, 1, "\n1");
            DocPtr rebuilt = open_ok(damaged);
            ASSERT_TRUE(rebuilt);
            EXPECT_TRUE(rebuilt->recovered());
            EXPECT_EQ(page_contents(*rebuilt), expected);
        }
    }
    EXPECT_EQ(variants, 7u);
}

// Splits a line of tab-separated values.
std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t') out.emplace_back(); else out.back() += c;
    }
    return out;
}

TEST(DocumentCorpus, OpensAsTheManifestSays) {
    // Files that qpdf checks clean list as many pages as the manifest says; encrypted files
    // are refused; every object of every other file can be asked for without a crash.
    const std::filesystem::path dir = corpus_dir();
    std::ifstream manifest(dir / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "no corpus at " << dir;
    std::string line;
    std::getline(manifest, line);
    const std::vector<std::string> header = split_tabs(line);
    auto column = [&](const char* name) {
        return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
    };
    const size_t c_path = column("path"), c_pages = column("pages"),
                 c_encrypted = column("encrypted"), c_check = column("qpdf_check");
    ASSERT_LT(std::max({c_path, c_pages, c_encrypted, c_check}), header.size());
    size_t files = 0, checked_pages = 0;
    while (std::getline(manifest, line)) {
        const std::vector<std::string> row = split_tabs(line);
        if (row.size() < header.size()) continue;
        SCOPED_TRACE(row[c_path]);
        ++files;
        Result<DocPtr> doc = Document::open((dir / row[c_path]).string());
        if (row[c_encrypted] == "yes") {
            ASSERT_FALSE(doc.has_value());
            EXPECT_EQ(doc.error().display(), "encrypted PDFs are not supported");
            continue;
        }
        if (!doc) {
            EXPECT_NE(row[c_check], "ok") << doc.error().display();
            continue;
        }
        const Document& d = **doc;
        d.entries().for_each([&](std::uint32_t num, const XrefEntry&) { (void)d.get_object({num, 0}); });
        Result<std::vector<ObjectId>> refs = d.page_refs();
        if (row[c_check] == "ok" && !row[c_pages].empty()) {
            ASSERT_TRUE(refs.has_value()) << refs.error().display();
            EXPECT_EQ(std::to_string(refs->size()), row[c_pages]);
            ++checked_pages;
        }
    }
    EXPECT_GT(files, 0u);
    EXPECT_GT(checked_pages, 0u);
}

}  // namespace
}  // namespace vellix
