// CMaps, glyph names, standard fonts, decoding and widths of fonts built from small PDFs.
#include "font.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "document.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using namespace std::string_view_literals;

std::u32string text_of(std::span<const char32_t> chars) { return std::u32string(chars.begin(), chars.end()); }

// The text of a code through a CMap's ToUnicode entries ("" for no mapping).
std::u32string cmap_text(const CMap& m, CharCode code) {
    std::array<char32_t, kMaxCodeChars> out;
    return text_of(std::span(out).first(m.lookup_text(code, out)));
}

// A string shown with a font: the text of its codes, in order.
std::u32string shown(const FontInfo& font, std::string_view s) {
    const Bytes b = as_bytes(s);
    std::u32string text;
    std::array<char32_t, kMaxCodeChars> out;
    for (size_t i = 0; i < b.size();) {
        const CharCode c = font.next_code(b, i);
        EXPECT_GE(c.len, 1);
        i += c.len;
        text += text_of(std::span(out).first(font.decode_code(c, out)));
    }
    return text;
}

TEST(CMap, ToUnicodeEntries) {
    const struct {
        std::string_view text;
        CharCode code;
        std::u32string expected;
    } rows[] = {
        {"beginbfchar <01> <0041> endbfchar", {1, 1}, U"A"},
        // Several characters (a ligature), a surrogate pair, a glyph name as destination.
        {"beginbfchar <0002> <00660066006C> endbfchar", {2, 2}, U"ffl"},
        {"beginbfchar <03> <D83DDE00> endbfchar", {3, 1}, U"\U0001F600"},
        {"beginbfchar <04> /f_i endbfchar", {4, 1}, U"fi"},
        // Ranges: the last character counts up; an array gives each code its own text.
        {"beginbfrange <10> <12> [<0041> <00660069> <0043>] endbfrange", {0x11, 1}, U"fi"},
        {"beginbfrange <10> <12> [<0041>] endbfrange", {0x11, 1}, U""},
        {"beginbfrange <0000> <00FF> <0000> endbfrange", {0x41, 1}, U"A"},  // lengths differ
        {"beginbfchar <0041> <0042> endbfchar beginbfchar <41> <0043> endbfchar", {0x41, 2}, U"B"},
        // The later of two mappings wins, a range or a single code alike.
        {"beginbfchar <41> <0058> endbfchar beginbfrange <40> <42> <0061> endbfrange", {0x41, 1}, U"b"},
        {"beginbfrange <40> <42> <0061> endbfrange beginbfchar <41> <0058> endbfchar", {0x41, 1}, U"X"},
        // Bytes, not text: binary bytes in a comment, a missing end marker, odd tokens.
        {"%\xff\xfe\x80\nbeginbfchar <01> <0041> endbfchar", {1, 1}, U"A"},
        {"beginbfchar <01> <0041> <02> beginbfrange <05> <06> <0061> endbfrange", {6, 1}, U"b"},
        {"beginbfchar (x) <0041> <01> <0042> endbfchar", {1, 1}, U"B"},
        {"beginbfchar <0102030405> <0041> endbfchar", {0x02030405, 4}, U""},
        {"beginbfchar <01> <> endbfchar", {1, 1}, U""},
    };
    for (const auto& r : rows) EXPECT_EQ(cmap_text(parse_cmap(as_bytes(r.text)), r.code), r.expected) << r.text;
}

TEST(CMap, CodespaceLengths) {
    // Shift-JIS style: one-byte codes 00-80 and A0-DF, two-byte codes 8140-9FFC.
    const CMap m = parse_cmap(as_bytes(
        "3 begincodespacerange <00> <80> <8140> <9FFC> <A0> <DF> endcodespacerange "
        "1 begincidrange <8140> <817E> 633 endcidrange 1 begincidchar <41> 34 endcidchar"));
    const struct {
        std::string_view bytes;
        std::vector<std::pair<std::uint32_t, std::uint8_t>> codes;
    } rows[] = {
        {"A\x81\x41\xB1", {{0x41, 1}, {0x8141, 2}, {0xB1, 1}}},
        {"\x81", {{0x81, 1}}},                  // cut short: the bytes left
        {"\xE0\x41", {{0xE0, 1}, {0x41, 1}}},   // in no range: the shortest length
        {"\x90\x20", {{0x9020, 2}}},            // first byte of a two-byte range
    };
    for (const auto& r : rows) {
        std::vector<std::pair<std::uint32_t, std::uint8_t>> got;
        const Bytes b = as_bytes(r.bytes);
        for (size_t i = 0; i < b.size();) {
            const CharCode c = m.next_code(b, i).value();
            got.emplace_back(c.value, c.len);
            i += c.len;
        }
        EXPECT_EQ(got, r.codes) << r.bytes;
    }
    EXPECT_EQ(m.lookup_cid({0x8141, 2}), 634u);
    EXPECT_EQ(m.lookup_cid({0x41, 1}), 34u);
    EXPECT_EQ(m.lookup_cid({0x41, 2}), std::nullopt);
    EXPECT_FALSE(parse_cmap(as_bytes("beginbfchar <01> <0041> endbfchar")).next_code(as_bytes("x"), 0));
}

