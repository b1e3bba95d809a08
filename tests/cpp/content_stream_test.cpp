// The content stream interpreter: operand syntax, text positioning, showing strings with and
// without fonts, forms, and the bounds that keep hostile content cheap.
#include "parser/content_stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>

#include "document.h"
#include "extract.h"

namespace vellix {
namespace {

using namespace std::literals;

ContentResult run(std::string_view content, const FontTable& fonts = {},
                  const XObjectTable& xobjects = {}, std::uint32_t depth = 0) {
    return scan_content_stream_full(as_bytes(content), fonts, xobjects, depth);
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
    double width, std::vector<std::pair<std::uint8_t, std::string>> differences = {}) {
    FontInfo f;
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
    EXPECT_DOUBLE_EQ(c.x0, x0);
    EXPECT_DOUBLE_EQ(c.y0, y0);
    EXPECT_DOUBLE_EQ(c.x1, x1);
    EXPECT_DOUBLE_EQ(c.y1, y1);
}

TEST(MatrixMul, AppliesSecondThenFirst) {
    const Matrix scale{2, 0, 0, 3, 0, 0}, move{1, 0, 0, 1, 10, 20};
    // Moving first, then scaling, scales the offset too.
    EXPECT_EQ(Matrix::mul(scale, move), (Matrix{2, 0, 0, 3, 20, 60}));
    EXPECT_EQ(Matrix::mul(move, scale), (Matrix{2, 0, 0, 3, 10, 20}));
    EXPECT_EQ(Matrix::mul(Matrix{1, 2, 3, 4, 5, 6}, Matrix{7, 8, 9, 10, 11, 12}),
              (Matrix{31, 46, 39, 58, 52, 76}));
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
        {"9223372036854775808", std::nullopt, 19}, {"12345678901234567890", std::nullopt, 20},
        {".5", real(0.5), 2}, {"-.5", real(-0.5), 3}, {"5.", real(5.0), 2}, {"+.25", real(0.25), 4},
        {"1E-2", real(0.01), 4}, {"2.5e+1", real(25.0), 6},
        // Conversion is correctly rounded; out of range reals go to infinity or to zero.
        {"0.30000000000000004", real(0.30000000000000004), 19},
        {"9007199254740993.0", real(9007199254740992.0), 18},
        {"-1e999", real(-inf), 6}, {"1e-999", real(0.0), 6}, {"0.000e999", real(0.0), 9},
        // An exponent marker without digits is not part of the number; a second point ends it.
        {"3ET", integer(3), 1}, {"1.5e", real(1.5), 3}, {"1e+", integer(1), 1},
        {"1.2.3", real(1.2), 3},
        // A lone sign or point, or a sign and a point, is no number.
        {"-", std::nullopt, 1}, {"+x", std::nullopt, 1}, {".", std::nullopt, 1},
        {"-.", std::nullopt, 2}, {"+-5", std::nullopt, 1},
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
        {"(\\b\\f)", str("bf"), 6}, {"(\\n\\r\\t)", str("\n\r\t"), 8},
        {"(\\(\\)\\\\)", str("()\\"), 8}, {"(\\9)", str("\x09"), 4}, {"(\\81)", str("A"), 5},
        {"(\\777)", str("\xFF"), 6}, {"(\\0053)", str("\x05" "3"), 7}, {"(\\18)", str("\x01" "8"), 5},
        {"(a\\\nb)", str("a\nb"), 6}, {"(abc\\", str("abc"), 5}, {"(\\)x)", str(")x"), 5},
        // Hex strings skip every byte that is not a hex digit.
        {"<4 1>", str("A"), 5}, {"<414>", str("A@"), 5}, {"<41zz6a>", str("Aj"), 8},
        {"<", str(""), 1}, {"<41", str("A"), 3},
        // Arrays: keywords vanish byte by byte; dictionaries dissolve; comments are skipped;
        // truncated arrays end with what was read.
        {"[1 (a) /N [2.5]]", array({integer(1), str("a"), name("N"), array({real(2.5)})}), 16},
        {"[1 true null 2]", array({integer(1), integer(2)}), 15},
        {"[<</K 1>>]", array({name("K"), integer(1)}), 10},
        {"[%x]\n1]", array({integer(1)}), 7}, {"[(a]b)]", array({str("a]b")}), 7},
        {"[1 2", array({integer(1), integer(2)}), 4}, {"[1 %c", array({integer(1)}), 5},
        // "<<" dissolves; other bytes are skipped one at a time.
        {"<</A 1>>", std::nullopt, 2}, {">>", std::nullopt, 1}, {")", std::nullopt, 1},
        {"]", std::nullopt, 1}, {"\x80", std::nullopt, 1}, {"true", std::nullopt, 1},
        {" 1", std::nullopt, 1},
    };
    expect_operands(cases);
}

TEST(ParseOperand, ArraysAreBounded) {
    // The depth of the chain of first elements, and its innermost array.
    auto depth_of = [](const Operand& op) {
        const Operand* cur = &op;
        size_t depth = 1;
        for (; !cur->array()->empty() && cur->array()->front().array(); ++depth) {
            cur = &cur->array()->front();
        }
        return std::pair{depth, cur};
    };
    // At the bound the innermost array keeps its element; one level more is skipped whole.
    for (const size_t levels : {size_t{kMaxOperandNesting}, size_t{kMaxOperandNesting} + 1}) {
        SCOPED_TRACE(levels);
        const std::string input = std::string(levels, '[') + "7" + std::string(levels, ']') + " 9";
        size_t pos = 0;
        const std::optional<Operand> got = parse_operand(as_bytes(input), pos);
        ASSERT_TRUE(got.has_value());
        const auto [depth, innermost] = depth_of(*got);
        EXPECT_EQ(depth, kMaxOperandNesting);
        EXPECT_EQ(innermost->array()->size(), levels == kMaxOperandNesting ? 1u : 0u);
        EXPECT_EQ(pos, input.size() - 2);
    }
    // A hundred thousand open brackets: no stack overflow, and once closed the content goes on.
    size_t pos = 0;
    const std::string deep(100000, '[');
    EXPECT_EQ(depth_of(parse_operand(as_bytes(deep), pos).value()).first, kMaxOperandNesting);
    EXPECT_EQ(pos, deep.size());
    EXPECT_EQ(text_of(run(deep + "(x])" + std::string(100000, ']') + " (A) Tj")), U"A");

    // Elements: at most kMaxOperandElements, nested ones included: an inner array that uses
    // up the allowance is itself one too many, and the outer array still ends at its bracket.
    const std::string flat = "[" + repeat("1 ", kMaxOperandElements + 10) + "]";
    const std::string nested = "[" + flat + " 7] 8";
    pos = 0;
    EXPECT_EQ(parse_operand(as_bytes(flat), pos).value().array()->size(), kMaxOperandElements);
    EXPECT_EQ(pos, flat.size());
    pos = 0;
    EXPECT_EQ(parse_operand(as_bytes(nested), pos).value().array()->size(), 0u);
    EXPECT_EQ(pos, nested.size() - 2);
    // In a content stream the allowance is renewed at every operator.
    EXPECT_EQ(text_of(run(flat + " TJ [(A)] TJ")), U"A");
}

TEST(ScanContent, Tokenising) {
    const struct { std::string_view content; std::u32string text; } cases[] = {
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
        {"", U""}, {"%", U""},
    };
    for (const auto& c : cases) EXPECT_EQ(text_of(run(c.content)), c.text) << c.content;
}

// Without fonts every glyph is 0.6 x size wide.
TEST(ScanContent, PositioningOperators) {
    const struct { std::string_view content; double x, y, size; } cases[] = {
        {"BT 100 700 Td (A) Tj ET", 100, 700, 12},
        // Surplus leading operands are ignored, however many; too few do nothing.
        {"BT 10 20 30 Td (A) Tj", 20, 30, 12}, {"BT 10 Td (A) Tj", 0, 0, 12},
        {"1 2 3 4 5 6 7 8 9 10 11 12 (x) /N [1] 1 0 0 1 5 6 cm (A) Tj", 5, 6, 12},
        {"BT 5 5 Td 10 20 Td (A) Tj", 15, 25, 12},
        // TD sets the leading to -ty; T* moves down by the leading.
        {"BT 10 20 TD T* (A) Tj", 10, 40, 12}, {"BT 14 TL 0 100 Td T* (A) Tj", 0, 86, 12},
        // Tm sets both matrices; a later Td offset is not scaled by it.
        {"BT 2 0 0 2 50 60 Tm 10 0 Td (A) Tj", 60, 60, 12}, {"BT 1 2 3 4 5 Tm (A) Tj", 0, 0, 12},
        // BT resets the text matrices, not the font size.
        {"BT 100 100 Td /F 20 Tf ET BT (A) Tj", 0, 0, 20},
        // Only translations of the CTM move glyphs.
        {"2 0 0 2 0 0 cm BT 100 700 Td (A) Tj", 100, 700, 12},
        {"1 0 0 1 50 0 cm BT 100 700 Td (A) Tj", 150, 700, 12},
        // The new cm matrix is applied before the current one: a translation inside a
        // scaled space is scaled, a scale inside a translated space leaves the origin.
        {"2 0 0 2 0 0 cm 1 0 0 1 50 0 cm (A) Tj", 100, 0, 12},
        {"1 0 0 1 50 0 cm 2 0 0 2 0 0 cm (A) Tj", 50, 0, 12},
        {"1 0 0 1 72 500 cm 200 0 0 100 0 0 cm (A) Tj", 72, 500, 12},
        {"1 0 0 1 50 cm (A) Tj", 0, 0, 12},
        // q and Q save and restore the CTM only; unbalanced Q does nothing.
        {"q 1 0 0 1 50 5 cm Q (A) Tj", 0, 0, 12}, {"q 1 0 0 1 50 5 cm q Q (A) Tj", 50, 5, 12},
        {"Q Q 1 0 0 1 7 0 cm Q (A) Tj", 7, 0, 12}, {"q /F 20 Tf Q (A) Tj", 0, 0, 20},
        // Tf with fewer than two operands changes nothing; a number as the name empties it.
        {"/F 30 Tf /G Tf (A) Tj", 0, 0, 30}, {"(x) 20 Tf (A) Tj", 0, 0, 20},
        {"/F (x) Tf (A) Tj", 0, 0, 0},
        // The ' operator moves to the next line and shows; without operands it only moves.
        {"BT 14 TL 0 100 Td (A) '", 0, 86, 12}, {"BT 14 TL 0 100 Td ' (A) Tj", 0, 86, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const ContentResult r = run(c.content);
        ASSERT_EQ(r.chars.size(), 1u);
        expect_char(r.chars[0], c.x, c.y, c.x + 0.6 * c.size, c.y + c.size, U'A');
    }
}

TEST(ScanContent, SpacingScalingAndQuotes) {
    const struct {
        std::string_view content;
        std::u32string text;
        std::vector<double> x0;  // of each glyph, 7.2 x the scale wide
        double y, scale;
    } cases[] = {
        // Character spacing after every glyph, word spacing after each byte 0x20.
        {"2 Tc (AB) Tj", U"AB", {0, 9.2}, 0, 1}, {"3 Tw (A B) Tj", U"A B", {0, 7.2, 17.4}, 0, 1},
        {"1 Tc 3 Tw (  ) Tj", U"  ", {0, 11.2}, 0, 1},
        // Tz scales the advance, not the spacings.
        {"50 Tz 2 Tc (AB) Tj", U"AB", {0, 5.6}, 0, 0.5},
        // " sets word spacing 1 and character spacing 2, then shows on the next line; with two
        // operands it does nothing at all.
        {"BT 10 TL 0 50 Td 1 2 (A B) \"", U"A B", {0, 9.2, 19.4}, 40, 1},
        {"BT 10 TL 0 50 Td 2 (A) \" (B) Tj", U"B", {0}, 50, 1},
        // A shown operand that is not a string shows nothing.
        {"/A Tj 5 Tj [(A)] Tj", U"", {}, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const ContentResult r = run(c.content);
        ASSERT_EQ(text_of(r), c.text);
        for (size_t i = 0; i < c.x0.size(); ++i) {
            expect_char(r.chars[i], c.x0[i], c.y, c.x0[i] + 7.2 * c.scale, c.y + 12, c.text[i]);
        }
    }
}

TEST(ScanContent, TjGaps) {
    const struct { std::string_view content; std::u32string text; double b_x0; } cases[] = {
        // At size 12 a gap wider than 150 thousandths becomes a space after the gap.
        {"[(A) -200 (B)] TJ", U"A B", 9.6}, {"[(A) -150 (B)] TJ", U"AB", 9.0},
        {"[(A) 200 (B)] TJ", U"AB", 4.8},
        // No space before the first character of the call.
        {"[-200 (B)] TJ", U"B", 2.4},
        // The limit grows with the size: 300 at 24, but never below 75.
        {"/F 24 Tf [(A) -299 (B)] TJ", U"AB", 14.4 + 24 * 0.299},
        {"/F 24 Tf [(A) -301 (B)] TJ", U"A B", 14.4 + 24 * 0.301},
        {"/F 3 Tf [(A) -76 (B)] TJ", U"A B", 1.8 + 3 * 0.076},
        {"/F 3 Tf [(A) -74 (B)] TJ", U"AB", 1.8 + 3 * 0.074},
        // Elements that are neither strings nor numbers are skipped; the gap is scaled.
        {"[(A) /N [1] -200 (B)] TJ", U"A B", 9.6}, {"50 Tz [(A) -200 (B)] TJ", U"A B", 4.8},
        {"(A) TJ [(B)] 5 TJ", U"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const ContentResult r = run(c.content);
        EXPECT_EQ(text_of(r), c.text);
        if (!c.text.empty()) {
            EXPECT_NEAR(r.chars.back().x0, c.b_x0, 1e-9);
        }
    }
    // The synthetic space: at the origin after the gap, a quarter of the size wide.
    const ContentResult r = run("BT 0 100 Td [(A) -200 (B)] TJ");
    ASSERT_EQ(r.chars.size(), 3u);
    expect_char(r.chars[1], 9.6, 100, 12.6, 112, U' ');
}

TEST(ScanContent, SimpleAndMissingFonts) {
    const FontTable fonts{{"F1", simple_font(500)},
                          {"F2", simple_font(1000, {{0x80, "Euro"}, {0x81, "bogus"}})}};
    ContentResult r = run("BT /F1 12 Tf 100 700 Td (AB) Tj (C) Tj ET", fonts);
    ASSERT_EQ(r.chars.size(), 3u);
    expect_char(r.chars[0], 100, 700, 106, 712, U'A');
    expect_char(r.chars[1], 106, 700, 112, 712, U'B');
    EXPECT_DOUBLE_EQ(r.chars[2].x0, 112);
    // Differences decode codes; high bytes go through the font, not the no-font rule.
    r = run("/F2 10 Tf (\x80\x81\xE9) Tj", fonts);
    EXPECT_EQ(text_of(r), U"\u20AC\u0081\u00E9");
    EXPECT_DOUBLE_EQ(r.chars[2].x0, 20);
    // A font name that is not in the table: bytes below 0x80 stand for themselves, others
    // are U+FFFD, each 0.6 x size wide; 0x20 still takes the word spacing.
    r = run("/F9 10 Tf 4 Tw (A\x80 \xFF) Tj", fonts);
    ASSERT_EQ(r.chars.size(), 4u);
    expect_char(r.chars[0], 0, 0, 6, 10, U'A');
    expect_char(r.chars[1], 6, 0, 12, 10, U'\uFFFD');
    expect_char(r.chars[2], 12, 0, 18, 10, U' ');
    expect_char(r.chars[3], 22, 0, 28, 10, U'\uFFFD');
    // No Tf at all: the empty name, also not in the table.
    EXPECT_EQ(text_of(run("(A) Tj", fonts)), U"A");
}

TEST(ScanContent, Ligatures) {
    // Drawn width 9 at size 12 (width 750): each part takes an equal share.
    const FontTable fonts{{"L", simple_font(750, {{1, "uniFB03"}, {2, "fi"}, {3, "uniFB00"},
                                                  {4, "uniFB06"}, {5, "uniFB04"}})}};
    ContentResult r = run("/L 12 Tf (\x01) Tj", fonts);
    ASSERT_EQ(r.chars.size(), 3u);
    expect_char(r.chars[0], 0, 0, 3, 12, U'f');
    expect_char(r.chars[1], 3, 0, 6, 12, U'f');
    expect_char(r.chars[2], 6, 0, 9, 12, U'i');
    r = run("/L 12 Tf (\x02\x03\x04\x05) Tj", fonts);
    EXPECT_EQ(text_of(r), U"fiffstffl");
    ASSERT_EQ(r.chars.size(), 9u);
    expect_char(r.chars[0], 0, 0, 4.5, 12, U'f');
    expect_char(r.chars[1], 4.5, 0, 9, 12, U'i');
    expect_char(r.chars[2], 9, 0, 13.5, 12, U'f');
    // Advances follow the code, not the parts.
    EXPECT_DOUBLE_EQ(r.chars[4].x0, 18);
    EXPECT_DOUBLE_EQ(r.chars[6].x0, 27);
    EXPECT_DOUBLE_EQ(r.chars[8].x1, 36);
}

TEST(ScanContent, Type0TwoByteCodes) {
    FontInfo f;
    f.is_type0 = true;
    f.to_unicode = std::make_shared<const CMap>(parse_cmap(as_bytes("beginbfchar <0041> <0041> <0020> <0020> endbfchar")));
    CIDFontInfo cid;
    cid.default_width = 1000;
    cid.widths = {CIDWidthRange{0x20, {250}}, CIDWidthRange{0x41, {500}}};
    f.cid = std::make_shared<const CIDFontInfo>(std::move(cid));
    finish_font_info(f);
    const FontTable fonts{{"T", std::make_shared<const FontInfo>(std::move(f))}};
    // Two-byte codes; an odd trailing byte is read as a one-byte code.
    ContentResult r = run("/T 10 Tf <00410041 41> Tj", fonts);
    ASSERT_EQ(r.chars.size(), 3u);
    expect_char(r.chars[0], 0, 0, 5, 10, U'A');
    expect_char(r.chars[1], 5, 0, 10, 10, U'A');
    expect_char(r.chars[2], 10, 0, 15, 10, U'A');
    // Word spacing never applies to a two-byte code, even 0x0020; it does to a lone 0x20.
    r = run("/T 10 Tf 3 Tw <0020 0041 20> Tj (A) Tj", fonts);
    ASSERT_EQ(text_of(r), U" A A");
    EXPECT_DOUBLE_EQ(r.chars[1].x0, 2.5);
    EXPECT_DOUBLE_EQ(r.chars[2].x0, 7.5);
    EXPECT_DOUBLE_EQ(r.chars[3].x0, 10 + 3);
    // A two-byte code without a mapping, read as a code point, is a control: U+FFFD, with the
    // default width.
    r = run("/T 10 Tf <0002> Tj", fonts);
    ASSERT_EQ(r.chars.size(), 1u);
    expect_char(r.chars[0], 0, 0, 10, 10, U'\uFFFD');
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

TEST(ScanContent, FormsAreMappedThroughTheirMatrix) {
    XObjectTable xobjects;
    xobjects["Fm"] = form("BT 5 0 Td (A) Tj ET 1 0 0 1 3 4 cm /Im Do", Matrix{2, 0, 0, 2, 0, 0});
    xobjects["Flip"] = form("(A) Tj", Matrix{-1, 0, 0, 1, 100, 0});
    const ContentResult r =
        run("(P) Tj 1 0 0 1 10 0 cm /Fm Do /Fm Do 1 0 0 1 0 0 cm (Q) Tj", {}, xobjects);
    // The form's own char (5, 0)-(12.2, 12) goes through the form's scale first, then the
    // page's translation.
    ASSERT_EQ(text_of(r), U"PAAQ");
    expect_char(r.chars[1], 20, 0, 34.4, 24, U'A');
    EXPECT_EQ(r.chars[1], r.chars[2]);
    // The page's own state is untouched by the form: Q follows P.
    expect_char(r.chars[3], 17.2, 0, 24.4, 12, U'Q');
    ASSERT_EQ(r.images.size(), 2u);
    EXPECT_EQ(r.images[0].name, "Im");
    const double expected_box[4] = {16, 8, 18, 10};
    for (int k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(r.images[0].bbox[k], expected_box[k]);
    // A mirroring matrix leaves x1 left of x0: corners are mapped, not re-ordered.
    const ContentResult flipped = run("/Flip Do", {}, xobjects);
    ASSERT_EQ(flipped.chars.size(), 1u);
    expect_char(flipped.chars[0], 100, 0, 92.8, 12, U'A');
}

TEST(ScanContent, FormsStartFromAFreshState) {
    XObjectTable xobjects{{"Fm", form("[-200 (A)] TJ (B) Tj Q (C) Tj")}};
    // Size, spacing and text position of the page do not reach the form; the form's Q does
    // not pop the page's saved matrix; the TJ gap rule sees only the form's characters.
    const ContentResult r = run(
        "q 1 0 0 1 100 0 cm /F 20 Tf 5 Tc BT 50 50 Td (P) Tj /Fm Do [-500 (R)] TJ Q (S) Tj", {},
        xobjects);
    ASSERT_EQ(text_of(r), U"PABC RS");
    expect_char(r.chars[0], 150, 50, 162, 70, U'P');
    expect_char(r.chars[1], 102.4, 0, 109.6, 12, U'A');
    EXPECT_DOUBLE_EQ(r.chars[3].x0, 116.8);
    // The page's text state carries on after the Do: 50 + 12 + 5, then the gap of 10.
    EXPECT_DOUBLE_EQ(r.chars[5].x0, 177);
    // Q pops the page's own save.
    EXPECT_DOUBLE_EQ(r.chars[6].x0, 94);
}

TEST(ScanContent, FormFontsYieldToTheEnclosingTable) {
    const FontTable page_fonts{{"F1", simple_font(500)}};
    FontTable form_fonts{{"F1", simple_font(1000)}, {"F2", simple_font(250)}};
    FontTable inner_fonts{{"F2", simple_font(900)}, {"F3", simple_font(100)}};
    XObjectTable xobjects;
    xobjects["Outer"] = form("/F1 10 Tf (A) Tj /F2 10 Tf (B) Tj /Inner Do", {}, form_fonts);
    xobjects["Inner"] = form("/F2 10 Tf (C) Tj /F3 10 Tf (D) Tj", {}, inner_fonts);
    const ContentResult r = run("/Outer Do", page_fonts, xobjects);
    ASSERT_EQ(r.chars.size(), 4u);
    EXPECT_DOUBLE_EQ(r.chars[0].x1 - r.chars[0].x0, 5.0);    // the page's F1
    EXPECT_DOUBLE_EQ(r.chars[1].x1 - r.chars[1].x0, 2.5);    // the form's F2
    EXPECT_DOUBLE_EQ(r.chars[2].x1 - r.chars[2].x0, 2.5);    // still the outer form's F2
    EXPECT_DOUBLE_EQ(r.chars[3].x1 - r.chars[3].x0, 1.0);    // the inner form's own F3
}

TEST(ScanContent, FormDepthLimit) {
    XObjectTable xobjects{{"Self", form("(S) Tj /Self Do")}, {"A", form("(a) Tj /B Do")},
                          {"B", form("(b) Tj /C Do")}, {"C", form("(c) Tj /D Do /Im Do")},
                          {"D", form("(d) Tj")}};
    const struct {
        std::string_view content;
        std::uint32_t depth;
        std::u32string text;
        size_t images;
    } cases[] = {
        // A form that draws itself is shown at depths 1, 2 and 3, then stops.
        {"/Self Do", 0, U"SSS", 0}, {"/A Do /A Do", 0, U"abcabc", 2},
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
    XObjectTable xobjects{{"A", form(repeat("/B Do ", 5000))}, {"B", form(repeat("/C Do ", 5000))},
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
    const std::string page = "BT /L 10 Tf (ab) Tj /Fm Do 3 Tc [(c) -400 (d)] TJ /Im3 Do /Fm Do "
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

TEST(WorkBudget, UnitCosts) {
    const XObjectTable forms{{"E", form("")}, {"W", form(std::string(8, ' '))}};
    const struct { std::string_view content; std::uint64_t budget, output; size_t images; } cases[] = {
        // An operator costs one unit and each record it appends one more.
        {"/Im Do /Im Do", 1, kMaxPageOutput, 0}, {"/Im Do /Im Do", 2, kMaxPageOutput, 1},
        {"/Im Do /Im Do", 4, kMaxPageOutput, 2},
        // A form Do costs its up-front share even when the form shows nothing, plus a share
        // of its bytes.
        {"/E Do /Im Do", kFormDoWork + 2, kMaxPageOutput, 0},
        {"/E Do /Im Do", kFormDoWork + 3, kMaxPageOutput, 1},
        {"/W Do /Im Do", kFormDoWork + 8 + 2, kMaxPageOutput, 0},
        {"/W Do /Im Do", kFormDoWork + 8 + 3, kMaxPageOutput, 1},
        // The output bound ends the interpretation with the record that reaches it.
        {"/Im Do /Im Do /Im Do", 100, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.content << " budget " << c.budget);
        EXPECT_EQ(scan_content_stream_with_budget_for_testing(as_bytes(c.content), {}, forms, 0,
                                                              c.budget, c.output).images.size(),
                  c.images);
    }
    const ContentResult r = scan_content_stream_with_budget_for_testing(
        as_bytes("(abc) Tj /Im Do (d) Tj"), {}, forms, 0, 100, 2);
    EXPECT_EQ(text_of(r), U"ab");
    EXPECT_TRUE(r.images.empty());
}

TEST(WorkBudget, BoundedScanReportsItsWork) {
    const XObjectTable forms{{"E", form("")}};
    const struct {
        const char* content;
        std::uint64_t work, output;
        std::uint64_t done;
        size_t images;
    } cases[] = {
        // Two operators and two records.
        {"/Im Do /Im Do", 100, 100, 4, 2},
        // Running out of work spends all of it.
        {"/Im Do /Im Do", 3, 100, 3, 1},
        // So does running out of output: the budget is spent as a whole.
        {"/Im Do /Im Do /Im Do", 100, 2, 100, 2},
        // A form Do pays up front.
        {"/E Do", 5000, 100, 1 + kFormDoWork, 0},
        // No work or no output allowed: nothing is done and the whole work counts as spent.
        {"/Im Do", 0, 100, 0, 0},
        {"/Im Do", 100, 0, 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        std::uint64_t done = 7;  // added to, not overwritten
        const ContentResult r = scan_content_stream_bounded(as_bytes(c.content), {}, forms, 0,
                                                            c.work, c.output, done);
        EXPECT_EQ(done, 7 + c.done);
        EXPECT_EQ(r.images.size(), c.images);
    }
}

TEST(ScanContent, MalformedContentNeverFails) {
    const struct { std::string content; std::u32string text; } cases[] = {
        // Truncated strings and arrays end at the end of data; their operator never comes.
        {"BT (AB", U""}, {"(A) Tj [(B) -300", U"A"}, {"(A) Tj <41", U"A"},
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
    };
    for (const auto& c : cases) EXPECT_EQ(text_of(run(c.content)), c.text) << c.content.substr(0, 40);
    // The CTM comes back once the overflowing saves are unwound.
    const ContentResult r = run("1 0 0 1 3 0 cm" + repeat(" q", kMaxGraphicsStateDepth + 5) +
                                " 1 0 0 1 9 0 cm" + repeat(" Q", kMaxGraphicsStateDepth + 5) +
                                " (A) Tj");
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_DOUBLE_EQ(r.chars[0].x0, 3);
}

// Real first pages, without fonts: their fonts show ASCII letters by their own codes, so the
// no-font rules already give the words; spaces are dropped as they depend on the widths.
TEST(ScanContentCorpus, KnownTextWithoutFonts) {
    const char* env = std::getenv("VELLIX_CORPUS");
    const std::filesystem::path dir =
        env ? env : std::filesystem::path(__FILE__).parent_path() / "../../../shared/corpus";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    const struct { const char* file; std::u32string words; } cases[] = {
        // Literal strings with Tj, from an HTML converter.
        {"pdf.js/TAMReview.pdf", U"OverviewoftheTechnologyAcceptanceModel:Origins,"},
        // Kerned TJ arrays, from a TeX engine.
        {"pdf.js/tracemonkey.pdf", U"Trace-basedJust-in-TimeTypeSpecializationforDynamic"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto doc = Document::open((dir / c.file).string());
        ASSERT_TRUE(doc.has_value()) << doc.error().display();
        auto pages = (*doc)->page_refs();
        ASSERT_TRUE(pages.has_value() && !pages->empty());
        // The page's stream, or the streams of its array joined by newlines.
        const PdfObject* contents = (*doc)->get_object(pages->front()).value()->get("Contents");
        ASSERT_NE(contents, nullptr);
        std::vector<ObjectId> refs;
        if (contents->as_ref()) refs.push_back(*contents->as_ref());
        for (const PdfObject& item : contents->array() ? *contents->array() : PdfArray{}) {
            refs.push_back(item.as_ref().value());
        }
        std::vector<std::uint8_t> content;
        for (ObjectId id : refs) {
            auto data = get_stream_data(*(*doc)->get_object(id).value());
            ASSERT_TRUE(data.has_value());
            content.insert(content.end(), data->begin(), data->end());
            content.push_back('\n');
        }
        std::u32string text;
        for (const CharInfo& ch : scan_content_stream_full(content, {}, {}, 0).chars) {
            if (ch.ch != U' ') text.push_back(ch.ch);
        }
        EXPECT_NE(text.find(c.words), std::u32string::npos);
    }
}

}  // namespace
}  // namespace vellix
