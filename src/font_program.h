// Embedded font programs (FontFile, FontFile2, FontFile3), read with FreeType for two things
// only: the built-in encoding of a Type 1 or CFF program and the cmap of a TrueType program.
// Glyph outlines are never loaded. A program FreeType cannot open gives nothing, and the
// caller falls back to its next source.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "types.h"

namespace vellix {

// The glyph name of each code 0-255 ("" for none) of a program's own encoding: the encoding
// of a Type 1 or CFF program; for a symbolic TrueType program, the glyph its (3,0) or (1,0)
// cmap selects, named by its post table or, failing that, as uniXXXX through its Unicode cmap.
// Nothing when the program cannot be read, has no such encoding (a non-symbolic TrueType
// program), or names no glyph.
std::shared_ptr<const std::vector<std::string>> builtin_encoding(Bytes program, bool truetype, bool symbolic);

// Glyph index to Unicode (0 for none) through a TrueType program's Unicode cmap, else its
// glyph names; nothing when neither gives any character.
std::shared_ptr<const std::vector<char32_t>> truetype_glyph_unicode(Bytes program);

}  // namespace vellix
