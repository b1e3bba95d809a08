// Layout: characters into spans, one or two columns, lines and blocks, hyphenated lines.
//
// Coordinates are PDF user space with y growing upward. Lines and blocks come out in reading
// order: top of the page first, left to right on one line (right to left on a line of a
// right-to-left script), the left column before the right. Distance thresholds are multiples
// of the font sizes of the characters, spans or lines compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "page_items.h"
#include "types.h"

namespace vellix {

struct BBox {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    friend bool operator==(const BBox&, const BBox&) = default;
};

// A span keeps of its characters only what lines are built from: how many there are, the first
// and last in reading order (a space or a script without spaces at a span's end separates
// words), and whether any is a letter (spans of spaces and punctuation alone take no part in
// deciding a line's direction). Characters are not kept per span: the page's come and go with
// the interpretation.
struct TextSpan {
    std::string text;
    // A view of one of the names given to cluster_chars or make_span (or of kNoFontName): they
    // outlive the span.
    std::string_view font;
    double size = 0;
    BBox bbox;
    std::uint32_t color = 0;
    std::uint32_t seq = 0;  // the span's place in the page's drawing order
    std::uint32_t char_count = 0;
    char32_t first_char = 0;
    char32_t last_char = 0;
    bool rtl = false;  // more letters of right-to-left scripts than of others
    bool has_letter = false;
};

struct TextLine {
    std::vector<TextSpan> spans;
    BBox bbox;
};

struct TextBlock {
    std::vector<TextLine> lines;
    BBox bbox;
};

// A running union of boxes. Minimum and maximum ignore NaN operands (IEEE 754 minNum and
// maxNum): the minimum starts at the largest finite double and the maximum at its negative,
// and a NaN never replaces a number. A coordinate that is NaN in every part therefore keeps
// its start value in the result.
struct BoxUnion {
    BBox box{kStartMin, kStartMin, kStartMax, kStartMax};

    static constexpr double kStartMin = 1.7976931348623157e308;
    static constexpr double kStartMax = -1.7976931348623157e308;

    // Written as "v < running ? v : running": a NaN operand compares false and never wins.
    void add(double x0, double y0, double x1, double y1) {
        box.x0 = x0 < box.x0 ? x0 : box.x0;
        box.y0 = y0 < box.y0 ? y0 : box.y0;
        box.x1 = x1 > box.x1 ? x1 : box.x1;
        box.y1 = y1 > box.y1 ? y1 : box.y1;
    }
    void add(const BBox& b) { add(b.x0, b.y0, b.x1, b.y1); }
    void add(const CharInfo& c) { add(c.x0, c.y0, c.x1, c.y1); }
};

BBox union_of(std::span<const CharInfo> chars);
BBox union_of(std::span<const TextSpan> spans);
BBox union_of(std::span<const TextLine> lines);

// One span from a group of characters: text is their ch values as UTF-8 (U+FFFD for a value
// that is not a Unicode scalar value), in order except that a right-to-left run the file drew
// left to right is turned into reading order; bbox is the union of their boxes; font, size and
// colour are the first character's (`fonts` names the font indexes; an index outside it reads
// as kNoFontName; the span views the name). An empty group gives an empty span whose bbox
// holds the start values of BoxUnion.
TextSpan make_span(std::span<const CharInfo> chars, std::span<const std::string> fonts);

// The x position that splits a page into a left and a right column, decided from a histogram
// of the spans' left edges (x0s, in span creation order); nothing when the page is one column.
// Spans with x0 < the result form the left column, all others (NaN too) the right one.
std::optional<double> find_column_split(std::span<const double> x0s);

// Groups the characters of one page (borrowed, in emission order) into spans of one font,
// size and colour, decides one or two columns, builds each column's lines and blocks and joins
// hyphenated lines. With two columns the left column's blocks come first. No characters give
// no blocks. Never fails. The spans view the names of `fonts`.
std::vector<TextBlock> cluster_chars(const std::vector<CharInfo>& chars,
                                     std::span<const std::string> fonts);

// Orders spans top to bottom (bbox y0 descending; equal y0 by x0 ascending; NaN after every
// number), groups runs of neighbouring baselines into rows and cuts each row, left to right,
// into lines at gaps wider than 5 sizes; each line's spans ordered by x0 (by x1 descending on
// a mostly right-to-left line). Two spans a word gap apart with no space between
// them (drawn apart, not one after the other) are kept on two lines, so that their words do
// not run together; for spans not drawn one right after the other a smaller gap suffices. Every input span ends up in exactly one line; lines come in the order they
// were opened.
std::vector<TextLine> build_lines(std::vector<TextSpan> spans);

// Groups consecutive lines (taken in the given order, expected top to bottom) into blocks,
// starting a new block where the white space between the bottom of the block's last line and
// the top of the next line exceeds 1.5 times the smaller of their sizes. Every input line ends
// up in exactly one block.
std::vector<TextBlock> build_blocks(std::vector<TextLine> lines);

// Within each block, joins a line whose text ends with "-" to the line after it when that line
// starts with a lower-case ASCII letter, removing the "-" from the text of the first line's
// last span, and repeats until nothing joins. Blocks and their order are kept.
std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks);

}  // namespace vellix
