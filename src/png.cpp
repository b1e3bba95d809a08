#include "png.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

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

// Whether the data is mostly runs of one byte value (blank areas of scans and line art, which
// the Up filter turns into zeros), judged by every kRunSampleStep-th byte: zlib's run-length
// strategy deflates such data about half again as fast as libdeflate's fastest level, which in
// turn is the faster of the two on anything else (photographs, dithering, noise).
constexpr size_t kRunSampleStep = 16;
constexpr double kRunShare = 0.9;

bool mostly_runs(const std::uint8_t* data, size_t size) {
    size_t same = 0, seen = 0;
    for (size_t i = 1; i < size; i += kRunSampleStep, ++seen) same += data[i] == data[i - 1];
    return seen > 0 && static_cast<double>(same) >= kRunShare * static_cast<double>(seen);
}

struct DeflateEnd {
    z_stream* zs;
    ~DeflateEnd() { deflateEnd(zs); }
};

// The zlib stream of `data` (less than 4 GiB) appended to `out`, by zlib's run-length
// strategy. zlib writes the raw deflate data; the zlib header and the Adler-32 trailer
// (RFC 1950) are written here, the checksum by libdeflate, which computes it several times
// faster.
bool append_deflated_runs(std::vector<std::uint8_t>& out, const std::uint8_t* data, size_t size) {
    z_stream zs{};
    if (deflateInit2(&zs, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_RLE) != Z_OK) return false;
    DeflateEnd end{&zs};
    const uLong bound = deflateBound(&zs, static_cast<uLong>(size));
    const size_t start = out.size();
    // CMF: deflate with a 32 KiB window; FLG: the fastest level, no dictionary, check bits.
    out.insert(out.end(), {0x78, 0x01});
    out.resize(start + 2 + bound);
    // SAFETY: deflate only reads through next_in; the pointer is non-const for old APIs.
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data() + start + 2;
    zs.avail_out = static_cast<uInt>(std::min<uLong>(bound, UINT_MAX));
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) return false;  // the bound holds it all
    out.resize(start + 2 + zs.total_out);
    put32(out, libdeflate_adler32(1, data, size));
    return true;
}

// The zlib stream of `data` appended to `out`, by libdeflate.
bool append_deflated(std::vector<std::uint8_t>& out, const std::uint8_t* data, size_t size) {
    libdeflate_compressor* compressor = thread_compressor();
    if (compressor == nullptr) return false;
    const size_t start = out.size();
    out.resize(start + libdeflate_zlib_compress_bound(compressor, size));
    const size_t produced =
        libdeflate_zlib_compress(compressor, data, size, out.data() + start, out.size() - start);
    if (produced == 0) return false;  // cannot happen within the bound
    out.resize(start + produced);
    return true;
}

// Appends the zlib stream of the rows, each behind its filter type byte, to `out`.
bool append_idat_data(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> rows,
                      size_t row_bytes, std::uint32_t height, bool up_filter) {
    // The filtered rows in one buffer, as the compressors take whole buffers; rows past the
    // end of the data are zeros. The caller bounds the row size, and the page the image size.
    const size_t raw_size = (row_bytes + 1) * size_t{height};
    std::unique_ptr<std::uint8_t[]> raw(new (std::nothrow) std::uint8_t[raw_size]);
    if (!raw) return false;
    std::uint8_t* at = raw.get();
    for (std::uint32_t y = 0; y < height; ++y) {
        *at++ = 0;  // filter type None
        const size_t from = size_t{y} * row_bytes;
        const size_t have = from < rows.size() ? std::min(row_bytes, rows.size() - from) : 0;
        if (have > 0) std::memcpy(at, rows.data() + from, have);
        std::memset(at + have, 0, row_bytes - have);
        at += row_bytes;
    }
    // Filter type Up from the second row on, bottom row first so that each row still has the
    // plain samples of the row above: areas that repeat downwards (scans, line art, flat
    // colour) become zeros, which deflate faster and smaller. Palette indices and samples
    // below a byte gain nothing from it (ISO/IEC 15948, 12.8).
    const size_t stride = row_bytes + 1;
    for (size_t y = up_filter ? height : 0; y-- > 1;) {
        std::uint8_t* row = raw.get() + y * stride;
        const std::uint8_t* up = row - stride;
        row[0] = 2;
        for (size_t i = 1; i <= row_bytes; ++i) row[i] = static_cast<std::uint8_t>(row[i] - up[i]);
    }
    return raw_size < UINT_MAX / 2 && mostly_runs(raw.get(), raw_size)
               ? append_deflated_runs(out, raw.get(), raw_size)
               : append_deflated(out, raw.get(), raw_size);
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

    // IDAT: length and type now, the data deflated in place behind them, then length and CRC.
    const size_t length_at = out.size();
    put32(out, 0);
    out.insert(out.end(), {'I', 'D', 'A', 'T'});
    const bool up_filter = !palette && image.bit_depth >= 8;
    if (!append_idat_data(out, image.rows, static_cast<size_t>(row_bytes), image.height, up_filter)) {
        return {};
    }
    const size_t data_size = out.size() - length_at - 8;
    if (data_size > kMaxChunkBytes) return {};
    set32(out.data() + length_at, static_cast<std::uint32_t>(data_size));
    put32(out, libdeflate_crc32(0, out.data() + length_at + 4, data_size + 4));
    put_chunk(out, "IEND", {});
    // The compressor's bound left room for data that did not compress; give it back, since
    // the file lives as long as its record.
    if (out.capacity() > out.size() + out.size() / 4 + 4096) out.shrink_to_fit();
    return out;
}

}  // namespace vellix
