// Glyph names to Unicode by the Adobe Glyph List's own rules: the name up to its
// first period, split at underscores into components, each component looked up in the AGL (for
// a Zapf Dingbats font the ITC Zapf Dingbats list first) or read as uniXXXX[XXXX...] or uXXXX to
// uXXXXXX.
#include <algorithm>
#include <unordered_map>

#include "font.h"

namespace vellix {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // not in the AGL rules; producers write them
    return -1;
}

std::optional<std::uint32_t> hex_number(std::string_view digits) {
    std::uint32_t v = 0;
    for (char c : digits) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

const data::GlyphListEntry* find_in(std::span<const data::GlyphListEntry> list, std::string_view name) {
    auto it = std::lower_bound(list.begin(), list.end(), name,
                               [](const data::GlyphListEntry& e, std::string_view n) { return e.name < n; });
    return it != list.end() && it->name == name ? &*it : nullptr;
}

// The AGL entry of a name. Every simple font looks up the names of its 256 codes when it is
// loaded, so the list is indexed by a hash table, built once on first use (C++ makes that safe
// across threads), which finds a name in a fraction of a binary search's time.
const data::GlyphListEntry* find_glyph(std::string_view name) {
    static const std::unordered_map<std::string_view, const data::GlyphListEntry*> index = [] {
        std::unordered_map<std::string_view, const data::GlyphListEntry*> m;
        m.reserve(data::glyphlist.size());
        for (const data::GlyphListEntry& e : data::glyphlist) m.try_emplace(e.name, &e);
        return m;
    }();
    const auto it = index.find(name);
    return it != index.end() ? it->second : nullptr;
}

// Appends the characters of one component; false when it resolves to nothing.
bool component(std::string_view c, std::span<char32_t, kMaxCodeChars> out, size_t& n, bool dingbats) {
    const auto put = [&](char32_t ch) {
        if (n < out.size()) out[n++] = ch;
    };
    const data::GlyphListEntry* e = dingbats ? find_in(data::zapfdingbatslist, c) : nullptr;
    if (!e) e = find_glyph(c);
    if (e) {
        for (char32_t cp : e->code_points) {
            if (cp != 0) put(cp);
        }
        return true;
    }
    if (c.size() >= 7 && c.starts_with("uni") && (c.size() - 3) % 4 == 0) {
        // uni followed by groups of four digits, each a BMP character other than a surrogate.
        std::array<char32_t, kMaxCodeChars> units;
        size_t m = 0;
        for (size_t i = 3; i < c.size(); i += 4) {
            const std::optional<std::uint32_t> v = hex_number(c.substr(i, 4));
            if (!v || (*v >= 0xD800 && *v <= 0xDFFF)) return false;
            if (m < units.size()) units[m++] = static_cast<char32_t>(*v);
        }
        for (size_t i = 0; i < m; ++i) put(units[i]);
        return true;
    }
    if (c.size() >= 5 && c.size() <= 7 && c[0] == 'u') {
        const std::optional<std::uint32_t> v = hex_number(c.substr(1));
        if (!v || *v > 0x10FFFF || (*v >= 0xD800 && *v <= 0xDFFF)) return false;
        put(static_cast<char32_t>(*v));
        return true;
    }
    return false;
}

}  // namespace

size_t glyph_name_to_unicode(std::string_view name, std::span<char32_t, kMaxCodeChars> out, bool dingbats) {
    name = name.substr(0, name.find('.'));
    size_t n = 0;
    while (!name.empty()) {
        const size_t cut = name.find('_');
        component(name.substr(0, cut), out, n, dingbats);
        if (cut == std::string_view::npos) break;
        name.remove_prefix(cut + 1);
    }
    return n;
}

}  // namespace vellix
