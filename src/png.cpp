#include "png.h"

#include <algorithm>
#include <array>
#include <climits>

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
    const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
    put32(out, static_cast<std::uint32_t>(crc));
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

struct DeflateGuard {
    z_stream* zs;
    ~DeflateGuard() { deflateEnd(zs); }
};

// Deflates the rows, each behind a filter byte 0 (no prediction: fastest, and scanned or
// photographic samples gain little from the PNG filters at this level), into `out`.
bool append_idat_data(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> rows,
                      size_t row_bytes, std::uint32_t height) {
    z_stream zs{};
    if (deflateInit(&zs, kDeflateLevel) != Z_OK) return false;
    DeflateGuard guard{&zs};
    const size_t raw = (row_bytes + 1) * size_t{height};
    const size_t start = out.size();
    out.resize(start + deflateBound(&zs, static_cast<uLong>(std::min<size_t>(raw, ULONG_MAX))) + 64);
    size_t produced = 0;
    static const std::uint8_t kFilterNone = 0;
    auto feed = [&](const std::uint8_t* p, size_t n, int flush) {
        // SAFETY: deflate only reads through next_in; the pointer is non-const for old APIs.
        zs.next_in = const_cast<Bytef*>(p);
        zs.avail_in = static_cast<uInt>(n);
        for (;;) {
            if (out.size() - start - produced < 64) out.resize(out.size() + out.size() / 2 + 4096);
            const size_t room = std::min<size_t>(out.size() - start - produced, UINT_MAX);
            zs.next_out = out.data() + start + produced;
            zs.avail_out = static_cast<uInt>(room);
            const int rc = deflate(&zs, flush);
            produced += room - zs.avail_out;
            if (rc == Z_STREAM_END) return true;
            if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
            if (zs.avail_in == 0 && zs.avail_out != 0 && flush == Z_NO_FLUSH) return true;
        }
    };
    // Zeros for the rows past the end of the data, fed a slice at a time.
    static const std::array<std::uint8_t, 4096> kZeros{};
    for (std::uint32_t y = 0; y < height; ++y) {
        if (!feed(&kFilterNone, 1, Z_NO_FLUSH)) return false;
        // Rows of up to UINT_MAX bytes: checked by the caller.
        const size_t at = size_t{y} * row_bytes;
        const size_t have = at < rows.size() ? std::min(row_bytes, rows.size() - at) : 0;
        if (have > 0 && !feed(rows.data() + at, have, Z_NO_FLUSH)) return false;
        for (size_t left = row_bytes - have; left > 0;) {
            const size_t n = std::min(left, kZeros.size());
            if (!feed(kZeros.data(), n, Z_NO_FLUSH)) return false;
            left -= n;
        }
    }
    if (!feed(nullptr, 0, Z_FINISH)) return false;
    out.resize(start + produced);
    return true;
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
    out.reserve(64 + image.palette.size() + image.rows.size() / 4);
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
    if (!append_idat_data(out, image.rows, static_cast<size_t>(row_bytes), image.height)) return {};
    const size_t data_size = out.size() - length_at - 8;
    if (data_size > kMaxChunkBytes) return {};
    set32(out.data() + length_at, static_cast<std::uint32_t>(data_size));
    const uLong crc = crc32(0, out.data() + length_at + 4, static_cast<uInt>(data_size + 4));
    put32(out, static_cast<std::uint32_t>(crc));
    put_chunk(out, "IEND", {});
    return out;
}

}  // namespace vellix
