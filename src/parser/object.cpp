#include "parser/object.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

namespace vellix {

// ---------------------------------------------------------------------------------------------
// Error texts. Every fixed text this module produces is in this block, next to the one function
// that renders errors, so that a change of wording is a change in one place.

namespace {

constexpr const char* kKindTexts[] = {
    "unexpected end of input",           // UnexpectedEof
    "unexpected byte: 0x",               // UnexpectedByte (prefix; the byte follows)
    "invalid number format",             // InvalidNumber
    "invalid hex string",                // InvalidHexString
    "invalid #XX escape in name",        // InvalidNameEscape
    "unbalanced parentheses in string",  // UnbalancedParentheses
    "stream missing /Length",            // StreamMissingLength
};
static_assert(std::size(kKindTexts) == static_cast<size_t>(ParseErrorKind::Message));

// Message texts raised by this module.
constexpr const char* kExpectedStreamKeyword = "expected 'stream' keyword";
constexpr const char* kNestingTooDeep = "object nesting too deep";

constexpr char kLowerHexDigits[] = "0123456789abcdef";

}  // namespace

std::string ParseError::display() const {
    if (kind == ParseErrorKind::Message) return text ? std::string(text) : std::string();
    const auto index = static_cast<size_t>(kind);
    if (index >= std::size(kKindTexts)) return std::string();
    std::string out = kKindTexts[index];
    if (kind == ParseErrorKind::UnexpectedByte) {
        out.push_back(kLowerHexDigits[byte >> 4]);
        out.push_back(kLowerHexDigits[byte & 0x0F]);
        out += " ('";
        // The byte shown as the code point of the same value (Latin-1 reading), UTF-8 encoded,
        // so that the text stays valid UTF-8 whatever the byte was.
        append_utf8(out, static_cast<char32_t>(byte));
        out += "')";
    }
    return out;
}

bool operator==(const ParseError& a, const ParseError& b) {
    if (a.kind != b.kind || a.byte != b.byte) return false;
    // Equal literals need not share an address across translation units: compare contents.
    if (a.text == b.text) return true;
    if (!a.text || !b.text) return false;
    return std::strcmp(a.text, b.text) == 0;
}

// ---------------------------------------------------------------------------------------------
// Byte classes. Our own tables rather than <cctype>, whose answers follow the C locale.

namespace {

// Bits 0, 9, 10, 13 and 32: NUL, tab, LF, CR, space. The form feed (12) is deliberately absent.
constexpr std::uint64_t kWhitespaceMask =
    (1ULL << 0x00) | (1ULL << 0x09) | (1ULL << 0x0A) | (1ULL << 0x0D) | (1ULL << 0x20);
// Every white-space byte and "%" are at or below this value; anything above is neither.
constexpr std::uint8_t kHighestSpaceOrComment = '%';

enum ByteClass : std::uint8_t {
    kTokenEnd = 1 << 0,  // white space and the ten delimiters
    kDigit = 1 << 1,
    kHexDigit = 1 << 2,
    kHexStringOk = 1 << 3,  // allowed inside <...>: hex digits and white space
    kNameEscape = 1 << 4,   // "#", which starts an escape in a name
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned b = 0; b <= kHighestSpaceOrComment; ++b) {
        if ((kWhitespaceMask >> b) & 1) t[b] |= kTokenEnd | kHexStringOk;
    }
    for (char c : std::string_view("%()/<>[]{}")) t[static_cast<std::uint8_t>(c)] |= kTokenEnd;
    for (unsigned b = '0'; b <= '9'; ++b) t[b] |= kDigit | kHexDigit | kHexStringOk;
    for (unsigned b = 'a'; b <= 'f'; ++b) t[b] |= kHexDigit | kHexStringOk;
    for (unsigned b = 'A'; b <= 'F'; ++b) t[b] |= kHexDigit | kHexStringOk;
    t['#'] |= kNameEscape;
    return t;
}
constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

inline bool has_class(std::uint8_t b, ByteClass c) { return (kByteClasses[b] & c) != 0; }
inline bool is_digit(std::uint8_t b) { return has_class(b, kDigit); }
inline bool is_delimiter_or_space(std::uint8_t b) { return has_class(b, kTokenEnd); }

inline int hex_digit_value(std::uint8_t b) {
    if (b <= '9') return b - '0';
    return (b | 0x20) - 'a' + 10;  // only called on bytes that passed the kHexDigit test
}

}  // namespace

