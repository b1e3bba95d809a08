// The object syntax parser and the core's single error type.
//
// parse_object reads one PDF object from a byte position. It never copies string data and
// never decodes escapes, hex digits or filters: it finds the extent of each token and records a
// view of it. Names with #XX escapes are decoded into the cursor's arena.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "bounds.h"
#include "types.h"

namespace vellix {

enum class ParseErrorKind : std::uint8_t {
    UnexpectedEof,
    UnexpectedByte,
    InvalidNumber,
    InvalidHexString,
    InvalidNameEscape,
    UnbalancedParentheses,
    StreamMissingLength,
    Message,
};

// Trivially copyable and owns no heap memory: failing costs no more than succeeding.
struct ParseError {
    ParseErrorKind kind = ParseErrorKind::Message;
    std::uint8_t byte = 0;        // UnexpectedByte only
    const char* text = nullptr;   // Message only; always a string literal

    static constexpr ParseError of(ParseErrorKind k) { return {k, 0, nullptr}; }
    static constexpr ParseError unexpected_byte(std::uint8_t b) {
        return {ParseErrorKind::UnexpectedByte, b, nullptr};
    }
    static constexpr ParseError message(const char* s) { return {ParseErrorKind::Message, 0, s}; }

    // The display text: "unexpected end of input", "unexpected byte: 0x5d (']')", ...
    std::string display() const;

    friend bool operator==(const ParseError& a, const ParseError& b);
};

template <class T>
using Result = std::expected<T, ParseError>;

// Propagates the error of a Result-returning expression; the only macro of its kind.
#define VELLIX_TRY(var, expr)                                   \
    auto var = (expr);                                          \
    if (!var) return std::unexpected(var.error())

// A read position over bytes that somebody else owns. Copying a Cursor never copies data.
struct Cursor {
    Bytes data;
    size_t pos = 0;
    Arena* arena = nullptr;  // where decoded names go; the process arena when null

    // Subtraction form: pos <= data.size() holds, so a hostile count cannot wrap.
    bool has(size_t n) const { return n <= data.size() - pos; }
    bool at_end() const { return pos >= data.size(); }
    std::uint8_t peek() const { return data[pos]; }
    bool starts_with(std::string_view s) const {
        return has(s.size()) && as_chars(data.subspan(pos, s.size())) == s;
    }

    // Skips white space (NUL, tab, LF, CR, space; form feed is not white space here) and
    // comments ("%" up to the next LF or CR).
    void skip_ws();
};

// Bytes that end a token: the white space above and % ( ) / < > [ ] { }.
bool is_token_end(std::uint8_t b);
bool is_pdf_whitespace(std::uint8_t b);

// Reads one object after white space and comments. Never returns a Stream: a dictionary that
// is followed by the keyword stream leaves the cursor just after ">>" for the caller.
[[nodiscard]] Result<PdfObject> parse_object(Cursor& cur);

// Turns a dictionary followed by "stream" into a Stream, given the cursor just after the
// dictionary. Takes the entry list. /Length given as an Integer is used directly; otherwise
// the data runs up to the first "endstream".
[[nodiscard]] Result<PdfObject> parse_stream(Cursor& cur, PdfDict dict);

}  // namespace vellix
