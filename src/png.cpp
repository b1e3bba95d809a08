#include "png.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include <libdeflate.h>

namespace vellix {
namespace {

// Deflate level 1: images are written once and read by the caller, and on scanned pages the
// writing is most of the work; higher levels cost several times the time for a few percent.
constexpr int kDeflateLevel = 1;
// A chunk's length field is 31 bits (ISO/IEC 15948, 5.3); IDAT data past it would need
// several chunks, which images this large (bounded long before by the page's image bytes)
// never reach.
constexpr std::uint64_t kMaxChunkBytes = 0x7FFFFFFF;

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void set32(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

// Appends the chunk's length, type and data, and then its CRC over type and data.
void put_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], std::span<const std::uint8_t> data) {
    put32(out, static_cast<std::uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
}

bool depth_allowed(PngImage::Color color, unsigned depth) {
    switch (color) {
        case PngImage::Color::Gray: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case PngImage::Color::Rgb: return depth == 8 || depth == 16;
        case PngImage::Color::Palette: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    }
    return false;
}

unsigned channels(PngImage::Color color) { return color == PngImage::Color::Rgb ? 3 : 1; }

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// One compressor per thread, made on first use: making one costs more than compressing a
// small image, and a compressor may not be shared between threads.
libdeflate_compressor* thread_compressor() {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(
        libdeflate_alloc_compressor(kDeflateLevel));
    return compressor.get();
}

// ---- Run-length deflate (RFC 1951) ----
//
// Unfiltered rows, each behind its filter type byte, are written as literals, copies of the byte
// before (distance 1) and copies of the row above (distance: the row's bytes and its filter
// type byte), each block with its own Huffman codes (RFC 1951, 3.2.7) made from the counts of
// its symbols, or stored when that comes out smaller. Matches are found 8 bytes at a time and
// there is no search for other earlier strings, which makes it several times faster than a
// general deflate on image rows, at about the size libdeflate's fastest level gets on them. The
// rows are read where they are: the filter type bytes are the encoder's own, and copies run on
// from one row into the next.

constexpr unsigned kMinRun = 3;    // the shortest copy deflate has
constexpr unsigned kMaxRun = 258;  // the longest
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kLitLenSymbols = 286;  // literals, end of block, 29 length symbols
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxCodeLengthBits = 7;
constexpr unsigned kCodeLengthSymbols = 19;
// Stored blocks hold at most this many bytes (LEN is 16 bits).
constexpr size_t kMaxStoredBytes = 65535;
// Tokens per block, as zlib has at its default memory level: small enough that each block's
// codes follow changes in the data, large enough that its code header is a small share.
constexpr size_t kBlockTokens = size_t{1} << 14;
// A token is a literal byte (0-255), a copy of the previous byte (kCopyToken + its length) or a
// copy of the row above (kAboveToken + its length).
constexpr unsigned kCopyToken = 256;
constexpr unsigned kAboveToken = kCopyToken + kMaxRun + 1;
constexpr unsigned kTokenKinds = kAboveToken + kMaxRun + 1;
// The farthest row above that is copied: the farthest deflate reaches (its window is 32 KiB).
constexpr size_t kMaxAboveDistance = 32768;

// Length symbols 257-285: their first length and extra bits (RFC 1951, 3.2.5).
constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27,
                                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance symbols 0-29: their first distance and extra bits.
constexpr std::array<std::uint16_t, 30> kDistanceBase = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                         33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                         1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which the code length code's lengths are sent, and its symbols' extra bits
// (RFC 1951, 3.2.7).
constexpr std::array<std::uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
constexpr std::array<std::uint8_t, kCodeLengthSymbols> kCodeLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                           0, 0, 0, 0, 0, 0, 2, 3, 7};

// For each copy length, the index of its length symbol (0 for symbol 257).
constexpr std::array<std::uint8_t, kMaxRun + 1> kLengthIndex = [] {
    std::array<std::uint8_t, kMaxRun + 1> index{};
    for (unsigned len = kMinRun, i = 0; len <= kMaxRun; ++len) {
        while (i + 1 < kLengthBase.size() && kLengthBase[i + 1] <= len) ++i;
        index[len] = static_cast<std::uint8_t>(i);
    }
    return index;
}();

// Code lengths for symbols with counts `freq`, none longer than `max_bits`: Huffman's
// construction; when the deepest code is too long the counts are halved (a used symbol stays
// used) and the code made again, which ends at the latest when all counts are 1. Unused
// symbols get length 0. At least two symbols must be used, so that the code is complete.
void huffman_lengths(std::span<const std::uint32_t> freq, unsigned max_bits, std::uint8_t* lengths) {
    std::array<std::uint32_t, kLitLenSymbols> weight{};
    std::array<std::uint16_t, kLitLenSymbols> symbol{};
    size_t used = 0;
    for (size_t s = 0; s < freq.size(); ++s) {
        lengths[s] = 0;
        if (freq[s] > 0) weight[used] = freq[s], symbol[used++] = static_cast<std::uint16_t>(s);
    }
    for (;;) {
        std::array<std::uint16_t, kLitLenSymbols> order{};
        for (size_t i = 0; i < used; ++i) order[i] = static_cast<std::uint16_t>(i);
        std::sort(order.begin(), order.begin() + used, [&](auto a, auto b) { return weight[a] < weight[b]; });
        // Nodes 0..used-1 are the leaves by weight, the rest the inner nodes in the order they
        // are made, which is by weight too: each joins the two lightest of both queues.
        std::array<std::uint64_t, 2 * kLitLenSymbols> node{};
        std::array<std::uint16_t, 2 * kLitLenSymbols> parent{};
        for (size_t i = 0; i < used; ++i) node[i] = weight[order[i]];
        size_t leaf = 0, inner = used, made = used;
        auto lightest = [&] { return leaf < used && (inner == made || node[leaf] <= node[inner]) ? leaf++ : inner++; };
        for (; made < 2 * used - 1; ++made) {
            const size_t a = lightest(), b = lightest();
            node[made] = node[a] + node[b];
            parent[a] = parent[b] = static_cast<std::uint16_t>(made);
        }
        // Depths from the root down: every node's parent was made after it.
        std::array<std::uint8_t, 2 * kLitLenSymbols> depth{};
        unsigned deepest = 0;
        for (size_t n = made - 1; n-- > 0;) {
            depth[n] = static_cast<std::uint8_t>(depth[parent[n]] + 1);
            deepest = std::max<unsigned>(deepest, depth[n]);
        }
        if (deepest <= max_bits) {
            for (size_t i = 0; i < used; ++i) lengths[symbol[order[i]]] = depth[i];
            return;
        }
        for (size_t i = 0; i < used; ++i) weight[i] = (weight[i] + 1) / 2;
    }
}

// The codes of the canonical Huffman code with these lengths (RFC 1951, 3.2.2), bit-reversed,
// as deflate sends a code's first bit first.
void huffman_codes(const std::uint8_t* lengths, size_t count, std::uint16_t* codes) {
    std::array<std::uint16_t, kMaxCodeBits + 2> next{};  // codes of each length, then the next code
    for (size_t s = 0; s < count; ++s) ++next[lengths[s] + 1];
    next[1] = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) next[bits + 1] = static_cast<std::uint16_t>((next[bits] + next[bits + 1]) << 1);
    for (size_t s = 0; s < count; ++s) {
        if (lengths[s] == 0) continue;
        const unsigned code = next[lengths[s]]++;
        unsigned reversed = 0;
        for (unsigned b = 0; b < lengths[s]; ++b) reversed |= ((code >> b) & 1u) << (lengths[s] - 1 - b);
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
}

// Bits, the first in the lowest place, into a buffer the caller made large enough, with 8
// bytes of room past the end of what is written: each put stores 8 bytes at once and then
// steps over the whole bytes among them, so that fewer than 8 bits are held between calls.
struct BitWriter {
    std::uint8_t* at;
    std::uint64_t bits = 0;
    unsigned count = 0;  // bits held, below 8 between calls

