#include "parser/content_stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <utility>

#include "parser/inline_image.h"
#include "parser/object.h"

namespace vellix {

Matrix Matrix::mul(const Matrix& m, const Matrix& n) {
    return {
        m.a * n.a + m.c * n.b,
        m.b * n.a + m.d * n.b,
        m.a * n.c + m.c * n.d,
        m.b * n.c + m.d * n.d,
        m.a * n.e + m.c * n.f + m.e,
        m.b * n.e + m.d * n.f + m.f,
    };
}

double Operand::number() const {
    if (const double* r = std::get_if<double>(&value)) return *r;
    if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    return 0.0;
}

bool operator==(const Operand& a, const Operand& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Operand::Kind::Real: return std::get<double>(a.value) == std::get<double>(b.value);
        case Operand::Kind::Integer:
            return std::get<std::int64_t>(a.value) == std::get<std::int64_t>(b.value);
        case Operand::Kind::String: return bytes_equal(a.string()->bytes(), b.string()->bytes());
        case Operand::Kind::Name: return bytes_equal(a.name()->bytes, b.name()->bytes);
        case Operand::Kind::Array: return *a.array() == *b.array();
    }
    return false;
}

void TextState::save_gs() {
    if (gs_stack.size() < kMaxGraphicsStateDepth) {
        gs_stack.push_back({ctm, params});
    } else {
        ++gs_overflow;
    }
}

void TextState::restore_gs() {
    if (gs_overflow > 0) {
        --gs_overflow;
    } else if (!gs_stack.empty()) {
        ctm = gs_stack.back().ctm;
        params = gs_stack.back().params;
        gs_stack.pop_back();
    }
}

std::uint32_t to_srgb(const double* v, size_t count) {
    // Each channel round(255 x value) after clamping to [0, 1]; NaN counts as 0.
    auto channel = [](double x) -> std::uint32_t {
        if (!(x > 0)) return 0;
        if (x >= 1) return 255;
        return static_cast<std::uint32_t>(std::lround(x * 255.0));
    };
    auto clamp01 = [](double x) { return x > 0 ? (x < 1 ? x : 1.0) : 0.0; };
    double r = 0, g = 0, b = 0;
    switch (count) {
        case 1: r = g = b = v[0]; break;
        case 3: r = v[0]; g = v[1]; b = v[2]; break;
        case 4: {
            // DeviceCMYK without a colour profile (ISO 32000-1, 10.3.5).
            const double k = 1 - clamp01(v[3]);
            r = (1 - clamp01(v[0])) * k;
            g = (1 - clamp01(v[1])) * k;
            b = (1 - clamp01(v[2])) * k;
            break;
        }
        default: return 0;
    }
    return channel(r) << 16 | channel(g) << 8 | channel(b);
}

namespace {

// ---- Byte classes ----
//
// Content streams are tokenised by a table of our own rather than <cctype>, which follows the
// C locale. White space here is NUL, tab, LF, CR and space; form feed is not.
enum ByteClass : std::uint8_t {
    kOther = 0,
    kSpace = 1,      // white space
    kOperator = 2,   // letters, '*', '\'' and '"': the bytes operators are made of
    kDigit = 4,
    kNameEnd = 8,    // ends a name: white space and % ( ) / < > [ ]
    kHex = 16,
    kNumber = 32,    // starts a number: digits, '+', '-' and '.'
};

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c : {0x00, 0x09, 0x0A, 0x0D, 0x20}) t[c] |= kSpace | kNameEnd;
    for (int c : {'%', '(', ')', '/', '<', '>', '[', ']'}) t[c] |= kNameEnd;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kOperator;
    for (int c = 'a'; c <= 'z'; ++c) t[c] |= kOperator;
    for (int c : {'*', '\'', '"'}) t[c] |= kOperator;
    for (int c = '0'; c <= '9'; ++c) t[c] |= kDigit | kHex | kNumber;
    for (int c : {'+', '-', '.'}) t[c] |= kNumber;
    for (int c = 'a'; c <= 'f'; ++c) t[c] |= kHex;
    for (int c = 'A'; c <= 'F'; ++c) t[c] |= kHex;
    return t;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

constexpr bool has_class(std::uint8_t b, std::uint8_t cls) { return (kClasses[b] & cls) != 0; }

constexpr std::uint8_t hex_value(std::uint8_t b) {
    if (b <= '9') return static_cast<std::uint8_t>(b - '0');
    if (b <= 'F') return static_cast<std::uint8_t>(b - 'A' + 10);
    return static_cast<std::uint8_t>(b - 'a' + 10);
}

// Skips white space and comments. Returns false at the end of the data.
bool skip_space_and_comments(Bytes d, size_t& pos) {
    const size_t n = d.size();
    while (pos < n) {
        const std::uint8_t b = d[pos];
        if (has_class(b, kSpace)) {
            ++pos;
        } else if (b == '%') {
            while (pos < n && d[pos] != '\n' && d[pos] != '\r') ++pos;
        } else {
            return true;
        }
    }
    return false;
}

// ---- Operands ----
//
// Operands are parsed into a slot given by the caller, which keeps the buffers of what it held
// before (a decoded string, an array's elements) for reuse. A parser writes the slot only once
// it knows the bytes form an operand, so a slot is never spoiled by bytes that form none.

OperandString& string_in(Operand& op) {
    if (OperandString* s = std::get_if<OperandString>(&op.value)) return *s;
    return op.value.emplace<OperandString>();
}

void set_view_string(Operand& op, Bytes view) {
    OperandString& s = string_in(op);
    s.view = view;
    s.borrowed = true;
}

// A literal string at '('. Strings without a backslash (nearly all of them) stay views of the
// content; the first backslash switches to decoding into an owned buffer.
void parse_literal_string(Bytes d, size_t& pos, Operand& op) {
    const size_t n = d.size();
    const size_t begin = pos + 1;
    size_t depth = 1;
    size_t i = begin;
    for (; i < n; ++i) {
        const std::uint8_t b = d[i];
        if (b == '(') {
            ++depth;
        } else if (b == ')') {
            if (--depth == 0) {
                pos = i + 1;
                set_view_string(op, d.subspan(begin, i - begin));
                return;
            }
        } else if (b == '\\') {
            break;
        }
    }
    if (i >= n) {
        // Unterminated: the string runs to the end of the data.
        pos = n;
        set_view_string(op, d.subspan(begin, n - begin));
        return;
    }

    OperandString& s = string_in(op);
    s.borrowed = false;
    std::string& out = s.decoded;
    out.assign(as_chars(d.subspan(begin, i - begin)));
    while (i < n) {
        const std::uint8_t b = d[i];
        if (b == '\\') {
            if (i + 1 >= n) {  // a lone backslash at the very end is dropped
                i = n;
                break;
            }
            const std::uint8_t e = d[i + 1];
            i += 2;
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                // A backslash before an end of line continues the string on the next line:
                // neither is part of it (ISO 32000-1, 7.3.4.2).
                case '\r':
                    if (i < n && d[i] == '\n') ++i;
                    break;
                case '\n': break;
                default:
                    if (has_class(e, kDigit)) {
                        // The first digit may be 8 or 9; the next two must be octal digits.
                        unsigned value = e - '0';
                        for (int k = 0; k < 2 && i < n && d[i] >= '0' && d[i] <= '7'; ++k, ++i) {
                            value = value * 8 + (d[i] - '0');
                        }
                        out.push_back(static_cast<char>(value & 0xFF));
                    } else {
                        // ( ) \ give themselves; so does every other byte, the backslash
                        // being dropped.
                        out.push_back(static_cast<char>(e));
                    }
                    break;
            }
            continue;
        }
        if (b == '(') {
            ++depth;
        } else if (b == ')' && --depth == 0) {
            ++i;
            pos = i;
            return;
        }
        out.push_back(static_cast<char>(b));
        ++i;
    }
    pos = n;
}

