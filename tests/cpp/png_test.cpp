// The run-length deflate encoder of the PNG writer: what it writes inflates (zlib) back to its
// rows behind their filter type bytes, over shapes that reach each of its cases, with and
// without copies of the row above, and stays within its bound.
#include "png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace vellix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes alternating(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i & 1);
    return b;
}
Bytes random_bytes(size_t n) {
    std::mt19937 gen(17);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}
Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes run(size_t n, std::uint8_t v) { return Bytes(n, v); }

// The bytes the zlib stream of these rows holds: each row behind its filter type byte 0,
// zeros past the end of `rows`.
Bytes with_filter_bytes(const Bytes& rows, size_t row_bytes, size_t height) {
    Bytes out;
    for (size_t y = 0; y < height; ++y) {
        out.push_back(0);
        for (size_t i = y * row_bytes; i < (y + 1) * row_bytes; ++i) out.push_back(i < rows.size() ? rows[i] : 0);
    }
    return out;
}

// Inflate of the zlib stream `deflated`, its check value verified, or "inflate failed" in a
// byte vector's stead.
Bytes inflate_zlib(const Bytes& deflated, size_t expect) {
    Bytes out(expect + 1);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return {};
    zs.next_in = const_cast<Bytef*>(deflated.data());
    zs.avail_in = static_cast<uInt>(deflated.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return r == Z_STREAM_END && zs.avail_in == 0 ? out : Bytes{'i', 'n', 'f', 'l', 'a', 't', 'e', ' ', 'f', 'a', 'i', 'l', 'e', 'd'};
}

TEST(DeflateRuns, InflatesToItsRows) {
    // A block ends after 16384 tokens: the first row's filter type byte is one, and so is each
    // byte of `alternating`. Rows longer than 32767 bytes are too far apart for copies of the
    // row above. random_bytes gives the same bytes each time: rows that repeat. Here rows of 300
    // bytes, each the one above with a byte changed.
    Bytes rows;
    for (size_t y = 0; y < 50; ++y) rows = rows + (y == 0 ? random_bytes(300) : Bytes(rows.end() - 300, rows.end()));
    for (size_t y = 1; y < 50; ++y) rows[y * 300 + y * 5] ^= 0x55;
    // Random rows, every third ending as the one above: literals found six at a time up to a
    // copy of the row above.
    Bytes some_repeat = random_bytes(6000);
    for (size_t y = 3; y < 30; y += 3) std::copy_n(some_repeat.begin() + (y - 1) * 200 + 100, 100, some_repeat.begin() + y * 200 + 100);
    const Bytes runs_across_258 = Bytes{1} + run(259, 2) + run(260, 3) + run(261, 4) + run(517, 5) + run(518, 6);
    const Bytes short_runs = Bytes{9} + run(2, 1) + run(3, 2) + run(4, 3) + run(5, 4);
    const Bytes random_tail = run(1000, 0) + random_bytes(300);
    const Bytes runs_between_random = random_bytes(5000) + run(3000, 0xFF) + random_bytes(5000) + run(100000, 0);
    const struct { std::string name; Bytes input; size_t row_bytes, height; } cases[] = {
        {"no rows", {}, 5, 0},
        {"one byte", {7}, 1, 1},
        {"all zeros, runs across rows", run(1 << 20, 0), 1024, 1024},
        {"alternating, several blocks", alternating(40000), 40000, 1},
        {"runs across 258", runs_across_258, runs_across_258.size(), 1},
        {"short runs", short_runs, short_runs.size(), 1},
        {"run of 3 ending a block", alternating(16382) + run(3, 1), 16385, 1},
        {"run of 4 starting a block", alternating(16383) + run(4, 0), 16387, 1},
        {"run of 3 split by a block end", alternating(16382) + run(4, 1), 16386, 1},
        {"random: stored blocks", random_bytes(70000), 35000, 2},
        {"random tail", random_tail, random_tail.size(), 1},
        {"runs between random", runs_between_random, runs_between_random.size(), 1},
        {"rows repeating", rows, 300, 50},
        {"rows of 1 byte", alternating(1000) + run(10, 3), 1, 1010},
        {"rows of 32767 bytes, the farthest copy", random_bytes(32767) + random_bytes(32767) + random_bytes(32767), 32767, 3},
        {"rows too long to copy", random_bytes(32768) + random_bytes(32768), 32768, 2},
        {"random rows", random_bytes(40000), 100, 400},
        {"random rows, some repeating", some_repeat, 200, 30},
        {"rows past the end of the data", {1, 2, 3, 4, 5}, 4, 4},
        {"data ending with a row, rows past it", run(8, 9), 4, 3},
    };
    for (const auto& c : cases) {
        const Bytes expect = with_filter_bytes(c.input, c.row_bytes, c.height);
        Bytes deflated(deflate_runs_bound(c.row_bytes, c.height));
        deflated.resize(deflate_runs(c.input, c.row_bytes, c.height, deflated.data()));
        EXPECT_EQ(inflate_zlib(deflated, expect.size()), expect) << c.name;
        EXPECT_LE(deflated.size(), expect.size() + expect.size() / 512 + 14) << c.name;
    }
}

}  // namespace
}  // namespace vellix
