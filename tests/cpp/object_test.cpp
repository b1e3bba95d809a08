// The object syntax parser and the texts of ParseError.
#include "parser/object.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellix {
namespace {

using namespace std::literals;

// Builders for expected values. Views point at string literals, which live forever; equality
// compares bytes, not addresses.
PdfObject integer(std::int64_t v) { return PdfObject(v); }
PdfObject real(double v) { return PdfObject(v); }
PdfObject boolean(bool v) { return PdfObject(v); }
PdfObject null() { return PdfObject(); }
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

struct Good {
    std::string_view input;
    PdfObject expected;
    size_t end;  // cursor position after the object
};

void expect_parses(const Good& c) {
    SCOPED_TRACE(::testing::Message() << "input: \"" << c.input << "\"");
    Cursor cur{as_bytes(c.input)};
    Result<PdfObject> got = parse_object(cur);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, c.expected);
    EXPECT_EQ(cur.pos, c.end);
}

struct Bad {
    std::string_view input;
    ParseError expected;
};

void expect_fails(const Bad& c) {
    SCOPED_TRACE(::testing::Message() << "input: \"" << c.input << "\"");
    Cursor cur{as_bytes(c.input)};
    Result<PdfObject> got = parse_object(cur);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), c.expected) << got.error().display();
}

TEST(ParseErrorDisplay, FixedTexts) {
    const struct { ParseError error; std::string_view text; } cases[] = {
        {eof(), "unexpected end of input"},
        {kind(ParseErrorKind::InvalidNumber), "invalid number format"},
        {kind(ParseErrorKind::InvalidHexString), "invalid hex string"},
        {kind(ParseErrorKind::InvalidNameEscape), "invalid #XX escape in name"},
        {kind(ParseErrorKind::UnbalancedParentheses), "unbalanced parentheses in string"},
        {kind(ParseErrorKind::StreamMissingLength), "stream missing /Length"},
        {ParseError::message("expected 'stream' keyword"), "expected 'stream' keyword"},
        // The byte as two lower-case hex digits, then as the code point of the same value.
        {byte(']'), "unexpected byte: 0x5d (']')"},
        {byte(')'), "unexpected byte: 0x29 (')')"},
        {byte('>'), "unexpected byte: 0x3e ('>')"},
        {byte(0x07), "unexpected byte: 0x07 ('\x07')"sv},
        {byte(0x0A), "unexpected byte: 0x0a ('\n')"},
        {byte(0x00), "unexpected byte: 0x00 ('\0')"sv},
        {byte(0xE9), "unexpected byte: 0xe9 ('\xC3\xA9')"},
        {byte(0xFF), "unexpected byte: 0xff ('\xC3\xBF')"},
        {byte(0x80), "unexpected byte: 0x80 ('\xC2\x80')"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.display(), c.text);
    }
}

TEST(ParseErrorEquality, ComparesKindPayloadAndText) {
    EXPECT_EQ(byte('a'), byte('a'));
    EXPECT_NE(byte('a'), byte('b'));
    EXPECT_NE(eof(), kind(ParseErrorKind::InvalidNumber));
    // Message texts compare by content, not by address.
    static const char copy[] = "expected 'stream' keyword";
    EXPECT_EQ(ParseError::message("expected 'stream' keyword"), ParseError::message(copy));
    EXPECT_NE(ParseError::message("a"), ParseError::message("b"));
    EXPECT_NE(ParseError::message("a"), ParseError::message(nullptr));
}

TEST(ByteClasses, WhitespaceAndTokenEnds) {
    for (unsigned b = 0; b < 256; ++b) {
        const auto u = static_cast<std::uint8_t>(b);
        const bool ws = b == 0x00 || b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20;
        const bool delim = std::strchr("%()/<>[]{}", static_cast<int>(b)) != nullptr && b != 0;
        EXPECT_EQ(is_pdf_whitespace(u), ws) << "byte " << b;
        EXPECT_EQ(is_token_end(u), ws || delim) << "byte " << b;
    }
}

