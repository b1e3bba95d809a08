// Cross-reference tables and streams, trailers, and the object-stream splitter.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "parser/object.h"

namespace vellix {

enum class XrefKind : std::uint8_t { Free = 0, InUse = 1, Compressed = 2 };

struct XrefEntry {
    std::uint32_t offset = 0;  // file offset (InUse), object stream number (Compressed)
    std::uint16_t gen = 0;     // generation (InUse), index in the object stream (Compressed)
    XrefKind kind = XrefKind::Free;
    friend bool operator==(const XrefEntry&, const XrefEntry&) = default;
};

// Object numbers of real files are small and dense; XrefMap is a flat table indexed by number
// with a presence flag (see xref.cpp), not a node-based hash map.
class XrefMap {
public:
    void set(std::uint32_t num, XrefEntry e);
    const XrefEntry* find(std::uint32_t num) const;
    // Adds the entries of `older` that this map does not have.
    void merge_older(const XrefMap& older);
    size_t size() const { return count_; }
    // Calls f(num, entry) for each present entry in ascending number order.
    template <class F>
    void for_each(F&& f) const {
        for (std::uint32_t i = 0; i < slots_.size(); ++i)
            if (present_[i]) f(i, slots_[i]);
        for (const auto& [k, v] : sparse_) f(k, v);
    }

private:
    std::vector<XrefEntry> slots_;
    std::vector<bool> present_;
    std::unordered_map<std::uint32_t, XrefEntry> sparse_;  // numbers far beyond the dense range
    size_t count_ = 0;
};

struct Trailer {
    ObjectId root;
    std::uint32_t size = 0;
    std::optional<ObjectId> info;
    std::optional<ObjectId> encrypt;
    bool has_encrypt_entry = false;   // any /Encrypt entry, direct or by reference
    std::optional<std::uint64_t> prev;      // /Prev of this section
    std::optional<std::uint64_t> xref_stm;  // /XRefStm of a hybrid file's table trailer
};

struct XrefSection {
    XrefMap entries;
    Trailer trailer;
};

[[nodiscard]] Result<std::uint64_t> parse_positive_int(Cursor& cur);
[[nodiscard]] Result<size_t> find_startxref(Bytes file);
[[nodiscard]] Result<XrefSection> parse_xref_table(Bytes file, size_t offset);
// `data` is the stream's decoded data (filters and predictor applied by the caller).
[[nodiscard]] Result<XrefSection> parse_xref_stream_obj(const PdfDict& dict, Bytes data);
[[nodiscard]] Result<Trailer> extract_trailer_fields(const PdfDict& dict);

// A stream object "n g obj << ... >> stream ... endstream" at the offset.
struct RawStream {
    PdfDict dict;
    Bytes data;
};
[[nodiscard]] Result<RawStream> parse_object_stream_raw(Bytes file, size_t offset,
                                                        Arena* arena = nullptr);

using ObjStmMap = std::unordered_map<std::uint32_t, PdfObject>;
// Splits a decoded object stream; objects that fail to parse are left out.
[[nodiscard]] Result<ObjStmMap> parse_objstm(const PdfDict& dict, Bytes decoded,
                                             Arena* arena = nullptr);

}  // namespace vellix
