// What the content interpreter places on a page: positioned characters and image placements,
// and the matrices that place them. Layout and image extraction read these without needing
// fonts or the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "types.h"

namespace vellix {

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
    // The matrix that applies n first and then m.
    static Matrix mul(const Matrix& m, const Matrix& n);
    friend bool operator==(const Matrix&, const Matrix&) = default;
};

// One shown character: its box in user space, its text, and what it was drawn with. `font`
// indexes the page's list of font names (ContentResult::fonts), so a character carries no
// string; `size` is the font size in user space; `color` the fill colour as 0xRRGGBB.
struct CharInfo {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    char32_t ch = 0;
    std::uint32_t color = 0;
    float size = 0;
    std::uint16_t font = 0;
    std::uint8_t dir = 0;  // writing direction in quarter turns: 0 right, 1 up, 2 left, 3 down
    friend bool operator==(const CharInfo&, const CharInfo&) = default;
};

// The font name of text shown with no font.
inline constexpr std::string_view kNoFontName = "Helvetica";

// One image drawn: by Do of an image XObject, or inline (BI ... EI). The image is resolved
// where it is drawn, against the resources in force there, so `object` is the image itself.
struct ImageRef {
    std::string name;  // the XObject resource name given to Do; empty for an inline image
    double bbox[4] = {0, 0, 0, 0};
    // The image XObject's number, or 0 for an inline image and for a name no resources held.
    ObjectId id{};
    // The image XObject; for an inline image a stream object of its own, whose dictionary has
    // the full key names and whose data is the stored image data. Null for a name no
    // resources held.
    ObjPtr object;
};

// Characters that separate words as a space does.
constexpr bool is_word_space(char32_t c) {
    if (c < 0xA0) return c == U' ' || c == U'\t';  // the common case first
    return c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000;
}

// Scripts written without spaces between words (Chinese, Japanese, Thai, Lao, Khmer, Myanmar):
// no word space is inferred between two of their characters. Korean Hangul uses spaces.
constexpr bool is_unspaced_script(char32_t c) {
    return (c >= 0x0E00 && c <= 0x0EFF) || (c >= 0x1000 && c <= 0x109F) ||
           (c >= 0x1780 && c <= 0x17FF) || (c >= 0x2E80 && c <= 0x312F) ||
           (c >= 0x3190 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3FFFF);
}

// Letters of scripts written right to left (Hebrew, Arabic, Syriac and their presentation
// forms).
constexpr bool is_rtl(char32_t c) {
    if (c < 0x0590) return false;  // the common case first
    return c <= 0x08FF || (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFC);
}

}  // namespace vellix