bool is_pdf_whitespace(std::uint8_t b) {
    return b <= kHighestSpaceOrComment && ((kWhitespaceMask >> b) & 1) != 0;
}

bool is_token_end(std::uint8_t b) { return is_delimiter_or_space(b); }

void Cursor::skip_ws() {
    const size_t n = data.size();
    while (pos < n) {
        const std::uint8_t b = data[pos];
        if (b > kHighestSpaceOrComment) return;
        if ((kWhitespaceMask >> b) & 1) {
            ++pos;
        } else if (b == '%') {
            // A comment runs up to and including the first LF or CR. After a CR LF pair the LF
            // is then taken by the white-space branch above.
            ++pos;
            while (pos < n && data[pos] != '\n' && data[pos] != '\r') ++pos;
            if (pos < n) ++pos;
        } else {
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Readers. Each one starts with the cursor on the first byte of its token.

namespace {

// Most tokens are separated by one blank or none: settle those cases before the call.
inline void skip_ws_fast(Cursor& cur) {
    const size_t n = cur.data.size();
    if (cur.pos < n && cur.data[cur.pos] > kHighestSpaceOrComment) return;
    if (cur.pos + 1 < n && cur.data[cur.pos] == ' ' && cur.data[cur.pos + 1] > kHighestSpaceOrComment) {
        ++cur.pos;
        return;
    }
    cur.skip_ws();
}

// True when pos is at the end of the data or on a byte that ends a token.
inline bool token_ends_at(const Cursor& cur, size_t pos) {
    return pos >= cur.data.size() || is_delimiter_or_space(cur.data[pos]);
}

// The elements of the containers being read, innermost last. A container collects its elements
// here and then moves them into a vector of exactly the right size: one allocation per
// container instead of the several of a growing vector, and no spare capacity kept in the
// objects that documents cache. One per thread, so that parsing shares nothing between threads;
// it keeps its capacity between calls, up to kScratchKeptCapacity elements.
struct Scratch {
    std::vector<PdfObject> items;
    std::vector<DictEntry> entries;
};
constexpr size_t kScratchKeptCapacity = 4096;

Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// The part of a scratch vector that belongs to one container. Whatever happens (success,
// failure, an exception from an allocation), the vector is cut back to where the container
// found it, so an enclosing container sees only its own elements.
template <class T>
class ScratchFrame {
public:
    explicit ScratchFrame(std::vector<T>& stack) : stack_(stack), base_(stack.size()) {}
    ScratchFrame(const ScratchFrame&) = delete;
    ScratchFrame& operator=(const ScratchFrame&) = delete;
    ~ScratchFrame() { stack_.erase(begin(), stack_.end()); }

    void push(T&& value) { stack_.push_back(std::move(value)); }
    template <class... Args>
    void emplace(Args&&... args) {
        stack_.emplace_back(std::forward<Args>(args)...);
    }
    // The elements pushed since the frame began, in order, in a vector of exactly their count.
    std::vector<T> take() {
        return std::vector<T>(std::make_move_iterator(begin()),
                              std::make_move_iterator(stack_.end()));
    }

private:
    typename std::vector<T>::iterator begin() {
        return stack_.begin() + static_cast<std::ptrdiff_t>(base_);
    }

    std::vector<T>& stack_;
    size_t base_;
};

Result<PdfObject> parse_value(Cursor& cur, unsigned depth, Scratch& scratch);

// A result holding the object made from `value`, built in place: a PdfObject moved into a
// result costs a visit of the variant to move it and another to destroy the moved-from one.
template <class T>
Result<PdfObject> made(T&& value) {
    return Result<PdfObject>(std::in_place, std::forward<T>(value));
}

Result<PdfObject> parse_literal(Cursor& cur) {
    const std::uint8_t first = cur.peek();
    std::string_view word;
    if (first == 't') {
        word = "true";
    } else if (first == 'f') {
        word = "false";
    } else {
        word = "null";
    }
    if (!cur.starts_with(word) || !token_ends_at(cur, cur.pos + word.size())) {
        return std::unexpected(ParseError::unexpected_byte(first));
    }
    cur.pos += word.size();
    if (first == 'n') return made(PdfNull{});
    return made(first == 't');
}

Result<PdfObject> parse_literal_string(Cursor& cur) {
    const size_t start = ++cur.pos;  // past "("
    const size_t n = cur.data.size();
    const std::uint8_t* d = cur.data.data();
    std::uint32_t depth = 1;
    size_t i = start;
    while (i < n) {
        const std::uint8_t b = d[i];
        if (b == '\\') {
            // The escaped byte never counts, whatever it is; a trailing backslash runs off the
            // end and is reported as the end of input below.
            i += 2;
            continue;
        }
        if (b == '(') {
            if (depth == std::numeric_limits<std::uint32_t>::max()) {
                return std::unexpected(ParseError::of(ParseErrorKind::UnbalancedParentheses));
            }
            ++depth;
        } else if (b == ')') {
            if (--depth == 0) {
                cur.pos = i + 1;
                return made(PdfString{cur.data.subspan(start, i - start)});
            }
        }
        ++i;
    }
    return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
}

Result<PdfObject> parse_hex_string(Cursor& cur) {
    const size_t start = ++cur.pos;  // past "<"
    const size_t n = cur.data.size();
    for (size_t i = start; i < n; ++i) {
        const std::uint8_t b = cur.data[i];
        if (b == '>') {
            cur.pos = i + 1;
            return made(PdfHexString{cur.data.subspan(start, i - start)});
        }
        if (!has_class(b, kHexStringOk)) {
            cur.pos = i;
            return std::unexpected(ParseError::of(ParseErrorKind::InvalidHexString));
        }
    }
    cur.pos = n;
    return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
}

// The bytes of a name with "#" escapes, decoded and kept by the cursor's arena. Few names have
// escapes: this is kept out of the common path.
[[gnu::cold]] Result<Bytes> decode_name(Cursor& cur, Bytes raw) {
    std::vector<std::uint8_t> decoded;
    decoded.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        // A "#" with fewer than two bytes after it is an ordinary byte of the name.
        if (raw[i] == '#' && i + 2 < raw.size()) {
            const std::uint8_t hi = raw[i + 1], lo = raw[i + 2];
            if (!has_class(hi, kHexDigit) || !has_class(lo, kHexDigit)) {
                return std::unexpected(ParseError::of(ParseErrorKind::InvalidNameEscape));
            }
            decoded.push_back(static_cast<std::uint8_t>(hex_digit_value(hi) * 16 +
                                                        hex_digit_value(lo)));
            i += 3;
        } else {
            decoded.push_back(raw[i]);
            ++i;
        }
    }
    Arena& arena = cur.arena ? *cur.arena : process_arena();
    return arena.keep(std::move(decoded));
}

// Reads a name (the cursor on its "/") and returns its bytes: a view of the input when it has
// no "#", otherwise the decoded bytes kept by the cursor's arena.
Result<Bytes> parse_name(Cursor& cur) {
    const size_t start = ++cur.pos;  // past "/"
    const size_t n = cur.data.size();
    const std::uint8_t* d = cur.data.data();
    // The first scan stops at a "#" too, so a name without one is settled in one pass.
    constexpr std::uint8_t kNameStop = kTokenEnd | kNameEscape;
    size_t end = start;
    while (end < n && (kByteClasses[d[end]] & kNameStop) == 0) ++end;
    if (end == n || d[end] != '#') {
        cur.pos = end;
        return cur.data.subspan(start, end - start);
    }
    while (end < n && !is_delimiter_or_space(d[end])) ++end;
    cur.pos = end;
    return decode_name(cur, cur.data.subspan(start, end - start));
}

// The extent of an optional sign and a run of digits.
struct IntegerToken {
    size_t begin = 0;  // the sign, or the first digit
    size_t digits_begin = 0;
    size_t end = 0;  // just after the last digit
    bool negative = false;
    bool has_digits() const { return end > digits_begin; }
};

inline IntegerToken scan_integer(Bytes data, size_t i) {
    const size_t n = data.size();
    IntegerToken t;
    t.begin = i;
    if (i < n && (data[i] == '+' || data[i] == '-')) {
        t.negative = data[i] == '-';
        ++i;
    }
    t.digits_begin = i;
    while (i < n && is_digit(data[i])) ++i;
    t.end = i;
    return t;
}

// The value of a scanned integer. A digit string too large for a signed 64-bit value reads as 0
// (and then as 0 negated).
inline std::int64_t integer_value(Bytes data, const IntegerToken& t) {
    // Up to 18 digits always fit in a signed 64-bit value; only longer runs need checks.
    constexpr size_t kDigitsThatAlwaysFit = 18;
    const std::uint8_t* p = data.data() + t.digits_begin;
    size_t digits = t.end - t.digits_begin;
    std::uint64_t value = 0;
    if (digits <= kDigitsThatAlwaysFit) {
        for (size_t k = 0; k < digits; ++k) value = value * 10 + (p[k] - '0');
    } else {
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        while (digits > 0 && *p == '0') {  // leading zeros do not make a number larger
            ++p;
            --digits;
        }
        if (digits > kDigitsThatAlwaysFit + 1) return 0;
        for (size_t k = 0; k < digits; ++k) {
            const unsigned digit = p[k] - '0';
            if (value > (kMax - digit) / 10) return 0;
            value = value * 10 + digit;
        }
    }
    const auto v = static_cast<std::int64_t>(value);
    return t.negative ? -v : v;
}

// The value of a real whose conversion ran out of range: the correctly rounded result is an
// infinity or a zero. The sign of the decimal exponent of the leading significant digit tells
// which, since only values far from 1 (beyond 1e308 or below 1e-324) get here.
double out_of_range_real(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    // Significant digits before the point, or minus the zeros between the point and the first
    // significant digit after it.
    std::int64_t lead = 0;
    bool significant = false, after_point = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') {
            after_point = true;
        } else if (!after_point) {
            if (c != '0') significant = true;
            if (significant) ++lead;
        } else if (!significant) {
            if (c != '0') significant = true;
            else --lead;
        }
    }
    std::int64_t exponent = 0;
    if (i < text.size()) {
        ++i;  // past e or E
        bool exp_negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) exp_negative = text[i++] == '-';
        // Saturate far beyond any input length, so that lead + exponent cannot overflow.
        constexpr std::int64_t kExponentCap = std::int64_t{1} << 56;
        for (; i < text.size(); ++i) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
        }
        if (exp_negative) exponent = -exponent;
    }
    const bool overflow = significant && lead + exponent > 0;
    const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