    void put(std::uint64_t value, unsigned n) {  // n <= 56
        bits |= value << count;
        count += n;
        const std::uint64_t le = std::endian::native == std::endian::little ? bits : std::byteswap(bits);
        std::memcpy(at, &le, 8);
        at += count / 8;
        bits >>= count & ~7u;
        count &= 7;
    }
    // Writes the bits held, padded to a byte.
    void flush() {
        if (count > 0) *at++ = static_cast<std::uint8_t>(bits);
        bits = 0;
        count = 0;
    }
};

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Eight bytes, the first in the lowest place.
std::uint64_t load_le64(const std::uint8_t* p) {
    const std::uint64_t v = load64(p);
    return std::endian::native == std::endian::little ? v : std::byteswap(v);
}

constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

// The high bit of each byte of `v` that is 0, and no other bit: the low seven bits of a byte
// plus 0x7F reach the high bit unless all are 0, and no sum carries into the next byte.
std::uint64_t zero_bytes(std::uint64_t v) { return ~(((v & kLow7) + kLow7) | v | kLow7); }

// Of bytes 0-5 of `same` (zero_bytes of a comparison), those that start three in a row.
std::uint64_t three_from(std::uint64_t same) { return same & (same >> 8) & (same >> 16) & 0x0000808080808080ull; }

// How many bytes from `data` on equal `value`, at most kMaxRun of the `size` there.
[[gnu::always_inline]] inline size_t run_length(const std::uint8_t* data, size_t size, std::uint8_t value) {
    const size_t limit = std::min<size_t>(size, kMaxRun);
    const std::uint64_t pattern = 0x0101010101010101ull * value;
    size_t n = 0;
    for (; n + 8 <= limit; n += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + n, 8);
        if (const std::uint64_t diff = word ^ pattern; diff != 0) {
            const int same_bits = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
            return n + static_cast<size_t>(same_bits) / 8;
        }
    }
    while (n < limit && data[n] == value) ++n;
    return n;
}

