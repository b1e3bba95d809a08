#include "layout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <utility>

namespace vellix {
namespace {

// Span grouping, as multiples of the characters' size. A character joins the span of the
// character emitted before it when both have one font, size and colour, and it starts less
// than kSpanMaxGap after that one ends, overlaps it by less than kSpanMaxOverlap and sits less
// than kSpanMaxRise above or below its baseline. Between right-to-left letters drawn right to
// left the same holds mirrored.
constexpr double kSpanMaxGap = 0.3;
constexpr double kSpanMaxOverlap = 0.5;
constexpr double kSpanMaxRise = 0.5;

// Line grouping, as multiples of the larger size of two spans: the baseline step from the
// previous span in reading order, and the gap to the line's right end. A span further right
// than kSpanMaxGap of the smaller size with no space between it and the line was not drawn
// after it: it starts a line of its own.
constexpr double kLineMaxGap = 5.0;
// The word gap between spans that were not drawn one after the other: the interpreter's.
constexpr double kApartWordGap = 0.15;
constexpr double kLineMaxRise = 0.5;

// Block grouping: white space between two lines, as a multiple of the smaller of their sizes,
// above which the lower line starts a new block.
constexpr double kBlockMaxGap = 1.5;

// Sizes below this (text of a zero or tiny font size) scale the thresholds as this size does,
// so that such text still forms spans and lines.
constexpr double kMinLayoutSize = 1.0;

// Two sizes differing by less than this fraction are one size (matrices give sizes with
// rounding noise).
constexpr double kSameSize = 1e-3;

// Column decision: a histogram of span left edges, in points and bins.
constexpr std::size_t kMinSpansForColumns = 6;
constexpr double kMinColumnRange = 100.0;
constexpr double kTargetBinWidth = 15.0;
constexpr std::size_t kMinBins = 20;
constexpr std::size_t kMaxBins = 200;
constexpr std::size_t kSmoothRadius = 5;  // a bin is averaged with up to 5 bins on each side
constexpr std::size_t kMinPeakDistance = 10;
constexpr double kMaxValleyRatio = 0.85;
constexpr std::size_t kMinColumnSpans = 2;

// The sorts below need a strict weak order, and a plain < over doubles is not one once NaN
// appears (std::stable_sort with such a comparator is undefined behaviour). These compare
// numbers as usual and place NaN after every number, equal to any other NaN.
int compare_ascending(double a, double b) {
    const bool a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) return static_cast<int>(a_nan) - static_cast<int>(b_nan);
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compare_descending(double a, double b) {
    const bool a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) return static_cast<int>(a_nan) - static_cast<int>(b_nan);
    return b < a ? -1 : (a < b ? 1 : 0);
}

// minNum and maxNum: the running value never becomes NaN because a NaN operand never wins.
double min_num(double running, double v) { return v < running ? v : running; }
double max_num(double running, double v) { return v > running ? v : running; }

BBox line_box(const TextLine& line) { return union_of(std::span<const TextSpan>(line.spans)); }

double layout_size(double size) { return size > kMinLayoutSize ? size : kMinLayoutSize; }

double line_size(const TextLine& line) {
    double s = 0;
    for (const TextSpan& span : line.spans) s = max_num(s, span.size);
    return s;
}

// Characters that take the direction of the text around them: ASCII other than letters, spaces
// and general punctuation.
bool is_neutral(char32_t c) {
    if (c < 0x80) return !((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    return is_word_space(c) || (c >= 0x2000 && c <= 0x206F);
}

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool is_punctuation(char32_t c) { return is_neutral(c) && !is_digit(c) && !is_word_space(c); }

// A right-to-left run that the file drew left to right (each character right of the one
// before) is reversed into reading order; digit groups inside it keep their own order, as
// numbers read left to right in those scripts too. In a mostly right-to-left span the
// punctuation at a run's ends belongs to the run.
void reorder_rtl(std::vector<CharInfo>& chars, bool rtl_span) {
    const size_t n = chars.size();
    size_t i = 0;
    while (i < n) {
        if (!is_rtl(chars[i].ch)) {
            ++i;
            continue;
        }
        if (rtl_span) {
            while (i > 0 && is_punctuation(chars[i - 1].ch)) --i;
        }
        size_t last = i;  // the run's last right-to-left character
        size_t j = i + 1;
        for (; j < n && (is_rtl(chars[j].ch) || is_neutral(chars[j].ch)); ++j) {
            if (is_rtl(chars[j].ch) || (rtl_span && is_punctuation(chars[j].ch))) last = j;
        }
        if (!is_rtl(chars[i].ch) && last == i) {
            i = j;
            continue;
        }
        if (last > i && chars[i].x0 < chars[last].x0) {
            const auto begin = chars.begin() + static_cast<std::ptrdiff_t>(i);
            const auto end = chars.begin() + static_cast<std::ptrdiff_t>(last + 1);
            std::reverse(begin, end);
            for (auto d = begin; d != end;) {
                if (!is_digit(d->ch)) {
                    ++d;
                    continue;
                }
                auto e = d;
                while (e != end && is_digit(e->ch)) ++e;
                std::reverse(d, e);
                d = e;
            }
        }
        i = j;
    }
}

// Whether the character continues the span of `prev`: the same font, size and colour, and
// close by along the baseline.
bool continues_span(const CharInfo& prev, const CharInfo& c) {
    if (c.font != prev.font || c.color != prev.color) return false;
    const double a = prev.size, b = c.size;
    // Neighbours in one span mostly have the very same size.
    if (a != b && !(std::fabs(a - b) <= kSameSize * std::max(std::fabs(a), std::fabs(b)))) return false;
    const double s = layout_size(b);
    const double dy = std::fabs(c.y0 - prev.y0);
    if (!(dy < kSpanMaxRise * s)) return false;
    const double gap = c.x0 - prev.x1;
    if (gap > -kSpanMaxOverlap * s && gap < kSpanMaxGap * s) return true;
    // Right-to-left letters drawn in reading order step to the left.
    if (!is_rtl(c.ch) && !is_rtl(prev.ch)) return false;
    const double back = prev.x0 - c.x1;
    return back > -kSpanMaxOverlap * s && back < kSpanMaxGap * s;
}

// Spans made while their runs of characters are found, in one pass over the characters: the
// letters are counted, the text appended and the box widened character by character. Only a
// span with right-to-left letters goes over its characters again, to put them in reading order.
// The text gathers in one buffer kept from span to span, and each span gets a copy of just its
// length.
class SpanBuilder {
public:
    explicit SpanBuilder(std::span<const std::string> fonts) : fonts_(fonts) {}

    // Starts a span at its first character.
    void start(const CharInfo& first) {
        text_.clear();
        box_ = BoxUnion{};
        rtl_letters_ = 0;
        other_letters_ = 0;
        add(first);
    }

    void add(const CharInfo& c) {
        if (c.ch < 0x80) {
            // ASCII: no right-to-left letters, and one byte of text.
            if (!is_neutral(c.ch)) ++other_letters_;
            text_.push_back(static_cast<char>(c.ch));
        } else {
            if (is_rtl(c.ch)) {
                ++rtl_letters_;
            } else if (!is_neutral(c.ch)) {
                ++other_letters_;
            }
            append_utf8(text_, c.ch);
        }
        box_.add(c);
    }

    // Fills `span`, a new one, as the span of `chars`: the characters given to start() and
    // add() since, in order.
    void finish(std::span<const CharInfo> chars, TextSpan& span) {
        const CharInfo& first = chars.front();
        span.font = first.font < fonts_.size() ? std::string_view(fonts_[first.font]) : kNoFontName;
        span.size = first.size;
        span.color = first.color;
        span.rtl = rtl_letters_ > other_letters_;
        span.has_letter = rtl_letters_ + other_letters_ > 0;
        span.char_count = static_cast<std::uint32_t>(chars.size());
        std::vector<CharInfo> reordered;
        if (rtl_letters_ > 0) {
            reordered.assign(chars.begin(), chars.end());
            reorder_rtl(reordered, span.rtl);
            // The box too is made again in reading order, so that it is the union taken in the
            // span's order whichever way the file drew it (a -0.0 beside a 0.0 keeps the first).
            start(reordered.front());
            for (const CharInfo& c : std::span(reordered).subspan(1)) add(c);
            chars = reordered;
        }
        span.text = text_;
        span.bbox = box_.box;
        span.first_char = chars.front().ch;
        span.last_char = chars.back().ch;
    }

private:
    std::span<const std::string> fonts_;
    std::string text_;
    BoxUnion box_;
    std::ptrdiff_t rtl_letters_ = 0;
    std::ptrdiff_t other_letters_ = 0;
};

// Whether the boundary between two spans of one line already separates words: a space on
// either side, or two characters of a script written without spaces.
bool separated(const TextSpan& a, const TextSpan& b) {
    if (a.char_count == 0 || b.char_count == 0) return true;
    const char32_t x = a.last_char, y = b.first_char;
    return is_word_space(x) || is_word_space(y) || (is_unspaced_script(x) && is_unspaced_script(y));
}

// Reading order of spans: top of the page first (y grows upward), then left to right.
struct SpanKey {
    double y0;
    double x0;
    std::size_t index;
};

bool reads_before(const SpanKey& a, const SpanKey& b) {
    if (int c = compare_descending(a.y0, b.y0); c != 0) return c < 0;
    return compare_ascending(a.x0, b.x0) < 0;
}

bool left_of(const TextSpan& a, const TextSpan& b) {
    return compare_ascending(a.bbox.x0, b.bbox.x0) < 0;
}

bool right_of(const TextSpan& a, const TextSpan& b) {
    return compare_descending(a.bbox.x1, b.bbox.x1) < 0;
}

void close_line(TextLine& line, std::vector<TextLine>& out) {
    // Spans on one baseline already arrive left to right; only a line with raised or lowered
    // spans needs the sort. A line of mostly right-to-left spans reads from the right.
    const auto rtl = std::count_if(line.spans.begin(), line.spans.end(),
                                   [](const TextSpan& s) { return s.rtl; });
    const auto ltr = rtl == 0 ? 0 : std::count_if(line.spans.begin(), line.spans.end(), [](const TextSpan& s) {
        return !s.rtl && s.has_letter;
    });
    const auto order = rtl > ltr ? right_of : left_of;
    if (!std::is_sorted(line.spans.begin(), line.spans.end(), order)) {
        std::stable_sort(line.spans.begin(), line.spans.end(), order);
    }
    line.bbox = line_box(line);
    out.push_back(std::move(line));
    line = TextLine{};
}

void close_block(TextBlock& block, std::vector<TextBlock>& out) {
    block.bbox = union_of(std::span<const TextLine>(block.lines));
    out.push_back(std::move(block));
    block = TextBlock{};
}

// The first and last byte of a line's text (its spans' texts concatenated), looking past
// spans with empty text; nothing when the whole text is empty.
std::optional<char> first_text_byte(const TextLine& line) {
    for (const TextSpan& s : line.spans) {
        if (!s.text.empty()) return s.text.front();
    }
    return std::nullopt;
}

std::optional<char> last_text_byte(const TextLine& line) {
    for (auto it = line.spans.rbegin(); it != line.spans.rend(); ++it) {
        if (!it->text.empty()) return it->text.back();
    }
    return std::nullopt;
}

// Only the hyphen-minus marks a split word: an en dash or a soft hyphen is kept as written,
// and only a lower-case ASCII letter continues a word. A UTF-8 lead byte is never in a..z, so
// the first byte decides for the first character.
bool ends_split_word(const TextLine& a, const TextLine& b) {
    const std::optional<char> last = last_text_byte(a);
    if (!last || *last != '-') return false;
    const std::optional<char> first = first_text_byte(b);
    return first && *first >= 'a' && *first <= 'z';
}

// One pass over a block's lines: joins disjoint pairs left to right, in place. Returns whether
// any pair was joined. Every span is moved at most once per pass, and each pass at least
// halves every chain of joinable lines, so a block of n lines costs O(spans x log n).
bool join_hyphenated_pass(std::vector<TextLine>& lines) {
    bool joined = false;
    std::size_t write = 0;
    std::size_t read = 0;
    while (read < lines.size()) {
        if (read + 1 < lines.size() && ends_split_word(lines[read], lines[read + 1])) {
            TextLine merged = std::move(lines[read]);
            TextLine& next = lines[read + 1];
            // The hyphen leaves the text only; the span keeps its character and its box.
            std::string& tail = merged.spans.back().text;
            if (!tail.empty() && tail.back() == '-') tail.pop_back();
            merged.spans.insert(merged.spans.end(), std::make_move_iterator(next.spans.begin()),
                                std::make_move_iterator(next.spans.end()));
            merged.bbox = line_box(merged);
            lines[write++] = std::move(merged);
            read += 2;
            joined = true;
        } else {
            if (write != read) lines[write] = std::move(lines[read]);
            ++write;
            ++read;
        }
    }
    lines.resize(write);
    return joined;
}

}  // namespace

BBox union_of(std::span<const CharInfo> chars) {
    BoxUnion u;
    for (const CharInfo& c : chars) u.add(c);
    return u.box;
}

BBox union_of(std::span<const TextSpan> spans) {
    BoxUnion u;
    for (const TextSpan& s : spans) u.add(s.bbox);
    return u.box;
}

BBox union_of(std::span<const TextLine> lines) {
    BoxUnion u;
    for (const TextLine& l : lines) u.add(l.bbox);
    return u.box;
}

TextSpan make_span(std::span<const CharInfo> chars, std::span<const std::string> fonts) {
    if (chars.empty()) {
        TextSpan span;
        span.bbox = BoxUnion{}.box;
        return span;
    }
    SpanBuilder builder(fonts);
    builder.start(chars.front());
    for (const CharInfo& c : chars.subspan(1)) builder.add(c);
    TextSpan span;
    builder.finish(chars, span);
    return span;
}

std::optional<double> find_column_split(std::span<const double> x0s) {
    if (x0s.size() < kMinSpansForColumns) return std::nullopt;

    double lo = BoxUnion::kStartMin;
    double hi = BoxUnion::kStartMax;
    for (double x : x0s) {
        lo = min_num(lo, x);
        hi = max_num(hi, x);
    }
    const double range = hi - lo;
    // Written so that a NaN range (every edge at the same infinity) also means one column.
    if (!(range >= kMinColumnRange)) return std::nullopt;

    // Clamped as a double first: an infinite range must not reach an integer conversion.
    const double wanted_bins = range / kTargetBinWidth;
    std::size_t bins = kMinBins;
    if (wanted_bins > static_cast<double>(kMaxBins)) {
        bins = kMaxBins;
    } else if (wanted_bins > static_cast<double>(kMinBins)) {
        bins = static_cast<std::size_t>(wanted_bins);
    }
    const double width = range / static_cast<double>(bins);

    std::array<std::size_t, kMaxBins> counts{};
    for (double x : x0s) {
        const double q = (x - lo) / width;
        std::size_t bin = 0;  // a negative or NaN quotient counts as the first bin
        if (q >= static_cast<double>(bins - 1)) {
            bin = bins - 1;
        } else if (q >= 0) {
            bin = static_cast<std::size_t>(q);
        }
        ++counts[bin];
    }

    // Moving average over up to 11 bins, fewer at the ends, from prefix sums.
    std::array<std::size_t, kMaxBins + 1> prefix{};
    for (std::size_t i = 0; i < bins; ++i) prefix[i + 1] = prefix[i] + counts[i];
    std::array<double, kMaxBins> smooth{};
    for (std::size_t i = 0; i < bins; ++i) {
        const std::size_t from = i >= kSmoothRadius ? i - kSmoothRadius : 0;
        const std::size_t to = std::min(bins, i + kSmoothRadius + 1);
        smooth[i] = static_cast<double>(prefix[to] - prefix[from]) / static_cast<double>(to - from);
    }

    // Interior maxima left to right, then the two ends; then highest first, ties keeping that
    // order.
    struct Peak {
        std::size_t bin;
        double height;
    };
    std::array<Peak, kMaxBins> peak_store{};
    std::size_t n_peaks = 0;
    for (std::size_t i = 1; i + 1 < bins; ++i) {
        if (smooth[i] > smooth[i - 1] && smooth[i] > smooth[i + 1]) peak_store[n_peaks++] = {i, smooth[i]};
    }
    if (smooth[0] > smooth[1]) peak_store[n_peaks++] = {0, smooth[0]};
    if (smooth[bins - 1] > smooth[bins - 2]) peak_store[n_peaks++] = {bins - 1, smooth[bins - 1]};
    const std::span<Peak> peaks(peak_store.data(), n_peaks);
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.height > b.height; });
    if (peaks.size() < 2) return std::nullopt;

