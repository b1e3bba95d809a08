// ToUnicode CMaps, glyph names, decoding of codes, glyph widths and the font table of a page.
#include "font.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "document.h"
#include "parser/object.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using namespace std::string_view_literals;
using ByteList = std::vector<std::uint8_t>;

// An object parsed from PDF syntax. The text must outlive the object (string literals do).
PdfObject object_of(std::string_view text) {
    Cursor cur{as_bytes(text)};
    Result<PdfObject> got = parse_object(cur);
    EXPECT_TRUE(got.has_value()) << text;
    return got ? *got : PdfObject{};
}

CMap cmap_of(std::string_view text) { return parse_cmap(as_bytes(text)); }

std::optional<ByteList> lookup(const CMap& cmap, std::string_view code) {
    return cmap.lookup(as_bytes(code));
}

char32_t decode(const FontInfo& font, std::string_view code) {
    return font.decode_char(as_bytes(code).data(), code.size());
}

// Rows of CMap text, a code, and the destination bytes it maps to.
struct LookupCase {
    std::string_view text, code;
    std::optional<ByteList> expected;
};

void expect_lookups(std::span<const LookupCase> cases) {
    for (const auto& c : cases) EXPECT_EQ(lookup(cmap_of(c.text), c.code), c.expected) << c.text;
}

