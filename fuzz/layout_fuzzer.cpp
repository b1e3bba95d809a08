// Fuzz target for the layout stage: cluster_chars over characters built from the input, with
// NaN, infinite, huge, tiny and ordinary coordinates and a size that may be NaN, zero or
// negative.
//
// The first byte picks the size; every following group of five bytes makes one character:
// one byte each picks x0, y0 and the width (from a table of special values or a small
// integer), one the height, one the character.
//
// Properties checked besides the sanitizers' own: the spans hold as many characters as went
// in, no block, line or span is empty, each span's text is its characters' text (less a
// removed hyphen), and a second run gives the same text.
//
// fuzz/fuzz.sh layout [SECONDS] fuzzes it with libFuzzer or replays its saved inputs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "layout.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // libFuzzer saves the input as a crash
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Values that break arithmetic, then ordinary positions on a page.
double value_of(std::uint8_t b) {
    static constexpr double kSpecial[] = {kNaN, kInf, -kInf, 1.7976931348623157e308, -1.7976931348623157e308,
                                          4.9e-324, -0.0, 1e15, -1e15, 0.5};
    if (b < std::size(kSpecial)) return kSpecial[b];
    return static_cast<double>(b - std::size(kSpecial)) * 4.0;  // 0 to 984 in steps of 4
}

char32_t char_of(std::uint8_t b) {
    if (b < 0x60) return static_cast<char32_t>(0x20 + b);  // ASCII, '-' and letters included
    if (b < 0xF0) return static_cast<char32_t>(0xE0 + b);  // Latin-1 and beyond
    static constexpr char32_t kOdd[] = {0, 0xD800, 0xDFFF, 0xFFFD, 0x10FFFF, 0x110000, 0xFFFFFFFF,
                                        U'-', U'a', U'z', U' ', 0xAD, 0x2013, 0x1F600, 0xFEFF, U'\n'};
    return kOdd[b - 0xF0];
}

// The text make_span writes for the given characters.
std::string text_of(std::initializer_list<char32_t> chars) {
    std::string out;
    for (char32_t c : chars) append_utf8(out, c);
    return out;
}

std::string whole_text(const std::vector<TextBlock>& blocks) {
    std::string out;
    for (const TextBlock& b : blocks) {
        for (const TextLine& l : b.lines) {
            for (const TextSpan& s : l.spans) out += s.text;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static constexpr float kSizes[] = {12.0f, 0.0f, -12.0f, static_cast<float>(kNaN),
                                       static_cast<float>(kInf), 1e-30f, 1e30f, 1.0f};
    const float font_size = kSizes[data[0] % std::size(kSizes)];
    const std::string fonts[] = {"F1"};

    std::vector<CharInfo> chars;
    for (size_t i = 1; i + 5 <= size; i += 5) {
        const double x0 = value_of(data[i]);
        const double y0 = value_of(data[i + 1]);
        const double w = value_of(data[i + 2]) / 16.0;
        const double h = value_of(data[i + 3]) / 16.0;
        chars.push_back(CharInfo{x0, y0, x0 + w, y0 + h, char_of(data[i + 4]), 0, font_size, 0});
    }

    const std::vector<TextBlock> blocks = cluster_chars(chars, fonts);
    check(chars.empty() == blocks.empty());

    size_t seen = 0;
    for (const TextBlock& b : blocks) {
        check(!b.lines.empty());
        for (const TextLine& l : b.lines) {
            check(!l.spans.empty());
            for (const TextSpan& s : l.spans) {
                check(s.char_count > 0);
                check(s.font == "F1");
                seen += s.char_count;
                // The hyphen of a joined line leaves the text, not the span's last character.
                const std::string first = text_of({s.first_char});
                const std::string last = text_of({s.last_char});
                check(s.text.starts_with(first) || s.text.empty());
                check(s.text.ends_with(last) || (s.last_char == U'-' && !s.text.ends_with('-')));
            }
        }
    }
    check(seen == chars.size());
    const std::vector<TextBlock> again = cluster_chars(chars, fonts);
    check(whole_text(again) == whole_text(blocks));

    // The column split alone, over every left edge, NaN ones included.
    std::vector<double> x0s;
    x0s.reserve(chars.size());
    for (const CharInfo& c : chars) x0s.push_back(c.x0);
    if (std::optional<double> split = find_column_split(x0s)) check(!std::isnan(*split));
    return 0;
}
