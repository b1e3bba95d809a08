// Rebuilding the cross-reference of a damaged file by scanning it for object headers.
//
// The scan looks for every "obj" keyword, reads the "num gen" header in front of it
// backwards, and records where each object starts; the last header of a number wins, as the
// last revision of an incrementally updated file comes last. A deliberately small dictionary
// reader recognises the catalog, object streams and cross-reference streams. Objects packed in
// object streams are indexed too, so files whose catalog and pages live only there still open.
#include "parser/recovery.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "parser/filters.h"

namespace vellix {

namespace {

constexpr const char* kNoCatalog = "recovery: could not find Catalog root";

// The full-parser reads of the scan (trailers, cross-reference stream dictionaries) share a
// budget of bytes proportional to the file size: a file made of endless dictionaries full of
// "trailer" words must not make the scan quadratic. Real files never come near it.
constexpr size_t kScanBudgetPerFileByte = 4;
constexpr size_t kScanBudgetFloor = size_t{1} << 20;
// No single trailer dictionary read during the scan looks further than this.
constexpr size_t kMaxTrailerRead = size_t{64} << 10;

// Tab, line feed, carriage return, space: what separates tokens for the scan.
inline bool is_line_ws(std::uint8_t b) { return b == 9 || b == 10 || b == 13 || b == 32; }
// Tab and space: what may separate the two numbers of a header.
inline bool is_blank(std::uint8_t b) { return b == 9 || b == 32; }
inline bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }
inline bool ends_key(std::uint8_t b) {
    return is_line_ws(b) || b == '(' || b == '/' || b == '<' || b == '>' || b == '[';
}
inline bool ends_token(std::uint8_t b) {
    return is_line_ws(b) || b == '/' || b == '>' || b == '[';
}

// Reads a run of digits as a value no larger than `max`; nullopt on overflow. `p` ends after
// the digits.
std::optional<std::uint64_t> read_bounded(Bytes d, size_t& p, std::uint64_t max) {
    std::uint64_t v = 0;
    while (p < d.size() && is_digit(d[p])) {
        v = v * 10 + (d[p] - '0');
        if (v > max) return std::nullopt;
        ++p;
    }
    return v;
}

// The small dictionary reader; the dictionary ends at the end of `d` at the latest.
std::optional<PdfObj> read_small_dict(Bytes d, size_t k) {
    const size_t n = d.size();
    if (k >= n || n - k <= 3) return std::nullopt;
    size_t p = k + 3;
    // Comments between the keyword and the dictionary ("1 0 obj % catalog") are common in
    // hand-written files; they are skipped along with the white space.
    while (p < n && (is_line_ws(d[p]) || d[p] == '%')) {
        if (d[p] == '%') {
            while (p < n && d[p] != '\n' && d[p] != '\r') ++p;
        } else {
            ++p;
        }
    }
    if (p >= n) return std::nullopt;
    if (d[p] != '<') return PdfObj{};
    if (n - p < 4) return std::nullopt;
    if (d[p + 1] != '<') return PdfObj{};
    p += 2;

    PdfObj dict;
    dict.kind = PdfObj::Kind::Dict;
    while (p < n) {
        const std::uint8_t b = d[p];
        if (is_line_ws(b)) {
            ++p;
            continue;
        }
        if (b == '>' && p + 1 < n && d[p + 1] == '>') {
            p += 2;
            break;
        }
        if (b != '/') {
            // A token the reader does not represent: numbers, strings, array brackets, a lone
            // ">". Only the first byte is skipped unconditionally so that "[" and ">" always
            // make progress.
            ++p;
            while (p < n && !ends_token(d[p])) ++p;
            continue;
        }
        ++p;
        const size_t key_start = p;
        while (p < n && !ends_key(d[p])) ++p;
        if (p >= n) break;
        PdfObjEntry entry;
        entry.key = d.subspan(key_start, p - key_start);
        while (p < n && is_line_ws(d[p])) ++p;
        if (p >= n) break;
        if (d[p] == '/') {
            ++p;
            const size_t name_start = p;
            while (p < n && !ends_key(d[p])) ++p;
            entry.value.kind = PdfObj::Kind::Name;
            entry.value.name = d.subspan(name_start, p - name_start);
        } else if (is_digit(d[p])) {
            const std::optional<std::uint64_t> num = read_bounded(d, p, 0xFFFFFFFFu);
            if (!num) return std::nullopt;
            size_t q = p;
            while (q < n && is_blank(d[q])) ++q;
            if (q < n && is_digit(d[q])) {
                const std::optional<std::uint64_t> gen = read_bounded(d, q, 0xFFFFu);
                if (!gen) return std::nullopt;
                p = q;
                while (q < n && is_blank(d[q])) ++q;
                if (q < n && d[q] == 'R') {
                    entry.value.kind = PdfObj::Kind::Ref;
                    entry.value.ref = {static_cast<std::uint32_t>(*num),
                                       static_cast<std::uint16_t>(*gen)};
                    p = q + 1;
                } else {
                    p = q;
                }
            } else {
                p = q;
            }
        }
        // Any other byte leaves the value Other and is read again as part of the dictionary.
        dict.entries.push_back(std::move(entry));
    }
    return dict;
}

bool has_name(const PdfObj& dict, std::string_view key, std::string_view value) {
    for (const PdfObjEntry& e : dict.entries) {
        if (as_chars(e.key) == key && e.value.kind == PdfObj::Kind::Name &&
            as_chars(e.value.name) == value) {
            return true;
        }
    }
    return false;
}

bool has_ref(const PdfObj& dict, std::string_view key) {
    for (const PdfObjEntry& e : dict.entries) {
        if (as_chars(e.key) == key && e.value.kind == PdfObj::Kind::Ref) return true;
    }
    return false;
}

struct Header {
    std::uint32_t num;
    std::uint16_t gen;
    size_t start;  // first digit of the object number
};

// The "num gen" in front of an "obj" keyword at k, read backwards.
std::optional<Header> header_before(Bytes d, size_t k) {
    if (k < 4) return std::nullopt;
    size_t p = k;
    while (p > 0 && is_blank(d[p - 1])) --p;
    const size_t gen_end = p;
    while (p > 0 && is_digit(d[p - 1])) --p;
    const size_t gen_start = p;
    // No digit: this rejects "endobj" and any other word ending in obj.
    if (gen_start == gen_end) return std::nullopt;
    const size_t blanks_end = p;
    while (p > 0 && is_blank(d[p - 1])) --p;
    if (p == blanks_end) return std::nullopt;
    const size_t num_end = p;
    while (p > 0 && is_digit(d[p - 1])) --p;
    const size_t num_start = p;
    if (num_start == num_end) return std::nullopt;
    if (num_start > 0 && !is_line_ws(d[num_start - 1])) return std::nullopt;
    size_t q = num_start;
    const std::optional<std::uint64_t> num = read_bounded(d.first(num_end), q, 0xFFFFFFFFu);
    q = gen_start;
    const std::optional<std::uint64_t> gen = read_bounded(d.first(gen_end), q, 0xFFFFu);
    if (!num || !gen) return std::nullopt;
    return Header{static_cast<std::uint32_t>(*num), static_cast<std::uint16_t>(*gen), num_start};
}

// Offers windows of the file to readers until the scan's budget is spent.
struct Budget {
    size_t left;
    Bytes window(Bytes file, size_t from, size_t cap = SIZE_MAX) const {
        if (from >= file.size()) return file.first(file.size());
        const size_t len = std::min({file.size() - from, left, cap});
        return file.first(from + len);
    }
    void charge(size_t n) { left -= std::min(left, n); }
};

struct ObjStmCandidate {
    std::uint32_t num;
    size_t offset;
};

// The fields of the dictionary after "trailer" at `at`, read with the full parser.
std::optional<Trailer> trailer_at(Bytes file, size_t at, Budget& budget, Arena& arena,
                                  size_t& resume) {
    const size_t from = at + 7;
    const Bytes window = budget.window(file, from, kMaxTrailerRead);
    Cursor cur{window, std::min(from, window.size()), &arena};
    const Result<PdfObject> obj = parse_object(cur);
    const size_t read = cur.pos > from ? cur.pos - from : 0;
    budget.charge(obj ? read : window.size() - std::min(from, window.size()));
    resume = std::max(from, cur.pos);
    if (!obj || obj->kind() != ObjectKind::Dictionary) return std::nullopt;
    return extract_trailer_fields(*obj->dict(), TrailerFields::Optional).value_or(Trailer{});
}

// The trailer fields of the object after the keyword at k when it is a cross-reference stream
// dictionary. Read with the full parser: the small reader stops at the first nested ">>", and
// writers that sort their keys put "/DecodeParms << >>" before both /Encrypt and /Type.
std::optional<Trailer> xref_stream_trailer(Bytes file, size_t k, Budget& budget, Arena& arena) {
    const size_t from = k + 3;
    const Bytes window = budget.window(file, from, kMaxTrailerRead);
    Cursor cur{window, std::min(from, window.size()), &arena};
    const Result<PdfObject> obj = parse_object(cur);
    const size_t read = cur.pos > from ? cur.pos - from : 0;
    budget.charge(obj ? read : window.size() - std::min(from, window.size()));
    if (!obj || !obj->get("Type") || !obj->get("Type")->is_name("XRef")) return std::nullopt;
    return extract_trailer_fields(*obj->dict(), TrailerFields::Optional).value_or(Trailer{});
}

// The position of the first occurrence of `needle` in `data` at or after `from`, or
// data.size(). The search runs memchr over one byte of the needle, `anchor`, chosen to be rare
// in PDF files (in page text as much as in compressed data), and compares the whole needle only
// where that byte occurs: memchr reads many bytes per step, which a general substring search
// does not.
size_t find_keyword(Bytes data, size_t from, std::string_view needle, size_t anchor) {
    const size_t n = data.size();
    const std::uint8_t* d = data.data();
    const auto a = static_cast<std::uint8_t>(needle[anchor]);
    size_t p = from + anchor;  // where the anchor byte of a match at `from` would be
    while (p < n) {
        const void* hit = std::memchr(d + p, a, n - p);
        if (!hit) break;
        const auto at = static_cast<size_t>(static_cast<const std::uint8_t*>(hit) - d);
        const size_t start = at - anchor;
        if (n - start >= needle.size() && std::memcmp(d + start, needle.data(), needle.size()) == 0) {
            return start;
        }
        p = at + 1;
    }
    return n;
}

// The keywords the scan looks for, with the byte of each that memchr looks for.
constexpr std::string_view kObj = "obj";
constexpr size_t kObjAnchor = 2;  // "j"
constexpr std::string_view kXRef = "/XRef";
constexpr size_t kXRefAnchor = 1;  // "X"
constexpr std::string_view kTrailer = "trailer";
constexpr size_t kTrailerAnchor = 4;  // "l"

bool contains(Bytes data, std::string_view needle, size_t anchor) {
    return find_keyword(data, 0, needle, anchor) < data.size();
}

struct CatalogPick {
    std::optional<ObjectId> with_pages;  // /Type /Catalog with a /Pages reference
    std::optional<ObjectId> any;         // /Type /Catalog
};

// Indexes the objects of the object streams found by the scan as Compressed entries of
// `packed`, and notes catalogs among them. Streams that cannot be read are passed over.
void index_object_streams(Bytes file, const XrefMap& top_level,
                          const std::vector<ObjStmCandidate>& candidates, XrefMap& packed,
                          CatalogPick& catalogs, bool look_for_catalog, Arena& arena,
                          const CryptHandler* crypt) {
    size_t decoded_total = 0;
    size_t streams = 0;
    for (const ObjStmCandidate& c : candidates) {
        // Only the last header of a number describes the object; earlier ones are superseded.
        const XrefEntry* e = top_level.find(c.num);
        if (!e || e->offset != static_cast<std::uint32_t>(c.offset)) continue;
        if (streams == kMaxScanObjectStreams || decoded_total >= kMaxScanDecodedBytes) return;
        ++streams;
        Result<RawStream> raw = parse_object_stream_raw(file, c.offset, &arena);
        if (!raw) continue;
        PdfStream stream{std::move(raw->dict), raw->data};
        // An encrypted file's object streams are decrypted as a whole, with their own numbers.
        std::optional<ByteVec> plain;
        if (crypt) {
            plain = decrypt_stream_data(*crypt, raw->id, stream.dict, stream.data);
            if (!plain) continue;
            stream.data = *plain;
        }
        Result<ByteVec> decoded = decode_structural_stream(stream);
        if (!decoded) continue;
        decoded_total += decoded->size();
        const Result<std::vector<ObjStmPair>> pairs = parse_objstm_header(stream.dict, *decoded);
        if (!pairs) continue;
        for (size_t k = 0; k < pairs->size(); ++k) {
            const std::uint32_t num = (*pairs)[k].num;
            if (num == c.num) continue;
            packed.set(num, {c.num, static_cast<std::uint16_t>(k), XrefKind::Compressed});
        }
        if (!look_for_catalog || catalogs.with_pages) continue;
        const Result<ObjStmMap> objects = parse_objstm(stream.dict, *decoded, &arena);
        if (!objects) continue;
        // In header order, so the first catalog of the stream wins, as in file order.
        for (const ObjStmPair& pair : *pairs) {
            auto it = objects->find(pair.num);
            if (it == objects->end() || top_level.find(pair.num)) continue;
            const PdfObject& obj = it->second;
            if (obj.kind() != ObjectKind::Dictionary || !obj.get("Type") ||
                !obj.get("Type")->is_name("Catalog")) {
                continue;
            }
            const PdfObject* pages = obj.get("Pages");
            if (pages && pages->as_ref()) {
                catalogs.with_pages = ObjectId{pair.num, 0};
                break;
            }
            if (!catalogs.any) catalogs.any = ObjectId{pair.num, 0};
        }
    }
}

}  // namespace

