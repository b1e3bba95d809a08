// The content stream interpreter: positioned characters and image placements of a page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "font.h"
#include "types.h"

namespace vellix {

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
    // The matrix that applies n first and then m.
    static Matrix mul(const Matrix& m, const Matrix& n);
    friend bool operator==(const Matrix&, const Matrix&) = default;
};

struct CharInfo {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    char32_t ch = 0;
    friend bool operator==(const CharInfo&, const CharInfo&) = default;
};

struct ImageRef {
    std::string name;
    double bbox[4] = {0, 0, 0, 0};
};

struct ContentResult {
    std::vector<CharInfo> chars;
    std::vector<ImageRef> images;
};

struct XObjectData {
    enum class Kind : std::uint8_t { Form, Image };
    Kind kind = Kind::Image;
    std::vector<std::uint8_t> data;  // Form: decoded content
    FontTable fonts;                 // Form: its own fonts
    Matrix matrix;                   // Form: /Matrix
    double bbox[4] = {0, 0, 0, 0};   // Form: /BBox (carried, not used)
};
using XObjectTable = std::unordered_map<std::string, XObjectData>;

// Forms nest at most this deep below the page (depths 0, 1, 2 run a form's Do).
inline constexpr std::uint32_t kMaxFormDepth = 2;
// Work one page's interpretation may do, forms included: operators executed plus characters
// emitted. Far above any real page; a page that reaches it keeps what it produced so far.
inline constexpr std::uint64_t kPageWorkBudget = 50'000'000;

ContentResult scan_content_stream_full(Bytes content, const FontTable& fonts,
                                       const XObjectTable& xobjects, std::uint32_t depth);

}  // namespace vellix
