// Fonts of a resources dictionary (codes to Unicode, glyph widths) and CMaps.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bounds.h"
#include "data/font_data.h"
#include "types.h"

namespace vellix {

class Document;

// Unicode characters one code stands for at most (a ligature, a ToUnicode destination of
// several characters); further ones are dropped.
inline constexpr size_t kMaxCodeChars = 8;

// One character code of a shown string: its bytes read as a big-endian number, and how many
// bytes it took (1 to 4).
struct CharCode {
    std::uint32_t value = 0;
    std::uint8_t len = 1;
};

// ---- CMaps (ISO 32000-1, 9.7.5 and 9.10.3) ----

// Codes of `len` bytes whose every byte lies between the matching bytes of lo and hi.
struct CodespaceRange {
    std::uint8_t len = 1;
    std::uint32_t lo = 0, hi = 0;
};

// A parsed CMap: codespace ranges, and codes mapped either to text (bfchar, bfrange: a
// ToUnicode map) or to CIDs (cidchar, cidrange: the Encoding of a Type0 font). Immutable once
// built.
struct CMap {
    // Codes lo..hi of `len` bytes. A code c maps to `value` plus (c - origin) when `increment`
    // (the CID, or the last character of the text), else to `value` itself.
    struct Entry {
        std::uint8_t len = 1;
        bool increment = true;
        std::uint32_t lo = 0, hi = 0;
        std::uint32_t value = 0;  // a CID, or an index into texts
        std::uint32_t origin = 0;
    };
    struct Text {
        std::uint32_t offset = 0;  // into chars
        std::uint8_t size = 0;
    };

    std::vector<CodespaceRange> codespace;
    // After finish_cmap: sorted by (len, lo), no two overlapping; where the file mapped a code
    // twice the later mapping won (a map's own entries after those of its usecmap parent).
    std::vector<Entry> text_entries;
    std::vector<Entry> cid_entries;
    std::vector<Text> texts;
    std::vector<char32_t> chars;
    bool vertical = false;    // /WMode 1
    std::string use_cmap;     // the name given to usecmap, if any
    std::uint8_t text_lengths = 0;  // bit n-1 set when some text entry has codes of n bytes

    // The code at s[pos] by the codespace ranges (ISO 32000-1, 9.7.6.2): the shortest prefix
    // of 1 to 4 bytes that lies in a range of its length. A prefix in no range takes the
    // shortest codespace length. Nothing when there are no codespace ranges. Never longer
    // than the bytes left.
    std::optional<CharCode> next_code(Bytes s, size_t pos) const;
    // The text of a code: writes up to kMaxCodeChars characters and returns how many, 0 when
    // the code has no mapping. A code whose length no entry has is looked up by its value
    // under the other lengths (maps often write one-byte codes as <0041>).
    size_t lookup_text(CharCode code, std::span<char32_t, kMaxCodeChars> out) const;
    std::optional<std::uint32_t> lookup_cid(CharCode code) const;
};

// Parses the bytes of a CMap stream as PostScript tokens; never fails (what cannot be read
// is skipped).
CMap parse_cmap(Bytes stream_bytes);
// Puts `parent`'s mappings under `child`'s, and adds its codespace ranges.
void use_cmap(CMap& child, const CMap& parent);
// Sorts and de-overlaps the entries; parse_cmap and use_cmap call it.
void finish_cmap(CMap& cmap);
// A predefined CMap by name (Identity-H/-V included, as a two-byte identity map), with its
// usecmap parent merged in; nothing for an unknown name. `collection`, when given, receives
// the map's character collection.
std::optional<CMap> predefined_cmap(std::string_view name, std::string_view* collection = nullptr);

// ---- Glyph names ----

// The characters of a glyph name by the Adobe Glyph List rules: the part before the first
// period, split at underscores, each component through the AGL, the Zapf Dingbats list,
// uniXXXX[XXXX...] or uXXXX to uXXXXXX. Returns how many characters were written (0 when no
// component resolves). The Zapf Dingbats list (a1, a2, ...) is consulted, before the AGL, only
// for a `dingbats` font.
size_t glyph_name_to_unicode(std::string_view name, std::span<char32_t, kMaxCodeChars> out, bool dingbats = false);

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
    // The character collection of CIDSystemInfo (Adobe-Japan1, ...) when its CID-to-Unicode
    // table is known.
    const data::CidCollection* collection = nullptr;
    // An embedded TrueType program: CID to glyph index (CIDToGIDMap; empty for Identity) and
    // glyph index to Unicode from the program's own cmap table.
    std::vector<std::uint16_t> cid_to_gid;
    std::shared_ptr<const std::vector<char32_t>> gid_unicode;
};