    const auto distance = [](std::size_t a, std::size_t b) { return a > b ? a - b : b - a; };
    const std::size_t p = peaks[0].bin;
    std::size_t q = peaks[1].bin;
    if (distance(p, q) < kMinPeakDistance && peaks.size() > 2) {
        for (std::size_t k = 2; k < peaks.size(); ++k) {
            if (distance(peaks[k].bin, p) >= kMinPeakDistance) {
                q = peaks[k].bin;
                break;
            }
        }
    }
    if (distance(p, q) < kMinPeakDistance) return std::nullopt;

    const std::size_t a = std::min(p, q);
    const std::size_t b = std::max(p, q);
    std::size_t valley = a;
    for (std::size_t i = a + 1; i <= b; ++i) {
        if (smooth[i] < smooth[valley]) valley = i;
    }
    if (smooth[valley] > kMaxValleyRatio * std::min(smooth[a], smooth[b])) return std::nullopt;

    const double split = lo + width * (static_cast<double>(valley) + 0.5);
    const std::size_t left =
        static_cast<std::size_t>(std::count_if(x0s.begin(), x0s.end(), [&](double x) { return x < split; }));
    if (left < kMinColumnSpans || x0s.size() - left < kMinColumnSpans) return std::nullopt;
    return split;
}

