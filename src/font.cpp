// Fonts of a resources dictionary and their ToUnicode CMaps.
//
// Decoding tries three sources in order: the ToUnicode CMap, the glyph names of the Encoding's
// Differences array, and the code read as Latin-1. No built-in encoding tables are carried, so
// /BaseEncoding and named encodings (WinAnsiEncoding, ...) have no effect; font programs, font
// descriptors, FirstChar and vertical metrics are not read.
#include "font.h"

#include <algorithm>
#include <set>

#include "document.h"
#include "parser/filters.h"

namespace vellix {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// ---- UTF-8 text ----

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one (overlong
// forms, surrogates and values above U+10FFFF are not well formed).
size_t utf8_sequence_length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t c = byte(i);
    if (c < 0x80) return 1;
    size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (len > text.size() - i) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return len;
}

bool is_valid_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<std::uint8_t>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t len = utf8_sequence_length(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// The code point of a well-formed sequence of `len` bytes at text[i].
char32_t utf8_code_point(std::string_view text, size_t i, size_t len) {
    const auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<std::uint8_t>(text[i + k])); };
    switch (len) {
        case 1: return byte(0);
        case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        default:
            return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
                   (byte(3) & 0x3F);
    }
}

// The characters with the Unicode White_Space property.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Splits valid UTF-8 text into tokens separated by runs of white space, one at a time, so
// that a huge section is never held as a list of tokens.
class TokenReader {
public:
    explicit TokenReader(std::string_view text) : text_(text) {}

