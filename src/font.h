// Fonts of a resources dictionary (codes to Unicode, glyph widths) and ToUnicode CMaps.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "types.h"

namespace vellix {

class Document;

// ---- ToUnicode CMaps ----

struct BfRange {
    std::vector<std::uint8_t> lo, hi, dst;
};

struct CMap {
    std::unordered_map<std::string, std::vector<std::uint8_t>> bf_chars;  // key: code bytes
    std::vector<BfRange> bf_ranges;

    // The destination bytes of one code (1 or 2 bytes in practice), or nothing.
    std::optional<std::vector<std::uint8_t>> lookup(Bytes code) const;
};

CMap parse_cmap(Bytes stream_bytes);
std::optional<size_t> find_token(std::string_view text, size_t start, std::string_view needle);
std::vector<std::uint8_t> parse_hex_tokens(std::string_view token);

// ---- Fonts ----

struct CIDWidthRange {
    std::uint32_t start = 0;
    std::vector<double> widths;
    // The s e w form is kept unexpanded: `count` codes of width `widths[0]` when `uniform`.
    bool uniform = false;
    std::uint64_t count = 0;
};

struct CIDFontInfo {
    std::vector<CIDWidthRange> widths;  // sorted by start, stable
    double default_width = 1000.0;
};

struct FontInfo {
    bool is_type0 = false;
    std::vector<double> widths;
    double missing_width = 1000.0;
    std::optional<std::unordered_map<std::uint8_t, std::vector<std::uint8_t>>> differences;
    std::optional<CMap> to_unicode;
    std::optional<CIDFontInfo> cid;

    // Filled by finish_font_info(): the decoded value of every one-byte code, so that
    // decoding a one-byte code is a table lookup.
    std::array<char32_t, 256> single_byte{};
    bool single_byte_ready = false;

    // The Unicode value of a code of `len` (1 or 2) bytes. Never fails.
    char32_t decode_char(const std::uint8_t* code, size_t len) const;
    // Width of a code in thousandths of the font size.
    double glyph_width(std::uint32_t code) const;
};

// Precomputes the one-byte decoding table; call once the font's fields are final.
void finish_font_info(FontInfo& font);

// Font resource name (text, lossy UTF-8) to font. Fonts are shared and immutable, so a form's
// merged table copies pointers, not fonts.
using FontTable = std::unordered_map<std::string, std::shared_ptr<const FontInfo>>;

FontTable build_font_map(const PdfObject& resources, const Document& doc);
FontInfo extract_font_info(const PdfObject& font);
CIDFontInfo extract_cid_font_info(const PdfObject& descendant);

// The value of a glyph name (table of 222 names, then uniXXXX), or nothing.
std::optional<char32_t> glyph_name_to_unicode(Bytes name);

}  // namespace vellix
