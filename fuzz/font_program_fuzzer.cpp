// Fuzz target for embedded font programs read through FreeType: the built-in encoding of the
// input as a Type 1 or CFF program and as a symbolic TrueType program, and its TrueType
// glyph-to-Unicode table.
//
// Properties checked besides the sanitizers' own: an encoding has exactly 256 names, each
// within the glyph-name bound, and resolving them never fails; a glyph table holds at most
// 65536 glyphs, each 0 or a Unicode scalar value.
//
// Fuzzed with libFuzzer by fuzz/fuzz.sh; CTest replays the saved inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "font.h"
#include "font_program.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // the driver saves the input on SIGABRT
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Bytes bytes(input.data(), input.size());
    for (bool truetype : {false, true}) {
        const auto names = builtin_encoding(bytes, truetype, /*symbolic=*/true);
        if (!names) continue;
        check(names->size() == 256);
        std::array<char32_t, kMaxCodeChars> out;
        for (const std::string& n : *names) {
            check(n.size() < 128);
            check(glyph_name_to_unicode(n, out) <= kMaxCodeChars);
        }
    }
    if (const auto glyphs = truetype_glyph_unicode(bytes)) {
        check(glyphs->size() <= 65536);
        for (char32_t c : *glyphs) check(c <= 0x10FFFF);
    }
    return 0;
}
