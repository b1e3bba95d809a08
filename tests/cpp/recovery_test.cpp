// The recovery scan: object headers, the small dictionary reader, catalog rules, object
// streams of damaged modern files, the trailers' /Encrypt and /Info, and the bounds of the scan.
#include "parser/recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_pdf.h"

namespace vellix {
namespace {

using testing::PdfWriter;
using Entries = std::vector<std::pair<std::uint32_t, XrefEntry>>;

const ParseError kNoCatalog = ParseError::message("recovery: could not find Catalog root");

// The small reader's result as "Type=/Catalog Pages=3 0 R A=?", "absent" or "other".
std::string describe(const std::optional<PdfObj>& obj) {
    if (!obj || obj->kind != PdfObj::Kind::Dict) return obj ? "other" : "absent";
    std::string out;
    for (const PdfObjEntry& e : obj->entries) {
        out += (out.empty() ? "" : " ") + std::string(as_chars(e.key)) + "=";
        if (e.value.kind == PdfObj::Kind::Name) out += "/" + std::string(as_chars(e.value.name));
        if (e.value.kind == PdfObj::Kind::Ref) out += std::to_string(e.value.ref.num) + " " + std::to_string(e.value.ref.gen) + " R";
        if (e.value.kind == PdfObj::Kind::Other) out += "?";
    }
    return out;
}

Entries all_entries(const XrefMap& m) {
    Entries out;
    m.for_each([&](std::uint32_t n, const XrefEntry& e) { out.push_back({n, e}); });
    return out;
}

XrefEntry at(size_t offset, std::uint16_t gen = 0) {
    return {static_cast<std::uint32_t>(offset), gen, XrefKind::InUse};
}
XrefEntry packed(std::uint32_t stream, std::uint16_t index) { return {stream, index, XrefKind::Compressed}; }

TEST(TryParseObjectAt, SmallDictionaryReader) {
    const struct { std::string_view input; std::string_view expected; } cases[] = {  // read after "obj"
        {"3 0 obj\r\n<</Type/Catalog/Pages 3 0 R>>", "Type=/Catalog Pages=3 0 R"},
        // More than 32 bits in an object number, or 16 in a generation: no result at all.
        {"3 0 obj << /Pages 4294967295 65535 R >>", "Pages=4294967295 65535 R"},
        {"3 0 obj << /Type /Catalog /Pages 4294967296 0 R >>", "absent"},
        {"3 0 obj << /Pages 3 65536 R >>", "absent"},
        // Arrays and hex strings are read to their end as tokens; their contents add nothing.
        {"3 0 obj << /MediaBox [0 0 612 792] /ID <ABCD> /Kids [4 0 R] /Type /Page >>",
         "MediaBox=? ID=? Kids=? Type=/Page"},
        // A nested dictionary's entries read as this one's, and its ">>" ends the reading.
        {"3 0 obj << /A << /Type /Catalog >> /Pages 3 0 R >>", "A=? Type=/Catalog"},
        // A line feed is no blank: the number is not a reference.
        {"3 0 obj << /P 5\n0 R /Q 6 0 R >>", "P=? Q=6 0 R"}, {"3 0 obj << /P 5 0 /Q (s) /R 1 >>", "P=? Q=? R=?"},
        // Comments before the dictionary are skipped; the end of the data ends the dictionary.
        {"1 0 obj % the catalog\r\n<< /Type /Catalog >>", "Type=/Catalog"},
        {"1 0 obj << /Type /Page /Parent", "Type=/Page"}, {"1 0 obj <<>>", ""},
        // No dictionary follows, or nothing (or too little) does.
        {"1 0 obj [1 2]", "other"}, {"1 0 obj 42", "other"}, {"1 0 obj <x> ", "other"}, {"1 0 obj", "absent"},
        {"1 0 obj \r\n ", "absent"}, {"1 0 obj <<>", "absent"}, {"1 0 obj <x>", "absent"},
        {"1 0 obj % only a comment", "absent"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(try_parse_object_at(as_bytes(c.input), c.input.find("obj"))), c.expected) << c.input;
    // A keyword position at or past the end reads nothing.
    for (size_t pos : {7, 100}) EXPECT_FALSE(try_parse_object_at(as_bytes("1 0 obj"), pos).has_value());
}

TEST(RecoverXrefByScan, WhatCountsAsAHeader) {
    // An incremental update rewrites 7: the last header wins.
    PdfWriter w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    w.object(2, "<< /Type /Pages /Kids [] >>");
    w.object(7, "(text with 3 0 endobj inside)");
    w.object(7, "(new)");
    const Trailer t = recover_xref_by_scan(as_bytes(w.out)).value().trailer;
    EXPECT_EQ(std::tuple(t.root, t.size, t.info), std::tuple(ObjectId{1, 0}, 8u, std::nullopt));
    const std::string cat = " << /Type /Catalog /Pages 3 0 R >>\n";
    const size_t second = cat.size() + 1;  // where the second header starts, after its first byte
    const struct { const char* what; std::string file; Entries expected; } cases[] = {
        {"last header wins", w.out, {{1, at(w.offsets[1])}, {2, at(w.offsets[2])}, {7, at(w.offsets[7])}}},
        {"header at the very start", "12 0 obj" + cat, {{12, at(0)}}},
        {"blanks and tabs between the numbers", "\n12 \t 3\tobj" + cat, {{12, at(1, 3)}}},
        {"preceded by a letter", "x12 0 obj" + cat + "\r5 0 obj" + cat, {{5, at(9 + second)}}},
        {"line feed between the numbers", "12\n0 obj" + cat + " 5 0 obj" + cat, {{5, at(8 + second)}}},
        {"number beyond 32 bits", "4294967296 0 obj" + cat + "\n5 0 obj" + cat, {{5, at(16 + second)}}},
        {"generation beyond 16 bits", "7 65536 obj" + cat + "\n5 0 obj" + cat, {{5, at(11 + second)}}},
        {"largest numbers", "4294967295 65535 obj" + cat, {{4294967295u, at(0, 65535)}}},
    };
    for (const auto& c : cases) {
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(c.file));
        EXPECT_EQ(got ? all_entries(got->entries) : Entries{}, c.expected) << c.what;
    }
    // "endobj" and a lone "obj" are no headers; without a header there is no catalog.
    for (std::string_view none : {"endobj obj 1 endobj", "%PDF-1.7\n", ""}) EXPECT_EQ(recover_xref_by_scan(as_bytes(none)), std::unexpected(kNoCatalog));
}

TEST(RecoverXrefByScan, CatalogRules) {
    const std::string with_pages = "<< /Type /Catalog /Pages 2 0 R >>", bare = "<< /Type /Catalog >>";
    using Objects = std::vector<std::pair<std::uint32_t, std::string>>;
    const struct { const char* what; Objects top, packed; std::optional<std::uint32_t> root; } cases[] = {
        {"first catalog with Pages wins", {{4, with_pages}, {3, "<< /Type /Catalog /Pages 8 0 R >>"}}, {}, 4},
        {"a catalog with Pages beats an earlier one without", {{4, bare}, {3, with_pages}}, {}, 3},
        {"a catalog without Pages is the last resort", {{4, "<< /Type /Catalog /Outlines 2 0 R >>"}}, {}, 4},
        {"Pages must be a reference", {{4, "<< /Type /Catalog /Pages [1 0 R] >>"}}, {}, 4},
        // The nested dictionary's ">>" ends the reading before /Pages, so 5 has no /Pages.
        {"nested catalog", {{5, "<< /A << /Type /Catalog >> /Pages 3 0 R >>"}, {6, with_pages}}, {}, 6},
        // /Type after a nested dictionary: without a catalog the full parser reads them again.
        {"Type after a nested dictionary", {{4, "<< /MarkInfo << /Marked true >> /Pages 2 0 R /Type /Catalog >>"}}, {}, 4},
        {"full parser prefers a catalog with Pages",
         {{3, "<< /A << >> /Type /Catalog >>"}, {4, "<< /A << >> /Pages 2 0 R /Type /Catalog >>"}}, {}, 4},
        {"full parser takes a catalog without Pages",
         {{3, "<< /A << >> /Type /Catalog >>"}, {4, "<< /A << >> /Type /Pages >>"}}, {}, 3},
        {"small reader's catalog without Pages comes first", {{3, bare}, {4, "<< /A << >> /Pages 2 0 R /Type /Catalog >>"}}, {}, 3},
        {"no catalog", {{4, "<< /Type /Pages /Kids [] >>"}, {5, "<< /Type (Catalog) >>"}}, {}, std::nullopt},
        // Catalogs in object stream 20 come after the top-level ones of the same kind.
        {"top-level catalog with Pages first", {{3, with_pages}}, {{1, with_pages}}, 3},
        {"packed catalog with Pages beats a top-level one without", {{3, bare}}, {{1, with_pages}}, 1},
        {"first packed catalog with Pages", {}, {{6, bare}, {1, with_pages}, {4, with_pages}}, 1},
        {"top-level catalog without Pages before a packed one", {{3, bare}}, {{1, bare}}, 3},
        {"packed catalog without Pages as the last resort", {{3, "[1 2]"}}, {{1, bare}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PdfWriter w;
        for (const auto& [n, body] : c.top) w.object(n, body);
        if (!c.packed.empty()) w.object_stream(20, c.packed, true);
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(w.out));
        EXPECT_EQ(got ? std::optional(got->trailer.root) : std::nullopt,
                  c.root ? std::optional(ObjectId{*c.root, 0}) : std::nullopt);
        EXPECT_TRUE(got || got.error() == kNoCatalog);
    }
}

TEST(RecoverXrefByScan, TrailerFields) {
    const std::string objects = "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    const struct { const char* what; std::string tail; bool encrypted; std::optional<std::uint32_t> info; } cases[] = {
        {"trailer with a reference", "trailer\n<< /Root 1 0 R /Encrypt 9 0 R /Info 4 0 R >>\n", true, 4},
        {"trailer with a dictionary", "trailer << /Root 1 0 R /Encrypt << /V 2 >> >>", true, {}},
        // The last trailer with /Info gives it.
        {"trailer without", "trailer\n<< /Info 3 0 R >>\ntrailer\n<< /Root 1 0 R /Info 5 0 R >>\n", false, 5},
        // Stream dictionaries are read whole (the small reader stops at /DecodeParms), sorted too.
        {"cross-reference stream", "9 0 obj\n<< /Type /XRef /DecodeParms << /Columns 4 >> /Encrypt 8 0 R /Length 0 >>\n"
                                   "stream\n\nendstream\nendobj\n", true, {}},
        {"sorted keys", "9 0 obj\n<</DecodeParms<</Columns 4/Predictor 12>>/Encrypt 8 0 R/Filter/FlateDecode/Info 6 0 R"
         "/Type/XRef/Length 0>>stream\r\n\r\nendstream\nendobj\n", true, 6},
        {"other stream with Encrypt", "9 0 obj\n<< /Type /Metadata /Encrypt 8 0 R >>\nendobj\n", false, {}},
        {"the word trailer in text", "3 0 obj\n(see the trailer /Encrypt)\nendobj\n", false, {}},
    };
    for (const auto& c : cases) {
        const Trailer t = recover_xref_by_scan(as_bytes(objects + c.tail)).value().trailer;
        EXPECT_EQ(std::pair(t.has_encrypt_entry, t.info), std::pair(c.encrypted, c.info ? std::optional(ObjectId{*c.info, 0}) : std::nullopt)) << c.what;
    }
}

TEST(RecoverXrefByScan, IndexesObjectStreams) {
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        PdfWriter w;
        // 5 is both at top level and in a stream: the top-level object wins.
        w.object(5, "5");
        w.object_stream(20, {{1, "<< /Type /Catalog /Pages 2 0 R >>"}, {2, "<< /Type /Pages >>"}, {5, "50"}}, compress);
        // Stream 21 is written twice; only its last version, a plain object, counts.
        w.object_stream(21, {{7, "7"}}, compress);
        w.object(21, "(no longer a stream)");
        // 8 is in two streams: the later one in the file wins.
        w.object_stream(22, {{8, "8"}}, compress);
        w.object_stream(23, {{9, "9"}, {8, "80"}}, compress);
        // A stream whose data is damaged is passed over.
        w.stream(24, "/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", "garbage");
        const XrefSection got = recover_xref_by_scan(as_bytes(w.out)).value();
        EXPECT_EQ(std::pair(got.trailer.root, got.trailer.size), std::pair(ObjectId{1, 0}, 25u));
        EXPECT_EQ(all_entries(got.entries),
                  (Entries{{1, packed(20, 0)}, {2, packed(20, 1)}, {5, at(w.offsets[5])}, {8, packed(23, 1)},
                           {9, packed(23, 0)}, {20, at(w.offsets[20])}, {21, at(w.offsets[21])},
                           {22, at(w.offsets[22])}, {23, at(w.offsets[23])}, {24, at(w.offsets[24])}}));
    }
}

TEST(RecoverXrefByScan, ObjectStreamBound) {
    // One stream more than the scan decodes: the object of the last one stays unknown.
    for (size_t streams : {kMaxScanObjectStreams, kMaxScanObjectStreams + 1}) {
        PdfWriter w;
        w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
        for (std::uint32_t s = 0; s < streams; ++s) w.object_stream(10 + s, {{100000 + s, "1"}}, false);
        const XrefMap got = recover_xref_by_scan(as_bytes(w.out)).value().entries;
        EXPECT_TRUE(got.find(100000 + kMaxScanObjectStreams - 1) && !got.find(100000 + kMaxScanObjectStreams));
    }
}

TEST(RecoverXrefByScan, UnclosedDictionariesStayLinear) {
    // Every header opens a dictionary that never closes. Reading each to the end of the file
    // would take about 10^11 steps here; the scan's budget keeps it to a few passes.
    std::string file;
    for (std::uint32_t n = 1; n <= 100000; ++n) file += std::to_string(n) + " 0 obj << /K ";
    file += "\n7 0 obj << /Type /Catalog /Pages 2 0 R >>";
    EXPECT_EQ(recover_xref_by_scan(as_bytes(file)).value().entries.size(), 100000u);
    // So does a file full of trailer keywords inside one endless dictionary.
    std::string trailers = "1 0 obj << /Type /Catalog /Pages 2 0 R >>\ntrailer << ";
    for (int i = 0; i < 100000; ++i) trailers += "/trailer 1 ";
    EXPECT_TRUE(recover_xref_by_scan(as_bytes(trailers)).has_value());
}
}  // namespace
}  // namespace vellix