// How many bytes from `a` on equal those from `b` on, at most kMaxRun of the `size` there.
[[gnu::always_inline]] inline size_t match_length(const std::uint8_t* a, const std::uint8_t* b, size_t size) {
    const size_t limit = std::min<size_t>(size, kMaxRun);
    size_t n = 0;
    for (; n + 8 <= limit; n += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (const std::uint64_t diff = x ^ y; diff != 0) {
            const int same_bits = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
            return n + static_cast<size_t>(same_bits) / 8;
        }
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// ---- The rows as the encoder reads them ----

// The rows of an image where they are: those the samples hold in full, and after them `tail`,
// the row the samples end in completed with zeros and then a row of zeros, which stands for
// every row past their end.
struct RowSource {
    const std::uint8_t* data = nullptr;
    size_t row_bytes = 0;
    size_t height = 0;
    size_t full_rows = 0;
    std::unique_ptr<std::uint8_t[]> tail;

    const std::uint8_t* row(size_t y) const {
        return y < full_rows ? data + y * row_bytes : tail.get() + (y == full_rows ? 0 : row_bytes);
    }
};

// Empty when memory ran out. The tail takes at most two rows, no more than the image it
// completes.
std::optional<RowSource> row_source(std::span<const std::uint8_t> rows, size_t row_bytes, size_t height) {
    RowSource src;
    src.data = rows.data();
    src.row_bytes = row_bytes;
    src.height = height;
    src.full_rows = row_bytes == 0 ? height : std::min(height, rows.size() / row_bytes);
    if (src.full_rows < height) {
        const size_t tail_rows = std::min<size_t>(height - src.full_rows, 2);
        src.tail.reset(new (std::nothrow) std::uint8_t[tail_rows * row_bytes]());
        if (!src.tail) return std::nullopt;
        const size_t from = src.full_rows * row_bytes;
        if (rows.size() > from) std::memcpy(src.tail.get(), rows.data() + from, rows.size() - from);
    }
    return src;
}

// A place in the bytes the zlib stream holds: row y, byte x of the row behind its filter type
// byte (x = 0 is that byte, always 0, None).
struct RowPos {
    size_t y = 0;
    size_t x = 0;
};

// A row at a time rather than by division, which is slower than a few rows of short copies.
[[gnu::always_inline]] inline RowPos advance(RowPos at, size_t n, size_t stride) {
    for (at.x += n; at.x >= stride; at.x -= stride) ++at.y;
    return at;
}

std::uint8_t byte_at(const RowSource& src, RowPos at) { return at.x == 0 ? 0 : src.row(at.y)[at.x - 1]; }

// The byte before `at`, which is not the first.
[[gnu::always_inline]] inline std::uint8_t byte_before(const RowSource& src, RowPos at) {
    return at.x > 0 ? byte_at(src, {at.y, at.x - 1}) : byte_at(src, {at.y - 1, src.row_bytes});
}

// How many bytes from `at` on, at most kMaxRun, `same` holds for, `row` and `up` being rows
// at.y and at.y - 1 (nullptr for the first): `same(row, up, i, n)` says for how many of the n
// bytes from byte i of `row` on, and `filter_same` whether it holds for the filter type bytes
// on the way.
template <class Same>
[[gnu::always_inline]] inline size_t extent(const RowSource& src, RowPos at, const std::uint8_t* row, const std::uint8_t* up, bool filter_same, Same same) {
    size_t len = 0;
    for (size_t y = at.y, x = at.x; len < kMaxRun;) {
        if (x == 0) {
            if (!filter_same) break;
            ++len;
            x = 1;
        }
        const size_t want = std::min(src.row_bytes - (x - 1), kMaxRun - len);
        const size_t n = same(row, up, x - 1, want);
        len += n;
        if (n < want || ++y == src.height) break;
        up = row;
        row = src.row(y);
        x = 0;
    }
    return len;
}

// Copies `count` bytes from `at` on to `out`.
void copy_bytes(const RowSource& src, RowPos at, size_t count, std::uint8_t* out) {
    while (count > 0) {
        if (at.x == 0) {
            *out++ = 0;
            --count;
            at.x = 1;
        }
        const size_t n = std::min(src.row_bytes - (at.x - 1), count);
        if (n > 0) std::memcpy(out, src.row(at.y) + (at.x - 1), n);
        out += n;
        count -= n;
        at = {at.y + 1, 0};
    }
}

// Adler-32 (RFC 1950, 8.2) of the rows behind their filter type bytes. A call for each row
// costs more than its bytes when rows are short: those are gathered, with their filter type
// bytes, kAdlerBatchBytes at a time.
constexpr size_t kAdlerBatchBytes = 4096;

std::uint32_t rows_adler32(const RowSource& src) {
    constexpr std::uint32_t kAdlerBase = 65521;
    std::array<std::uint8_t, kAdlerBatchBytes> batch;
    size_t used = 0;
    std::uint32_t adler = 1;
    for (size_t y = 0; y < src.height; ++y) {
        if (src.row_bytes + 1 > batch.size()) {
            // The filter type byte 0 adds nothing to the first sum and the first sum to the second.
            const std::uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
            adler = (s2 + s1) % kAdlerBase << 16 | s1;
            adler = libdeflate_adler32(adler, src.row(y), src.row_bytes);
            continue;
        }
        if (used + src.row_bytes + 1 > batch.size()) {
            adler = libdeflate_adler32(adler, batch.data(), used);
            used = 0;
        }
        batch[used++] = 0;
        if (src.row_bytes > 0) std::memcpy(batch.data() + used, src.row(y), src.row_bytes);
        used += src.row_bytes;
    }
    return libdeflate_adler32(adler, batch.data(), used);
}

// Bits that `count` bytes take as stored blocks, the writer being at bit `bit` of a byte.
std::uint64_t stored_bits(size_t count, unsigned bit) {
    std::uint64_t total = 0;
    do {
        const size_t n = std::min(count, kMaxStoredBytes);
        total += 3 + (8 - (bit + 3) % 8) % 8 + 32 + 8 * std::uint64_t{n};  // header, padding, LEN, NLEN
        bit = 0;
        count -= n;
    } while (count > 0);
    return total;
}

void put_stored(BitWriter& w, const RowSource& src, RowPos from, size_t count, bool last) {
    do {
        const size_t n = std::min(count, kMaxStoredBytes);
        w.put(n == count && last ? 1 : 0, 3);  // BFINAL, BTYPE 00
        w.flush();
        const std::uint32_t len = static_cast<std::uint32_t>(n);
        for (std::uint32_t v : {len, len >> 8, ~len, ~len >> 8}) *w.at++ = static_cast<std::uint8_t>(v);
        copy_bytes(src, from, n, w.at);
        w.at += n;
        from = advance(from, n, src.row_bytes + 1);
        count -= n;
    } while (count > 0);
}

// The zlib stream of the rows, unfiltered; 0 when memory ran out. With `kSixAtOnce` (for rows
// that are not mostly runs) stretches of literals are found six places at a time; rows of runs
// have few literals between their copies, which that would only slow.
template <bool kSixAtOnce>
size_t deflate_rows(const RowSource& src, std::uint8_t* out) {
    const size_t stride = src.row_bytes + 1;
    // The row above is a distance of its own (distance 1 is the byte before).
    const size_t above = stride <= kMaxAboveDistance ? stride : 0;
    unsigned above_symbol = 1;  // without copies of the row above: an unused second code
    while (above != 0 && above_symbol + 1 < kDistanceBase.size() && kDistanceBase[above_symbol + 1] <= above) ++above_symbol;
    const unsigned above_extra = above != 0 ? kDistanceExtra[above_symbol] : 0;
    const std::uint32_t above_offset = above != 0 ? static_cast<std::uint32_t>(above - kDistanceBase[above_symbol]) : 0;
    std::unique_ptr<std::uint16_t[]> tokens(new (std::nothrow) std::uint16_t[kBlockTokens]);
    if (!tokens) return 0;
    // CMF: deflate with a 32 KiB window; FLG: the fastest level, no dictionary, check bits.
    out[0] = 0x78;
    out[1] = 0x01;
    BitWriter w{out + 2};
    RowPos at;
    // The byte before `at`; at the start one other than the first, the filter type byte 0.
    std::uint8_t before = 1;
    // Rows at.y and at.y - 1, the latter nullptr in the first row and without copies of it.
    const std::uint8_t* row = nullptr;
    const std::uint8_t* up = nullptr;
    const auto enter_row = [&] {
        if (at.y == src.height) return;
        row = src.row(at.y);
        up = above != 0 && at.y > 0 ? src.row(at.y - 1) : nullptr;
    };
    enter_row();
    bool last = false;
    while (!last) {
        // The block's tokens, and the count of each literal/length symbol.
        std::array<std::uint32_t, kLitLenSymbols> freq{};
        // The literals found six at a time are counted in three tables by place, so that
        // counting a byte does not wait for the count of the same byte just before it.
        std::array<std::array<std::uint32_t, 256>, 3> lanes{};
        const RowPos block_start = at;
        size_t n = 0, above_copies = 0;
        while (n < kBlockTokens && at.y < src.height) {
            // Literals, the commonest token where runs are short, in a loop of their own while
            // the row holds kMinRun bytes from `at` on: a byte starts a copy only when those
            // bytes all equal the byte before or all equal the bytes above, which the bytes
            // themselves tell without measuring the copy. At the first that does, the general
            // step below makes the same copy it would have made.
            if (at.x != 0 && at.x + kMinRun <= stride) {
                // Up to the row's last kMinRun bytes, or the block's last token.
                const size_t stop = std::min(stride - kMinRun + 1, at.x + (kBlockTokens - n));
                size_t x = at.x;
                std::uint8_t prev = before;
                // Six places at a time while they lie before `stop` and the eight bytes from
                // x - 1 on in the row: bytes 0-5 of `w` are the places', and each starts a copy
                // when it and the two after it equal the byte before each, or the bytes above
                // them. The places before the first that does are literals; the loop below
                // goes on from there.
                while (kSixAtOnce && x + 6 <= stop && x + 7 <= src.row_bytes) {
                    const std::uint64_t w = load_le64(row + x - 1);
                    std::uint64_t starts = three_from(zero_bytes(w ^ (w << 8 | prev)));
                    if (up != nullptr) starts |= three_from(zero_bytes(w ^ load_le64(up + x - 1)));
                    const unsigned k = starts != 0 ? static_cast<unsigned>(std::countr_zero(starts)) / 8 : 6;
                    if (k == 0) break;
                    const auto byte = [w](unsigned j) { return static_cast<std::uint8_t>(w >> 8 * j); };
                    for (unsigned j = 0; j < 6; ++j) tokens[n + j] = byte(j);
                    if (k == 6) {
                        ++lanes[0][byte(0)], ++lanes[1][byte(1)], ++lanes[2][byte(2)];
                        ++lanes[0][byte(3)], ++lanes[1][byte(4)], ++lanes[2][byte(5)];
                    } else {
                        for (unsigned j = 0; j < k; ++j) ++lanes[j % 3][byte(j)];
                    }
                    n += k;
                    x += k;
                    prev = byte(k - 1);
                    if (k < 6) break;
                }
                bool copy = false;
                for (; x < stop; ++x) {
                    const std::uint8_t* p = row + x - 1;
                    const std::uint8_t byte = p[0];
                    static_assert(kMinRun == 3);
                    if ((byte == prev && p[1] == byte && p[2] == byte) ||
                        (up != nullptr && byte == up[x - 1] && p[1] == up[x] && p[2] == up[x + 1])) {
                        copy = true;
                        break;
                    }
                    tokens[n++] = byte;
                    ++freq[byte];
                    prev = byte;
                }
                before = prev;
                at.x = x;
                if (!copy) continue;
            }
            const std::uint8_t byte = at.x == 0 ? 0 : row[at.x - 1];
            size_t len = 0;
            bool from_above = false;
            if (byte == before) {
                len = extent(src, at, row, up, byte == 0, [byte](const std::uint8_t* p, const std::uint8_t*, size_t i, size_t count) {
                    return run_length(p + i, count, byte);
                });
            }
            if (len < kMinRun && up != nullptr && byte == (at.x == 0 ? 0 : up[at.x - 1])) {
                from_above = true;
                len = extent(src, at, row, up, true, [](const std::uint8_t* p, const std::uint8_t* q, size_t i, size_t count) {
                    return match_length(p + i, q + i, count);
                });
            }
            if (len >= kMinRun) {
                tokens[n++] = static_cast<std::uint16_t>((from_above ? kAboveToken : kCopyToken) + len);
                ++freq[kEndOfBlock + 1 + kLengthIndex[len]];
                above_copies += from_above;
                const size_t y = at.y;
                at = advance(at, len, stride);
                if (at.y != y) enter_row();
                before = from_above ? byte_before(src, at) : byte;
                continue;
            }
            tokens[n++] = byte;
            ++freq[byte];
            before = byte;
            if (++at.x == stride) {
                at = {at.y + 1, 0};
                enter_row();
            }
        }
        last = at.y == src.height;
        if constexpr (kSixAtOnce) {
            for (unsigned b = 0; b < 256; ++b) freq[b] += lanes[0][b] + lanes[1][b] + lanes[2][b];
        }
        const size_t bytes = (at.y - block_start.y) * stride + at.x - block_start.x;

        // The codes. Two symbols at least are used in each, so that both are complete: end of
        // block and literal 0, and distance code 0 (distance 1) and that of the row above (or
        // 1), which get a bit each.
        freq[kEndOfBlock] = 1;
        freq[0] = std::max<std::uint32_t>(freq[0], 1);
        std::array<std::uint8_t, kLitLenSymbols> lengths{};
        huffman_lengths(freq, kMaxCodeBits, lengths.data());
        std::array<std::uint16_t, kLitLenSymbols> codes{};
        huffman_codes(lengths.data(), kLitLenSymbols, codes.data());
        constexpr unsigned kDistanceOneCode = 0, kAboveCode = 1, kDistanceBits = 1;
        size_t hlit = kLitLenSymbols;
        while (lengths[hlit - 1] == 0) --hlit;  // end of block is used: hlit > 256

        // The code lengths, literal/length and distance as one sequence, run-length coded with
        // symbols 16 (the previous length 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros).
        const size_t hdist = above_symbol + 1;
        std::array<std::uint8_t, kLitLenSymbols + kDistanceBase.size()> seq{};
        std::copy(lengths.begin(), lengths.begin() + hlit, seq.begin());
        seq[hlit] = seq[hlit + above_symbol] = kDistanceBits;
        const size_t seq_size = hlit + hdist;
        struct CodeLength { std::uint8_t symbol, extra; };
        std::array<CodeLength, kLitLenSymbols + kDistanceBase.size()> cl{};
        size_t cl_count = 0;
        std::array<std::uint32_t, kCodeLengthSymbols> cl_freq{};
        for (size_t i = 0; i < seq_size;) {
            const std::uint8_t v = seq[i];
            size_t same = 1;
            while (i + same < seq_size && seq[i + same] == v) ++same;
            if (v == 0 && same >= 3) {
                same = std::min<size_t>(same, 138);
                cl[cl_count++] = same >= 11 ? CodeLength{18, static_cast<std::uint8_t>(same - 11)}
                                            : CodeLength{17, static_cast<std::uint8_t>(same - 3)};
            } else if (v != 0 && i > 0 && seq[i - 1] == v && same >= 3) {
                same = std::min<size_t>(same, 6);
                cl[cl_count++] = CodeLength{16, static_cast<std::uint8_t>(same - 3)};
            } else {
                same = 1;
                cl[cl_count++] = CodeLength{v, 0};
            }
            ++cl_freq[cl[cl_count - 1].symbol];
            i += same;
        }
        // The sequence holds at least two kinds: the distance codes' 1, and the literal/length
        // code's other lengths or the zeros between its used symbols.
        std::array<std::uint8_t, kCodeLengthSymbols> cl_lengths{};
        huffman_lengths(cl_freq, kMaxCodeLengthBits, cl_lengths.data());
        std::array<std::uint16_t, kCodeLengthSymbols> cl_codes{};
        huffman_codes(cl_lengths.data(), kCodeLengthSymbols, cl_codes.data());
        size_t hclen = kCodeLengthSymbols;
        while (hclen > 4 && cl_lengths[kCodeLengthOrder[hclen - 1]] == 0) --hclen;

        // Stored instead when that is smaller (data without runs and with all byte values).
        std::uint64_t bits = 3 + 5 + 5 + 4 + 3 * hclen;
        for (unsigned s = 0; s < kCodeLengthSymbols; ++s) bits += std::uint64_t{cl_freq[s]} * (cl_lengths[s] + kCodeLengthExtra[s]);
        for (unsigned s = 0; s < kLitLenSymbols; ++s) {
            const unsigned extra = s > kEndOfBlock ? kLengthExtra[s - kEndOfBlock - 1] + kDistanceBits : 0;
            bits += std::uint64_t{freq[s]} * (lengths[s] + extra);
        }
        bits += std::uint64_t{above_copies} * above_extra;
        if (bits > stored_bits(bytes, w.count % 8)) {
            put_stored(w, src, block_start, bytes, last);
            continue;
        }

        w.put(last ? 1 : 0, 1);
        w.put(2, 2);  // dynamic Huffman codes
        w.put(static_cast<std::uint32_t>(hlit - 257), 5);
        w.put(static_cast<std::uint32_t>(hdist - 1), 5);
        w.put(static_cast<std::uint32_t>(hclen - 4), 4);
        for (size_t i = 0; i < hclen; ++i) w.put(cl_lengths[kCodeLengthOrder[i]], 3);
        for (size_t i = 0; i < cl_count; ++i) {
            const CodeLength c = cl[i];
            w.put(cl_codes[c.symbol], cl_lengths[c.symbol]);
            w.put(c.extra, kCodeLengthExtra[c.symbol]);
        }
        // Each token's bits in one piece: a copy is its length symbol, the extra bits and the
        // distance code, and a copy of the row above then its distance's extra bits, at most
        // 15 + 5 + 1 + 13 bits.
        std::array<std::uint64_t, kTokenKinds> token_code{};
        std::array<std::uint8_t, kTokenKinds> token_bits{};
        for (unsigned t = 0; t < 256; ++t) token_code[t] = codes[t], token_bits[t] = lengths[t];
        for (unsigned len = kMinRun; len <= kMaxRun; ++len) {
            const unsigned i = kLengthIndex[len], s = kEndOfBlock + 1 + i, extra = kLengthExtra[i];
            const unsigned bits = lengths[s] + extra + kDistanceBits;
            const std::uint64_t length = codes[s] | std::uint64_t{len - kLengthBase[i]} << lengths[s];
            token_code[kCopyToken + len] = length | std::uint64_t{kDistanceOneCode} << (lengths[s] + extra);
            token_code[kAboveToken + len] = length | std::uint64_t{kAboveCode} << (lengths[s] + extra) | std::uint64_t{above_offset} << bits;
            token_bits[kCopyToken + len] = static_cast<std::uint8_t>(bits);
            token_bits[kAboveToken + len] = static_cast<std::uint8_t>(bits + above_extra);
        }
        for (size_t i = 0; i < n; ++i) {
            const unsigned t = tokens[i];
            w.put(token_code[t], token_bits[t]);
        }
        w.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
    }
    w.flush();
    set32(w.at, rows_adler32(src));
    return static_cast<size_t>(w.at + 4 - out);
}

// Whether unfiltered rows are mostly runs (blank areas, flat colour, line art), judged by the
// kRunSampleBytes bytes from every kRunSampleStep-th byte of every kRunSampleRows-th row on
// (enough samples, and few passes over data that is not in the cache): the share that are a
// run of the byte before them or (when copies reach it) the bytes above them. The run-length
// encoder writes such rows several times as fast as libdeflate's fastest level, at about the
// same size; on anything else (photographs, gradients, dithering, text) libdeflate's copies of
// earlier strings, on rows the Up filter made smaller numbers of, make files up to several
// times smaller. Rows the run-length encoder writes although they are not mostly runs (palette
// indices, samples below a byte) have long stretches of literals, which it then finds six at a
// time.
constexpr size_t kRunSampleRows = 4;
constexpr size_t kRunSampleStep = 16;
constexpr size_t kRunSampleBytes = 8;  // as load64 reads
constexpr double kRunShare = 0.9;

bool mostly_runs(const RowSource& src) {
    const bool above = src.row_bytes + 1 <= kMaxAboveDistance;
    size_t same = 0, seen = 0;
    for (size_t y = src.height > 1 ? 1 : 0; y < src.height; y += kRunSampleRows) {
        const std::uint8_t* row = src.row(y);
        // Without a row above, the row itself stands in and `up_counts` drops what it says.
        const bool up_counts = above && y > 0;
        const std::uint8_t* up = up_counts ? src.row(y - 1) : row;
        for (size_t i = 1; i + kRunSampleBytes <= src.row_bytes; i += kRunSampleStep, ++seen) {
            const std::uint64_t bytes = load64(row + i);
            same += (bytes == 0x0101010101010101ull * row[i - 1]) | (up_counts & (bytes == load64(up + i)));
        }
    }
    return seen > 0 && static_cast<double>(same) >= kRunShare * static_cast<double>(seen);
}

}  // namespace

size_t deflate_runs_bound(size_t row_bytes, size_t height) {
    // No block is written larger than stored: its bytes and 5 for each stored block of up to
    // 64 KiB, with one byte of padding once; every block but the last holds kBlockTokens
    // tokens, so at least that many bytes. 5 / 65535 + 5 / kBlockTokens < 1 / 1024. Then the
    // zlib header and check value, and the 8 bytes BitWriter stores past what it has written.
    const size_t size = (row_bytes + 1) * height;
    return 2 + size + size / 1024 + 64 + 4 + 8;
}

namespace {

// deflate_rows in its way for rows that are (`runs`) or are not mostly runs.
size_t deflate_rows_of(const RowSource& src, bool runs, std::uint8_t* out) {
    return runs ? deflate_rows<false>(src, out) : deflate_rows<true>(src, out);
}

}  // namespace

size_t deflate_runs(std::span<const std::uint8_t> rows, size_t row_bytes, size_t height, std::uint8_t* out) {
    const std::optional<RowSource> src = row_source(rows, row_bytes, height);
    return src ? deflate_rows_of(*src, mostly_runs(*src), out) : 0;
}

namespace {

// A zlib stream (RFC 1950) in a buffer that was not zero-filled: the compressors write at
// most their bound, and only the pages written are ever touched.
struct ZlibStream {
    std::unique_ptr<std::uint8_t[]> bytes;
    size_t size = 0;
};

// The zlib stream of the rows: by the run-length encoder for rows that are not filtered
// (palette indices, samples below a byte, which gain nothing from filters, ISO/IEC 15948,
// 12.8) and for rows that are mostly runs; otherwise by libdeflate, on rows with filter type Up
// from the second row on: areas that repeat downwards (scans, flat colour) become zeros, and
// gradients small numbers. Empty when memory ran out.
ZlibStream idat_data(const RowSource& src, bool may_filter) {
    ZlibStream z;
    const bool runs = mostly_runs(src);
    if (!may_filter || runs) {
        z.bytes.reset(new (std::nothrow) std::uint8_t[deflate_runs_bound(src.row_bytes, src.height)]);
        if (!z.bytes) return {};
        z.size = deflate_rows_of(src, runs, z.bytes.get());
        return z.size != 0 ? std::move(z) : ZlibStream{};
    }
    // The filtered rows in one buffer, as libdeflate takes whole buffers. The caller bounds the
    // row size, and the page the image size.
    const size_t stride = src.row_bytes + 1;
    const size_t raw_size = stride * src.height;
    std::unique_ptr<std::uint8_t[]> raw(new (std::nothrow) std::uint8_t[raw_size]);
    if (!raw) return {};
    for (size_t y = 0; y < src.height; ++y) {
        std::uint8_t* at = raw.get() + y * stride;
        const std::uint8_t* row = src.row(y);
        if (y == 0) {
            at[0] = 0;  // None
            std::memcpy(at + 1, row, src.row_bytes);
            continue;
        }
        const std::uint8_t* up = src.row(y - 1);
        at[0] = 2;  // Up
        for (size_t i = 0; i < src.row_bytes; ++i) at[1 + i] = static_cast<std::uint8_t>(row[i] - up[i]);
    }
    libdeflate_compressor* compressor = thread_compressor();
    if (compressor == nullptr) return {};
    const size_t bound = libdeflate_zlib_compress_bound(compressor, raw_size);
    z.bytes.reset(new (std::nothrow) std::uint8_t[bound]);
    if (!z.bytes) return {};
    z.size = libdeflate_zlib_compress(compressor, raw.get(), raw_size, z.bytes.get(), bound);  // 0 cannot happen within the bound
    return z;
}

}  // namespace

std::uint64_t png_row_bytes(const PngImage& image) {
    return (std::uint64_t{image.width} * channels(image.color) * image.bit_depth + 7) / 8;
}

std::vector<std::uint8_t> write_png(const PngImage& image) {
    std::vector<std::uint8_t> out;
    if (image.width == 0 || image.height == 0 || image.width > kMaxChunkBytes ||
        image.height > kMaxChunkBytes || !depth_allowed(image.color, image.bit_depth)) {
        return out;
    }
    const std::uint64_t row_bytes = png_row_bytes(image);
    if (row_bytes >= UINT_MAX) return out;
    const bool palette = image.color == PngImage::Color::Palette;
    if (palette && (image.palette.empty() || image.palette.size() % 3 != 0 || image.palette.size() > 256 * 3)) {
        return out;
    }
    const std::optional<RowSource> src = row_source(image.rows, static_cast<size_t>(row_bytes), image.height);
    if (!src) return out;

    static constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.reserve(64 + image.palette.size());
    out.insert(out.end(), kSignature.begin(), kSignature.end());
    std::array<std::uint8_t, 13> ihdr{};
    set32(ihdr.data(), image.width);
    set32(ihdr.data() + 4, image.height);
    ihdr[8] = image.bit_depth;
    ihdr[9] = static_cast<std::uint8_t>(image.color);
    // Compression 0 (deflate), filter method 0, no interlace.
    put_chunk(out, "IHDR", ihdr);
    if (palette) put_chunk(out, "PLTE", image.palette);

    const ZlibStream idat = idat_data(*src, !palette && image.bit_depth >= 8);
    if (idat.size == 0 || idat.size > kMaxChunkBytes) return {};
    // Exactly the room the file takes, as it lives as long as its record.
    out.reserve(out.size() + 12 + idat.size + 12);
    put_chunk(out, "IDAT", {idat.bytes.get(), idat.size});
    put_chunk(out, "IEND", {});
    return out;
}

}  // namespace vellix
