// Fuzz target for the recovery scan: recover_xref_by_scan over the input as a whole damaged
// file, and the small dictionary reader after each of the first "obj" keywords.
//
// Properties checked besides the sanitizers' own: every error has a display text, a recovered
// section's root has an entry, every in-use entry lies within the file, and a compressed entry names an
// object stream that the section holds at top level.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "parser/recovery.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();
}

// The dictionary reader is called once per header by the scan already; more calls from here
// would only make inputs full of "obj" slow.
constexpr size_t kDirectReads = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Bytes file(input);

    const Result<XrefSection> section = recover_xref_by_scan(file);
    if (section) {
        check(section->entries.find(section->trailer.root.num) != nullptr);
        section->entries.for_each([&](std::uint32_t, const XrefEntry& e) {
            if (e.kind == XrefKind::InUse) check(e.offset < size);
            if (e.kind == XrefKind::Compressed) {
                const XrefEntry* stream = section->entries.find(e.offset);
                check(stream != nullptr && stream->kind == XrefKind::InUse);
            }
        });
    } else {
        check(!section.error().display().empty());
    }

    const std::string_view text = as_chars(file);
    size_t reads = 0;
    for (size_t at = text.find("obj"); at != std::string_view::npos && reads < kDirectReads;
         at = text.find("obj", at + 1), ++reads) {
        (void)try_parse_object_at(file, at);
    }
    return 0;
}