TEST(CMap, PredefinedAndUseCMap) {
    std::string_view coll;
    const std::optional<CMap> rksj = predefined_cmap("90ms-RKSJ-V", &coll);
    ASSERT_TRUE(rksj);
    EXPECT_EQ(coll, "Adobe-Japan1");
    EXPECT_TRUE(rksj->vertical);
    EXPECT_EQ(rksj->lookup_cid({0x8141, 2}), 7887u);  // the vertical form, from 90ms-RKSJ-V
    EXPECT_EQ(rksj->lookup_cid({0x8140, 2}), 633u);   // from its parent 90ms-RKSJ-H
    EXPECT_TRUE(predefined_cmap("Identity-V")->vertical);
    EXPECT_EQ(predefined_cmap("Identity-H")->lookup_cid({0x1234, 2}), 0x1234u);
    EXPECT_EQ(predefined_cmap("UniGB-UTF16-H", &coll)->next_code(as_bytes("\xD8\x3D\xDE\x00"sv), 0)->len, 4);
    EXPECT_EQ(coll, "Adobe-GB1");
    EXPECT_FALSE(predefined_cmap("No-Such-H"));
    // An embedded map on top of a predefined one: its own entries win.
    CMap own = parse_cmap(as_bytes("/90ms-RKSJ-H usecmap begincidchar <8140> 1 endcidchar"));
    EXPECT_EQ(own.use_cmap, "90ms-RKSJ-H");
    use_cmap(own, *predefined_cmap("90ms-RKSJ-H"));
    EXPECT_EQ(own.lookup_cid({0x8140, 2}), 1u);
    EXPECT_EQ(own.lookup_cid({0x8141, 2}), 634u);
}

TEST(CMap, EntriesAreBounded) {
    std::string text = "beginbfrange <000000> <01FFFF> [";
    for (size_t i = 0; i < kMaxCMapMappings + 10; ++i) text += "<0041>";
    text += "] endbfrange beginbfchar <FFFF> <0042> endbfchar";
    const CMap m = parse_cmap(as_bytes(text));
    EXPECT_EQ(m.text_entries.size(), kMaxCMapMappings);
    EXPECT_EQ(m.text_lengths, 0b100);  // the later bfchar of two bytes was dropped
}

TEST(GlyphNames, AglRules) {
    const struct {
        std::string_view name;
        std::u32string expected;
    } rows[] = {
        {"quoteright", U"\u2019"}, {"a.sc", U"a"}, {"f_f_i", U"ffi"}, {"f_f_i.liga", U"ffi"}, {"uni00410042", U"AB"},
        {"uni00e9", U"\u00E9"}, {"u1F600", U"\U0001F600"}, {"uniD800", U""}, {"uni004", U""}, {"u110000", U""},
        {"g3", U""}, {"union", U"\u222A"}, {"dalethatafpatah", U"\u05D3\u05B2"}, {".notdef", U""},
        {"f_zz_i", U"fi"},  // a component without a value gives nothing
    };
    for (const auto& r : rows) {
        std::array<char32_t, kMaxCodeChars> out;
        EXPECT_EQ(text_of(std::span(out).first(glyph_name_to_unicode(r.name, out))), r.expected) << r.name;
    }
}