TEST(ParseHexTokens, DigitsInPairs) {
    const struct { std::string_view token; ByteList expected; } cases[] = {
        {"<0041>", {0x00, 0x41}}, {"<>", {}}, {"<<<0a>>>", {0x0A}}, {"0041", {0x00, 0x41}},
        {"<AbCd>", {0xAB, 0xCD}},
        // An odd last digit is ignored.
        {"<abc>", {0xAB}}, {"<a>", {}},
        // Characters that are not hex digits count as zero, the inner >< of an unspaced pair
        // included; only leading '<' and trailing '>' are removed.
        {"<01><41>", {0x01, 0x00, 0x41}}, {"<g1>", {0x01}}, {"[<0041>", {0x00, 0x00, 0x41}},
        // A non-ASCII character is one character of a pair, not one per byte.
        {"<\xC3\xA9" "1>", {0x01}}, {"<\xE3\x80\x80" "1\xC3\xA9" "2>", {0x01, 0x02}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_hex_tokens(c.token), c.expected) << c.token;
}

TEST(FindToken, FromStartIndex) {
    EXPECT_EQ(find_token("abcabc", 2, "bc"), 4u);
    EXPECT_EQ(find_token("abc", 3, ""), 3u);
    EXPECT_EQ(find_token("abc", 4, ""), std::nullopt);
}

TEST(ParseCmap, BfcharPairs) {
    // A realistic stream: header, codespace range (ignored), two bfchar sections.
    const CMap cmap = cmap_of(
        "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
        "1 begincodespacerange\n<00> <FF>\nendcodespacerange\n"
        "2 beginbfchar\n<01> <0041>\n<02> <00660066>\nendbfchar\n"
        "1 beginbfchar\r<03>\t<0020>\fendbfchar\n"
        "endcmap CMapName currentdict /CMap defineresource pop end end\n");
    EXPECT_EQ(cmap.bf_chars.size(), 3u);
    EXPECT_TRUE(cmap.bf_ranges.empty());
    EXPECT_EQ(lookup(cmap, "\x01"), (ByteList{0x00, 0x41}));
    EXPECT_EQ(lookup(cmap, "\x02"), (ByteList{0x00, 0x66, 0x00, 0x66}));
    EXPECT_EQ(lookup(cmap, "\x03"), (ByteList{0x00, 0x20}));
    // Exact length: the two-byte code 0x0001 is not the one-byte code 0x01.
    EXPECT_EQ(lookup(cmap, "\x00\x01"sv), std::nullopt);
}

TEST(ParseCmap, TokenRules) {
    const LookupCase cases[] = {
        // Three tokens: the odd last one is ignored.
        {"beginbfchar <01> <0041> <02> endbfchar", "\x02", std::nullopt},
        // An empty source or destination drops the pair.
        {"beginbfchar <> <0041> <01> <> endbfchar", "\x01", std::nullopt},
        // A later mapping of the same code replaces the earlier one, across sections too.
        {"beginbfchar <01> <0041> endbfchar beginbfchar <01> <0042> endbfchar", "\x01",
         ByteList{0x00, 0x42}},
        // Markers are plain substrings; no white space is needed around them.
        {"beginbfchar<01> <0041>endbfchar", "\x01", ByteList{0x00, 0x41}},
        // Unicode white space separates tokens: NO-BREAK SPACE and IDEOGRAPHIC SPACE.
        {"beginbfchar <01>\xC2\xA0<0041>\xE3\x80\x80<02> <0042> endbfchar", "\x02",
         ByteList{0x00, 0x42}},
        // Unspaced tokens form one token.
        {"beginbfchar <01><0041> <02> endbfchar", "\x01\x00\x00\x41"sv, ByteList{0x02}},
        // Text that is not UTF-8 (here a surrogate) gives an empty map.
        {"beginbfchar <01> <0041> endbfchar \xED\xA0\x80", "\x01", std::nullopt},
    };
    expect_lookups(cases);
    // A bfchar section without its end swallows the bfrange section's text, yet the bfrange
    // pass reads the whole text again.
    const CMap cmap = cmap_of("beginbfchar <01> <0041> beginbfrange <10> <12> <0061> endbfrange");
    EXPECT_EQ(lookup(cmap, "\x01"), (ByteList{0x00, 0x41}));
    EXPECT_EQ(lookup(cmap, "\x11"), (ByteList{0x00, 0x62}));
}

TEST(CmapLookup, Ranges) {
    const LookupCase cases[] = {
        // The usual range: the last byte varies.
        {"beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x41"sv, ByteList{0x00, 0x41}},
        {"beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x7F"sv, std::nullopt},
        {"beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x1F"sv, std::nullopt},
        // A one-byte code never matches a two-byte range.
        {"beginbfrange <0000> <00FF> <0000> endbfrange", "\x41", std::nullopt},
        // Across a byte boundary the offset is built byte by byte on 32 bits: 0x01 - 0xFF wraps.
        {"beginbfrange <00FF> <0101> <0041> endbfrange", "\x01\x01"sv, ByteList{0xFF, 0x43}},
        {"beginbfrange <00FF> <0101> <0041> endbfrange", "\x00\xFF"sv, ByteList{0x00, 0x41}},
        // The offset carries into earlier destination bytes; a carry out of the first is lost.
        {"beginbfrange <00> <FF> <00FF> endbfrange", "\x01", ByteList{0x01, 0x00}},
        {"beginbfrange <00> <0F> <FFFF> endbfrange", "\x01", ByteList{0x00, 0x00}},
        {"beginbfrange <00> <FF> <00FFFFFFFF> endbfrange", "\x01", ByteList{0x01, 0, 0, 0, 0}},
        // lo > hi, or lo and hi of different lengths, hold no code.
        {"beginbfrange <20> <10> <0041> endbfrange", "\x15", std::nullopt},
        {"beginbfrange <00> <00FF> <0041> endbfrange", "\x00\x01"sv, std::nullopt},
        // An incomplete last triple is ignored, also when the section has no end.
        {"beginbfrange <10> <12> <0061> <20> <21> endbfrange", "\x20", std::nullopt},
        {"beginbfrange <10> <12> <0061> <20> <21>", "\x11", ByteList{0x00, 0x62}},
        // A destination array is not recognised: its tokens fall into the triples as they come.
        {"beginbfrange <0000> <0002> [<0041> <0042>] endbfrange", "\x00\x00"sv,
         ByteList{0x00, 0x00, 0x41}},
    };
    expect_lookups(cases);
}

TEST(CmapLookup, BfcharBeforeRangesAndFirstRangeWins) {
    const CMap cmap = cmap_of(
        "beginbfchar <0041> <0058> endbfchar "
        "beginbfrange <0040> <0050> <0061> <0030> <0045> <0030> <0045> <0060> <0100> endbfrange");
    EXPECT_EQ(lookup(cmap, "\x00\x41"sv), (ByteList{0x00, 0x58}));  // bfchar wins
    EXPECT_EQ(lookup(cmap, "\x00\x42"sv), (ByteList{0x00, 0x63}));  // first range in file order
    EXPECT_EQ(lookup(cmap, "\x00\x3F"sv), (ByteList{0x00, 0x3F}));  // second range
    EXPECT_EQ(lookup(cmap, "\x00\x55"sv), (ByteList{0x01, 0x10}));  // third range only
}

// The run index must answer exactly as the walk over bf_ranges does, for every code of one
// and two bytes, whatever the overlaps.
TEST(CmapLookup, IndexAgreesWithWalk) {
    std::uint32_t seed = 12345;
    const auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFF;
    };
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        CMap indexed;
        for (int i = 0, n = 1 + static_cast<int>(next() % 40); i < n; ++i) {
            const size_t len = 1 + next() % 2, dst_len = 1 + next() % 5;
            BfRange r;
            for (size_t k = 0; k < len; ++k) r.lo.push_back(static_cast<std::uint8_t>(next()));
            r.hi = r.lo;
            // Mostly ranges that grow the last byte, sometimes wider or inverted ones.
            std::uint32_t carry = next() % 4 == 0 ? next() : next() % 64;
            for (size_t k = len; k-- > 0;) {
                const std::uint32_t sum = r.hi[k] + (carry & 0xFF);
                r.hi[k] = static_cast<std::uint8_t>(sum);
                carry = (carry >> 8) + (sum >> 8);
            }
            for (size_t k = 0; k < dst_len; ++k) r.dst.push_back(static_cast<std::uint8_t>(next()));
            if (dst_len >= 2 && next() % 2) r.dst[dst_len - 2] = 0;  // keep many results scalar
            indexed.bf_ranges.push_back(std::move(r));
        }
        indexed.index_ranges();
        ASSERT_TRUE(indexed.ranges_indexed);
        CMap walked = indexed;
        walked.range_runs.clear();
        walked.ranges_indexed = false;
        // Plain comparisons inside the loop, one assertion after it: the loop runs 65792 times.
        std::optional<std::uint32_t> first_mismatch;
        for (std::uint32_t code = 0; code < 0x10000 + 0x100 && !first_mismatch; ++code) {
            const std::uint8_t buf[2] = {static_cast<std::uint8_t>(code >> 8),
                                         static_cast<std::uint8_t>(code)};
            const Bytes c = code < 0x10000 ? Bytes(buf, 2) : Bytes(buf + 1, 1);
            const std::optional<char32_t> walk = walked.lookup_char(c);
            if (indexed.lookup_char(c) != walk) first_mismatch = code;
            // A two-byte destination that is not a surrogate is the character itself.
            const std::optional<ByteList> raw = walked.lookup(c);
            if (!raw && walk) first_mismatch = code;
            if (raw && raw->size() == 2 && ((*raw)[0] < 0xD8 || (*raw)[0] > 0xDF) &&
                walk != static_cast<char32_t>((*raw)[0] << 8 | (*raw)[1])) {
                first_mismatch = code;
            }
        }
        EXPECT_EQ(first_mismatch, std::nullopt);
    }
}

