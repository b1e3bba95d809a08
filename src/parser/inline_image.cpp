#include "parser/inline_image.h"

#include <algorithm>
#include <string_view>

#include "parser/object.h"

namespace vellix {
namespace {

struct Abbreviation {
    std::string_view short_name, full_name;
};

// ISO 32000-1, Table 93: keys of an inline image dictionary.
constexpr Abbreviation kKeys[] = {
    {"BPC", "BitsPerComponent"}, {"CS", "ColorSpace"}, {"D", "Decode"}, {"DP", "DecodeParms"},
    {"F", "Filter"}, {"H", "Height"}, {"IM", "ImageMask"}, {"I", "Interpolate"}, {"W", "Width"},
    {"L", "Length"},
};
// Table 94: filter names, and colour space names (Indexed only inside a ColorSpace).
constexpr Abbreviation kFilters[] = {
    {"AHx", "ASCIIHexDecode"}, {"A85", "ASCII85Decode"}, {"LZW", "LZWDecode"}, {"Fl", "FlateDecode"},
    {"RL", "RunLengthDecode"}, {"CCF", "CCITTFaxDecode"}, {"DCT", "DCTDecode"},
};
constexpr Abbreviation kColorSpaces[] = {
    {"G", "DeviceGray"}, {"RGB", "DeviceRGB"}, {"CMYK", "DeviceCMYK"}, {"I", "Indexed"},
};

template <size_t N>
Bytes expand(Bytes name, const Abbreviation (&table)[N]) {
    for (const Abbreviation& a : table) {
        if (bytes_equal(name, a.short_name)) return as_bytes(a.full_name);
    }
    return name;
}

// Replaces abbreviated names in a value, and in the elements of an array value (a ColorSpace
// array names its base space, a Filter array its filters).
template <size_t N>
void expand_value(PdfObject& value, const Abbreviation (&table)[N]) {
    if (auto* name = std::get_if<PdfName>(&value.value)) {
        name->bytes = expand(name->bytes, table);
    } else if (auto* arr = std::get_if<PdfArray>(&value.value)) {
        for (PdfObject& element : *arr) {
            if (auto* n = std::get_if<PdfName>(&element.value)) n->bytes = expand(n->bytes, table);
        }
    }
}

bool is_white(std::uint8_t b) { return is_pdf_whitespace(b) || b == 0x0C; }

// "EI" at `at`, after white space and followed by white space, a delimiter or the end.
bool ei_at(Bytes c, size_t at) {
    if (at + 2 > c.size() || c[at] != 'E' || c[at + 1] != 'I') return false;
    if (at == 0 || !is_white(c[at - 1])) return false;
    return at + 2 == c.size() || is_token_end(c[at + 2]);
}

// The "EI" at `at` or after white space from there.
std::optional<size_t> ei_after(Bytes c, size_t at) {
    // A few bytes of white space at most: writers put one, sometimes CR LF.
    constexpr size_t kMaxGap = 8;
    size_t i = at;
    while (i < c.size() && is_white(c[i]) && i - at < kMaxGap) ++i;
    if (ei_at(c, i)) return i;
    return std::nullopt;
}

// What follows a real "EI" is content: operators, operands and white space, no binary bytes.
// Binary image data that happens to contain " EI " is rarely followed by that much text.
constexpr size_t kContentCheckBytes = 32;
bool looks_like_content(Bytes c, size_t from) {
    const size_t end = std::min(c.size(), from + kContentCheckBytes);
    for (size_t i = from; i < end; ++i) {
        const std::uint8_t b = c[i];
        if (b >= 0x80 || (b < 0x20 && !is_white(b))) return false;
    }
    return true;
}

const PdfObject* entry(const PdfDict& dict, std::string_view key) { return dict_get(dict, key); }

std::optional<std::int64_t> int_entry(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = entry(dict, key);
    return v ? v->as_int() : std::nullopt;
}

// The stored size of unfiltered samples, when the dictionary says enough to know it.
std::optional<size_t> unfiltered_size(const PdfDict& dict) {
    const PdfObject* filter = entry(dict, "Filter");
    if (filter && !(filter->array() && filter->array()->empty())) return std::nullopt;
    const std::optional<std::int64_t> w = int_entry(dict, "Width"), h = int_entry(dict, "Height");
    if (!w || !h || *w <= 0 || *h <= 0 || *w > (1 << 24) || *h > (1 << 24)) return std::nullopt;
    std::int64_t comps = 0, bpc = int_entry(dict, "BitsPerComponent").value_or(8);
    const PdfObject* mask = entry(dict, "ImageMask");
    if (mask && mask->as_bool().value_or(false)) {
        comps = 1;
        bpc = 1;
    } else if (const PdfObject* cs = entry(dict, "ColorSpace")) {
        if (cs->is_name("DeviceGray")) comps = 1;
        if (cs->is_name("DeviceRGB")) comps = 3;
        if (cs->is_name("DeviceCMYK")) comps = 4;
        if (cs->array() && !cs->array()->empty() && cs->array()->front().is_name("Indexed")) comps = 1;
    }
    if (comps == 0 || bpc < 1 || bpc > 16) return std::nullopt;
    return static_cast<size_t>((*w * comps * bpc + 7) / 8 * *h);
}

// The end of the data from its first filter's end marker: ">" for ASCIIHex, "~>" for ASCII85.
std::optional<size_t> marker_end(Bytes c, size_t start, const PdfDict& dict) {
    const PdfObject* filter = entry(dict, "Filter");
    if (!filter) return std::nullopt;
    const PdfObject* first = filter;
    if (const PdfArray* arr = filter->array()) {
        if (arr->empty()) return std::nullopt;
        first = &arr->front();
    }
    const bool hex = first->is_name("ASCIIHexDecode"), a85 = first->is_name("ASCII85Decode");
    if (!hex && !a85) return std::nullopt;
    for (size_t i = start; i < c.size(); ++i) {
        if (hex && c[i] == '>') return i + 1;
        if (a85 && c[i] == '~' && i + 1 < c.size() && c[i + 1] == '>') return i + 2;
    }
    return std::nullopt;
}

}  // namespace

std::optional<InlineImage> parse_inline_image(Bytes content, size_t pos) {
    InlineImage img;
    Cursor cur{content, pos};
    for (;;) {
        cur.skip_ws();
        if (cur.at_end()) return std::nullopt;
        if (cur.starts_with("ID") && (!cur.has(3) || is_white(content[cur.pos + 2]))) {
            cur.pos += 2;
            break;
        }
        if (img.dict.size() >= kMaxInlineImageEntries) return std::nullopt;
        Result<PdfObject> key = parse_object(cur);
        if (!key) return std::nullopt;
        const std::optional<Bytes> name = key->as_name();
        if (!name) return std::nullopt;
        Result<PdfObject> value = parse_object(cur);
        if (!value) return std::nullopt;
        const Bytes full = expand(*name, kKeys);
        if (bytes_equal(full, "Filter")) expand_value(*value, kFilters);
        if (bytes_equal(full, "ColorSpace")) expand_value(*value, kColorSpaces);
        img.dict.push_back(DictEntry{full, std::move(*value)});
    }
    // One white-space byte separates ID from the data.
    size_t start = cur.pos;
    if (start < content.size()) ++start;

    start = std::min(start, content.size());

    // Where the data's length is known, the data ends there and EI must follow.
    std::optional<size_t> ei, known_end;
    auto try_end = [&](std::optional<size_t> end) {
        if (ei || !end || *end > content.size()) return;
        if ((ei = ei_after(content, *end))) known_end = end;
    };
    if (std::optional<std::int64_t> length = int_entry(img.dict, "Length"); length && *length >= 0) {
        if (static_cast<std::uint64_t>(*length) <= content.size() - start) try_end(start + static_cast<size_t>(*length));
    }
    if (std::optional<size_t> size = unfiltered_size(img.dict); size && *size <= content.size() - start) {
        try_end(start + *size);
    }
    try_end(marker_end(content, start, img.dict));
    if (!ei) {
        std::optional<size_t> first;
        for (size_t i = start; i + 1 < content.size(); ++i) {
            if (content[i] != 'E' || !ei_at(content, i)) continue;
            if (!first) first = i;
            if (looks_like_content(content, i + 2)) {
                ei = i;
                break;
            }
        }
        if (!ei) ei = first;
    }
    if (!ei) {
        img.data = content.subspan(start);
        img.end = content.size();
        return img;
    }
    // Otherwise the white space in front of EI is not data.
    const size_t data_end = known_end ? *known_end : std::max(start, *ei - 1);
    img.data = content.subspan(start, data_end - start);
    img.end = *ei + 2;
    return img;
}

}  // namespace vellix
