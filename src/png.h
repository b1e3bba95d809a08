// PNG files (ISO/IEC 15948) from rows of samples: what an image record hands out for every image
// that is not a JPEG or JPEG 2000 file, so that its bytes open in any viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vellix {

struct PngImage {
    enum class Color : std::uint8_t { Gray = 0, Rgb = 2, Palette = 3 };
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Color color = Color::Gray;
    // 1, 2, 4, 8 or 16 for Gray; 8 or 16 for Rgb; 1, 2, 4 or 8 for Palette.
    std::uint8_t bit_depth = 8;
    // Rows one after another, each starting on a byte (as PDF image rows do), samples packed
    // most significant bit first, 16-bit samples big-endian. Bytes past its end (an image whose
    // data ended early) are written as zero.
    std::span<const std::uint8_t> rows;
    // Palette only: red, green, blue for each entry, at most 256 entries.
    std::span<const std::uint8_t> palette;
};

// Bytes of one row of `image` (without the filter byte PNG puts in front of each row).
std::uint64_t png_row_bytes(const PngImage& image);

// The PNG file, compressed for speed rather than size; empty when the description is
// inconsistent (a size of zero, a depth the colour type does not allow, a palette that is
// empty or longer than 256 entries, a row longer than the format allows).
std::vector<std::uint8_t> write_png(const PngImage& image);

// The zlib stream (RFC 1950) of PNG image data (ISO/IEC 15948, 10): `height` rows of
// `row_bytes` bytes from `rows`, one after another (zeros past its end), each behind filter type
// byte 0 (None); made of literals, copies of the byte before and copies of the row above: fast
// on image rows. Writes at most deflate_runs_bound(row_bytes, height) bytes to `out` and returns
// how many; 0 when memory ran out.
size_t deflate_runs_bound(size_t row_bytes, size_t height);
size_t deflate_runs(std::span<const std::uint8_t> rows, size_t row_bytes, size_t height, std::uint8_t* out);

}  // namespace vellix
