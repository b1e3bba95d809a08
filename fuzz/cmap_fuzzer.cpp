// Fuzz target for ToUnicode CMaps: parse_cmap over the input, then lookups of codes taken from
// the input and from the edges of every range that was read.
//
// Properties checked besides the sanitizers' own: the map stays within its entry bound; the
// indexed lookup of a code (a binary search over the runs built by index_ranges) gives the
// same character as a walk over the ranges in file order; lookup_char finds a character only
// for a code that lookup maps; and a font holding the map decodes every code without failing.
//
// With GCC (no libFuzzer), linked to the coverage-guided driver fuzz/gcc_fuzz_main.cpp; see
// fuzz/fuzz.sh for the build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "font.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // the driver saves the input on SIGABRT
}

// Lookups per input: enough for every range edge of a small map, few enough to stay fast for
// a map of the largest size.
constexpr size_t kMaxLookups = 1 << 14;

void check_code(const CMap& indexed, const CMap& walked, const FontInfo& font, Bytes code) {
    const std::optional<char32_t> fast = indexed.lookup_char(code);
    const std::optional<char32_t> slow = walked.lookup_char(code);
    check(fast == slow);
    if (fast) check(indexed.lookup(code).has_value());
    if (!code.empty() && code.size() <= 2) {
        const char32_t c = font.decode_char(code.data(), code.size());
        check(c <= 0x10FFFF);
    }
}

// The code `v` written in `len` big-endian bytes.
std::vector<std::uint8_t> code_of(std::uint64_t v, size_t len) {
    std::vector<std::uint8_t> out(len);
    for (size_t k = 0; k < len; ++k) out[len - 1 - k] = static_cast<std::uint8_t>(v >> (8 * k));
    return out;
}

std::uint64_t value_of(const std::vector<std::uint8_t>& code) {
    std::uint64_t v = 0;
    for (std::uint8_t b : code) v = (v << 8) | b;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Bytes bytes(input.data(), input.size());
    const CMap cmap = parse_cmap(bytes);
    check(cmap.bf_chars.size() <= kMaxCMapMappings);
    check(cmap.bf_ranges.size() <= kMaxCMapMappings);
    check(cmap.ranges_indexed || (cmap.bf_ranges.empty() && cmap.bf_chars.empty()));

    CMap walked = cmap;
    walked.range_runs.clear();
    walked.ranges_indexed = false;

    FontInfo font;
    font.to_unicode = std::make_shared<const CMap>(cmap);
    finish_font_info(font);

    size_t lookups = 0;
    // Codes of one to four bytes cut from the input itself.
    for (size_t pos = 0; pos < input.size() && lookups < kMaxLookups; ++lookups) {
        const size_t len = 1 + input[pos] % 4;
        const size_t take = std::min(len, input.size() - pos);
        check_code(cmap, walked, font, bytes.subspan(pos, take));
        pos += take;
    }
    // The edges of each range, and the codes just outside them: where an index is most
    // likely to be off by one.
    for (const BfRange& r : cmap.bf_ranges) {
        if (lookups >= kMaxLookups) break;
        for (const std::vector<std::uint8_t>* edge : {&r.lo, &r.hi}) {
            if (edge->empty() || edge->size() > 4) continue;
            const std::uint64_t v = value_of(*edge);
            const std::uint64_t space = std::uint64_t{1} << (8 * edge->size());
            for (std::uint64_t w : {v - 1, v, v + 1}) {
                if (w >= space) continue;  // below 0 wraps above the space too
                const std::vector<std::uint8_t> code = code_of(w, edge->size());
                check_code(cmap, walked, font, Bytes(code.data(), code.size()));
                ++lookups;
            }
        }
    }
    // Every one-byte code through the font's precomputed table.
    for (unsigned b = 0; b < 256; ++b) {
        const std::uint8_t code = static_cast<std::uint8_t>(b);
        check(font.decode_char(&code, 1) <= 0x10FFFF);
    }
    return 0;
}