std::optional<PdfObj> try_parse_object_at(Bytes file, size_t obj_keyword_pos) {
    return read_small_dict(file, obj_keyword_pos);
}

Result<XrefSection> recover_xref_by_scan(Bytes file, Arena* keep) {
    // Decoded names of the dictionaries read here; nothing read here outlives the scan but the
    // trailer fields, whose names go to `keep`.
    Arena arena;
    Arena& trailer_arena = keep ? *keep : process_arena();
    Budget budget{kScanBudgetFloor + std::min(file.size(), SIZE_MAX / kScanBudgetPerFileByte) *
                                         kScanBudgetPerFileByte};

    // Pass 1: every header, in file order; the last header of a number is its entry.
    struct Found {
        Header h;
        size_t k;  // position of the keyword
    };
    std::vector<Found> found;
    XrefMap entries;
    std::uint32_t max_num = 0;
    for (size_t from = 0; from < file.size();) {
        const size_t k = find_keyword(file, from, kObj, kObjAnchor);
        if (k == file.size()) break;
        from = k + kObj.size();
        const std::optional<Header> h = header_before(file, k);
        if (!h) continue;
        found.push_back({*h, k});
        entries.set(h->num, {static_cast<std::uint32_t>(h->start), h->gen, XrefKind::InUse});
        max_num = std::max(max_num, h->num);
    }

    // Pass 2: the dictionary after each header. A dictionary is read no further than the next
    // header: the windows do not overlap, so headers whose dictionaries never close cost one
    // pass over the file instead of one pass each.
    std::optional<ObjectId> root;
    std::optional<ObjectId> any_catalog;
    std::vector<ObjStmCandidate> objstms;
    std::optional<Trailer> encryption;  // the last one in the file, the newest revision's
    std::optional<ObjectId> info;
    for (size_t i = 0; i < found.size(); ++i) {
        const Found& f = found[i];
        const size_t window_end = i + 1 < found.size() ? found[i + 1].h.start : file.size();
        const Bytes window = file.first(window_end);
        // Only objects that mention /XRef are read again in full (the windows do not overlap,
        // so searching them is one pass).
        if (window_end > f.k + 3 && contains(window.subspan(f.k + 3), kXRef, kXRefAnchor)) {
            if (std::optional<Trailer> t = xref_stream_trailer(window, f.k, budget, trailer_arena)) {
                if (t->info) info = t->info;
                if (t->has_encrypt_entry) encryption = std::move(t);
            }
        }
        const std::optional<PdfObj> dict = read_small_dict(window, f.k);
        if (!dict || dict->kind != PdfObj::Kind::Dict) continue;
        const bool catalog = has_name(*dict, "Type", "Catalog");
        // The first catalog in file order that points to a page tree is the root.
        if (!root && catalog && has_ref(*dict, "Pages")) root = ObjectId{f.h.num, f.h.gen};
        const bool is_entry = entries.find(f.h.num)->offset == static_cast<std::uint32_t>(f.h.start);
        // Failing that, any catalog that is the last header of its number.
        if (!any_catalog && catalog && is_entry) any_catalog = ObjectId{f.h.num, f.h.gen};
        if (is_entry && has_name(*dict, "Type", "ObjStm")) objstms.push_back({f.h.num, f.h.start});
    }

    // Every trailer is checked for /Encrypt, since the damaged one may be the only one that
    // has it; a trailer dictionary comes after the streams of its revision. /Info comes from
    // the last trailer that has it.
    for (size_t from = 0; from < file.size();) {
        const size_t at = find_keyword(file, from, kTrailer, kTrailerAnchor);
        if (at == file.size()) break;
        size_t resume = at + kTrailer.size();
        if (std::optional<Trailer> t = trailer_at(file, at, budget, trailer_arena, resume)) {
            if (t->info) info = t->info;
            if (t->has_encrypt_entry) encryption = std::move(t);
        }
        from = resume;
    }

    XrefMap packed;
    CatalogPick packed_catalogs;
    std::optional<CryptHandler> crypt;
    std::optional<std::uint32_t> encrypt_offset;
    if (encryption) {
        Result<CryptHandler> opened = open_file_encryption(file, entries, *encryption, &arena, encrypt_offset);
        if (opened) crypt = std::move(*opened);
    }
    index_object_streams(file, entries, objstms, packed, packed_catalogs,
                         /*look_for_catalog=*/!root, arena, crypt ? &*crypt : nullptr);
    packed.for_each([&](std::uint32_t num, const XrefEntry&) { max_num = std::max(max_num, num); });

    if (!root) root = packed_catalogs.with_pages;
    // Then any catalog, even one without a page tree.
    if (!root) root = any_catalog;
    if (!root) root = packed_catalogs.any;
    // Last resort: the small reader stops at the first nested ">>", so a catalog that has a
    // dictionary value before its /Type ("/MarkInfo << >> ... /Type /Catalog", the sorted key
    // order of some writers) is invisible to it. Read the objects with the full parser, each
    // within its own window, so this too is one pass over the file.
    for (size_t i = 0; !root && i < found.size(); ++i) {
        const Found& f = found[i];
        if (entries.find(f.h.num)->offset != static_cast<std::uint32_t>(f.h.start)) continue;
        const size_t window_end = i + 1 < found.size() ? found[i + 1].h.start : file.size();
        Cursor cur{file.first(window_end), f.k + 3, &arena};
        const Result<PdfObject> obj = parse_object(cur);
        if (!obj || obj->kind() != ObjectKind::Dictionary || !obj->get("Type") ||
            !obj->get("Type")->is_name("Catalog")) {
            continue;
        }
        const PdfObject* pages = obj->get("Pages");
        if (pages && pages->as_ref()) {
            root = ObjectId{f.h.num, f.h.gen};
        } else if (!any_catalog) {
            any_catalog = ObjectId{f.h.num, f.h.gen};
        }
    }
    if (!root) root = any_catalog;
    if (!root) return std::unexpected(ParseError::message(kNoCatalog));

    // An object found at top level takes precedence over the same number in an object stream.
    entries.merge_older(packed);
    XrefSection section;
    section.entries = std::move(entries);
    section.trailer.root = *root;
    // Saturated: object number 4294967295 leaves no room for "plus one".
    section.trailer.size = max_num == UINT32_MAX ? max_num : max_num + 1;
    section.trailer.info = info;
    if (encryption) {
        section.trailer.encrypt = encryption->encrypt;
        section.trailer.has_encrypt_entry = true;
        section.trailer.encrypt_dict = std::move(encryption->encrypt_dict);
        section.trailer.first_id = std::move(encryption->first_id);
    }
    return section;
}

}  // namespace vellix
