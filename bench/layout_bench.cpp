// Layout throughput: cluster_chars over synthetic dense two-column pages, the shape of a
// journal article. Each page has two columns of 60 lines, about 45 characters a line. Words are
// mostly separated by space characters, so a line is mostly one long span and the spans' left
// edges cluster at the two columns; now and then a positioning gap starts a short span inside a
// line. Every eighth line ends with a word split by "-", so hyphen merging has work: a page
// that comes out in two columns has 2 blocks and about 106 lines. Pages are built in memory
// from a fixed seed, so runs on one machine compare.
// Prints characters/s, pages/s and the resulting record counts. Release builds only.
//
//   layout_bench [pages] [repetitions]     (defaults 2000 and 3)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "layout.h"

namespace {

using Clock = std::chrono::steady_clock;
using vellix::CharInfo;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Rng {
    std::uint64_t state;
    std::uint32_t next(std::uint32_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>((state >> 33) % bound);
    }
};

constexpr double kGlyphWidth = 5.0;
constexpr double kLineHeight = 10.0;
constexpr double kLeading = 12.0;
constexpr float kSize = 12.0f;
const std::string kFonts[] = {"Times-Roman"};
constexpr int kLinesPerColumn = 60;
constexpr double kColumnWidth = 230.0;

void add_column(std::vector<CharInfo>& out, Rng& rng, double left, double top) {
    for (int line = 0; line < kLinesPerColumn; ++line) {
        const double y = top - kLeading * line;
        double x = left;
        const bool hyphenate = line % 8 == 7;
        while (true) {
            // Mostly short words, now and then a long compound that spills past 16 characters.
            const std::uint32_t len = rng.next(10) == 0 ? 17 + rng.next(6) : 2 + rng.next(8);
            if (x + kGlyphWidth * (len + 1) > left + kColumnWidth) break;
            for (std::uint32_t i = 0; i < len; ++i) {
                out.push_back({x, y, x + kGlyphWidth, y + kLineHeight, U'a' + rng.next(26), 0, kSize, 0});
                x += kGlyphWidth;
            }
            // Most words are separated by a space character, as a typeset line is; now and
            // then a positioning gap starts a new span inside the line.
            if (rng.next(12) != 0) {
                out.push_back({x, y, x + kGlyphWidth, y + kLineHeight, U' ', 0, kSize, 0});
                x += kGlyphWidth;
            } else {
                x += 6.0;  // wider than the span gap: the next word is its own span
            }
        }
        if (hyphenate) out.push_back({x, y, x + kGlyphWidth, y + kLineHeight, U'-', 0, kSize, 0});
    }
}

std::vector<CharInfo> make_page(std::uint64_t seed) {
    Rng rng{seed};
    std::vector<CharInfo> chars;
    chars.reserve(2 * kLinesPerColumn * 50);
    add_column(chars, rng, 72.0, 720.0);
    add_column(chars, rng, 320.0, 720.0);
    return chars;
}

}  // namespace

int main(int argc, char** argv) {
    const int n_pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    // A pool of distinct pages, reused round robin, keeps page building out of the timing.
    constexpr int kDistinctPages = 64;
    std::vector<std::vector<CharInfo>> pages;
    std::size_t chars_per_cycle = 0;
    for (int i = 0; i < kDistinctPages; ++i) {
        pages.push_back(make_page(1000 + static_cast<std::uint64_t>(i)));
        chars_per_cycle += pages.back().size();
    }

    double best = 1e300;
    std::size_t chars = 0, blocks = 0, lines = 0, spans = 0;
    for (int r = 0; r < reps; ++r) {
        chars = blocks = lines = spans = 0;
        const Clock::time_point t = Clock::now();
        for (int p = 0; p < n_pages; ++p) {
            const std::vector<CharInfo>& page = pages[static_cast<std::size_t>(p % kDistinctPages)];
            const std::vector<vellix::TextBlock> out = vellix::cluster_chars(page, kFonts);
            chars += page.size();
            blocks += out.size();
            for (const vellix::TextBlock& b : out) {
                lines += b.lines.size();
                for (const vellix::TextLine& l : b.lines) spans += l.spans.size();
            }
        }
        best = std::min(best, seconds_since(t));
    }

    std::printf("pages            %d (x%d repetitions, best run)\n", n_pages, reps);
    std::printf("characters       %zu (%.0f per page)\n", chars, double(chars_per_cycle) / kDistinctPages);
    std::printf("blocks/lines/spans per page  %.1f / %.1f / %.1f\n", double(blocks) / n_pages,
                double(lines) / n_pages, double(spans) / n_pages);
    std::printf("time             %.3f s\n", best);
    std::printf("throughput       %.1f M characters/s, %.0f pages/s\n", double(chars) / best / 1e6,
                n_pages / best);
    return 0;
}