Result<double> parse_real(Cursor& cur) {
    const size_t n = cur.data.size();
    const size_t p0 = cur.pos;
    size_t i = p0;
    auto skip_digits = [&] {
        while (i < n && is_digit(cur.data[i])) ++i;
    };
    if (i < n && (cur.data[i] == '+' || cur.data[i] == '-')) ++i;
    skip_digits();
    if (i < n && cur.data[i] == '.') {
        ++i;
        skip_digits();
    }
    if (i < n && (cur.data[i] == 'e' || cur.data[i] == 'E')) {
        ++i;
        if (i < n && (cur.data[i] == '+' || cur.data[i] == '-')) ++i;
        skip_digits();
    }
    cur.pos = i;

    std::string_view text = as_chars(cur.data.subspan(p0, i - p0));
    // from_chars takes a "-" but not a "+".
    std::string_view digits = (!text.empty() && text[0] == '+') ? text.substr(1) : text;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                           std::chars_format::general);
    if (end != digits.data() + digits.size()) {
        return std::unexpected(ParseError::of(ParseErrorKind::InvalidNumber));
    }
    if (ec == std::errc::result_out_of_range) {
        value = out_of_range_real(text);
    } else if (ec != std::errc()) {
        return std::unexpected(ParseError::of(ParseErrorKind::InvalidNumber));
    }
    return value;
}

