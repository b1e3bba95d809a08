// Fonts of a resources dictionary (codes to Unicode, glyph widths) and ToUnicode CMaps.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
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

// Transparent hashing, so that a code held as a byte view can be looked up without building a
// std::string key first.
struct CodeHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A parsed ToUnicode stream: bfchar and bfrange mappings, nothing else (codespace ranges,
// usecmap, cidrange and notdef sections are not read). Immutable once built.
struct CMap {
    // Key: the source code bytes. A later bfchar entry for the same code replaces an earlier one.
    std::unordered_map<std::string, std::vector<std::uint8_t>, CodeHash, std::equal_to<>> bf_chars;
    std::vector<BfRange> bf_ranges;  // in the order met; the first match wins

    // Derived from bf_ranges by index_ranges(): for codes of 1 to 4 bytes, the code space cut
    // into runs that each resolve to one range (the first in file order that holds them) or
    // to none, sorted by (len, start). Lets a lookup binary-search instead of walking every
    // range. Without it (ranges_indexed false) lookups walk bf_ranges.
    struct RangeRun {
        std::uint8_t len = 0;      // code length in bytes
        std::uint32_t start = 0;   // first code of the run, big-endian value
        std::uint32_t range = 0;   // index into bf_ranges, or kNoRange
    };
    static constexpr std::uint32_t kNoRange = 0xFFFFFFFF;
    std::vector<RangeRun> range_runs;
    bool ranges_indexed = false;

    // Builds range_runs from bf_ranges; parse_cmap calls it. Call again after changing
    // bf_ranges by hand.
    void index_ranges();

    // The destination bytes of one code (1 or 2 bytes in practice), or nothing: an exact
    // bf_chars match first, then the first range of the code's length that holds the code.
    std::optional<std::vector<std::uint8_t>> lookup(Bytes code) const;

    // The same lookup, with the destination read as one Unicode scalar value (big-endian
    // UTF-16 or UTF-32, see FontInfo::decode_char). Nothing when the code has no mapping or
    // the destination is not exactly one accepted character. Never allocates.
    std::optional<char32_t> lookup_char(Bytes code) const;
};

// A ToUnicode CMap keeps at most this many bfchar codes and this many bfranges; later new
// entries are ignored. A CMap for codes of one or two bytes needs at most 65536 + 256 of
// either; the bound only stops a decompressed stream of hundreds of megabytes from turning
// into gigabytes of map entries.
inline constexpr size_t kMaxCMapMappings = size_t{1} << 17;

// Never fails: text that is not valid UTF-8 gives a CMap with no mappings, and a section
// without its end marker runs to the end of the text.
CMap parse_cmap(Bytes stream_bytes);
// Index (from the start of `text`) of the first `needle` at or after `start`; nothing when
// there is none or when `start` is past the end.
std::optional<size_t> find_token(std::string_view text, size_t start, std::string_view needle);
// The bytes of one token such as <0041>: leading '<' and trailing '>' removed, then characters
// taken in pairs (an odd last one ignored); a character that is not a hex digit counts as 0.
std::vector<std::uint8_t> parse_hex_tokens(std::string_view token);

// ---- Fonts ----

// Widths of the codes start, start + 1, ...: code c has width widths[c - start].
struct CIDWidthRange {
    std::uint32_t start = 0;
    std::vector<double> widths;
    // The s e w form is kept unexpanded: `count` codes of width `widths[0]` when `uniform`.
    // A W entry may announce up to 2^64 codes; `count` is capped at 2^32, which already
    // covers every 32-bit code from `start` on.
    bool uniform = false;
    std::uint64_t count = 0;

    // The number of codes the range covers.
    std::uint64_t size() const { return uniform ? count : widths.size(); }
};

struct CIDFontInfo {
    std::vector<CIDWidthRange> widths;  // sorted by start, stable
    double default_width = 1000.0;
};

// Unicode characters one code stands for at most (a ligature, a ToUnicode destination of
// several characters); further ones are dropped.
inline constexpr size_t kMaxCodeChars = 8;

struct FontInfo {
    // One character code of a shown string: its bytes read as a big-endian number, and how
    // many bytes it took (1 to 4).
    struct Code {
        std::uint32_t value = 0;
        std::uint8_t len = 1;
    };

    bool is_type0 = false;
    // The font's name as a span reports it: BaseFont without a subset tag; empty when the font
    // has none.
    std::string name;
    std::vector<double> widths;
    double missing_width = 1000.0;
    std::optional<std::unordered_map<std::uint8_t, std::vector<std::uint8_t>>> differences;
    // Shared, not copied: many font dictionaries of a file may name one ToUnicode stream or
    // one descendant font, and each copy of a large map would cost its full size again.
    std::shared_ptr<const CMap> to_unicode;
    std::shared_ptr<const CIDFontInfo> cid;

    // Filled by finish_font_info(): the decoded value of every one-byte code, so that
    // decoding a one-byte code is a table lookup.
    std::array<char32_t, 256> single_byte{};
    bool single_byte_ready = false;

    // The Unicode value of a code of `len` (1 or 2) bytes: the ToUnicode mapping when it is
    // one accepted character, else U+FFFD for a two-byte code, else the Differences glyph
    // name when it resolves, else the byte read as Latin-1 (U+FFFD for control codes).
    // Never fails.
    char32_t decode_char(const std::uint8_t* code, size_t len) const;
    // The code that starts at s[pos] (pos < s.size()); never longer than the bytes left.
    Code next_code(Bytes s, size_t pos) const;
    // The text of one code: writes 1 to kMaxCodeChars characters to `out` and returns how
    // many. A ligature character (U+FB00-U+FB06) comes out as its letters.
    size_t decode_code(Code code, std::span<char32_t, kMaxCodeChars> out) const;
    // Width of a code in thousandths of the font size: from `cid` for a Type0 font with a
    // descendant, else from `widths` indexed by the code itself (FirstChar is not applied).
    double glyph_width(std::uint32_t code) const;
};

// Precomputes the one-byte decoding table; call once the font's fields are final.
void finish_font_info(FontInfo& font);

// Font resource name (text, lossy UTF-8) to font. Fonts are shared and immutable, so a form's
// merged table copies pointers, not fonts.
using FontTable = std::unordered_map<std::string, std::shared_ptr<const FontInfo>>;

// Fonts of one document, each built once and shared: a font by the address of its font
// dictionary, a ToUnicode map by that of its stream object, descendant font widths by that of
// the descendant font. A document keeps every object it hands out at one address until it is
// dropped, so an address stands for one object while the cache lives, and the cache must not
// outlive the document. A page that names a font already built, or a font naming a map that
// another font already read, then costs a lookup instead of a decompression and a parse (and
// no memory). Safe for concurrent use; no lock is held while building.
class FontCache {
public:
    // The font of a font dictionary (an object of any other kind gives the defaults), as
    // build_font_map makes it.
    std::shared_ptr<const FontInfo> font(const PdfObject& font, const Document& doc);

private:
    template <class T>
    struct Shared {
        std::shared_mutex mutex;  // guards map
        std::unordered_map<const PdfObject*, std::shared_ptr<const T>> map;
    };
    // The value stored under `key`, made by `make` on first use.
    template <class T, class Make>
    static std::shared_ptr<const T> get_or_make(Shared<T>& shared, const PdfObject* key, Make make);

    Shared<FontInfo> fonts_;
    Shared<CMap> to_unicode_;
    Shared<CIDFontInfo> cid_;
};

// The fonts of the resources' Font dictionary (given directly or by reference): a font given
// directly or by reference, by resource name; a reference that cannot be fetched is left out. The first form builds through a cache of its own, so fonts of one dictionary
// still share their maps.
FontTable build_font_map(const PdfObject& resources, const Document& doc);
// `first_name`, when given and empty, receives the name of the first entry (in file order) that
// made it into the table.
FontTable build_font_map(const PdfObject& resources, const Document& doc, FontCache& cache,
                         std::string* first_name = nullptr);
FontInfo extract_font_info(const PdfObject& font);
CIDFontInfo extract_cid_font_info(const PdfObject& descendant);

// The value of a glyph name (table of 222 names, then uniXXXX), or nothing.
std::optional<char32_t> glyph_name_to_unicode(Bytes name);

struct GlyphName {
    std::string_view name;
    char32_t code_point;
};
// The glyph-name table, sorted by name (byte order).
std::span<const GlyphName> glyph_name_table();

}  // namespace vellix