TEST(CursorSkipWs, WhitespaceAndComments) {
    const struct { std::string_view input; size_t end; } cases[] = {
        {"", 0},
        {"x", 0},
        {std::string_view(" \t\r\n\0x", 6), 5},
        // A comment takes its terminating CR; the LF of a CR LF pair goes as white space.
        {"% c\r\nx", 5},
        {"% c\nx", 4},
        {"%a\r%b\n  x", 8},
        {"% runs to the end", 17},
        // Form feed is neither white space nor skipped.
        {"\fx", 0},
        {"  \fx", 2},
        {"%\fcomment\n\f", 10},
    };
    for (const auto& c : cases) {
        Cursor cur{as_bytes(c.input)};
        cur.skip_ws();
        EXPECT_EQ(cur.pos, c.end) << "input: " << c.input;
    }
}

TEST(ParseObject, KeywordsAndStrings) {
    const Good cases[] = {
        // Keywords need a token end or the end of the data after them.
        {"true", boolean(true), 4},
        {"false ", boolean(false), 5},
        {"null/", null(), 4},
        {"true)", boolean(true), 4},
        {"  % leading comment\n null", null(), 25},
        // Literal strings: views of the raw bytes, escapes untouched.
        {"(abc)", string("abc"), 5},
        {"()", string(""), 2},
        {"(a(b)c)x", string("a(b)c"), 7},
        {"(a\\)b)", string("a\\)b"), 6},
        {"(a\\(b)", string("a\\(b"), 6},
        {"(a\\\\)b)", string("a\\\\"), 5},
        {"(line\r\nbreak)", string("line\r\nbreak"), 13},
        // Hex strings: the raw digits and white space, odd counts allowed.
        {"<48 65>", hex("48 65"), 7},
        {"<414>", hex("414"), 5},
        {"<>", hex(""), 2},
        {"<aBcD\n09>", hex("aBcD\n09"), 9},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, Names) {
    const Good cases[] = {
        {"/Type", name("Type"), 5},
        {"/Type/Page", name("Type"), 5},
        {"/", name(""), 1},
        {"/ x", name(""), 1},
        {"/A;B~\x7f\x80\xff ", name("A;B~\x7f\x80\xff"), 8},
        {"/A{", name("A"), 2},
        // #XX escapes are decoded, in either case.
        {"/A#42", name("AB"), 5},
        {"/A#4a#4A", name("AJJ"), 8},
        {"/#20", name(" "), 4},
        {"/#00x", name(std::string_view("\0x", 2)), 5},
        // A "#" with fewer than two bytes after it is kept as it is.
        {"/A#4", name("A#4"), 4},
        {"/A#", name("A#"), 3},
        {"/A#4 2", name("A#4"), 4},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, DecodedNamesLiveInTheCursorArena) {
    Arena arena;
    const std::string input = "/A#42";
    Cursor cur{as_bytes(input), 0, &arena};
    Result<PdfObject> got = parse_object(cur);
    ASSERT_TRUE(got.has_value());
    const Bytes bytes = *got->as_name();
    EXPECT_EQ(as_chars(bytes), "AB");
    // The decoded bytes do not point into the input.
    EXPECT_TRUE(bytes.data() < as_bytes(input).data() ||
                bytes.data() >= as_bytes(input).data() + input.size());
    // A name without escapes is a view into the input.
    Cursor plain{as_bytes(input).first(2)};
    Result<PdfObject> view = parse_object(plain);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->as_name()->data(), as_bytes(input).data() + 1);
}

TEST(ParseObject, NumbersAndReferences) {
    const double inf = std::numeric_limits<double>::infinity();
    const Good cases[] = {
        {"0", integer(0), 1},
        {"42", integer(42), 2},
        {"+17", integer(17), 3},
        {"-17", integer(-17), 3},
        {"007", integer(7), 3},
        {"9223372036854775807", integer(9223372036854775807LL), 19},
        // Too large for 64 bits: 0, then negated.
        {"99999999999999999999", integer(0), 20},
        {"9223372036854775808", integer(0), 19},
        {"-99999999999999999999", integer(0), 21},
        // Leading zeros do not make a number too large.
        {"0000000000000000000000000042", integer(42), 28},
        {"-00000000000000000009223372036854775807", integer(-9223372036854775807LL), 39},
        {"00000000000000000009223372036854775808", integer(0), 38},
        // The digits end the integer wherever a non-digit follows.
        {"12abc", integer(12), 2},
        {"1.x", integer(1), 1},
        {"1..", integer(1), 1},
        {"1.e5", integer(1), 1},
        // Reals.
        {"1.", real(1.0), 2},
        {"1.]", real(1.0), 2},
        {"1.5", real(1.5), 3},
        {"-.5", real(-0.5), 3},
        {"+.5", real(0.5), 3},
        {".25", real(0.25), 3},
        {"-0.0", real(-0.0), 4},
        {"1e5", real(1e5), 3},
        {"2E3", real(2e3), 3},
        {"1.5E-2", real(1.5e-2), 6},
        {"+1.5e+2", real(150.0), 7},
        {"1.5.3", real(1.5), 3},
        // Correct rounding: exactly halfway between 1 and the next double rounds to even;
        // a hair above it rounds up.
        {"1.00000000000000011102230246251565404236316680908203125", real(1.0), 55},
        {"1.00000000000000011102230246251565404236316680908203125001",
         real(1.0000000000000002), 58},
        {"1e400", real(inf), 5},
        {"-1e400", real(-inf), 6},
        {"1e-400", real(0.0), 6},
        {"0.00001e-400", real(0.0), 12},
        {"-1e-400", real(-0.0), 7},
        // References: n g R with a token end after R.
        {"1 0 R", reference(1, 0), 5},
        {"12 3 R/", reference(12, 3), 6},
        {"1\n0\r\nR", reference(1, 0), 6},
        {"1 % c\n0 % c\nR", reference(1, 0), 13},
        {"+1 -0 R", reference(1, 0), 7},
        {"4294967297 65537 R", reference(1, 1), 18},
        {"-1 0 R", reference(0xFFFFFFFFu, 0), 6},
        // Anything short of a complete reference is the first integer alone.
        {"1 0 Rx", integer(1), 1},
        {"1 0 obj", integer(1), 1},
        {"1 0", integer(1), 1},
        {"1 2.5 R", integer(1), 1},
        {"1 -.5", integer(1), 1},
        {"1 - R", integer(1), 1},
        // No second integer: the cursor stays after the white space.
        {"1 ", integer(1), 2},
        {"1 /Name", integer(1), 2},
        {"1 R", integer(1), 2},
        {"1", integer(1), 1},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, NegativeZeroKeepsItsSign) {
    Cursor cur{as_bytes("-0.0")};
    Result<PdfObject> got = parse_object(cur);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(std::signbit(*got->as_number()));
}

TEST(ParseObject, ArraysAndDictionaries) {
    const Good cases[] = {
        {"[]", array({}), 2},
        {"[1 -.5]", array({integer(1), real(-0.5)}), 7},
        {"[1 2 3]", array({integer(1), integer(2), integer(3)}), 7},
        {"[1 0 R 2]", array({reference(1, 0), integer(2)}), 9},
        {"[1 2 R]", array({reference(1, 2)}), 7},
        {"[/A(b)<0c>[true]]", array({name("A"), string("b"), hex("0c"), array({boolean(true)})}),
         17},
        {"[ % c\n 1 ]", array({integer(1)}), 10},
        {"<<>>", dict({}), 4},
        {"<</Type/Page/Count 3>>", dict({{"Type", name("Page")}, {"Count", integer(3)}}), 22},
        {"<< /Parent 4 0 R /Kids [5 0 R] >>",
         dict({{"Parent", reference(4, 0)}, {"Kids", array({reference(5, 0)})}}), 33},
        // Duplicate keys are all kept, in file order.
        {"<</A 1/A 2>>", dict({{"A", integer(1)}, {"A", integer(2)}}), 12},
        // Keys with escapes are decoded like names.
        {"<</A#42 1>>", dict({{"AB", integer(1)}}), 11},
        {"<</D<</E null>>>>", dict({{"D", dict({{"E", null()}})}}), 17},
        // After ">>" white space is skipped, unless the keyword stream follows.
        {"<<>>  x", dict({}), 6},
        {"<<>> \r\nstream\r\n", dict({}), 4},
        {"<<>>stream", dict({}), 4},
        {"<<>> streamer", dict({}), 4},
        {"<<>> % c\nstream", dict({}), 4},
        {"<<>> strea", dict({}), 5},
    };
    for (const auto& c : cases) expect_parses(c);
}

TEST(ParseObject, Failures) {
    using K = ParseErrorKind;
    const Bad cases[] = {
        // End of data where an object or a closer is expected.
        {"", eof()},
        {"  % only a comment", eof()},
        {"(abc", eof()},
        {"(a(b)", eof()},
        {"(abc\\", eof()},
        {"(abc\\)", eof()},
        {"<414", eof()},
        {"[1 2", eof()},
        {"[", eof()},
        {"<<", eof()},
        {"<</A 1", eof()},
        {"<</A", eof()},
        {"<</A 1 >", byte('>')},
        // Bytes that start no object.
        {">", byte('>')},
        {"]", byte(']')},
        {")", byte(')')},
        {"{", byte('{')},
        {"x", byte('x')},
        {"R", byte('R')},
        {"\x80", byte(0x80)},
        {"\f1", byte(0x0C)},
        {"[1\f2]", byte(0x0C)},
        // Keywords must be whole and end at a token end.
        {"truex", byte('t')},
        {"tru", byte('t')},
        {"nullx", byte('n')},
        {"t rue", byte('t')},
        {"n", byte('n')},
        // Dictionary keys must be names; a key needs a value.
        {"<<1 2>>", byte('1')},
        {"<</A>>", byte('>')},
        {"<</A 1 B 2>>", byte('B')},
        // Numbers.
        {". ", kind(K::InvalidNumber)},
        {".", kind(K::InvalidNumber)},
        {"-.", kind(K::InvalidNumber)},
        {"-", kind(K::InvalidNumber)},
        {"- 1", kind(K::InvalidNumber)},
        {"--1", kind(K::InvalidNumber)},
        {"1e", kind(K::InvalidNumber)},
        {"1e+", kind(K::InvalidNumber)},
        {"1.5e-x", kind(K::InvalidNumber)},
        {"-e5", kind(K::InvalidNumber)},
        {".e5", kind(K::InvalidNumber)},
        {"[1 .]", kind(K::InvalidNumber)},
        // Hex strings hold only hex digits and white space.
        {"<4G>", kind(K::InvalidHexString)},
        {"<41\f>", kind(K::InvalidHexString)},
        {"<4<>", kind(K::InvalidHexString)},
        // Name escapes need two hex digits.
        {"/A#4G", kind(K::InvalidNameEscape)},
        {"/A#G4", kind(K::InvalidNameEscape)},
        {"/##41", kind(K::InvalidNameEscape)},
        {"<</A#zz 1>>", kind(K::InvalidNameEscape)},
        // A failing element fails its container.
        {"[1 (a]", eof()},
        {"<</A [1 }]>>", byte('}')},
    };
    for (const auto& c : cases) expect_fails(c);
}

TEST(ParseObject, FailurePositions) {
    // The cursor stays on a byte that starts no object.
    Cursor stray{as_bytes("  }")};
    ASSERT_FALSE(parse_object(stray).has_value());
    EXPECT_EQ(stray.pos, 2u);
    // A hex-string failure leaves the cursor on the offending byte.
    Cursor hexbad{as_bytes("<41 4G>")};
    ASSERT_FALSE(parse_object(hexbad).has_value());
    EXPECT_EQ(hexbad.pos, 5u);
}

TEST(ParseObject, ReadsConsecutiveObjects) {
    // The token after an unfinished reference is read again as the next object.
    Cursor cur{as_bytes("1 0 obj << /A 12abc >> endobj")};
    const PdfObject expected[] = {integer(1), integer(0)};
    for (const auto& e : expected) {
        Result<PdfObject> got = parse_object(cur);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(*got, e);
    }
    // "obj" starts no object.
    Result<PdfObject> keyword = parse_object(cur);
    ASSERT_FALSE(keyword.has_value());
    EXPECT_EQ(keyword.error(), byte('o'));

    Cursor rest{as_bytes("12abc")};
    ASSERT_EQ(parse_object(rest), integer(12));
    EXPECT_EQ(parse_object(rest).error(), byte('a'));
}

TEST(ParseObject, FailedContainersLeaveNothingBehind) {
    // Containers collect elements on a per-thread stack; a failure deep inside must not leak
    // elements into the next object read on the same thread.
    const std::string_view failing[] = {
        "[1 [2 <</A 3 /B [(x",
        "<</A [1 2 <</C 4 /D 5 0 R /E }",
        "[1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 /A#zz]",
    };
    for (std::string_view bad : failing) {
        Cursor cur{as_bytes(bad)};
        ASSERT_FALSE(parse_object(cur).has_value()) << bad;
        expect_parses({"[4 <</K [5]>> 6]",
                       array({integer(4), dict({{"K", array({integer(5)})}}), integer(6)}), 16});
    }
}

TEST(ParseObject, LargeContainersAreExactlySized) {
    // Larger than the stack capacity a thread keeps between calls.
    std::string input = "[";
    for (int i = 0; i < 20000; ++i) input += std::to_string(i) + " ";
    input += "]";
    std::string dict_input = "<<";
    for (int i = 0; i < 20000; ++i) {
        dict_input += "/K" + std::to_string(i) + " " + std::to_string(i);
    }
    dict_input += ">>";
    for (int round = 0; round < 2; ++round) {
        Cursor cur{as_bytes(input)};
        Result<PdfObject> got = parse_object(cur);
        ASSERT_TRUE(got.has_value());
        const PdfArray& items = *got->array();
        ASSERT_EQ(items.size(), 20000u);
        EXPECT_EQ(items.capacity(), items.size());
        EXPECT_EQ(items[19999], integer(19999));

        Cursor dcur{as_bytes(dict_input)};
        Result<PdfObject> d = parse_object(dcur);
        ASSERT_TRUE(d.has_value());
        ASSERT_EQ(d->dict()->size(), 20000u);
        EXPECT_EQ(d->get("K12345")->as_int(), 12345);
    }
}

TEST(ParseObject, ThreadsParseTheSameBytesIndependently) {
    // Each thread has its own container scratch and decodes names into the shared arena.
    std::string input;
    for (int i = 0; i < 200; ++i) {
        input += "<</K" + std::to_string(i) + " [" + std::to_string(i) + " 0 R /N#41 [1 2 [3]]]>> ";
    }
    Cursor ref_cur{as_bytes(input)};
    std::vector<PdfObject> expected;
    while (true) {
        ref_cur.skip_ws();
        if (ref_cur.at_end()) break;
        Result<PdfObject> got = parse_object(ref_cur);
        ASSERT_TRUE(got.has_value());
        expected.push_back(std::move(*got));
    }
    ASSERT_EQ(expected.size(), 200u);
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                Cursor cur{as_bytes(input)};
                for (const PdfObject& e : expected) {
                    Result<PdfObject> got = parse_object(cur);
                    if (!got || !(*got == e)) ++mismatches[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ParseObject, CursorBeyondTheEndIsAtTheEnd) {
    Cursor cur{as_bytes("1"), 5};
    EXPECT_EQ(parse_object(cur).error(), eof());
}

TEST(ParseObject, NestingBound) {
    const struct { std::string_view open, close; } forms[] = {{"[", "]"}, {"<</A ", ">>"}};
    for (const auto& f : forms) {
        for (unsigned depth : {kMaxObjectNesting, kMaxObjectNesting + 1}) {
            std::string input;
            for (unsigned i = 0; i < depth; ++i) input += f.open;
            input += "1";
            for (unsigned i = 0; i < depth; ++i) input += f.close;
            SCOPED_TRACE(::testing::Message() << f.open << " depth " << depth);
            Cursor cur{as_bytes(input)};
            Result<PdfObject> got = parse_object(cur);
            if (depth <= kMaxObjectNesting) {
                ASSERT_TRUE(got.has_value()) << got.error().display();
                EXPECT_EQ(cur.pos, input.size());
            } else {
                ASSERT_FALSE(got.has_value());
                EXPECT_EQ(got.error().display(), "object nesting too deep");
            }
        }
    }
    // Mixed containers count together.
    std::string mixed;
    for (unsigned i = 0; i <= kMaxObjectNesting; ++i) mixed += (i % 2) ? "<</K " : "[";
    Cursor cur{as_bytes(mixed)};
    EXPECT_EQ(parse_object(cur).error().display(), "object nesting too deep");
}

TEST(ParseObject, VeryDeepInputFailsWithoutCrashing) {
    for (std::string_view open : {"[", "<</A ", "<<"}) {
        std::string input;
        for (int i = 0; i < 100000; ++i) input += open;
        Cursor cur{as_bytes(input)};
        Result<PdfObject> got = parse_object(cur);
        ASSERT_FALSE(got.has_value());
        // "<<" alone nests no deeper than one: its first key is missing.
        if (open == "<<") {
            EXPECT_EQ(got.error(), byte('<'));
        } else {
            EXPECT_EQ(got.error().display(), "object nesting too deep");
        }
    }
}

// Parses a dictionary with parse_object and then its stream.
Result<PdfObject> read_stream(Cursor& cur) {
    Result<PdfObject> head = parse_object(cur);
    if (!head) return head;
    const PdfDict* d = head->dict();
    if (!d) return std::unexpected(ParseError::message("test: not a dictionary"));
    return parse_stream(cur, *d);
}

TEST(ParseStream, LengthAndEndstream) {
    const struct {
        std::string_view input;
        std::string_view data;
        size_t end;
    } cases[] = {
        // A direct /Length: exactly that many bytes; "endstream" is optional afterwards.
        {"<</Length 5>>stream\r\nhello\r\nendstream", "hello", 37},
        {"<</Length 5>>\nstream\nhello\nendstream\nendobj", "hello", 36},
        {"<</Length 5>> stream\rhello endstream", "hello", 36},
        {"<</Length 5>>stream\r\nhello", "hello", 26},
        {"<</Length 5>>stream\r\nhello  x", "hello", 28},
        {"<</Length 0>>stream\nendstream", "", 29},
        // Only one CR and one LF are skipped; a blank or a second LF is data.
        {"<</Length 3>>stream abc", " ab", 22},
        {"<</Length 3>>stream\n\nabc", "\nab", 23},
        {"<</Length 3>>stream\n\rabc", "\rab", 23},
        // The first /Length wins.
        {"<</Length 2/Length 4>>stream\nabcd", "ab", 31},
        // No usable /Length: up to the first "endstream", any end of line included.
        {"<<>>stream\r\nhello\r\nendstream", "hello\r\n", 28},
        {"<</Length 7 0 R>>stream\nhi\nendstream", "hi\n", 36},
        {"<</Length 2.0>>stream\nhi endstream", "hi ", 34},
        {"<</Length /X>>stream\nendstream", "", 30},
        // A negative /Length falls back to the search too.
        {"<</Length -3>>stream\nab\nendstream", "ab\n", 33},
        {"<</Length -9223372036854775807>>stream\nabendstream", "ab", 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Cursor cur{as_bytes(c.input)};
        Result<PdfObject> got = read_stream(cur);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        ASSERT_NE(got->stream(), nullptr);
        EXPECT_EQ(as_chars(got->stream()->data), c.data);
        EXPECT_EQ(cur.pos, c.end);
    }
}

TEST(ParseStream, KeepsTheDictionary) {
    Cursor cur{as_bytes("<</Length 1/Filter/FlateDecode>>stream\nx")};
    Result<PdfObject> got = read_stream(cur);
    ASSERT_TRUE(got.has_value());
    ASSERT_NE(got->get("Filter"), nullptr);
    EXPECT_TRUE(got->get("Filter")->is_name("FlateDecode"));
    EXPECT_EQ(got->get("Length")->as_int(), 1);
}

TEST(ParseStream, Failures) {
    const Bad cases[] = {
        // Data shorter than /Length.
        {"<</Length 1000>>stream\r\nabc endstream", eof()},
        {"<</Length 4>>stream\nabc", eof()},
        {"<</Length 1>>stream", eof()},
        {"<</Length 9223372036854775807>>stream\nabc", eof()},
        // Neither a usable /Length nor the keyword.
        {"<<>>stream\nabc", kind(ParseErrorKind::StreamMissingLength)},
        {"<</Length -1>>stream\nabc endstrea", kind(ParseErrorKind::StreamMissingLength)},
        {"<</Length 1 0 R>>stream\n", kind(ParseErrorKind::StreamMissingLength)},
        // No keyword where the stream should start.
        {"<</Length 1>>", ParseError::message("expected 'stream' keyword")},
        {"<</Length 1>> streak", ParseError::message("expected 'stream' keyword")},
        {"<</Length 1>> endstream", ParseError::message("expected 'stream' keyword")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Cursor cur{as_bytes(c.input)};
        Result<PdfObject> got = read_stream(cur);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.expected) << got.error().display();
    }
    // The message text is exact.
    Cursor cur{as_bytes("<<>>")};
    EXPECT_EQ(read_stream(cur).error().display(), "expected 'stream' keyword");
}

TEST(ParseStream, DataIsAViewOfTheInput) {
    const std::string input = "<</Length 3>>stream\nabc";
    Cursor cur{as_bytes(input)};
    Result<PdfObject> got = read_stream(cur);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->stream()->data.data(), as_bytes(input).data() + 20);
}

// ---------------------------------------------------------------------------------------------
// Real files

std::filesystem::path corpus_dir() {
    if (const char* env = std::getenv("VELLIX_CORPUS")) return env;
    const char* source = std::getenv("VELLIX_SOURCE");
    const std::filesystem::path root =
        source ? std::filesystem::path(source)
               : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    return root / ".." / "shared" / "corpus";
}

// Offsets just after each "n g obj" header that starts a line, found textually. Stream data
// may hold such text too; in the files checked below it does not.
std::vector<size_t> object_bodies(std::string_view file) {
    std::vector<size_t> out;
    for (size_t p = file.find(" obj"); p != std::string_view::npos; p = file.find(" obj", p + 1)) {
        size_t k = p;
        int blanks = 0;
        while (k > 0 && (file[k - 1] == ' ' || (file[k - 1] >= '0' && file[k - 1] <= '9'))) {
            blanks += file[k - 1] == ' ';
            --k;
        }
        const bool line_start = k == 0 || file[k - 1] == '\n' || file[k - 1] == '\r';
        if (blanks == 1 && line_start && k < p) out.push_back(p + 4);
    }
    return out;
}

TEST(ParseObjectCorpus, EveryObjectOfSoundFilesParses) {
    const std::filesystem::path dir = corpus_dir();
    std::ifstream manifest(dir / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "no corpus at " << dir;
    std::string line;
    std::getline(manifest, line);  // header
    size_t files = 0, objects = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> fields;
        std::stringstream row(line);
        for (std::string f; std::getline(row, f, '\t');) fields.push_back(f);
        if (fields.size() < 17) continue;
        const bool sound = fields[16] == "ok";  // the qpdf_check column
        std::ifstream in(dir / fields[0], std::ios::binary);
        const std::string file{std::istreambuf_iterator<char>(in), {}};
        ++files;
        for (size_t body : object_bodies(file)) {
            SCOPED_TRACE(::testing::Message() << fields[0] << " at " << body);
            Cursor cur{as_bytes(file), body};
            Result<PdfObject> obj = parse_object(cur);
            if (obj && obj->dict()) {
                Cursor probe = cur;
                probe.skip_ws();
                if (probe.starts_with("stream")) obj = parse_stream(cur, *obj->dict());
            }
            // Damaged files only have to be read without harm.
            if (sound) {
                ASSERT_TRUE(obj.has_value()) << obj.error().display();
                ++objects;
            }
        }
    }
    EXPECT_GT(files, 0u);
    EXPECT_GT(objects, 1000u);
}

}  // namespace
}  // namespace vellix
