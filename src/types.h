// The value types every part of the core exchanges: byte views, object identifiers and
// PdfObject, one PDF object as read from a file.
//
// Objects do not copy what they read. Strings, hex strings, names without escapes and stream
// data are views into a buffer that somebody else owns: the mapped file of a Document, or a
// buffer kept alive by that Document's arena (decoded object streams, names with #XX escapes).
// No object may be used after the Document it came from is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vellix {

using Bytes = std::span<const std::uint8_t>;

// The one place that reinterprets between character and byte views.
inline std::string_view as_chars(Bytes b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}
inline Bytes as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline bool bytes_equal(Bytes a, std::string_view b) { return as_chars(a) == b; }
inline bool bytes_equal(Bytes a, Bytes b) { return as_chars(a) == as_chars(b); }

// UTF-8 text of a byte view, with every invalid sequence replaced by U+FFFD.
std::string lossy_utf8(Bytes b);
// Appends the UTF-8 form of a Unicode scalar value (U+FFFD for values that are not one).
void append_utf8(std::string& out, char32_t cp);

// Owns buffers that byte views point into and that must live as long as the views do
// (decoded names, decoded object streams). Safe to use from several threads at once.
class Arena {
public:
    // Moves the buffer into the arena and returns a view of it, valid while the arena lives.
    Bytes keep(std::vector<std::uint8_t> buffer);

private:
    std::mutex mutex_;                                // guards buffers_
    std::deque<std::vector<std::uint8_t>> buffers_;  // deque: elements never move
};

// The arena used when a parser is given none; it lives for the whole process.
Arena& process_arena();

// The identifier of an indirect object. Lookups key on num alone; gen is carried along.
struct ObjectId {
    std::uint32_t num = 0;
    std::uint16_t gen = 0;
    friend bool operator==(const ObjectId&, const ObjectId&) = default;
};

struct PdfObject;
struct DictEntry;

struct PdfNull {
    friend bool operator==(const PdfNull&, const PdfNull&) = default;
};
// The bytes strictly between "(" and the matching ")", escapes not decoded.
struct PdfString {
    Bytes bytes;
};
// The bytes strictly between "<" and ">", hex digits and white space as written.
struct PdfHexString {
    Bytes bytes;
};
// The name without its "/", #XX escapes decoded.
struct PdfName {
    Bytes bytes;
};
using PdfArray = std::vector<PdfObject>;
// Entries in file order; duplicate keys are all kept and lookups take the first.
using PdfDict = std::vector<DictEntry>;
struct PdfStream {
    PdfDict dict;
    Bytes data;  // raw, still encoded bytes
};

// Alternatives in this order: Null, Bool, Integer, Real, String, HexString, Name, Array,
// Dictionary, Reference, Stream.
using PdfValue = std::variant<PdfNull, bool, std::int64_t, double, PdfString, PdfHexString,
                              PdfName, PdfArray, PdfDict, ObjectId, PdfStream>;

enum class ObjectKind : std::uint8_t {
    Null = 0, Bool, Integer, Real, String, HexString, Name, Array, Dictionary, Reference, Stream,
};

struct PdfObject {
    PdfValue value;

    PdfObject() = default;
    template <class T>
        requires std::is_constructible_v<PdfValue, T&&>
    PdfObject(T&& v) : value(std::forward<T>(v)) {}  // NOLINT: implicit on purpose

    ObjectKind kind() const { return static_cast<ObjectKind>(value.index()); }
    bool is_null() const { return kind() == ObjectKind::Null; }

    // The value of the first entry whose key equals `key` byte for byte, for a Dictionary or a
    // Stream (its dictionary); nullptr for every other variant or when no key matches.
    const PdfObject* get(std::string_view key) const;

    // Typed views; nullptr / nullopt when the variant differs.
    const PdfDict* dict() const;  // Dictionary, or the dictionary of a Stream
    const PdfArray* array() const { return std::get_if<PdfArray>(&value); }
    const PdfStream* stream() const { return std::get_if<PdfStream>(&value); }
    // The numeric and reference views are defined here, inline: callers test them once per
    // element of arrays of thousands of numbers (widths, coordinates, references).
    std::optional<std::int64_t> as_int() const {
        if (auto* v = std::get_if<std::int64_t>(&value)) return *v;
        return std::nullopt;
    }
    std::optional<double> as_number() const {  // Integer converted, or Real
        if (auto* v = std::get_if<std::int64_t>(&value)) return static_cast<double>(*v);
        if (auto* v = std::get_if<double>(&value)) return *v;
        return std::nullopt;
    }
    std::optional<Bytes> as_name() const;
    std::optional<ObjectId> as_ref() const {
        if (auto* v = std::get_if<ObjectId>(&value)) return *v;
        return std::nullopt;
    }
    std::optional<bool> as_bool() const;
    // The bytes of a String or HexString exactly as stored.
    std::optional<Bytes> as_raw_string() const;
    bool is_name(std::string_view n) const;

    friend bool operator==(const PdfObject& a, const PdfObject& b);
};

struct DictEntry {
    Bytes key;
    PdfObject value;
};

bool operator==(const PdfString& a, const PdfString& b);
bool operator==(const PdfHexString& a, const PdfHexString& b);
bool operator==(const PdfName& a, const PdfName& b);
bool operator==(const DictEntry& a, const DictEntry& b);
bool operator==(const PdfStream& a, const PdfStream& b);

// First entry with the key in an entry list.
const PdfObject* dict_get(const PdfDict& dict, std::string_view key);

// Objects handed out by a Document are shared and immutable: copying the pointer is cheap
// and nothing a caller holds can change under it.
using ObjPtr = std::shared_ptr<const PdfObject>;

// Decoded bytes of a literal string's contents (escapes of the PDF format: \n \r \t \b \f,
// \( \) \\, octal up to three digits, a backslash before an end of line continues the line).
std::vector<std::uint8_t> decode_literal_string(Bytes raw);
// Decoded bytes of a hex string's contents; an odd last digit is completed with 0.
std::vector<std::uint8_t> decode_hex_string(Bytes raw);

}  // namespace vellix
