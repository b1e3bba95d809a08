// Fuzz target for the cross-reference readers: the input is read as the tail of a file
// (startxref), as a classic table with its trailer at offset 0, and as a stream object at
// offset 0 whose decoded data is read both as cross-reference stream entries and as an object
// stream. The section found is merged into a copy of itself, as an update chain merges older
// sections, and walked.
//
// Properties checked besides the sanitizers' own: every error has a display text, and a
// section's entries are visited in ascending order, as many as size() tells, each found again
// by find() in the merged copy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "parser/filters.h"
#include "parser/xref.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();
}

template <class T>
bool failed(const Result<T>& r) {
    if (r) return false;
    check(!r.error().display().empty());
    return true;
}

void walk(const XrefSection& section) {
    XrefMap merged;
    merged.merge_older(section.entries);
    merged.merge_older(section.entries);
    size_t count = 0;
    std::int64_t last = -1;
    section.entries.for_each([&](std::uint32_t num, const XrefEntry& e) {
        check(static_cast<std::int64_t>(num) > last);
        last = num;
        const XrefEntry* found = merged.find(num);
        check(found != nullptr && *found == e);
        ++count;
    });
    check(count == section.entries.size() && merged.size() == count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Bytes file(input);
    Arena arena;

    (void)failed(find_startxref(file));
    for (TrailerFields fields : {TrailerFields::Required, TrailerFields::Optional}) {
        const Result<XrefSection> table = parse_xref_table(file, 0, &arena, fields);
        if (!failed(table)) walk(*table);
    }
    const Result<RawStream> raw = parse_object_stream_raw(file, 0, &arena);
    if (failed(raw)) return 0;
    const PdfStream stream{raw->dict, raw->data};
    const Result<ByteVec> decoded = decode_structural_stream(stream);
    if (failed(decoded)) return 0;
    const Result<XrefSection> section = parse_xref_stream_obj(stream.dict, *decoded);
    if (!failed(section)) walk(*section);
    const Result<ObjStmMap> objects = parse_objstm(stream.dict, *decoded, &arena);
    (void)failed(objects);
    return 0;
}
