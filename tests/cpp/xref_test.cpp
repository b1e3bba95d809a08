// Cross-reference tables and streams, trailer fields, the flat entry map and the object-stream
// splitter.
#include "parser/xref.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vellix {
namespace {

using namespace std::literals;

ParseError msg(const char* text) { return ParseError::message(text); }
ParseError kind(ParseErrorKind k) { return ParseError::of(k); }

// The dictionary written in `text`; the views point into the literal.
PdfDict dict_of(std::string_view text) {
    Cursor cur{as_bytes(text)};
    Result<PdfObject> obj = parse_object(cur);
    EXPECT_TRUE(obj.has_value()) << text;
    if (!obj || !obj->dict()) return {};
    return *obj->dict();
}

XrefEntry in_use(std::uint32_t offset, std::uint16_t gen = 0) {
    return {offset, gen, XrefKind::InUse};
}
XrefEntry free_entry(std::uint32_t offset, std::uint16_t gen) {
    return {offset, gen, XrefKind::Free};
}
XrefEntry packed(std::uint32_t stream, std::uint16_t index) {
    return {stream, index, XrefKind::Compressed};
}

std::vector<std::pair<std::uint32_t, XrefEntry>> all_entries(const XrefMap& m) {
    std::vector<std::pair<std::uint32_t, XrefEntry>> out;
    m.for_each([&](std::uint32_t n, const XrefEntry& e) { out.push_back({n, e}); });
    return out;
}

TEST(ParsePositiveInt, DigitsAndCursor) {
    const struct {
        std::string_view input;
        std::optional<std::uint64_t> value;  // nullopt: InvalidNumber
        size_t end;
    } cases[] = {
        {"0", 0, 1},
        {"12 0 R", 12, 2},
        {"0000000017", 17, 10},
        {"9223372036854775807", 9223372036854775807u, 19},
        // One above the signed 64-bit range fails, and the cursor still ends after the run.
        {"9223372036854775808x", std::nullopt, 19},
        {"99999999999999999999999", std::nullopt, 23},
        // No sign and no white-space skipping.
        {"-5", std::nullopt, 0},
        {" 5", std::nullopt, 0},
        {"", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Cursor cur{as_bytes(c.input)};
        Result<std::uint64_t> got = parse_positive_int(cur);
        if (c.value) {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, *c.value);
        } else {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), kind(ParseErrorKind::InvalidNumber));
        }
        EXPECT_EQ(cur.pos, c.end);
    }
}

