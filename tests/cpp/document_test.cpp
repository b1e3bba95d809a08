// Opening documents, object lookup and its caches, object streams, the page tree, update
// chains, hybrid files, where encryption is found and the fall-back to the recovery scan.
#include "document.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "test_pdf.h"

namespace vellix {
namespace {

using testing::one_page_pdf, testing::open_bytes, testing::PdfBuilder, testing::PdfWriter, testing::StreamEntry;
using Nums = std::vector<std::uint32_t>;
using Ints = std::map<std::uint32_t, std::int64_t>;
using Pages = Result<std::vector<ObjectId>>;

ParseError msg(const char* text) { return ParseError::message(text); }
ParseError kind(ParseErrorKind k) { return ParseError::of(k); }

const char* kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const char* kPages3 = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
const char* kPage = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>";

// A writer holding the catalog 1, the page tree 2 and its page 3.
PdfWriter three_objects() {
    PdfWriter w;
    for (auto [num, body] : {std::pair{1u, kCatalog}, {2u, kPages3}, {3u, kPage}}) w.object(num, body);
    return w;
}

std::int64_t int_of(const Result<ObjPtr>& obj) { return obj && (*obj)->as_int() ? *(*obj)->as_int() : -1; }

// Opens `file`, checks its recovery flag, pages and integer objects (-1: unreadable).
DocPtr expect_doc(const std::string& file, bool recovered, const Nums& pages, const Ints& ints = {}) {
    Result<DocPtr> doc = open_bytes(file);
    EXPECT_TRUE(doc.has_value()) << doc.error().display();
    if (!doc) return nullptr;
    EXPECT_EQ((*doc)->recovered(), recovered);
    Nums nums;
    for (ObjectId id : (*doc)->page_refs().value_or(std::vector<ObjectId>{})) nums.push_back(id.num);
    EXPECT_EQ(nums, pages);
    for (const auto& [num, value] : ints) EXPECT_EQ(int_of((*doc)->get_object({num, 0})), value) << "object " << num;
    return std::move(*doc);
}

// Each request fails with its error, and fails the same way again.
void expect_lookup_errors(const Document& doc, const std::vector<std::pair<std::uint32_t, ParseError>>& cases) {
    for (int attempt = 0; attempt < 2; ++attempt)
        for (const auto& [num, expected] : cases) EXPECT_EQ(doc.get_object({num, 0}), std::unexpected(expected)) << num;
}

// --- Opening and lookup

TEST(DocumentGetObject, LookupsAndResolving) {
    // Node 2 gives Resources and Rotate to page 3, whose MediaBox wins; 7 <-> 8 loop, 9 -> 10.
    PdfBuilder b = one_page_pdf("BT (Hi) Tj ET", "", {{7, "8 0 R"}, {8, "7 0 R"}, {9, "10 0 R"}, {10, "<< /K 1 >>"}});
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources 6 0 R /Rotate 90 /Parent 2 0 R >>")
        .add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R /MediaBox [0 0 10 20] >>");
    b.add(5, "<< /Title (t) >>").add(6, "<< /Font << >> >>").trailer_extra = "/Info 5 0 R";
    DocPtr doc = expect_doc(b.build(), false, {3});
    ASSERT_TRUE(doc);
    EXPECT_EQ(std::tuple(doc->root(), doc->size(), doc->info()), std::tuple(ObjectId{1, 0}, 11u, ObjectId{5, 0}));
    // The generation is carried along but never compared; lookups share one value.
    EXPECT_EQ(doc->get_object({3, 0})->get(), doc->get_object({3, 7})->get());
    // Stream data borrows from the file's bytes.
    const Bytes data = (*doc->get_object({4, 0}))->stream()->data, file = doc->bytes();
    EXPECT_EQ(as_chars(data), "BT (Hi) Tj ET");
    EXPECT_TRUE(data.data() >= file.data() && data.data() + data.size() <= file.data() + file.size());
    const ObjPtr page = *doc->get_object({3, 0});
    const PdfObject ref9 = ObjectId{9, 0}, ref7 = ObjectId{7, 0}, null_obj;
    // A loop ends as missing, null counts as missing.
    EXPECT_TRUE(doc->resolve(&ref9)->get("K")->as_int() == 1 && !doc->resolve(&ref7) && !doc->resolve(&null_obj));
    EXPECT_EQ(std::tuple(doc->page_attribute(*page, "MediaBox")->array()->size(), doc->page_attribute(*page, "Rotate")->as_int()),
              std::tuple(4u, 90));
    // The Parent loop at node 2 ends the search for CropBox.
    EXPECT_TRUE(doc->page_attribute(*page, "Resources")->get("Font") && !doc->page_attribute(*page, "CropBox"));
}

// --- Object streams

// Catalog, pages and integers 10 to 12 in object stream 20 (kind 0 stored, 1 compressed, 2
// predicted over 31 columns), listed by a cross-reference stream.
std::string objstm_file(int objstm_kind, bool compress_xref, const std::string& trailer_extra = "") {
    PdfWriter w;
    w.object_stream(20, {{1, kCatalog}, {2, kPages3}, {3, kPage}, {10, "100"}, {11, "110"}, {12, "120"}},
                    /*compress=*/objstm_kind > 0, /*columns=*/objstm_kind == 2 ? 31 : 0);
    std::vector<StreamEntry> entries = w.in_use({20});
    entries.push_back({0, 0, 0, 65535});
    for (std::uint16_t i = 0; i < 6; ++i) entries.push_back({std::array{1u, 2u, 3u, 10u, 11u, 12u}[i], 2, 20, i});
    w.startxref(w.xref_stream(30, entries, "/Size 31 /Root 1 0 R" + trailer_extra, compress_xref));
    return w.out;
}

// An object stream that lists 13 and 14 twice each: the later 13 does not parse, the later 14 does.
std::string objstm_repeats() {
    PdfWriter w;
    w.object_stream(20, {{1, kCatalog}, {2, kPages3}, {3, kPage}, {13, "130"}, {14, "1"}, {13, ")"}, {14, "140"}}, true);
    std::vector<StreamEntry> entries = w.in_use({20});
    for (std::uint16_t i = 0; i < 5; ++i) entries.push_back({std::array{1u, 2u, 3u, 13u, 14u}[i], 2, 20, i});
    w.startxref(w.xref_stream(30, entries, "/Size 31 /Root 1 0 R", true));
    return w.out;
}

TEST(DocumentGetObject, ErrorsAndSharedOffsets) {
    PdfWriter w = three_objects();
    for (auto [num, body] : {std::pair{5u, "(five)"}, {6u, "(six)"}, {9u, "[1 2 3]"}}) w.object(num, body);
    // 5 at the keyword obj (the header is required), 6 past the end of the file.
    w.offsets[5] += 4, w.offsets[6] = 1000000;
    w.offsets[8] = w.offsets[9] + std::string("9 0 obj\n[").size();  // "1 2 3]": no obj keyword
    w.stream(20, "/Type /ObjStm /N 1 /First 4", "10 0 1010");
    w.stream(21, "/Type /ObjStm /N 5 /First 4", "10 0 1010");  // fewer pairs than /N
    w.object(22, "<< /Type /ObjStm /N 1 /First 4 >>");           // no stream
    w.stream(23, "/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", "not zlib data");
    w.stream(25, "/Type /ObjStm /N 2 /First 10 /Filter /FlateDecode", testing::flate("50 0 51 4 100 110"));
    std::vector<StreamEntry> entries = w.in_use({1, 2, 3, 5, 6, 8, 9, 20, 21, 22, 23, 25});
    // 41 and 42 name the offset of 9, object stream 26 that of 25: a table can name one offset
    // under thousands of numbers, which must not cost a parse (or a decompression) each; 43
    // names an offset that cannot be read, and fails as 5 does.
    for (auto [alias, of] : {std::pair{41u, 9u}, {42u, 9u}, {43u, 5u}, {26u, 25u}}) entries.push_back({alias, 1, static_cast<std::uint32_t>(w.offsets[of]), 0});
    // 4 is free, 11 is not in the stream, 12's stream is itself compressed, 13's has no entry, 16's is free.
    entries.insert(entries.end(), {{10, 2, 20, 0}, {11, 2, 20, 1}, {12, 2, 12, 0}, {13, 2, 99, 0}, {14, 2, 21, 0}, {15, 2, 22, 0},
                                   {16, 2, 24, 0}, {24, 0, 0, 1}, {17, 2, 23, 0}, {4, 0, 0, 1}, {50, 2, 25, 0}, {51, 2, 26, 1}});
    w.startxref(w.xref_stream(30, entries, "/Size 31 /Root 1 0 R", false));
    DocPtr doc = expect_doc(w.out, false, {3}, {{10, 1010}, {50, 100}, {51, 110}});
    ASSERT_TRUE(doc);
    for (std::uint32_t alias : {41u, 42u}) EXPECT_EQ(doc->get_object({alias, 0})->get(), doc->get_object({9, 0})->get());
    // 50 and 51 come from one split of the stream: their pointers share its ownership.
    const ObjPtr fifty = *doc->get_object({50, 0}), fifty_one = *doc->get_object({51, 0});
    EXPECT_FALSE(fifty.owner_before(fifty_one) || fifty_one.owner_before(fifty));
    const ParseError compressed = msg("ObjStm must be uncompressed"), number = kind(ParseErrorKind::InvalidNumber), not_in_xref = msg("object not in xref");
    expect_lookup_errors(*doc, {{11, msg("object not found in ObjStm")}, {12, compressed}, {13, msg("ObjStm not in xref")}, {14, number},
                                {15, msg("expected stream after dict")}, {16, compressed}, {17, msg("flate decompression failed")}, {5, number},
                                {6, kind(ParseErrorKind::UnexpectedEof)}, {8, msg("expected 'obj' keyword")}, {4, msg("object is free (deleted)")},
                                {77, not_in_xref}, {4000000000u, not_in_xref}, {43, number}});
}

TEST(DocumentObjectStreams, PagesInABrokenObjectStream) {
    // 2000 pages draw content from an object stream that inflates to 16 MiB of no object
    // (fuzz/regressions/document/pages-in-a-broken-object-stream.pdf): inflated once, not per page.
    std::string bomb = testing::flate(std::string(size_t{16} << 20, ' '));
    bomb.replace(bomb.size() - 8, 8, 8, '\xff');
    PdfWriter w;
    w.object(1, kCatalog);
    std::string kids;
    Nums nums = {1, 2, 20};
    for (std::uint32_t n = 100; n < 2100; ++n) kids += std::to_string(n) + " 0 R ", w.object(n, "<< /Type /Page /Contents 40 0 R >>"), nums.push_back(n);
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    w.stream(20, "/Type /ObjStm /N 1 /First 5 /Filter /FlateDecode", bomb);
    std::vector<StreamEntry> entries = w.in_use(nums);
    entries.push_back({40, 2, 20, 0});
    w.startxref(w.xref_stream(3000, entries, "/Size 3001 /Root 1 0 R", false));
    DocPtr doc = expect_doc(w.out, false, Nums(nums.begin() + 3, nums.end()));
    ASSERT_TRUE(doc);
    const Result<ObjPtr> first = doc->get_object({40, 0});
    ASSERT_FALSE(first);
    const std::vector<ObjectId> pages = doc->page_refs().value();
    for (const ObjectId& page : pages) ASSERT_EQ(doc->get_object(*(*doc->get_object(page))->get("Contents")->as_ref()), first);
}

// --- Page tree

TEST(DocumentPageRefs, WalkAndErrors) {
    using Objects = std::map<std::uint32_t, std::string>;
    const std::string page = "<< /Type /Page >>", node = "<< /Type /Pages /Kids [";
    // `levels` Pages nodes in a chain below the root node, the last one holding page 5.
    auto chain = [&](unsigned levels) {
        Objects objects = {{2, node + "10 0 R] >>"}, {5, kPage}};
        for (std::uint32_t n = 10; n < 10 + levels; ++n) objects[n] = node + std::to_string(n + 1 < 10 + levels ? n + 1 : 5) + " 0 R] >>";
        return objects;
    };
    auto fail = [](const char* text) -> Pages { return std::unexpected(msg(text)); };
    const Pages not_array = fail("/Kids must be an array"), missing = fail("object not in xref"), no_pages = fail("missing /Pages in catalog");
    using P = std::vector<ObjectId>;
    const struct { const char* what; Objects objects; Pages expected; std::string catalog = kCatalog; } cases[] = {
        // Pages(Kids: Page A, Pages(Kids: Page B, Page C), Page D), with kids that are neither
        // pages nor tree nodes mixed in: no /Type, a /Type that is no name, no dictionary. A
        // page listed again (with another generation) is listed once, at its first place.
        {"order", {{2, node + "10 0 R 3 0 R 13 0 R 14 0 R 15 0 R 16 0 R 10 2 R] >>"}, {3, node + "11 0 R 12 1 R] >>"}, {10, page},
                   {11, page}, {12, page}, {13, "<< /Type /Page /Contents 5 0 R >>"}, {14, "<< /Contents 5 0 R >>"},
                   {15, "<< /Type (Page) >>"}, {16, "42"}}, P{{10, 0}, {11, 0}, {12, 1}, {13, 0}}},
        // A tree that leads back to an ancestor, to the root node or to itself, and a node
        // shared by two parents: the walk passes over what it met before and goes on.
        {"cycle", {{2, node + "3 0 R 5 0 R] >>"}, {3, node + "4 0 R] >>"}, {4, node + "3 0 R 6 0 R] >>"},
                   {5, page}, {6, page}}, P{{6, 0}, {5, 0}}},
        {"back to root", {{2, node + "3 0 R 2 0 R 4 0 R] >>"}, {3, page}, {4, page}}, P{{3, 0}, {4, 0}}},
        {"self", {{2, "<< /Kids [3 0 R] >>"}, {3, node + "3 0 R 4 0 R] >>"}, {4, page}}, P{{4, 0}}},
        {"shared node", {{2, "<< /Kids [3 0 R 5 0 R 3 0 R] >>"}, {3, node + "4 0 R] >>"}, {4, page}, {5, page}}, P{{4, 0}, {5, 0}}},
        // A stream can be the catalog: only its dictionary is looked at.
        {"stream catalog", {{2, kPages3}, {3, kPage}}, P{{3, 0}}, "<< /Type /Catalog /Pages 2 0 R /Length 0 >>\nstream\n\nendstream"},
        {"deepest tree", chain(kMaxPageTreeDepth), P{{5, 0}}}, {"too deep", chain(kMaxPageTreeDepth + 1), fail("page tree too deep")},
        {"loop without a page", {{2, "<< /Kids [3 0 R] >>"}, {3, node + "4 0 R] >>"}, {4, node + "3 0 R] >>"}}, fail("page tree cycle")},
        {"no Pages", {}, no_pages, "<< /Type /Catalog >>"}, {"catalog not a dictionary", {}, no_pages, "[/Pages 2 0 R]"},
        {"direct Pages", {}, fail("/Pages must be a reference"), "<< /Pages << /Kids [] >> >>"},
        {"Pages missing", {}, missing}, {"root without Kids", {{2, "<< /Type /Pages >>"}}, fail("missing /Kids in Pages")},
        {"root Kids not array", {{2, "<< /Kids 3 0 R >>"}}, not_array},
        {"integer kid", {{2, "<< /Kids [3] >>"}}, fail("Kid must be a reference")}, {"kid free", {{2, "<< /Kids [4 0 R] >>"}, {5, "1"}}, fail("object is free (deleted)")},
        {"kid missing", {{2, "<< /Kids [7 0 R] >>"}}, missing}, {"inner node without Kids", {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Count 0 >>"}}, fail("Pages node missing /Kids")},
        {"inner Kids not array", {{2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Pages /Kids 4 >>"}}, not_array},
    };
    for (const auto& c : cases) {
        PdfBuilder b;
        for (const auto& [n, body] : c.objects) b.add(n, body);
        EXPECT_EQ(open_bytes(b.add(1, c.catalog).build()).value()->page_refs(), c.expected) << c.what;
    }
}

// --- Files that open: update chains, hybrid files, object streams and the recovery scan

std::string prev(size_t offset) { return " /Prev " + std::to_string(offset); }

// Revision 1: catalog, page tree of page 3, integers 5, 6, 9, 10; `xref` is its table's offset.
PdfWriter base_revision(size_t& xref, const std::string& trailer_extra) {
    PdfWriter w = three_objects();
    for (std::uint32_t num : {5, 6, 9, 10}) w.object(num, std::to_string(num));
    w.startxref(xref = w.table({1, 2, 3, 5, 6, 9, 10}, "/Size 11 /Root 1 0 R" + trailer_extra, {0, 4}));
    return w;
}

// Four revisions: a table, a cross-reference stream, a hybrid table and a table again.
std::string update_chain(bool compress, const std::string& oldest_trailer_extra = "") {
    size_t first = 0;
    PdfWriter w = base_revision(first, oldest_trailer_extra);
    // Revision 2 brings 7 and new 5 and 10 in an object stream: newer sections win, whatever kind.
    w.object_stream(20, {{7, "7"}, {5, "50"}, {10, "100"}}, compress);
    std::vector<StreamEntry> entries = w.in_use({20});
    entries.insert(entries.end(), {{7, 2, 20, 0}, {5, 2, 20, 1}, {10, 2, 20, 2}});
    const size_t second = w.xref_stream(30, entries, "/Size 31 /Root 1 0 R" + prev(first), compress);
    w.startxref(second);
    // Revision 3 is hybrid: its stream's entry for 5 must not hide revision 4's, and its
    // compressed 6 must win over revision 1's.
    w.object_stream(21, {{5, "5000"}, {6, "60"}}, compress);
    std::vector<StreamEntry> hidden = w.in_use({21});
    hidden.insert(hidden.end(), {{5, 2, 21, 0}, {6, 2, 21, 1}});
    const size_t stm = w.xref_stream(32, hidden, "/Size 33", compress);
    const size_t third = w.table({}, "/Size 33 /Root 1 0 R /XRefStm " + std::to_string(stm) + prev(second));
    w.startxref(third);
    // Revision 4 replaces 5 and 7, deletes 9, adds page 4 and has trailer fields of its own.
    for (auto [num, body] : {std::pair{5u, "500"}, {7u, "700"}, {2u, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>"}, {4u, kPage},
                             {8u, "<< /Title (new) >>"}}) w.object(num, body);
    w.startxref(w.table({2, 4, 5, 7, 8}, "/Size 33 /Root 1 0 R /Info 8 0 R" + prev(third), {9}));
    return w.out;
}

std::string prev_loops(bool to_itself) {
    PdfWriter w = three_objects();
    w.object(5, "5"), w.object(6, "6");
    if (to_itself) {  // a section whose /Prev is its own offset
        const size_t at = w.out.size();
        w.startxref(w.table({1, 2, 3, 5, 6}, "/Size 7 /Root 1 0 R" + prev(at), {0}));
        return w.out;
    }
    // Three sections, the oldest naming the newest: each is read once.
    auto section = [&](const std::vector<std::uint32_t>& nums, const std::string& extra) {
        const size_t at = w.table(nums, "/Size 7 /Root 1 0 R" + extra);
        return w.startxref(at), at;
    };
    const size_t first = section({1, 2, 3, 5, 6}, " /Prev 0000000000");
    w.object(5, "55");
    const size_t second = section({5}, prev(first));
    w.object(6, "66");
    const size_t third = section({6}, prev(second));
    const std::string patched = std::to_string(third);
    w.out.replace(w.out.find("/Prev 0000000000") + 16 - patched.size(), patched.size(), patched);
    return w.out;
}

std::string broken_older_section(bool scan_fails) {
    size_t first = 0;
    PdfWriter w = base_revision(first, "");
    w.object(5, "55");
    // /Prev points into an object: that section cannot be read; the scan takes the last 5.
    w.startxref(w.table({5}, "/Size 7 /Root 1 0 R" + prev(first - 20)));
    if (!scan_fails) return w.out;
    // When the scan fails too (a catalog without /Type), the sections that were read are used.
    w = PdfWriter();
    for (auto [num, body] : {std::pair{1u, "<< /Pages 2 0 R >>"}, {2u, kPages3}, {3u, kPage}}) w.object(num, body);
    w.startxref(w.table({1, 2, 3}, "/Size 4 /Root 1 0 R /Prev 999999"));
    return w.out;
}

std::string hybrid(bool compress, const std::string& hidden_extra = "") {
    PdfWriter w;
    for (auto [num, body] : {std::pair{1u, kCatalog}, {3u, kPage}, {5u, "5"}}) w.object(num, body);
    w.object_stream(20, {{2, kPages3}, {6, "60"}, {7, "70"}}, compress);
    // The hidden stream (without /Root, as usual) lists 2, 6, 7 compressed and 5 at a wrong offset.
    std::vector<StreamEntry> hidden = w.in_use({20});
    hidden.insert(hidden.end(), {{2, 2, 20, 0}, {6, 2, 20, 1}, {7, 2, 20, 2}, {5, 1, 3, 0}});
    const size_t stm = w.xref_stream(30, hidden, "/Size 31" + hidden_extra, compress);
    // The table: in-use entries win over the stream's; its free entries for 2 and 6 are how
    // older readers are kept away from them and give way to the stream.
    w.startxref(w.table({1, 3, 5}, "/Size 31 /Root 1 0 R /XRefStm " + std::to_string(stm), {0, 2, 6}));
    return w.out;
}

TEST(DocumentOpen, FilesAndWhatTheyHold) {
    const std::string good = one_page_pdf("BT ET").build();
    auto with_offset = [&](const std::string& offset) { return good.substr(0, good.rfind("startxref\n") + 10) + offset + "\n%%EOF\n"; };
    std::string from_one = good, modern = objstm_file(1, true);
    from_one.replace(from_one.find("xref\n0 "), 7, "xref\n1 ");
    modern.replace(modern.rfind("startxref\n") + 10, 1, "1");
    const Ints three_ints = {{10, 100}, {11, 110}, {12, 120}};
    const struct { const char* what; std::string file; bool recovered; Nums pages; Ints ints; bool bt_et = false; } cases[] = {
        // Object streams listed by a cross-reference stream, stored or compressed and predicted.
        {"objstm 0 0", objstm_file(0, false), false, {3}, three_ints}, {"objstm 1 0", objstm_file(1, false), false, {3}, three_ints},
        {"objstm 2 1", objstm_file(2, true), false, {3}, three_ints}, {"objstm 1 1", objstm_file(1, true), false, {3}, three_ints},
        {"objstm numbers listed twice", objstm_repeats(), false, {3}, {{13, 130}, {14, 140}}},
        {"update chain", update_chain(false), false, {3, 4}, {{5, 500}, {6, 60}, {7, 700}, {9, -1}, {10, 100}}},
        {"update chain, compressed", update_chain(true), false, {3, 4}, {{5, 500}, {6, 60}, {7, 700}, {10, 100}}},
        {"Prev to itself", prev_loops(true), false, {3}, {{5, 5}, {6, 6}}}, {"Prev loop", prev_loops(false), false, {3}, {{5, 55}, {6, 66}}},
        {"broken older section", broken_older_section(false), true, {3}, {{5, 55}, {6, 6}, {10, 10}}}, {"broken older section, scan fails", broken_older_section(true), false, {3}, {}},
        {"hybrid", hybrid(false), false, {3}, {{5, 5}, {6, 60}, {7, 70}}}, {"hybrid, compressed", hybrid(true), false, {3}, {{5, 5}, {6, 60}, {7, 70}}},
        // A bad cross-reference sends the file to the scan.
        {"offset past the end", with_offset("99999999"), true, {3}, {}, true}, {"offset at plain text", with_offset("0"), true, {3}, {}, true},
        {"offset on white space before xref", with_offset(std::to_string(good.rfind("xref\n0 ") - 1)), true, {3}, {}, true},
        {"offset beyond 64 bits", with_offset("99999999999999999999999"), true, {3}, {}, true}, {"no startxref", good.substr(0, good.rfind("startxref")), true, {3}, {}, true},
        // "from 1": every entry is one object off, which the root's header shows. "junk": bytes in front of the header
        // shift every offset.
        {"table numbered from 1", from_one, true, {3}, {}, true}, {"junk in front", "GARBAGE LINE\n" + good, true, {3}, {}, true},
        // Catalog and pages only in an object stream, the xref stream lost: the scan indexes it.
        {"modern file, broken", modern, true, {3}, {{12, 120}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DocPtr doc = expect_doc(c.file, c.recovered, c.pages, c.ints);
        EXPECT_TRUE(!doc || !c.bt_et || as_chars((*doc->get_object({4, 0}))->stream()->data) == "BT ET");
    }
    EXPECT_EQ(open_bytes(update_chain(true)).value()->info(), (ObjectId{8, 0}));
    EXPECT_EQ(open_bytes(update_chain(true)).value()->get_object({9, 0}), std::unexpected(msg("object is free (deleted)")));
    EXPECT_EQ(open_bytes(modern).value()->entries().find(12)->kind, XrefKind::Compressed);

    // Files that do not open. Wherever /Encrypt is, the security handler sees it: these
    // dictionaries lack /O and /U, so it refuses each file (crypt_test.cpp opens real ones).
    PdfBuilder b = one_page_pdf("");
    b.add(9, "<< /Filter /Standard /V 1 /R 2 >>").trailer_extra = "/Encrypt 9 0 R";
    const std::string by_reference = b.build();
    b.trailer_extra = "/Encrypt << /Filter /Standard /V 1 /R 2 >>";
    std::string direct = b.build(), damaged = direct;
    damaged.replace(damaged.rfind("startxref\n") + 10, 1, "9");  // the trailer the scan finds says so
    // In a cross-reference stream, in an older section of a chain, in the hidden stream of a hybrid file.
    const std::string encrypt = " /Encrypt << /Filter /Standard >>";
    for (const std::string& file : {by_reference, direct, damaged, objstm_file(1, true, encrypt),
                                    update_chain(true, encrypt), hybrid(false, encrypt)})
        EXPECT_EQ(open_bytes(file), std::unexpected(msg("encrypted PDFs are not supported"))) << file.size();
    for (std::string hopeless : {"", "%PDF-1.7\nhello\n"}) EXPECT_EQ(open_bytes(hopeless), std::unexpected(msg("recovery: could not find Catalog root")));
}

TEST(DocumentConcurrency, ParallelLookupsAgree) {
    // Pages 100..299 and arrays 1000..1199 in ten object streams, looked up by 8 threads at once.
    PdfWriter w;
    std::string kids;
    std::vector<StreamEntry> entries;
    for (std::uint32_t s = 0; s < 10; ++s) {
        std::vector<std::pair<std::uint32_t, std::string>> objects;
        for (std::uint16_t i = 0; i < 20; ++i) {
            const std::uint32_t page = 100 + s * 20 + i, packed = 1000 + s * 20 + i;
            w.object(page, "<< /Type /Page /N " + std::to_string(page) + " >>"), kids += std::to_string(page) + " 0 R ";
            objects.push_back({packed, "[" + std::to_string(packed) + " (x)]"}), entries.push_back({packed, 2, 500 + s, i});
        }
        w.object_stream(500 + s, objects, true);
    }
    w.object(1, kCatalog);
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    for (const auto& [num, at] : w.offsets) entries.push_back({num, 1, static_cast<std::uint32_t>(at), 0});
    w.startxref(w.xref_stream(600, entries, "/Size 601 /Root 1 0 R", true));
    const DocPtr doc = open_bytes(w.out).value();
    constexpr int kThreads = 8;
    auto num_at = [](int t, std::uint32_t k) -> std::uint32_t {
        const std::uint32_t i = (k * 7 + static_cast<std::uint32_t>(t) * 53) % 400; return i < 200 ? 100 + i : 1000 + (i - 200); };
    std::vector<std::vector<ObjPtr>> seen(kThreads);
    std::vector<size_t> page_counts(kThreads);
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] {
        for (std::uint32_t k = 0; k < 400; ++k) seen[t].push_back(doc->get_object({num_at(t, k), 0}).value_or(nullptr));
        page_counts[t] = doc->page_refs().value_or(std::vector<ObjectId>{}).size();
    });
    threads.clear();  // joins
    // A thread that lost a race to insert got the winner's value, the one a lookup returns now.
    EXPECT_EQ(page_counts, std::vector<size_t>(kThreads, 200));
    for (int t = 0; t < kThreads; ++t)
        for (std::uint32_t k = 0; k < 400; ++k) ASSERT_EQ(seen[t][k], doc->get_object({num_at(t, k), 0}).value()) << num_at(t, k);
}

// --- Files

TEST(DocumentOpen, FromPath) {
    const auto dir = std::filesystem::path(::testing::TempDir()) / ("vellix_document_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const std::string& content) { std::ofstream(dir / name, std::ios::binary) << content; return (dir / name).string(); };
    EXPECT_EQ(Document::open(write("one.pdf", one_page_pdf("BT ET").build())).value()->page_refs(), (std::vector<ObjectId>{{3, 0}}));
    for (auto [path, expected] : {std::pair{(dir / "absent.pdf").string(), "cannot open file"},
                                  {write("empty.pdf", ""), "cannot mmap file"}, {dir.string(), "cannot mmap file"}})
        EXPECT_EQ(Document::open(path), std::unexpected(msg(expected))) << path;
    // A moved mapping keeps its bytes; the moved-from one is empty by contract.
    MappedFile mapped = MappedFile::open(write("x.pdf", "hello")).value(), assigned;
    MappedFile moved(std::move(mapped));
    assigned = std::move(moved);
    EXPECT_EQ(std::tuple(as_chars(assigned.bytes()), mapped.bytes().size(), moved.bytes().size()), std::tuple("hello", 0u, 0u));  // NOLINT
    std::filesystem::remove_all(dir);
}

TEST(DocumentCorpus, OpensAsTheManifestSays) {
    // Files qpdf checks clean list the manifest's page count; files with a user password are
    // refused; every object of the others can be asked for without a crash.
    const auto rows = testing::corpus_manifest();
    if (rows.empty()) GTEST_SKIP() << "no corpus at " << testing::corpus_dir();
    size_t checked_pages = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at("path"));
        Result<DocPtr> doc = Document::open((testing::corpus_dir() / row.at("path")).string());
        if (row.at("password").find("user=") != std::string::npos) {
            EXPECT_EQ(doc, std::unexpected(msg("encrypted PDFs are not supported")));
            continue;
        }
        EXPECT_TRUE(doc || row.at("qpdf_check") != "ok") << doc.error().display();
        if (!doc) continue;
        (*doc)->entries().for_each([&](std::uint32_t num, const XrefEntry&) { (void)(*doc)->get_object({num, 0}); });
        if (row.at("qpdf_check") != "ok" || row.at("pages").empty()) continue;
        EXPECT_EQ(std::to_string((*doc)->page_refs().value_or(std::vector<ObjectId>{}).size()), row.at("pages"));
        ++checked_pages;
    }
    EXPECT_GT(checked_pages, 100u);
}

}  // namespace
}  // namespace vellix
