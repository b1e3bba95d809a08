// What the content interpreter places on a page: positioned characters and image placements,
// and the matrices that place them. Layout and image extraction read these without needing
// fonts or the interpreter.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace vellix