std::vector<TextLine> build_lines(std::vector<TextSpan> spans) {
    std::vector<TextLine> lines;
    if (spans.empty()) return lines;

    // Sorting small keys, then moving each span once, is cheaper than sorting the spans.
    std::vector<SpanKey> order;
    order.reserve(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) order.push_back({spans[i].bbox.y0, spans[i].bbox.x0, i});
    std::stable_sort(order.begin(), order.end(), reads_before);

    // Rows first: runs of spans in sorted order whose baselines step by less than
    // kLineMaxRise (sub- and superscripts, and baselines a rounding apart, sort apart from
    // their line but stay in its row). Each row, left to right, is then cut into lines at
    // wide gaps and at word gaps that hold no space.
    std::size_t row_begin = 0;
    while (row_begin < order.size()) {
        std::size_t row_end = row_begin + 1;
        for (; row_end < order.size(); ++row_end) {
            // Any comparison with NaN is false, so a NaN baseline starts a new row.
            const TextSpan& prev = spans[order[row_end - 1].index];
            const TextSpan& t = spans[order[row_end].index];
            const double s = layout_size(max_num(prev.size, t.size));
            if (!(std::fabs(t.bbox.y0 - prev.bbox.y0) < kLineMaxRise * s)) break;
            // Spans of very different sizes may have baselines close for the larger one yet
            // not share any height: a caption beside a title is a row of its own.
            if (!(std::min(t.bbox.y1, prev.bbox.y1) > std::max(t.bbox.y0, prev.bbox.y0))) break;
        }
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(row_begin);
        const auto last = order.begin() + static_cast<std::ptrdiff_t>(row_end);
        std::stable_sort(first, last, [](const SpanKey& a, const SpanKey& b) {
            return compare_ascending(a.x0, b.x0) < 0;
        });
        TextLine current;
        std::size_t rightmost = 0;  // the span of the line that reaches furthest right
        for (auto it = first; it != last; ++it) {
            TextSpan& t = spans[it->index];
            if (!current.spans.empty()) {
                const TextSpan& r = current.spans[rightmost];
                const double after = t.bbox.x0 - r.bbox.x1;
                bool joins = after < kLineMaxGap * layout_size(max_num(r.size, t.size));
                // The interpreter puts a space into a word gap between glyphs drawn one after
                // the other; spans drawn apart (table cells, columns) never had that chance.
                const double word_gap = t.seq == r.seq + 1 ? kSpanMaxGap : kApartWordGap;
                if (joins && after >= word_gap * layout_size(min_num(t.size, r.size))) {
                    joins = separated(r, t);
                }
                if (!joins) {
                    close_line(current, lines);
                    rightmost = 0;
                }
            }
            // Most rows are one line: room for the rest of the row spares the line's spans
            // from moving as it grows.
            if (current.spans.empty()) current.spans.reserve(static_cast<std::size_t>(last - it));
            current.spans.push_back(std::move(t));
            if (current.spans.back().bbox.x1 > current.spans[rightmost].bbox.x1) {
                rightmost = current.spans.size() - 1;
            }
        }
        close_line(current, lines);
        row_begin = row_end;
    }
    return lines;
}

