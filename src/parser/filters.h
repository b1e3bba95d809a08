// Stream filters: the decoded bytes of a stream from its raw bytes and its /Filter value.
#pragma once

#include <cstdint>
#include <vector>

#include "parser/object.h"

namespace vellix {

using ByteVec = std::vector<std::uint8_t>;

// No single stream decodes to more than this; a decoder stops there (decompression bombs).
inline constexpr size_t kMaxDecodedStreamSize = size_t{1} << 30;

// Filter value: a name, an array of names (others skipped), or anything else (a copy).
[[nodiscard]] Result<ByteVec> decompress_stream(Bytes data, const PdfObject& filter);
// One filter by full name; unknown names (abbreviations included) copy the data.
[[nodiscard]] Result<ByteVec> apply_single_filter(Bytes data, Bytes name);

[[nodiscard]] Result<ByteVec> decompress_flate(Bytes data);
ByteVec decompress_lzw(Bytes data);
[[nodiscard]] Result<ByteVec> decode_ascii85(Bytes data);
ByteVec decode_ascii_hex(Bytes data);
[[nodiscard]] Result<ByteVec> decode_run_length(Bytes data);

// The /DecodeParms predictor of cross-reference and object streams: PNG predictors 10 to 15
// and TIFF predictor 2, with /Columns, /Colors and /BitsPerComponent. Parameters that are
// not a dictionary, or a /Predictor below 2, leave the data unchanged.
[[nodiscard]] Result<ByteVec> apply_predictor(ByteVec data, const PdfObject& decode_parms);

// Filters, then the predictor of /DecodeParms when there is one: the decoding used for
// cross-reference streams and object streams.
[[nodiscard]] Result<ByteVec> decode_structural_stream(const PdfStream& stream);

}  // namespace vellix
