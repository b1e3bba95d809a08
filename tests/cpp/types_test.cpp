#include "types.h"

#include <gtest/gtest.h>

namespace vellix {
namespace {

std::string text(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

TEST(PdfObject, LookupsAndKinds) {
    PdfStream s;
    s.dict = {{as_bytes("Type"), PdfName{as_bytes("Page")}},
              {as_bytes("Type"), PdfName{as_bytes("Pages")}}};
    const PdfObject stream(s), dict(s.dict);
    // Duplicate keys are kept; lookups take the first, byte for byte, in dictionaries and streams.
    for (const PdfObject* o : {&stream, &dict}) {
        ASSERT_NE(o->get("Type"), nullptr);
        EXPECT_TRUE(o->get("Type")->is_name("Page"));
        EXPECT_EQ(o->get("type"), nullptr);
        EXPECT_EQ(o->get("Typ"), nullptr);
    }
    EXPECT_EQ(PdfObject(PdfArray{}).get("Type"), nullptr);
    // kind() follows the variant's alternatives, so the two lists must stay in the same order.
    const PdfObject objects[] = {PdfNull{}, true, std::int64_t{1}, 1.5, PdfString{}, PdfHexString{},
                                 PdfName{}, PdfArray{}, PdfDict{}, ObjectId{1, 0}, PdfStream{}};
    const ObjectKind kinds[] = {ObjectKind::Null, ObjectKind::Bool, ObjectKind::Integer,
                                ObjectKind::Real, ObjectKind::String, ObjectKind::HexString,
                                ObjectKind::Name, ObjectKind::Array, ObjectKind::Dictionary,
                                ObjectKind::Reference, ObjectKind::Stream};
    for (size_t i = 0; i < std::size(kinds); ++i) EXPECT_EQ(objects[i].kind(), kinds[i]) << i;
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const struct { std::string_view in; std::string out; } cases[] = {
        {"a\xC3\xA9\xF0\x9F\x98\x80", "a\xC3\xA9\xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a" + r + "b"},
        {"\xE2\x82", r},                  // truncated: one replacement for the maximal prefix
        {"\xED\xA0\x80", r + r + r},      // surrogate
        {"\xE0\x80\x80", r + r + r},      // overlong
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(lossy_utf8(as_bytes(c.in)), c.out) << c.in;
    std::string out;
    for (char32_t cp : {U'A', U'\xE9', char32_t{0xD800}, char32_t{0x110000}}) append_utf8(out, cp);
    EXPECT_EQ(out, "A\xC3\xA9" + r + r);
}

TEST(StringDecoding, LiteralAndHex) {
    const struct { std::string_view in, out; } literal[] = {
        {"a\\)b", "a)b"}, {"\\101\\61x", "A1x"}, {"\\777", "\xFF"}, {"\\n\\t\\\\\\q", "\n\t\\q"},
        {"ab\\\ncd\\\r\nef", "abcdef"}, {"a\r\nb\rc", "a\nb\nc"}, {"end\\", "end"},
    };
    for (const auto& c : literal) {
        EXPECT_EQ(text(decode_literal_string(as_bytes(c.in))), c.out) << c.in;
    }
    EXPECT_EQ(text(decode_hex_string(as_bytes("48 6x5"))), "He");
    EXPECT_EQ(text(decode_hex_string(as_bytes("7"))), "p");
}

}  // namespace
}  // namespace vellix