// What a number token reads as: an integer, a real, or with the two tokens after it a reference.
// A plain value, so that callers build the PdfObject in its final place.
using Number = std::variant<std::int64_t, double, ObjectId>;

// Reads a number or a reference, the cursor on its first byte. `first`, when given, is the
// integer token at the cursor, already scanned. When the "n g R" lookahead scans an integer
// token that turns out not to belong to a reference, it is stored in `next`, so that a caller
// that reads on can take it as its own `first` instead of scanning it again.
Result<Number> read_number(Cursor& cur, const IntegerToken* first_scanned,
                           std::optional<IntegerToken>& next) {
    const size_t n = cur.data.size();
    // Copied before `next` is cleared: `first_scanned` may point into it.
    const IntegerToken first = first_scanned ? *first_scanned : scan_integer(cur.data, cur.pos);
    next.reset();

    // Classify: a point followed by a digit, a token end or the end of the data, or an
    // exponent letter, makes a real; anything else leaves an integer.
    const size_t i = first.end;
    if (i < n) {
        const std::uint8_t b = cur.data[i];
        const bool point_ends_number =
            b == '.' && (i + 1 >= n || is_digit(cur.data[i + 1]) ||
                         is_delimiter_or_space(cur.data[i + 1]));
        if (point_ends_number || b == 'e' || b == 'E') {
            VELLIX_TRY(real, parse_real(cur));
            return Number(*real);
        }
    }
    if (!first.has_digits()) return std::unexpected(ParseError::of(ParseErrorKind::InvalidNumber));
    const std::int64_t integer = integer_value(cur.data, first);
    const size_t p1 = first.end;
    cur.pos = p1;

    // "n g R" lookahead: anything short of a complete reference leaves the first integer alone.
    // The second integer is only scanned here; it is converted once a reference is certain,
    // and otherwise read as the next object by whoever continues.
    skip_ws_fast(cur);
    if (cur.at_end()) return Number(integer);
    const std::uint8_t b = cur.peek();
    if (!is_digit(b) && b != '+' && b != '-') return Number(integer);
    const IntegerToken second = scan_integer(cur.data, cur.pos);
    if (second.has_digits()) {
        cur.pos = second.end;
        skip_ws_fast(cur);
        if (!cur.at_end() && cur.peek() == 'R' && token_ends_at(cur, cur.pos + 1)) {
            ++cur.pos;
            // Only the low bits are kept; nothing checks the range.
            const std::int64_t second_value = integer_value(cur.data, second);
            return Number(ObjectId{static_cast<std::uint32_t>(integer), static_cast<std::uint16_t>(second_value)});
        }
        next = second;
    }
    cur.pos = p1;
    return Number(integer);
}

