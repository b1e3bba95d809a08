// The recovery scan: object headers, the small dictionary reader, catalog rules, object
// streams of damaged modern files, encryption refusal and the bounds of the scan.
#include "parser/recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_pdf.h"

namespace vellix {
namespace {

using testing::PdfWriter;

const ParseError kNoCatalog = ParseError::message("recovery: could not find Catalog root");

// A readable form of the small reader's result: "Type=/Catalog Pages=3 0 R A=?"; "absent" and
// "other" for the two non-dictionary results.
std::string describe(const std::optional<PdfObj>& obj) {
    if (!obj) return "absent";
    if (obj->kind != PdfObj::Kind::Dict) return "other";
    std::string out;
    for (const PdfObjEntry& e : obj->entries) {
        if (!out.empty()) out += " ";
        out += std::string(as_chars(e.key)) + "=";
        switch (e.value.kind) {
            case PdfObj::Kind::Name:
                out += '/';
                out += as_chars(e.value.name);
                break;
            case PdfObj::Kind::Ref:
                out += std::to_string(e.value.ref.num) + " " + std::to_string(e.value.ref.gen) + " R";
                break;
            default: out += "?"; break;
        }
    }
    return out;
}

TEST(TryParseObjectAt, SmallDictionaryReader) {
    const struct {
        std::string_view input;  // read after its first "obj"
        std::string_view expected;
    } cases[] = {
        {"3 0 obj << /Type /Catalog /Pages 3 0 R >>", "Type=/Catalog Pages=3 0 R"},
        {"3 0 obj\r\n<</Type/Catalog/Pages 3 0 R>>", "Type=/Catalog Pages=3 0 R"},
        // More than 32 bits in an object number, or 16 in a generation: no result at all.
        {"3 0 obj << /Type /Catalog /Pages 12345678901 0 R >>", "absent"},
        {"3 0 obj << /Pages 3 65536 R >>", "absent"},
        {"3 0 obj << /Pages 4294967295 65535 R >>", "Pages=4294967295 65535 R"},
        // Arrays and hex strings are read to their end as tokens; their contents add nothing.
        {"3 0 obj << /MediaBox [0 0 612 792] /ID <ABCD> /Type /Page >>", "MediaBox=? ID=? Type=/Page"},
        {"3 0 obj << /Count 3 /Kids [4 0 R] /Parent 2 0 R >>", "Count=? Kids=? Parent=2 0 R"},
        // A nested dictionary's entries read as this one's, and its ">>" ends the reading.
        {"3 0 obj << /A << /Type /Catalog >> /Pages 3 0 R >>", "A=? Type=/Catalog"},
        // A line feed is no blank: the number is not a reference.
        {"3 0 obj << /P 5\n0 R /Q 6 0 R >>", "P=? Q=6 0 R"},
        {"3 0 obj << /P 5 0 /Q (s) /R 1 >>", "P=? Q=? R=?"},
        // Comments before the dictionary are skipped.
        {"1 0 obj % the catalog\r\n<< /Type /Catalog >>", "Type=/Catalog"},
        // The end of the data ends the dictionary with the entries read so far.
        {"1 0 obj << /Type /Page", "Type=/Page"},
        {"1 0 obj << /Type /Page /Parent", "Type=/Page"},
        {"1 0 obj <<>>", ""},
        // No dictionary follows.
        {"1 0 obj [1 2]", "other"},
        {"1 0 obj 42", "other"},
        {"1 0 obj <x> ", "other"},
        // Nothing (or too little) follows.
        {"1 0 obj", "absent"},
        {"1 0 obj \r\n ", "absent"},
        {"1 0 obj <<>", "absent"},
        {"1 0 obj <x>", "absent"},
        {"1 0 obj % only a comment", "absent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(describe(try_parse_object_at(as_bytes(c.input), c.input.find("obj"))), c.expected);
    }
    // A keyword position at or past the end reads nothing.
    EXPECT_FALSE(try_parse_object_at(as_bytes("1 0 obj"), 7).has_value());
    EXPECT_FALSE(try_parse_object_at(as_bytes("1 0 obj"), 100).has_value());
}

std::vector<std::pair<std::uint32_t, XrefEntry>> all_entries(const XrefMap& m) {
    std::vector<std::pair<std::uint32_t, XrefEntry>> out;
    m.for_each([&](std::uint32_t n, const XrefEntry& e) { out.push_back({n, e}); });
    return out;
}

XrefEntry at(size_t offset, std::uint16_t gen = 0) {
    return {static_cast<std::uint32_t>(offset), gen, XrefKind::InUse};
}

TEST(RecoverXrefByScan, HeadersAndOffsets) {
    PdfWriter w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    w.object(2, "<< /Type /Pages /Kids [] >>");
    w.object(7, "(text with 3 0 endobj inside)");
    const size_t first_seven = w.offsets[7];
    // An incremental update rewrites 7: the last header wins.
    w.object(7, "(new)");
    Result<XrefSection> got = recover_xref_by_scan(as_bytes(w.out));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const std::vector<std::pair<std::uint32_t, XrefEntry>> expected = {
        {1, at(w.offsets[1])}, {2, at(w.offsets[2])}, {7, at(w.offsets[7])}};
    EXPECT_NE(w.offsets[7], first_seven);
    EXPECT_EQ(all_entries(got->entries), expected);
    EXPECT_EQ(got->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(got->trailer.size, 8u);
    EXPECT_FALSE(got->trailer.info.has_value());
    EXPECT_FALSE(got->trailer.encrypt.has_value());
}

TEST(RecoverXrefByScan, WhatCountsAsAHeader) {
    const std::string catalog = " << /Type /Catalog /Pages 3 0 R >>\n";
    const struct {
        const char* what;
        std::string file;
        std::vector<std::pair<std::uint32_t, XrefEntry>> expected;
    } cases[] = {
        {"header at the very start", "12 0 obj" + catalog, {{12, at(0)}}},
        {"blanks and tabs between the numbers", "\n12 \t 3\tobj" + catalog, {{12, at(1, 3)}}},
        {"preceded by a letter", "x12 0 obj" + catalog + "\r5 0 obj" + catalog,
         {{5, at(9 + catalog.size() + 1)}}},
        {"line feed between number and generation", "12\n0 obj" + catalog + " 5 0 obj" + catalog,
         {{5, at(8 + catalog.size() + 1)}}},
        {"object number beyond 32 bits", "4294967296 0 obj" + catalog + "\n5 0 obj" + catalog,
         {{5, at(16 + catalog.size() + 1)}}},
        {"generation beyond 16 bits", "7 65536 obj" + catalog + "\n5 0 obj" + catalog,
         {{5, at(11 + catalog.size() + 1)}}},
        {"largest numbers", "4294967295 65535 obj" + catalog, {{4294967295u, at(0, 65535)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(c.file));
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(all_entries(got->entries), c.expected);
    }
    // "endobj" and a lone "obj" are no headers; without a header there is no catalog.
    for (const std::string& none : {std::string("endobj obj 1 endobj"), std::string("%PDF-1.7\n"),
                                    std::string()}) {
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(none));
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), kNoCatalog);
    }
}

TEST(RecoverXrefByScan, CatalogRules) {
    const struct {
        const char* what;
        std::vector<std::pair<std::uint32_t, std::string>> objects;
        std::optional<std::uint32_t> root;
    } cases[] = {
        {"first catalog with Pages wins",
         {{4, "<< /Type /Catalog /Pages 9 0 R >>"}, {3, "<< /Type /Catalog /Pages 8 0 R >>"}}, 4},
        {"a catalog with Pages beats an earlier one without",
         {{4, "<< /Type /Catalog >>"}, {3, "<< /Type /Catalog /Pages 8 0 R >>"}}, 3},
        {"a catalog without Pages is the last resort", {{4, "<< /Type /Catalog /Outlines 2 0 R >>"}}, 4},
        {"Pages must be a reference", {{4, "<< /Type /Catalog /Pages [1 0 R] >>"}}, 4},
        // The nested dictionary's ">>" ends the reading before /Pages, so 5 has no /Pages; only
        // the last-resort pass would take it.
        {"nested catalog is not a catalog with Pages",
         {{5, "<< /A << /Type /Catalog >> /Pages 3 0 R >>"}, {6, "<< /Type /Catalog /Pages 3 0 R >>"}},
         6},
        // A /Type after a nested dictionary is beyond the small reader; when it finds no
        // catalog at all, the objects are read again with the full parser.
        {"Type after a nested dictionary",
         {{4, "<< /MarkInfo << /Marked true >> /Pages 2 0 R /Type /Catalog >>"}}, 4},
        {"full parser prefers a catalog with Pages",
         {{3, "<< /A << >> /Type /Catalog >>"}, {4, "<< /A << >> /Pages 2 0 R /Type /Catalog >>"}}, 4},
        {"full parser takes a catalog without Pages",
         {{3, "<< /A << >> /Type /Catalog >>"}, {4, "<< /A << >> /Type /Pages >>"}}, 3},
        {"small reader's catalog without Pages comes first",
         {{3, "<< /Type /Catalog >>"}, {4, "<< /A << >> /Pages 2 0 R /Type /Catalog >>"}}, 3},
        {"no catalog", {{4, "<< /Type /Pages /Kids [] >>"}, {5, "<< /Type (Catalog) >>"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PdfWriter w;
        for (const auto& [n, body] : c.objects) w.object(n, body);
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(w.out));
        if (!c.root) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), kNoCatalog);
            continue;
        }
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got->trailer.root.num, *c.root);
    }
}

TEST(RecoverXrefByScan, RefusesEncryptedFiles) {
    const std::string objects =
        "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
        "2 0 obj\n<< /Type /Pages /Kids [] >>\nendobj\n";
    const struct {
        const char* what;
        std::string tail;
        bool refused;
    } cases[] = {
        {"trailer with a reference", "trailer\n<< /Root 1 0 R /Encrypt 9 0 R >>\n", true},
        {"trailer with a dictionary", "trailer << /Root 1 0 R /Encrypt << /V 2 >> >>", true},
        {"trailer without", "trailer\n<< /Root 1 0 R /Size 3 >>\n", false},
        // The small reader would stop at the /DecodeParms dictionary; the stream dictionary is
        // read whole.
        {"cross-reference stream",
         "9 0 obj\n<< /Type /XRef /DecodeParms << /Columns 4 >> /Encrypt 8 0 R /Length 0 >>\n"
         "stream\n\nendstream\nendobj\n",
         true},
        // Sorted keys: both /Encrypt and /Type come after a nested dictionary.
        {"cross-reference stream with sorted keys",
         "9 0 obj\n<</DecodeParms<</Columns 4/Predictor 12>>/Encrypt 8 0 R/Filter/FlateDecode"
         "/Type/XRef/Length 0>>stream\r\n\r\nendstream\nendobj\n",
         true},
        {"other stream with Encrypt", "9 0 obj\n<< /Type /Metadata /Encrypt 8 0 R >>\nendobj\n", false},
        {"the word trailer in text", "3 0 obj\n(see the trailer /Encrypt)\nendobj\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = objects + c.tail;
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(file));
        if (c.refused) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().display(), "encrypted PDFs are not supported");
        } else {
            EXPECT_TRUE(got.has_value()) << got.error().display();
        }
    }
}

