// Layout: span grouping, column decision, lines and blocks in reading order, hyphenated lines.
#include "layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>

namespace vellix {
namespace {

constexpr double kSize = 12.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::string kFonts[] = {"F", "Times"};

CharInfo glyph(double x0, double y0, double x1, double y1, char32_t ch = U'x', float size = 12,
               std::uint16_t font = 0, std::uint32_t color = 0, std::uint8_t dir = 0) {
    return {x0, y0, x1, y1, ch, color, size, font, dir};
}

// A span without characters (so that no word gap is seen at its ends) of size `size`.
TextSpan span_at(double x0, double y0, double x1, double y1, std::string text = "x",
                 double size = kSize) {
    TextSpan s;
    s.text = std::move(text);
    s.bbox = {x0, y0, x1, y1};
    s.size = size;
    return s;
}

std::vector<CharInfo> word(std::u32string_view text, double x, double y, double width = 6) {
    std::vector<CharInfo> out;
    for (char32_t c : text) {
        out.push_back(glyph(x, y, x + width, y + 12, c));
        x += width;
    }
    return out;
}

// A line of spans with the given texts, stacked left to right at height y.
TextLine line_of(const std::vector<std::string>& texts, double y) {
    TextLine line;
    double x = 0;
    for (const std::string& t : texts) {
        line.spans.push_back(span_at(x, y, x + 10, y + 10, t));
        x += 20;
    }
    line.bbox = union_of(std::span<const TextSpan>(line.spans));
    return line;
}

std::vector<std::string> span_texts(const TextLine& line) {
    std::vector<std::string> out;
    for (const TextSpan& s : line.spans) out.push_back(s.text);
    return out;
}

std::vector<const TextSpan*> all_spans(const std::vector<TextBlock>& blocks) {
    std::vector<const TextSpan*> out;
    for (const TextBlock& b : blocks) {
        for (const TextLine& l : b.lines) {
            for (const TextSpan& s : l.spans) out.push_back(&s);
        }
    }
    return out;
}

std::vector<std::string> all_span_texts(const std::vector<TextBlock>& blocks) {
    std::vector<std::string> out;
    for (const TextSpan* s : all_spans(blocks)) out.push_back(s->text);
    return out;
}

std::size_t char_count(const std::vector<TextBlock>& blocks) {
    std::size_t n = 0;
    for (const TextSpan* s : all_spans(blocks)) n += s->char_count;
    return n;
}

// Every box is the union of its parts (a span's box is its characters', see MakeSpan).
void expect_boxes_cover(const std::vector<TextBlock>& blocks) {
    for (const TextBlock& b : blocks) {
        EXPECT_EQ(b.bbox, union_of(std::span<const TextLine>(b.lines)));
        for (const TextLine& l : b.lines) EXPECT_EQ(l.bbox, union_of(std::span<const TextSpan>(l.spans)));
    }
}

TEST(BoxUnion, IgnoresNaNAndKeepsStartValues) {
    const double big = BoxUnion::kStartMin;
    const struct { const char* name; std::vector<CharInfo> chars; BBox want; } cases[] = {
        {"plain", {glyph(1, 2, 3, 4), glyph(0, 5, 2, 6)}, {0, 2, 3, 6}},
        // A NaN in the first part does not poison the running value.
        {"nan first", {glyph(kNaN, kNaN, kNaN, kNaN), glyph(1, 2, 3, 4)}, {1, 2, 3, 4}},
        {"nan last", {glyph(1, 2, 3, 4), glyph(kNaN, 0, kNaN, 9)}, {1, 0, 3, 9}},
        {"all nan", {glyph(kNaN, kNaN, kNaN, kNaN)}, {big, big, -big, -big}},
        {"infinities", {glyph(-kInf, 1, kInf, 2), glyph(0, 0, 1, 1)}, {-kInf, 0, kInf, 2}},
        {"empty", {}, {big, big, -big, -big}},
    };
    for (const auto& c : cases) EXPECT_EQ(union_of(std::span<const CharInfo>(c.chars)), c.want) << c.name;
}

TEST(MakeSpan, TextBoxAndTheFirstCharactersStyle) {
    std::vector<CharInfo> chars = {glyph(0, 0, 5, 10, U'a', 9.5, 1, 0x112233),
                                   glyph(5, -2, 9, 8, U'\u00e9', 9.5, 1, 0x112233),
                                   glyph(9, 0, 14, 10, U'\U0001F600'),
                                   glyph(14, 0, 20, 12, char32_t{0xD800})};
    TextSpan s = make_span(chars, kFonts);
    EXPECT_EQ(s.text, "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_EQ(std::tie(s.font, s.color, s.size), std::make_tuple("Times", 0x112233u, 9.5));
    EXPECT_EQ(std::tie(s.char_count, s.first_char, s.last_char, s.has_letter, s.rtl),
              std::make_tuple(4u, U'a', char32_t{0xD800}, true, false));
    EXPECT_EQ(s.bbox, (BBox{0, -2, 20, 12}));
    // A font index outside the page's names reads as text shown with no font.
    EXPECT_EQ(make_span(std::vector{glyph(0, 0, 1, 1, U'a', 12, 7)}, kFonts).font, kNoFontName);
    // Right-to-left runs drawn left to right read from the right; digits keep their order;
    // a run drawn right to left is already in reading order.
    const struct { std::vector<CharInfo> chars; std::string text; } rtl[] = {
        {word(U"\u05DD\u05D5\u05DC\u05E9 12 ok", 0, 0), "\u05E9\u05DC\u05D5\u05DD 12 ok"},
        {word(U"1 \u05D1\u05D0 2", 0, 0), "1 \u05D0\u05D1 2"},
        {{glyph(10, 0, 16, 12, U'\u05D0'), glyph(4, 0, 10, 12, U'\u05D1')}, "\u05D0\u05D1"},
    };
    for (const auto& c : rtl) EXPECT_EQ(make_span(c.chars, kFonts).text, c.text);
    // Spaces and punctuation alone hold no letter; the ends are taken in reading order.
    EXPECT_FALSE(make_span(word(U" 1.", 0, 0), kFonts).has_letter);
    const TextSpan hebrew = make_span(word(U"\u05D1\u05D0", 0, 0), kFonts);
    EXPECT_EQ(std::tie(hebrew.first_char, hebrew.last_char), std::make_tuple(U'\u05D0', U'\u05D1'));
}

// Two characters of width 10, the second placed relative to the first (s = 12).
TEST(ClusterChars, SpanThresholds) {
    const struct { const char* name; CharInfo second; std::vector<std::string> spans; } cases[] = {
        {"gap 3.5 joins", glyph(13.5, 100, 23.5, 110, U'b'), {"ab"}},
        {"gap 3.6 splits", glyph(13.6, 100, 23.6, 110, U'b'), {"a", "b"}},
        {"overlap 5.9 joins", glyph(4.1, 100, 14.1, 110, U'b'), {"ab"}},
        {"overlap 6.0 splits", glyph(4.0, 100, 14.0, 110, U'b'), {"a", "b"}},
        {"rise 5.9 joins", glyph(10, 105.9, 20, 115.9, U'b'), {"ab"}},
        {"rise of exactly 0.5 s splits", glyph(10, 106, 20, 116, U'b'), {"b", "a"}},
        {"drop of exactly 0.5 s splits", glyph(10, 94, 20, 104, U'b'), {"a", "b"}},
        {"space is text", glyph(10, 100, 13, 110, U' '), {"a "}},
        {"nan x0 splits", glyph(kNaN, 100, 20, 110, U'b'), {"a", "b"}},
        // A box whose y0 is NaN in every part keeps the start value: the top of any page.
        {"nan y0 splits", glyph(10, kNaN, 20, 110, U'b'), {"b", "a"}},
        // A change of font, size or colour starts a span, as a gap does.
        {"font splits", glyph(10, 100, 20, 110, U'b', 12, 1), {"a", "b"}},
        {"size splits", glyph(10, 100, 20, 110, U'b', 11), {"a", "b"}},
        {"colour splits", glyph(10, 100, 20, 110, U'b', 12, 0, 0xFF), {"a", "b"}},
        // Thresholds scale with the characters' size: 0.3 x 6 = 1.8.
        {"gap 1.9 at size 6 splits", glyph(11.9, 100, 21.9, 110, U'b', 6), {"a", "b"}},
        // Right-to-left letters drawn right to left join leftwards.
        {"right to left joins", glyph(-10, 100, 0, 110, U'\u05D1'), {"\u05D0\u05D1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const float size = c.second.size == 6 ? 6 : 12;
        const std::vector<CharInfo> chars = {glyph(0, 100, 10, 110, c.second.ch == U'\u05D1' ? U'\u05D0' : U'a', size), c.second};
        EXPECT_EQ(all_span_texts(cluster_chars(chars, kFonts)), c.spans);
    }
    EXPECT_TRUE(cluster_chars({}, kFonts).empty());
}

// Each case lists the spans in input order and the texts of the resulting lines (s = 12).
TEST(BuildLines, ThresholdsAndReadingOrder) {
    using Lines = std::vector<std::vector<std::string>>;
    struct Span { double x0, y0, x1, y1; std::string text; double size = kSize; };
    const struct { const char* name; std::vector<Span> spans; Lines want; bool rtl = false; } cases[] = {
        {"gap 59 joins", {{0, 100, 100, 110, "a"}, {159, 100, 170, 110, "b"}}, {{"a", "b"}}},
        {"gap 60 splits", {{0, 100, 100, 110, "a"}, {160, 100, 170, 110, "b"}}, {{"a"}, {"b"}}},
        {"rise 5.9 joins", {{0, 100, 100, 110, "a"}, {100, 105.9, 110, 115, "b"}}, {{"a", "b"}}},
        {"rise 6.0 splits", {{0, 100, 100, 110, "a"}, {100, 106, 110, 115, "b"}}, {{"b"}, {"a"}}},
        {"nan x0 splits", {{0, 100, 100, 110, "a"}, {kNaN, 100, 110, 110, "b"}}, {{"a"}, {"b"}}},
        {"top of the page first", {{0, 100, 10, 110, "low"}, {0, 300, 10, 310, "top"}, {0, 200, 10, 210, "mid"}},
         {{"top"}, {"mid"}, {"low"}}},
        {"right to left arrival reads left to right",
         {{40, 100, 50, 110, "c"}, {20, 100, 30, 110, "b"}, {0, 100, 10, 110, "a"}}, {{"a", "b", "c"}}},
        // Baselines 0.1 apart sort by baseline, not by x, so the higher span is compared first.
        {"higher span on the left", {{100, 100, 250, 110, "low"}, {0, 100.1, 90, 110, "high"}}, {{"high", "low"}}},
        // Baselines within 0.5 s form a row, cut left to right at gaps of 5 s.
        {"lower span before the higher one", {{0, 100, 90, 110, "low"}, {100, 100.1, 250, 110, "high"}},
         {{"low", "high"}}},
        {"a row splits left to right", {{0, 100, 10, 110, "low"}, {70, 100.1, 130, 110, "high"}}, {{"low"}, {"high"}}},
        {"sub- and superscripts sit in x order",
         {{0, 100, 50, 110, "E=mc"}, {50, 104, 55, 110, "2"}, {58, 100, 80, 110, "!"}, {80, 97, 85, 103, "i"}},
         {{"E=mc", "2", "!", "i"}}},
        // Thresholds scale with the larger size: 0.5 x 24.
        {"rise 11.9 at size 24 joins", {{0, 100, 100, 124, "a", 24}, {100, 111.9, 110, 115, "b"}}, {{"a", "b"}}},
        // ... while the two share some height: a caption beside a title is a row of its own.
        {"no height shared splits", {{0, 100, 100, 124, "a", 24}, {100, 88.5, 110, 98.5, "b"}}, {{"a"}, {"b"}}},
        // A mostly right-to-left line reads from the right.
        {"right to left line", {{0, 100, 10, 110, "l"}, {20, 100, 30, 110, "r"}}, {{"r", "l"}}, true},
        {"no spans", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TextSpan> spans;
        for (const Span& s : c.spans) spans.emplace_back(span_at(s.x0, s.y0, s.x1, s.y1, s.text, s.size)).rtl = c.rtl;
        Lines got;
        for (const TextLine& l : build_lines(spans)) {
            got.push_back(span_texts(l));
            EXPECT_EQ(l.bbox, union_of(std::span<const TextSpan>(l.spans)));
        }
        EXPECT_EQ(got, c.want);
    }
    // Spans a word gap apart with no space between them were not drawn one after the other
    // (the interpreter would have put a space there): two lines, so that their words do not
    // run together; for spans drawn apart the interpreter's gap of 0.15 s is the limit. A
    // space or CJK keeps one line.
    const struct { std::u32string_view left, right; double at; std::uint32_t seq; size_t lines; } gaps[] = {
        {U"ab", U"cd", 30, 1, 2}, {U"ab", U"cd", 14.4, 1, 1}, {U"ab", U"cd", 14.4, 7, 2},
        {U"ab ", U"cd", 30, 1, 1}, {U"ab", U" cd", 30, 1, 1}, {U"\u4E00", U"\u4E8C", 30, 1, 1},
    };
    for (const auto& g : gaps) {
        std::vector<TextSpan> spans = {make_span(word(g.left, 0, 0), kFonts), make_span(word(g.right, g.at, 0), kFonts)};
        spans[1].seq = g.seq;
        EXPECT_EQ(build_lines(spans).size(), g.lines) << g.at << " " << g.seq;
    }
}

TEST(BuildBlocks, VerticalGaps) {
    // The upper line covers y 100..112; the lower one is 12 high and ends `gap` below it.
    const struct { const char* name; double lower_top; std::size_t blocks; double upper_size = kSize; } cases[] = {
        {"leading 14.4, gap 2.4", 97.6, 1}, {"gap exactly 18", 82, 1}, {"gap 18.1", 81.9, 2},
        {"overlapping lines", 105, 1}, {"nan gap joins", kNaN, 1},
        // The smaller line's size decides: 1.5 x 6 at size 6.
        {"gap 9 at size 6", 91, 1, 6}, {"gap 9.1 at size 6", 90.9, 2, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TextLine upper = line_of({"a"}, 0);
        upper.spans[0].size = c.upper_size;
        upper.bbox = {0, 100, 10, 112};
        TextLine lower = line_of({"b"}, 0);
        lower.bbox = {300, c.lower_top - 12, 310, c.lower_top};
        const std::vector<TextBlock> blocks = build_blocks({upper, lower});
        ASSERT_EQ(blocks.size(), c.blocks);
        // Order is kept, and each block covers its lines.
        EXPECT_EQ(blocks.front().lines.front().bbox, upper.bbox);
        for (const TextBlock& b : blocks) EXPECT_EQ(b.bbox, union_of(std::span<const TextLine>(b.lines)));
    }
    EXPECT_TRUE(build_blocks({}).empty());
}

std::vector<double> repeat(double x, std::size_t n) { return std::vector<double>(n, x); }

std::vector<double> concat(std::initializer_list<std::vector<double>> parts) {
    std::vector<double> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(FindColumnSplit, Decisions) {
    const struct { const char* name; std::vector<double> x0s; std::optional<double> split; } cases[] = {
        {"five spans over the page", {0, 150, 300, 450, 600}, std::nullopt},
        {"edges within 99 points", concat({repeat(0, 20), repeat(99, 20)}), std::nullopt},
        // Bins 0 and 19 of 20 (width 12.4); the first empty bin between them is 6.
        {"two dense clusters", concat({repeat(72, 10), repeat(320, 10)}), 72 + 12.4 * 6.5},
        // Peaks 3, 0 and 19 by height: 0 lies within 10 bins of 3, so 19 is taken instead.
        {"second peak searched further", {0, 0, 40, 40, 80, 100}, 32.5},
        // Peaks 0, 5, 15, 19 by height: 15 is the first far enough from 0, not 19.
        {"first far peak taken", {0, 15, 15, 100, 100, 200}, 75.0},
        // Peaks 7, 15, 17: 17 is taken; valley 7/11 = 0.63636 against 0.85 x 0.75 = 0.6375.
        {"valley just deep enough", concat({{0, 20, 20, 20, 105, 105}, repeat(120, 5), {200}}), 85.0},
        // Three peaks of equal height: the order in which they were found decides p and q.
        {"equal peaks keep their order", {0, 75, 75, 100, 180, 180}, std::nullopt},
        {"only two peaks, 2 bins apart", concat({repeat(0, 6), {30, 60, 100}}), std::nullopt},
        // Peaks 8, 16, 0: none at least 10 bins from 8, so 16 stays and is too close.
        {"no peak far enough", {0, 15, 15, 15, 55, 60, 60, 60, 65, 65, 100}, std::nullopt},
        // Valley 0.545 against 0.85 x 0.636 = 0.541: not deep enough.
        {"shallow valley", concat({{0}, repeat(25, 6), {75, 100}}), std::nullopt},
        {"split leaves one span", concat({repeat(0, 10), repeat(40, 10), {100}}), std::nullopt},
        // NaN edges fall into the first bin but into the right column.
        {"nan edges", concat({repeat(0, 5), repeat(300, 5), repeat(kNaN, 3)}), 97.5},
        {"all nan", repeat(kNaN, 10), std::nullopt}, {"every edge at minus infinity", repeat(-kInf, 10), std::nullopt},
        {"infinite range", concat({repeat(0, 5), repeat(kInf, 5)}), std::nullopt},
        {"range beyond double", concat({repeat(-1e308, 5), repeat(1e308, 5)}), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(find_column_split(c.x0s), c.split) << c.name;
}

// Words of 3 characters, 7 points apart, one line per 14 points from y_top down.
void add_column(std::vector<CharInfo>& chars, double x, double y_top, int lines, char32_t letter) {
    for (int i = 0; i < lines; ++i) {
        const double y = y_top - 14 * i;
        for (int k = 0; k < 3; ++k) chars.push_back(glyph(x + 6 * k, y, x + 6 * k + 6, y + 10, letter, 7, 1, 0xABCDEF));
    }
}

TEST(ClusterChars, TwoColumnsLeftFirst) {
    // The right column lies higher on the page and is emitted first; the left column still
    // reads first, and each column reads top to bottom.
    std::vector<CharInfo> chars;
    add_column(chars, 320, 700, 10, U'r');
    add_column(chars, 72, 300, 10, U'l');
    const std::vector<TextBlock> blocks = cluster_chars(chars, kFonts);
    ASSERT_EQ(blocks.size(), 2u);
    for (const TextSpan* s : all_spans(blocks)) {
        EXPECT_EQ(std::tie(s->font, s->color, s->size), std::make_tuple("Times", 0xABCDEFu, 7.0));
    }
    EXPECT_EQ(blocks[0].bbox.x0, 72);
    EXPECT_EQ(blocks[1].bbox.x0, 320);
    for (const TextBlock& b : blocks) {
        ASSERT_EQ(b.lines.size(), 10u);
        for (std::size_t i = 1; i < b.lines.size(); ++i) EXPECT_GT(b.lines[i - 1].bbox.y0, b.lines[i].bbox.y0);
    }
    expect_boxes_cover(blocks);

    // Without the left column the same right column is one column; the lone span far below
    // is its own block, after it.
    std::vector<CharInfo> one;
    add_column(one, 320, 700, 10, U'r');
    one.push_back(glyph(72, 300, 78, 310, U'l', 7, 1, 0xABCDEF));
    EXPECT_EQ(all_span_texts(cluster_chars(one, kFonts)).back(), "l");
}

TEST(ClusterChars, TurnedPagesAreLaidOutUpright) {
    // Text running down the page (dir 3), lines stepping left: laid out as if upright, boxes
    // given back in user space.
    std::vector<CharInfo> chars;
    for (int line = 0; line < 2; ++line) {
        const double x = 500 - 20 * line;
        for (int k = 0; k < 3; ++k) {
            const double y = 700 - 6 * k;
            chars.push_back(glyph(x - 12, y - 6, x, y, U'a' + char32_t(3 * line + k), 12, 0, 0, 3));
        }
    }
    const std::vector<TextBlock> blocks = cluster_chars(chars, kFonts);
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].lines.size(), 2u);
    EXPECT_EQ(all_span_texts(blocks), (std::vector<std::string>{"abc", "def"}));
    EXPECT_EQ(blocks[0].lines[0].bbox, (BBox{488, 682, 500, 700}));
    EXPECT_EQ(blocks[0].lines[0].spans[0].bbox, (BBox{488, 682, 500, 700}));
    expect_boxes_cover(blocks);
}

std::vector<std::vector<std::string>> merged_texts(const std::vector<std::vector<std::string>>& lines) {
    TextBlock block;
    double y = 1000;
    for (const auto& l : lines) {
        block.lines.push_back(line_of(l, y));
        y -= 20;
    }
    block.bbox = union_of(std::span<const TextLine>(block.lines));
    const std::vector<TextBlock> out = merge_hyphenated_lines({block});
    std::vector<std::vector<std::string>> got;
    for (const TextLine& l : out.at(0).lines) got.push_back(span_texts(l));
    expect_boxes_cover(out);
    return got;
}

TEST(MergeHyphenatedLines, JoinsAndChains) {
    using Lines = std::vector<std::vector<std::string>>;
    const struct { const char* name; Lines in, want; } cases[] = {
        {"example", {{"exam-"}, {"ple text"}}, {{"exam", "ple text"}}},
        {"chain of three", {{"co-"}, {"op-"}, {"eration"}}, {{"co", "op", "eration"}}},
        {"last line keeps its hyphen", {{"a-"}, {"b-"}}, {{"a", "b-"}}},
        {"multi-span lines", {{"one ", "tw-"}, {"o", " three"}}, {{"one ", "tw", "o", " three"}}},
        // The texts look past empty spans; only the last span loses a hyphen.
        {"empty last span", {{"ab-", ""}, {"cd"}}, {{"ab-", "", "cd"}}},
        {"empty first span", {{"ab-"}, {"", "cd"}}, {{"ab", "", "cd"}}},
        // Only an ASCII hyphen at the very end, before an ASCII lower-case letter, joins.
        {"upper case", {{"exam-"}, {"Ple"}}, {{"exam-"}, {"Ple"}}},
        {"space", {{"exam-"}, {" ple"}}, {{"exam-"}, {" ple"}}},
        {"accented", {{"exam-"}, {"\xC3\xA9t\xC3\xA9"}}, {{"exam-"}, {"\xC3\xA9t\xC3\xA9"}}},
        {"soft hyphen", {{"exam\xC2\xAD"}, {"ple"}}, {{"exam\xC2\xAD"}, {"ple"}}},
        {"hyphen then space", {{"exam- "}, {"ple"}}, {{"exam- "}, {"ple"}}},
        {"empty lines", {{""}, {"ple"}}, {{""}, {"ple"}}},
        // Joining b- to c- makes "bc-" join d in the next pass; "a" is untouched.
        {"chain after a plain line", {{"a"}, {"b-"}, {"c-"}, {"d"}}, {{"a"}, {"b", "c", "d"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(merged_texts(c.in), c.want) << c.name;
}

TEST(MergeHyphenatedLines, BoxesBlocksAndChars) {
    TextBlock first;
    first.lines.push_back(line_of({"exam-"}, 100));
    first.lines.push_back(line_of({"ple"}, 80));
    first.lines[1].spans[0].bbox = {0, 80, 300, 90};  // a wider continuation
    first.lines[1].bbox = first.lines[1].spans[0].bbox;
    std::vector<CharInfo> exam;
    for (char32_t c : std::u32string_view(U"exam-")) exam.push_back(glyph(2.0 * exam.size(), 100, 2.0 * exam.size() + 2, 110, c));
    first.lines[0].spans[0] = make_span(exam, kFonts);
    first.bbox = union_of(std::span<const TextLine>(first.lines));
    // A one-line block is handed back as it is, box included, even when the box is stale.
    TextBlock lone;
    lone.lines.push_back(line_of({"ple"}, 60));
    lone.bbox = {1, 2, 3, 4};
    const std::vector<TextBlock> out = merge_hyphenated_lines({first, lone});
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].lines.size(), 1u);
    const TextLine& joined = out[0].lines[0];
    EXPECT_EQ(span_texts(joined), (std::vector<std::string>{"exam", "ple"}));
    // The hyphen is gone from the text only.
    EXPECT_EQ(std::tie(joined.spans[0].char_count, joined.spans[0].last_char), std::make_tuple(5u, U'-'));
    EXPECT_EQ(joined.spans[0].bbox, first.lines[0].spans[0].bbox);
    EXPECT_EQ(joined.bbox, (BBox{0, 80, 300, 110}));
    EXPECT_EQ(out[0].bbox, joined.bbox);
    // The line before a block boundary is never joined across it.
    ASSERT_EQ(out[1].lines.size(), 1u);
    EXPECT_EQ(span_texts(out[1].lines[0]), std::vector<std::string>{"ple"});
    EXPECT_EQ(out[1].bbox, (BBox{1, 2, 3, 4}));
}

TEST(ClusterChars, NaNAndInfinityGoThroughEveryStage) {
    const double pool[] = {kNaN, kInf, -kInf, 0, 72, 320, 1e308, -1e308, 5e-324, 100.5, 300, 600};
    // A fixed linear congruential sequence keeps the test reproducible.
    std::uint64_t state = 12345;
    const auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>(state >> 33);
    };
    for (float size : {12.f, 0.f, -12.f, float(kNaN), float(kInf)}) {
        SCOPED_TRACE(size);
        for (int round = 0; round < 20; ++round) {
            std::vector<CharInfo> chars;
            const std::size_t n = 1 + next() % 400;
            for (std::size_t i = 0; i < n; ++i) {
                // Mostly sane characters with some hostile coordinates mixed in.
                double c[4];
                for (double& v : c) v = next() % 4 == 0 ? pool[next() % std::size(pool)] : double(next() % 700);
                chars.push_back(glyph(c[0], c[1], c[2], c[3], next() % 5 == 0 ? U'-' : U'a', size,
                                      0, 0, std::uint8_t(next() % 4)));
            }
            const std::vector<TextBlock> blocks = cluster_chars(chars, kFonts);
            EXPECT_EQ(char_count(blocks), n);
            expect_boxes_cover(blocks);
        }
    }
}

}  // namespace
}  // namespace vellix