// A hex string at '<' (not "<<"). Bytes that are not hex digits are skipped.
void parse_hex_string(Bytes d, size_t& pos, Operand& op) {
    const size_t n = d.size();
    size_t i = pos + 1;
    OperandString& s = string_in(op);
    s.borrowed = false;
    std::string& out = s.decoded;
    out.clear();
    int high = -1;
    for (; i < n; ++i) {
        const std::uint8_t b = d[i];
        if (b == '>') {
            ++i;
            break;
        }
        if (!has_class(b, kHex)) continue;
        if (high < 0) {
            high = hex_value(b);
        } else {
            out.push_back(static_cast<char>((high << 4) | hex_value(b)));
            high = -1;
        }
    }
    if (high >= 0) out.push_back(static_cast<char>(high << 4));
    pos = i;
}

// Decimal magnitude of a number token that std::from_chars reported out of range: positive
// for overflow, zero or below for underflow.
std::int64_t decimal_magnitude(std::string_view mantissa, std::int64_t exponent) {
    const size_t point = mantissa.find('.');
    const std::string_view int_part = mantissa.substr(0, point);
    const size_t first_nonzero = int_part.find_first_not_of('0');
    if (first_nonzero != std::string_view::npos) {
        return static_cast<std::int64_t>(int_part.size() - first_nonzero) + exponent;
    }
    std::int64_t zeros = 0;
    if (point != std::string_view::npos) {
        for (size_t k = point + 1; k < mantissa.size() && mantissa[k] == '0'; ++k) ++zeros;
    }
    return exponent - zeros;
}

// Exact powers of ten up to 10^22, the largest exactly representable in a double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// How a number token reads, found without converting it.
enum class NumberForm : std::uint8_t {
    None,   // a lone sign or point, or a sign followed by a point: no operand
    Short,  // at most 15 digits and no exponent: a form parse_number always takes
    Other,  // longer, or with an exponent
};

