// Fuzz target for the inline image parser, alone and inside the content interpreter.
//
// The input is content that follows a "BI" operator. The parser must end inside the content,
// after the dictionary, with its data between the two; the interpreter, given "BI" and the
// input, must place at most one image per "BI" and never read the image data as operators
// (which the interpreter's own invariants, checked by its fuzz target, cover otherwise).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "parser/content_stream.h"
#include "parser/inline_image.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    using namespace vellix;
    // An exactly sized heap copy, so a read one past the end is caught.
    std::vector<std::uint8_t> content(data, data + size);
    const Bytes bytes(content);
    if (std::optional<InlineImage> img = parse_inline_image(bytes, 0)) {
        check(img->end <= bytes.size());
        check(img->dict.size() <= kMaxInlineImageEntries);
        if (!img->data.empty()) {
            check(img->data.data() >= bytes.data());
            check(img->data.data() + img->data.size() <= bytes.data() + img->end);
        }
    }
    std::vector<std::uint8_t> with_operator = {'B', 'I', ' '};
    with_operator.insert(with_operator.end(), data, data + size);
    const FontTable fonts;
    const XObjectTable xobjects;
    const ContentResult r = scan_content_stream_full(with_operator, fonts, xobjects, 0);
    size_t operators = 0;
    for (size_t i = 0; i + 1 < with_operator.size(); ++i) operators += with_operator[i] == 'B' && with_operator[i + 1] == 'I';
    check(r.images.size() <= operators + size / 3);
    for (const ImageRef& ref : r.images) {
        if (ref.object) check(ref.object->stream() != nullptr);
    }
    return 0;
}