class DeferredProgram;

struct FontInfo {
    using Code = CharCode;

    bool is_type0 = false;
    // A Type0 font whose CMap writes vertically (Identity-V, WMode 1).
    bool vertical = false;
    // The font's name as a span reports it: BaseFont without a subset tag; empty when the font
    // has none.
    std::string name;
    // Simple fonts: widths[i] is the width of code first_char + i.
    std::vector<double> widths;
    std::uint32_t first_char = 0;
    // Width of a code that Widths does not cover: MissingWidth, else DW, else 1000.
    double missing_width = 1000.0;
    // Glyph space to thousandths of text space: 1 except for Type3 fonts (FontMatrix a x 1000).
    double width_scale = 1.0;
    std::optional<std::unordered_map<std::uint8_t, std::vector<std::uint8_t>>> differences;
    // The base encoding (a named one or the font's built-in one) as glyph names; null for none.
    const std::string_view* base_encoding = nullptr;
    // The built-in encoding of an embedded program, used when base_encoding is null.
    std::shared_ptr<const std::vector<std::string>> program_encoding;
    // A Zapf Dingbats font (its glyph names a1, a2, ... are read through their own list).
    bool dingbats = false;
    // Standard-font metrics, used for the widths of a font without Widths.
    const data::Std14Font* std14 = nullptr;
    // Shared, not copied: many font dictionaries of a file may name one ToUnicode stream or
    // one descendant font, and each copy of a large map would cost its full size again.
    std::shared_ptr<const CMap> to_unicode;
    std::shared_ptr<const CIDFontInfo> cid;
    // Type0: the Encoding CMap (null: Identity, two-byte codes that are their CIDs).
    std::shared_ptr<const CMap> encoding;
    // Type0 with a Unicode CMap (Uni*-UCS2-*, Uni*-UTF16-*): codes are UTF-16 text; their CIDs
    // come from the collection's table read backwards (sorted by code point).
    bool codes_are_utf16 = false;
    std::shared_ptr<const std::vector<std::pair<char32_t, std::uint32_t>>> unicode_to_cid;

    // Filled by finish_font_info() for a simple font: the text and width of every one-byte
    // code (a Type0 font never reads them).
    std::array<std::uint16_t, 256> single_offset{};
    std::array<std::uint8_t, 256> single_size{};
    std::vector<char32_t> single_text;
    std::array<double, 256> single_width{};
    std::array<double, 256> single_advance{};  // single_width / 1000: in glyph space
    bool single_byte_ready = false;
    // A simple font whose embedded program is read only when a code needs its built-in
    // encoding: such a code has single_size 0 (for its text) or its bit in program_widths (for
    // its width), and is looked up in the font as read with its program. Null otherwise.
    std::shared_ptr<const DeferredProgram> deferred_program;
    std::bitset<256> program_widths;
    // Whether the one-byte code `b` of a simple font (once single_byte_ready) is read whole
    // from the tables above: its text is single_size[b] characters at single_offset[b], its
    // width single_width[b] (single_advance[b] in glyph space). Otherwise decode_code and
    // glyph_width read the font program.
    bool in_single_tables(std::uint8_t b) const {
        return !deferred_program || (single_size[b] != 0 && !program_widths[b]);
    }

    // The first character of a code of `len` (1 to 4) bytes (see decode_code). Never fails.
    char32_t decode_char(const std::uint8_t* code, size_t len) const;
    // The code that starts at s[pos] (pos < s.size()); never longer than the bytes left.
    Code next_code(Bytes s, size_t pos) const;
    // The text of one code: writes 1 to kMaxCodeChars characters to `out` and returns how
    // many. A ligature character (U+FB00-U+FB06) comes out as its letters. Sources in order:
    // ToUnicode; for a simple font the glyph name (Differences over the base encoding), for a
    // Type0 font the code itself (Unicode CMaps) or its CID through the collection's table or
    // the embedded program's cmap, else (no known collection) the CID read as a code point;
    // last the code as Latin-1 (U+FFFD for control codes and for codes of several bytes).
    size_t decode_code(Code code, std::span<char32_t, kMaxCodeChars> out) const;
    // Width of a code in thousandths of text space: for a Type0 font from W by the code's CID,
    // else Widths from FirstChar, the standard metrics, or missing_width.
    double glyph_width(std::uint32_t code) const;
    // The CID of a Type0 code.
    std::uint32_t cid_of(Code code) const;
};

