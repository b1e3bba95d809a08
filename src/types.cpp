#include "types.h"

namespace vellix {

void append_utf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string lossy_utf8(Bytes b) {
    std::string out;
    out.reserve(b.size());
    size_t i = 0;
    const size_t n = b.size();
    while (i < n) {
        const std::uint8_t c = b[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte, as in the Unicode standard's
        // table of well-formed UTF-8 sequences; a maximal invalid prefix becomes one U+FFFD.
        size_t len = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
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
        }
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        size_t k = 1;
        while (k < len && i + k < n) {
            const std::uint8_t cc = b[i + k];
            const std::uint8_t l = (k == 1) ? lo : 0x80;
            const std::uint8_t h = (k == 1) ? hi : 0xBF;
            if (cc < l || cc > h) break;
            ++k;
        }
        if (k == len) {
            out.append(reinterpret_cast<const char*>(b.data() + i), len);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += k;
    }
    return out;
}

Bytes Arena::keep(std::vector<std::uint8_t> buffer) {
    std::lock_guard lock(mutex_);
    buffers_.push_back(std::move(buffer));
    const auto& b = buffers_.back();
    return {b.data(), b.size()};
}

Arena& process_arena() {
    static Arena* arena = new Arena();  // never destroyed: views may outlive static teardown
    return *arena;
}

const PdfObject* dict_get(const PdfDict& dict, std::string_view key) {
    for (const auto& e : dict) {
        if (as_chars(e.key) == key) return &e.value;
    }
    return nullptr;
}

const PdfDict* PdfObject::dict() const {
    if (auto* d = std::get_if<PdfDict>(&value)) return d;
    if (auto* s = std::get_if<PdfStream>(&value)) return &s->dict;
    return nullptr;
}

const PdfObject* PdfObject::get(std::string_view key) const {
    const PdfDict* d = dict();
    return d ? dict_get(*d, key) : nullptr;
}

std::optional<Bytes> PdfObject::as_name() const {
    if (auto* v = std::get_if<PdfName>(&value)) return v->bytes;
    return std::nullopt;
}

std::optional<bool> PdfObject::as_bool() const {
    if (auto* v = std::get_if<bool>(&value)) return *v;
    return std::nullopt;
}

std::optional<Bytes> PdfObject::as_raw_string() const {
    if (auto* v = std::get_if<PdfString>(&value)) return v->bytes;
    if (auto* v = std::get_if<PdfHexString>(&value)) return v->bytes;
    return std::nullopt;
}

bool PdfObject::is_name(std::string_view n) const {
    auto* v = std::get_if<PdfName>(&value);
    return v && as_chars(v->bytes) == n;
}

bool operator==(const PdfString& a, const PdfString& b) { return bytes_equal(a.bytes, b.bytes); }
bool operator==(const PdfHexString& a, const PdfHexString& b) {
    return bytes_equal(a.bytes, b.bytes);
}
bool operator==(const PdfName& a, const PdfName& b) { return bytes_equal(a.bytes, b.bytes); }
bool operator==(const DictEntry& a, const DictEntry& b) {
    return bytes_equal(a.key, b.key) && a.value == b.value;
}
bool operator==(const PdfStream& a, const PdfStream& b) {
    return a.dict == b.dict && bytes_equal(a.data, b.data);
}
bool operator==(const PdfObject& a, const PdfObject& b) { return a.value == b.value; }

namespace {
int hex_value(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::vector<std::uint8_t> decode_literal_string(Bytes raw) {
    std::vector<std::uint8_t> out;
    out.reserve(raw.size());
    size_t i = 0;
    const size_t n = raw.size();
    while (i < n) {
        std::uint8_t c = raw[i++];
        if (c == '\r') {
            // An end of line inside a string reads as a single line feed.
            if (i < n && raw[i] == '\n') ++i;
            out.push_back('\n');
            continue;
        }
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i >= n) break;  // a trailing lone backslash is dropped
        c = raw[i++];
        switch (c) {
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case '\r':
                if (i < n && raw[i] == '\n') ++i;
                break;  // line continuation
            case '\n': break;
            default:
                if (c >= '0' && c <= '7') {
                    unsigned v = c - '0';
                    for (int k = 0; k < 2 && i < n && raw[i] >= '0' && raw[i] <= '7'; ++k) {
                        v = v * 8 + (raw[i++] - '0');
                    }
                    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
                } else {
                    out.push_back(c);  // \( \) \\ and unknown escapes give the byte itself
                }
        }
    }
    return out;
}

std::vector<std::uint8_t> decode_hex_string(Bytes raw) {
    std::vector<std::uint8_t> out;
    out.reserve(raw.size() / 2 + 1);
    int high = -1;
    for (std::uint8_t c : raw) {
        const int v = hex_value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) out.push_back(static_cast<std::uint8_t>(high * 16));
    return out;
}

}  // namespace vellix
