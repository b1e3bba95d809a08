// Rebuilding the cross-reference of a damaged file by scanning it for object headers.
#pragma once

#include <optional>
#include <variant>
#include <vector>

#include "bounds.h"
#include "parser/xref.h"

namespace vellix {

// The small dictionary reader's value: just enough to recognise a catalog.
struct PdfObjEntry;
struct PdfObj {
    enum class Kind : std::uint8_t { Dict, Name, Ref, Other };
    Kind kind = Kind::Other;
    std::vector<PdfObjEntry> entries;  // Dict
    Bytes name;                        // Name
    ObjectId ref;                      // Ref
};
struct PdfObjEntry {
    Bytes key;
    PdfObj value;
};

// Rebuilds the cross-reference by scanning the whole file for "num gen obj" headers; the last
// header of a number wins. Objects of the object streams found are added as Compressed
// entries (offset: stream number, gen: index) unless the number was found at top level. The
// root is the first catalog (/Type /Catalog with a /Pages reference) in file order, then one
// inside an object stream, then any /Type /Catalog. /Encrypt and /ID come from the last
// trailer dictionary or cross-reference stream with /Encrypt, /Info from the last trailer
// dictionary or cross-reference stream with /Info; the object streams of an encrypted file
// are decrypted when the empty user password opens it; decoded names of a
// direct encryption dictionary go to `keep` (the process arena when null). Error: "recovery:
// could not find Catalog root". Work is bounded: dictionary reads share a budget
// proportional to the file size.
[[nodiscard]] Result<XrefSection> recover_xref_by_scan(Bytes file, Arena* keep = nullptr);
// Reads just enough of the dictionary after the "obj" keyword at `obj_keyword_pos` to
// recognise a catalog: absent when the bytes run out first or a number in a value overflows,
// Other when no dictionary follows (comments before it are skipped), Dict otherwise. Values of
// the entries are Name, Ref or Other; the first ">>", nested or not, ends the dictionary.
std::optional<PdfObj> try_parse_object_at(Bytes file, size_t obj_keyword_pos);

}  // namespace vellix