// Precomputes the one-byte decoding and width tables; call once the font's fields are final.
void finish_font_info(FontInfo& font);

// Values of one kind by the address of the object they were made from (see FontCache), for
// concurrent use.
template <class T>
struct SharedCache {
    std::shared_mutex mutex;  // guards map
    std::unordered_map<const void*, std::shared_ptr<const T>> map;
};

// Where a simple font's embedded program is and how to read its built-in encoding.
struct ProgramSource {
    const PdfObject* stream = nullptr;  // the FontFile, FontFile2 or FontFile3 stream
    bool truetype = false;              // FontFile2
    bool symbolic = false;              // the descriptor's Symbolic flag
    bool nonsymbolic = false;           // the descriptor's Nonsymbolic flag
};

// The embedded program of a simple font, read on the first code that needs it: most codes
// shown take their text from ToUnicode or Differences, and decoding a program and opening it
// with FreeType costs more than all the rest of a font. Gives the font as it is when the
// program is read at once. Keeps a reference to the document, which must outlive it, as it
// must outlive the FontCache that makes it. Safe for concurrent use.
class DeferredProgram {
public:
    using Encodings = SharedCache<std::vector<std::string>>;

    // `font`: the font's fields before finish_font_info, its program not yet read. `encodings`:
    // the built-in encodings read so far, by program stream, shared by a document's fonts.
    DeferredProgram(FontInfo font, const Document& doc, ProgramSource source,
                    std::shared_ptr<Encodings> encodings);
    // The font with its program read (on the first call); finished, never deferred.
    const FontInfo& font() const;

private:
    FontInfo pending_;
    const Document& doc_;
    ProgramSource source_;
    std::shared_ptr<Encodings> encodings_;
    mutable std::once_flag once_;
    mutable FontInfo read_;
};

// Font resource name (text, lossy UTF-8) to font. Fonts are shared and immutable, so a form's
// merged table copies pointers, not fonts.
using FontTable = std::unordered_map<std::string, std::shared_ptr<const FontInfo>>;

// Fonts of one document, each built once and shared: a font by the address of its font
// dictionary, a ToUnicode map by that of its stream object, descendant font data by that of
// the descendant font. A document keeps every object it hands out at one address until it is
// dropped, so an address stands for one object while the cache lives, and the cache must not
// outlive the document. Safe for concurrent use; no lock is held while building.
class FontCache {
public:
    // The font of a font dictionary (an object of any other kind gives the defaults), as
    // build_font_map makes it.
    std::shared_ptr<const FontInfo> font(const PdfObject& font, const Document& doc);

private:
    SharedCache<FontInfo> fonts_;
    SharedCache<CMap> cmaps_;
    SharedCache<CIDFontInfo> cid_;
    SharedCache<std::vector<std::pair<char32_t, std::uint32_t>>> unicode_to_cid_;
    // Shared with the fonts whose program is read later (DeferredProgram).
    std::shared_ptr<SharedCache<std::vector<std::string>>> programs_ =
        std::make_shared<SharedCache<std::vector<std::string>>>();
};

// The fonts of the resources' Font dictionary (given directly or by reference), by resource
// name; a font that cannot be fetched is left out. The first form builds through a cache of
// its own, so fonts of one dictionary still share their maps.
FontTable build_font_map(const PdfObject& resources, const Document& doc);
// `first_name`, when given and empty, receives the name of the first entry (in file order) that
// made it into the table.
FontTable build_font_map(const PdfObject& resources, const Document& doc, FontCache& cache,
                         std::string* first_name = nullptr);

// The standard font a BaseFont names (the 14 names and the usual aliases such as Arial,Bold or
// TimesNewRomanPS-BoldMT), or null.
const data::Std14Font* standard_font(std::string_view base_font);

}  // namespace vellix
