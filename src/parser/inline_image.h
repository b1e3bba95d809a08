// Inline images of content streams (ISO 32000-1, 8.9.7): "BI", the image dictionary, "ID",
// the data and "EI".
#pragma once

#include <cstddef>
#include <optional>

#include "bounds.h"
#include "types.h"

namespace vellix {

struct InlineImage {
    // The entries with the abbreviated keys of Table 93 and the abbreviated filter and colour
    // space names of Table 94 replaced by their full names (W by Width, /Fl by /FlateDecode,
    // /I by /Indexed in a ColorSpace, ...). Other values, and the names in them, are views into
    // the content.
    PdfDict dict;
    Bytes data;      // the stored (still encoded) image data, a view into the content
    size_t end = 0;  // the position just after "EI"
};

// Reads the inline image whose dictionary starts at `pos`, just after the "BI" operator. The
// data starts after the single white-space byte behind "ID". It ends before the "EI" that
// follows white space and is itself followed by white space, a delimiter or the end. Where it
// can be known, the data's length finds that "EI": a Length entry, the size of unfiltered
// samples, or the end marker of an ASCIIHex or ASCII85 first filter; otherwise the first "EI"
// whose following bytes read as content (no binary bytes) is taken. Without any "EI" the
// image runs to the end of the content. Nothing when the dictionary is malformed (a key that
// is no name, a value that does not parse, too many entries) or has no "ID".
std::optional<InlineImage> parse_inline_image(Bytes content, size_t pos);

}  // namespace vellix
