// Fuzz target for the PNG writer's run-length deflate encoder: what it writes must stay within
// its bound and inflate (zlib, check value included) back to its rows behind their filter type
// bytes.
//
// The first byte picks how the rest becomes the rows: even as it is, odd as pairs (byte, count)
// expanded to runs of up to 1020 bytes, which reach copies of every length and block ends
// inside runs; and its upper bits the row size, 1 to 128 bytes. Two rows more than the input
// fills are written: the one it ends in or one of zeros, and one of zeros.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "png.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<std::uint8_t> input;
    if (data[0] % 2 == 0) {
        input.assign(data + 1, data + size);
    } else {
        for (size_t i = 1; i + 1 < size; i += 2) input.insert(input.end(), size_t{data[i + 1]} * 4 + 1, data[i]);
    }
    const size_t row_bytes = (data[0] >> 1) + 1;
    const size_t height = input.size() / row_bytes + 2;
    std::vector<std::uint8_t> expect;
    for (size_t y = 0; y < height; ++y) {
        expect.push_back(0);
        for (size_t i = y * row_bytes; i < (y + 1) * row_bytes; ++i) expect.push_back(i < input.size() ? input[i] : 0);
    }
    const size_t bound = vellix::deflate_runs_bound(row_bytes, height);
    std::vector<std::uint8_t> deflated(bound);
    const size_t n = vellix::deflate_runs(input, row_bytes, height, deflated.data());
    check(n > 0 && n <= bound);

    std::vector<std::uint8_t> back(expect.size() + 1);
    z_stream zs{};
    check(inflateInit(&zs) == Z_OK);
    zs.next_in = deflated.data();
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = back.data();
    zs.avail_out = static_cast<uInt>(back.size());
    const int r = inflate(&zs, Z_FINISH);
    const size_t got = zs.total_out;
    inflateEnd(&zs);
    check(r == Z_STREAM_END && zs.avail_in == 0 && got == expect.size());
    check(std::memcmp(back.data(), expect.data(), got) == 0);
    return 0;
}
