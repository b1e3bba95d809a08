// Stream filters: the decoded bytes of a stream from its raw bytes and its /Filter value.
//
// Every function borrows its input and returns a new buffer owned by the caller; a failure
// never carries partial output. Nothing is kept between calls, so all of them may run on
// several threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "bounds.h"
#include "parser/object.h"

namespace vellix {

using ByteVec = std::vector<std::uint8_t>;

// Filter value: a name, an array of names (others skipped), or anything else (a copy).
// Errors: those of the decoders below, and "too many filters in stream".
[[nodiscard]] Result<ByteVec> decompress_stream(Bytes data, const PdfObject& filter);
// One filter by full name; unknown names (abbreviations included) copy the data.
[[nodiscard]] Result<ByteVec> apply_single_filter(Bytes data, Bytes name);

// The full name of an abbreviated filter name of inline images (ISO 32000-1, Table 94: AHx,
// A85, LZW, Fl, RL, CCF, DCT); any other name as it is.
Bytes full_filter_name(Bytes name);
// One filter of an image's chain, by full or abbreviated name, with the output cut at
// `max_output`. Corrupt Flate or RunLength data ends the output where the damage starts instead
// of failing, unless nothing decoded before it: the rows before the damage are still the image.
// Image codecs and unknown names copy the data. `fills_cap` says that the output is expected
// to fill about `max_output` (the last filter before the samples), which Flate then inflates
// into directly.
[[nodiscard]] Result<ByteVec> decode_image_filter(Bytes data, Bytes name, size_t max_output,
                                                  bool fills_cap = false);

// A zlib stream (header required). Input that ends early yields what was inflated; corrupt
// data fails with "flate decompression failed".
[[nodiscard]] Result<ByteVec> decompress_flate(Bytes data);
// PDF LZW with the default early change of code width. Never fails: corrupt codes end the
// output.
ByteVec decompress_lzw(Bytes data);
// Errors: "invalid ASCII85: lone ~", "invalid ASCII85: z mid-group",
// "invalid ASCII85 character".
[[nodiscard]] Result<ByteVec> decode_ascii85(Bytes data);
// Never fails: bytes that are not hexadecimal digits are skipped, ">" ends the data.
ByteVec decode_ascii_hex(Bytes data);
// Errors: "RunLength: unexpected end of data".
[[nodiscard]] Result<ByteVec> decode_run_length(Bytes data);

// The /DecodeParms predictor of cross-reference and object streams: PNG predictors 10 to 15
// and TIFF predictor 2, with /Columns, /Colors and /BitsPerComponent. Parameters that are
// not a dictionary, or a /Predictor below 2, leave the data unchanged. An array of
// parameters (parallel to a Filter array) contributes its last element, the one that belongs
// to the last filter. Errors: "unsupported predictor" (a /Predictor other than 1, 2, 10 to
// 15), "invalid predictor parameters" (/Colors outside 1 to 32, /BitsPerComponent not 1, 2,
// 4, 8 or 16, /Columns below 1, or one of them not an integer), "invalid PNG predictor row
// type" (a row type byte above 4). A final row shorter than the others is decoded as far as it
// goes.
[[nodiscard]] Result<ByteVec> apply_predictor(ByteVec data, const PdfObject& decode_parms);

// Filters, then the predictor of /DecodeParms when there is one: the decoding used for
// cross-reference streams and object streams. The first /Filter and /DecodeParms entries
// count; a stream without /Filter contributes a copy of its raw data.
[[nodiscard]] Result<ByteVec> decode_structural_stream(const PdfStream& stream);

// decompress_stream with a smaller output cap than kMaxDecodedStreamSize, so that tests of
// the cap stay small and fast.
[[nodiscard]] Result<ByteVec> decompress_stream_for_testing(Bytes data, const PdfObject& filter,
                                                            size_t max_output);

}  // namespace vellix