TEST(ParseCmap, EntriesAreBounded) {
    std::string text = "beginbfchar\n", ranges = "beginbfrange\n";
    char line[32];
    for (size_t i = 0; i <= kMaxCMapMappings; ++i) {
        std::snprintf(line, sizeof line, "<%06zx> <0041>\n", i);
        text += line;
        std::snprintf(line, sizeof line, "<%06zx> <%06zx> <0041>\n", i, i);
        ranges += line;
    }
    const CMap cmap = cmap_of(text + "<000000> <0042>\nendbfchar\n" + ranges + "endbfrange\n");
    EXPECT_EQ(cmap.bf_chars.size(), kMaxCMapMappings);
    EXPECT_EQ(cmap.bf_ranges.size(), kMaxCMapMappings);
    // A code already present is still replaced after the bound is reached.
    EXPECT_EQ(lookup(cmap, "\x00\x00\x00"sv), (ByteList{0x00, 0x42}));
}

TEST(GlyphNames, TableIsSortedAndComplete) {
    const std::span<const GlyphName> table = glyph_name_table();
    ASSERT_EQ(table.size(), 222u);
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].name);
        if (i > 0) {
            EXPECT_LT(table[i - 1].name, table[i].name);
        }
        EXPECT_EQ(glyph_name_to_unicode(as_bytes(table[i].name)), table[i].code_point);
    }
}