TEST(FindStartxref, LastKeywordInTheWindow) {
    const std::string padding(2000, 'x');
    const struct {
        std::string input;
        Result<size_t> expected;
    } cases[] = {
        {"0123456789", std::unexpected(msg("startxref not found"))},
        {"startxref\n17\n%%EOF", 17},
        // The later of two keywords wins.
        {"startxref 5\nstartxref\n99\n%%EOF\n", 99},
        // White space and a comment line between keyword and number.
        {"startxref % the offset follows\r\n  42\n%%EOF", 42},
        {"startxref\n%%EOF", std::unexpected(kind(ParseErrorKind::InvalidNumber))},
        {"startxref\n99999999999999999999", std::unexpected(kind(ParseErrorKind::InvalidNumber))},
        // Only the last 1024 bytes are searched.
        {"startxref\n7\n" + padding, std::unexpected(msg("startxref not found"))},
        {padding + "startxref\n7\n", 7},
        // A keyword cut by the window's start does not count.
        {"startxref\n3\n" + std::string(1024 - 4, 'y'), std::unexpected(msg("startxref not found"))},
        {"", std::unexpected(msg("startxref not found"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        EXPECT_EQ(find_startxref(as_bytes(c.input)), c.expected);
    }
}

TEST(ParseXrefTable, SubsectionsAndTrailer) {
    const std::string text =
        "xref\n"
        "0 1\n0000000000 65535 f \n"
        "5 2\n0000000100 00000 n \n0000000200 00003 n \n"
        "7 0\n"                                // a count of 0 reads no entry
        "% a comment between subsections\n"
        "5 1\n0000000300 00001 n\n"            // object 5 again: the later entry wins
        "trailer\n<< /Size 8 /Root 1 0 R /Info 2 0 R /Prev 17 /XRefStm 40 >>\n";
    Result<XrefSection> got = parse_xref_table(as_bytes(text), 0);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const std::vector<std::pair<std::uint32_t, XrefEntry>> expected = {
        {0, free_entry(0, 65535)}, {5, in_use(300, 1)}, {6, in_use(200, 3)}};
    EXPECT_EQ(all_entries(got->entries), expected);
    EXPECT_EQ(got->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(got->trailer.size, 8u);
    EXPECT_EQ(got->trailer.info, (ObjectId{2, 0}));
    EXPECT_EQ(got->trailer.prev, 17u);
    EXPECT_EQ(got->trailer.xref_stm, 40u);
    EXPECT_FALSE(got->trailer.encrypt.has_value());
}

TEST(ParseXrefTable, FieldsNeedOnlyWhiteSpace) {
    // Fixed 20-byte lines are not required; any white space separates the fields.
    const std::string text = "xref 3 2 17 0 n 18 2 f trailer<</Root 3 0 R/Size 5>>";
    Result<XrefSection> got = parse_xref_table(as_bytes(text), 0);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const std::vector<std::pair<std::uint32_t, XrefEntry>> expected = {
        {3, in_use(17, 0)}, {4, free_entry(18, 2)}};
    EXPECT_EQ(all_entries(got->entries), expected);
}

TEST(ParseXrefTable, Errors) {
    const struct {
        std::string_view input;
        size_t offset;
        ParseError expected;
    } cases[] = {
        {"xre", 0, msg("expected 'xref' keyword")},
        {"  xref\n0 0\ntrailer<</Root 1 0 R/Size 1>>", 0, msg("expected 'xref' keyword")},
        {"xref\n0 0\ntrailer<</Root 1 0 R/Size 1>>", 100, msg("expected 'xref' keyword")},
        {"xref\n0 1\n0000000000 65535 x \ntrailer<<>>", 0,
         msg("expected 'n' or 'f' in xref entry")},
        {"xref\n0 1\n0000000000 65535", 0, msg("expected 'n' or 'f' in xref entry")},
        // Running into the end of the file without the keyword trailer.
        {"xref\n0 1\n0000000000 65535 f\n", 0, kind(ParseErrorKind::InvalidNumber)},
        {"xref\n0 2\n0000000000 65535 f\ntrailer<</Root 1 0 R/Size 1>>", 0,
         kind(ParseErrorKind::InvalidNumber)},
        {"xref\nA 1\n", 0, kind(ParseErrorKind::InvalidNumber)},
        {"xref\n0 0\ntrailer [1 2]", 0, msg("trailer must be a dictionary")},
        {"xref\n0 0\ntrailer <</Size 1", 0, kind(ParseErrorKind::UnexpectedEof)},
        {"xref\n0 0\ntrailer <</Size 1>>", 0, msg("missing required trailer field")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Result<XrefSection> got = parse_xref_table(as_bytes(c.input), c.offset);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.expected) << got.error().display();
    }
}

TEST(ExtractTrailerFields, RequiredAndOptionalFields) {
    const struct {
        std::string_view dict;
        ParseError expected;
    } failures[] = {
        {"<<>>", msg("missing required trailer field")},
        {"<</Size 3>>", msg("missing required trailer field")},
        {"<</Root 1 /Size 3>>", msg("expected reference for trailer field")},
        {"<</Root 1 0 R>>", msg("missing required trailer field")},
        {"<</Root 1 0 R /Size 3.0>>", msg("expected integer for trailer field")},
        // Root is checked before Size.
        {"<</Size /X /Root 4>>", msg("expected reference for trailer field")},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.dict);
        Result<Trailer> got = extract_trailer_fields(dict_of(c.dict));
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.expected);
        // The lenient form used for older sections never fails.
        EXPECT_TRUE(extract_trailer_fields(dict_of(c.dict), TrailerFields::Optional).has_value());
    }

    Result<Trailer> t = extract_trailer_fields(dict_of(
        "<</Root 7 2 R /Size 4294967306 /Info 5 /Info 9 0 R /Encrypt << /Filter /Standard >>"
        " /Prev -3 /XRefStm 12>>"));
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->root, (ObjectId{7, 2}));
    EXPECT_EQ(t->size, 10u);  // low 32 bits
    // A non-reference Info is passed over for the next Info entry.
    EXPECT_EQ(t->info, (ObjectId{9, 0}));
    // A direct /Encrypt dictionary is no reference, but it is an /Encrypt entry all the same.
    EXPECT_FALSE(t->encrypt.has_value());
    EXPECT_TRUE(t->has_encrypt_entry);
    EXPECT_FALSE(t->prev.has_value());  // negative: ignored
    EXPECT_EQ(t->xref_stm, 12u);

    Result<Trailer> r = extract_trailer_fields(dict_of("<</Root 1 0 R /Size 2 /Encrypt 4 0 R>>"));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->encrypt, (ObjectId{4, 0}));
    EXPECT_TRUE(r->has_encrypt_entry);
    EXPECT_FALSE(r->info.has_value());
}