Result<PdfObject> parse_number_or_ref(Cursor& cur) {
    std::optional<IntegerToken> unused;
    VELLIX_TRY(number, read_number(cur, nullptr, unused));
    return std::visit([](auto value) { return made(value); }, *number);
}

inline bool starts_number(std::uint8_t b) {
    return is_digit(b) || b == '+' || b == '-' || b == '.';
}

// Builds the object of a number in place at the end of a frame; `key` first for a dictionary.
template <class T, class... Key>
void emplace_number(ScratchFrame<T>& frame, const Number& number, const Key&... key) {
    std::visit([&](auto value) { frame.emplace(key..., value); }, number);
}

Result<PdfObject> parse_array(Cursor& cur, unsigned depth, Scratch& scratch) {
    ++cur.pos;  // past "["
    ScratchFrame<PdfObject> frame(scratch.items);
    // The integer token the last reference lookahead scanned and gave back.
    std::optional<IntegerToken> scanned;
    for (;;) {
        skip_ws_fast(cur);
        if (cur.at_end()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
        const std::uint8_t b = cur.peek();
        if (b == ']') {
            ++cur.pos;
            return made(frame.take());
        }
        // Numbers make up most elements of large arrays (widths, coordinates, references):
        // they are read here and stored in place, each token scanned once.
        if (starts_number(b)) {
            const IntegerToken* first = scanned && scanned->begin == cur.pos ? &*scanned : nullptr;
            VELLIX_TRY(number, read_number(cur, first, scanned));
            emplace_number(frame, *number);
            continue;
        }
        VELLIX_TRY(item, parse_value(cur, depth, scratch));
        frame.push(std::move(*item));
    }
}

Result<PdfObject> parse_dict(Cursor& cur, unsigned depth, Scratch& scratch) {
    cur.pos += 2;  // past "<<"
    ScratchFrame<DictEntry> frame(scratch.entries);
    for (;;) {
        skip_ws_fast(cur);
        if (cur.starts_with(">>")) break;
        if (cur.at_end()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
        if (cur.peek() != '/') return std::unexpected(ParseError::unexpected_byte(cur.peek()));
        VELLIX_TRY(key, parse_name(cur));
        skip_ws_fast(cur);
        // Numbers and references, the most common values, are stored in place.
        if (!cur.at_end() && starts_number(cur.peek())) {
            std::optional<IntegerToken> unused;
            VELLIX_TRY(number, read_number(cur, nullptr, unused));
            emplace_number(frame, *number, *key);
            continue;
        }
        VELLIX_TRY(value, parse_value(cur, depth, scratch));
        frame.emplace(*key, std::move(*value));
    }
    cur.pos += 2;  // past ">>"
    const size_t after = cur.pos;
    skip_ws_fast(cur);
    // Leave the keyword for the caller, who turns the dictionary into a stream.
    if (cur.starts_with("stream")) cur.pos = after;
    return made(frame.take());
}

// Reads one object. `depth` counts the arrays and dictionaries that enclose it.
Result<PdfObject> parse_value(Cursor& cur, unsigned depth, Scratch& scratch) {
    skip_ws_fast(cur);
    if (cur.at_end()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
    const std::uint8_t b = cur.peek();
    switch (b) {
        case '(':
            return parse_literal_string(cur);
        case '<':
            if (cur.has(2) && cur.data[cur.pos + 1] == '<') {
                if (depth >= kMaxObjectNesting) {
                    return std::unexpected(ParseError::message(kNestingTooDeep));
                }
                return parse_dict(cur, depth + 1, scratch);
            }
            return parse_hex_string(cur);
        case '[':
            if (depth >= kMaxObjectNesting) {
                return std::unexpected(ParseError::message(kNestingTooDeep));
            }
            return parse_array(cur, depth + 1, scratch);
        case '/': {
            VELLIX_TRY(name, parse_name(cur));
            return made(PdfName{*name});
        }
        case 't':
        case 'f':
        case 'n':
            return parse_literal(cur);
        case '+':
        case '-':
        case '.':
            return parse_number_or_ref(cur);
        default:
            if (is_digit(b)) return parse_number_or_ref(cur);
            // Stray closers, braces, ")" and any other letter start no object.
            return std::unexpected(ParseError::unexpected_byte(b));
    }
}

}  // namespace

Result<PdfObject> parse_object(Cursor& cur) {
    // A cursor handed in with its position past the end is treated as being at the end.
    if (cur.pos > cur.data.size()) cur.pos = cur.data.size();
    Scratch& scratch = thread_scratch();
    Result<PdfObject> result = parse_value(cur, /*depth=*/0, scratch);
    // A huge array or dictionary grew the scratch; do not keep that memory for the thread's
    // lifetime. Only the outermost call gets here with empty vectors.
    if (scratch.items.empty() && scratch.items.capacity() > kScratchKeptCapacity) {
        std::vector<PdfObject>().swap(scratch.items);
    }
    if (scratch.entries.empty() && scratch.entries.capacity() > kScratchKeptCapacity) {
        std::vector<DictEntry>().swap(scratch.entries);
    }
    return result;
}

Result<PdfObject> parse_stream(Cursor& cur, PdfDict dict) {
    if (cur.pos > cur.data.size()) cur.pos = cur.data.size();
    skip_ws_fast(cur);
    if (!cur.starts_with("stream")) {
        return std::unexpected(ParseError::message(kExpectedStreamKeyword));
    }
    cur.pos += 6;
    // One optional CR, then one optional LF; any other byte already belongs to the data.
    if (!cur.at_end() && cur.peek() == '\r') ++cur.pos;
    if (!cur.at_end() && cur.peek() == '\n') ++cur.pos;
    const size_t start = cur.pos;

    constexpr std::string_view kEndstream = "endstream";
    const PdfObject* length = dict_get(dict, "Length");
    const std::optional<std::int64_t> declared = length ? length->as_int() : std::nullopt;
    const Bytes rest = cur.data.subspan(start);
    const void* found = nullptr;
    // A negative /Length is as useless as a missing one: search for the keyword instead.
    if (declared && *declared >= 0) {
        const auto n = static_cast<std::uint64_t>(*declared);
        if (n <= rest.size()) {
            cur.pos = start + static_cast<size_t>(n);
            skip_ws_fast(cur);
            // The keyword follows the data (ISO 32000-1, 7.3.8.1). A Length that ends
            // elsewhere is wrong, and the data ends at the first keyword instead; one that
            // reaches the end of the object is kept, for a stream without the keyword.
            const bool ends_here = cur.starts_with(kEndstream) || cur.starts_with("endobj");
            if (!ends_here) {
                found = memmem(rest.data(), rest.size(), kEndstream.data(), kEndstream.size());
            }
            if (!found) {
                if (cur.starts_with(kEndstream)) cur.pos += kEndstream.size();
                return PdfObject(PdfStream{std::move(dict), rest.first(static_cast<size_t>(n))});
            }
        } else {
            found = memmem(rest.data(), rest.size(), kEndstream.data(), kEndstream.size());
            if (!found) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
        }
    } else {
        // An indirect /Length cannot be resolved here: the parser has no document.
        found = memmem(rest.data(), rest.size(), kEndstream.data(), kEndstream.size());
    }
    if (!found) return std::unexpected(ParseError::of(ParseErrorKind::StreamMissingLength));
    const auto e = static_cast<size_t>(static_cast<const std::uint8_t*>(found) - rest.data());
    cur.pos = start + e + kEndstream.size();
    return PdfObject(PdfStream{std::move(dict), rest.first(e)});
}

}  // namespace vellix