// Steps over the number at a digit, sign or point without converting it. For None and Short
// `pos` moves past the number's bytes; for Other it stays, the token being left to the general
// conversion of parse_number.
NumberForm skip_number(Bytes d, size_t& pos) {
    const size_t n = d.size();
    size_t i = pos;
    if (d[i] == '+' || d[i] == '-') ++i;
    const size_t digits_begin = i;
    while (i < n && has_class(d[i], kDigit)) ++i;
    size_t digit_count = i - digits_begin;
    if (i < n && d[i] == '.') {
        ++i;
        const size_t frac_begin = i;
        while (i < n && has_class(d[i], kDigit)) ++i;
        digit_count += i - frac_begin;
    }
    if (digit_count == 0) {
        pos = i;
        return NumberForm::None;
    }
    if (digit_count > 15) return NumberForm::Other;
    if (i < n && (d[i] == 'e' || d[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (d[j] == '+' || d[j] == '-')) ++j;
        if (j < n && has_class(d[j], kDigit)) return NumberForm::Other;
    }
    pos = i;
    return NumberForm::Short;
}

// The value of a number of the short form (see NumberForm) at `pos`: an integer as it is, a
// decimal as the integer of its digits (below 2^53) divided by an exact power of ten, which one
// IEEE division rounds correctly. The general conversion is not needed for these.
void set_short_number(Bytes d, size_t pos, Operand& op) {
    const size_t n = d.size();
    const bool negative = d[pos] == '-';
    if (d[pos] == '+' || d[pos] == '-') ++pos;
    std::int64_t m = 0;
    while (pos < n && has_class(d[pos], kDigit)) {
        m = m * 10 + (d[pos] - '0');
        ++pos;
    }
    if (pos >= n || d[pos] != '.') {
        op.value = negative ? -m : m;
        return;
    }
    ++pos;
    const size_t frac_begin = pos;
    while (pos < n && has_class(d[pos], kDigit)) {
        m = m * 10 + (d[pos] - '0');
        ++pos;
    }
    const double v = static_cast<double>(m) / kPowersOfTen[pos - frac_begin];
    op.value = negative ? -v : v;
}

// A number at a digit, sign or point: sign, digits, optional point and digits, optional
// exponent. An exponent marker without digits after it is not part of the number.
bool parse_number(Bytes d, size_t& pos, Operand& op) {
    const size_t begin = pos;
    switch (skip_number(d, pos)) {
        case NumberForm::None: return false;
        case NumberForm::Short: set_short_number(d, begin, op); return true;
        case NumberForm::Other: break;
    }
    // A long number, or one with an exponent: the general conversion.
    const size_t n = d.size();
    size_t i = pos;
    const bool negative = d[i] == '-';
    if (d[i] == '+' || d[i] == '-') ++i;
    const size_t digits_begin = i;
    while (i < n && has_class(d[i], kDigit)) ++i;
    bool is_real = false;
    if (i < n && d[i] == '.') {
        is_real = true;
        ++i;
        while (i < n && has_class(d[i], kDigit)) ++i;
    }
    const size_t mantissa_end = i;
    if (i < n && (d[i] == 'e' || d[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (d[j] == '+' || d[j] == '-')) ++j;
        if (j < n && has_class(d[j], kDigit)) {
            while (j < n && has_class(d[j], kDigit)) ++j;
            is_real = true;
            i = j;
        }
    }
    pos = i;

    // std::from_chars takes a '-' but no '+'.
    const size_t from = negative ? digits_begin - 1 : digits_begin;
    const char* first = as_chars(d).data() + from;
    const char* last = as_chars(d).data() + i;
    if (!is_real) {
        std::int64_t v = 0;
        const auto [end, ec] = std::from_chars(first, last, v);
        if (ec != std::errc() || end != last) return false;  // beyond 64 bits
        op.value = v;
        return true;
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(first, last, v);
    if (ec == std::errc::result_out_of_range) {
        // The nearest double of a value too large is infinity, of one too small zero.
        std::int64_t exponent = 0;
        if (i > mantissa_end) {
            size_t k = mantissa_end + 1;
            const bool exp_negative = d[k] == '-';
            if (d[k] == '+' || d[k] == '-') ++k;
            for (; k < i; ++k) {
                exponent = std::min<std::int64_t>(exponent * 10 + (d[k] - '0'), 1'000'000'000);
            }
            if (exp_negative) exponent = -exponent;
        }
        const std::string_view mantissa =
            as_chars(d.subspan(digits_begin, mantissa_end - digits_begin));
        v = decimal_magnitude(mantissa, exponent) > 0 ? std::numeric_limits<double>::infinity()
                                                      : 0.0;
        if (negative) v = -v;
    } else if (ec != std::errc() || end != last) {
        return false;
    }
    op.value = v;
    return true;
}

// Skips an array nested too deep, through its matching ']' or to the end of the data,
// without recursion. Strings, hex strings and comments are stepped over so that brackets in
// them do not count.
void skip_array(Bytes d, size_t& pos) {
    const size_t n = d.size();
    size_t depth = 0;
    Operand skipped;  // the strings stepped over
    while (pos < n) {
        const std::uint8_t b = d[pos];
        switch (b) {
            case '[': ++depth; ++pos; break;
            case ']':
                ++pos;
                if (--depth == 0) return;
                break;
            case '(': parse_literal_string(d, pos, skipped); break;
            case '<':
                if (pos + 1 < n && d[pos + 1] == '<') {
                    pos += 2;
                } else {
                    parse_hex_string(d, pos, skipped);
                }
                break;
            case '%':
                while (pos < n && d[pos] != '\n' && d[pos] != '\r') ++pos;
                break;
            default: ++pos; break;
        }
    }
}

bool parse_operand_at(Bytes d, size_t& pos, std::uint32_t nesting, size_t& elements_left,
                      Operand& op);

// An array at '['; `nesting` is the number of arrays around it. Elements beyond the allowance
// are parsed, so that the array ends where it should, but not kept.
void parse_array(Bytes d, size_t& pos, std::uint32_t nesting, size_t& elements_left,
                 Operand& op) {
    ++pos;
    std::vector<Operand>* found = std::get_if<std::vector<Operand>>(&op.value);
    std::vector<Operand>& items = found ? *found : op.value.emplace<std::vector<Operand>>();
    items.clear();
    while (skip_space_and_comments(d, pos)) {
        const std::uint8_t b = d[pos];
        if (b == ']') {
            ++pos;
            break;
        }
        if (b == '[' && nesting + 1 >= kMaxOperandNesting) {
            skip_array(d, pos);
            continue;
        }
        // Parsed in place; taken back when it forms no operand or the allowance is spent.
        Operand& item = items.emplace_back();
        if (parse_operand_at(d, pos, nesting + 1, elements_left, item) && elements_left > 0) {
            --elements_left;
        } else {
            items.pop_back();
        }
    }
}

// Parses the operand at `pos` into `op`; false, with `op` as it was, when the bytes consumed
// form none.
bool parse_operand_at(Bytes d, size_t& pos, std::uint32_t nesting, size_t& elements_left,
                      Operand& op) {
    const std::uint8_t b = d[pos];
    switch (b) {
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7':
        case '8': case '9': case '+': case '-': case '.':
            return parse_number(d, pos, op);
        case '/': {
            const size_t begin = ++pos;
            while (pos < d.size() && !has_class(d[pos], kNameEnd)) ++pos;
            op.value = OperandName{d.subspan(begin, pos - begin)};
            return true;
        }
        case '(': parse_literal_string(d, pos, op); return true;
        case '<':
            if (pos + 1 < d.size() && d[pos + 1] == '<') {
                // An inline dictionary dissolves into its keys and values.
                pos += 2;
                return false;
            }
            parse_hex_string(d, pos, op);
            return true;
        case '[': parse_array(d, pos, nesting, elements_left, op); return true;
        default: ++pos; return false;
    }
}

// ---- The operand list ----

// Operands collected since the last operator. Operators count their operands from the end and
// none reaches further back than six, so only the last eight are kept: content made of
// operands alone ("1 1 1 ...") holds eight, not millions. Once full, the list is a ring that
// overwrites its oldest slot, put back in order only when an operator reads it. Slots outlive
// clear(), so their buffers serve the next operators.
//
// Numbers of the short form (see NumberForm) are kept as their offset in the content and
// converted only when an operator reads the list: most numbers are path coordinates, which no
// operator here reads.
class OperandList {
public:
    static constexpr size_t kCapacity = 8;

    explicit OperandList(Bytes content) : content_(content) {}

    // The slot to parse the next operand into, which starts with the byte `first`: a free one,
    // or once the list is full the oldest, which stays in the list until commit(). The element
    // buffer of an array moves from a free slot to a spare and back to the slot the next array
    // is parsed into, so that arrays (TJ after TJ, with Td or Tm between them) reuse one buffer.
    Operand& next_slot(std::uint8_t first) {
        if (size_ == kCapacity) return slots_[oldest_];
        Operand& slot = slots_[size_];
        std::vector<Operand>* items = std::get_if<std::vector<Operand>>(&slot.value);
        if (first == '[') {
            if (items == nullptr) slot.value = std::move(spare_);
        } else if (items != nullptr && items->capacity() > spare_.capacity()) {
            spare_ = std::move(*items);
        }
        return slot;
    }
    // Keeps the operand parsed into next_slot().
    void commit() {
        pending_ &= static_cast<std::uint8_t>(~(1u << advance()));
    }
    // Keeps the short-form number at `offset` of the content, which starts with the byte
    // `first`, unconverted.
    void commit_number(size_t offset, std::uint8_t first) {
        next_slot(first);
        const size_t slot = advance();
        offsets_[slot] = offset;
        pending_ |= static_cast<std::uint8_t>(1u << slot);
    }
    void clear() {
        size_ = 0;
        oldest_ = 0;
        pending_ = 0;
    }
    size_t size() const { return size_; }
    // The operands in stream order, their numbers converted.
    std::span<const Operand> view() {
        for (size_t slot = 0; pending_ != 0; ++slot, pending_ >>= 1) {
            if ((pending_ & 1) == 0) continue;
            set_short_number(content_, offsets_[slot], slots_[slot]);
        }
        if (oldest_ != 0) {
            std::rotate(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(oldest_),
                        slots_.end());
            oldest_ = 0;
        }
        return {slots_.data(), size_};
    }

private:
    // Takes the slot next_slot() gave into the list; returns its index.
    size_t advance() {
        if (size_ < kCapacity) return size_++;
        const size_t slot = oldest_;
        oldest_ = (oldest_ + 1) % kCapacity;
        return slot;
    }

    Bytes content_;
    std::array<Operand, kCapacity> slots_;
    std::array<size_t, kCapacity> offsets_{};  // of the slots' numbers still to convert
    std::uint8_t pending_ = 0;                  // by slot: bit k set while slot k is unconverted
    std::vector<Operand> spare_;  // an array's element buffer while no free slot holds it
    size_t size_ = 0;
    size_t oldest_ = 0;  // the slot of the oldest operand once the ring is full
};

// ---- Interpretation ----

// Work left for the page, shared by the page and every form it draws.
struct WorkBudget {
    std::uint64_t left = kPageWorkBudget;
    std::uint64_t output_left = kMaxPageOutput;

    bool spent() const { return left == 0; }
    // Takes one unit for one record (a character or an image placement) about to be
    // appended. The record that uses up the output allowance is the last one: the budget is
    // then spent as a whole, so that what was produced stays a prefix.
    bool emit() {
        if (left == 0) return false;
        --left;
        if (--output_left == 0) left = 0;
        return true;
    }
    // Takes n units; when fewer are left, the budget is spent and the work must not be done.
    bool take(std::uint64_t n) {
        if (left < n) {
            left = 0;
            return false;
        }
        left -= n;
        return true;
    }
};

// The font tables a content stream sees, searched in order: a form sees the tables of the
// content that drew it first, then its own, so the enclosing table wins on a clash. Nothing
// is copied.
struct FontLayers {
    std::array<const FontTable*, kMaxFormDepth + 2> tables{};
    size_t count = 0;

    const FontInfo* find(const std::string& name) const {
        for (size_t i = 0; i < count; ++i) {
            if (auto it = tables[i]->find(name); it != tables[i]->end()) return it->second.get();
        }
        return nullptr;
    }
    FontLayers with(const FontTable& inner) const {
        FontLayers out = *this;
        // A form's Do only runs while depth <= kMaxFormDepth, so a page's layers never exceed
        // the array; a caller starting deeper simply has fewer forms below it.
        if (out.count < out.tables.size()) out.tables[out.count++] = &inner;
        return out;
    }
};

// The last glyph shown on the page, in user space: where a word space is looked for before the
// next glyph.
struct Pen {
    bool valid = false;
    double ox = 0, oy = 0;  // origin on the baseline
    double ex = 0, ey = 0;  // end of the drawn advance
    double ux = 1, uy = 0;  // unit vector of the writing direction
    double hx = 0, hy = 0;  // one unit of glyph height: the font size long, upward
    double size = 0;        // font size in user space
    CharInfo style;         // its character, font, size and colour
};

// Whether `o` is `c` drawn again: the same code point, each side of its box within `tol`.
inline bool repeats(const CharInfo& o, const CharInfo& c, double tol) {
    return o.ch == c.ch && std::fabs(o.x0 - c.x0) <= tol && std::fabs(o.y0 - c.y0) <= tol &&
           std::fabs(o.x1 - c.x1) <= tol && std::fabs(o.y1 - c.y1) <= tol;
}

// The window of the result's last kOverdrawLookback characters, one slot each (character i
// at i % the lookback), with masks of slots, so that a search reads only the characters that
// may repeat a glyph, and no read waits for another: a mask for every low byte of a code
// point, and one for every low byte of the column of width `grid` that holds a left edge. A
// character within the tolerance of a glyph's left edge lies in the glyph's column or next to
// it, so a search reads the slots of its low byte in those three columns. The grid is a power
// of two at least twice the tolerance looked for, chosen again (and the window's columns found
// anew) when a glyph's tolerance leaves the range it serves; until the first search that a mask
// of low bytes leaves to it (grid 0), the columns are not kept.
struct RecentChars {
    static_assert(kOverdrawLookback == 64, "a slot mask is one 64-bit word");
    // Left edges this many columns out or more (and NaNs) share the mask kFarColumn, which
    // every search reads; a column number within it fits in 64 bits.
    static constexpr double kColumnLimit = 0x1p40;
    static constexpr size_t kFarColumn = 256;
    // A grid serves tolerances down to 1/kGridSpan of itself: smaller text with the same grid
    // would find more characters in its columns.
    static constexpr double kGridSpan = 64;

    std::array<std::uint64_t, 256> slots{};                 // by low byte: its characters' slots
    std::array<std::uint64_t, kFarColumn + 1> by_column{};  // by low byte of a column, and far out
    std::array<double, kOverdrawLookback> left{};           // by slot: the character's x0
    std::array<std::uint8_t, kOverdrawLookback> low{};      // by slot: its low byte
    std::array<std::uint16_t, kOverdrawLookback> column_of{};  // by slot: its mask in by_column
    double grid = 0, inverse_grid = 0;

    void add(size_t index, char32_t ch, double x0) {
        const size_t slot = index % kOverdrawLookback;
        const std::uint64_t bit = std::uint64_t{1} << slot;
        // A slot not yet written has no bit in any mask of low bytes.
        slots[low[slot]] &= ~bit;
        slots[ch & 0xFF] |= bit;
        left[slot] = x0;
        low[slot] = static_cast<std::uint8_t>(ch & 0xFF);
        if (grid > 0) {
            by_column[column_of[slot]] &= ~bit;
            column_of[slot] = column_mask(x0);
            by_column[column_of[slot]] |= bit;
        }
    }

    // floor(q) for |q| < kColumnLimit.
    static std::int64_t column(double q) {
        const auto t = static_cast<std::int64_t>(q);
        return static_cast<double>(t) > q ? t - 1 : t;
    }

    // The mask in by_column of a left edge, the grid being set.
    std::uint16_t column_mask(double x0) const {
        const double q = x0 * inverse_grid;  // exact but for underflow: the grid is a power of two
        return std::fabs(q) < kColumnLimit ? static_cast<std::uint16_t>(column(q) & 0xFF) : kFarColumn;
    }

    // The slots whose left edge may be within `tol` of `x0` (all when that cannot be told).
    // With |x0 - o| <= tol <= grid / 2 (the rounding of the subtraction aside, which leaves it
    // below twice tol), the quotients by the grid differ by less than 1: o's column is x0's or
    // next to it, or o is far out when x0's column is at the limit.
    std::uint64_t near(double x0, double tol) {
        if (!(tol <= grid / 2 && tol * kGridSpan >= grid)) {
            if (!(tol > 0 && tol <= std::numeric_limits<double>::max() / 4)) return ~std::uint64_t{0};
            int e = 0;
            std::frexp(2 * tol, &e);
            grid = std::ldexp(1.0, e);  // above 2 tol and at most 4 tol
            inverse_grid = std::ldexp(1.0, -e);
            if (!(inverse_grid > 0 && inverse_grid < std::numeric_limits<double>::infinity())) {
                grid = 0;
                return ~std::uint64_t{0};
            }
            by_column.fill(0);
            for (size_t slot = 0; slot < kOverdrawLookback; ++slot) {
                column_of[slot] = column_mask(left[slot]);
                by_column[column_of[slot]] |= std::uint64_t{1} << slot;
            }
        }
        const double q = x0 * inverse_grid;
        if (!(std::fabs(q) < kColumnLimit)) return ~std::uint64_t{0};
        const auto col = static_cast<std::uint64_t>(column(q));
        return by_column[(col - 1) & 0xFF] | by_column[col & 0xFF] | by_column[(col + 1) & 0xFF] |
               by_column[kFarColumn];
    }
};

// What the page and every form it draws share: the pen, the page's font names and the
// colour spaces of its resources.
struct PageContext {
    Pen pen;
    std::unordered_map<const FontInfo*, std::uint16_t> font_indices;
    const ColorSpaceTable* color_spaces = nullptr;
    // The forms being drawn, by depth: drawing[d] is the one a Do at depth d runs. A form is
    // never drawn inside itself (its content would repeat to the depth bound).
    std::array<ObjectId, kMaxFormDepth + 2> drawing{};
    // The result's characters by code point, for the fake-bold check.
    RecentChars recent;
};

// Appends a character to the result, keeping the page's recent characters in step; `index` is
// res.chars.size(), which the caller has at hand. Inline: show_text's loop calls it for
// every glyph.
inline void append_char(const CharInfo& c, size_t index, ContentResult& res, PageContext& page) {
    page.recent.add(index, c.ch, c.x0);
    res.chars.push_back(c);
}

// The XObject tables a content stream sees, searched innermost first: a form's own
// resources, then those of the contents that drew it, down to the page's. Nothing is copied.
struct XObjectLayers {
    std::array<const XObjectTable*, kMaxFormDepth + 2> tables{};
    size_t count = 0;

    static XObjectLayers of(const XObjectTable& table) {
        XObjectLayers layers;
        layers.tables[0] = &table;
        layers.count = 1;
        return layers;
    }
    const XObjectData* find(const std::string& name) const {
        for (size_t i = count; i > 0; --i) {
            if (auto it = tables[i - 1]->find(name); it != tables[i - 1]->end()) return &it->second;
        }
        return nullptr;
    }
    XObjectLayers with(const XObjectTable* inner) const {
        XObjectLayers out = *this;
        // As for FontLayers: a page's layers never exceed the array.
        if (inner && out.count < out.tables.size()) out.tables[out.count++] = inner;
        return out;
    }
};

// What one content stream's interpretation shares with its operators.
struct Interp {
    const FontLayers& fonts;
    const XObjectLayers& xobjects;
    std::uint32_t depth;
    WorkBudget& budget;
    PageContext& page;

    // The entry of `font` in the page's font names (`resource` names it when it has no
    // BaseFont; no font at all is kNoFontName), added on first use.
    std::uint16_t font_index(const FontInfo* font, std::string_view resource,
                             ContentResult& res) {
        auto [it, added] = page.font_indices.try_emplace(font, std::uint16_t{0});
        if (added && res.fonts.size() < kMaxPageFonts) {
            it->second = static_cast<std::uint16_t>(res.fonts.size());
            if (font == nullptr) {
                res.fonts.emplace_back(kNoFontName);
            } else {
                res.fonts.push_back(font->name.empty() ? std::string(resource) : font->name);
            }
        }
        return it->second;
    }
};

void scan_content(Bytes content, const FontLayers& fonts, const XObjectLayers& xobjects,
                  std::uint32_t depth, WorkBudget& budget, ContentResult& res,
                  PageContext& page, const SavedGraphics& initial);

// A character of `style` with the text `ch`, boxed by the upright envelope of the
// parallelogram at (x, y) spanned by (vx, vy) and (hx, hy). Always inline: show_text's loop
// calls it for every glyph, and the character is then built in place.
[[gnu::always_inline]] inline CharInfo envelope(double x, double y, double vx, double vy, double hx, double hy,
                         const CharInfo& style, char32_t ch) {
    double x0, y0, x1, y1;
    if (hx == 0 && vy == 0) {
        // Upright: the corners (x + hx, y + vy) and (x + vx + hx, y + vy + hy) repeat the
        // coordinates of the other two, so they cannot move a bound (a NaN never does).
        x0 = std::min(x, x + vx);
        x1 = std::max(x, x + vx);
        y0 = std::min(y, y + hy);
        y1 = std::max(y, y + hy);
    } else {
        const double xs[4] = {x, x + vx, x + hx, x + vx + hx};
        const double ys[4] = {y, y + vy, y + hy, y + vy + hy};
        x0 = x1 = xs[0];
        y0 = y1 = ys[0];
        for (int k = 1; k < 4; ++k) {
            x0 = std::min(x0, xs[k]);
            x1 = std::max(x1, xs[k]);
            y0 = std::min(y0, ys[k]);
            y1 = std::max(y1, ys[k]);
        }
    }
    // Every field given at once: nothing is zeroed first to be written again.
    return CharInfo{x0, y0, x1, y1, ch, style.color, style.size, style.font, style.dir};
}

// A glyph about to be drawn: where it starts and ends, its direction and height vector.
struct Placement {
    double ox, oy, ex, ey, ux, uy, hx, hy, size;
};

// Appends a space before the glyph `next` at `at` when the pen moved on along the line of the
// last glyph by more than kWordGap of the size without drawing a space (or, between letters of
// a right-to-left script drawn right to left, moved back as far past the last glyph's
// origin). Nothing on another line, before a space, or between two characters of a script
// written without spaces. The space is the last glyph's style and fills the gap up to one
// size; a wider gap keeps a quarter of the size, so that the layout still sees the gap.
void infer_space(char32_t next, const Placement& at, const Pen& p, ContentResult& res,
                 Interp& ip) {
    if (!p.valid || is_word_space(p.style.ch) || is_word_space(next)) return;
    if (p.ux * at.ux + p.uy * at.uy < 0.99) return;  // another direction
    const double size = std::min(p.size, at.size);
    if (!(size > 0)) return;
    const double dx = at.ox - p.ex, dy = at.oy - p.ey;
    if (!(std::fabs(dy * p.ux - dx * p.uy) < 0.5 * size)) return;  // another line
    double gap = dx * p.ux + dy * p.uy;
    double fx = p.ex, fy = p.ey;
    if (!(gap > kWordGap * size)) {
        if (!is_rtl(p.style.ch) || !is_rtl(next)) return;
        gap = (p.ox - at.ex) * p.ux + (p.oy - at.ey) * p.uy;
        if (!(gap > kWordGap * size)) return;
        fx = at.ex;
        fy = at.ey;
    }
    if (is_unspaced_script(p.style.ch) && is_unspaced_script(next)) return;
    if (!ip.budget.emit()) return;
    const double len = gap <= size ? gap : 0.25 * size;
    append_char(envelope(fx, fy, len * p.ux, len * p.uy, p.hx, p.hy, p.style, U' '),
                res.chars.size(), res, ip.page);
}

// Whether `c` repeats a character drawn shortly before at the same place (fake bold). A glyph
// without width is never taken for a repeat: a font whose widths are all zero draws every
// glyph at one place. `count` is chars.size().
bool overdraws(const CharInfo& c, const std::vector<CharInfo>& chars, size_t count,
               RecentChars& recent) {
    // Most glyphs have no earlier character with their low byte within the window.
    std::uint64_t mask = recent.slots[c.ch & 0xFF];
    if (mask == 0) return false;
    const double tol = kOverdrawTolerance * static_cast<double>(c.size);
    if (!(c.x1 - c.x0 > tol) && !(c.y1 - c.y0 > tol + static_cast<double>(c.size))) return false;
    mask &= recent.near(c.x0, tol);
    // The window holds the characters [from, count), character i in slot i % the lookback.
    const size_t from = count - std::min(count, kOverdrawLookback);
    for (; mask != 0; mask &= mask - 1) {
        const size_t slot = static_cast<size_t>(std::countr_zero(mask));
        if (std::fabs(recent.left[slot] - c.x0) <= tol &&
            repeats(chars[from + ((slot - from) % kOverdrawLookback)], c, tol)) {
            return true;
        }
    }
    return false;
}

float as_float(double v) {
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(v > kMax ? kMax : (v < -kMax ? -kMax : v));
}

// What every glyph of a string shows with: Trm's linear part and the style of its characters.
// Only the translation of Tm changes within a string, and between the strings of one TJ array.
struct GlyphFrame {
    double ax, ay;  // one unit of advance in glyph space
    double hx, hy;  // one unit of height
    double size;    // the font size in user space
    double ux, uy;  // unit vector of the writing direction
    CharInfo style;
};

// The frame of the strings shown with the current state; gives the text state the entry of
// no font when it has none yet.
GlyphFrame glyph_frame(TextState& st, ContentResult& res, Interp& ip) {
    GraphicsParams& g = st.params;
    if (g.font_index == kNoFontIndex) g.font_index = ip.font_index(nullptr, {}, res);
    const Matrix m = Matrix::mul(st.ctm, st.tm);
    const double fs = g.font_size, th = g.h_scale;
    GlyphFrame f;
    f.ax = m.a * fs * th;
    f.ay = m.b * fs * th;
    f.hx = m.c * fs;
    f.hy = m.d * fs;
    f.size = std::fabs(fs) * std::hypot(m.c, m.d);
    const double alen = std::hypot(f.ax, f.ay);
    f.ux = alen > 0 ? f.ax / alen : 1.0;
    f.uy = alen > 0 ? f.ay / alen : 0.0;
    f.style.color = g.fill;
    f.style.size = as_float(f.size);
    f.style.font = g.font_index;
    f.style.dir = std::fabs(f.ux) >= std::fabs(f.uy) ? (f.ux >= 0 ? 0 : 2) : (f.uy > 0 ? 1 : 3);
    return f;
}

// Shows the strings of `items` with the current font (or none), in the frame glyph_frame
// gives at the first of them; a number among them (a TJ array's) moves the pen back by
// thousandths of the size, a word gap it leaves being found when the next glyph is drawn.
// Each glyph is placed by the text rendering matrix Trm = [Tfs·Th 0 0 Tfs 0 Ts] x Tm x CTM
// (ISO 32000-1, 9.4.4) and then advances Tm by tx = (w0 x Tfs + Tc + Tw) x Th, Tw only for the
// one-byte code 32. The items only move Tm: what stays the same is set up once for all.
void show_text(std::span<const Operand> items, TextState& st, ContentResult& res, Interp& ip) {
    const GraphicsParams& g = st.params;
    const FontInfo* font = g.font;
    const double fs = g.font_size, th = g.h_scale;

    // What stays the same for every glyph, in locals: the loop's stores (characters, the pen)
    // could otherwise alias the text state and have it read again for each glyph.
    const Matrix ctm = st.ctm;
    const double rise_x = g.rise * st.tm.c, rise_y = g.rise * st.tm.d;
    const double tm_a = st.tm.a, tm_b = st.tm.b;
    const double tc = g.char_spacing, tw = g.word_spacing;
    // The pen's end includes Tc: letter spacing the file asks for is no word gap.
    const double end_spacing = fs * th != 0 ? tc / fs : 0.0;
    double tm_e = st.tm.e, tm_f = st.tm.f;
    // The frame, from the first string on.
    double ax = 0, ay = 0, hx = 0, hy = 0, size = 0, ux = 0, uy = 0;
    CharInfo style;
    bool framed = false;
    // The page's pen is set whole by the first glyph; after it, only the place and the
    // character change from glyph to glyph.
    Pen& pen = ip.page.pen;
    bool drawn = false;
    // A simple font's one-byte codes are read from its tables here, without the calls.
    const bool single_tables = font != nullptr && !font->is_type0 && font->single_byte_ready;
    std::array<char32_t, kMaxCodeChars> decoded;
    bool spent = false;

    for (const Operand& item : items) {
        if (spent || ip.budget.spent()) break;
        const OperandString* str = item.string();
        if (str == nullptr) {
            if (item.is_number()) {
                const double tx = -(item.number() / 1000.0) * fs * th;
                tm_e += tx * tm_a;
                tm_f += tx * tm_b;
            }
            continue;
        }
        if (!framed) {
            const GlyphFrame frame = glyph_frame(st, res, ip);
            ax = frame.ax, ay = frame.ay, hx = frame.hx, hy = frame.hy;
            size = frame.size, ux = frame.ux, uy = frame.uy;
            style = frame.style;
            framed = true;
        }
        // After a glyph of this string whose code is not the one-byte 32, the next one starts
        // where the pen ends, along the same line (up to rounding: some 1e-12 of the size at
        // page coordinates), so there is no gap for infer_space to find; only its test between
        // right-to-left letters, which measures from the pen's origin, can still succeed.
        bool flush = false;
        const Bytes s = str->bytes();
        const size_t n = s.size();
        size_t i = 0;
        while (i < n) {
            std::span<const char32_t> text;  // the code's characters, never empty
            double w0;  // advance in glyph space units (thousandths / 1000)
            bool single_space;
            if (single_tables && font->in_single_tables(s[i])) {
                const std::uint8_t b = s[i];
                text = {font->single_text.data() + font->single_offset[b], font->single_size[b]};
                single_space = b == 0x20;
                i += 1;
                w0 = font->single_advance[b];
            } else if (font != nullptr) {
                const FontInfo::Code code = font->next_code(s, i);
                text = {decoded.data(), font->decode_code(code, decoded)};
                single_space = code.len == 1 && code.value == 0x20;
                i += code.len;
                w0 = font->glyph_width(code.value) / 1000.0;
            } else {
                decoded[0] = s[i] < 0x80 ? static_cast<char32_t>(s[i]) : U'\uFFFD';
                text = {decoded.data(), 1};
                single_space = s[i] == 0x20;
                i += 1;
                w0 = 0.6;
            }
            const size_t count = text.size();
            // The glyph's origin: (0, Ts) of text space under Tm, then the CTM.
            const double tx0 = rise_x + tm_e, ty0 = rise_y + tm_f;
            const double ox = ctm.a * tx0 + ctm.c * ty0 + ctm.e;
            const double oy = ctm.b * tx0 + ctm.d * ty0 + ctm.f;
            const double end = w0 + end_spacing;
            const Placement at{ox, oy, ox + end * ax, oy + end * ay, ux, uy, hx, hy, size};
            if (!flush || is_rtl(text[0])) infer_space(text[0], at, pen, res, ip);
            // The characters of one code share its advance in equal parts.
            const double parts = static_cast<double>(count);
            for (size_t k = 0; k < count; ++k) {
                // w0 x 0 for the first, not 0: a NaN or infinite advance stays so.
                const double from = k == 0 ? w0 * 0.0 : w0 * static_cast<double>(k) / parts;
                const double to = k + 1 == count ? w0 : w0 * static_cast<double>(k + 1) / parts;
                const CharInfo c = envelope(ox + from * ax, oy + from * ay, (to - from) * ax,
                                            (to - from) * ay, hx, hy, style, text[k]);
                const size_t index = res.chars.size();
                if (overdraws(c, res.chars, index, ip.page.recent)) continue;
                if (!ip.budget.emit()) {
                    spent = true;
                    break;
                }
                append_char(c, index, res, ip.page);
            }
            if (spent) break;
            if (count > 0) style.ch = text[count - 1];
            if (drawn) {
                pen.ox = ox;
                pen.oy = oy;
                pen.ex = at.ex;
                pen.ey = at.ey;
                pen.style.ch = style.ch;
            } else {
                pen = Pen{true, ox, oy, at.ex, at.ey, ux, uy, hx, hy, size, style};
                drawn = true;
            }
            flush = !single_space;
            const double tx = (w0 * fs + tc + (single_space ? tw : 0.0)) * th;
            tm_e += tx * tm_a;
            tm_f += tx * tm_b;
        }
    }
    st.tm.e = tm_e;
    st.tm.f = tm_f;
}

// Moves to the start of a next line offset by (tx, ty) in the line matrix's own space:
// Tlm = [1 0 0 1 tx ty] x Tlm.
void next_line(TextState& st, double tx, double ty) {
    st.tlm.e += tx * st.tlm.a + ty * st.tlm.c;
    st.tlm.f += tx * st.tlm.b + ty * st.tlm.d;
    st.tm = st.tlm;
}

Matrix matrix_of(std::span<const Operand> ops) {
    const Operand* m = ops.data() + ops.size() - 6;
    return {m[0].number(), m[1].number(), m[2].number(),
            m[3].number(), m[4].number(), m[5].number()};
}

// Tj, ' and ": a string operand is shown, any other is not.
void show_operand(const Operand& op, TextState& st, ContentResult& res, Interp& ip) {
    if (op.string() != nullptr) show_text({&op, 1}, st, res, ip);
}

// Components of the colour space named by a cs operand: the device spaces by name, others
// through the page's ColorSpace resources.
std::uint8_t color_space_components(const Operand& op, const Interp& ip) {
    const OperandName* name = op.name();
    if (name == nullptr) return 0;
    const std::string_view n = as_chars(name->bytes);
    if (n == "DeviceGray" || n == "G" || n == "CalGray") return 1;
    if (n == "DeviceRGB" || n == "RGB" || n == "CalRGB") return 3;
    if (n == "DeviceCMYK" || n == "CMYK") return 4;
    const ColorSpaceTable* spaces = ip.page.color_spaces;
    if (spaces == nullptr) return 0;
    const auto it = spaces->find(lossy_utf8(name->bytes));
    return it == spaces->end() ? 0 : it->second;
}

// sc and scn: the last operands are the colour's components in the current space.
void set_fill(std::span<const Operand> ops, GraphicsParams& g) {
    const size_t n = g.fill_components;
    if (n == 0 || ops.size() < n) {
        g.fill = 0;
        return;
    }
    double v[4];
    for (size_t k = 0; k < n; ++k) {
        const Operand& op = ops[ops.size() - n + k];
        if (!op.is_number()) {
            g.fill = 0;
            return;
        }
        v[k] = op.number();
    }
    g.fill = to_srgb(v, n);
}

void set_device_fill(std::span<const Operand> ops, GraphicsParams& g, std::uint8_t components) {
    if (ops.size() < components) return;
    g.fill_components = components;
    set_fill(ops, g);
}

// The placement of an image: the corners (0, 0) and (1, 1) of the unit square under the CTM.
void place_image(ImageRef&& ref, const Matrix& m, ContentResult& res) {
    const double x0 = m.e, y0 = m.f;
    const double x1 = m.a + m.c + m.e, y1 = m.b + m.d + m.f;
    ref.bbox[0] = std::min(x0, x1);
    ref.bbox[1] = std::min(y0, y1);
    ref.bbox[2] = std::max(x0, x1);
    ref.bbox[3] = std::max(y0, y1);
    res.images.push_back(std::move(ref));
}

void draw_xobject(const Operand& op, TextState& st, ContentResult& res, Interp& ip) {
    std::string name;
    if (const OperandName* n = op.name()) name = lossy_utf8(n->bytes);
    const XObjectData* found = ip.xobjects.find(name);
    if (!found || found->kind == XObjectData::Kind::Image) {
        if (!ip.budget.emit()) return;
        ImageRef ref;
        ref.name = std::move(name);
        if (found) {
            ref.id = found->id;
            ref.object = found->object;
        }
        place_image(std::move(ref), st.ctm, res);
        return;
    }
    if (ip.depth > kMaxFormDepth) return;  // also ends forms that draw themselves
    const XObjectData& form = *found;
    if (form.id.num != 0) {
        for (std::uint32_t d = 0; d < ip.depth && d < ip.page.drawing.size(); ++d) {
            if (ip.page.drawing[d] == form.id) return;
        }
        if (ip.depth < ip.page.drawing.size()) ip.page.drawing[ip.depth] = form.id;
    }
    if (!ip.budget.take(kFormDoWork + form.data.size())) return;


    // As in the PDF format, the form inherits the graphics state of the Do, with its /Matrix
    // (which maps form space into the user space of the Do) applied first, then the CTM; its
    // text starts from a fresh text matrix. What it draws is thus placed in the page's user
    // space at once, and appended to this result directly.
    const SavedGraphics inner{Matrix::mul(st.ctm, form.matrix), st.params};
    const FontLayers layers = ip.fonts.with(form.fonts);
    scan_content(form.data, layers, ip.xobjects.with(form.xobjects.get()), ip.depth + 1, ip.budget,
                 res, ip.page, inner);
}

// Moves the views of `obj` that point into `from` to the same offsets in `to`.
void rebase_views(PdfObject& obj, Bytes from, const std::uint8_t* to, unsigned depth) {
    auto move = [&](Bytes& b) {
        if (!b.empty() && b.data() >= from.data() && b.data() < from.data() + from.size()) {
            b = Bytes(to + (b.data() - from.data()), b.size());
        }
    };
    if (depth > kMaxObjectNesting) return;  // deeper values cannot come out of parse_object
    std::visit([&](auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, PdfName> || std::is_same_v<T, PdfString> || std::is_same_v<T, PdfHexString>) {
            move(v.bytes);
        } else if constexpr (std::is_same_v<T, PdfArray>) {
            for (PdfObject& e : v) rebase_views(e, from, to, depth + 1);
        } else if constexpr (std::is_same_v<T, PdfDict>) {
            for (DictEntry& e : v) {
                move(e.key);
                rebase_views(e.value, from, to, depth + 1);
            }
        }
    }, obj.value);
}

// An inline image as an object of its own: a stream over a copy of its bytes, so that the
// placement outlives the content it was drawn by.
struct InlineImageObject {
    std::vector<std::uint8_t> bytes;
    PdfObject object;
};

// "BI" was read and `pos` is just after it: places the inline image there and returns the
// position after its "EI", or returns `pos` when no inline image starts there (the bytes are
// then read as content, as they would be without this).
size_t place_inline_image(Bytes content, size_t pos, const TextState& st, ContentResult& res, Interp& ip) {
    std::optional<InlineImage> img = parse_inline_image(content, pos);
    if (!img) return pos;
    const Bytes span = content.subspan(pos, img->end - pos);
    // Its bytes are read once more and copied once.
    if (!ip.budget.take(2 * span.size()) || !ip.budget.emit()) return img->end;
    auto holder = std::make_shared<InlineImageObject>();
    holder->bytes.assign(span.begin(), span.end());
    PdfObject dict(std::move(img->dict));
    rebase_views(dict, span, holder->bytes.data(), 0);
    PdfStream stream{std::move(std::get<PdfDict>(dict.value)), Bytes{}};
    stream.data = Bytes(holder->bytes.data() + (img->data.data() - span.data()), img->data.size());
    holder->object = PdfObject(std::move(stream));
    ImageRef ref;
    ref.object = ObjPtr(holder, &holder->object);
    place_image(std::move(ref), st.ctm, res);
    return img->end;
}

constexpr std::uint16_t op_key(char a, char b = 0) {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(a) << 8) |
                                      static_cast<std::uint8_t>(b));
}

// Executes one operator, recognised by its one or two bytes (and scn, the one three-byte
// operator that matters here).
void run_operator(Bytes op, OperandList& operands, TextState& st, ContentResult& res,
                  Interp& ip) {
    if (op.size() == 3) {
        if (as_chars(op) == "scn") set_fill(operands.view(), st.params);
        return;
    }
    if (op.empty() || op.size() > 2) return;
    const std::uint16_t key = op_key(static_cast<char>(op[0]),
                                     op.size() == 2 ? static_cast<char>(op[1]) : '\0');
    // Operand 1 is the last one collected, operand 2 the one before it, and so on.
    // The operands are converted by the first view(), only for the operators below that read
    // them.
    const size_t count = operands.size();
    auto arg = [&](size_t k) -> const Operand& { return operands.view()[count - k]; };
    GraphicsParams& g = st.params;
    switch (key) {
        case op_key('q'): st.save_gs(); break;
        case op_key('Q'): st.restore_gs(); break;
        case op_key('c', 'm'):
            // cm concatenates in front of the CTM (CTM' = M x CTM in the format's row-vector
            // terms): the new matrix maps into the space the current CTM already maps.
            if (count >= 6) st.ctm = Matrix::mul(st.ctm, matrix_of(operands.view()));
            break;
        case op_key('B', 'T'):
            st.tm = Matrix{};
            st.tlm = Matrix{};
            break;
        case op_key('T', 'f'):
            if (count >= 2) {
                const OperandName* name = arg(2).name();
                const std::string resource = name != nullptr ? lossy_utf8(name->bytes) : std::string();
                g.font = ip.fonts.find(resource);
                g.font_index = ip.font_index(g.font, resource, res);
                g.font_size = arg(1).number();
            }
            break;
        case op_key('T', 'c'):
            if (count >= 1) g.char_spacing = arg(1).number();
            break;
        case op_key('T', 'w'):
            if (count >= 1) g.word_spacing = arg(1).number();
            break;
        case op_key('T', 'z'):
            if (count >= 1) g.h_scale = arg(1).number() / 100.0;
            break;
        case op_key('T', 'L'):
            if (count >= 1) g.leading = arg(1).number();
            break;
        case op_key('T', 's'):
            if (count >= 1) g.rise = arg(1).number();
            break;
        case op_key('T', 'd'):
            if (count >= 2) next_line(st, arg(2).number(), arg(1).number());
            break;
        case op_key('T', 'D'):
            if (count >= 2) {
                g.leading = -arg(1).number();
                next_line(st, arg(2).number(), arg(1).number());
            }
            break;
        case op_key('T', 'm'):
            if (count >= 6) {
                st.tlm = matrix_of(operands.view());
                st.tm = st.tlm;
            }
            break;
        case op_key('T', '*'): next_line(st, 0.0, -g.leading); break;
        case op_key('T', 'j'):
            if (count >= 1) show_operand(arg(1), st, res, ip);
            break;
        case op_key('\''):
            next_line(st, 0.0, -g.leading);
            if (count >= 1) show_operand(arg(1), st, res, ip);
            break;
        case op_key('"'):
            if (count >= 3) {
                g.word_spacing = arg(3).number();
                g.char_spacing = arg(2).number();
                next_line(st, 0.0, -g.leading);
                show_operand(arg(1), st, res, ip);
            }
            break;
        case op_key('T', 'J'):
            if (count >= 1) {
                if (const std::vector<Operand>* items = arg(1).array()) show_text(*items, st, res, ip);
            }
            break;
        case op_key('g'): set_device_fill(operands.view(), g, 1); break;
        case op_key('r', 'g'): set_device_fill(operands.view(), g, 3); break;
        case op_key('k'): set_device_fill(operands.view(), g, 4); break;
        case op_key('c', 's'):
            // A new colour space starts from its initial colour, black in every space used here.
            if (count >= 1) {
                g.fill_components = color_space_components(arg(1), ip);
                g.fill = 0;
            }
            break;
        case op_key('s', 'c'): set_fill(operands.view(), g); break;
        case op_key('D', 'o'):
            if (count >= 1) draw_xobject(arg(1), st, res, ip);
            break;
        default: break;
    }
}

// Interprets one content stream, starting from the given graphics state, appending to `res`.
void scan_content(Bytes content, const FontLayers& fonts, const XObjectLayers& xobjects,
                  std::uint32_t depth, WorkBudget& budget, ContentResult& res,
                  PageContext& page, const SavedGraphics& initial) {
    if (budget.spent()) return;
    TextState st;
    st.ctm = initial.ctm;
    st.params = initial.params;
    Interp ip{fonts, xobjects, depth, budget, page};
    OperandList operands(content);
    // Array elements the operands of one operator may hold; reset with the operand list.
    size_t elements_left = kMaxOperandElements;
    const std::uint8_t* d = content.data();
    const size_t n = content.size();
    size_t pos = 0;
    while (pos < n) {
        const std::uint8_t b = d[pos];
        const std::uint8_t cls = kClasses[b];
        if (cls & kSpace) {
            ++pos;
            continue;
        }
        if (cls & kOperator) {
            const size_t begin = pos;
            do {
                ++pos;
            } while (pos < n && has_class(d[pos], kOperator));
            if (!budget.take(1)) break;
            if (pos - begin == 2 && d[begin] == 'B' && d[begin + 1] == 'I') {
                pos = place_inline_image(content, pos, st, res, ip);  // its data is no content
            } else {
                run_operator(content.subspan(begin, pos - begin), operands, st, res, ip);
            }
            operands.clear();
            elements_left = kMaxOperandElements;
            if (budget.spent()) break;
            continue;
        }
        if (b == '%') {
            while (pos < n && d[pos] != '\n' && d[pos] != '\r') ++pos;
            continue;
        }
        // Numbers, the most frequent operands (path coordinates above all), are stepped over
        // and converted only if an operator reads them.
        if (cls & kNumber) {
            const size_t begin = pos;
            const NumberForm form = skip_number(content, pos);
            if (form == NumberForm::Short) {
                operands.commit_number(begin, b);
            } else if (form == NumberForm::Other && parse_number(content, pos, operands.next_slot(b))) {
                operands.commit();
            }
        } else if (parse_operand_at(content, pos, 0, elements_left, operands.next_slot(b))) {
            operands.commit();
        }
        // The one white space byte that nearly always follows an operand is passed here.
        if (pos < n && has_class(d[pos], kSpace)) ++pos;
    }
}

FontLayers single_layer(const FontTable& fonts) {
    FontLayers layers;
    layers.tables[0] = &fonts;
    layers.count = 1;
    return layers;
}

ContentResult scan_with_budget(Bytes content, const FontTable& fonts,
                               const XObjectTable& xobjects, std::uint32_t depth,
                               std::uint64_t work_budget, std::uint64_t output_budget,
                               std::uint64_t* work_done = nullptr,
                               const ColorSpaceTable* color_spaces = nullptr,
                               std::span<const Appearance> appearances = {}) {
    ContentResult res;
    // No output allowed leaves nothing to do (and emit() needs at least one record to count
    // down from).
    if (work_budget == 0 || output_budget == 0) {
        if (work_done) *work_done += work_budget;
        return res;
    }
    WorkBudget work{work_budget, output_budget};
    // Text-heavy content shows one glyph per two to eight bytes. Reserving for one per two
    // avoids regrowing (and copying) the largest vector of a page; the reservation is only
    // address space until written, and the output bound caps it.
    res.chars.reserve(std::min<std::uint64_t>(content.size() / 2, output_budget));
    PageContext page;
    page.color_spaces = color_spaces;
    scan_content(content, single_layer(fonts), XObjectLayers::of(xobjects), depth, work, res, page,
                 SavedGraphics{});
    // Each appearance runs as a form drawn from the page would, from a fresh graphics state
    // (whatever the page's content left unbalanced does not reach it), its own fonts first.
    for (const Appearance& shown : appearances) {
        if (!shown.form || depth > kMaxFormDepth) break;
        const XObjectData& form = *shown.form;
        if (!work.take(kFormDoWork + form.data.size())) break;
        page.drawing[depth] = form.id;
        FontLayers layers = single_layer(form.fonts).with(fonts);
        const SavedGraphics initial{Matrix::mul(shown.matrix, form.matrix), GraphicsParams{}};
        scan_content(form.data, layers, XObjectLayers::of(xobjects).with(form.xobjects.get()),
                     depth + 1, work, res, page, initial);
    }
    if (work_done) *work_done += work_budget - work.left;
    return res;
}

}  // namespace