std::vector<TextBlock> build_blocks(std::vector<TextLine> lines) {
    std::vector<TextBlock> blocks;
    if (lines.empty()) return blocks;

    TextBlock current;
    for (TextLine& m : lines) {
        if (!current.lines.empty()) {
            // Lines run top to bottom: the white space is from the bottom of the block's last
            // line down to the top of the next one. A NaN gap keeps the line in the block.
            const TextLine& k = current.lines.back();
            const double gap = k.bbox.y0 - m.bbox.y1;
            const double s = layout_size(min_num(line_size(k), line_size(m)));
            if (gap > kBlockMaxGap * s) close_block(current, blocks);
        }
        current.lines.push_back(std::move(m));
    }
    close_block(current, blocks);
    return blocks;
}

std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks) {
    for (TextBlock& block : blocks) {
        if (block.lines.size() < 2) continue;
        while (join_hyphenated_pass(block.lines)) {
        }
        block.bbox = union_of(std::span<const TextLine>(block.lines));
    }
    return blocks;
}

namespace {

// The box turned by `quarter` quarter turns clockwise, so that text written in direction
// `quarter` (CharInfo::dir) runs left to right; turning by (4 - quarter) % 4 turns it back.
BBox turn(const BBox& b, std::uint8_t quarter) {
    switch (quarter) {
        case 1: return {b.y0, -b.x1, b.y1, -b.x0};
        case 2: return {-b.x1, -b.y1, -b.x0, -b.y0};
        case 3: return {-b.y1, b.x0, -b.y0, b.x1};
        default: return b;
    }
}

void turn_char(CharInfo& c, std::uint8_t quarter) {
    const BBox b = turn({c.x0, c.y0, c.x1, c.y1}, quarter);
    c.x0 = b.x0;
    c.y0 = b.y0;
    c.x1 = b.x1;
    c.y1 = b.y1;
}

// How many characters run in each direction.
std::array<std::size_t, 4> direction_counts(const std::vector<CharInfo>& chars) {
    std::array<std::size_t, 4> count{};
    for (const CharInfo& c : chars) ++count[c.dir & 3];
    return count;
}

std::vector<TextBlock> cluster_upright(const std::vector<CharInfo>& chars,
                                       std::span<const std::string> fonts);

}  // namespace