TEST(GlyphNames, Resolution) {
    const struct { std::string_view name; std::optional<char32_t> expected; } cases[] = {
        // Exact and case-sensitive; one-letter names are not in the table.
        {"fi", 0xFB01}, {"Euro", 0x20AC}, {"quotesinglbase", 0x201A}, {"A", std::nullopt},
        {"SPACE", std::nullopt}, {"spac", std::nullopt}, {"spaces", std::nullopt}, {"", std::nullopt},
        // uniXXXX with at least 7 bytes; one optional '+'; leading zeros allowed.
        {"uni00e9", 0xE9}, {"uni+041", 0x41}, {"uni10FFFF", 0x10FFFF}, {"uni1F600", 0x1F600},
        {"uni" "000000000000000000000000000000000000000041", 0x41},
        {"uni041", std::nullopt}, {"uni00410042", std::nullopt}, {"uni110000", std::nullopt},
        {"uniD800", std::nullopt}, {"uniFFFFFFFFFFFF", std::nullopt}, {"uni00G1", std::nullopt},
        {"uni++0041", std::nullopt}, {"uni-0041", std::nullopt}, {"Uni0041", std::nullopt},
        {"uni\xFF" "041", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(glyph_name_to_unicode(as_bytes(c.name)), c.expected) << c.name;
}

TEST(DecodeChar, ToUnicodeLengths) {
    // Code 0x41 maps to the destination; a refused destination falls back to Latin-1 'A'.
    const struct { std::string_view dst; char32_t expected; } cases[] = {
        {"<58>", U'X'}, {"<00>", 0x0000}, {"<E000>", 0xE000}, {"<DFFF>", U'A'},  // lone surrogate
        {"<10FFFF>", 0x10FFFF}, {"<110000>", U'A'}, {"<00D800>", U'A'},
        {"<D83DDE00>", 0x1F600}, {"<DBFFDFFF>", 0x10FFFF},  // surrogate pairs
        {"<0001F600>", 0x1F600}, {"<00110000>", U'A'},      // UTF-32
        {"<00660066>", U'A'}, {"<D83D0041>", U'A'},         // two characters, a broken pair
        {"<0041004200>", U'A'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dst);
        FontInfo f;
        f.to_unicode = std::make_shared<const CMap>(
            cmap_of("beginbfchar <41> " + std::string(c.dst) + " endbfchar"));
        // The same answer before and after the one-byte table is filled.
        EXPECT_EQ(decode(f, "A"), c.expected);
        finish_font_info(f);
        EXPECT_EQ(decode(f, "A"), c.expected);
    }
}

TEST(DecodeChar, TwoByteCodes) {
    FontInfo f, bare;
    f.is_type0 = bare.is_type0 = true;
    f.to_unicode = std::make_shared<const CMap>(
        cmap_of("beginbfchar <0041> <D800> <0042> <0062> endbfchar "
                "beginbfrange <0100> <01FF> <4E00> endbfrange"));
    finish_font_info(f);
    finish_font_info(bare);
    EXPECT_EQ(decode(f, "\x00\x42"sv), U'b');
    EXPECT_EQ(decode(f, "\x01\x05"sv), 0x4E05);
    // A refused or missing mapping of a two-byte code gives U+FFFD, never Latin-1; so does
    // every code of a font without ToUnicode.
    EXPECT_EQ(decode(f, "\x00\x41"sv), 0xFFFD);
    EXPECT_EQ(decode(f, "\x00\x43"sv), 0xFFFD);
    EXPECT_EQ(decode(bare, "\x00\xE9"sv), 0xFFFD);
}

TEST(DecodeChar, ToUnicodeThenDifferencesThenLatin1) {
    FontInfo f = extract_font_info(
        object_of("<< /Encoding << /Differences [65 /uni00E9 /space /B 200 /nosuchglyph /fi] >> >>"));
    ASSERT_TRUE(f.differences.has_value());
    f.to_unicode =
        std::make_shared<const CMap>(cmap_of("beginbfchar <40> <0058> <41> <00660066> endbfchar"));
    FontInfo unfinished = f;
    finish_font_info(f);
    const struct { std::uint8_t code; char32_t expected; } cases[] = {
        {0x40, U'X'},     // ToUnicode
        {65, 0xE9},       // refused by ToUnicode, then Differences
        {66, 0x20},
        {67, U'C'},       // B is unresolved: Latin-1 of the code
        {200, 0xC8},      // unknown name
        {201, 0xFB01}, {0xE9, 0xE9}, {0x20, 0x20}, {0x7E, 0x7E}, {0x80, 0x80}, {0xFF, 0xFF},
        {0x00, 0xFFFD}, {0x09, 0xFFFD}, {0x1F, 0xFFFD}, {0x7F, 0xFFFD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.code});
        EXPECT_EQ(f.decode_char(&c.code, 1), c.expected);
        EXPECT_EQ(unfinished.decode_char(&c.code, 1), c.expected);
    }
}

TEST(ExtractFontInfo, FieldsAndSimpleWidths) {
    // Non-numbers are dropped from /Widths; /FirstChar is not applied; codes past the array
    // take /DW, or 1000.
    const FontInfo simple = extract_font_info(
        object_of("<< /Subtype /Type1 /FirstChar 32 /Widths [500 /x 600.5] /DW 250 >>"));
    EXPECT_FALSE(simple.is_type0);
    EXPECT_FALSE(simple.differences.has_value());
    EXPECT_EQ(simple.widths, (std::vector<double>{500, 600.5}));
    EXPECT_EQ(simple.glyph_width(1), 600.5);
    EXPECT_EQ(simple.glyph_width(2), 250);
    EXPECT_EQ(simple.glyph_width(0xFFFFFFFF), 250);
    EXPECT_EQ(extract_font_info(object_of("<< /Widths [500] >>")).glyph_width(32), 1000);
    EXPECT_TRUE(extract_font_info(object_of("<< /Subtype /Type0 >>")).is_type0);
    // Only the name Type0 in the first Subtype entry makes a Type0 font.
    for (std::string_view font : {"<< /Subtype (Type0) >>", "<< /Subtype /Type0x >>",
                                  "<< /Subtype /TrueType /Subtype /Type0 >>", "[/Type0]"}) {
        EXPECT_FALSE(extract_font_info(object_of(font)).is_type0) << font;
    }
    EXPECT_EQ(extract_font_info(object_of("<< /DW /x >>")).missing_width, 1000);
    // A Widths reference is not followed.
    EXPECT_TRUE(extract_font_info(object_of("<< /Widths 5 0 R >>")).widths.empty());
}

TEST(ExtractFontInfo, Differences) {
    using Names = std::map<std::uint8_t, std::string_view>;
    const struct { std::string_view font; Names expected; } cases[] = {
        // The code runs from 0; values and the running code wrap modulo 256.
        {"<< /Encoding << /Differences [/zero 300 /C -1 /D /E] >> >>",
         {{0, "E"}, {44, "C"}, {255, "D"}}},
        // Other elements are ignored; a later name for a code replaces an earlier one.
        {"<< /Encoding << /Differences [65 (x) /A 1.5 65 /Q] >> >>", {{65, "Q"}}},
        {"<< /Encoding << /Differences [65] >> >>", {}},
        {"<< /Encoding /WinAnsiEncoding >>", {}},
        {"<< /Encoding << /Differences 5 0 R >> >>", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.font);
        const FontInfo f = extract_font_info(object_of(c.font));
        ASSERT_EQ(f.differences.has_value(), !c.expected.empty());
        Names got;
        if (f.differences) {
            for (const auto& [code, name] : *f.differences) got[code] = as_chars(name);
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(GlyphWidth, CidWidths) {
    const struct {
        std::string_view descendant;
        std::vector<std::pair<std::uint32_t, double>> widths;
    } cases[] = {
        {"<< /W [1 [500 600] 10 12 300] >>",
         {{0, 1000}, {1, 500}, {2, 600}, {3, 1000}, {9, 1000}, {10, 300}, {12, 300}, {13, 1000}}},
        {"<< /DW 250 /W [1 [500 600] 10 12 300] >>", {{3, 250}, {13, 250}}},
        // e < s gives no range.
        {"<< /W [5 3 400] >>", {{3, 1000}, {4, 1000}, {5, 1000}}},
        {"<< /W [5 5 400] >>", {{4, 1000}, {5, 400}, {6, 1000}}},
        // Only the range found by the binary search is consulted: code 5 lies in the first
        // range, but the last range starting at or below 5 is the one at 2.
        {"<< /W [0 [100 100 100 100 100 100 100 100 100 100] 2 [200]] >>",
         {{1, 100}, {2, 200}, {3, 1000}, {5, 1000}, {9, 1000}}},
        // Equal starts keep their order, so the later range is the last one found.
        {"<< /W [4 [1] 4 [2 3]] >>", {{4, 2}, {5, 3}}},
        // Elements of the array form that are not numbers keep their place with width 0.
        {"<< /W [1 [500 /x 600.5]] >>", {{1, 500}, {2, 0}, {3, 600.5}}},
        {"<< /W [1 []] >>", {{1, 1000}}},
        // A missing or non-number w gives 0.
        {"<< /W [1 2 /x] >>", {{1, 0}, {2, 0}, {3, 1000}}},
        // Elements that start no entry are skipped one at a time.
        {"<< /W [/x 1 [500] 1.5 [7] 2.0 3 (s) 8 [9]] >>", {{1, 500}, {2, 1000}, {3, 1000}, {8, 9}}},
        // Ranges are sorted by start.
        {"<< /W [20 [5] 10 [6]] >>", {{10, 6}, {20, 5}}},
        // Huge s e w ranges are kept whole: every code from s on.
        {"<< /W [0 99999999999 250] >>", {{0, 250}, {0x80000000, 250}, {0xFFFFFFFF, 250}}},
        {"<< /W [-9223372036854775808 9223372036854775807 7] >>", {{0, 7}, {0xFFFFFFFF, 7}}},
        // s is taken by its low 32 bits.
        {"<< /W [-1 5 9] >>", {{0, 1000}, {0xFFFFFFFE, 1000}, {0xFFFFFFFF, 9}}},
        {"<< /W [4294967297 [11]] >>", {{1, 11}, {2, 1000}}},
        {"<< /W 5 0 R >>", {{1, 1000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.descendant);
        FontInfo f;
        f.is_type0 = true;
        f.widths = {42};  // ignored once the font has a descendant
        f.cid =
            std::make_shared<const CIDFontInfo>(extract_cid_font_info(object_of(c.descendant)));
        for (const auto& [code, width] : c.widths) {
            EXPECT_EQ(f.glyph_width(code), width) << "code " << code;
        }
    }
    // A huge range is one entry, not one per code.
    const CIDFontInfo cid = extract_cid_font_info(object_of("<< /W [0 4294967295 250 7 [1 2]] >>"));
    ASSERT_EQ(cid.widths.size(), 2u);
    EXPECT_TRUE(cid.widths[0].uniform);
    EXPECT_EQ(cid.widths[0].widths.size(), 1u);
    EXPECT_EQ(cid.widths[0].size(), std::uint64_t{1} << 32);
}

// The font table of the page of a built document.
FontTable page_fonts(const testing::PdfBuilder& builder) {
    Result<DocPtr> doc = testing::open_bytes(builder.build());
    if (!doc) {
        ADD_FAILURE() << doc.error().display();
        return {};
    }
    const ObjPtr page = (*doc)->get_object(ObjectId{3, 0}).value();
    const PdfObject* resources = page->get("Resources");
    // Fonts own their data: they must stay valid after the document is gone.
    return resources ? build_font_map(*resources, **doc) : FontTable{};
}

TEST(BuildFontMap, DirectAndReferencedFonts) {
    // The Font dictionary itself given by reference (object 6).
    const FontTable fonts = page_fonts(testing::one_page_pdf(
        "", "<< /Font 6 0 R >>",
        {{5, "<< /Type /Font /Subtype /TrueType /Widths [500 600] /DW 700 >>"},
         {6, "<< /F1 5 0 R /F2 << /Subtype /Type1 /Widths [300] >> /F3 7 /F4 [5 0 R] /F\xFF 5 0 R >>"}}));
    EXPECT_EQ(fonts.size(), 3u);
    ASSERT_TRUE(fonts.contains("F1") && fonts.contains("F2"));
    EXPECT_EQ(fonts.at("F1")->widths, (std::vector<double>{500, 600}));
    EXPECT_EQ(fonts.at("F1")->missing_width, 700);
    EXPECT_EQ(fonts.at("F2")->glyph_width(0), 300);
    EXPECT_TRUE(fonts.contains("F\xEF\xBF\xBD"));  // key converted lossily
    for (const auto& [name, font] : fonts) EXPECT_TRUE(font->single_byte_ready) << name;
    // A later entry of the same name replaces the earlier one.
    const FontTable twice = page_fonts(testing::one_page_pdf(
        "", "<< /Font << /F1 << /Widths [1] >> /F1 << /Widths [2] >> >> >>"));
    ASSERT_EQ(twice.size(), 1u);
    EXPECT_EQ(twice.at("F1")->glyph_width(0), 2);
}

TEST(BuildFontMap, EmptyTables) {
    // A Font entry empty, missing or not a dictionary; resources that are neither a dictionary
    // nor a stream.
    for (std::string resources : {"<< /Font 7 0 R >>", "<< /Font << >> >>", "<< /XObject << >> >>",
                                  "<< /Font [5 0 R] >>", "[/Font]", "null"}) {
        SCOPED_TRACE(resources);
        EXPECT_TRUE(page_fonts(testing::one_page_pdf(
            "", resources, {{5, "<< /F1 6 0 R >>"}, {6, "<< /Type /Font /Subtype /Type1 >>"}, {7, "[5 0 R]"}})).empty());
    }
}

TEST(BuildFontMap, EncodingsAndToUnicodeStreams) {
    testing::PdfBuilder b = testing::one_page_pdf(
        "", "<< /Font << /F1 5 0 R /F2 << /Encoding 6 0 R >> /F3 << /Encoding 7 0 R >> "
            "/T1 8 0 R /T2 9 0 R /T3 10 0 R /T4 11 0 R >> >>",
        {{5, "<< /Type /Font /Encoding 6 0 R >>"},
         {6, "<< /Type /Encoding /BaseEncoding /WinAnsiEncoding /Differences [65 /Aacute /uni263A] >>"},
         {7, "[65 /Aacute]"},
         {8, "<< /Type /Font /ToUnicode 12 0 R >>"},
         {9, "<< /Type /Font /ToUnicode 13 0 R >>"},
         {10, "<< /Type /Font /ToUnicode 14 0 R /Encoding << /Differences [65 /eacute] >> >>"},
         {11, "<< /Type /Font /ToUnicode 15 0 R >>"}});
    b.add_stream(12, "/Filter /FlateDecode",
                 testing::flate("beginbfchar <41> <0042> <42> <D83DDE00> endbfchar "
                                "beginbfrange <61> <63> <0391> endbfrange"));
    b.add_stream(13, "", "beginbfchar <41> <0058> endbfchar");
    // Announced as Flate but stored plain: decoding fails, so the raw bytes are read.
    b.add_stream(14, "/Filter /FlateDecode", "beginbfchar <42> <0059> endbfchar");
    b.add(15, "<< /Length 0 >>");  // not a stream
    const FontTable fonts = page_fonts(b);
    ASSERT_EQ(fonts.size(), 7u);
    // Encodings by reference, in the font or in the font's dictionary; an array is none.
    for (const char* name : {"F1", "F2"}) {
        EXPECT_EQ(decode(*fonts.at(name), "A"), 0xC1) << name;
        EXPECT_EQ(decode(*fonts.at(name), "B"), 0x263A) << name;
        EXPECT_EQ(decode(*fonts.at(name), "C"), U'C') << name;
    }
    EXPECT_FALSE(fonts.at("F3")->differences.has_value());
    const FontInfo& flate = *fonts.at("T1");
    EXPECT_EQ(decode(flate, "A"), U'B');
    EXPECT_EQ(decode(flate, "B"), 0x1F600);
    EXPECT_EQ(decode(flate, "c"), 0x393);
    EXPECT_EQ(decode(flate, "d"), U'd');
    EXPECT_EQ(decode(*fonts.at("T2"), "A"), U'X');
    EXPECT_EQ(decode(*fonts.at("T3"), "B"), U'Y');
    EXPECT_EQ(decode(*fonts.at("T3"), "A"), 0xE9);  // no mapping: Differences
    EXPECT_FALSE(fonts.at("T4")->to_unicode);
}

TEST(BuildFontMap, DescendantFonts) {
    const FontTable fonts = page_fonts(testing::one_page_pdf(
        "", "<< /Font << /F1 5 0 R /F2 6 0 R /F3 7 0 R /F4 8 0 R >> >>",
        {{5, "<< /Type /Font /Subtype /Type0 /DescendantFonts [9 0 R] /Widths [1] >>"},
         {6, "<< /Type /Font /Subtype /Type0 /DescendantFonts 10 0 R >>"},
         {7, "<< /Type /Font /Subtype /TrueType /DescendantFonts [9 0 R] >>"},
         {8, "<< /Type /Font /Subtype /Type0 /DescendantFonts [<< /W [1 [5]] >>] >>"},
         {9, "<< /Type /Font /Subtype /CIDFontType2 /DW 900 /W [1 [500 600] 10 12 300] >>"},
         {10, "[9 0 R]"}}));
    ASSERT_EQ(fonts.size(), 4u);
    const FontInfo& cid = *fonts.at("F1");
    EXPECT_TRUE(cid.is_type0);
    ASSERT_TRUE(cid.cid);
    EXPECT_EQ(cid.glyph_width(1), 500);
    EXPECT_EQ(cid.glyph_width(11), 300);
    EXPECT_EQ(cid.glyph_width(0), 900);
    EXPECT_EQ(decode(cid, "\x00\x41"sv), 0xFFFD);
    // A DescendantFonts reference, a simple font, or a direct descendant: no descendant.
    for (const char* name : {"F2", "F3", "F4"}) EXPECT_FALSE(fonts.at(name)->cid) << name;
    EXPECT_EQ(fonts.at("F2")->glyph_width(1), 1000);
}

TEST(BuildFontMap, ManyFontsOneToUnicode) {
    // Thousands of font dictionaries of a small file may name one large ToUnicode stream or
    // one descendant font with a long W array (fuzz/regressions/document/
    // many-fonts-one-tounicode.pdf: a file of 67 KB took a gigabyte); each copy would cost
    // the full size again, so fonts share them. Fonts 5 and 6 share map 9 and descendant 10;
    // font 5 is named twice.
    const std::string tounicode = "beginbfchar <0041> <0058> endbfchar";
    testing::PdfBuilder b = testing::one_page_pdf(
        "", "<< /Font << /F1 5 0 R /F2 6 0 R /F3 5 0 R /F4 << /ToUnicode 9 0 R >> >> >>",
        {{5, "<< /Subtype /Type0 /ToUnicode 9 0 R /DescendantFonts [10 0 R] >>"},
         {6, "<< /Subtype /Type0 /ToUnicode 9 0 R /DescendantFonts [10 0 R] /DW 5 >>"},
         {10, "<< /W [65 [250]] >>"}});
    b.add_stream(9, "", tounicode);
    Result<DocPtr> doc = testing::open_bytes(b.build());
    ASSERT_TRUE(doc) << doc.error().display();
    const ObjPtr page = (*doc)->get_object(ObjectId{3, 0}).value();
    FontCache cache;
    const FontTable fonts = build_font_map(*page->get("Resources"), **doc, cache);
    ASSERT_EQ(fonts.size(), 4u);
    const FontInfo& f1 = *fonts.at("F1");
    EXPECT_EQ(f1.glyph_width(65), 250);
    EXPECT_EQ(decode(f1, "\x00\x41"sv), U'X');
    for (const char* name : {"F2", "F4"}) {
        EXPECT_EQ(fonts.at(name)->to_unicode.get(), f1.to_unicode.get()) << name;
    }
    EXPECT_EQ(fonts.at("F2")->cid.get(), f1.cid.get());
    EXPECT_EQ(fonts.at("F3").get(), &f1);
    // The same cache on the same resources again (the next page) builds nothing new.
    const FontTable again = build_font_map(*page->get("Resources"), **doc, cache);
    for (const auto& [name, font] : fonts) EXPECT_EQ(again.at(name).get(), font.get()) << name;
}

}  // namespace
}  // namespace vellix