    std::optional<std::string_view> next() {
        // Skip white space, then take characters up to the next white space.
        size_t start = pos_;
        bool in_token = false;
        while (pos_ < text_.size()) {
            const auto c = static_cast<std::uint8_t>(text_[pos_]);
            size_t len = 1;
            bool space = c == ' ' || (c >= 0x09 && c <= 0x0D);  // the ASCII white space
            if (c >= 0x80) {
                len = utf8_sequence_length(text_, pos_);
                if (len == 0) len = 1;  // not reached for checked text; keeps the walk moving
                space = is_unicode_space(utf8_code_point(text_, pos_, len));
            }
            if (space && in_token) return text_.substr(start, pos_ - start);
            if (!space && !in_token) {
                in_token = true;
                start = pos_;
            }
            pos_ += len;
        }
        if (in_token) return text_.substr(start);
        return std::nullopt;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

// Calls on_section with the text between each `begin` marker and the following `end` marker.
// A section whose end marker is missing runs to the end of the text and ends the walk.
template <class OnSection>
void for_each_section(std::string_view text, std::string_view begin, std::string_view end,
                      OnSection on_section) {
    size_t pos = 0;
    while (std::optional<size_t> at = find_token(text, pos, begin)) {
        const size_t start = *at + begin.size();
        const std::optional<size_t> stop = find_token(text, start, end);
        on_section(text.substr(start, stop.value_or(text.size()) - start));
        if (!stop) return;
        pos = *stop + end.size();
    }
}

int hex_value(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// ---- CMap lookups ----

// True when the range has the code's length and lo <= code <= hi, bytes compared as unsigned
// numbers from the first.
bool range_holds(const BfRange& r, Bytes code) {
    if (r.lo.size() != code.size() || r.hi.size() != code.size()) return false;
    const std::string_view c = as_chars(code);
    return as_chars(r.lo) <= c && c <= as_chars(r.hi);
}

// Distance of the code from lo, built byte by byte on 32 bits. A code byte below lo's byte
// wraps around: only ranges where the last byte alone varies give the plain difference.
std::uint32_t range_offset(const BfRange& r, Bytes code) {
    std::uint32_t offset = 0;
    for (size_t k = 0; k < code.size(); ++k) {
        offset = (offset << 8) | (std::uint32_t{code[k]} - std::uint32_t{r.lo[k]});
    }
    return offset;
}

// dst += offset as big-endian numbers, carrying from the last byte towards the first; a carry
// out of the first byte is lost, so the length stays that of dst.
void add_offset(std::span<std::uint8_t> dst, std::uint32_t offset) {
    std::uint32_t carry = 0;
    for (size_t i = dst.size(); i-- > 0;) {
        const std::uint32_t sum = std::uint32_t{dst[i]} + (offset & 0xFF) + carry;
        dst[i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
        offset >>= 8;
    }
}

bool is_scalar_value(std::uint32_t v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

// One character from a destination string: a byte, a UTF-16 unit, 3 bytes of UTF-32, a
// surrogate pair or 4 bytes of UTF-32. Anything else (several characters, as for ligatures,
// or a lone surrogate) is refused.
std::optional<char32_t> accept_destination(Bytes d) {
    std::uint32_t v = 0;
    for (std::uint8_t b : d.first(std::min<size_t>(d.size(), 4))) v = (v << 8) | b;
    switch (d.size()) {
        case 1:
            return static_cast<char32_t>(v);
        case 2:
        case 3:
            if (!is_scalar_value(v)) return std::nullopt;
            return static_cast<char32_t>(v);
        case 4: {
            const std::uint32_t high = v >> 16;
            if (high >= 0xD800 && high <= 0xDBFF && d[2] >= 0xDC && d[2] <= 0xDF) {
                const std::uint32_t low = v & 0xFFFF;
                return static_cast<char32_t>(0x10000 + (high - 0xD800) * 0x400 + (low - 0xDC00));
            }
            if (!is_scalar_value(v)) return std::nullopt;
            return static_cast<char32_t>(v);
        }
        default:
            return std::nullopt;
    }
}

// Big-endian value of a code of 1 to 4 bytes.
std::uint32_t code_value(Bytes code) {
    std::uint32_t v = 0;
    for (std::uint8_t b : code) v = (v << 8) | b;
    return v;
}

// ---- Fonts ----

char32_t latin1_fallback(std::uint8_t b) {
    if (b < 0x20 || b == 0x7F) return kReplacement;
    return b;
}

// Reads a Differences array: integers set the running code, names map it and advance it,
// both modulo 256; other elements are ignored. Absent when nothing was mapped.
std::optional<std::unordered_map<std::uint8_t, std::vector<std::uint8_t>>> read_differences(
    const PdfObject* diffs) {
    const PdfArray* arr = diffs ? diffs->array() : nullptr;
    if (!arr) return std::nullopt;
    std::unordered_map<std::uint8_t, std::vector<std::uint8_t>> map;
    std::uint8_t code = 0;
    for (const PdfObject& el : *arr) {
        if (std::optional<std::int64_t> n = el.as_int()) {
            code = static_cast<std::uint8_t>(*n);  // modulo 256, negative values included
        } else if (std::optional<Bytes> name = el.as_name()) {
            map.insert_or_assign(code, std::vector<std::uint8_t>(name->begin(), name->end()));
            code = static_cast<std::uint8_t>(code + 1);
        }
    }
    if (map.empty()) return std::nullopt;
    return map;
}

double number_or(const PdfObject* obj, double fallback) {
    if (!obj) return fallback;
    return obj->as_number().value_or(fallback);
}

// A fetched object, or nullptr when the fetch fails.
ObjPtr fetch(const Document& doc, ObjectId id) {
    Result<ObjPtr> got = doc.get_object(id);
    if (!got) return nullptr;
    return *got;
}

char32_t decode_uncached(const FontInfo& font, const std::uint8_t* code, size_t len) {
    if (font.to_unicode && len > 0) {
        if (std::optional<char32_t> c = font.to_unicode->lookup_char(Bytes{code, len})) return *c;
    }
    if (len != 1) return kReplacement;
    if (font.differences) {
        if (auto it = font.differences->find(code[0]); it != font.differences->end()) {
            if (std::optional<char32_t> c = glyph_name_to_unicode(it->second)) return *c;
        }
    }
    return latin1_fallback(code[0]);
}

}  // namespace

// ---- ToUnicode CMaps ----

std::optional<size_t> find_token(std::string_view text, size_t start, std::string_view needle) {
    if (start > text.size()) return std::nullopt;
    const size_t at = text.find(needle, start);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::vector<std::uint8_t> parse_hex_tokens(std::string_view token) {
    while (!token.empty() && token.front() == '<') token.remove_prefix(1);
    while (!token.empty() && token.back() == '>') token.remove_suffix(1);
    std::vector<std::uint8_t> out;
    out.reserve(token.size() / 2);
    // Pairs are formed of characters, not bytes: a non-ASCII character counts once (as 0).
    int first = -1;
    for (size_t i = 0; i < token.size();) {
        size_t len = 1;
        int v = -1;
        if (static_cast<std::uint8_t>(token[i]) < 0x80) {
            v = hex_value(static_cast<std::uint8_t>(token[i]));
        } else {
            len = utf8_sequence_length(token, i);
            if (len == 0) len = 1;  // a stray byte counts as one character
        }
        i += len;
        const int digit = v < 0 ? 0 : v;
        if (first < 0) {
            first = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(first * 16 + digit));
            first = -1;
        }
    }
    return out;
}

CMap parse_cmap(Bytes stream_bytes) {
    CMap cmap;
    const std::string_view text = as_chars(stream_bytes);
    if (!is_valid_utf8(text)) return cmap;

    // All bfchar sections first, then all bfrange sections: the passes are independent.
    for_each_section(text, "beginbfchar", "endbfchar", [&](std::string_view section) {
        TokenReader tokens(section);
        while (true) {
            std::optional<std::string_view> src = tokens.next();
            std::optional<std::string_view> dst = src ? tokens.next() : std::nullopt;
            if (!dst) return;  // an odd last token is ignored
            std::vector<std::uint8_t> s = parse_hex_tokens(*src);
            std::vector<std::uint8_t> d = parse_hex_tokens(*dst);
            if (s.empty() || d.empty()) continue;
            std::string key(as_chars(s));
            if (auto it = cmap.bf_chars.find(key); it != cmap.bf_chars.end()) {
                it->second = std::move(d);
            } else if (cmap.bf_chars.size() < kMaxCMapMappings) {
                cmap.bf_chars.emplace(std::move(key), std::move(d));
            }
        }
    });
    for_each_section(text, "beginbfrange", "endbfrange", [&](std::string_view section) {
        TokenReader tokens(section);
        while (true) {
            std::optional<std::string_view> t[3];
            for (auto& tok : t) {
                tok = tokens.next();
                if (!tok) return;  // an incomplete last triple is ignored
            }
            BfRange r{parse_hex_tokens(*t[0]), parse_hex_tokens(*t[1]), parse_hex_tokens(*t[2])};
            if (r.lo.empty() || r.hi.empty() || r.dst.empty()) continue;
            if (cmap.bf_ranges.size() >= kMaxCMapMappings) return;
            cmap.bf_ranges.push_back(std::move(r));
        }
    });
    cmap.index_ranges();
    return cmap;
}

void CMap::index_ranges() {
    range_runs.clear();
    struct Event {
        std::uint64_t pos;
        std::uint32_t range;
        bool add;
    };
    std::vector<Event> events;
    for (std::uint8_t len = 1; len <= 4; ++len) {
        events.clear();
        for (size_t i = 0; i < bf_ranges.size(); ++i) {
            const BfRange& r = bf_ranges[i];
            if (r.lo.size() != len || r.hi.size() != len || as_chars(r.lo) > as_chars(r.hi)) continue;
            events.push_back({code_value(r.lo), static_cast<std::uint32_t>(i), true});
            events.push_back({std::uint64_t{code_value(r.hi)} + 1, static_cast<std::uint32_t>(i), false});
        }
        if (events.empty()) continue;
        std::sort(events.begin(), events.end(),
                  [](const Event& a, const Event& b) { return a.pos < b.pos; });
        // Sweep over the code space: at each boundary the owner of the following codes is the
        // active range met first in the file, that is the one with the smallest index.
        const std::uint64_t space_end = std::uint64_t{1} << (8 * len);
        std::set<std::uint32_t> active;
        const size_t first_run = range_runs.size();
        range_runs.push_back({len, 0, kNoRange});
        for (size_t e = 0; e < events.size();) {
            const std::uint64_t pos = events[e].pos;
            for (; e < events.size() && events[e].pos == pos; ++e) {
                if (events[e].add) {
                    active.insert(events[e].range);
                } else {
                    active.erase(events[e].range);
                }
            }
            if (pos >= space_end) break;
            const std::uint32_t owner = active.empty() ? kNoRange : *active.begin();
            RangeRun& last = range_runs.back();
            if (owner == last.range) continue;
            if (range_runs.size() - 1 == first_run && last.start == pos) {
                last.range = owner;  // the run at code 0 starts with a range
            } else {
                range_runs.push_back({len, static_cast<std::uint32_t>(pos), owner});
            }
        }
    }
    ranges_indexed = true;
}

std::optional<std::vector<std::uint8_t>> CMap::lookup(Bytes code) const {
    if (!bf_chars.empty()) {
        if (auto it = bf_chars.find(as_chars(code)); it != bf_chars.end()) return it->second;
    }
    for (const BfRange& r : bf_ranges) {
        if (!range_holds(r, code)) continue;
        std::vector<std::uint8_t> out = r.dst;
        add_offset(out, range_offset(r, code));
        return out;
    }
    return std::nullopt;
}

std::optional<char32_t> CMap::lookup_char(Bytes code) const {
    if (!bf_chars.empty()) {
        if (auto it = bf_chars.find(as_chars(code)); it != bf_chars.end()) {
            return accept_destination(it->second);
        }
    }
    const BfRange* found = nullptr;
    if (ranges_indexed && !code.empty() && code.size() <= 4) {
        const auto len = static_cast<std::uint8_t>(code.size());
        const std::uint32_t value = code_value(code);
        auto it = std::upper_bound(range_runs.begin(), range_runs.end(), std::pair{len, value},
                                   [](const auto& key, const RangeRun& run) {
                                       return key < std::pair{run.len, run.start};
                                   });
        if (it == range_runs.begin()) return std::nullopt;
        --it;
        if (it->len != len || it->range == kNoRange) return std::nullopt;
        found = &bf_ranges[it->range];
    } else {
        for (const BfRange& r : bf_ranges) {
            if (range_holds(r, code)) {
                found = &r;
                break;
            }
        }
        if (!found) return std::nullopt;
    }
    // A destination of more than four bytes is never one accepted character, and the offset
    // keeps the destination's length, so there is nothing to compute.
    const size_t len = found->dst.size();
    if (len == 0 || len > 4) return std::nullopt;
    // The same sum as add_offset, on a machine word: dst + offset modulo 256^len.
    const std::uint64_t mask = (std::uint64_t{1} << (8 * len)) - 1;
    const std::uint64_t sum = (std::uint64_t{code_value(found->dst)} + range_offset(*found, code)) & mask;
    std::array<std::uint8_t, 4> buf{};
    for (size_t k = 0; k < len; ++k) buf[k] = static_cast<std::uint8_t>(sum >> (8 * (len - 1 - k)));
    return accept_destination(Bytes(buf.data(), len));
}

// ---- Glyph names ----

std::optional<char32_t> glyph_name_to_unicode(Bytes name) {
    // Every name that resolves is ASCII, so a name that is not valid UTF-8 (or not ASCII at
    // all) falls through both rules below without a separate check.
    const std::string_view n = as_chars(name);
    const std::span<const GlyphName> table = glyph_name_table();
    auto it = std::lower_bound(table.begin(), table.end(), n,
                               [](const GlyphName& g, std::string_view key) { return g.name < key; });
    if (it != table.end() && it->name == n) return it->code_point;

    // uniXXXX: "uni", one optional '+', then hex digits (leading zeros allowed) of one scalar
    // value. Seven bytes at least, so uni41 does not resolve.
    if (n.size() < 7 || !n.starts_with("uni")) return std::nullopt;
    std::string_view digits = n.substr(3);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    std::uint32_t value = 0;
    for (char c : digits) {
        const int v = hex_value(static_cast<unsigned char>(c));
        if (v < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(v);
        if (value > 0x10FFFF) return std::nullopt;  // stops before 32 bits can overflow
    }
    if (!is_scalar_value(value)) return std::nullopt;
    return static_cast<char32_t>(value);
}

// ---- Fonts ----

char32_t FontInfo::decode_char(const std::uint8_t* code, size_t len) const {
    if (len == 1 && single_byte_ready) return single_byte[code[0]];
    return decode_uncached(*this, code, len);
}

FontInfo::Code FontInfo::next_code(Bytes s, size_t pos) const {
    if (is_type0 && s.size() - pos >= 2) {
        return {static_cast<std::uint32_t>((s[pos] << 8) | s[pos + 1]), 2};
    }
    return {s[pos], 1};
}

size_t FontInfo::decode_code(Code code, std::span<char32_t, kMaxCodeChars> out) const {
    char32_t ch;
    if (code.len == 1) {
        const auto byte = static_cast<std::uint8_t>(code.value);
        ch = single_byte_ready ? single_byte[byte] : decode_uncached(*this, &byte, 1);
    } else {
        std::uint8_t bytes[4];
        for (std::uint8_t k = 0; k < code.len; ++k) {
            bytes[k] = static_cast<std::uint8_t>(code.value >> (8 * (code.len - 1 - k)));
        }
        ch = decode_uncached(*this, bytes, code.len);
    }
    // U+FB00 ff, U+FB01 fi, U+FB02 fl, U+FB03 ffi, U+FB04 ffl, U+FB05 and U+FB06 st.
    static constexpr std::string_view kLigatures[7] = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
    if (ch < 0xFB00 || ch > 0xFB06) [[likely]] {
        out[0] = ch;
        return 1;
    }
    const std::string_view letters = kLigatures[ch - 0xFB00];
    for (size_t k = 0; k < letters.size(); ++k) out[k] = static_cast<char32_t>(letters[k]);
    return letters.size();
}

double FontInfo::glyph_width(std::uint32_t code) const {
    if (!cid) return code < widths.size() ? widths[code] : missing_width;
    const std::vector<CIDWidthRange>& ranges = cid->widths;
    // The last range starting at or below the code. Only that range is consulted, even when
    // an earlier one with a smaller start also covers the code.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), code,
                               [](std::uint32_t c, const CIDWidthRange& r) { return c < r.start; });
    if (it == ranges.begin()) return cid->default_width;
    --it;
    const std::uint64_t offset = code - it->start;
    if (offset >= it->size() || it->widths.empty()) return cid->default_width;
    return it->uniform ? it->widths.front() : it->widths[offset];
}

void finish_font_info(FontInfo& font) {
    for (size_t b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        font.single_byte[b] = decode_uncached(font, &byte, 1);
    }
    font.single_byte_ready = true;
}

FontInfo extract_font_info(const PdfObject& font) {
    FontInfo info;
    if (!font.dict()) return info;
    const PdfObject* subtype = font.get("Subtype");
    info.is_type0 = subtype && subtype->is_name("Type0");
    if (const PdfObject* base = font.get("BaseFont"); base && base->as_name()) {
        std::string_view n = as_chars(*base->as_name());
        // A subset tag: six capital letters and a plus sign (ISO 32000-1, 9.6.4).
        if (n.size() > 7 && n[6] == '+' &&
            std::all_of(n.begin(), n.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
            n.remove_prefix(7);
        }
        info.name = lossy_utf8(as_bytes(n));
    }
    if (const PdfObject* w = font.get("Widths")) {
        if (const PdfArray* arr = w->array()) {
            info.widths.reserve(arr->size());
            for (const PdfObject& el : *arr) {
                if (std::optional<double> v = el.as_number()) info.widths.push_back(*v);
            }
        }
    }
    info.missing_width = number_or(font.get("DW"), 1000.0);
    if (const PdfObject* enc = font.get("Encoding"); enc && enc->kind() == ObjectKind::Dictionary) {
        info.differences = read_differences(enc->get("Differences"));
    }
    return info;
}

CIDFontInfo extract_cid_font_info(const PdfObject& descendant) {
    CIDFontInfo info;
    if (!descendant.dict()) return info;
    info.default_width = number_or(descendant.get("DW"), 1000.0);
    const PdfObject* w = descendant.get("W");
    const PdfArray* arr = w ? w->array() : nullptr;
    if (!arr) return info;
    const PdfArray& a = *arr;
    const auto number_at = [&](size_t i) { return i < a.size() ? a[i].as_number().value_or(0.0) : 0.0; };
    for (size_t i = 0; i < a.size();) {
        const std::optional<std::int64_t> s = a[i].as_int();
        if (!s) {
            i += 1;
            continue;
        }
        if (i + 1 >= a.size()) break;
        const auto start = static_cast<std::uint32_t>(*s);  // the low 32 bits
        if (const PdfArray* list = a[i + 1].array()) {
            // c [w1 w2 ...]: consecutive codes from c.
            if (!list->empty()) {
                CIDWidthRange r;
                r.start = start;
                r.widths.reserve(list->size());
                for (const PdfObject& el : *list) r.widths.push_back(el.as_number().value_or(0.0));
                r.count = r.widths.size();
                info.widths.push_back(std::move(r));
            }
            i += 2;
        } else if (const std::optional<std::int64_t> e = a[i + 1].as_int()) {
            // c_first c_last w: kept as one uniform run instead of e - s + 1 copies, since the
            // numbers may announce billions of codes.
            if (*e >= *s) {
                // e - s fits in 64 unsigned bits even when it overflows the signed type.
                const std::uint64_t span = static_cast<std::uint64_t>(*e) - static_cast<std::uint64_t>(*s);
                constexpr std::uint64_t kAllCodes = std::uint64_t{1} << 32;
                info.widths.push_back(CIDWidthRange{.start = start,
                                                    .widths = {number_at(i + 2)},
                                                    .uniform = true,
                                                    .count = span >= kAllCodes ? kAllCodes : span + 1});
            }
            i += 3;
        } else {
            i += 1;
        }
    }
    std::stable_sort(info.widths.begin(), info.widths.end(),
                     [](const CIDWidthRange& x, const CIDWidthRange& y) { return x.start < y.start; });
    return info;
}

template <class T, class Make>
std::shared_ptr<const T> FontCache::get_or_make(Shared<T>& shared, const PdfObject* key, Make make) {
    {
        std::shared_lock lock(shared.mutex);
        if (auto it = shared.map.find(key); it != shared.map.end()) return it->second;
    }
    std::shared_ptr<const T> value = make();  // no lock while building
    std::unique_lock lock(shared.mutex);
    // A racing thread may have stored an equal value first; every caller shares that one.
    return shared.map.try_emplace(key, std::move(value)).first->second;
}

std::shared_ptr<const FontInfo> FontCache::font(const PdfObject& font, const Document& doc) {
    return get_or_make(fonts_, &font, [&] {
        FontInfo info = extract_font_info(font);

        // An Encoding given by reference: its Differences, when the direct form gave none.
        if (!info.differences) {
            if (const PdfObject* enc = font.get("Encoding")) {
                if (std::optional<ObjectId> ref = enc->as_ref()) {
                    ObjPtr enc_obj = fetch(doc, *ref);
                    if (enc_obj && enc_obj->kind() == ObjectKind::Dictionary) {
                        info.differences = read_differences(enc_obj->get("Differences"));
                    }
                } else if (enc->kind() == ObjectKind::Dictionary) {
                    info.differences = read_differences(enc->get("Differences"));
                }
            }
        }

        // ToUnicode is a stream, so only a reference can hold it. A stream whose filters fail
        // is read from its raw bytes.
        if (const PdfObject* tu = font.get("ToUnicode")) {
            if (std::optional<ObjectId> ref = tu->as_ref()) {
                ObjPtr tu_obj = fetch(doc, *ref);
                if (const PdfStream* stream = tu_obj ? tu_obj->stream() : nullptr) {
                    info.to_unicode = get_or_make(to_unicode_, tu_obj.get(), [&] {
                        std::optional<ByteVec> decoded;
                        if (const PdfObject* filter = tu_obj->get("Filter")) {
                            if (Result<ByteVec> d = decompress_stream(stream->data, *filter)) {
                                decoded = std::move(*d);
                            }
                        }
                        return std::make_shared<const CMap>(
                            parse_cmap(decoded ? Bytes(*decoded) : stream->data));
                    });
                }
            }
        }

        if (info.is_type0) {
            const PdfObject* desc = font.get("DescendantFonts");
            const PdfArray* arr = desc ? desc->array() : nullptr;
            if (arr && !arr->empty()) {
                if (std::optional<ObjectId> ref = arr->front().as_ref()) {
                    if (ObjPtr d = fetch(doc, *ref)) {
                        info.cid = get_or_make(cid_, d.get(), [&] {
                            return std::make_shared<const CIDFontInfo>(extract_cid_font_info(*d));
                        });
                    }
                }
            }
        }

        finish_font_info(info);
        return std::make_shared<const FontInfo>(std::move(info));
    });
}

FontTable build_font_map(const PdfObject& resources, const Document& doc) {
    FontCache cache;
    return build_font_map(resources, doc, cache);
}

FontTable build_font_map(const PdfObject& resources, const Document& doc, FontCache& cache,
                         std::string* first_name) {
    FontTable table;
    if (!resources.dict()) return table;
    const Resolved fonts = doc.resolve_key(&resources, "Font");
    if (!fonts || fonts->kind() != ObjectKind::Dictionary) return table;
    table.reserve(fonts->dict()->size());
    for (const DictEntry& entry : *fonts->dict()) {
        const Resolved font_obj = doc.resolve(&entry.value);
        if (!font_obj || font_obj->kind() != ObjectKind::Dictionary) continue;
        std::shared_ptr<const FontInfo> font = cache.font(*font_obj, doc);
        std::string name = lossy_utf8(entry.key);
        if (first_name && first_name->empty() && table.empty()) *first_name = name;
        table.insert_or_assign(std::move(name), std::move(font));
    }
    return table;
}

}  // namespace vellix