std::vector<TextBlock> cluster_chars(const std::vector<CharInfo>& chars,
                                     std::span<const std::string> fonts) {
    // Text that runs up, down or right to left (a rotated page, a vertical margin note) is
    // laid out turned upright, and its boxes turned back. Each direction is laid out apart, the
    // page's main one first, so that a vertical line is never read across as a horizontal one.
    const std::array<std::size_t, 4> count = direction_counts(chars);
    // The direction of most characters.
    const auto main = static_cast<std::uint8_t>(std::max_element(count.begin(), count.end()) - count.begin());
    // The usual page, all of it left to right, is laid out as it is, without a copy.
    if (count[0] == chars.size()) return cluster_upright(chars, fonts);
    std::vector<TextBlock> blocks;
    for (std::uint8_t k = 0; k < 4; ++k) {
        const auto dir = static_cast<std::uint8_t>((main + k) % 4);
        if (count[dir] == 0) continue;
        std::vector<CharInfo> upright;
        upright.reserve(count[dir]);
        for (const CharInfo& c : chars) {
            if ((c.dir & 3) == dir) upright.push_back(c);
        }
        for (CharInfo& c : upright) turn_char(c, dir);
        std::vector<TextBlock> turned = cluster_upright(upright, fonts);
        const auto back = static_cast<std::uint8_t>((4 - dir) % 4);
        for (TextBlock& b : turned) {
            b.bbox = turn(b.bbox, back);
            for (TextLine& l : b.lines) {
                l.bbox = turn(l.bbox, back);
                for (TextSpan& s : l.spans) {
                    s.bbox = turn(s.bbox, back);
                }
            }
            blocks.push_back(std::move(b));
        }
    }
    return blocks;
}