// The stream data of the examples, written as bytes.
std::string bytes_of(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

TEST(ParseXrefStreamObj, EntryFields) {
    const std::string data = bytes_of({0x01, 0x00, 0x0A, 0x00, 0x02, 0x00, 0x05, 0x03});
    Result<XrefSection> got = parse_xref_stream_obj(
        dict_of("<</Size 12 /Root 1 0 R /W [1 2 1] /Index [10 2]>>"), as_bytes(data));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    std::vector<std::pair<std::uint32_t, XrefEntry>> expected = {{10, in_use(10, 0)},
                                                                 {11, packed(5, 3)}};
    EXPECT_EQ(all_entries(got->entries), expected);
    EXPECT_EQ(got->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(got->trailer.size, 12u);

    // Without a type field every entry is in use; the same 8 bytes now hold three fields of
    // two entries plus two bytes left over.
    got = parse_xref_stream_obj(dict_of("<</Size 12 /Root 1 0 R /W [0 2 1] /Index [10 2]>>"),
                                as_bytes(data));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    expected = {{10, in_use(0x0100, 0x0A)}, {11, in_use(0x0002, 0x00)}};
    EXPECT_EQ(all_entries(got->entries), expected);

    // Without /Index the entries start at object 0 and /Size counts them; further /W
    // elements are ignored and several /Index pairs follow each other.
    const std::string three = bytes_of({0, 0, 0, 1, 0, 9, 2, 0, 4});
    got = parse_xref_stream_obj(dict_of("<</Size 3 /Root 1 0 R /W [1 1 1 7]>>"), as_bytes(three));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    expected = {{0, free_entry(0, 0)}, {1, in_use(0, 9)}, {2, packed(0, 4)}};
    EXPECT_EQ(all_entries(got->entries), expected);
    got = parse_xref_stream_obj(dict_of("<</Size 9 /Root 1 0 R /W [1 1 1] /Index [4 1 7 2]>>"),
                                as_bytes(three));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    expected = {{4, free_entry(0, 0)}, {7, in_use(0, 9)}, {8, packed(0, 4)}};
    EXPECT_EQ(all_entries(got->entries), expected);

    // An /Index with a lone element lists nothing.
    got = parse_xref_stream_obj(dict_of("<</Size 12 /Root 1 0 R /W [1 2 1] /Index [10]>>"),
                                as_bytes(data));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->entries.size(), 0u);
}

TEST(ParseXrefStreamObj, Errors) {
    const std::string eight = bytes_of({1, 0, 10, 0, 2, 0, 5, 3});
    const std::string four_hundred(400, '\x01');
    const struct {
        std::string_view dict;
        std::string data;
        ParseError expected;
    } cases[] = {
        {"<</Size 2 /Root 1 0 R>>", eight, msg("missing /W in xref stream")},
        {"<</Size 2 /Root 1 0 R /W [1 2]>>", eight, msg("/W must be an array of 3 integers")},
        {"<</Size 2 /Root 1 0 R /W 4>>", eight, msg("/W must be an array of 3 integers")},
        // Widths that describe no byte at all would let any count pass the length check.
        {"<</Size 2 /Root 1 0 R /W [0 0 0]>>", eight, msg("/W must be an array of 3 integers")},
        {"<</Root 1 0 R /W [1 2 1]>>", eight, msg("missing required trailer field")},
        {"<</Size 2.5 /Root 1 0 R /W [1 2 1]>>", eight, msg("expected integer for trailer field")},
        {"<</Size 2 /W [1 2 1]>>", eight, msg("missing required trailer field")},
        {"<</Size 2 /Root (x) /W [1 2 1]>>", eight, msg("expected reference for trailer field")},
        {"<</Size 100 /Root 1 0 R /W [1 2 2]>>", four_hundred, msg("xref stream data too short")},
        // Counts that wrap around in 32 bits must not pass the length check.
        {"<</Size 2 /Root 1 0 R /W [1 2 1] /Index [0 4294967295 0 1]>>", eight,
         msg("xref stream data too short")},
        {"<</Size 2 /Root 1 0 R /W [1 2 1] /Index [0 2]>>", bytes_of({1, 0, 10, 0, 3, 0, 5, 3}),
         msg("unknown xref stream entry type")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dict);
        Result<XrefSection> got = parse_xref_stream_obj(dict_of(c.dict), as_bytes(c.data));
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.expected) << got.error().display();
    }
}

