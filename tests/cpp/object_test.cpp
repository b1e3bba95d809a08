// The object syntax parser and the texts of ParseError.
#include "parser/object.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <fstream>
#include <limits>
#include <thread>

#include "parser/filters.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using namespace std::literals;

// Expected values. Views point at string literals; equality compares bytes, not addresses.
PdfObject integer(std::int64_t v) { return PdfObject(v); }
PdfObject real(double v) { return PdfObject(v); }
PdfObject reference(std::uint32_t num, std::uint16_t gen) { return PdfObject(ObjectId{num, gen}); }
PdfObject string(std::string_view s) { return PdfObject(PdfString{as_bytes(s)}); }
PdfObject hex(std::string_view s) { return PdfObject(PdfHexString{as_bytes(s)}); }
PdfObject name(std::string_view s) { return PdfObject(PdfName{as_bytes(s)}); }
PdfObject array(std::vector<PdfObject> items) { return PdfObject(PdfArray(std::move(items))); }
PdfObject dict(std::vector<std::pair<std::string_view, PdfObject>> entries) {
    PdfDict d;
    for (auto& [k, v] : entries) d.push_back({as_bytes(k), std::move(v)});
    return PdfObject(std::move(d));
}

ParseError eof() { return ParseError::of(ParseErrorKind::UnexpectedEof); }
ParseError byte(std::uint8_t b) { return ParseError::unexpected_byte(b); }
ParseError kind(ParseErrorKind k) { return ParseError::of(k); }

struct Good { std::string_view input; PdfObject expected; size_t end; /* cursor after */ };
struct Bad { std::string_view input; ParseError expected; };

// Parses a dictionary with parse_object and then its stream.
Result<PdfObject> read_stream(Cursor& cur) {
    Result<PdfObject> head = parse_object(cur);
    if (!head || !head->dict()) return head;
    return parse_stream(cur, *head->dict());
}

std::string error_of(const Result<PdfObject>& r) { return r ? std::string() : r.error().display(); }

void expect_parses(const Good& c) {
    Cursor cur{as_bytes(c.input)};
    Result<PdfObject> got = parse_object(cur);
    EXPECT_EQ(std::tuple(got, cur.pos), std::tuple(c.expected, c.end)) << "input: \"" << c.input << "\" " << error_of(got);
    // Equality of doubles cannot tell -0.0 from 0.0.
    EXPECT_EQ(std::signbit(got ? got->as_number().value_or(0) : 0), std::signbit(c.expected.as_number().value_or(0))) << c.input;
}

void expect_fails(const Bad& c, Result<PdfObject> (*parse)(Cursor&) = parse_object) {
    Cursor cur{as_bytes(c.input)};
    Result<PdfObject> got = parse(cur);
    EXPECT_EQ(got ? std::string("parsed") : got.error().display(), c.expected.display()) << "input: \"" << c.input << "\"";
}

