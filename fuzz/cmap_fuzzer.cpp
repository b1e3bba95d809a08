// Fuzz target for CMaps (ToUnicode maps and Type0 Encoding CMaps): parse_cmap over the input,
// then the codes of the input cut by the map's codespace, and lookups at the edges of every
// entry.
//
// Properties checked besides the sanitizers' own: the map stays within its bounds; its entries
// are sorted and do not overlap; a code is 1 to 4 bytes and never longer than the bytes left;
// a lookup gives at most kMaxCodeChars Unicode scalar values; merging the map under itself
// (usecmap) keeps every property; and a Type0 font and a simple font holding the map decode
// every code of the input without failing.
//
// Fuzzed with libFuzzer by fuzz/fuzz.sh; CTest replays the saved inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "font.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // the driver saves the input on SIGABRT
}

// Lookups per input: enough for every entry edge of a small map, few enough to stay fast for
// a map of the largest size.
constexpr size_t kMaxLookups = 1 << 14;

void check_entries(const std::vector<CMap::Entry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        const CMap::Entry& e = entries[i];
        check(e.len >= 1 && e.len <= 4 && e.lo <= e.hi);
        if (i > 0 && entries[i - 1].len == e.len) check(entries[i - 1].hi < e.lo);
        if (i > 0) check(entries[i - 1].len <= e.len);
    }
}

void check_map(const CMap& m) {
    check(m.text_entries.size() + m.cid_entries.size() <= 2 * kMaxCMapMappings);
    check(m.codespace.size() <= 2 * kMaxCodespaceRanges);
    check_entries(m.text_entries);
    check_entries(m.cid_entries);
    for (const CMap::Entry& e : m.text_entries) check(e.value < m.texts.size());
}

void check_text(const CMap& m, CharCode code) {
    std::array<char32_t, kMaxCodeChars> out;
    const size_t n = m.lookup_text(code, out);
    check(n <= kMaxCodeChars);
    for (size_t i = 0; i < n; ++i) check(out[i] <= 0x10FFFF && (out[i] < 0xD800 || out[i] > 0xDFFF));
    (void)m.lookup_cid(code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Bytes bytes(input.data(), input.size());
    const auto cmap = std::make_shared<const CMap>(parse_cmap(bytes));
    check_map(*cmap);
    CMap merged = *cmap;
    use_cmap(merged, *cmap);
    check_map(merged);

    FontInfo type0;
    type0.is_type0 = true;
    type0.encoding = cmap;
    type0.to_unicode = cmap;
    FontInfo simple;
    simple.to_unicode = cmap;
    finish_font_info(simple);

    size_t lookups = 0;
    std::array<char32_t, kMaxCodeChars> out;
    for (size_t pos = 0; pos < bytes.size() && lookups < kMaxLookups; ++lookups) {
        const FontInfo::Code c = type0.next_code(bytes, pos);
        check(c.len >= 1 && c.len <= 4 && c.len <= bytes.size() - pos);
        const size_t n = type0.decode_code(c, out);
        check(n >= 1 && n <= kMaxCodeChars);
        check(simple.decode_code({bytes[pos], 1}, out) >= 1);
        check_text(*cmap, c);
        pos += c.len;
    }
    // The edges of each entry and the codes just outside them.
    for (const auto* entries : {&cmap->text_entries, &cmap->cid_entries}) {
        for (const CMap::Entry& e : *entries) {
            if (lookups >= kMaxLookups) break;
            const std::uint64_t space = std::uint64_t{1} << (8 * e.len);
            for (std::uint64_t w : {std::uint64_t{e.lo} - 1, std::uint64_t{e.lo}, std::uint64_t{e.hi},
                                    std::uint64_t{e.hi} + 1}) {
                if (w >= space) continue;  // below 0 wraps above the space too
                check_text(*cmap, {static_cast<std::uint32_t>(w), e.len});
                ++lookups;
            }
        }
    }
    return 0;
}