TEST(StandardFont, NamesAndAliases) {
    const struct {
        std::string_view base_font, standard;
    } rows[] = {
        {"ABCDEF+Arial,Bold", "Helvetica-Bold"}, {"Arial-BoldItalicMT", "Helvetica-BoldOblique"},
        {"TimesNewRomanPS-BoldMT", "Times-Bold"}, {"TimesNewRoman,Italic", "Times-Italic"},
        {"CourierNew", "Courier"}, {"Symbol", "Symbol"}, {"ArialNarrow", ""},
    };
    for (const auto& r : rows) {
        const data::Std14Font* f = standard_font(r.base_font);
        EXPECT_EQ(f ? f->name : "", r.standard) << r.base_font;
    }
}

using Objects = std::map<std::uint32_t, std::string>;
using Streams = std::map<std::uint32_t, std::pair<std::string, std::string>>;

// The resources `resources` of page 3 in a one-page document with `objects` from 5 on and
// `streams` (dictionary entries, data); `doc` keeps the document alive.
const PdfObject* page_resources(DocPtr& doc, const std::string& resources, const Objects& objects,
                                const Streams& streams = {}) {
    testing::PdfBuilder b = testing::one_page_pdf("", resources, objects);
    for (const auto& [num, s] : streams) b.add_stream(num, s.first, s.second);
    doc = testing::open_bytes(b.build()).value();
    return doc->get_object(ObjectId{3, 0}).value()->get("Resources");
}

FontTable page_fonts(DocPtr& doc, const std::string& resources, const Objects& objects, const Streams& streams = {}) {
    const PdfObject& res = *page_resources(doc, resources, objects, streams);
    return build_font_map(res, *doc);
}

// Font F1 is object 5, `font`, beside the shared objects and streams.
struct FontCase {
    std::string font;
    std::string shown;
    std::u32string text;
    double width_of_first = -1;  // the width of the first code; -1: not checked
    std::vector<std::pair<std::uint32_t, double>> widths = {};  // more codes and their widths
};

void expect_fonts(std::span<const FontCase> rows, const Objects& shared = {}, const Streams& streams = {}) {
    for (const FontCase& r : rows) {
        SCOPED_TRACE(r.font);
        Objects objects = shared;
        objects[5] = r.font;
        DocPtr doc;
        const FontTable fonts = page_fonts(doc, "<< /Font << /F1 5 0 R >> >>", objects, streams);
        ASSERT_TRUE(fonts.contains("F1"));
        const FontInfo& f = *fonts.at("F1");
        EXPECT_EQ(shown(f, r.shown), r.text);
        if (r.width_of_first >= 0) {
            EXPECT_DOUBLE_EQ(f.glyph_width(f.next_code(as_bytes(r.shown), 0).value), r.width_of_first);
        }
        for (const auto& [code, width] : r.widths) EXPECT_EQ(f.glyph_width(code), width) << code;
    }
}

TEST(Fonts, SimpleEncodingsAndWidths) {
    const FontCase rows[] = {
        // Base encodings and their distinctive codes; standard metrics without Widths.
        {"<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>", "A\x93\x97\x80\xA0", U"A\u201C\u2014\u20AC ", 667},
        {"<< /Subtype /Type1 /BaseFont /Times-Roman >>", "'`\xE1", U"\u2019\u2018\u00C6", 333},
        {"<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /MacRomanEncoding >>", "\x8E\xD2\xDB", U"\u00E9\u201C\u00A4"},
        {"<< /Subtype /Type1 /BaseFont /Symbol >>", "a\xAE", U"\u03B1\u2192", 631},
        {"<< /Subtype /Type1 /BaseFont /ZapfDingbats >>", "!", U"\u2701", 974},
        {"<< /Subtype /TrueType /BaseFont /Arial,Bold >>", "A", U"A", 722},
        // Differences over the base encoding, by reference; ligature and suffixed names.
        {"<< /Subtype /Type1 /Encoding 6 0 R >>", "AB\x92\x01", U"fia\u2019\uFFFD"},
        // FirstChar, MissingWidth past the Widths; a Widths element by reference.
        {"<< /Subtype /TrueType /FirstChar 65 /Widths [100 7 0 R] /FontDescriptor << /MissingWidth 50 >> >>", "ABC",
         U"ABC", 100, {{66, 200}, {67, 50}}},
        {"<< /Subtype /TrueType /FirstChar 65 /Widths [100] >>", "@", U"@", 1000},
        // Type3: widths in glyph space through FontMatrix; no built-in encoding.
        {"<< /Subtype /Type3 /FontMatrix [0.002 0 0 0.002 0 0] /FirstChar 39 /Widths [10] >>", "'", U"'", 20},
        // ToUnicode first, then the encoding; a destination of several characters.
        {"<< /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 8 0 R >>", "\x01'", U"ffi\u2019"},
    };
    expect_fonts(rows,
                 {{6, "<< /BaseEncoding /WinAnsiEncoding /Differences [65 /f_i /a.sc 1 /g7] >>"}, {7, "200"}},
                 {{8, {"", "beginbfchar <01> <006600660069> endbfchar"}}});
}