TEST(ParseErrorDisplay, FixedTextsAndEquality) {
    const struct { ParseError error; std::string_view text; } cases[] = {
        {eof(), "unexpected end of input"}, {kind(ParseErrorKind::InvalidNumber), "invalid number format"},
        {kind(ParseErrorKind::InvalidHexString), "invalid hex string"}, {kind(ParseErrorKind::InvalidNameEscape), "invalid #XX escape in name"},
        {kind(ParseErrorKind::UnbalancedParentheses), "unbalanced parentheses in string"}, {kind(ParseErrorKind::StreamMissingLength), "stream missing /Length"},
        // The byte as two lower-case hex digits, then as the code point of the same value.
        {byte(']'), "unexpected byte: 0x5d (']')"}, {byte(0x0A), "unexpected byte: 0x0a ('\n')"},
        {byte(0x00), "unexpected byte: 0x00 ('\0')"sv}, {byte(0xE9), "unexpected byte: 0xe9 ('\xC3\xA9')"},
        {byte(0x80), "unexpected byte: 0x80 ('\xC2\x80')"}, {ParseError::message("expected 'stream' keyword"), "expected 'stream' keyword"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.text);
    EXPECT_NE(byte('a'), byte('b'));
    // Message texts compare by content, not by address.
    static const char copy[] = "expected 'stream' keyword";
    EXPECT_EQ(ParseError::message("expected 'stream' keyword"), ParseError::message(copy));
    EXPECT_TRUE(ParseError::message("a") != ParseError::message("b") && ParseError::message("a") != ParseError::message(nullptr));
}

TEST(ByteClasses, WhitespaceAndTokenEnds) {
    // White space ends tokens, delimiters end them without being white space; form feed is neither.
    for (std::uint8_t b : "\0\t\n\r "sv) EXPECT_TRUE(is_pdf_whitespace(b) && is_token_end(b)) << int(b);
    for (std::uint8_t b : "%()/<>[]{}"sv) EXPECT_TRUE(!is_pdf_whitespace(b) && is_token_end(b)) << b;
    for (std::uint8_t b : "\f\va0#~\x80\xff"sv) EXPECT_FALSE(is_pdf_whitespace(b) || is_token_end(b)) << int(b);
}

TEST(CursorSkipWs, WhitespaceAndComments) {
    const struct { std::string_view input; size_t end; } cases[] = {
        // A comment takes its terminating CR; the LF of a CR LF pair goes as white space. Form
        // feed is neither white space nor skipped.
        {"", 0}, {"x", 0}, {" \t\r\n\0x"sv, 5}, {"  \fx", 2}, {"%\fcomment\n\f", 10},
        {"% c\r\nx", 5}, {"%a\r%b\n  x", 8}, {"% runs to the end", 17},
    };
    for (const auto& c : cases) {
        Cursor cur{as_bytes(c.input)};
        cur.skip_ws();
        EXPECT_EQ(cur.pos, c.end) << "input: " << c.input;
    }
}

TEST(ParseObject, KeywordsStringsAndNames) {
    const Good cases[] = {
        // Keywords need a token end or the end of the data after them.
        {"true", true, 4}, {"false ", false, 5}, {"null/", PdfNull{}, 4}, {"  % leading comment\n null", PdfNull{}, 25},
        // Literal strings: views of the raw bytes, escapes untouched, parentheses balanced.
        {"()", string(""), 2}, {"(a(b)c)x", string("a(b)c"), 7}, {"(a\\)b)", string("a\\)b"), 6},
        {"(a\\\\)b)", string("a\\\\"), 5}, {"(line\r\nbreak)", string("line\r\nbreak"), 13},
        // Hex strings: the raw digits and white space, odd counts allowed.
        // Names end at a token end; #XX escapes are decoded, in either case.
        {"<414>", hex("414"), 5}, {"<>", hex(""), 2}, {"<aBcD\n09>", hex("aBcD\n09"), 9},
        {"/Type/Page", name("Type"), 5}, {"/ x", name(""), 1}, {"/A{", name("A"), 2}, {"/A#4a#4A", name("AJJ"), 8}, {"/#00x", name("\0x"sv), 5},
        // A "#" with fewer than two bytes after it in the token is kept as it is.
        {"/A;B~\x7f\x80\xff ", name("A;B~\x7f\x80\xff"), 8}, {"/A#4", name("A#4"), 4}, {"/A#", name("A#"), 3}, {"/A#4 2", name("A#4"), 4},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, DecodedNamesLiveInTheCursorArena) {
    Arena arena;
    const Bytes in = as_bytes("/A#42"sv);
    Cursor cur{in, 0, &arena};
    const Bytes decoded = *parse_object(cur)->as_name();
    EXPECT_EQ(as_chars(decoded), "AB");
    EXPECT_TRUE(decoded.data() < in.data() || decoded.data() >= in.data() + in.size());
    // A name without escapes is a view into the input.
    Cursor plain{in.first(2)};
    EXPECT_EQ(parse_object(plain)->as_name()->data(), in.data() + 1);
}

TEST(ParseObject, NumbersAndReferences) {
    const double inf = std::numeric_limits<double>::infinity();
    const Good cases[] = {
        {"-17", integer(-17), 3}, {"007", integer(7), 3}, {"9223372036854775807", integer(9223372036854775807LL), 19},
        // Too large for 64 bits: 0. Leading zeros do not make a number too large.
        {"9223372036854775808", integer(0), 19}, {"-99999999999999999999", integer(0), 21}, {"00000000000000000009223372036854775808", integer(0), 38},
        {"-00000000000000000009223372036854775807", integer(-9223372036854775807LL), 39},
        // The digits end the integer wherever a non-digit follows.
        {"12abc", integer(12), 2}, {"1.x", integer(1), 1}, {"1.e5", integer(1), 1},
        // Reals.
        {"1.]", real(1.0), 2}, {"-.5", real(-0.5), 3}, {"+.5", real(0.5), 3}, {"2E3", real(2e3), 3}, {"-0.0", real(-0.0), 4},
        {"+1.5e-2", real(1.5e-2), 7}, {"1.5.3", real(1.5), 3},
        // Correct rounding: exactly halfway between 1 and the next double rounds to even;
        // a hair above it rounds up.
        {"1.00000000000000011102230246251565404236316680908203125", real(1.0), 55},
        {"1.00000000000000011102230246251565404236316680908203125001", real(1.0000000000000002), 58},
        {"-1e400", real(-inf), 6}, {"0.00001e-400", real(0.0), 12}, {"-1e-400", real(-0.0), 7},
        // References: n g R with a token end after R.
        {"12 3 R/", reference(12, 3), 6}, {"1 % c\n0 % c\nR", reference(1, 0), 13},
        {"+1 -0 R", reference(1, 0), 7}, {"4294967297 65537 R", reference(1, 1), 18}, {"-1 0 R", reference(0xFFFFFFFFu, 0), 6},
        // Anything short of a complete reference is the first integer alone.
        {"1 0 Rx", integer(1), 1}, {"1 0 obj", integer(1), 1}, {"1 0", integer(1), 1}, {"1 2.5 R", integer(1), 1}, {"1 - R", integer(1), 1},
        // No second integer: the cursor stays after the white space.
        {"1 /Name", integer(1), 2}, {"1 R", integer(1), 2}, {"1", integer(1), 1},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, ArraysAndDictionaries) {
    const Good cases[] = {
        {"[]", array({}), 2}, {"[1 2 R]", array({reference(1, 2)}), 7}, {"[1 0 R 2]", array({reference(1, 0), integer(2)}), 9}, {"[ % c\n 1 ]", array({integer(1)}), 10},
        // A run of numbers: each integer the reference lookahead passes over is an element.
        {"[1 2 3 0 R -4 +5 .5 6.]", array({integer(1), integer(2), reference(3, 0), integer(-4), integer(5), real(0.5), real(6.0)}), 23},
        {"[/A(b)<0c>[true]]", array({name("A"), string("b"), hex("0c"), array({true})}), 17}, {"<</D<</E null>>>>", dict({{"D", dict({{"E", PdfNull{}}})}}), 17},
        {"<< /Parent 4 0 R /Kids [5 0 R] >>", dict({{"Parent", reference(4, 0)}, {"Kids", array({reference(5, 0)})}}), 33},
        {"<</A 1 0 R/B -2/C .5/D 3>>", dict({{"A", reference(1, 0)}, {"B", integer(-2)}, {"C", real(0.5)}, {"D", integer(3)}}), 26},
        // Duplicate keys are all kept, in file order; keys are decoded like names.
        {"<</A 1/A 2>>", dict({{"A", integer(1)}, {"A", integer(2)}}), 12}, {"<</A#42 1>>", dict({{"AB", integer(1)}}), 11},
        // After ">>" white space is skipped, unless the keyword stream follows.
        {"<<>>  x", dict({}), 6}, {"<<>> \r\nstream\r\n", dict({}), 4}, {"<<>> strea", dict({}), 5}, {"<<>> streamer", dict({}), 4},
        {"<<>> % c\nstream", dict({}), 4},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, Failures) {
    using K = ParseErrorKind;
    const Bad cases[] = {
        // End of data where an object or a closer is expected.
        {"", eof()}, {"  % only a comment", eof()}, {"(a(b)", eof()}, {"(abc\\)", eof()},
        {"<414", eof()}, {"[1 2", eof()}, {"<</A", eof()}, {"<</A 1 >", byte('>')},
        // Bytes that start no object.
        {"]", byte(']')}, {")", byte(')')}, {"{", byte('{')}, {"R", byte('R')}, {"\x80", byte(0x80)}, {"[1\f2]", byte(0x0C)},
        // Keywords must be whole and end at a token end.
        // Keys must be names; a key needs a value.
        {"truex", byte('t')}, {"tru", byte('t')}, {"t rue", byte('t')}, {"<<1 2>>", byte('1')}, {"<</A>>", byte('>')}, {"<</A 1 B 2>>", byte('B')},
        // Numbers, hex strings with other bytes than digits and white space, short escapes.
        {".", kind(K::InvalidNumber)}, {"-.", kind(K::InvalidNumber)}, {"- 1", kind(K::InvalidNumber)}, {"--1", kind(K::InvalidNumber)},
        {"1e+", kind(K::InvalidNumber)}, {"1.5e-x", kind(K::InvalidNumber)}, {".e5", kind(K::InvalidNumber)}, {"[1 .]", kind(K::InvalidNumber)},
        {"<4G>", kind(K::InvalidHexString)}, {"<41\f>", kind(K::InvalidHexString)}, {"<4<>", kind(K::InvalidHexString)},
        {"/A#4G", kind(K::InvalidNameEscape)}, {"/##41", kind(K::InvalidNameEscape)}, {"<</A#zz 1>>", kind(K::InvalidNameEscape)},
        // A failing element fails its container.
        {"[1 (a]", eof()}, {"<</A [1 }]>>", byte('}')},
    };
    for (const auto& c : cases) expect_fails(c);
}

TEST(ParseObject, CursorPositions) {
    // A byte that starts no object keeps the cursor; a bad hex digit holds it.
    Cursor stray{as_bytes("  }")}, hexbad{as_bytes("<41 4G>")};
    EXPECT_EQ((std::tuple{error_of(parse_object(stray)), stray.pos}), std::tuple("unexpected byte: 0x7d ('}')", 2u));
    EXPECT_EQ((std::tuple{error_of(parse_object(hexbad)), hexbad.pos}), std::tuple("invalid hex string", 5u));
    Cursor beyond{as_bytes("1"), 5};
    EXPECT_EQ(parse_object(beyond).error(), eof());
    // The token after an unfinished reference is read again as the next object.
    Cursor cur{as_bytes("1 0 obj << /A 12abc >> endobj")};
    EXPECT_EQ(parse_object(cur), integer(1));
    EXPECT_EQ(parse_object(cur), integer(0));
    EXPECT_EQ(parse_object(cur).error(), byte('o'));
}

TEST(ParseObject, FailedContainersLeaveNothingBehind) {
    // Containers collect elements on a per-thread stack; a failure deep inside must not leak
    // elements into the next object read on the same thread.
    for (std::string_view bad : {"[1 [2 <</A 3 /B [(x", "<</A [1 2 <</C 4 /D 5 0 R /E }",
                                 "[1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 /A#zz]"}) {
        Cursor cur{as_bytes(bad)};
        ASSERT_FALSE(parse_object(cur).has_value()) << bad;
        expect_parses({"[4 <</K [5]>> 6]", array({integer(4), dict({{"K", array({integer(5)})}}), integer(6)}), 16});
    }
}

TEST(ParseObject, LargeContainersAreExactlySized) {
    // Larger than the stack capacity a thread keeps between calls.
    std::string list = "[", map = "<<";
    for (int i = 0; i < 20000; ++i) list += std::to_string(i) + " ", map += "/K" + std::to_string(i) + " " + std::to_string(i);
    list += "]", map += ">>";
    for (int round = 0; round < 2; ++round) {
        Cursor cur{as_bytes(list)}, dcur{as_bytes(map)};
        Result<PdfObject> got = parse_object(cur), d = parse_object(dcur);
        ASSERT_TRUE(got && d && got->array() && d->dict());
        ASSERT_EQ(std::tuple(got->array()->size(), got->array()->capacity(), d->dict()->size()), std::tuple(20000u, 20000u, 20000u));
        EXPECT_EQ(std::tuple(got->array()->back(), d->get("K12345")->as_int()), std::tuple(integer(19999), 12345));
    }
}

TEST(ParseObject, ThreadsParseTheSameBytesIndependently) {
    // Each thread has its own container scratch and decodes names into the shared arena.
    std::string input;
    for (int i = 0; i < 200; ++i) input += "<</K" + std::to_string(i) + " [" + std::to_string(i) + " 0 R /N#41 [1 2 [3]]]>> ";
    std::vector<PdfObject> expected;
    Cursor cur{as_bytes(input)};
    while (expected.size() < 200) expected.push_back(parse_object(cur).value());
    std::vector<int> mismatches(4, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                Cursor cur{as_bytes(input)};
                for (const PdfObject& e : expected) mismatches[t] += parse_object(cur) != e;
            }
        });
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ParseObject, NestingBound) {
    auto rep = [](std::string_view x, unsigned n) { std::string s; while (n--) s += x; return s; };
    auto nest = [&](std::string_view open, std::string_view close, unsigned n) { return rep(open, n) + "1" + rep(close, n); };
    const unsigned max = kMaxObjectNesting;
    const struct { std::string input; bool ok; } cases[] = {
        {nest("[", "]", max), true}, {nest("[", "]", max + 1), false},
        {nest("<</A ", ">>", max), true}, {nest("<</A ", ">>", max + 1), false},
        // Mixed containers count together; very deep input fails without exhausting the stack.
        {nest("[<</K ", "", max / 2 + 1), false}, {nest("<</A [", "", 50000), false},
    };
    for (const auto& c : cases) {
        Cursor cur{as_bytes(c.input)};
        Result<PdfObject> got = parse_object(cur);
        EXPECT_EQ(got ? std::to_string(cur.pos) : got.error().display(), c.ok ? std::to_string(c.input.size()) : "object nesting too deep")
            << c.input.substr(0, 12) << "... size " << c.input.size();
    }
}

TEST(ParseStream, LengthAndEndstream) {
    const struct { std::string_view input, data; size_t end; } cases[] = {
        // A direct /Length: exactly that many bytes; "endstream" is optional afterwards.
        {"<</Length 5/Filter/FlateDecode>>stream\r\nhello\r\nendstream", "hello", 56},
        {"<</Length 5>>\nstream\nhello\nendstream\nendobj", "hello", 36}, {"<</Length 5>> stream\rhello endstream", "hello", 36},
        {"<</Length 5>>stream\r\nhello  x", "hello", 28}, {"<</Length 0>>stream\nendstream", "", 29},
        // A /Length not followed by the keyword is wrong: up to the keyword instead.
        {"<</Length 1000>>stream\r\nabc endstream", "abc ", 37}, {"<</Length 2>>stream\nhello\nendstream", "hello\n", 35},
        // Only one CR and one LF are skipped; a blank or a second LF is data. The first /Length
        // wins.
        {"<</Length 3>>stream abc", " ab", 22}, {"<</Length 3>>stream\n\nabc", "\nab", 23}, {"<</Length 3>>stream\n\rabc", "\rab", 23},
        {"<</Length 2/Length 4>>stream\nabcd", "ab", 31},
        // No usable /Length: up to the first "endstream", any end of line included.
        {"<<>>stream\r\nhello\r\nendstream", "hello\r\n", 28},
        {"<</Length 7 0 R>>stream\nhi\nendstream", "hi\n", 36}, {"<</Length 2.0>>stream\nhi endstream", "hi ", 34},
        {"<</Length -3>>stream\nab\nendstream", "ab\n", 33},
        {"<</Length -9223372036854775807>>stream\nabendstream", "ab", 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Cursor cur{as_bytes(c.input)}, head{as_bytes(c.input)};
        Result<PdfObject> got = read_stream(cur);
        ASSERT_TRUE(got && got->stream()) << error_of(got);
        EXPECT_EQ(std::tuple(as_chars(got->stream()->data), cur.pos), std::tuple(c.data, c.end));
        // The data is a view of the input; the dictionary is kept whole.
        const size_t at = c.input.find(c.data, c.input.find("stream") + 6);
        EXPECT_TRUE(c.data.empty() || got->stream()->data.data() == as_bytes(c.input).data() + at);
        EXPECT_EQ(got->stream()->dict, *parse_object(head)->dict());
    }
}

TEST(ParseStream, Failures) {
    const ParseError missing = kind(ParseErrorKind::StreamMissingLength);
    const ParseError keyword = ParseError::message("expected 'stream' keyword");
    const Bad cases[] = {
        // Data shorter than /Length, with no keyword after it.
        {"<</Length 1>>stream", eof()}, {"<</Length 9223372036854775807>>stream\nabc", eof()},
        // Neither a usable /Length nor the keyword.
        {"<<>>stream\nabc", missing}, {"<</Length -1>>stream\nabc endstrea", missing}, {"<</Length 1 0 R>>stream\n", missing},
        // No keyword where the stream should start.
        {"<</Length 1>>", keyword}, {"<</Length 1>> streak", keyword}, {"<</Length 1>> endstream", keyword},
    };
    for (const auto& c : cases) expect_fails(c, read_stream);
}

// Offsets just after each "n g obj" header that starts a line, found textually. Stream data
// may hold such text too; in the sound corpus files it does not.
std::vector<size_t> object_bodies(std::string_view file) {
    std::vector<size_t> out;
    for (size_t p = file.find(" obj", 1); p != file.npos; p = file.find(" obj", p + 1)) {
        const size_t k = file.find_last_not_of("0123456789 ", p - 1);  // npos at the file start
        const std::string_view head = file.substr(k + 1, p - k - 1);
        const bool line_start = k == file.npos || file[k] == '\n' || file[k] == '\r';
        if (line_start && head[0] != ' ' && std::ranges::count(head, ' ') == 1) out.push_back(p + 4);
    }
    return out;
}

// Every object of the files qpdf checks clean parses. In those that are not encrypted (their
// streams are ciphertext), every cross-reference stream with a direct /Length decodes into whole
// rows of /W bytes whose type fields are 0, 1 or 2, and every object stream decodes: predictors
// from real writers, PNG Up above all.
TEST(Corpus, ObjectsParseAndStructuralStreamsDecode) {
    const auto rows = testing::corpus_manifest();
    if (rows.empty()) GTEST_SKIP() << "no corpus at " << testing::corpus_dir();
    size_t objects = 0, with_predictor = 0, object_streams = 0;
    // Damaged files are the recovery's concern.
    for (const auto& row : rows) {
        if (row.at("qpdf_check") != "ok") continue;
        const bool encrypted = row.at("encrypted") != "no";
        std::ifstream in(testing::corpus_dir() / row.at("path"), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        for (size_t body : object_bodies(bytes)) {
            SCOPED_TRACE(::testing::Message() << row.at("path") << " at " << body);
            Cursor cur{as_bytes(bytes), body};
            Result<PdfObject> obj = parse_object(cur);
            Cursor probe = cur;
            probe.skip_ws();
            if (obj && obj->dict() && probe.starts_with("stream")) obj = parse_stream(cur, *obj->dict());
            ASSERT_TRUE(obj.has_value()) << obj.error().display();
            ++objects;
            const PdfObject* type = obj->get("Type");
            const bool xref = type && type->is_name("XRef");
            if (encrypted || !obj->stream() || !obj->get("Length")->as_int()) continue;
            if (!xref && !(type && type->is_name("ObjStm"))) continue;
            Result<ByteVec> decoded = decode_structural_stream(*obj->stream());
            ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
            object_streams += !xref;
            const PdfArray* w = obj->get("W") ? obj->get("W")->array() : nullptr;
            if (!xref || !w || w->size() != 3) continue;
            size_t row = 0;
            for (const PdfObject& v : *w) row += static_cast<size_t>(v.as_int().value_or(0));
            ASSERT_GT(row, 0u);
            with_predictor += obj->get("DecodeParms") != nullptr;
            EXPECT_EQ(decoded->size() % row, 0u);
            for (size_t r = 0; (*w)[0].as_int() == 1 && r + row <= decoded->size(); r += row) ASSERT_LE((*decoded)[r], 2) << "row " << r / row;
        }
    }
    // The corpus has dozens of each; a scan that finds none is broken, not lucky.
    EXPECT_TRUE(objects > 1000 && with_predictor > 10 && object_streams > 10) << objects << " " << with_predictor << " " << object_streams;
}

}  // namespace
}  // namespace vellix
