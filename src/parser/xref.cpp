// Cross-reference tables and streams, trailer fields, and the object-stream splitter.
#include "parser/xref.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace vellix {

namespace {

constexpr const char* kStartxrefNotFound = "startxref not found";
constexpr const char* kExpectedXref = "expected 'xref' keyword";
constexpr const char* kExpectedEntryType = "expected 'n' or 'f' in xref entry";
constexpr const char* kTrailerNotDict = "trailer must be a dictionary";
constexpr const char* kMissingTrailerField = "missing required trailer field";
constexpr const char* kExpectedReference = "expected reference for trailer field";
constexpr const char* kExpectedInteger = "expected integer for trailer field";
constexpr const char* kMissingW = "missing /W in xref stream";
constexpr const char* kBadW = "/W must be an array of 3 integers";
constexpr const char* kXrefStreamShort = "xref stream data too short";
constexpr const char* kUnknownEntryType = "unknown xref stream entry type";
constexpr const char* kExpectedObj = "expected 'obj' keyword";
constexpr const char* kExpectedObjStmDict = "expected dict for ObjStm";
constexpr const char* kExpectedStreamAfterDict = "expected stream after dict";

// startxref must sit near the end of the file; only this many trailing bytes are searched.
constexpr size_t kStartxrefWindow = 1024;

// Object numbers below this always live in the flat table of an XrefMap; above it the flat
// table grows only as far as the entries already stored justify (see XrefMap::set).
constexpr std::uint64_t kDenseFloor = 1024;

inline bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

ParseError message(const char* text) { return ParseError::message(text); }

// Big-endian value of a field of an xref stream entry. Fields wider than eight bytes keep
// their low 64 bits, which is what a wrapping shift gives.
std::uint64_t read_be(Bytes field) {
    std::uint64_t v = 0;
    for (std::uint8_t b : field) v = (v << 8) | b;
    return v;
}

// The first entry with the key whose value is an Integer, for fields like /Prev whose
// presence is optional and whose malformed values are ignored.
std::optional<std::uint64_t> optional_offset(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = dict_get(dict, key);
    if (!v) return std::nullopt;
    const std::optional<std::int64_t> n = v->as_int();
    if (!n || *n < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*n);
}

// The first entry with the key whose value is a Reference; entries with other values are
// passed over.
std::optional<ObjectId> first_reference(const PdfDict& dict, std::string_view key) {
    for (const DictEntry& e : dict) {
        if (as_chars(e.key) != key) continue;
        if (auto r = e.value.as_ref()) return r;
    }
    return std::nullopt;
}

// /N and /First of an object stream: required integers, low 32 bits kept.
Result<std::uint32_t> required_u32(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = dict_get(dict, key);
    if (!v) return std::unexpected(message(kMissingTrailerField));
    const std::optional<std::int64_t> n = v->as_int();
    if (!n) return std::unexpected(message(kExpectedInteger));
    return static_cast<std::uint32_t>(*n);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// XrefMap

void XrefMap::set(std::uint32_t num, XrefEntry e) {
    if (num < slots_.size()) {
        if (!present_[num]) {
            present_[num] = true;
            ++count_;
        }
        slots_[num] = e;
        return;
    }
    if (auto it = sparse_.find(num); it != sparse_.end()) {
        it->second = e;
        return;
    }
    // The flat table may cover at most a fixed floor plus twice the number of entries stored,
    // so a file announcing object 4000000000 costs one hash-map node, not 4 billion slots.
    // Every stored entry needs bytes of the file, so the table is bounded by the file size.
    const std::uint64_t limit = kDenseFloor + 2 * (static_cast<std::uint64_t>(count_) + 1);
    if (num >= limit) {
        sparse_.emplace(num, e);
        ++count_;
        return;
    }
    const std::uint64_t wanted = std::max<std::uint64_t>(num + std::uint64_t{1}, 2 * slots_.size());
    const auto new_size = static_cast<size_t>(std::min(wanted, limit));
    slots_.resize(new_size);
    present_.resize(new_size, false);
    // Entries that were too far out before may fit now; keep each number in one place only.
    for (auto it = sparse_.begin(); it != sparse_.end();) {
        if (it->first < new_size) {
            slots_[it->first] = it->second;
            present_[it->first] = true;
            it = sparse_.erase(it);
        } else {
            ++it;
        }
    }
    if (!present_[num]) {
        present_[num] = true;
        ++count_;
    }
    slots_[num] = e;
}

const XrefEntry* XrefMap::find(std::uint32_t num) const {
    if (num < slots_.size()) return present_[num] ? &slots_[num] : nullptr;
    if (sparse_.empty()) return nullptr;
    auto it = sparse_.find(num);
    return it == sparse_.end() ? nullptr : &it->second;
}

void XrefMap::merge_older(const XrefMap& older) {
    older.for_each([this](std::uint32_t num, const XrefEntry& e) {
        if (!find(num)) set(num, e);
    });
}

std::vector<std::uint32_t> XrefMap::sorted_sparse_keys() const {
    std::vector<std::uint32_t> keys;
    keys.reserve(sparse_.size());
    for (const auto& kv : sparse_) keys.push_back(kv.first);
    std::sort(keys.begin(), keys.end());
    return keys;
}

// ---------------------------------------------------------------------------------------------
// Readers

Result<std::uint64_t> parse_positive_int(Cursor& cur) {
    const size_t start = cur.pos;
    std::uint64_t value = 0;
    bool overflow = false;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    while (!cur.at_end() && is_digit(cur.peek())) {
        const std::uint64_t d = cur.peek() - '0';
        // Keep consuming digits after an overflow so the cursor ends after the run.
        if (!overflow && value > (kMax - d) / 10) overflow = true;
        if (!overflow) value = value * 10 + d;
        ++cur.pos;
    }
    if (cur.pos == start || overflow) {
        return std::unexpected(ParseError::of(ParseErrorKind::InvalidNumber));
    }
    return value;
}

Result<size_t> find_startxref(Bytes file) {
    constexpr std::string_view kKeyword = "startxref";
    const Bytes window = file.size() > kStartxrefWindow
                             ? file.subspan(file.size() - kStartxrefWindow)
                             : file;
    // The last complete occurrence: later sections of an incrementally updated file come last.
    std::optional<size_t> last;
    size_t from = 0;
    while (from < window.size()) {
        const void* hit = memmem(window.data() + from, window.size() - from, kKeyword.data(),
                                 kKeyword.size());
        if (!hit) break;
        const auto at = static_cast<size_t>(static_cast<const std::uint8_t*>(hit) - window.data());
        last = at;
        from = at + 1;
    }
    if (!last) return std::unexpected(message(kStartxrefNotFound));
    Cursor cur{window, *last + kKeyword.size()};
    cur.skip_ws();
    VELLIX_TRY(offset, parse_positive_int(cur));
    return static_cast<size_t>(*offset);
}

namespace {

// The value of the `n` bytes at `d` into `value`; false when one of them is not a digit. The
// digits are tested together once the value is made: no branch per digit.
bool fixed_digits(const std::uint8_t* d, size_t n, std::uint64_t& value) {
    value = 0;
    unsigned not_digit = 0;
    for (size_t k = 0; k < n; ++k) {
        const unsigned v = d[k] - unsigned{'0'};
        not_digit |= v > 9 ? 1u : 0u;
        value = value * 10 + v;
    }
    return not_digit == 0;
}

// An entry in the fixed form of ISO 32000-1, 7.5.4: a 10-digit offset, a space, a 5-digit
// generation, a space and the type, read at once (tables hold thousands of them); the cursor
// is left after the type. False, the cursor unmoved, for any other form, which the general
// reading below takes.
bool read_fixed_entry(Cursor& cur, std::uint64_t& offset, std::uint64_t& gen, XrefKind& kind) {
    constexpr size_t kOffsetDigits = 10, kGenDigits = 5, kLength = kOffsetDigits + kGenDigits + 3;
    if (!cur.has(kLength)) return false;
    const std::uint8_t* p = cur.data.data() + cur.pos;
    const std::uint8_t type = p[kLength - 1];
    if (p[kOffsetDigits] != ' ' || p[kLength - 2] != ' ' || (type != 'n' && type != 'f') ||
        !fixed_digits(p, kOffsetDigits, offset) || !fixed_digits(p + kOffsetDigits + 1, kGenDigits, gen)) {
        return false;
    }
    kind = type == 'n' ? XrefKind::InUse : XrefKind::Free;
    cur.pos += kLength;
    return true;
}

}  // namespace

Result<XrefSection> parse_xref_table(Bytes file, size_t offset, Arena* arena,
                                     TrailerFields fields) {
    Cursor cur{file, std::min(offset, file.size()), arena};
    if (offset > file.size() || !cur.starts_with("xref")) {
        return std::unexpected(message(kExpectedXref));
    }
    cur.pos += 4;
    XrefSection section;
    // Every pass reads at least one digit or fails, so the loops end with the data.
    for (;;) {
        cur.skip_ws();
        if (cur.starts_with("trailer")) break;
        VELLIX_TRY(first, parse_positive_int(cur));
        cur.skip_ws();
        VELLIX_TRY(count, parse_positive_int(cur));
        for (std::uint64_t i = 0; i < *count; ++i) {
            cur.skip_ws();
            std::uint64_t entry_offset = 0, gen = 0;
            XrefKind kind = XrefKind::Free;
            if (!read_fixed_entry(cur, entry_offset, gen, kind)) {
                VELLIX_TRY(o, parse_positive_int(cur));
                cur.skip_ws();
                VELLIX_TRY(g, parse_positive_int(cur));
                cur.skip_ws();
                if (cur.at_end() || (cur.peek() != 'n' && cur.peek() != 'f')) {
                    return std::unexpected(message(kExpectedEntryType));
                }
                entry_offset = *o;
                gen = *g;
                kind = cur.peek() == 'n' ? XrefKind::InUse : XrefKind::Free;
                ++cur.pos;
            }
            cur.skip_ws();
            // Numbers, offsets and generations keep their low bits, as the entry fields do.
            section.entries.set(static_cast<std::uint32_t>(*first + i),
                                {static_cast<std::uint32_t>(entry_offset),
                                 static_cast<std::uint16_t>(gen), kind});
        }
    }
    cur.pos += 7;
    VELLIX_TRY(trailer_obj, parse_object(cur));
    const PdfDict* dict = std::get_if<PdfDict>(&trailer_obj->value);
    if (!dict) return std::unexpected(message(kTrailerNotDict));
    VELLIX_TRY(trailer, extract_trailer_fields(*dict, fields));
    section.trailer = *trailer;
    return section;
}

Result<Trailer> extract_trailer_fields(const PdfDict& dict, TrailerFields fields) {
    const bool required = fields == TrailerFields::Required;
    if (dict.empty() && required) return std::unexpected(message(kMissingTrailerField));
    Trailer t;
    const PdfObject* root = dict_get(dict, "Root");
    const std::optional<ObjectId> root_ref = root ? root->as_ref() : std::nullopt;
    if (required && !root) return std::unexpected(message(kMissingTrailerField));
    if (required && !root_ref) return std::unexpected(message(kExpectedReference));
    if (root_ref) t.root = *root_ref;
    const PdfObject* size = dict_get(dict, "Size");
    const std::optional<std::int64_t> size_value = size ? size->as_int() : std::nullopt;
    if (required && !size) return std::unexpected(message(kMissingTrailerField));
    if (required && !size_value) return std::unexpected(message(kExpectedInteger));
    if (size_value) t.size = static_cast<std::uint32_t>(*size_value);
    t.info = first_reference(dict, "Info");
    t.encrypt = first_reference(dict, "Encrypt");
    // Any /Encrypt, a direct dictionary included, means the strings and streams are encrypted.
    const PdfObject* encrypt = dict_get(dict, "Encrypt");
    t.has_encrypt_entry = encrypt != nullptr;
    if (encrypt && encrypt->kind() == ObjectKind::Dictionary) t.encrypt_dict = *encrypt->dict();
    // The first /ID string keys the encryption of revisions 2 to 4 (ISO 32000-1, 7.6.3.3).
    const PdfObject* id = encrypt ? dict_get(dict, "ID") : nullptr;
    const PdfArray* ids = id ? id->array() : nullptr;
    if (ids && !ids->empty()) {
        const PdfObject& first = ids->front();
        if (const auto* s = std::get_if<PdfString>(&first.value)) t.first_id = decode_literal_string(s->bytes);
        if (const auto* h = std::get_if<PdfHexString>(&first.value)) t.first_id = decode_hex_string(h->bytes);
    }
    t.prev = optional_offset(dict, "Prev");
    t.xref_stm = optional_offset(dict, "XRefStm");
    return t;
}

Result<XrefSection> parse_xref_stream_obj(const PdfDict& dict, Bytes data,
                                          TrailerFields fields) {
    const PdfObject* w_obj = dict_get(dict, "W");
    if (!w_obj) return std::unexpected(message(kMissingW));
    const PdfArray* w_arr = w_obj->array();
    if (!w_arr || w_arr->size() < 3) return std::unexpected(message(kBadW));
    std::uint32_t widths[3];
    for (size_t i = 0; i < 3; ++i) {
        const std::optional<std::int64_t> v = (*w_arr)[i].as_int();
        widths[i] = v ? static_cast<std::uint16_t>(*v) : 0;
    }
    // Summed in 32 bits: a 16-bit sum could wrap to a size smaller than its fields.
    const std::uint32_t entry_size = widths[0] + widths[1] + widths[2];
    // An entry of no bytes describes nothing, and any count of them would pass the length
    // check below without bounding the loop.
    if (entry_size == 0) return std::unexpected(message(kBadW));

    // /Size gives the default /Index, so even an Optional read needs it when /Index is absent;
    // without either, the stream lists nothing.
    const PdfObject* size_obj = dict_get(dict, "Size");
    const std::optional<std::int64_t> size_value = size_obj ? size_obj->as_int() : std::nullopt;
    if (fields == TrailerFields::Required) {
        if (!size_obj) return std::unexpected(message(kMissingTrailerField));
        if (!size_value) return std::unexpected(message(kExpectedInteger));
    }
    const auto size = static_cast<std::uint32_t>(size_value.value_or(0));

    struct Range {
        std::uint32_t first;
        std::uint32_t count;
    };
    std::vector<Range> ranges;
    const PdfArray* index = nullptr;
    for (const DictEntry& e : dict) {
        if (as_chars(e.key) == "Index" && e.value.array()) {
            index = e.value.array();
            break;
        }
    }
    if (index) {
        auto u32_of = [](const PdfObject& o) {
            const std::optional<std::int64_t> v = o.as_int();
            return v ? static_cast<std::uint32_t>(*v) : std::uint32_t{0};
        };
        ranges.reserve(index->size() / 2);
        for (size_t i = 0; i + 1 < index->size(); i += 2) {
            ranges.push_back({u32_of((*index)[i]), u32_of((*index)[i + 1])});
        }
    } else {
        ranges.push_back({0, size});
    }

    VELLIX_TRY(trailer, extract_trailer_fields(dict, fields));

    // Counted in 64 bits: a 32-bit sum could wrap to a small value and let the walk below run
    // past the data.
    std::uint64_t total = 0;
    for (const Range& r : ranges) total += r.count;
    if (total > data.size() / entry_size) return std::unexpected(message(kXrefStreamShort));

    XrefSection section;
    size_t at = 0;
    for (const Range& r : ranges) {
        for (std::uint32_t i = 0; i < r.count; ++i) {
            const Bytes entry = data.subspan(at, entry_size);
            at += entry_size;
            const std::uint64_t type = widths[0] == 0 ? 1 : read_be(entry.first(widths[0]));
            const std::uint64_t f2 = read_be(entry.subspan(widths[0], widths[1]));
            const std::uint64_t f3 = read_be(entry.subspan(widths[0] + widths[1], widths[2]));
            XrefKind kind;
            switch (type) {
                case 0: kind = XrefKind::Free; break;
                case 1: kind = XrefKind::InUse; break;
                case 2: kind = XrefKind::Compressed; break;
                default: return std::unexpected(message(kUnknownEntryType));
            }
            section.entries.set(r.first + i, {static_cast<std::uint32_t>(f2),
                                              static_cast<std::uint16_t>(f3), kind});
        }
    }
    section.trailer = *trailer;
    return section;
}

Result<RawStream> parse_object_stream_raw(Bytes file, size_t offset, Arena* arena) {
    if (offset >= file.size()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
    Cursor cur{file, offset, arena};
    cur.skip_ws();
    VELLIX_TRY(num, parse_positive_int(cur));
    cur.skip_ws();
    VELLIX_TRY(gen, parse_positive_int(cur));
    cur.skip_ws();
    if (!cur.starts_with("obj")) return std::unexpected(message(kExpectedObj));
    cur.pos += 3;
    VELLIX_TRY(obj, parse_object(cur));
    PdfDict* dict = std::get_if<PdfDict>(&obj->value);
    if (!dict) return std::unexpected(message(kExpectedObjStmDict));
    cur.skip_ws();
    if (!cur.starts_with("stream")) return std::unexpected(message(kExpectedStreamAfterDict));
    VELLIX_TRY(stream_obj, parse_stream(cur, std::move(*dict)));
    PdfStream* stream = std::get_if<PdfStream>(&stream_obj->value);
    if (!stream) return std::unexpected(message(kExpectedStreamAfterDict));
    return RawStream{std::move(stream->dict), stream->data,
                     {static_cast<std::uint32_t>(*num), static_cast<std::uint16_t>(*gen)}};
}

Result<CryptHandler> open_file_encryption(Bytes file, const XrefMap& entries, const Trailer& trailer,
                                          Arena* arena, std::optional<std::uint32_t>& encrypt_offset) {
    const ParseError refused = message("encrypted PDFs are not supported");
    if (trailer.encrypt_dict) return open_crypt_handler(*trailer.encrypt_dict, trailer.first_id);
    const XrefEntry* e = trailer.encrypt ? entries.find(trailer.encrypt->num) : nullptr;
    if (!e || e->kind != XrefKind::InUse || e->offset >= file.size()) return std::unexpected(refused);
    Cursor cur{file, e->offset, arena};
    cur.skip_ws();
    if (!parse_positive_int(cur)) return std::unexpected(refused);
    cur.skip_ws();
    if (!parse_positive_int(cur)) return std::unexpected(refused);
    cur.skip_ws();
    if (!cur.starts_with("obj")) return std::unexpected(refused);
    cur.pos += 3;
    const Result<PdfObject> obj = parse_object(cur);
    if (!obj || obj->kind() != ObjectKind::Dictionary) return std::unexpected(refused);
    encrypt_offset = e->offset;
    return open_crypt_handler(*obj->dict(), trailer.first_id);
}

Result<std::vector<ObjStmPair>> parse_objstm_header(const PdfDict& dict, Bytes decoded) {
    VELLIX_TRY(n, required_u32(dict, "N"));
    VELLIX_TRY(first, required_u32(dict, "First"));
    if (*first > decoded.size()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
    Cursor cur{decoded.first(*first)};
    std::vector<ObjStmPair> pairs;
    // /N comes from the file: the list grows with the pairs actually read, and each pair
    // consumes header bytes, so a huge /N fails at the end of the header instead of allocating.
    for (std::uint32_t k = 0; k < *n; ++k) {
        cur.skip_ws();
        VELLIX_TRY(num, parse_positive_int(cur));
        cur.skip_ws();
        VELLIX_TRY(rel, parse_positive_int(cur));
        pairs.push_back({static_cast<std::uint32_t>(*num), *rel});
    }
    return pairs;
}

Result<std::vector<ObjStmSpan>> objstm_spans(const PdfDict& dict, Bytes decoded) {
    VELLIX_TRY(pairs, parse_objstm_header(dict, decoded));
    const std::optional<std::int64_t> first = dict_get(dict, "First")->as_int();
    const Bytes body = decoded.subspan(static_cast<std::uint32_t>(*first));
    std::vector<ObjStmSpan> spans;
    spans.reserve(pairs->size());
    for (size_t k = 0; k < pairs->size(); ++k) {
        const std::uint64_t start = (*pairs)[k].offset;
        const std::uint64_t end = k + 1 < pairs->size() ? (*pairs)[k + 1].offset : body.size();
        // Spans that are empty or leave the body belong to no object; the writer was wrong
        // about this one, and the others may still be fine.
        if (start >= end || end > body.size()) continue;
        spans.push_back({(*pairs)[k].num,
                         body.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start))});
    }
    return spans;
}

Result<ObjStmMap> parse_objstm(const PdfDict& dict, Bytes decoded, Arena* arena) {
    VELLIX_TRY(spans, objstm_spans(dict, decoded));
    ObjStmMap map;
    map.reserve(spans->size());
    for (const ObjStmSpan& span : *spans) {
        Cursor cur{span.bytes, 0, arena};
        Result<PdfObject> obj = parse_object(cur);
        if (!obj) continue;
        map.insert_or_assign(span.num, std::move(*obj));
    }
    return map;
}

}  // namespace vellix
