// The content stream interpreter: operand syntax, glyph geometry, word spaces, fonts, colours,
// forms, and the bounds that keep hostile content cheap.
#include "parser/content_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <memory>

namespace vellix {
namespace {

using namespace std::literals;

ContentResult run(std::string_view content, const FontTable& fonts = {},
                  const XObjectTable& xobjects = {}, std::uint32_t depth = 0,
                  const ColorSpaceTable* spaces = nullptr) {
    return scan_content_stream_full(as_bytes(content), fonts, xobjects, depth, spaces);
}

std::u32string text_of(const ContentResult& r) {
    std::u32string s;
    for (const CharInfo& c : r.chars) s.push_back(c.ch);
    return s;
}

std::string repeat(std::string_view s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

Operand real(double v) { return Operand{v}; }
Operand integer(std::int64_t v) { return Operand{v}; }
Operand str(std::string_view s) { return Operand{OperandString{{}, std::string(s), false}}; }
Operand name(std::string_view s) { return Operand{OperandName{as_bytes(s)}}; }
Operand array(std::vector<Operand> items) { return Operand{std::move(items)}; }

// A simple font whose codes all have the same width, decoded as Latin-1 unless `differences`
// says otherwise.
std::shared_ptr<const FontInfo> simple_font(
    double width, std::vector<std::pair<std::uint8_t, std::string>> differences = {},
    std::string base_font = {}) {
    FontInfo f;
    f.name = std::move(base_font);
    f.widths.assign(256, width);
    if (!differences.empty()) f.differences.emplace();
    for (auto& [code, glyph] : differences) {
        (*f.differences)[code] = std::vector<std::uint8_t>(glyph.begin(), glyph.end());
    }
    finish_font_info(f);
    return std::make_shared<const FontInfo>(std::move(f));
}

XObjectData form(std::string_view content, Matrix matrix = {}, FontTable fonts = {}) {
    XObjectData x;
    x.kind = XObjectData::Kind::Form;
    x.data.assign(content.begin(), content.end());
    x.matrix = matrix;
    x.fonts = std::move(fonts);
    return x;
}

void expect_char(const CharInfo& c, double x0, double y0, double x1, double y1, char32_t ch) {
    EXPECT_EQ(c.ch, ch);
    const double got[] = {c.x0, c.y0, c.x1, c.y1}, want[] = {x0, y0, x1, y1};
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(got[k], want[k], 1e-9) << k;
}

TEST(MatrixMul, AppliesSecondThenFirst) {
    EXPECT_EQ(Matrix::mul(Matrix{1, 2, 3, 4, 5, 6}, Matrix{7, 8, 9, 10, 11, 12}), (Matrix{31, 46, 39, 58, 52, 76}));
}

struct OperandCase {
    std::string_view input;
    std::optional<Operand> expected;
    size_t end;
};

void expect_operands(std::span<const OperandCase> cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        size_t pos = 0;
        EXPECT_EQ(parse_operand(as_bytes(c.input), pos), c.expected);
        EXPECT_EQ(pos, c.end);
    }
}

TEST(ParseOperand, Numbers) {
    const double inf = std::numeric_limits<double>::infinity();
    const OperandCase cases[] = {
        {"123 ", integer(123), 3}, {"+5", integer(5), 2}, {"-0", integer(0), 2},
        {"9223372036854775807", integer(std::numeric_limits<std::int64_t>::max()), 19},
        {"-9223372036854775808", integer(std::numeric_limits<std::int64_t>::min()), 20},
        // Integers beyond 64 bits are no operand.
        {"9223372036854775808", std::nullopt, 19}, {"-.5", real(-0.5), 3}, {"5.", real(5.0), 2},
        {"+.25", real(0.25), 4}, {"1E-2", real(0.01), 4}, {"2.5e+1", real(25.0), 6},
        // Conversion is correctly rounded; out of range reals go to infinity or to zero.
        {"0.30000000000000004", real(0.30000000000000004), 19},
        {"9007199254740993.0", real(9007199254740992.0), 18},
        {"-1e999", real(-inf), 6}, {"1e-999", real(0.0), 6}, {"0.000e999", real(0.0), 9},
        // An exponent marker without digits is not part of the number; a second point ends it.
        {"3ET", integer(3), 1}, {"1.5e", real(1.5), 3}, {"1e+", integer(1), 1}, {"1.2.3", real(1.2), 3},
        // A lone sign or point, or a sign and a point, is no number.
        {"-", std::nullopt, 1}, {".", std::nullopt, 1}, {"-.", std::nullopt, 2}, {"+-5", std::nullopt, 1},
    };
    expect_operands(cases);
}

TEST(ParseOperand, NamesStringsArraysAndOtherBytes) {
    const OperandCase cases[] = {
        // Names end at white space and delimiters; '#' is kept as it stands.
        {"/F1 12", name("F1"), 3}, {"/a/b", name("a"), 2}, {"/A#20B", name("A#20B"), 6},
        {"/x{y}\x0Cz", name("x{y}\x0Cz"), 7}, {"/ x", name(""), 1}, {"/N(", name("N"), 2},
        // Literal strings: nesting, escapes, end of data.
        {"(abc) ", str("abc"), 5}, {"()", str(""), 2}, {"(a(b)c", str("a(b)c"), 6},
        {"(\\b\\f)", str("\b\f"), 6}, {"(\\n\\r\\t)", str("\n\r\t"), 8},
        {"(\\(\\)\\\\)", str("()\\"), 8}, {"(\\9)", str("\x09"), 4}, {"(\\81)", str("A"), 5},
        {"(\\777)", str("\xFF"), 6}, {"(\\0053)", str("\x05" "3"), 7}, {"(\\18)", str("\x01" "8"), 5},
        {"(a\\\nb)", str("ab"), 6}, {"(a\\\r\nb)", str("ab"), 7}, {"(abc\\", str("abc"), 5},
        {"(\\)x)", str(")x"), 5},
        // Hex strings skip every byte that is not a hex digit.
        {"<414>", str("A@"), 5}, {"<41zz6a>", str("Aj"), 8}, {"<", str(""), 1}, {"<41", str("A"), 3},
        // Arrays: keywords vanish byte by byte; dictionaries dissolve; comments are skipped;
        // truncated arrays end with what was read.
        {"[1 (a) /N [2.5]]", array({integer(1), str("a"), name("N"), array({real(2.5)})}), 16},
        {"[1 true null 2]", array({integer(1), integer(2)}), 15},
        {"[<</K 1>>]", array({name("K"), integer(1)}), 10},
        {"[%x]\n1]", array({integer(1)}), 7}, {"[(a]b)]", array({str("a]b")}), 7},
        {"[1 2", array({integer(1), integer(2)}), 4}, {"[1 %c", array({integer(1)}), 5},
        // "<<" dissolves; other bytes are skipped one at a time.
        {"<</A 1>>", std::nullopt, 2}, {">>", std::nullopt, 1}, {")", std::nullopt, 1},
        {"\x80", std::nullopt, 1}, {"true", std::nullopt, 1}, {" 1", std::nullopt, 1},
    };
    expect_operands(cases);
}

TEST(ParseOperand, ArraysAreBounded) {
    // kMaxOperandNesting arrays, one inside the other, around `inner`.
    const auto nest = [](std::vector<Operand> inner) {
        Operand op = array(std::move(inner));
        for (size_t i = 1; i < kMaxOperandNesting; ++i) op = array({op});
        return op;
    };
    const std::string at_bound = std::string(kMaxOperandNesting, '[') + "7" + std::string(kMaxOperandNesting, ']');
    const std::string past = "[" + at_bound + "] 9", deep(100000, '[');
    // Elements: at most kMaxOperandElements, nested ones included: an inner array that uses
    // up the allowance is itself one too many, and the outer array still ends at its bracket.
    const std::string flat = "[" + repeat("1 ", kMaxOperandElements + 10) + "]", nested = "[" + flat + " 7] 8";
    const OperandCase cases[] = {
        // At the bound the innermost array keeps its element; one level more is skipped whole.
        {at_bound, nest({integer(7)}), at_bound.size()}, {past, nest({}), past.size() - 2},
        // A hundred thousand open brackets: no stack overflow.
        {deep, nest({}), deep.size()},
        {flat, array(std::vector<Operand>(kMaxOperandElements, integer(1))), flat.size()},
        {nested, array({}), nested.size() - 2},
    };
    expect_operands(cases);
    // Once closed the content goes on; in a content stream the allowance is renewed at every
    // operator.
    EXPECT_EQ(text_of(run(deep + "(x])" + std::string(100000, ']') + " (A) Tj")), U"A");
    EXPECT_EQ(text_of(run(flat + " TJ [(A)] TJ")), U"A");
}

// A Type0 font of two-byte codes 0x0020 (250 wide) and 0x0041 (500), mapped to themselves.
std::shared_ptr<const FontInfo> two_byte_font() {
    FontInfo f;
    f.is_type0 = true;
    f.to_unicode = std::make_shared<const CMap>(parse_cmap(as_bytes("beginbfchar <0041> <0041> <0020> <0020> endbfchar")));
    CIDFontInfo cid;
    cid.widths = {CIDWidthRange{0x20, {250}}, CIDWidthRange{0x41, {500}}};
    f.cid = std::make_shared<const CIDFontInfo>(std::move(cid));
    finish_font_info(f);
    return std::make_shared<const FontInfo>(std::move(f));
}

// Glyph boxes (without a font every glyph is 0.6 em wide): the envelope of (0, 0)-(advance, 1)
// in glyph space under Trm = [Tfs·Th 0 0 Tfs 0 Ts] x Tm x CTM, and where the next glyph goes.
TEST(ScanContent, Geometry) {
    const FontTable fonts{{"F1", simple_font(500)}, {"F2", simple_font(1000, {{0x80, "Euro"}, {0x81, "bogus"}})},
                          {"L", simple_font(750, {{1, "uniFB03"}, {2, "fi"}})}, {"T", two_byte_font()}};
    const FontTable form_fonts{{"F1", simple_font(1000)}, {"G", simple_font(250)}},
        inner_fonts{{"G", simple_font(900)}, {"H", simple_font(100)}};
    const XObjectTable xobjects{{"Flip", form("(A) Tj", Matrix{-1, 0, 0, 1, 100, 0})},
                                {"Outer", form("/F1 10 Tf (A) Tj /G 10 Tf (B) Tj /Inner Do", {}, form_fonts)},
                                {"Inner", form("/G 10 Tf (C) Tj /H 10 Tf (D) Tj", {}, inner_fonts)}};
    // The CTM comes back once saves beyond the saved depth are unwound.
    const std::string unwound = "1 0 0 1 3 0 cm" + repeat(" q", kMaxGraphicsStateDepth + 5) + " 1 0 0 1 9 0 cm" +
                                repeat(" Q", kMaxGraphicsStateDepth + 5) + " (A) Tj";
    // `at`: the index of the character checked, -1 for the last.
    const struct { std::string_view content; std::u32string text; std::array<double, 4> box; int at = -1; } cases[] = {
        {"BT 100 700 Td (A) Tj ET", U"A", {100, 700, 107.2, 712}},
        // Surplus leading operands are ignored; too few do nothing.
        {"BT 10 20 30 Td (A) Tj", U"A", {20, 30, 27.2, 42}}, {"BT 10 Td (A) Tj", U"A", {0, 0, 7.2, 12}},
        {"1 2 3 4 5 6 7 (x) /N [1] 1 0 0 1 5 6 cm (A) Tj", U"A", {5, 6, 12.2, 18}},
        // Numbers of every form reach the operator that reads them; a lone sign or point is none.
        {"BT 1 0 0 1 +5 -.5 - . -. Tm (A) Tj", U"A", {5, -0.5, 12.2, 11.5}},
        {"BT 1 0 0 1 1e1 2.0000000000000000 Tm (A) Tj", U"A", {10, 2, 17.2, 14}},
        // The size in Tm with 1 Tf, as many producers write it.
        {"BT /F 1 Tf 12 0 0 12 100 700 Tm (AB) Tj", U"AB", {107.2, 700, 114.4, 712}},
        // Td moves in the line matrix's own space; TD sets the leading; T* and ' use it.
        {"BT 2 0 0 2 50 60 Tm 10 0 Td (A) Tj", U"A", {70, 60, 84.4, 84}},
        {"BT 10 20 TD T* (A) Tj", U"A", {10, 40, 17.2, 52}},
        {"BT 14 TL 0 100 Td (A) '", U"A", {0, 86, 7.2, 98}},
        // The CTM scales, moves and rotates glyphs; a new cm applies before the current one.
        {"0 1 -1 0 100 0 cm (AB) Tj", U"AB", {88, 7.2, 100, 14.4}},
        {"2 0 0 2 0 0 cm 1 0 0 1 50 0 cm (A) Tj", U"A", {100, 0, 114.4, 24}},
        {"1 0 0 1 50 0 cm 2 0 0 2 0 0 cm (A) Tj", U"A", {50, 0, 64.4, 24}},
        // Tc, Tw (byte 0x20 only) and Tz, all scaled by Th; Ts raises the glyph.
        {"2 Tc (AB) Tj", U"AB", {9.2, 0, 16.4, 12}}, {"3 Tw (A B) Tj", U"A B", {17.4, 0, 24.6, 12}},
        {"50 Tz 2 Tc 4 Tw (A B) Tj", U"A B", {11.2, 0, 14.8, 12}},
        {"BT 2 0 0 2 0 0 Tm 1 Tc (AB) Tj", U"AB", {16.4, 0, 30.8, 24}},
        {"5 Ts (A) Tj", U"A", {0, 5, 7.2, 17}},
        // TJ numbers move by thousandths of the size in text space.
        {"BT 2 0 0 2 0 0 Tm [(A) 500 (B)] TJ", U"AB", {2.4, 0, 16.8, 24}},
        // " sets Tw and Tc, then shows on the next line; with two operands it does nothing.
        {"BT 10 TL 0 50 Td 1 2 (A B) \"", U"A B", {19.4, 40, 26.6, 52}},
        {"BT 10 TL 0 50 Td 2 (A) \" (B) Tj", U"B", {0, 50, 7.2, 62}},
        // q and Q restore the CTM and the whole text state; unbalanced Q does nothing.
        {"q 1 0 0 1 50 5 cm Q (A) Tj", U"A", {0, 0, 7.2, 12}},
        {"q 5 Tc 50 Tz 3 Ts 2 Tw /F 20 Tf Q (AB) Tj", U"AB", {7.2, 0, 14.4, 12}},
        {"Q Q 1 0 0 1 7 0 cm Q (A) Tj", U"A", {7, 0, 14.2, 12}},
        {"q 14 TL Q BT 0 100 Td T* (A) Tj", U"A", {0, 100, 7.2, 112}}, {unwound, U"A", {3, 0, 10.2, 12}},
        // BT resets the text matrices only.
        {"BT 100 100 Td /F 20 Tf 2 Tc ET BT (AB) Tj", U"AB", {14, 0, 26, 20}},
        // Tf with fewer than two operands changes nothing; a number as the name empties it.
        {"/F 30 Tf /G Tf (A) Tj", U"A", {0, 0, 18, 30}}, {"(x) 20 Tf (A) Tj", U"A", {0, 0, 12, 20}},
        // Invisible text (render mode 3) is text all the same.
        {"3 Tr (A) Tj", U"A", {0, 0, 7.2, 12}},
        // A shown operand that is not a string shows nothing.
        {"/A Tj 5 Tj [(A)] Tj", U"", {}},
        // A form's mirroring matrix mirrors the glyph; its box stays ordered.
        {"/Flip Do", U"A", {92.8, 0, 100, 12}},
        // A form's fonts yield to the enclosing table's: the page's F1 (5 wide), the form's G
        // (2.5), still the outer form's G in the inner form (which starts a text object at 0),
        // the inner form's own H (1).
        {"/Outer Do", U"ABCD", {5, 0, 7.5, 10}, 1}, {"/Outer Do", U"ABCD", {2.5, 0, 3.5, 10}},
        // Simple fonts: widths; Differences decode codes, high bytes go through the font.
        {"BT /F1 12 Tf 100 700 Td (AB) Tj ET", U"AB", {106, 700, 112, 712}},
        {"/F2 10 Tf (\x80\x81\xE9) Tj", U"\u20AC\u0081\u00E9", {20, 0, 30, 10}},
        // A font name that is not in the table: bytes below 0x80 stand for themselves, others
        // are U+FFFD, each 0.6 x size wide; 0x20 still takes the word spacing.
        {"/F9 10 Tf 4 Tw (A\x80 \xFF) Tj", U"A\uFFFD \uFFFD", {6, 0, 12, 10}, 1},
        {"/F9 10 Tf 4 Tw (A\x80 \xFF) Tj", U"A\uFFFD \uFFFD", {22, 0, 28, 10}},
        // A ligature's letters share its advance (9 at size 12) in equal parts.
        {"/L 12 Tf (\x01\x02) Tj", U"ffifi", {3, 0, 6, 12}, 1}, {"/L 12 Tf (\x01\x02) Tj", U"ffifi", {13.5, 0, 18, 12}},
        // Two-byte codes; an odd trailing byte is read as a one-byte code; an unmapped code of no
        // known collection is read as a code point, with the default width.
        {"/T 10 Tf <00410041 0042 41> Tj", U"AABA", {10, 0, 20, 10}, 2}, {"/T 10 Tf <00410041 0042 41> Tj", U"AABA", {20, 0, 25, 10}},
        // Word spacing never applies to a two-byte code, even 0x0020; it does to a lone 0x20.
        {"/T 10 Tf 3 Tw <0020 0041 20> Tj (A) Tj", U" A A", {7.5, 0, 10, 10}, 2},
        {"/T 10 Tf 3 Tw <0020 0041 20> Tj (A) Tj", U" A A", {13, 0, 18, 10}},
        // A two-byte code without a mapping, read as a code point, is a control: U+FFFD.
        {"/T 10 Tf <0002> Tj", U"\uFFFD", {0, 0, 10, 10}},
        // A word space fills the gap up to one size; a wider gap keeps a quarter of the size.
        {"[(A) -500 (B)] TJ", U"A B", {7.2, 0, 13.2, 12}, 1}, {"BT (A) Tj 30 0 Td (B) Tj", U"A B", {7.2, 0, 10.2, 12}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const ContentResult r = run(c.content, fonts, xobjects);
        ASSERT_EQ(text_of(r), c.text);
        if (r.chars.empty()) continue;
        const size_t at = c.at < 0 ? r.chars.size() - 1 : size_t(c.at);
        expect_char(r.chars[at], c.box[0], c.box[1], c.box[2], c.box[3], c.text[at]);
    }
}

// Word spaces from the pen's moves, at several sizes: a gap wider than kWordGap of the size
// between two glyphs of one line, with no space glyph between them.
TEST(ScanContent, WordSpaces) {
    const FontTable fonts{{"C", simple_font(1000, {{1, "uni4E00"}, {2, "uni4E8C"}, {3, "uni05D0"},
                                                   {4, "uni05D1"}, {0x20, "X"}})}};
    const struct { std::string_view content; std::u32string text; } cases[] = {
        {"[(A) -200 (B)] TJ", U"A B"}, {"[(A) -100 (B)] TJ", U"AB"}, {"(A) Tj -2000 Tj (B) Tj", U"AB"},
        {"/F 24 Tf [(A) -200 (B)] TJ", U"A B"}, {"/F 24 Tf [(A) -100 (B)] TJ", U"AB"},
        // The same gap in Tm units is wider at a larger scale.
        {"BT /F 1 Tf 12 0 0 12 0 0 Tm [(A) -200 (B)] TJ", U"A B"},
        // Td and Tm moves along the line, across strings and text objects.
        {"BT (A) Tj 10 0 Td (B) Tj", U"A B"}, {"BT (A) Tj 8 0 Td (B) Tj", U"AB"},
        {"BT (A) Tj ET BT 20 0 Td (B) Tj", U"A B"}, {"BT (A) Tj 1 0 0 1 30 1 Tm (B) Tj", U"A B"},
        // Not on another line, not after a step back, not before the first glyph, and never
        // next to a space glyph.
        {"BT (A) Tj 0 -14 Td (B) Tj", U"AB"}, {"BT 100 0 Td (A) Tj -100 0 Td (B) Tj", U"AB"},
        {"[-500 (A)] TJ", U"A"}, {"[(A ) -500 (B)] TJ", U"A B"}, {"[(A) -500 ( B)] TJ", U"A B"},
        {"9 Tw (A B) Tj", U"A B"}, {"/C 10 Tf 5 Tw <2020> Tj", U"X X"},
        // Never between two characters of a script written without spaces.
        {"/C 10 Tf [<01> -500 <02>] TJ", U"\u4E00\u4E8C"}, {"/C 10 Tf [<01> -500 (A)] TJ", U"\u4E00 A"},
        // Right-to-left letters drawn right to left: a gap to the left is a word gap too.
        {"/C 10 Tf BT 100 0 Td <03> Tj -20 0 Td <04> Tj", U"\u05D0 \u05D1"},
        {"/C 10 Tf -25 Tc <0304> Tj", U"\u05D0 \u05D1"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_of(run(c.content, fonts)), c.text) << c.content;
    // The space has the style of the glyph before it (its box: rows of the geometry table).
    EXPECT_EQ(run("1 0 0 rg (A) Tj 0 g [-500 (B)] TJ").chars.at(1).color, 0xFF0000u);
}

// Font names, sizes in user space and colours that every character carries.
TEST(ScanContent, FontsSizesAndColours) {
    const FontTable fonts{{"F1", simple_font(500, {}, "Times-Bold")}, {"F2", simple_font(500)}};
    ContentResult r = run("(A) Tj /F1 10 Tf (B) Tj /F2 10 Tf (C) Tj /F9 10 Tf (D) Tj /F1 8 Tf (E) Tj",
                          fonts);
    EXPECT_EQ(r.fonts, (std::vector<std::string>{"Helvetica", "Times-Bold", "F2"}));
    const std::uint16_t font[] = {0, 1, 2, 0, 1};
    const float size[] = {12, 10, 10, 10, 8};
    ASSERT_EQ(r.chars.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.chars[i].font, font[i]) << i;
        EXPECT_EQ(r.chars[i].size, size[i]) << i;
    }
    const struct { std::string_view content; float size; } sizes[] = {
        {"BT /F 1 Tf 12 0 0 12 0 0 Tm (A) Tj", 12}, {"BT /F 12 Tf 3 0 0 3 5 5 Tm (A) Tj", 36},
        {"0 2 -2 0 0 0 cm (A) Tj", 24}, {"50 Tz (A) Tj", 12}, {"/F -10 Tf (A) Tj", 10},
    };
    for (const auto& c : sizes) EXPECT_EQ(run(c.content).chars.at(0).size, c.size) << c.content;

    const ColorSpaceTable spaces{{"CS0", 3}, {"CS1", 1}, {"P", 0}};
    const struct { std::string_view content; std::uint32_t color; } colours[] = {
        {"(A) Tj", 0}, {"0.5 g", 0x808080}, {"0 1 1 0 k", 0xFF0000}, {"2 -1 0.5 rg", 0xFF0080},
        {"/CS0 cs 1 1 0 scn", 0xFFFF00}, {"/CS1 cs 0.2 scn", 0x333333}, {"/P cs /Pat scn", 0}, {"/CS9 cs 1 sc", 0},
        {"/DeviceCMYK cs 0 0 1 0 sc", 0xFFFF00}, {"1 g /DeviceRGB cs", 0}, {"1 g q 0 1 0 rg Q", 0xFFFFFF},
        {"1 0 0 RG 0.5 G", 0}, {"/DeviceRGB cs 1 sc", 0},
    };
    for (const auto& c : colours) {
        const ContentResult cr = run(std::string(c.content) + " (A) Tj", {}, {}, 0, &spaces);
        EXPECT_EQ(cr.chars.at(0).color, c.color) << c.content;
    }
    const double cmyk[] = {0.1, 0.2, 0.3, 0.4}, bad[] = {0.5, 0.5};
    EXPECT_EQ(to_srgb(cmyk, 4), 0x8A7A6Bu);
    EXPECT_EQ(to_srgb(bad, 2), 0u);
}

TEST(ScanContent, ImagePlacements) {
    const XObjectTable xobjects{{"Im2", XObjectData{}}};
    const struct { std::string_view content; std::string name; std::array<double, 4> bbox; } cases[] = {
        // A name that is not in the table is recorded as an image placement too.
        {"/Im1 Do", "Im1", {0, 0, 1, 1}}, {"100 0 0 50 10 20 cm /Im2 Do", "Im2", {10, 20, 110, 70}},
        // Only the corners (0, 0) and (1, 1) are mapped; the box is ordered.
        {"-100 0 0 -50 200 300 cm /Im2 Do", "Im2", {100, 250, 200, 300}},
        {"0 1 -1 0 5 5 cm /Im2 Do", "Im2", {4, 5, 5, 6}}, {"(x) Do", "", {0, 0, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const ContentResult r = run(c.content, {}, xobjects);
        ASSERT_EQ(r.images.size(), 1u);
        EXPECT_EQ(r.images[0].name, c.name);
        for (int k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(r.images[0].bbox[k], c.bbox[k]);
    }
    EXPECT_TRUE(run("Do", {}, xobjects).images.empty());
}


TEST(ScanContent, FormsInheritTheGraphicsState) {
    XObjectTable xobjects;
    xobjects["Fm"] = form("BT 5 0 Td (A) Tj ET 1 0 0 1 3 4 cm /Im Do 0 g 9 Tc Q", Matrix{2, 0, 0, 2, 0, 0});
    // The form starts from the Do's CTM (after its own matrix), font size and colour, with a
    // fresh text matrix; its own changes, and its unbalanced Q, stay inside it.
    const ContentResult r = run("q 1 0 0 rg /F 6 Tf 1 0 0 1 10 0 cm BT 50 50 Td (P) Tj /Fm Do (Q) Tj ET Q (R) Tj",
                          {}, xobjects);
    ASSERT_EQ(text_of(r), U"PAQR");
    expect_char(r.chars[1], 20, 0, 27.2, 12, U'A');
    EXPECT_EQ(r.chars[1].color, 0xFF0000u);
    EXPECT_EQ(r.chars[1].size, 12.f);
    expect_char(r.chars[2], 63.6, 50, 67.2, 56, U'Q');
    EXPECT_EQ(r.chars[2].color, 0xFF0000u);
    expect_char(r.chars[3], 57.2, 50, 64.4, 62, U'R');
    ASSERT_EQ(r.images.size(), 1u);
    const double expected_box[4] = {16, 8, 18, 10};
    for (int k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(r.images[0].bbox[k], expected_box[k]);
}

TEST(ScanContent, FormDepthLimit) {
    XObjectTable xobjects{{"Self", form("(S) Tj 1 0 0 1 0 20 cm /Self Do")}, {"A", form("(a) Tj /B Do")},
                          {"B", form("(b) Tj /C Do")}, {"C", form("(c) Tj /D Do /Im Do")},
                          {"D", form("(d) Tj")}};
    const struct { std::string_view content; std::uint32_t depth; std::u32string text; size_t images; } cases[] = {
        // A form that draws itself is shown at depths 1, 2 and 3, then stops.
        {"/Self Do", 0, U"SSS", 0}, {"/A Do 1 0 0 1 0 50 cm /A Do", 0, U"abcabc", 2},
        {"/A Do", 1, U"ab", 0}, {"/A Do", 2, U"a", 0},
        // Below the last level a form Do is dropped: no characters and no placement.
        {"/A Do", 3, U"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " at depth " + std::to_string(c.depth));
        const ContentResult r = run(c.content, {}, xobjects, c.depth);
        EXPECT_EQ(text_of(r), c.text);
        EXPECT_EQ(r.images.size(), c.images);
    }
}

TEST(WorkBudget, FormBombStopsWithAPrefix) {
    // Each form draws the next 5000 times: 5000^3 runs of the innermost form unlimited.
    XObjectTable xobjects{{"A", form(repeat("/B Do ", 5000))}, {"B", form(repeat("/C Do 1 0 0 1 14.4 0 cm ", 5000))},
                          {"C", form("(xy) Tj /Im Do")}};
    const ContentResult r = run(repeat("/A Do ", 5000), {}, xobjects);
    ASSERT_FALSE(r.chars.empty());
    EXPECT_LT(r.chars.size(), kPageWorkBudget);
    // Every run of C gives x then y at the same place: the result is a prefix of that.
    for (size_t i = 0; i < r.chars.size(); ++i) ASSERT_EQ(r.chars[i].ch, i % 2 == 0 ? U'x' : U'y') << i;
    for (const ImageRef& ref : r.images) ASSERT_EQ(ref.name, "Im");
    EXPECT_LE(r.images.size(), (r.chars.size() + 1) / 2);
}

TEST(WorkBudget, SpentBudgetGivesAPrefix) {
    const FontTable fonts{{"L", simple_font(600, {{1, "uniFB03"}})}};
    XObjectTable xobjects;
    xobjects["Fm"] =
        form("/L 10 Tf (f\x01) Tj /Im Do [(g) -300 (h)] TJ /In Do", Matrix{1, 0, 0, 1, 5, 5});
    xobjects["In"] = form(repeat("(i) Tj ", 20) + repeat(" ", 50) + "/Im2 Do");
    const std::string page = "BT /L 10 Tf (ab) Tj /Fm Do 3 Tc [(c) -400 (d)] TJ /Im3 Do "
                             "1 0 0 1 0 30 cm /Fm Do "
                             "(e) Tj q Q q Q ET";
    auto scan = [&](std::uint64_t budget) {
        return scan_content_stream_with_budget_for_testing(as_bytes(page), fonts, xobjects, 0, budget);
    };
    const ContentResult full = scan(std::numeric_limits<std::uint64_t>::max());
    ASSERT_EQ(full.chars.size(), 2u + 2 * (1 + 3 + 3 + 20) + 3 + 1);
    ASSERT_EQ(full.images.size(), 5u);
    size_t last_chars = 0, last_images = 0;
    for (std::uint64_t budget = 0;; ++budget) {
        SCOPED_TRACE(budget);
        const ContentResult r = scan(budget);
        ASSERT_LE(r.chars.size(), full.chars.size());
        ASSERT_LE(r.images.size(), full.images.size());
        for (size_t i = 0; i < r.chars.size(); ++i) ASSERT_EQ(r.chars[i], full.chars[i]);
        for (size_t i = 0; i < r.images.size(); ++i) ASSERT_EQ(r.images[i].name, full.images[i].name);
        // More work never gives less.
        ASSERT_GE(r.chars.size(), last_chars);
        ASSERT_GE(r.images.size(), last_images);
        last_chars = r.chars.size();
        last_images = r.images.size();
        if (r.chars.size() == full.chars.size() && r.images.size() == full.images.size()) break;
        ASSERT_LT(budget, 100000u);
    }
}

TEST(WorkBudget, UnitCostsAndReportedWork) {
    const XObjectTable forms{{"E", form("")}, {"W", form(std::string(8, ' '))}};
    const struct { std::string_view content; std::uint64_t work, output, done; size_t images; } cases[] = {
        // An operator costs one unit and each record it appends one more.
        {"/Im Do /Im Do", 1, 100, 1, 0}, {"/Im Do /Im Do", 2, 100, 2, 1}, {"/Im Do /Im Do", 100, 100, 4, 2},
        // A form Do costs its up-front share even when the form shows nothing, plus a share
        // of its bytes; running out of work spends all of it.
        {"/E Do /Im Do", kFormDoWork + 2, 100, kFormDoWork + 2, 0},
        {"/E Do /Im Do", kFormDoWork + 3, 100, kFormDoWork + 3, 1},
        {"/W Do /Im Do", kFormDoWork + 8 + 2, 100, kFormDoWork + 8 + 2, 0},
        {"/W Do /Im Do", kFormDoWork + 8 + 3, 100, kFormDoWork + 8 + 3, 1},
        // The output bound ends the interpretation with the record that reaches it, and the
        // budget is then spent as a whole.
        {"/Im Do /Im Do /Im Do", 100, 2, 100, 2},
        // No work or no output allowed: nothing is done and the whole work counts as spent.
        {"/Im Do", 0, 100, 0, 0}, {"/Im Do", 100, 0, 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.content << " work " << c.work);
        std::uint64_t done = 7;  // added to, not overwritten
        const ContentResult r = scan_content_stream_bounded(as_bytes(c.content), {}, forms, 0,
                                                            c.work, c.output, done);
        EXPECT_EQ(done, 7 + c.done);
        EXPECT_EQ(r.images.size(), c.images);
    }
    const ContentResult r = scan_content_stream_with_budget_for_testing(
        as_bytes("(abc) Tj /Im Do (d) Tj"), {}, forms, 0, 100, 2);
    EXPECT_EQ(text_of(r), U"ab");
    EXPECT_TRUE(r.images.empty());
}

TEST(ScanContent, TokenisingAndMalformedContent) {
    const struct { std::string content; std::u32string text; } cases[] = {
        {"BT/F1 12 Tf(AB)Tj ET", U"AB"},
        // A comment runs to the end of its line.
        {"% (A) Tj\n(B) Tj", U"B"}, {"(A) Tj % (B) Tj", U"A"},
        // Every operator clears the operands, known or not; leftovers at the end are dropped.
        {"(A) xx Tj", U""}, {"(A) 0 g Tj", U""}, {"(A) Tj (B)", U"A"},
        // A digit ends an operator; letters run together into one unknown operator.
        {"(A)Tj1", U"A"}, {"(A)TjTj", U""},
        // Form feed, braces and high bytes form no operand and do not clear the list.
        {"(A)\x0C{}\x80 Tj", U"A"},
        // Inline image data is tokenised like anything else.
        {"BI /W 1 /H 1 ID \xFF\x80 EI (A) Tj", U"A"},
        // Truncated strings and arrays end at the end of data; their operator never comes.
        {"", U""}, {"%", U""}, {"BT (AB", U""}, {"(A) Tj [(B) -300", U"A"},
        // Stray bytes are skipped.
        {"\xFF\xFE)]}>{ (A) Tj", U"A"}, {"\0\0(A)\0Tj"s, U"A"},
        // Unbalanced q and Q, and deep q nesting beyond the saved depth.
        {"Q Q Q q q (A) Tj", U"A"},
        {repeat("q ", kMaxGraphicsStateDepth + 10) + "1 0 0 1 9 0 cm" +
             repeat(" Q", kMaxGraphicsStateDepth + 11) + " (A) Tj", U"A"},
        // Operators too long to be known, and too short operand lists.
        {"(A) Tjx 1 2 3 4 5 cm 1 Tm Td TD Tc Tw Tz TL TJ Do (B) Tj", U"B"},
        // An "operator" made of quote characters is one unknown operator.
        {"(A) '\"' (B) '", U"B"},
        // A glyph drawn again over itself (fake bold) is kept once.
        {"BT (AB) Tj ET BT 0.5 0.5 Td (AB) Tj", U"AB"}, {"BT (AB) Tj ET BT 2 0 Td (AB) Tj", U"ABAB"},
        {"BT (A) Tj ET 1 0 0 1 0.3 0 cm BT (A) Tj (C) Tj", U"AC"}, {"(A) Tj 0 Tz (A) Tj (A) Tj", U"AAA"},
        // It is looked for among the last kOverdrawLookback characters only.
        {"(A) Tj (" + repeat("x", kOverdrawLookback - 1) + ") Tj BT (A) Tj",
         U"A" + std::u32string(kOverdrawLookback - 1, U'x')},
        {"(A) Tj (" + repeat("x", kOverdrawLookback) + ") Tj BT (A) Tj",
         U"A" + std::u32string(kOverdrawLookback, U'x') + U"A"},
        // Found across the edge of a column of the search (4 wide at size 12), across
        // the edge of the columns searched (2^40 of them), and at a size whose tolerance needs
        // other columns.
        {"BT 3.9 0 Td (A) Tj ET BT 4.1 0 Td (A) Tj", U"A"}, {"BT 4.1 0 Td (A) Tj ET BT 3.9 0 Td (A) Tj", U"A"},
        {"BT 4398046511103.9 0 Td (A) Tj ET BT 4398046511104.1 0 Td (A) Tj", U"A"},
        {"BT 4398046511104.1 0 Td (A) Tj ET BT 4398046511103.9 0 Td (A) Tj", U"A"},
        {"(A) Tj BT (A) Tj /F 200 Tf BT 0 50 Td (A) Tj ET BT 9 50 Td (A) Tj", U"AA"},
        // Found where the window has wrapped round its slots.
        {"(" + repeat("y", 100) + ") Tj BT (AB) Tj ET BT (AB) Tj", std::u32string(100, U'y') + U"AB"},
        // A long run of one character, drawn again at the same place, near it, a little farther,
        // and far out (where every slot of its low byte is read).
        {"(" + repeat("x", 40) + ") Tj BT (" + repeat("x", 40) + ") Tj", std::u32string(40, U'x')},
        {"(" + repeat("x", 40) + ") Tj BT 0.5 0.5 Td (" + repeat("x", 40) + ") Tj",
         std::u32string(40, U'x')},
        {"(" + repeat("x", 40) + ") Tj BT 2 0 Td (" + repeat("x", 40) + ") Tj",
         std::u32string(80, U'x')},
        {"1 0 0 1 1000000000000000 0 cm (" + repeat("x", 40) + ") Tj BT (" + repeat("x", 40) +
             ") Tj",
         std::u32string(40, U'x')},
    };
    for (const auto& c : cases) EXPECT_EQ(text_of(run(c.content)), c.text) << c.content.substr(0, 40);
}

}  // namespace
}  // namespace vellix
