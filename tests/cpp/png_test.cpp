// The run-length deflate encoder of the PNG writer: what it writes inflates (zlib) back to its
// input, over shapes that reach each of its cases, with and without copies of the row above,
// and stays within its bound.
#include "png.h"

#include <gtest/gtest.h>
#include <zlib.h>

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

// Raw inflate of `deflated`, or "inflate failed" in a byte vector's stead.
Bytes inflate_raw(const Bytes& deflated, size_t expect) {
    Bytes out(expect + 1);
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return {};
    zs.next_in = const_cast<Bytef*>(deflated.data());
    zs.avail_in = static_cast<uInt>(deflated.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return r == Z_STREAM_END && zs.avail_in == 0 ? out : Bytes{'i', 'n', 'f', 'l', 'a', 't', 'e', ' ', 'f', 'a', 'i', 'l', 'e', 'd'};
}

TEST(DeflateRuns, InflatesToItsInput) {
    // A block ends after 16384 tokens: each byte of `alternating` is one.
    // random_bytes gives the same bytes each time: rows that repeat. Here rows of 300 bytes,
    // each the one above with a byte changed.
    Bytes rows;
    for (size_t y = 0; y < 50; ++y) rows = rows + (y == 0 ? random_bytes(300) : Bytes(rows.end() - 300, rows.end()));
    for (size_t y = 1; y < 50; ++y) rows[y * 300 + y * 5] ^= 0x55;
    const struct { std::string name; Bytes input; size_t row_bytes = 0; } cases[] = {
        {"empty", {}},
        {"one byte", {7}},
        {"all zeros", run(1 << 20, 0)},
        {"alternating, several blocks", alternating(40000)},
        {"runs across 258", Bytes{1} + run(259, 2) + run(260, 3) + run(261, 4) + run(517, 5) + run(518, 6)},
        {"short runs", Bytes{9} + run(2, 1) + run(3, 2) + run(4, 3) + run(5, 4)},
        {"run of 3 ending a block", alternating(16383) + run(3, 0)},
        {"run of 4 starting a block", alternating(16384) + run(4, 1)},
        {"run of 3 split by a block end", alternating(16383) + run(4, 0)},
        {"random: stored blocks", random_bytes(70000)},
        {"random tail", run(1000, 0) + random_bytes(300)},
        {"runs between random", random_bytes(5000) + run(3000, 0xFF) + random_bytes(5000) + run(100000, 0)},
        {"rows repeating", rows, 300},
        {"rows of 2 bytes", alternating(1000) + run(10, 3), 2},
        {"rows of 8192 bytes", random_bytes(8192) + random_bytes(8192) + random_bytes(8192), 8192},
        {"rows too long to copy", random_bytes(8193) + random_bytes(8193), 8193},
        {"random rows", random_bytes(40000), 100},
    };
    for (const auto& c : cases) {
        Bytes deflated(deflate_runs_bound(c.input.size()));
        deflated.resize(deflate_runs(c.input, c.row_bytes, deflated.data()));
        EXPECT_EQ(inflate_raw(deflated, c.input.size()), c.input) << c.name;
        EXPECT_LE(deflated.size(), c.input.size() + c.input.size() / 512 + 8) << c.name;
    }
}

}  // namespace
}  // namespace vellix