TEST(Fonts, Type0EncodingsAndCids) {
    const std::string japan = "/CIDSystemInfo << /Registry (Adobe) /Ordering (Japan1) /Supplement 2 >>";
    const FontCase rows[] = {
        // Identity: two-byte codes; without ToUnicode the collection's table gives the text.
        {"<< /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [6 0 R] >>", std::string("\x00\x22\x03\x4B", 4), U"A\u3042", 500},
        {"<< /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [7 0 R] >>", std::string("\x00\x22\x00\x01", 4), U"\"\uFFFD", 1000},
        // A predefined CMap of mixed lengths; the W of the CID.
        {"<< /Subtype /Type0 /Encoding /90ms-RKSJ-H /DescendantFonts [6 0 R] >>", "A\x82\xA0", U"A\u3042", 600},
        // Unicode CMaps: the codes are the text.
        {"<< /Subtype /Type0 /Encoding /UniJIS-UCS2-H /DescendantFonts [6 0 R] >>", std::string("\x00\x41\x30\x42", 4), U"A\u3042", 500},
        // An embedded CMap with usecmap and a ToUnicode map of another code length.
        {"<< /Subtype /Type0 /Encoding 8 0 R /DescendantFonts [6 0 R] /ToUnicode 9 0 R >>", "\x01\x81\x40", U"X\u3000"},
        // W arrays: a list and a range; e < s is no range; a name counts as 0, a lone start ends it.
        {"<< /Subtype /Type0 /DescendantFonts [<< /DW 900 /W [1 [500 600] 10 12 300] >>] >>", "", U"", -1,
         {{1, 500}, {2, 600}, {3, 900}, {10, 300}, {12, 300}, {13, 900}}},
        {"<< /Subtype /Type0 /DescendantFonts [<< /DW 900 /W [5 3 400] >>] >>", "", U"", -1, {{4, 900}}},
        {"<< /Subtype /Type0 /DescendantFonts [<< /W [0 4294967295 250] >>] >>", "", U"", -1, {{0, 250}, {0xFFFFFFFF, 250}}},
        {"<< /Subtype /Type0 /DescendantFonts [<< /W [1 [/x 600] 7] >>] >>", "", U"", -1, {{1, 0}, {2, 600}}},
    };
    expect_fonts(rows,
                 {{6, "<< /Subtype /CIDFontType0 /DW 1000 /W [34 [500] 264 [600] 843 [900]] " + japan + " >>"},
                  {7, "<< /Subtype /CIDFontType2 >>"}},
                 {{8, {"/UseCMap /90ms-RKSJ-H", "1 begincodespacerange <00> <00> endcodespacerange "
                                                "begincidchar <01> 34 endcidchar"}},
                  {9, {"", "beginbfchar <0001> <0058> endbfchar"}}});
}