namespace {

std::vector<TextBlock> cluster_upright(const std::vector<CharInfo>& chars,
                                       std::span<const std::string> fonts) {
    if (chars.empty()) return {};

    // Characters are grouped in emission order; nothing is sorted here. Each span is made at
    // once from a run of characters that continue one another.
    std::vector<TextSpan> spans;
    std::size_t run_begin = 0;
    SpanBuilder builder(fonts);
    builder.start(chars[0]);
    for (std::size_t i = 1; i <= chars.size(); ++i) {
        if (i < chars.size() && continues_span(chars[i - 1], chars[i])) {
            builder.add(chars[i]);
            continue;
        }
        TextSpan& span = spans.emplace_back();
        builder.finish(std::span(chars).subspan(run_begin, i - run_begin), span);
        span.seq = static_cast<std::uint32_t>(spans.size() - 1);
        if (i < chars.size()) builder.start(chars[i]);
        run_begin = i;
    }

    std::vector<double> x0s;
    x0s.reserve(spans.size());
    for (const TextSpan& s : spans) x0s.push_back(s.bbox.x0);
    const std::optional<double> split = find_column_split(x0s);

    std::vector<TextBlock> blocks;
    if (!split) {
        blocks = build_blocks(build_lines(std::move(spans)));
    } else {
        // Both columns keep the spans' creation order; the left column reads first.
        const auto n_left = static_cast<std::size_t>(std::count_if(
            spans.begin(), spans.end(), [&](const TextSpan& s) { return s.bbox.x0 < *split; }));
        std::vector<TextSpan> left;
        std::vector<TextSpan> right;
        left.reserve(n_left);
        right.reserve(spans.size() - n_left);
        for (TextSpan& s : spans) (s.bbox.x0 < *split ? left : right).push_back(std::move(s));
        blocks = build_blocks(build_lines(std::move(left)));
        std::vector<TextBlock> right_blocks = build_blocks(build_lines(std::move(right)));
        blocks.insert(blocks.end(), std::make_move_iterator(right_blocks.begin()),
                      std::make_move_iterator(right_blocks.end()));
    }
    return merge_hyphenated_lines(std::move(blocks));
}

}  // namespace
}  // namespace vellix