ContentResult scan_content_stream_full(Bytes content, const FontTable& fonts,
                                       const XObjectTable& xobjects, std::uint32_t depth,
                                       const ColorSpaceTable* color_spaces) {
    return scan_with_budget(content, fonts, xobjects, depth, kPageWorkBudget, kMaxPageOutput,
                            nullptr, color_spaces);
}

ContentResult scan_content_stream_bounded(Bytes content, const FontTable& fonts,
                                          const XObjectTable& xobjects, std::uint32_t depth,
                                          std::uint64_t work_budget, std::uint64_t output_budget,
                                          std::uint64_t& work_done,
                                          const ColorSpaceTable* color_spaces,
                                          std::span<const Appearance> appearances) {
    return scan_with_budget(content, fonts, xobjects, depth, work_budget, output_budget,
                            &work_done, color_spaces, appearances);
}

ContentResult scan_content_stream_with_budget_for_testing(Bytes content, const FontTable& fonts,
                                                          const XObjectTable& xobjects,
                                                          std::uint32_t depth,
                                                          std::uint64_t budget,
                                                          std::uint64_t output_budget) {
    return scan_with_budget(content, fonts, xobjects, depth, budget, output_budget);
}

std::optional<Operand> parse_operand(Bytes data, size_t& pos) {
    if (pos >= data.size()) return std::nullopt;
    size_t elements_left = kMaxOperandElements;
    Operand op;
    if (!parse_operand_at(data, pos, 0, elements_left, op)) return std::nullopt;
    return op;
}

}  // namespace vellix