TEST(ParseXrefStreamObj, OptionalTrailerFields) {
    // The hidden stream of a hybrid file usually has no /Root.
    const std::string data = bytes_of({2, 9, 0});
    Result<XrefSection> got = parse_xref_stream_obj(dict_of("<</W [1 1 1] /Index [6 1]>>"),
                                                    as_bytes(data), TrailerFields::Optional);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    ASSERT_NE(got->entries.find(6), nullptr);
    EXPECT_EQ(*got->entries.find(6), packed(9, 0));
}

TEST(XrefMap, DenseAndSparseNumbers) {
    XrefMap m;
    // A huge number first: it must not size the flat table after itself.
    m.set(4000000000u, in_use(1));
    m.set(4294967295u, in_use(2));
    for (std::uint32_t n = 0; n < 3000; ++n) m.set(n, in_use(n + 10));
    m.set(2500, in_use(7));  // replacing keeps the count
    m.set(1500000, in_use(3));
    EXPECT_EQ(m.size(), 3003u);
    ASSERT_NE(m.find(4000000000u), nullptr);
    EXPECT_EQ(m.find(4000000000u)->offset, 1u);
    EXPECT_EQ(m.find(2500)->offset, 7u);
    EXPECT_EQ(m.find(1499999), nullptr);
    EXPECT_EQ(m.find(3000), nullptr);
    EXPECT_EQ(m.find(1500000)->offset, 3u);

    std::vector<std::uint32_t> order;
    m.for_each([&](std::uint32_t n, const XrefEntry&) { order.push_back(n); });
    ASSERT_EQ(order.size(), 3003u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.back(), 4294967295u);
}

TEST(XrefMap, NumbersMoveIntoTheFlatTableAsItGrows) {
    XrefMap m;
    // 5000 is beyond the flat table at first and inside it once enough entries exist.
    m.set(5000, in_use(1));
    for (std::uint32_t n = 0; n < 4000; ++n) m.set(n, in_use(2));
    m.set(5000, in_use(3));
    EXPECT_EQ(m.size(), 4001u);
    EXPECT_EQ(m.find(5000)->offset, 3u);
    size_t seen_5000 = 0;
    m.for_each([&](std::uint32_t n, const XrefEntry&) { seen_5000 += n == 5000; });
    EXPECT_EQ(seen_5000, 1u);
}

TEST(XrefMap, MergeOlderKeepsNewerEntries) {
    XrefMap newer, older;
    newer.set(1, in_use(100));
    newer.set(2, free_entry(0, 1));
    older.set(1, in_use(50));
    older.set(2, in_use(60));
    older.set(3, packed(9, 0));
    older.set(3000000000u, in_use(70));
    newer.merge_older(older);
    const std::vector<std::pair<std::uint32_t, XrefEntry>> expected = {
        {1, in_use(100)}, {2, free_entry(0, 1)}, {3, packed(9, 0)}, {3000000000u, in_use(70)}};
    EXPECT_EQ(all_entries(newer), expected);
}

TEST(ParseObjectStreamRaw, StreamObjectAtOffset) {
    const std::string text = "junk 12 0 obj\n<< /Length 5 /Type /ObjStm >>\nstream\nhello\nendstream";
    Result<RawStream> got = parse_object_stream_raw(as_bytes(text), 5);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(as_chars(got->data), "hello");
    ASSERT_NE(dict_get(got->dict, "Type"), nullptr);
    EXPECT_TRUE(dict_get(got->dict, "Type")->is_name("ObjStm"));

    const struct {
        std::string_view input;
        size_t offset;
        ParseError expected;
    } cases[] = {
        {"1 0 obj <<>> stream\n\nendstream", 40, kind(ParseErrorKind::UnexpectedEof)},
        {"1 0 obj <<>> stream\n\nendstream", 30, kind(ParseErrorKind::UnexpectedEof)},
        {"obj <<>> stream\n\nendstream", 0, kind(ParseErrorKind::InvalidNumber)},
        {"1 0 ob <<>>", 0, msg("expected 'obj' keyword")},
        {"1 0 obj [1 2] stream\n\nendstream", 0, msg("expected dict for ObjStm")},
        {"1 0 obj << /Length 0 >> endobj", 0, msg("expected stream after dict")},
        {"1 0 obj << /Length 99 >> stream\nab\nendstream", 0, kind(ParseErrorKind::UnexpectedEof)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Result<RawStream> r = parse_object_stream_raw(as_bytes(c.input), c.offset);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), c.expected) << r.error().display();
    }
}

