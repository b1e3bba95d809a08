// Fonts of a resources dictionary, and CMaps.
//
// A shown string is cut into codes by the font (one byte for simple fonts; for a Type0 font by
// the codespace of its Encoding CMap, two bytes for Identity). A code becomes text through, in
// order: the ToUnicode map; for a simple font its glyph name (Differences over the base
// encoding: a named encoding, or the font's built-in one) read by the Adobe Glyph List rules;
// for a Type0 font the code itself (Unicode CMaps) or its CID through the character
// collection's table or the embedded program's cmap; last the code as Latin-1. Widths come from
// Widths (from FirstChar) or W (by CID), else the standard-font metrics, else MissingWidth.
#include "font.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "document.h"
#include "font_program.h"
#include "parser/filters.h"

namespace vellix {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_scalar_value(std::uint32_t v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

int hex_value(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The ligature characters U+FB00-U+FB06.
bool is_ligature(char32_t c) { return c >= 0xFB00 && c <= 0xFB06; }

// Writes the letters of a ligature character in place of it; returns the new count.
size_t expand_ligatures(std::span<char32_t, kMaxCodeChars> out, size_t n) {
    static constexpr std::string_view kLigatures[7] = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
    std::array<char32_t, kMaxCodeChars> tmp;
    size_t m = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!is_ligature(out[i])) [[likely]] {
            if (m < tmp.size()) tmp[m++] = out[i];
            continue;
        }
        for (char c : kLigatures[out[i] - 0xFB00]) {
            if (m < tmp.size()) tmp[m++] = static_cast<char32_t>(c);
        }
    }
    std::copy_n(tmp.begin(), m, out.begin());
    return m;
}

// Characters of big-endian UTF-16 (a single byte stands for itself); lone surrogates give
// U+FFFD. At most kMaxCodeChars are written.
size_t decode_utf16(Bytes b, std::span<char32_t, kMaxCodeChars> out) {
    if (b.size() == 1) {
        out[0] = b[0];
        return 1;
    }
    size_t n = 0;
    for (size_t i = 0; i + 1 < b.size() && n < out.size(); i += 2) {
        const std::uint32_t u = (std::uint32_t{b[i]} << 8) | b[i + 1];
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < b.size()) {
            const std::uint32_t low = (std::uint32_t{b[i + 2]} << 8) | b[i + 3];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out[n++] = static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        out[n++] = (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : static_cast<char32_t>(u);
    }
    return n;
}

// ---- PostScript tokens of a CMap ----

struct Token {
    enum class Kind { End, Hex, Name, Word, ArrayOpen, ArrayClose, Other } kind = Kind::End;
    std::string_view text;  // Hex: the digits; Name: without the slash; Word: the word
};

bool is_ps_space(std::uint8_t c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
bool is_ps_delimiter(std::uint8_t c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

// Literal strings nest; a string nested deeper than this is skipped as if it ended there. The
// CMap strings (Registry, Ordering) are never nested.
constexpr unsigned kMaxStringNesting = 64;

class Lexer {
public:
    explicit Lexer(Bytes s) : s_(s) {}

    Token next() {
        if (pending_) {
            Token t = *pending_;
            pending_.reset();
            return t;
        }
        while (pos_ < s_.size()) {
            const std::uint8_t c = s_[pos_];
            if (is_ps_space(c)) {
                ++pos_;
            } else if (c == '%') {
                while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r') ++pos_;
            } else {
                break;
            }
        }
        if (pos_ >= s_.size()) return {};
        const size_t start = pos_;
        const std::uint8_t c = s_[pos_++];
        switch (c) {
            case '<': {
                if (pos_ < s_.size() && s_[pos_] == '<') {
                    ++pos_;
                    return {Token::Kind::Other, {}};
                }
                const size_t end = find('>');
                Token t{Token::Kind::Hex, text(start + 1, end)};
                pos_ = std::min(end + 1, s_.size());
                return t;
            }
            case '[': return {Token::Kind::ArrayOpen, text(start, pos_)};
            case ']': return {Token::Kind::ArrayClose, text(start, pos_)};
            case '(': {
                unsigned depth = 1;
                while (pos_ < s_.size() && depth > 0) {
                    const std::uint8_t d = s_[pos_++];
                    if (d == '\\') {
                        ++pos_;
                    } else if (d == '(') {
                        if (++depth > kMaxStringNesting) break;
                    } else if (d == ')') {
                        --depth;
                    }
                }
                pos_ = std::min(pos_, s_.size());
                return {Token::Kind::Other, {}};
            }
            case '/': {
                while (pos_ < s_.size() && !is_ps_space(s_[pos_]) && !is_ps_delimiter(s_[pos_])) ++pos_;
                return {Token::Kind::Name, text(start + 1, pos_)};
            }
            default:
                if (is_ps_delimiter(c)) return {Token::Kind::Other, {}};  // > ) { } and >>
                while (pos_ < s_.size() && !is_ps_space(s_[pos_]) && !is_ps_delimiter(s_[pos_])) ++pos_;
                return {Token::Kind::Word, text(start, pos_)};
        }
    }
    void push_back(Token t) { pending_ = t; }

private:
    size_t find(std::uint8_t c) const {
        size_t i = pos_;
        while (i < s_.size() && s_[i] != c) ++i;
        return i;
    }
    std::string_view text(size_t from, size_t to) const {
        to = std::min(to, s_.size());
        return as_chars(s_.subspan(from, to - from));
    }

    Bytes s_;
    size_t pos_ = 0;
    std::optional<Token> pending_;
};

// Reads hex digits into `out` (white space and stray characters skipped; an odd last digit is
// followed by 0, ISO 32000-1, 7.3.4.3) and returns how many bytes they make, which may be more
// than `out` holds: the bytes past its end are dropped. The maps read thousands of these
// tokens, so no buffer is allocated for them.
size_t hex_bytes(std::string_view digits, std::span<std::uint8_t> out) {
    size_t n = 0;
    int first = -1;
    for (char ch : digits) {
        const int v = hex_value(static_cast<std::uint8_t>(ch));
        if (v < 0) continue;
        if (first < 0) {
            first = v;
            continue;
        }
        if (n < out.size()) out[n] = static_cast<std::uint8_t>(first * 16 + v);
        ++n;
        first = -1;
    }
    if (first >= 0) {
        if (n < out.size()) out[n] = static_cast<std::uint8_t>(first * 16);
        ++n;
    }
    return n;
}

// A code of 1 to 4 bytes from a hex token.
std::optional<CharCode> hex_code(const Token& t) {
    if (t.kind != Token::Kind::Hex) return std::nullopt;
    std::array<std::uint8_t, 4> b;
    const size_t n = hex_bytes(t.text, b);
    if (n == 0 || n > b.size()) return std::nullopt;
    CharCode c{0, static_cast<std::uint8_t>(n)};
    for (size_t k = 0; k < n; ++k) c.value = (c.value << 8) | b[k];
    return c;
}

// A destination string of a ToUnicode map can carry a whole ligature or a short phrase; more
// than this many bytes are not read.
constexpr size_t kMaxDestinationBytes = 4 * kMaxCodeChars;

// Adds the text of a destination token (hex UTF-16, or a glyph name) to the map; its index,
// or nothing when the token gives no text.
std::optional<std::uint32_t> add_text(CMap& m, const Token& t) {
    std::array<char32_t, kMaxCodeChars> buf;
    size_t n = 0;
    if (t.kind == Token::Kind::Hex) {
        std::array<std::uint8_t, kMaxDestinationBytes> b;
        size_t size = 0;
        int first = -1;
        for (char ch : t.text) {
            const int v = hex_value(static_cast<std::uint8_t>(ch));
            if (v < 0) continue;
            if (first < 0) {
                first = v;
            } else {
                if (size < b.size()) b[size++] = static_cast<std::uint8_t>(first * 16 + v);
                first = -1;
            }
        }
        n = decode_utf16(Bytes(b.data(), size), buf);
    } else if (t.kind == Token::Kind::Name) {
        n = glyph_name_to_unicode(t.text, buf);
    }
    if (n == 0) return std::nullopt;
    m.texts.push_back({static_cast<std::uint32_t>(m.chars.size()), static_cast<std::uint8_t>(n)});
    m.chars.insert(m.chars.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<std::uint32_t>(m.texts.size() - 1);
}

size_t mapping_count(const CMap& m) { return m.text_entries.size() + m.cid_entries.size(); }

// Reads the tokens of one begin...end section, one at a time: nothing at the end marker, at
// the end of the input, or at any other operator (left for the caller, so that a section
// without its end marker does not swallow the next one).
std::optional<Token> section_token(Lexer& lx, std::string_view end) {
    Token t = lx.next();
    if (t.kind == Token::Kind::End) return std::nullopt;
    if (t.kind == Token::Kind::Word && !(t.text[0] >= '0' && t.text[0] <= '9') && t.text[0] != '-') {
        if (t.text != end) lx.push_back(t);
        return std::nullopt;
    }
    return t;
}

std::optional<std::uint32_t> cid_number(const Token& t) {
    if (t.kind != Token::Kind::Word) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : t.text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xFFFFFFFF) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

void read_section(Lexer& lx, CMap& m, std::string_view op) {
    const bool bf = op == "beginbfchar" || op == "beginbfrange";
    const bool range = op == "beginbfrange" || op == "begincidrange" || op == "begincodespacerange";
    const std::string_view end = op == "beginbfchar"           ? "endbfchar"
                                 : op == "beginbfrange"        ? "endbfrange"
                                 : op == "begincidchar"        ? "endcidchar"
                                 : op == "begincidrange"       ? "endcidrange"
                                                               : "endcodespacerange";
    std::vector<CMap::Entry>& entries = bf ? m.text_entries : m.cid_entries;
    while (true) {
        std::optional<Token> a = section_token(lx, end);
        if (!a) return;
        std::optional<CharCode> lo = hex_code(*a);
        std::optional<CharCode> hi = lo;
        if (range) {
            std::optional<Token> b = section_token(lx, end);
            if (!b) return;
            hi = hex_code(*b);
        }
        if (op == "begincodespacerange") {
            if (lo && hi && lo->len == hi->len && m.codespace.size() < kMaxCodespaceRanges) {
                m.codespace.push_back({lo->len, lo->value, hi->value});
            }
            continue;
        }
        std::optional<Token> dst = section_token(lx, end);
        if (!dst) return;
        const bool usable = lo && hi && lo->len == hi->len && lo->value <= hi->value &&
                            mapping_count(m) < kMaxCMapMappings;
        if (dst->kind == Token::Kind::ArrayOpen) {
            // bfrange lo hi [d0 d1 ...]: code lo + k maps to dk.
            std::uint64_t code = lo ? lo->value : 0;
            while (true) {
                std::optional<Token> t = section_token(lx, end);
                if (!t || t->kind == Token::Kind::ArrayClose) break;
                if (!usable || code > hi->value || mapping_count(m) >= kMaxCMapMappings) continue;
                if (std::optional<std::uint32_t> text = add_text(m, *t)) {
                    const auto c = static_cast<std::uint32_t>(code);
                    entries.push_back({lo->len, false, c, c, *text, c});
                }
                ++code;
            }
            continue;
        }
        if (!usable) continue;
        if (bf) {
            if (std::optional<std::uint32_t> text = add_text(m, *dst)) {
                entries.push_back({lo->len, true, lo->value, hi->value, *text, lo->value});
            }
        } else if (std::optional<std::uint32_t> cid = cid_number(*dst)) {
            entries.push_back({lo->len, true, lo->value, hi->value, *cid, lo->value});
        }
    }
}

// Sorts entries by (len, lo) and cuts overlaps so that each code keeps the mapping given last
// (the entry with the highest index before sorting).
void resolve_overlaps(std::vector<CMap::Entry>& entries) {
    auto by_code = [](const CMap::Entry& a, const CMap::Entry& b) {
        return std::pair{a.len, a.lo} < std::pair{b.len, b.lo};
    };
    std::vector<CMap::Entry> original = entries;
    std::stable_sort(entries.begin(), entries.end(), by_code);
    bool overlap = false;
    for (size_t i = 1; i < entries.size() && !overlap; ++i) {
        overlap = entries[i].len == entries[i - 1].len && entries[i].lo <= entries[i - 1].hi;
    }
    if (!overlap) return;
    struct Event {
        std::uint8_t len;
        std::uint64_t pos;
        std::uint32_t index;
        bool add;
    };
    std::vector<Event> events;
    events.reserve(2 * original.size());
    for (size_t i = 0; i < original.size(); ++i) {
        const auto idx = static_cast<std::uint32_t>(i);
        events.push_back({original[i].len, original[i].lo, idx, true});
        events.push_back({original[i].len, std::uint64_t{original[i].hi} + 1, idx, false});
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return std::pair{a.len, a.pos} < std::pair{b.len, b.pos};
    });
    entries.clear();
    std::set<std::uint32_t> active;
    for (size_t e = 0; e < events.size();) {
        const std::uint8_t len = events[e].len;
        const std::uint64_t pos = events[e].pos;
        for (; e < events.size() && events[e].len == len && events[e].pos == pos; ++e) {
            if (events[e].add) {
                active.insert(events[e].index);
            } else {
                active.erase(events[e].index);
            }
        }
        if (active.empty() || e == events.size() || events[e].len != len) continue;
        const CMap::Entry& owner = original[*active.rbegin()];
        const auto lo = static_cast<std::uint32_t>(pos);
        const auto hi = static_cast<std::uint32_t>(events[e].pos - 1);
        if (!entries.empty() && entries.back().len == len && entries.back().hi + std::uint64_t{1} == lo &&
            entries.back().value == owner.value && entries.back().origin == owner.origin &&
            entries.back().increment == owner.increment) {
            entries.back().hi = hi;
        } else {
            CMap::Entry piece = owner;
            piece.lo = lo;
            piece.hi = hi;
            entries.push_back(piece);
        }
    }
}

const CMap::Entry* find_entry(const std::vector<CMap::Entry>& entries, CharCode code) {
    auto it = std::upper_bound(entries.begin(), entries.end(), std::pair{code.len, code.value},
                               [](const auto& key, const CMap::Entry& e) { return key < std::pair{e.len, e.lo}; });
    if (it == entries.begin()) return nullptr;
    --it;
    if (it->len != code.len || code.value > it->hi) return nullptr;
    return &*it;
}

bool codespace_holds(const CodespaceRange& r, Bytes code) {
    for (size_t k = 0; k < r.len; ++k) {
        const unsigned shift = 8 * static_cast<unsigned>(r.len - 1 - k);
        const std::uint8_t lo = static_cast<std::uint8_t>(r.lo >> shift);
        const std::uint8_t hi = static_cast<std::uint8_t>(r.hi >> shift);
        if (code[k] < lo || code[k] > hi) return false;
    }
    return true;
}

}  // namespace

// ---- CMaps ----

CMap parse_cmap(Bytes stream_bytes) {
    CMap m;
    Lexer lx(stream_bytes);
    Token prev;
    while (true) {
        const Token t = lx.next();
        if (t.kind == Token::Kind::End) break;
        if (t.kind == Token::Kind::Word) {
            if (t.text == "beginbfchar" || t.text == "beginbfrange" || t.text == "begincidchar" ||
                t.text == "begincidrange" || t.text == "begincodespacerange") {
                read_section(lx, m, t.text);
            } else if (t.text == "usecmap" && prev.kind == Token::Kind::Name) {
                m.use_cmap = std::string(prev.text);
            }
        } else if (t.kind == Token::Kind::Name && t.text == "WMode") {
            const Token v = lx.next();
            m.vertical = v.kind == Token::Kind::Word && v.text == "1";
        }
        prev = t;
    }
    finish_cmap(m);
    return m;
}

void finish_cmap(CMap& cmap) {
    resolve_overlaps(cmap.text_entries);
    resolve_overlaps(cmap.cid_entries);
    cmap.text_lengths = 0;
    for (const CMap::Entry& e : cmap.text_entries) cmap.text_lengths |= static_cast<std::uint8_t>(1u << (e.len - 1));
}

void use_cmap(CMap& child, const CMap& parent) {
    // The parent's codespace ranges stay in force beside the child's own.
    for (const CodespaceRange& r : parent.codespace) {
        if (child.codespace.size() >= kMaxCodespaceRanges) break;
        child.codespace.push_back(r);
    }
    const auto text_base = static_cast<std::uint32_t>(child.texts.size());
    const auto char_base = static_cast<std::uint32_t>(child.chars.size());
    for (CMap::Text t : parent.texts) child.texts.push_back({t.offset + char_base, t.size});
    child.chars.insert(child.chars.end(), parent.chars.begin(), parent.chars.end());
    std::vector<CMap::Entry> text = parent.text_entries;
    for (CMap::Entry& e : text) e.value += text_base;
    text.insert(text.end(), child.text_entries.begin(), child.text_entries.end());
    child.text_entries = std::move(text);
    std::vector<CMap::Entry> cid = parent.cid_entries;
    cid.insert(cid.end(), child.cid_entries.begin(), child.cid_entries.end());
    child.cid_entries = std::move(cid);
    finish_cmap(child);
}

std::optional<CharCode> CMap::next_code(Bytes s, size_t pos) const {
    if (codespace.empty()) return std::nullopt;
    const size_t left = s.size() - pos;
    std::uint8_t shortest = 4, shortest_first = 0;
    for (std::uint8_t n = 1; n <= 4; ++n) {
        for (const CodespaceRange& r : codespace) {
            if (r.len != n) continue;
            shortest = std::min(shortest, n);
            if (n <= left && codespace_holds(r, s.subspan(pos, n))) {
                std::uint32_t v = 0;
                for (size_t k = 0; k < n; ++k) v = (v << 8) | s[pos + k];
                return CharCode{v, n};
            }
            // A range whose first byte matches: the code is probably of this length.
            if (shortest_first == 0 && codespace_holds({1, r.lo >> (8 * (n - 1)), r.hi >> (8 * (n - 1))},
                                                       s.subspan(pos, 1))) {
                shortest_first = n;
            }
        }
    }
    const std::uint8_t n = static_cast<std::uint8_t>(
        std::min<size_t>(shortest_first ? shortest_first : shortest, left));
    std::uint32_t v = 0;
    for (size_t k = 0; k < n; ++k) v = (v << 8) | s[pos + k];
    return CharCode{v, n};
}

size_t CMap::lookup_text(CharCode code, std::span<char32_t, kMaxCodeChars> out) const {
    const CMap::Entry* e = nullptr;
    if (text_lengths & (1u << (code.len - 1))) {
        e = find_entry(text_entries, code);
    } else {
        for (std::uint8_t n = 1; n <= 4 && !e; ++n) {
            if ((text_lengths & (1u << (n - 1))) && (n == 4 || code.value >> (8 * n) == 0)) {
                e = find_entry(text_entries, {code.value, n});
            }
        }
    }
    if (!e) return 0;
    const Text t = texts[e->value];
    std::copy_n(chars.begin() + t.offset, t.size, out.begin());
    if (e->increment && code.value != e->origin) {
        const std::uint64_t last = std::uint64_t{out[t.size - 1]} + (code.value - e->origin);
        out[t.size - 1] = last <= 0x10FFFF && is_scalar_value(static_cast<std::uint32_t>(last))
                              ? static_cast<char32_t>(last)
                              : kReplacement;
    }
    return t.size;
}

std::optional<std::uint32_t> CMap::lookup_cid(CharCode code) const {
    const CMap::Entry* e = find_entry(cid_entries, code);
    if (!e) return std::nullopt;
    return e->value + (code.value - e->origin);
}

std::optional<CMap> predefined_cmap(std::string_view name, std::string_view* collection) {
    CMap m;
    if (name == "Identity-H" || name == "Identity-V") {
        m.codespace.push_back({2, 0, 0xFFFF});
        m.cid_entries.push_back({2, true, 0, 0xFFFF, 0, 0});
        m.vertical = name == "Identity-V";
        return m;
    }
    // The Unicode CMaps: codes are UTF-16 (UCS-2 without surrogate pairs) and the collection is
    // named by the prefix.
    static constexpr std::pair<std::string_view, std::string_view> kUnicodePrefixes[] = {
        {"UniCNS-", "Adobe-CNS1"}, {"UniGB-", "Adobe-GB1"}, {"UniJIS-", "Adobe-Japan1"},
        {"UniKS-", "Adobe-Korea1"}};
    for (const auto& [prefix, coll] : kUnicodePrefixes) {
        if (!name.starts_with(prefix)) continue;
        const bool utf16 = name.find("UTF16") != std::string_view::npos;
        if (!utf16 && name.find("UCS2") == std::string_view::npos) break;
        if (collection) *collection = coll;
        m.codespace.push_back({2, 0, 0xFFFF});
        if (utf16) m.codespace = {{2, 0, 0xD7FF}, {4, 0xD800DC00, 0xDBFFDFFF}, {2, 0xE000, 0xFFFF}};
        m.vertical = name.ends_with("-V");
        return m;
    }
    const std::span<const data::PredefinedCMap> all = data::predefined_cmaps;
    const data::PredefinedCMap* found = nullptr;
    for (unsigned depth = 0; depth <= kMaxUseCMapDepth; ++depth) {
        auto it = std::lower_bound(all.begin(), all.end(), name,
                                   [](const data::PredefinedCMap& p, std::string_view n) { return p.name < n; });
        if (it == all.end() || it->name != name) break;
        if (!found) {
            found = &*it;
            m.vertical = it->wmode == 1;
            if (collection) *collection = it->collection;
        }
        // Ancestors go below what is already there.
        CMap level;
        for (const data::CodeRange& r : it->codespace) level.codespace.push_back({r.len, r.lo, r.hi});
        level.cid_entries.reserve(it->ranges.size());
        for (const data::CidRange& r : it->ranges) level.cid_entries.push_back({r.len, true, r.lo, r.hi, r.cid, r.lo});
        if (depth == 0) {
            m.codespace = std::move(level.codespace);
            m.cid_entries = std::move(level.cid_entries);
            finish_cmap(m);
        } else {
            use_cmap(m, level);
        }
        if (it->parent.empty()) break;
        name = it->parent;
    }
    if (!found) return std::nullopt;
    return m;
}

// ---- Fonts ----

namespace {

// The standard font of a family alias and style.
const data::Std14Font* std14_by_name(std::string_view name) {
    const std::span<const data::Std14Font> all = data::std14_fonts;
    auto it = std::lower_bound(all.begin(), all.end(), name,
                               [](const data::Std14Font& f, std::string_view n) { return f.name < n; });
    return it != all.end() && it->name == name ? &*it : nullptr;
}

std::optional<std::uint16_t> std14_width(const data::Std14Font& font, std::string_view glyph) {
    auto it = std::lower_bound(font.widths.begin(), font.widths.end(), glyph,
                               [](const data::GlyphWidth& g, std::string_view n) { return g.name < n; });
    if (it == font.widths.end() || it->name != glyph) return std::nullopt;
    return it->width;
}

std::string_view strip_subset_tag(std::string_view n) {
    // A subset tag: six capital letters and a plus sign (ISO 32000-1, 9.6.4).
    if (n.size() > 7 && n[6] == '+' &&
        std::all_of(n.begin(), n.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
        n.remove_prefix(7);
    }
    return n;
}

// The glyph name of a one-byte code of a simple font: Differences, else the base encoding,
// else the embedded program's own encoding; empty for none.
std::string_view glyph_name_of(const FontInfo& font, std::uint8_t code) {
    if (font.differences) {
        if (auto it = font.differences->find(code); it != font.differences->end()) return as_chars(it->second);
    }
    if (font.base_encoding) return font.base_encoding[code];
    if (font.program_encoding && code < font.program_encoding->size()) return (*font.program_encoding)[code];
    return {};
}

// The text of every code of the named encodings by its glyph name, read with and without the
// Zapf Dingbats list, worked out once per process: most simple fonts have one of these as their
// base encoding, and reading 256 glyph names for each such font costs more than the rest of
// loading it.
struct EncodingText {
    std::array<std::array<char32_t, kMaxCodeChars>, 256> chars{};
    std::array<std::uint8_t, 256> size{};
};
const EncodingText* encoding_text(const std::string_view* encoding, bool dingbats) {
    static const std::array<const std::string_view*, 5> kEncodings = {
        data::standard_encoding.data(), data::winansi_encoding.data(), data::macroman_encoding.data(),
        data::symbol_encoding.data(), data::zapfdingbats_encoding.data()};
    static const std::array<EncodingText, 2 * kEncodings.size()> kTexts = [] {
        std::array<EncodingText, 2 * kEncodings.size()> texts;
        for (size_t e = 0; e < kEncodings.size(); ++e) {
            for (size_t code = 0; code < 256; ++code) {
                for (const bool d : {false, true}) {
                    EncodingText& t = texts[2 * e + (d ? 1 : 0)];
                    t.size[code] = static_cast<std::uint8_t>(
                        glyph_name_to_unicode(kEncodings[e][code], t.chars[code], d));
                }
            }
        }
        return texts;
    }();
    for (size_t e = 0; e < kEncodings.size(); ++e) {
        if (kEncodings[e] == encoding) return &kTexts[2 * e + (dingbats ? 1 : 0)];
    }
    return nullptr;
}

// The text of a simple font's code without ToUnicode: from the base encoding's table (`named`,
// null without one) unless Differences names the code, else by its glyph name (see
// glyph_name_of); 0 when that gives no character. The font's tables look `named` and
// `differs` up once for all 256 codes.
size_t glyph_text(const FontInfo& font, const EncodingText* named, bool differs, std::uint8_t code,
                  std::span<char32_t, kMaxCodeChars> out) {
    if (!differs && named) {
        std::copy_n(named->chars[code].begin(), named->size[code], out.begin());
        return named->size[code];
    }
    const std::string_view glyph = glyph_name_of(font, code);
    return glyph.empty() ? 0 : glyph_name_to_unicode(glyph, out, font.dingbats);
}

// A code without text stands for itself, a control code for the replacement character.
size_t text_or_code(std::uint8_t code, size_t n, std::span<char32_t, kMaxCodeChars> out) {
    if (n > 0) return n;
    out[0] = (code < 0x20 || code == 0x7F) ? kReplacement : code;
    return 1;
}

size_t decode_simple(const FontInfo& font, std::uint8_t code, std::span<char32_t, kMaxCodeChars> out) {
    if (font.to_unicode) {
        if (size_t n = font.to_unicode->lookup_text({code, 1}, out)) return n;
    }
    const EncodingText* named = font.base_encoding ? encoding_text(font.base_encoding, font.dingbats) : nullptr;
    const bool differs = font.differences && font.differences->contains(code);
    return text_or_code(code, glyph_text(font, named, differs, code, out), out);
}

double simple_width(const FontInfo& font, std::uint32_t code) {
    if (code >= font.first_char && code - font.first_char < font.widths.size()) {
        return font.widths[code - font.first_char] * font.width_scale;
    }
    if (font.widths.empty() && font.std14 && code < 256) {
        if (auto w = std14_width(*font.std14, glyph_name_of(font, static_cast<std::uint8_t>(code)))) return *w;
    }
    return font.missing_width * font.width_scale;
}

char32_t collection_unicode(const data::CidCollection& c, std::uint32_t cid) {
    auto it = std::upper_bound(c.runs.begin(), c.runs.end(), cid,
                               [](std::uint32_t v, const data::CidUnicodeRun& r) { return v < r.cid; });
    if (it == c.runs.begin()) return 0;
    --it;
    if (cid - it->cid >= it->count) return 0;
    return it->unicode + (cid - it->cid);
}

}  // namespace

const data::Std14Font* standard_font(std::string_view base_font) {
    std::string_view n = strip_subset_tag(base_font);
    if (const data::Std14Font* exact = std14_by_name(n)) return exact;
    // Family aliases (Windows and PostScript names of the same designs), then the style.
    static constexpr std::pair<std::string_view, std::string_view> kFamilies[] = {
        {"Arial", "Helvetica"},        {"Helvetica", "Helvetica"}, {"TimesNewRoman", "Times"},
        {"Times", "Times"},            {"CourierNew", "Courier"},  {"Courier", "Courier"},
        {"Symbol", "Symbol"},          {"ZapfDingbats", "ZapfDingbats"}};
    for (const auto& [alias, family] : kFamilies) {
        if (!n.starts_with(alias)) continue;
        const std::string_view rest = n.substr(alias.size());
        if (!rest.empty() && rest[0] != ',' && rest[0] != '-' && !rest.starts_with("MT") && !rest.starts_with("PS")) continue;
        if (family == "Symbol" || family == "ZapfDingbats") return std14_by_name(family);
        const bool bold = rest.find("Bold") != std::string_view::npos;
        const bool italic = rest.find("Italic") != std::string_view::npos || rest.find("Oblique") != std::string_view::npos;
        std::string name(family);
        if (family == "Times") {
            name += bold ? (italic ? "-BoldItalic" : "-Bold") : (italic ? "-Italic" : "-Roman");
        } else if (bold || italic) {
            name += bold ? (italic ? "-BoldOblique" : "-Bold") : "-Oblique";
        }
        return std14_by_name(name);
    }
    return nullptr;
}

char32_t FontInfo::decode_char(const std::uint8_t* code, size_t len) const {
    Code c{0, static_cast<std::uint8_t>(std::clamp<size_t>(len, 1, 4))};
    for (size_t k = 0; k < c.len; ++k) c.value = (c.value << 8) | code[k];
    std::array<char32_t, kMaxCodeChars> out;
    decode_code(c, out);
    return out[0];
}

FontInfo::Code FontInfo::next_code(Bytes s, size_t pos) const {
    if (!is_type0) return {s[pos], 1};
    if (encoding) {
        if (std::optional<Code> c = encoding->next_code(s, pos)) return *c;
    }
    if (s.size() - pos >= 2) return {static_cast<std::uint32_t>((s[pos] << 8) | s[pos + 1]), 2};
    return {s[pos], 1};
}

std::uint32_t FontInfo::cid_of(Code code) const {
    if (!encoding) return code.value;
    if (unicode_to_cid) {
        std::array<char32_t, kMaxCodeChars> u;
        std::array<std::uint8_t, 4> b{};
        for (std::uint8_t k = 0; k < code.len; ++k) b[k] = static_cast<std::uint8_t>(code.value >> (8 * (code.len - 1 - k)));
        if (decode_utf16(Bytes(b.data(), code.len), u) == 0) return 0;
        auto it = std::lower_bound(unicode_to_cid->begin(), unicode_to_cid->end(), std::pair{u[0], std::uint32_t{0}});
        return it != unicode_to_cid->end() && it->first == u[0] ? it->second : 0;
    }
    return encoding->lookup_cid(code).value_or(0);
}

size_t FontInfo::decode_code(Code code, std::span<char32_t, kMaxCodeChars> out) const {
    size_t n = 0;
    if (!is_type0 && code.len == 1) {
        if (single_byte_ready) {
            const std::uint8_t b = static_cast<std::uint8_t>(code.value);
            n = single_size[b];
            if (n == 0 && deferred_program) return deferred_program->font().decode_code(code, out);  // see FontInfo
            std::copy_n(single_text.begin() + single_offset[b], n, out.begin());
            return n;
        }
        n = decode_simple(*this, static_cast<std::uint8_t>(code.value), out);
    } else {
        if (to_unicode) n = to_unicode->lookup_text(code, out);
        if (n == 0 && is_type0) {
            if (codes_are_utf16) {
                std::array<std::uint8_t, 4> b{};
                for (std::uint8_t k = 0; k < code.len; ++k) b[k] = static_cast<std::uint8_t>(code.value >> (8 * (code.len - 1 - k)));
                n = decode_utf16(Bytes(b.data(), code.len), out);
            } else if (cid) {
                const std::uint32_t c = cid_of(code);
                char32_t u = 0;
                if (cid->collection) u = collection_unicode(*cid->collection, c);
                if (u == 0 && cid->gid_unicode) {
                    const std::uint32_t gid = cid->cid_to_gid.empty() ? c : (c < cid->cid_to_gid.size() ? cid->cid_to_gid[c] : 0);
                    if (gid < cid->gid_unicode->size()) u = (*cid->gid_unicode)[gid];
                }
                // Last, the CID read as a code point, as other readers do for a font that
                // gives no other clue (Adobe-Identity without ToUnicode or usable cmap).
                if (u == 0 && !cid->collection && c >= 0x20 && is_scalar_value(c)) u = static_cast<char32_t>(c);
                if (u != 0) {
                    out[0] = u;
                    n = 1;
                }
            }
        }
        if (n == 0) {
            out[0] = code.len == 1 && code.value >= 0x20 && code.value != 0x7F ? static_cast<char32_t>(code.value) : kReplacement;
            n = 1;
        }
    }
    return expand_ligatures(out, n);
}

double FontInfo::glyph_width(std::uint32_t code) const {
    if (!is_type0) {
        if (single_byte_ready && code < 256) {
            return program_widths[code] && deferred_program ? deferred_program->font().glyph_width(code) : single_width[code];
        }
        return simple_width(*this, code);
    }
    if (!cid) return missing_width;
    // The code's length is not passed in; codespace ranges never make one value a code of two
    // lengths, so the shortest length that maps the value is the code's.
    std::uint32_t c = 0;
    if (!encoding) {
        c = code;
    } else if (unicode_to_cid) {
        c = cid_of({code, static_cast<std::uint8_t>(code > 0xFFFF ? 4 : 2)});
    } else {
        for (std::uint8_t len = code > 0xFFFFFF ? 4 : code > 0xFFFF ? 3 : code > 0xFF ? 2 : 1; len <= 4; ++len) {
            if (std::optional<std::uint32_t> found = encoding->lookup_cid({code, len})) {
                c = *found;
                break;
            }
        }
    }
    const std::vector<CIDWidthRange>& ranges = cid->widths;
    // The last range starting at or below the CID.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                               [](std::uint32_t v, const CIDWidthRange& r) { return v < r.start; });
    if (it == ranges.begin()) return cid->default_width;
    --it;
    const std::uint64_t offset = c - it->start;
    if (offset >= it->size() || it->widths.empty()) return cid->default_width;
    return it->uniform ? it->widths.front() : it->widths[offset];
}

namespace {

// The codes of a simple font that its base encoding (named, or the program's own) names: those
// Differences leaves alone, and among them those whose text ToUnicode does not give.
struct BaseCodes {
    std::bitset<256> named;
    std::bitset<256> text;
};

// finish_font_info, which also tells which codes depend on the base encoding when `base` is
// not null.
void fill_single_byte_tables(FontInfo& font, BaseCodes* base) {
    // Every code is decoded the way decode_simple does it, with what does not depend on the
    // code (the named encoding's table, the codes Differences names) looked up once.
    const EncodingText* named = font.base_encoding ? encoding_text(font.base_encoding, font.dingbats) : nullptr;
    std::bitset<256> differs;
    if (font.differences) {
        for (const auto& entry : *font.differences) differs.set(entry.first);
    }
    std::array<char32_t, 256 * kMaxCodeChars> text;
    size_t used = 0;
    for (size_t b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        const std::span<char32_t, kMaxCodeChars> out(text.data() + used, kMaxCodeChars);
        size_t n = font.to_unicode ? font.to_unicode->lookup_text({byte, 1}, out) : 0;
        if (base) {
            base->named[b] = !differs[b];
            base->text[b] = !differs[b] && n == 0;
        }
        if (n == 0) n = text_or_code(byte, glyph_text(font, named, differs[b], byte, out), out);
        if (std::any_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), is_ligature)) {
            n = expand_ligatures(out, n);
        }
        font.single_offset[b] = static_cast<std::uint16_t>(used);
        font.single_size[b] = static_cast<std::uint8_t>(n);
        used += n;
    }
    font.single_text.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(used));
    for (size_t b = 0; b < 256; ++b) {
        font.single_width[b] = simple_width(font, static_cast<std::uint32_t>(b));
        font.single_advance[b] = font.single_width[b] / 1000.0;
    }
    font.single_byte_ready = true;
}

}  // namespace

void finish_font_info(FontInfo& font) { fill_single_byte_tables(font, nullptr); }

// ---- Building fonts from the file ----

namespace {

double number_or(const Resolved& obj, double fallback) {
    if (!obj) return fallback;
    std::optional<double> v = obj->as_number();
    return v && std::isfinite(*v) ? *v : fallback;
}

std::string_view name_of(const Resolved& obj) {
    if (!obj) return {};
    std::optional<Bytes> n = obj->as_name();
    return n ? as_chars(*n) : std::string_view{};
}

// The decoded bytes of a stream; the raw bytes when its filters fail.
std::optional<ByteVec> stream_bytes(const Document& doc, const PdfObject& obj) {
    const PdfStream* stream = obj.stream();
    if (!stream) return std::nullopt;
    if (const Resolved filter = doc.resolve_key(&obj, "Filter")) {
        if (Result<ByteVec> d = decompress_stream(stream->data, *filter)) return std::move(*d);
    }
    return ByteVec(stream->data.begin(), stream->data.end());
}

// Reads a Differences array: integers set the running code, names map it and advance it,
// both modulo 256; other elements are ignored. Absent when nothing was mapped.
std::optional<std::unordered_map<std::uint8_t, std::vector<std::uint8_t>>> read_differences(
    const Document& doc, const Resolved& diffs) {
    const PdfArray* arr = diffs ? diffs->array() : nullptr;
    if (!arr) return std::nullopt;
    std::unordered_map<std::uint8_t, std::vector<std::uint8_t>> map;
    std::uint8_t code = 0;
    for (const PdfObject& item : *arr) {
        const Resolved el = doc.resolve(&item);
        if (!el) continue;
        if (std::optional<std::int64_t> n = el->as_int()) {
            code = static_cast<std::uint8_t>(*n);  // modulo 256, negative values included
        } else if (std::optional<Bytes> name = el->as_name()) {
            map.insert_or_assign(code, std::vector<std::uint8_t>(name->begin(), name->end()));
            code = static_cast<std::uint8_t>(code + 1);
        }
    }
    if (map.empty()) return std::nullopt;
    return map;
}

const std::string_view* named_encoding(std::string_view name) {
    if (name == "StandardEncoding") return data::standard_encoding.data();
    if (name == "WinAnsiEncoding") return data::winansi_encoding.data();
    if (name == "MacRomanEncoding") return data::macroman_encoding.data();
    return nullptr;
}

const data::CidCollection* find_collection(std::string_view name) {
    for (const data::CidCollection& c : data::cid_collections) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

void read_cid_widths(const Document& doc, const Resolved& w, CIDFontInfo& info) {
    const PdfArray* arr = w ? w->array() : nullptr;
    if (!arr) return;
    const PdfArray& a = *arr;
    const auto at = [&](size_t i) { return doc.resolve(&a[i]); };
    const auto number_at = [&](size_t i) { return i < a.size() ? number_or(at(i), 0.0) : 0.0; };
    for (size_t i = 0; i < a.size();) {
        const Resolved first = at(i);
        const std::optional<std::int64_t> s = first ? first->as_int() : std::nullopt;
        if (!s) {
            i += 1;
            continue;
        }
        if (i + 1 >= a.size()) break;
        const auto start = static_cast<std::uint32_t>(*s);  // the low 32 bits
        const Resolved second = at(i + 1);
        if (const PdfArray* list = second ? second->array() : nullptr) {
            // c [w1 w2 ...]: consecutive codes from c.
            if (!list->empty()) {
                CIDWidthRange r;
                r.start = start;
                r.widths.reserve(list->size());
                for (const PdfObject& el : *list) r.widths.push_back(number_or(doc.resolve(&el), 0.0));
                r.count = r.widths.size();
                info.widths.push_back(std::move(r));
            }
            i += 2;
        } else if (const std::optional<std::int64_t> e = second ? second->as_int() : std::nullopt) {
            // c_first c_last w: kept as one uniform run, since the numbers may announce
            // billions of codes.
            if (*e >= *s) {
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
}

// The stream of the embedded font program named by a font descriptor (the first of FontFile,
// FontFile2 and FontFile3 that is a stream) and its key; null when there is none.
const PdfObject* program_stream(const Document& doc, const Resolved& descriptor, std::string_view* key) {
    if (!descriptor) return nullptr;
    for (std::string_view k : {"FontFile", "FontFile2", "FontFile3"}) {
        const Resolved file = doc.resolve_key(descriptor.get(), k);
        if (!file || !file->stream()) continue;
        if (key) *key = k;
        return file.get();  // the document keeps the object in place while it lives
    }
    return nullptr;
}

// The decoded bytes of a font program stream, within the size bound.
std::optional<ByteVec> program_bytes(const Document& doc, const PdfObject& stream) {
    std::optional<ByteVec> bytes = stream_bytes(doc, stream);
    if (!bytes || bytes->empty() || bytes->size() > kMaxFontProgramBytes) return std::nullopt;
    return bytes;
}

// The bytes of the embedded font program named by a font descriptor, within the size bound.
std::optional<ByteVec> font_program(const Document& doc, const Resolved& descriptor, std::string_view* key) {
    const PdfObject* stream = program_stream(doc, descriptor, key);
    return stream ? program_bytes(doc, *stream) : std::nullopt;
}

// The value stored under `key`, made by `make` on first use.
template <class T, class Make>
std::shared_ptr<const T> get_or_make(SharedCache<T>& shared, const void* key, Make make) {
    {
        std::shared_lock lock(shared.mutex);
        if (auto it = shared.map.find(key); it != shared.map.end()) return it->second;
    }
    std::shared_ptr<const T> value = make();  // no lock while building
    std::unique_lock lock(shared.mutex);
    // A racing thread may have stored an equal value first; every caller shares that one.
    return shared.map.try_emplace(key, std::move(value)).first->second;
}

// A predefined CMap with its character collection, as predefined_cmap gives them.
struct PredefinedMap {
    CMap map;
    std::string_view collection;
};

// predefined_cmap, shared for the names of the predefined table: building such a map merges
// and sorts its ranges with its parents', which every font that names it would pay again.
// They are kept for the process, one at most per entry of the table, which bounds them; other
// names (Identity, the Unicode maps, which hold no ranges) are built each time.
std::shared_ptr<const CMap> shared_predefined_cmap(std::string_view name, std::string_view* collection) {
    static SharedCache<PredefinedMap> kept;  // by table entry
    const std::span<const data::PredefinedCMap> all = data::predefined_cmaps;
    auto it = std::lower_bound(all.begin(), all.end(), name,
                               [](const data::PredefinedCMap& p, std::string_view n) { return p.name < n; });
    if (it == all.end() || it->name != name) {
        std::optional<CMap> m = predefined_cmap(name, collection);
        return m ? std::make_shared<const CMap>(std::move(*m)) : nullptr;
    }
    std::shared_ptr<const PredefinedMap> shared = get_or_make(kept, &*it, [&] {
        PredefinedMap made;
        made.map = predefined_cmap(name, &made.collection).value_or(CMap{});
        return std::make_shared<const PredefinedMap>(std::move(made));
    });
    if (collection) *collection = shared->collection;
    return std::shared_ptr<const CMap>(shared, &shared->map);
}

// Sets the encoding that an embedded program gives a simple font: its built-in one (read
// once per program stream through `encodings`), else StandardEncoding for a font not flagged
// symbolic; a program whose data is empty or too large leaves StandardEncoding to fonts
// flagged nonsymbolic or not flagged symbolic.
void read_program_encoding(FontInfo& font, const Document& doc, const ProgramSource& source,
                           SharedCache<std::vector<std::string>>& encodings) {
    if (std::optional<ByteVec> program = program_bytes(doc, *source.stream)) {
        font.program_encoding = get_or_make(encodings, source.stream, [&] {
            return builtin_encoding(*program, source.truetype, source.symbolic);
        });
        if (!font.program_encoding && !source.symbolic) font.base_encoding = data::standard_encoding.data();
    } else if (!source.symbolic || source.nonsymbolic) {
        font.base_encoding = data::standard_encoding.data();
    }
}

// The finished font of `info`, a simple font whose encoding its program completes. A code
// depends on the program unless Differences names its glyph, or ToUnicode gives its text and
// its width needs no glyph name (the font has Widths or no standard metrics); with no code
// depending on it, the program is never read.
std::shared_ptr<const FontInfo> font_with_program(FontInfo info, const Document& doc, const ProgramSource& source,
                                                  const std::shared_ptr<SharedCache<std::vector<std::string>>>& encodings) {
    FontInfo pending = info;
    BaseCodes base;
    fill_single_byte_tables(info, &base);
    const std::bitset<256>& text_waits = base.text;
    // Without Widths, a standard font's widths come by glyph name.
    if (info.widths.empty() && info.std14) info.program_widths = base.named;
    if (text_waits.none() && info.program_widths.none()) return std::make_shared<const FontInfo>(std::move(info));
    for (size_t code = 0; code < 256; ++code) {
        if (text_waits[code]) info.single_size[code] = 0;
    }
    info.deferred_program = std::make_shared<const DeferredProgram>(std::move(pending), doc, source, encodings);
    return std::make_shared<const FontInfo>(std::move(info));
}

}  // namespace

DeferredProgram::DeferredProgram(FontInfo font, const Document& doc, ProgramSource source,
                                 std::shared_ptr<Encodings> encodings)
    : pending_(std::move(font)), doc_(doc), source_(source), encodings_(std::move(encodings)) {}

const FontInfo& DeferredProgram::font() const {
    std::call_once(once_, [&] {
        FontInfo font = pending_;
        read_program_encoding(font, doc_, source_, *encodings_);
        finish_font_info(font);
        read_ = std::move(font);
    });
    return read_;
}

std::shared_ptr<const FontInfo> FontCache::font(const PdfObject& font, const Document& doc) {
    return get_or_make(fonts_, &font, [&] {
        FontInfo info;
        if (!font.dict()) {
            finish_font_info(info);
            return std::make_shared<const FontInfo>(std::move(info));
        }
        const std::string_view subtype = name_of(doc.resolve_key(&font, "Subtype"));
        info.is_type0 = subtype == "Type0";
        const std::string_view base_font = name_of(doc.resolve_key(&font, "BaseFont"));
        info.name = lossy_utf8(as_bytes(strip_subset_tag(base_font)));

        // ToUnicode: a stream (a name such as Identity-H here says nothing about text).
        if (const Resolved tu = doc.resolve_key(&font, "ToUnicode"); tu && tu->stream()) {
            info.to_unicode = get_or_make(cmaps_, tu.get(), [&] {
                std::optional<ByteVec> bytes = stream_bytes(doc, *tu);
                return std::make_shared<const CMap>(bytes ? parse_cmap(*bytes) : CMap{});
            });
        }

        const Resolved enc = doc.resolve_key(&font, "Encoding");
        if (info.is_type0) {
            std::string_view collection;
            if (std::string_view n = name_of(enc); !n.empty()) {
                if (n != "Identity-H" && n != "Identity-V") {
                    if (std::shared_ptr<const CMap> m = shared_predefined_cmap(n, &collection)) {
                        info.codes_are_utf16 = n.starts_with("Uni");
                        info.encoding = std::move(m);
                    }
                }
                info.vertical = n.ends_with("-V");
            } else if (enc && enc->stream()) {
                info.encoding = get_or_make(cmaps_, enc.get(), [&] {
                    std::optional<ByteVec> bytes = stream_bytes(doc, *enc);
                    CMap m = bytes ? parse_cmap(*bytes) : CMap{};
                    // The parent: /UseCMap in the stream dictionary, or usecmap in the body,
                    // naming a predefined map (an embedded parent is rare and not followed).
                    std::string_view parent = name_of(doc.resolve_key(enc.get(), "UseCMap"));
                    if (parent.empty()) parent = m.use_cmap;
                    if (!parent.empty()) {
                        if (std::optional<CMap> p = predefined_cmap(parent)) use_cmap(m, *p);
                    }
                    return std::make_shared<const CMap>(std::move(m));
                });
                info.vertical = info.encoding->vertical;
            }
            const Resolved descendants = doc.resolve_key(&font, "DescendantFonts");
            const PdfArray* arr = descendants ? descendants->array() : nullptr;
            const Resolved d = arr && !arr->empty() ? doc.resolve(&arr->front()) : Resolved{};
            if (d && d->dict()) {
                info.cid = get_or_make(cid_, d.get(), [&] {
                    CIDFontInfo c;
                    c.default_width = number_or(doc.resolve_key(d.get(), "DW"), 1000.0);
                    read_cid_widths(doc, doc.resolve_key(d.get(), "W"), c);
                    const Resolved sys = doc.resolve_key(d.get(), "CIDSystemInfo");
                    const Resolved reg = doc.resolve_key(sys.get(), "Registry");
                    const Resolved ord = doc.resolve_key(sys.get(), "Ordering");
                    if (reg && ord && reg->as_raw_string() && ord->as_raw_string()) {
                        const std::string coll = std::string(as_chars(*reg->as_raw_string())) + "-" +
                                                 std::string(as_chars(*ord->as_raw_string()));
                        c.collection = find_collection(coll);
                    }
                    if (!c.collection && !collection.empty()) c.collection = find_collection(collection);
                    // An embedded TrueType program: its cmap gives the text of a glyph. Read
                    // only for a font without ToUnicode (a descendant is nearly always named by
                    // one font), since reading a program costs far more than the rest.
                    const Resolved fd = doc.resolve_key(d.get(), "FontDescriptor");
                    std::string_view key;
                    std::optional<ByteVec> program;
                    if (!info.to_unicode && doc.resolve_key(fd.get(), "FontFile2")) program = font_program(doc, fd, &key);
                    if (program && key == "FontFile2") {
                        c.gid_unicode = truetype_glyph_unicode(*program);
                        const Resolved map = doc.resolve_key(d.get(), "CIDToGIDMap");
                        if (map && map->stream()) {
                            if (std::optional<ByteVec> b = stream_bytes(doc, *map)) {
                                c.cid_to_gid.resize(b->size() / 2);
                                for (size_t i = 0; i < c.cid_to_gid.size(); ++i) {
                                    c.cid_to_gid[i] = static_cast<std::uint16_t>(((*b)[2 * i] << 8) | (*b)[2 * i + 1]);
                                }
                            }
                        }
                    }
                    return std::make_shared<const CIDFontInfo>(std::move(c));
                });
                if (info.codes_are_utf16 && info.cid->collection) {
                    const data::CidCollection* coll = info.cid->collection;
                    info.unicode_to_cid = get_or_make(unicode_to_cid_, coll, [&] {
                        std::vector<std::pair<char32_t, std::uint32_t>> v;
                        for (const data::CidUnicodeRun& r : coll->runs) {
                            for (std::uint32_t k = 0; k < r.count; ++k) v.push_back({r.unicode + k, r.cid + k});
                        }
                        std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
                        return std::make_shared<const std::vector<std::pair<char32_t, std::uint32_t>>>(std::move(v));
                    });
                }
            }
            // No finish_font_info: a Type0 font decodes every code through its CMaps, so the
            // one-byte tables would never be read.
            return std::make_shared<const FontInfo>(std::move(info));
        }

        // Simple fonts (Type1, MMType1, TrueType, Type3).
        const bool type3 = subtype == "Type3";
        if (const Resolved w = doc.resolve_key(&font, "Widths")) {
            if (const PdfArray* arr = w->array()) {
                info.widths.reserve(arr->size());
                for (const PdfObject& el : *arr) {
                    const Resolved v = doc.resolve(&el);
                    if (std::optional<double> n = v ? v->as_number() : std::nullopt) info.widths.push_back(*n);
                }
            }
        }
        const std::int64_t first = doc.resolve_key(&font, "FirstChar") && doc.resolve_key(&font, "FirstChar")->as_int()
                                       ? *doc.resolve_key(&font, "FirstChar")->as_int()
                                       : 0;
        info.first_char = static_cast<std::uint32_t>(std::clamp<std::int64_t>(first, 0, 255));
        const Resolved fd = doc.resolve_key(&font, "FontDescriptor");
        info.missing_width = number_or(doc.resolve_key(fd.get(), "MissingWidth"),
                                       number_or(doc.resolve_key(&font, "DW"), 1000.0));
        if (type3) {
            const Resolved m = doc.resolve_key(&font, "FontMatrix");
            const PdfArray* arr = m ? m->array() : nullptr;
            const double a = arr && !arr->empty() ? number_or(doc.resolve(&arr->front()), 0.001) : 0.001;
            if (a != 0.0) info.width_scale = std::abs(a) * 1000.0;
        }
        info.std14 = type3 ? nullptr : standard_font(base_font);
        info.dingbats = (info.std14 && info.std14->name == "ZapfDingbats") ||
                        base_font.find("Dingbats") != std::string_view::npos;
        const std::int64_t flags = [&]() -> std::int64_t {
            const Resolved f = doc.resolve_key(fd.get(), "Flags");
            return f && f->as_int() ? *f->as_int() : 0;
        }();
        if (!type3 && info.widths.empty() && !info.std14) {
            // No Widths and no standard font: the metrics of the standard font nearest in
            // style (fixed pitch, serif, or sans serif).
            info.std14 = std14_by_name((flags & 1) ? "Courier" : (flags & 2) ? "Times-Roman" : "Helvetica");
        }

        // Encoding: a name, or a dictionary with BaseEncoding and Differences.
        if (std::string_view n = name_of(enc); !n.empty()) {
            info.base_encoding = named_encoding(n);
        } else if (enc && enc->dict()) {
            info.base_encoding = named_encoding(name_of(doc.resolve_key(enc.get(), "BaseEncoding")));
            info.differences = read_differences(doc, doc.resolve_key(enc.get(), "Differences"));
        }
        if (!info.base_encoding && !type3) {
            // The font's built-in encoding: Symbol's and ZapfDingbats' own, an embedded
            // program's, else StandardEncoding (a symbolic font without a program keeps its
            // codes).
            const std::string_view std_name = info.std14 ? info.std14->name : std::string_view{};
            std::string_view key;
            if (std_name == "Symbol" && standard_font(base_font)) {
                info.base_encoding = data::symbol_encoding.data();
            } else if (std_name == "ZapfDingbats" && standard_font(base_font)) {
                info.base_encoding = data::zapfdingbats_encoding.data();
            } else if (const PdfObject* program = subtype != "TrueType" || (flags & 4) ? program_stream(doc, fd, &key) : nullptr) {
                const ProgramSource source{program, key == "FontFile2", (flags & 4) != 0, (flags & 32) != 0};
                return font_with_program(std::move(info), doc, source, programs_);
            } else if (!(flags & 4) || (flags & 32)) {
                info.base_encoding = data::standard_encoding.data();
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
