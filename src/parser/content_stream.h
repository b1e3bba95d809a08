// The content stream interpreter: positioned characters and image placements of a page.
//
// The interpreter reads a content stream in one forward pass, keeps a small text and graphics
// state, executes the operators that move or show text, expands Form XObjects in place (to a
// fixed depth) and records every image Do. It never fails: bytes that form no operand are
// skipped, and operators that are unknown or lack operands do nothing.
//
// Each glyph is placed by the text rendering matrix of ISO 32000-1, 9.4.4; its box is the
// upright envelope of its advance times one unit of height in glyph space. Word spaces that the
// file moves the pen for instead of drawing a space glyph become space characters here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "bounds.h"
#include "font.h"
#include "page_items.h"
#include "types.h"

namespace vellix {

struct ContentResult {
    std::vector<CharInfo> chars;
    std::vector<ImageRef> images;
    std::vector<std::string> fonts;  // font names, indexed by CharInfo::font
};

// Colour spaces of a page's ColorSpace resources, by resource name: the number of components of
// a space whose colours convert to sRGB (1 gray, 3 RGB, 4 CMYK), 0 for every other space.
using ColorSpaceTable = std::unordered_map<std::string, std::uint8_t>;

struct XObjectData;
using XObjectTable = std::unordered_map<std::string, XObjectData>;

struct XObjectData {
    enum class Kind : std::uint8_t { Form, Image };
    Kind kind = Kind::Image;
    std::vector<std::uint8_t> data;  // Form: decoded content
    FontTable fonts;                 // Form: its own fonts
    Matrix matrix;                   // Form: /Matrix
    double bbox[4] = {0, 0, 0, 0};   // Form: /BBox (carried, not used)
    // Form: the XObjects of its own resources, searched before those of the content that
    // draws it; null when it has none.
    std::shared_ptr<const XObjectTable> xobjects;
    // The XObject's number (0 when unknown): a form's keeps it from drawing itself.
    // Image: the image XObject, for the placements of its Do (null and 0 when unknown).
    ObjectId id{};
    ObjPtr object;
};

inline constexpr std::uint16_t kNoFontIndex = 0xFFFF;
// Word spaces: two consecutive glyphs on one line that leave a gap wider than this fraction of
// the font size, with no space glyph between them, are two words. Chosen by measurement on real
// files; readers use 0.1 to 0.3.
inline constexpr double kWordGap = 0.15;
// A fake-bold glyph is drawn again within this fraction of the size of the same place; it is
// looked for among the last kOverdrawLookback characters, which covers a heading shown twice.
inline constexpr double kOverdrawTolerance = 0.1;
inline constexpr std::size_t kOverdrawLookback = 64;

// The bytes of a string operand: a view of the content for a literal string without escapes
// (the common case, which costs no copy), the decoded bytes otherwise.
struct OperandString {
    Bytes view;            // borrowed from the content given to parse_operand
    std::string decoded;   // owned; used when `borrowed` is false
    bool borrowed = false;

    Bytes bytes() const { return borrowed ? view : as_bytes(decoded); }
};

// A name operand: the bytes after "/", taken as they stand ("#" sequences are not decoded),
// borrowed from the content given to parse_operand.
struct OperandName {
    Bytes bytes;
};

// One operand of a content stream operator. Strings and names may borrow from the content,
// so an Operand must not outlive the bytes it was parsed from.
struct Operand {
    enum class Kind : std::uint8_t { Real, Integer, String, Name, Array };
    std::variant<double, std::int64_t, OperandString, OperandName, std::vector<Operand>> value;

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // Real as is, Integer converted; every other kind reads as 0.0.
    double number() const;
    bool is_number() const { return kind() == Kind::Real || kind() == Kind::Integer; }
    const OperandString* string() const { return std::get_if<OperandString>(&value); }
    const OperandName* name() const { return std::get_if<OperandName>(&value); }
    const std::vector<Operand>* array() const { return std::get_if<std::vector<Operand>>(&value); }

    // Strings and names compare by their bytes, wherever those live.
    friend bool operator==(const Operand& a, const Operand& b);
};

// The graphics state parameters the interpreter uses besides the CTM (ISO 32000-1, 8.4.1 and
// 9.3): with the CTM, what q saves and Q restores, and what a form inherits from the content
// that draws it.
struct GraphicsParams {
    const FontInfo* font = nullptr;           // from Tf; null when no font of that name exists
    std::uint16_t font_index = kNoFontIndex;  // the font's ContentResult::fonts entry, once known
    double font_size = 12.0;
    double h_scale = 1.0;                     // a factor: Tz 100 gives 1.0
    double char_spacing = 0.0;
    double word_spacing = 0.0;
    double leading = 0.0;
    double rise = 0.0;
    std::uint32_t fill = 0;                   // the fill colour as 0xRRGGBB
    std::uint8_t fill_components = 1;         // of the fill colour space; 0: not converted
};

struct SavedGraphics {
    Matrix ctm;
    GraphicsParams params;
};

// The interpreter state of one content stream (a page, or one run of a form).
struct TextState {
    Matrix ctm;
    GraphicsParams params;
    Matrix tm;
    Matrix tlm;
    std::vector<SavedGraphics> gs_stack;
    std::uint64_t gs_overflow = 0;  // saves beyond kMaxGraphicsStateDepth, only counted

    // q: pushes the CTM and the parameters (or counts the save once the stack is full).
    void save_gs();
    // Q: pops the last save; an unbalanced Q does nothing.
    void restore_gs();
};

// The sRGB value of a colour given by `count` components (1 gray, 3 RGB, 4 CMYK), each
// clamped to [0, 1]; 0 (black) for any other count.
std::uint32_t to_srgb(const double* components, size_t count);

// An annotation's appearance (ISO 32000-1, 12.5.5), drawn after the page's content: its form,
// and the matrix that maps the form's user space (after the form's own /Matrix) onto the
// annotation's rectangle on the page.
struct Appearance {
    const XObjectData* form = nullptr;
    Matrix matrix;
};

// Interprets one content stream. `depth` counts the enclosing forms (0 for a page). Never
// fails; the tables are only read and must outlive the call.
// Colour space names that `cs` may use are looked up in `color_spaces` when given.
ContentResult scan_content_stream_full(Bytes content, const FontTable& fonts,
                                       const XObjectTable& xobjects, std::uint32_t depth,
                                       const ColorSpaceTable* color_spaces = nullptr);
// The same within smaller bounds for work and output (a caller bounding a whole document
// passes what the document has left), adding to `work_done` the work the interpretation took:
// all of `work_budget` when it ran out of work or output.
ContentResult scan_content_stream_bounded(Bytes content, const FontTable& fonts,
                                          const XObjectTable& xobjects, std::uint32_t depth,
                                          std::uint64_t work_budget, std::uint64_t output_budget,
                                          std::uint64_t& work_done,
                                          const ColorSpaceTable* color_spaces = nullptr,
                                          std::span<const Appearance> appearances = {});
// The same with other bounds for work and output, to test them on small inputs.
ContentResult scan_content_stream_with_budget_for_testing(
    Bytes content, const FontTable& fonts, const XObjectTable& xobjects, std::uint32_t depth,
    std::uint64_t budget, std::uint64_t output_budget = kMaxPageOutput);

// Parses one operand at `pos` (which must be below data.size()) and advances `pos` past the
// bytes consumed, which is at least one. Returns nothing when those bytes form no operand.
// An array keeps at most kMaxOperandElements elements.
std::optional<Operand> parse_operand(Bytes data, size_t& pos);

}  // namespace vellix
