// Fuzz target for the PNG writer's run-length deflate encoder: what it writes must stay within
// its bound and inflate (zlib) back to its input.
//
// The first byte picks how the rest becomes the input: even as it is, odd as pairs (byte,
// count) expanded to runs of up to 1020 bytes, which reach copies of every length and block
// ends inside runs; and its upper bits the row size copies of the row above are made for.
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
    const size_t bound = vellix::deflate_runs_bound(input.size());
    std::vector<std::uint8_t> deflated(bound);
    const size_t n = vellix::deflate_runs(input, data[0] >> 1, deflated.data());
    check(n > 0 && n <= bound);

    std::vector<std::uint8_t> back(input.size() + 1);
    z_stream zs{};
    check(inflateInit2(&zs, -MAX_WBITS) == Z_OK);
    zs.next_in = deflated.data();
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = back.data();
    zs.avail_out = static_cast<uInt>(back.size());
    const int r = inflate(&zs, Z_FINISH);
    const size_t got = zs.total_out;
    inflateEnd(&zs);
    check(r == Z_STREAM_END && zs.avail_in == 0 && got == input.size());
    check(got == 0 || std::memcmp(back.data(), input.data(), got) == 0);
    return 0;
}