TEST(Fonts, EmbeddedPrograms) {
    // The font-program seeds of the fuzz target: a TrueType program whose Unicode cmap maps
    // glyphs 1-3 to A, U+FB01, U+20AC, and a CFF program whose own encoding has A at 0x41, fi
    // at 0x42 and uni20AC at 0x80.
    const char* source = std::getenv("VELLIX_SOURCE");
    if (!source) GTEST_SKIP() << "VELLIX_SOURCE not set (run through ctest)";
    const auto read = [&](const char* name) {
        std::ifstream f(std::string(source) + "/fuzz/seeds/font_program/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    const FontCase rows[] = {
        {"<< /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [<< /Subtype /CIDFontType2 "
         "/FontDescriptor << /FontFile2 6 0 R >> >>] >>", std::string("\x00\x02\x00\x03\x00\x01", 6), U"fi\u20ACA"},
        {"<< /Subtype /Type1 /FontDescriptor << /FontFile3 7 0 R >> >>", "AB\x80", U"Afi\u20AC"},
        {"<< /Subtype /Type1 /Encoding /WinAnsiEncoding /FontDescriptor << /FontFile3 7 0 R >> >>", "AB\x80", U"AB\u20AC"},
        // The program is read for the codes Differences leaves to it, and for the widths of a
        // standard font without Widths (A of Helvetica).
        {"<< /Subtype /Type1 /Encoding << /Differences [66 /B] >> /FontDescriptor << /FontFile3 7 0 R >> >>", "AB\x80", U"AB\u20AC"},
        {"<< /Subtype /Type1 /BaseFont /Helvetica /FontDescriptor << /FontFile3 7 0 R >> >>", "AB\x80", U"Afi\u20AC", 667},
    };
    expect_fonts(rows, {}, {{6, {"", read("truetype-cmaps.ttf")}}, {7, {"/Subtype /Type1C", read("cff-custom-encoding.cff")}}});
}

TEST(BuildFontMap, ReferencesAndEmptyTables) {
    // The Font dictionary by reference (object 6); fonts direct and by reference; entries that
    // are no font are left out; a later entry of the same name wins; keys converted lossily.
    DocPtr doc;
    const FontTable fonts = page_fonts(
        doc, "<< /Font 6 0 R >>",
        {{5, "<< /Subtype /TrueType /FirstChar 0 /Widths [500 600] >>"},
         {6, "<< /F1 5 0 R /F2 << /Widths [300] >> /F3 7 /F4 [5 0 R] /F\xFF 5 0 R /F2 << /Widths [400] >> >>"}});
    EXPECT_EQ(fonts.size(), 3u);
    EXPECT_EQ(fonts.at("F1")->glyph_width(1), 600);
    EXPECT_EQ(fonts.at("F2")->glyph_width(0), 400);
    EXPECT_TRUE(fonts.contains("F\xEF\xBF\xBD"));
    for (std::string resources : {"<< /Font 7 0 R >>", "<< /Font << >> >>", "<< /Font [5 0 R] >>", "[/Font]", "null"}) {
        DocPtr d;
        EXPECT_TRUE(page_fonts(d, resources, {{5, "<< /F1 6 0 R >>"}, {6, "<< /Subtype /Type1 >>"}, {7, "[5 0 R]"}}).empty())
            << resources;
    }
}

TEST(BuildFontMap, ManyFontsShareMaps) {
    // Thousands of font dictionaries of a small file may name one large ToUnicode stream or
    // one descendant font with a long W array (fuzz/regressions/document/
    // many-fonts-one-tounicode.pdf: a file of 67 KB took a gigabyte); fonts share them, and a
    // second build through the same cache builds nothing new.
    DocPtr doc;
    const PdfObject& resources = *page_resources(
        doc, "<< /Font << /F1 5 0 R /F2 6 0 R /F3 5 0 R /F4 << /ToUnicode 9 0 R >> >> >>",
        {{5, "<< /Subtype /Type0 /ToUnicode 9 0 R /DescendantFonts [10 0 R] >>"},
         {6, "<< /Subtype /Type0 /ToUnicode 9 0 R /DescendantFonts [10 0 R] /DW 5 >>"}, {10, "<< /W [65 [250]] >>"}},
        {{9, {"", "beginbfchar <0041> <0058> endbfchar"}}});
    FontCache cache;
    const FontTable fonts = build_font_map(resources, *doc, cache);
    const FontInfo& f1 = *fonts.at("F1");
    EXPECT_EQ(f1.glyph_width(65), 250);
    EXPECT_EQ(shown(f1, "\x00\x41"sv), U"X");
    EXPECT_EQ(fonts.at("F2")->to_unicode.get(), f1.to_unicode.get());
    EXPECT_EQ(fonts.at("F4")->to_unicode.get(), f1.to_unicode.get());
    EXPECT_EQ(fonts.at("F2")->cid.get(), f1.cid.get());
    EXPECT_EQ(fonts.at("F3").get(), &f1);
    const FontTable again = build_font_map(resources, *doc, cache);
    for (const auto& [name, font] : fonts) EXPECT_EQ(again.at(name).get(), font.get()) << name;
}

}  // namespace
}  // namespace vellix
