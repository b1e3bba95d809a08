// Rebuilding the cross-reference of a damaged file by scanning it for object headers.
#pragma once

#include <optional>
#include <variant>
#include <vector>

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

[[nodiscard]] Result<XrefSection> recover_xref_by_scan(Bytes file);
std::optional<PdfObj> try_parse_object_at(Bytes file, size_t obj_keyword_pos);

}  // namespace vellix
