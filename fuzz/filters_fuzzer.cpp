// Fuzz target for the stream filters and predictors.
//
// The first byte picks the decoder, the rest is its input. Output is capped well below the
// production cap so that each run stays fast; the cap code paths are the same.
//
// fuzz/fuzz.sh filters [SECONDS] fuzzes it with libFuzzer or replays its saved inputs.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parser/filters.h"

namespace {

using namespace vellix;

constexpr size_t kFuzzOutputCap = size_t{1} << 20;

PdfObject name(const char* n) { return PdfObject(PdfName{as_bytes(n)}); }

PdfObject integer(std::int64_t v) { return PdfObject(v); }

// Predictor parameters from four bytes: predictor, colors, bits and columns, each mapped onto
// a range that covers the valid values and a few invalid ones around them.
PdfObject predictor_parms(const std::uint8_t* p) {
    static constexpr std::int64_t kPredictors[] = {1, 2, 3, 10, 11, 12, 13, 14, 15, 16};
    static constexpr std::int64_t kBits[] = {0, 1, 2, 3, 4, 8, 16, 32};
    PdfDict d;
    d.push_back({as_bytes("Predictor"), integer(kPredictors[p[0] % 10])});
    d.push_back({as_bytes("Colors"), integer(static_cast<std::int64_t>(p[1] % 36) - 1)});
    d.push_back({as_bytes("BitsPerComponent"), integer(kBits[p[2] % 8])});
    const std::int64_t columns =
        p[3] >= 250 ? (std::int64_t{1} << (p[3] - 195)) : static_cast<std::int64_t>(p[3]) - 2;
    d.push_back({as_bytes("Columns"), integer(columns)});
    return PdfObject(std::move(d));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    // An exactly sized heap copy, so a read one past the end is caught.
    std::vector<std::uint8_t> input(data + 1, data + size);
    const Bytes bytes(input);

    static const char* kFilters[] = {"FlateDecode", "LZWDecode", "ASCII85Decode", "ASCIIHexDecode",
                                     "RunLengthDecode"};
    switch (selector % 8) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4: {
        (void)decompress_stream_for_testing(bytes, name(kFilters[selector % 8]), kFuzzOutputCap);
        break;
    }
    case 5: {
        // A chain of up to four filters picked by the next byte.
        if (bytes.empty()) break;
        PdfArray chain;
        for (unsigned k = 0; k < 4; ++k) chain.push_back(name(kFilters[(bytes[0] >> (2 * k)) % 5]));
        (void)decompress_stream_for_testing(bytes.subspan(1), PdfObject(std::move(chain)), kFuzzOutputCap);
        break;
    }
    default: {
        // Predictors, directly and behind Flate as in a cross-reference stream.
        if (bytes.size() < 4) break;
        const PdfObject parms = predictor_parms(bytes.data());
        const Bytes rest = bytes.subspan(4);
        (void)apply_predictor(std::vector<std::uint8_t>(rest.begin(), rest.end()), parms);
        PdfStream stream;
        stream.dict.push_back({as_bytes("Filter"), name("FlateDecode")});
        stream.dict.push_back({as_bytes("DecodeParms"), parms});
        stream.data = rest;
        (void)decode_structural_stream(stream);
        break;
    }
    }
    return 0;
}