TEST(ParseObjstm, SplitsTheBodyByHeaderOffsets) {
    // /N 3 with the header "10 0 11 5 12 9": objects at body offsets 0, 5 and 9.
    const std::string data = "10 0 11 5 12 9 (one)/two [3]";
    const size_t first = data.find('(');
    const std::string dict = "<</N 3 /First " + std::to_string(first) + ">>";
    Result<ObjStmMap> got = parse_objstm(dict_of(dict), as_bytes(data));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    ASSERT_EQ(got->size(), 3u);
    EXPECT_EQ(got->at(10), PdfObject(PdfString{as_bytes("one")}));
    EXPECT_EQ(got->at(11), PdfObject(PdfName{as_bytes("two")}));
    EXPECT_EQ(got->at(12), PdfObject(PdfArray{PdfObject(std::int64_t{3})}));

    // Each object is read from its own span only: 10's span "1 " is not the start of the
    // reference "1 0 R" that the whole body would give.
    const std::string cut = "10 0 11 2 1 0 R";
    Result<ObjStmMap> spans = parse_objstm(dict_of("<</N 2 /First 10>>"), as_bytes(cut));
    ASSERT_TRUE(spans.has_value());
    EXPECT_EQ(spans->at(10), PdfObject(std::int64_t{1}));
    EXPECT_EQ(spans->at(11), PdfObject(std::int64_t{0}));
}

TEST(ParseObjstm, BadSpansAreLeftOut) {
    // Body offsets: "7" at 0, "8" at 2, "9" at 4, ")" at 6, "6" at 8. Object 2's span is
    // empty (same offset as 3's), the later pair of number 1 replaces the earlier one, 5's
    // text does not parse, 6's span runs to 90, beyond the body, and 4 starts beyond it.
    const std::string header = "1 0 2 2 3 2 1 4 5 6 6 8 4 90 ";
    const std::string data = header + "7 8 9 ) 6 ";
    const std::string dict = "<</N 7 /First " + std::to_string(header.size()) + ">>";
    Result<ObjStmMap> got = parse_objstm(dict_of(dict), as_bytes(data));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(got->size(), 2u);
    ASSERT_EQ(got->count(1), 1u);
    ASSERT_EQ(got->count(3), 1u);
    EXPECT_EQ(got->at(1), PdfObject(std::int64_t{9}));
    EXPECT_EQ(got->at(3), PdfObject(std::int64_t{8}));
}

TEST(ParseObjstm, HeaderErrors) {
    const std::string data = "1 0 2 3 <<>> 7";
    const struct {
        std::string_view dict;
        ParseError expected;
    } cases[] = {
        {"<</First 8>>", msg("missing required trailer field")},
        {"<</N 2>>", msg("missing required trailer field")},
        {"<</N /Two /First 8>>", msg("expected integer for trailer field")},
        {"<</N 2 /First 8.5>>", msg("expected integer for trailer field")},
        // /First beyond the data, also when negative (its low 32 bits are huge).
        {"<</N 2 /First 15>>", kind(ParseErrorKind::UnexpectedEof)},
        {"<</N 2 /First -1>>", kind(ParseErrorKind::UnexpectedEof)},
        // A huge /N fails when the header runs out of pairs, without allocating for it.
        {"<</N 4000000000 /First 8>>", kind(ParseErrorKind::InvalidNumber)},
        {"<</N 3 /First 8>>", kind(ParseErrorKind::InvalidNumber)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dict);
        Result<ObjStmMap> got = parse_objstm(dict_of(c.dict), as_bytes(data));
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.expected) << got.error().display();
    }
    // /First equal to the size leaves an empty body: no object, no error.
    Result<ObjStmMap> empty = parse_objstm(dict_of("<</N 0 /First 14>>"), as_bytes(data));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace vellix