TEST(RecoverXrefByScan, IndexesObjectStreams) {
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        PdfWriter w;
        // 5 is both at top level and in a stream: the top-level object wins.
        w.object(5, "5");
        w.object_stream(20,
                        {{1, "<< /Type /Catalog /Pages 2 0 R >>"}, {2, "<< /Type /Pages >>"}, {5, "50"}},
                        compress);
        // Stream 21 is written twice; only its last version, a plain object, counts.
        w.object_stream(21, {{7, "7"}}, compress);
        w.object(21, "(no longer a stream)");
        // 8 is in two streams: the later one in the file wins.
        w.object_stream(22, {{8, "8"}}, compress);
        w.object_stream(23, {{9, "9"}, {8, "80"}}, compress);
        // A stream whose data is damaged is passed over.
        w.stream(24, "/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", "garbage");
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(w.out));
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got->trailer.root, (ObjectId{1, 0}));
        const XrefMap& e = got->entries;
        EXPECT_EQ(*e.find(1), (XrefEntry{20, 0, XrefKind::Compressed}));
        EXPECT_EQ(*e.find(2), (XrefEntry{20, 1, XrefKind::Compressed}));
        EXPECT_EQ(*e.find(5), at(w.offsets[5]));
        EXPECT_EQ(e.find(7), nullptr);
        EXPECT_EQ(*e.find(8), (XrefEntry{23, 1, XrefKind::Compressed}));
        EXPECT_EQ(*e.find(9), (XrefEntry{23, 0, XrefKind::Compressed}));
        EXPECT_EQ(*e.find(21), at(w.offsets[21]));
        EXPECT_EQ(got->trailer.size, 25u);
    }
}

