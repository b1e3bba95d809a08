// Cross-reference tables and streams, trailers, and the object-stream splitter.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "crypt.h"
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
// with a presence flag (see xref.cpp), not a node-based hash map. The flat part only covers
// numbers up to a small floor plus twice the number of entries stored; numbers beyond that
// (a hostile "4000000000 0 obj") go to a hash map, so memory follows the entries, not the
// numbers.
class XrefMap {
public:
    // Stores or replaces the entry of `num`.
    void set(std::uint32_t num, XrefEntry e);
    // The entry of `num`, or nullptr. The pointer is valid until the next set.
    const XrefEntry* find(std::uint32_t num) const;
    // Adds the entries of `older` that this map does not have.
    void merge_older(const XrefMap& older);
    size_t size() const { return count_; }
    // Calls f(num, entry) for each present entry in ascending number order.
    template <class F>
    void for_each(F&& f) const {
        for (std::uint32_t i = 0; i < slots_.size(); ++i)
            if (present_[i]) f(i, slots_[i]);
        // Sparse numbers are all beyond the flat table (set keeps it so).
        for (std::uint32_t k : sorted_sparse_keys()) f(k, sparse_.at(k));
    }

private:
    std::vector<std::uint32_t> sorted_sparse_keys() const;

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
    std::optional<PdfDict> encrypt_dict;    // /Encrypt given as a direct dictionary
    std::vector<std::uint8_t> first_id;     // the first string of /ID, decoded
    std::optional<std::uint64_t> prev;      // /Prev of this section
    std::optional<std::uint64_t> xref_stm;  // /XRefStm of a hybrid file's table trailer
};

struct XrefSection {
    XrefMap entries;
    Trailer trailer;
};

// Whether a section's /Root and /Size must be present and well formed. Only the newest
// section's trailer fields are used: older sections of an update chain and the hidden stream
// of a hybrid file often leave them out, and are read with Optional.
enum class TrailerFields : std::uint8_t { Required, Optional };

// The run of decimal digits at the cursor (no sign, no white space skipped), as a value up to
// 2^63 - 1. InvalidNumber when there is no digit or the run is larger; the cursor ends after
// the digits in both of those cases too.
[[nodiscard]] Result<std::uint64_t> parse_positive_int(Cursor& cur);
// The offset written after the last "startxref" that lies wholly within the last 1024 bytes.
// "startxref not found", or the error of parse_positive_int.
[[nodiscard]] Result<size_t> find_startxref(Bytes file);
// A classic table "xref ... trailer << >>" at `offset`. "expected 'xref' keyword",
// InvalidNumber (also when the file ends before "trailer"), "expected 'n' or 'f' in xref
// entry", the parser's errors for the trailer, "trailer must be a dictionary", or the errors of
// extract_trailer_fields. Names with escapes in the trailer go to `arena` (process arena when
// null). No partial section is ever returned.
[[nodiscard]] Result<XrefSection> parse_xref_table(
    Bytes file, size_t offset, Arena* arena = nullptr,
    TrailerFields fields = TrailerFields::Required);
// `data` is the stream's decoded data (filters and predictor applied by the caller).
// "missing /W in xref stream", "/W must be an array of 3 integers" (also for widths that sum
// to zero), the trailer field errors, "xref stream data too short",
// "unknown xref stream entry type".
[[nodiscard]] Result<XrefSection> parse_xref_stream_obj(
    const PdfDict& dict, Bytes data, TrailerFields fields = TrailerFields::Required);
// Root and Size are required ("missing required trailer field", "expected reference for
// trailer field", "expected integer for trailer field"); Info, Encrypt, ID, Prev and XRefStm are
// optional and malformed values of them are ignored. With TrailerFields::Optional nothing
// fails: an absent or malformed /Root or /Size leaves the field at its default.
[[nodiscard]] Result<Trailer> extract_trailer_fields(
    const PdfDict& dict, TrailerFields fields = TrailerFields::Required);

// A stream object "n g obj << ... >> stream ... endstream" at the offset; the header numbers
// are not compared with anything (they key the decryption of an encrypted file). `data` is the
// raw stream data, borrowed from `file`. UnexpectedEof for an offset at or past the end, InvalidNumber, "expected 'obj'
// keyword", the parser's errors, "expected dict for ObjStm", "expected stream after dict".
struct RawStream {
    PdfDict dict;
    Bytes data;
    ObjectId id;  // the numbers of the header
};
[[nodiscard]] Result<RawStream> parse_object_stream_raw(Bytes file, size_t offset,
                                                        Arena* arena = nullptr);

// One (object number, offset relative to /First) pair of an object stream's header.
struct ObjStmPair {
    std::uint32_t num = 0;
    std::uint64_t offset = 0;
};
// The /N header pairs of a decoded object stream, in order. "missing required trailer field"
// or "expected integer for trailer field" for /N and /First, UnexpectedEof when /First lies
// beyond the data, InvalidNumber when the header holds fewer than /N pairs.
[[nodiscard]] Result<std::vector<ObjStmPair>> parse_objstm_header(const PdfDict& dict,
                                                                  Bytes decoded);

// The standard security handler of a file whose trailer has /Encrypt: the dictionary given
// directly, or the object its reference names, stored at a file offset and read in clear
// (never in an object stream, ISO 32000-1, 7.5.7), whose offset goes to `encrypt_offset`.
// Names with escapes go to `arena`. "encrypted PDFs are not supported" when there is no such
// dictionary or the handler refuses it (open_crypt_handler).
[[nodiscard]] Result<CryptHandler> open_file_encryption(Bytes file, const XrefMap& entries,
                                                        const Trailer& trailer, Arena* arena,
                                                        std::optional<std::uint32_t>& encrypt_offset);

// One object of a decoded object stream, not yet parsed: its number and its bytes.
struct ObjStmSpan {
    std::uint32_t num = 0;
    Bytes bytes;
};
// The objects of a decoded object stream in header order, as views into `decoded`; a pair
// whose span is empty or leaves the data belongs to no object and is left out. Errors are
// those of parse_objstm_header.
[[nodiscard]] Result<std::vector<ObjStmSpan>> objstm_spans(const PdfDict& dict, Bytes decoded);

using ObjStmMap = std::unordered_map<std::uint32_t, PdfObject>;
// Splits a decoded object stream; objects that fail to parse are left out. The objects borrow
// from `decoded`, which must outlive them. Errors are those of parse_objstm_header.
[[nodiscard]] Result<ObjStmMap> parse_objstm(const PdfDict& dict, Bytes decoded,
                                             Arena* arena = nullptr);

}  // namespace vellix
