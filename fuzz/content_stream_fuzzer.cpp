// Fuzz target for the content stream interpreter: scan_content_stream_full over the input as
// a page's content, with a font table (a one-byte font with ligatures, a two-byte font) and an
// XObject table whose forms are cut from the input itself, and parse_operand from every
// position of the input.
//
// The input is split at the first two 0xFF bytes: page content, then the content of form
// /A, then that of form /B (a missing part is empty). Both forms may draw each other and
// themselves, so the form depth limit and the work budget are reached from small inputs.
//
// Properties checked besides the sanitizers' own: parse_operand consumes at least one byte and
// never moves past the end, the output stays within its bound, and interpreting twice gives
// the same result (bit for bit, NaN coordinates included).
//
// fuzz/fuzz.sh content_stream [SECONDS] fuzzes it with libFuzzer or replays its saved inputs.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "font.h"
#include "parser/content_stream.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // libFuzzer saves the input as a crash
}

FontTable make_fonts() {
    FontInfo simple;
    simple.widths.assign(256, 500);
    simple.differences.emplace();
    (*simple.differences)[1] = {'f', 'i'};
    (*simple.differences)[2] = {'u', 'n', 'i', 'F', 'B', '0', '3'};
    finish_font_info(simple);
    FontInfo wide;
    wide.is_type0 = true;
    CIDFontInfo cid;
    cid.widths.push_back(CIDWidthRange{0x20, {250, 500, 750}});
    wide.cid = std::make_shared<const CIDFontInfo>(std::move(cid));
    finish_font_info(wide);
    return {{"F1", std::make_shared<const FontInfo>(std::move(simple))},
            {"F2", std::make_shared<const FontInfo>(std::move(wide))}};
}

// Bit for bit, so that NaN coordinates compare equal to themselves (field by field: the
// padding after a CharInfo's character is not part of its value).
bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same(const ContentResult& a, const ContentResult& b) {
    if (a.chars.size() != b.chars.size() || a.images.size() != b.images.size()) return false;
    for (size_t i = 0; i < a.chars.size(); ++i) {
        const CharInfo& x = a.chars[i];
        const CharInfo& y = b.chars[i];
        if (!same_bits(x.x0, y.x0) || !same_bits(x.y0, y.y0) || !same_bits(x.x1, y.x1) ||
            !same_bits(x.y1, y.y1) || x.ch != y.ch) {
            return false;
        }
    }
    for (size_t i = 0; i < a.images.size(); ++i) {
        if (a.images[i].name != b.images[i].name) return false;
        for (int k = 0; k < 4; ++k) {
            if (!same_bits(a.images[i].bbox[k], b.images[i].bbox[k])) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // Exactly sized heap copies, so that a read one past the end of any part is caught.
    std::vector<std::vector<std::uint8_t>> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && parts.size() < 3) {
            parts.emplace_back();
        } else {
            parts.back().push_back(data[i]);
        }
    }
    parts.resize(3);
    const std::vector<std::uint8_t> page(parts[0].begin(), parts[0].end());

    static const FontTable fonts = make_fonts();
    XObjectTable xobjects;
    for (int k = 0; k < 2; ++k) {
        XObjectData form;
        form.kind = XObjectData::Kind::Form;
        form.data = parts[1 + k];
        form.matrix = Matrix{1, 0, 0, 1, 10.0 * (k + 1), 0};
        form.fonts = fonts;
        xobjects[k == 0 ? "A" : "B"] = std::move(form);
    }
    xobjects["Im"] = XObjectData{};

    const ContentResult first = scan_content_stream_full(page, fonts, xobjects, 0);
    check(first.chars.size() + first.images.size() <= kMaxPageOutput);
    const ContentResult second = scan_content_stream_full(page, fonts, xobjects, 0);
    check(same(first, second));

    // One operand after another from the start, as a reader of operands alone would go
    // (from every position instead, inputs such as 60000 "[" would be quadratic).
    for (size_t pos = 0; pos < page.size();) {
        size_t after = pos;
        const std::optional<Operand> op = parse_operand(page, after);
        check(after > pos && after <= page.size());
        pos = after;
    }
    return 0;
}