TEST(RecoverXrefByScan, CatalogInObjectStreams) {
    const struct {
        const char* what;
        std::string top_level;  // object 3, or empty
        std::vector<std::pair<std::uint32_t, std::string>> packed;
        std::uint32_t root;
    } cases[] = {
        {"top-level catalog with Pages first", "<< /Type /Catalog /Pages 2 0 R >>",
         {{1, "<< /Type /Catalog /Pages 2 0 R >>"}}, 3},
        {"packed catalog with Pages beats a top-level one without", "<< /Type /Catalog >>",
         {{1, "<< /Type /Catalog /Pages 2 0 R >>"}}, 1},
        {"first packed catalog with Pages", "",
         {{6, "<< /Type /Catalog >>"}, {1, "<< /Type /Catalog /Pages 2 0 R >>"},
          {4, "<< /Type /Catalog /Pages 9 0 R >>"}},
         1},
        {"top-level catalog without Pages before a packed one without", "<< /Type /Catalog >>",
         {{1, "<< /Type /Catalog >>"}}, 3},
        {"packed catalog without Pages as the last resort", "[1 2]", {{1, "<< /Type /Catalog >>"}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PdfWriter w;
        if (!c.top_level.empty()) w.object(3, c.top_level);
        w.object_stream(20, c.packed, true);
        Result<XrefSection> got = recover_xref_by_scan(as_bytes(w.out));
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got->trailer.root, (ObjectId{c.root, 0}));
    }
}

TEST(RecoverXrefByScan, ObjectStreamBound) {
    // One stream more than the scan decodes: the objects of the last one stay unknown.
    auto build = [](size_t streams) {
        PdfWriter w;
        w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
        for (size_t s = 0; s < streams; ++s) {
            const auto n = static_cast<std::uint32_t>(100000 + s);
            w.object_stream(static_cast<std::uint32_t>(10 + s), {{n, "1"}}, false);
        }
        return w.out;
    };
    const std::string at_bound = build(kMaxScanObjectStreams);
    Result<XrefSection> got = recover_xref_by_scan(as_bytes(at_bound));
    ASSERT_TRUE(got.has_value());
    EXPECT_NE(got->entries.find(100000 + kMaxScanObjectStreams - 1), nullptr);

    const std::string beyond = build(kMaxScanObjectStreams + 1);
    got = recover_xref_by_scan(as_bytes(beyond));
    ASSERT_TRUE(got.has_value());
    EXPECT_NE(got->entries.find(100000 + kMaxScanObjectStreams - 1), nullptr);
    EXPECT_EQ(got->entries.find(100000 + kMaxScanObjectStreams), nullptr);
}

TEST(RecoverXrefByScan, UnclosedDictionariesStayLinear) {
    // Every header opens a dictionary that never closes. Reading each to the end of the file
    // would take about 10^11 steps here; the scan's budget keeps it to a few passes.
    std::string file;
    for (std::uint32_t n = 1; n <= 100000; ++n) file += std::to_string(n) + " 0 obj << /K ";
    file += "\n7 0 obj << /Type /Catalog /Pages 2 0 R >>";
    Result<XrefSection> got = recover_xref_by_scan(as_bytes(file));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(got->entries.size(), 100000u);
    // So does a file full of trailer keywords inside one endless dictionary.
    std::string trailers = "1 0 obj << /Type /Catalog /Pages 2 0 R >>\ntrailer << ";
    for (int i = 0; i < 100000; ++i) trailers += "/trailer 1 ";
    got = recover_xref_by_scan(as_bytes(trailers));
    EXPECT_TRUE(got.has_value());
}

}  // namespace
}  // namespace vellix
