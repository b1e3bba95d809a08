// The bilevel image codecs of PDF (ISO 32000-1, 7.4.6 and 7.4.7): CCITT fax data through
// libtiff's fax codec and JBIG2 data through jbig2dec, each decoded to rows of 1-bit samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bounds.h"

namespace vellix {

// The CCITTFaxDecode parameters that shape the decoding (7.4.6, Table 11).
struct FaxParams {
    std::int64_t k = 0;         // < 0: Group 4; 0: Group 3 one-dimensional; > 0: Group 3 mixed
    std::uint32_t columns = 1728;
    bool byte_align = false;    // EncodedByteAlign
    bool black_is_1 = false;    // BlackIs1
};

// `rows` rows of params.columns samples, each row starting on a byte, 0 for black and 1 for
// white (the sense of DeviceGray samples and of the filter's output with BlackIs1 false).
// Rows the data does not reach are white. Nothing when no row decodes.
std::optional<std::vector<std::uint8_t>> decode_ccitt(std::span<const std::uint8_t> data,
                                                      const FaxParams& params, std::uint32_t rows);

// The page of an embedded JBIG2 stream (with the segments of its JBIG2Globals stream, which
// may be empty), as `height` rows of `width` samples, 0 for black, in the same packing.
// Rows or columns the page does not cover are white. Nothing when no page decodes.
std::optional<std::vector<std::uint8_t>> decode_jbig2(std::span<const std::uint8_t> data,
                                                      std::span<const std::uint8_t> globals,
                                                      std::uint32_t width, std::uint32_t height);

}  // namespace vellix
