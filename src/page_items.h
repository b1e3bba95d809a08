// What the content interpreter places on a page: positioned characters and image placements,
// and the matrices that place them. Layout and image extraction read these without needing
// fonts or the interpreter.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace vellix
