// Every public header compiles on its own and together; the basic value types behave.
#include "document.h"
#include "extract.h"
#include "font.h"
#include "image.h"
#include "layout.h"
#include "links.h"
#include "parser/content_stream.h"
#include "parser/filters.h"
#include "parser/object.h"
#include "parser/recovery.h"
#include "parser/xref.h"
#include "types.h"

#include <gtest/gtest.h>

namespace vellix {
namespace {

TEST(PdfObjectGet, FirstMatchingKeyWins) {
    PdfDict d;
    d.push_back({as_bytes("Type"), PdfObject(PdfName{as_bytes("Page")})});
    d.push_back({as_bytes("Type"), PdfObject(PdfName{as_bytes("Pages")})});
    PdfObject obj(std::move(d));
    ASSERT_NE(obj.get("Type"), nullptr);
    EXPECT_TRUE(obj.get("Type")->is_name("Page"));
    EXPECT_EQ(obj.get("Typ"), nullptr);
    EXPECT_EQ(obj.get("type"), nullptr);
    // Only dictionaries and streams answer lookups.
    EXPECT_EQ(PdfObject(PdfArray{}).get("Type"), nullptr);
    EXPECT_EQ(PdfObject().get("Type"), nullptr);
    PdfStream s;
    s.dict.push_back({as_bytes("Length"), PdfObject(std::int64_t{5})});
    EXPECT_EQ(PdfObject(std::move(s)).get("Length")->as_int(), 5);
}

TEST(PdfObjectKind, VariantOrder) {
    EXPECT_EQ(PdfObject().kind(), ObjectKind::Null);
    EXPECT_EQ(PdfObject(true).kind(), ObjectKind::Bool);
    EXPECT_EQ(PdfObject(std::int64_t{1}).kind(), ObjectKind::Integer);
    EXPECT_EQ(PdfObject(1.5).kind(), ObjectKind::Real);
    EXPECT_EQ(PdfObject(PdfString{}).kind(), ObjectKind::String);
    EXPECT_EQ(PdfObject(PdfHexString{}).kind(), ObjectKind::HexString);
    EXPECT_EQ(PdfObject(PdfName{}).kind(), ObjectKind::Name);
    EXPECT_EQ(PdfObject(PdfArray{}).kind(), ObjectKind::Array);
    EXPECT_EQ(PdfObject(PdfDict{}).kind(), ObjectKind::Dictionary);
    EXPECT_EQ(PdfObject(ObjectId{1, 0}).kind(), ObjectKind::Reference);
    EXPECT_EQ(PdfObject(PdfStream{}).kind(), ObjectKind::Stream);
}

TEST(LossyUtf8, ReplacesInvalidSequences) {
    const struct { std::string_view in, out; } cases[] = {
        {"abc", "abc"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xE2\x82", "\xEF\xBF\xBD"},            // truncated sequence
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(lossy_utf8(as_bytes(c.in)), c.out) << c.in;
}

TEST(StringDecoding, LiteralAndHex) {
    auto lit = [](std::string_view s) {
        auto v = decode_literal_string(as_bytes(s));
        return std::string(v.begin(), v.end());
    };
    EXPECT_EQ(lit("a\\)b"), "a)b");
    EXPECT_EQ(lit("\\101\\61x"), "A1x");
    EXPECT_EQ(lit("\\n\\t\\\\"), "\n\t\\");
    EXPECT_EQ(lit("ab\\\ncd"), "abcd");
    auto hex = [](std::string_view s) {
        auto v = decode_hex_string(as_bytes(s));
        return std::string(v.begin(), v.end());
    };
    EXPECT_EQ(hex("48 65"), "He");
    EXPECT_EQ(hex("7"), "p");
}

}  // namespace
}  // namespace vellix
