// Font programs through FreeType: built-in encodings and cmaps only.
#include "font_program.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cstdio>

#include "font.h"

namespace vellix {
namespace {

// A TrueType glyph index is 16 bits; a face announcing more glyphs is read up to this many.
constexpr FT_Long kMaxGlyphs = 65536;
// Glyph names longer than this are cut (the AGL's longest name has 28 characters).
constexpr FT_UInt kMaxGlyphNameBytes = 128;

// The FreeType library of the calling thread, made on its first face and kept while the thread
// lives: making a library (and registering its modules) costs as much as opening a small face,
// and a document may open dozens of these. One per thread keeps threads apart without a lock,
// as FreeType's objects are not shared between threads. Null when FreeType cannot start.
FT_Library thread_library() {
    struct Library {
        FT_Library lib = nullptr;
        Library() {
            if (FT_Init_FreeType(&lib) != 0) lib = nullptr;
        }
        ~Library() {
            if (lib) FT_Done_FreeType(lib);
        }
        Library(const Library&) = delete;
        Library& operator=(const Library&) = delete;
    };
    thread_local Library library;
    return library.lib;
}

// A face over a program, on the calling thread's library, released when it goes.
class Face {
public:
    explicit Face(Bytes program) {
        FT_Library lib = thread_library();
        if (!lib || program.size() > static_cast<size_t>(std::numeric_limits<FT_Long>::max()) ||
            FT_New_Memory_Face(lib, program.data(), static_cast<FT_Long>(program.size()), 0, &face_) != 0) {
            face_ = nullptr;
        }
    }
    ~Face() {
        if (face_) FT_Done_Face(face_);
    }
    Face(const Face&) = delete;
    Face& operator=(const Face&) = delete;

    FT_Face get() const { return face_; }

private:
    FT_Face face_ = nullptr;
};

bool select_charmap(FT_Face face, FT_UShort platform, FT_UShort encoding) {
    for (FT_Int i = 0; i < face->num_charmaps; ++i) {
        const FT_CharMap cm = face->charmaps[i];
        if (cm->platform_id == platform && cm->encoding_id == encoding) return FT_Set_Charmap(face, cm) == 0;
    }
    return false;
}

std::string glyph_name(FT_Face face, FT_UInt gid) {
    if (gid == 0 || !FT_HAS_GLYPH_NAMES(face)) return {};
    std::array<char, kMaxGlyphNameBytes> buf{};
    if (FT_Get_Glyph_Name(face, gid, buf.data(), static_cast<FT_UInt>(buf.size())) != 0) return {};
    std::string name(buf.data());
    return name == ".notdef" ? std::string{} : name;
}

// Glyph index to Unicode through the face's Unicode cmap.
std::vector<char32_t> unicode_by_glyph(FT_Face face) {
    std::vector<char32_t> out;
    if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0) return out;
    out.assign(static_cast<size_t>(std::min(face->num_glyphs, kMaxGlyphs)), 0);
    FT_UInt gid = 0;
    // Each step moves to a larger character code, so the walk ends; the bound on glyphs keeps
    // the table small.
    for (FT_ULong c = FT_Get_First_Char(face, &gid); gid != 0; c = FT_Get_Next_Char(face, c, &gid)) {
        if (gid < out.size() && out[gid] == 0 && c <= 0x10FFFF) out[gid] = static_cast<char32_t>(c);
    }
    return out;
}

}  // namespace

std::shared_ptr<const std::vector<std::string>> builtin_encoding(Bytes program, bool truetype, bool symbolic) {
    if (truetype && !symbolic) return nullptr;
    Face face(program);
    FT_Face f = face.get();
    if (!f) return nullptr;
    std::vector<std::string> names(256);
    bool any = false;
    if (!truetype) {
        // Type 1 and CFF: FreeType presents the program's encoding as an Adobe charmap.
        bool selected = false;
        for (FT_Encoding e : {FT_ENCODING_ADOBE_CUSTOM, FT_ENCODING_ADOBE_STANDARD, FT_ENCODING_ADOBE_EXPERT,
                              FT_ENCODING_ADOBE_LATIN_1}) {
            if (FT_Select_Charmap(f, e) == 0) {
                selected = true;
                break;
            }
        }
        if (!selected) return nullptr;
        for (FT_ULong code = 0; code < 256; ++code) {
            names[code] = glyph_name(f, FT_Get_Char_Index(f, code));
            any = any || !names[code].empty();
        }
    } else {
        // Symbolic TrueType (ISO 32000-1, 9.6.6.4): codes select glyphs through the (3,0) cmap
        // (at 0xF000 + code, or the code itself) or the (1,0) cmap.
        const std::vector<char32_t> unicode = unicode_by_glyph(f);
        const bool ms_symbol = select_charmap(f, 3, 0);
        if (!ms_symbol && !select_charmap(f, 1, 0)) return nullptr;
        for (FT_ULong code = 0; code < 256; ++code) {
            FT_UInt gid = ms_symbol ? FT_Get_Char_Index(f, 0xF000 + code) : 0;
            if (gid == 0) gid = FT_Get_Char_Index(f, code);
            if (gid == 0) continue;
            std::string name = glyph_name(f, gid);
            std::array<char32_t, kMaxCodeChars> probe;
            if ((name.empty() || glyph_name_to_unicode(name, probe) == 0) && gid < unicode.size() && unicode[gid] != 0) {
                std::array<char, 16> buf{};
                std::snprintf(buf.data(), buf.size(), "u%04X", static_cast<unsigned>(unicode[gid]));
                name = buf.data();
            }
            names[code] = std::move(name);
            any = any || !names[code].empty();
        }
    }
    if (!any) return nullptr;
    return std::make_shared<const std::vector<std::string>>(std::move(names));
}

std::shared_ptr<const std::vector<char32_t>> truetype_glyph_unicode(Bytes program) {
    Face face(program);
    FT_Face f = face.get();
    if (!f) return nullptr;
    std::vector<char32_t> out = unicode_by_glyph(f);
    if (out.empty() && FT_HAS_GLYPH_NAMES(f)) {
        // No Unicode cmap: the post table's glyph names.
        out.assign(static_cast<size_t>(std::min(f->num_glyphs, kMaxGlyphs)), 0);
        std::array<char32_t, kMaxCodeChars> chars;
        for (FT_UInt gid = 1; gid < out.size(); ++gid) {
            const std::string name = glyph_name(f, gid);
            if (!name.empty() && glyph_name_to_unicode(name, chars) > 0) out[gid] = chars[0];
        }
    }
    if (std::all_of(out.begin(), out.end(), [](char32_t c) { return c == 0; })) return nullptr;
    return std::make_shared<const std::vector<char32_t>>(std::move(out));
}

}  // namespace vellix
