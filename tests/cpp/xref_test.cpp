// Cross-reference tables and streams, trailer fields, the entry map and the object-stream splitter.
#include "parser/xref.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>
#include <string>
#include <string_view>
#include <vector>

namespace vellix {
namespace {

ParseError msg(const char* text) { return ParseError::message(text); }
const ParseError kNaN = ParseError::of(ParseErrorKind::InvalidNumber);
const ParseError kEof = ParseError::of(ParseErrorKind::UnexpectedEof);

// The dictionary written in `text`; the views point into the literal.
PdfDict dict_of(std::string_view text) {
    Cursor cur{as_bytes(text)};
    Result<PdfObject> obj = parse_object(cur);
    EXPECT_TRUE(obj.has_value()) << text;
    if (!obj || !obj->dict()) return {};
    return *obj->dict();
}

XrefEntry in_use(std::uint32_t offset, std::uint16_t gen = 0) { return {offset, gen, XrefKind::InUse}; }
XrefEntry free_entry(std::uint32_t offset, std::uint16_t gen) { return {offset, gen, XrefKind::Free}; }
XrefEntry packed(std::uint32_t stream, std::uint16_t index) { return {stream, index, XrefKind::Compressed}; }

using Entries = std::vector<std::pair<std::uint32_t, XrefEntry>>;
Entries all_entries(const XrefMap& m) {
    Entries out;
    m.for_each([&](std::uint32_t n, const XrefEntry& e) { out.push_back({n, e}); });
    return out;
}

// Root, Size, Info, Encrypt, any /Encrypt entry, Prev, XRefStm.
auto fields(const Trailer& t) {
    return std::tuple(t.root, t.size, t.info, t.encrypt, t.has_encrypt_entry, t.prev, t.xref_stm);
}

std::string bytes_of(std::initializer_list<int> v) { return std::string(v.begin(), v.end()); }

TEST(ParsePositiveInt, DigitsAndCursor) {
    const auto nan = std::unexpected(kNaN);
    const struct { std::string_view input; Result<std::uint64_t> expected; size_t end; } cases[] = {
        {"0", 0, 1}, {"12 0 R", 12, 2}, {"0000000017", 17, 10}, {"9223372036854775807", 9223372036854775807u, 19},
        // One above the signed 64-bit range fails, the cursor after the run; no sign, no white space.
        {"9223372036854775808x", nan, 19}, {"-5", nan, 0}, {" 5", nan, 0}, {"", nan, 0},
    };
    for (const auto& c : cases) {
        Cursor cur{as_bytes(c.input)};
        EXPECT_EQ(std::pair(parse_positive_int(cur), cur.pos), std::pair(c.expected, c.end)) << c.input;
    }
}

TEST(FindStartxref, LastKeywordInTheWindow) {
    const auto none = std::unexpected(msg("startxref not found")), nan = std::unexpected(kNaN);
    const struct { std::string input; Result<size_t> expected; } cases[] = {
        {"", none}, {"0123456789", none}, {"startxref\n17\n%%EOF", 17},
        // The later of two keywords wins; white space and a comment may precede the number.
        {"startxref 5\nstartxref\n99\n%%EOF\n", 99}, {"startxref % offset\r\n  42\n%%EOF", 42},
        {"startxref\n%%EOF", nan}, {"startxref\n99999999999999999999", nan},
        // Only the last 1024 bytes are searched: a keyword cut by the window's start is not seen.
        {"startxref\n3\n" + std::string(1024 - 12, 'y'), 3}, {"startxref\n3\n" + std::string(1024 - 11, 'y'), none},
    };
    for (const auto& c : cases) EXPECT_EQ(find_startxref(as_bytes(c.input)), c.expected) << c.input.substr(0, 40);
}

TEST(ExtractTrailerFields, RequiredAndOptionalFields) {
    // A non-reference Info is passed over; a direct /Encrypt dictionary is kept, with the first
    // /ID string; a negative /Prev is ignored; /Size keeps its low 32 bits.
    const Trailer t = extract_trailer_fields(dict_of("<</Root 7 2 R /Size 4294967306 /Info 5 /Info 9 0 R "
                                                     "/Encrypt << /Filter /Standard >> /Prev -3 /XRefStm 12 /ID [<0a0B> (x)]>>")).value();
    EXPECT_EQ(fields(t), std::tuple(ObjectId{7, 2}, 10u, ObjectId{9, 0}, std::nullopt, true, std::nullopt, 12u));
    EXPECT_TRUE(dict_get(t.encrypt_dict.value(), "Filter")->is_name("Standard") && (t.first_id == std::vector<std::uint8_t>{10, 11}));
    EXPECT_EQ(fields(extract_trailer_fields(dict_of("<</Root 1 0 R /Size 2 /Encrypt 4 0 R>>")).value()),
              std::tuple(ObjectId{1, 0}, 2u, std::nullopt, ObjectId{4, 0}, true, std::nullopt, std::nullopt));
    // Failures (the lenient form used for older sections never fails); Root is checked before Size.
    const ParseError missing = msg("missing required trailer field"), not_ref = msg("expected reference for trailer field");
    const struct { std::string_view dict; ParseError expected; } failures[] = {
        {"<<>>", missing}, {"<</Size 3>>", missing}, {"<</Root 1 0 R>>", missing},
        {"<</Root 1 /Size 3>>", not_ref}, {"<</Size /X /Root 4>>", not_ref},
        {"<</Root 1 0 R /Size 3.0>>", msg("expected integer for trailer field")},
    };
    for (const auto& c : failures) {
        EXPECT_EQ(extract_trailer_fields(dict_of(c.dict)), std::unexpected(c.expected)) << c.dict;
        EXPECT_TRUE(extract_trailer_fields(dict_of(c.dict), TrailerFields::Optional).has_value()) << c.dict;
    }
}

// The entries each reader finds, and every failure of the readers with its exact error.
TEST(ParseXref, ReadersAndErrors) {
    enum Reader { kTable, kStream, kRaw, kObjStm };
    const std::string eight = bytes_of({1, 0, 10, 0, 2, 0, 5, 3}), four_hundred(400, '\x01');
    const std::string three = bytes_of({0, 0, 0, 1, 0, 9, 2, 0, 4}), objstm = "1 0 2 3 <<>> 7";
    const std::string bad_type = bytes_of({1, 0, 10, 0, 3, 0, 5, 3});
    auto fail = [](const char* text) { return std::unexpected(msg(text)); };
    const auto nan = std::unexpected(kNaN), eof = std::unexpected(kEof), no_xref = fail("expected 'xref' keyword");
    const auto no_kind = fail("expected 'n' or 'f' in xref entry"), bad_w = fail("/W must be an array of 3 integers");
    const auto short_data = fail("xref stream data too short"), missing = fail("missing required trailer field");
    const auto not_int = fail("expected integer for trailer field");
    const std::string table = "xref\n0 1\n0000000000 65535 f \n5 2\n0000000100 00000 n \n0000000200 00003 n \n7 0\n"
                              "% comment\n5 1\n0000000300 00001 n\ntrailer\n<< /Size 8 /Root 1 0 R /Info 2 0 R /Prev 17 /XRefStm 40 >>\n";
    const struct {
        Reader reader;
        std::string_view input;
        Result<Entries> expected;
        std::string data = {};
        size_t offset = 0;
        TrailerFields fields = TrailerFields::Required;
    } cases[] = {
        // Tables, from `offset`: a count of 0, a comment between subsections, a number listed again.
        {kTable, table, Entries{{0, free_entry(0, 65535)}, {5, in_use(300, 1)}, {6, in_use(200, 3)}}},
        // Fixed 20-byte lines are not required; any white space separates the fields.
        {kTable, "xref 3 2 17 0 n 18 2 f trailer<</Root 3 0 R/Size 5>>", Entries{{3, in_use(17)}, {4, free_entry(18, 2)}}},
        {kTable, "xre", no_xref}, {kTable, "  xref\n0 0\ntrailer<</Root 1 0 R/Size 1>>", no_xref},
        {kTable, "xref\n0 0\ntrailer<</Root 1 0 R/Size 1>>", no_xref, "", 100},
        {kTable, "xref\n0 1\n0000000000 65535 x \ntrailer<<>>", no_kind}, {kTable, "xref\n0 1\n0000000000 65535", no_kind},
        // A line of the fixed length that is not of the fixed form is read field by field.
        {kTable, "xref\n0 1\n00000001a0 00000 n \ntrailer<<>>", nan},
        // Running into the end of the file, or into the keyword trailer, short of the count.
        {kTable, "xref\n0 1\n0000000000 65535 f\n", nan},
        {kTable, "xref\n0 2\n0000000000 65535 f\ntrailer<</Root 1 0 R/Size 1>>", nan}, {kTable, "xref\nA 1\n", nan},
        {kTable, "xref\n0 0\ntrailer [1 2]", fail("trailer must be a dictionary")},
        {kTable, "xref\n0 0\ntrailer <</Size 1", eof}, {kTable, "xref\n0 0\ntrailer <</Size 1>>", missing},
        // Cross-reference stream dictionaries over `data`.
        {kStream, "<</Size 12 /Root 1 0 R /W [1 2 1] /Index [10 2]>>", Entries{{10, in_use(10)}, {11, packed(5, 3)}}, eight},
        // Without a type field every entry is in use; two bytes are left over.
        {kStream, "<</Size 12 /Root 1 0 R /W [0 2 1] /Index [10 2]>>",
         Entries{{10, in_use(0x0100, 0x0A)}, {11, in_use(0x0002, 0)}}, eight},
        // No /Index: from object 0, /Size of them; extra /W elements ignored; /Index pairs, a lone one.
        {kStream, "<</Size 3 /Root 1 0 R /W [1 1 1 7]>>", Entries{{0, free_entry(0, 0)}, {1, in_use(0, 9)}, {2, packed(0, 4)}},
         three},
        {kStream, "<</Size 9 /Root 1 0 R /W [1 1 1] /Index [4 1 7 2]>>",
         Entries{{4, free_entry(0, 0)}, {7, in_use(0, 9)}, {8, packed(0, 4)}}, three},
        {kStream, "<</Size 12 /Root 1 0 R /W [1 2 1] /Index [10]>>", Entries{}, eight},
        // The hidden stream of a hybrid file usually has no /Root.
        {kStream, "<</W [1 1 1] /Index [6 1]>>", Entries{{6, packed(9, 0)}}, bytes_of({2, 9, 0}), 0, TrailerFields::Optional},
        {kStream, "<</Size 2 /Root 1 0 R>>", fail("missing /W in xref stream"), eight},
        {kStream, "<</Size 2 /Root 1 0 R /W [1 2]>>", bad_w, eight}, {kStream, "<</Size 2 /Root 1 0 R /W 4>>", bad_w, eight},
        // Widths that describe no byte at all would let any count pass the length check.
        {kStream, "<</Size 2 /Root 1 0 R /W [0 0 0]>>", bad_w, eight}, {kStream, "<</Root 1 0 R /W [1 2 1]>>", missing, eight},
        {kStream, "<</Size 2 /Root (x) /W [1 2 1]>>", fail("expected reference for trailer field"), eight},
        {kStream, "<</Size 100 /Root 1 0 R /W [1 2 2]>>", short_data, four_hundred},
        // Counts that wrap around in 32 bits must not pass the length check.
        {kStream, "<</Size 2 /Root 1 0 R /W [1 2 1] /Index [0 4294967295 0 1]>>", short_data, eight},
        {kStream, "<</Size 2 /Root 1 0 R /W [1 2 1] /Index [0 2]>>", fail("unknown xref stream entry type"), bad_type},
        // Object streams as stored, read from `offset`.
        {kRaw, "1 0 obj <<>> stream\n\nendstream", eof, "", 40}, {kRaw, "1 0 obj <<>> stream\n\nendstream", eof, "", 30},
        {kRaw, "obj <<>> stream\n\nendstream", nan}, {kRaw, "1 0 ob <<>>", fail("expected 'obj' keyword")},
        {kRaw, "1 0 obj [1 2] stream\n\nendstream", fail("expected dict for ObjStm")},
        {kRaw, "1 0 obj << /Length 0 >> endobj", fail("expected stream after dict")},
        // A /Length past the data with the keyword after it: the data runs to the keyword.
        {kRaw, "1 0 obj << /Length 99 >> stream\nab\nendstream", Entries{}}, {kRaw, "1 0 obj << /Length 99 >> stream\nab", eof},
        // Object-stream dictionaries over `objstm`: /First beyond the data, also negative; a huge
        // /N fails when the header runs out of pairs, without allocating for it.
        {kObjStm, "<</First 8>>", missing}, {kObjStm, "<</N 2>>", missing}, {kObjStm, "<</N /Two /First 8>>", not_int},
        {kObjStm, "<</N 2 /First 8.5>>", not_int}, {kObjStm, "<</N 2 /First 15>>", eof},
        {kObjStm, "<</N 2 /First -1>>", eof}, {kObjStm, "<</N 4000000000 /First 8>>", nan}, {kObjStm, "<</N 3 /First 8>>", nan},
    };
    for (const auto& c : cases) {
        Result<Entries> got = Entries{};
        auto take = [&](const auto& r) {
            if (!r) got = std::unexpected(r.error());
            if constexpr (requires { r->entries; }) { if (r) got = all_entries(r->entries); }
        };
        switch (c.reader) {
            case kTable: take(parse_xref_table(as_bytes(c.input), c.offset)); break;
            case kStream: take(parse_xref_stream_obj(dict_of(c.input), as_bytes(c.data), c.fields)); break;
            case kRaw: take(parse_object_stream_raw(as_bytes(c.input), c.offset)); break;
            case kObjStm: take(parse_objstm(dict_of(c.input), as_bytes(objstm))); break;
        }
        EXPECT_EQ(got, c.expected) << c.input;
    }
    EXPECT_EQ(fields(parse_xref_table(as_bytes(table), 0)->trailer),
              std::tuple(ObjectId{1, 0}, 8u, ObjectId{2, 0}, std::nullopt, false, 17u, 40u));
}

TEST(XrefMap, DenseAndSparseNumbers) {
    XrefMap m;
    // A huge number first: it must not size the flat table after itself.
    m.set(4000000000u, in_use(1));
    m.set(4294967295u, in_use(2));
    for (std::uint32_t n = 0; n < 3000; ++n) m.set(n, in_use(n + 10));
    m.set(2500, in_use(7));  // replacing keeps the count
    m.set(1500000, in_use(3));
    // 5000 is beyond the flat table at first and inside it once enough entries exist.
    m.set(5000, in_use(4));
    for (std::uint32_t n = 3000; n < 6000; ++n) m.set(n, in_use(5));
    for (auto [n, offset] : {std::pair{4000000000u, 1u}, {2500u, 7u}, {5000u, 5u}, {1500000u, 3u}}) {
        EXPECT_EQ(m.find(n)->offset, offset) << n;
    }
    EXPECT_EQ(std::tuple(m.size(), m.find(1499999), m.find(6000)), std::tuple(6003u, nullptr, nullptr));
    // In increasing order, each number once.
    const Entries all = all_entries(m);
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end(), [](auto& a, auto& b) { return a.first >= b.first; }), all.end());
    EXPECT_EQ(std::pair(all.size(), all.back().first), std::pair(size_t{6003}, 4294967295u));
    // Merging an older map adds only the numbers this one lacks (a free entry hides an older one).
    XrefMap newer, older;
    for (auto [n, e] : Entries{{1, in_use(100)}, {2, free_entry(0, 1)}}) newer.set(n, e);
    for (auto [n, e] : Entries{{1, in_use(50)}, {2, in_use(60)}, {3, packed(9, 0)}, {3000000000u, in_use(70)}}) older.set(n, e);
    newer.merge_older(older);
    EXPECT_EQ(all_entries(newer), (Entries{{1, in_use(100)}, {2, free_entry(0, 1)}, {3, packed(9, 0)}, {3000000000u, in_use(70)}}));
}

TEST(ParseObjstm, SplitsTheBodyByHeaderOffsets) {
    auto integer = [](std::int64_t v) { return PdfObject(v); };
    // Body: "7" at 0, "8" at 2, "9" at 4, ")" at 6, "6" at 8. 2's span is empty (3 starts there),
    // 1's later pair wins, 5 does not parse, 6's span runs beyond the body, 4 starts beyond it.
    const std::string bad = "1 0 2 2 3 2 1 4 5 6 6 8 4 90 7 8 9 ) 6 ";
    const struct { std::string dict; std::string_view data; ObjStmMap expected; } cases[] = {
        {"<</N 3 /First 15>>", "10 0 11 5 12 9 (one)/two [3]", {{10, PdfObject(PdfString{as_bytes("one")})},
                                                                {11, PdfName{as_bytes("two")}}, {12, PdfArray{integer(3)}}}},
        // Each object is read from its own span only: 10's "1 " is not the reference "1 0 R".
        {"<</N 2 /First 10>>", "10 0 11 2 1 0 R", {{10, integer(1)}, {11, integer(0)}}},
        {"<</N 7 /First 29>>", bad, {{1, integer(9)}, {3, integer(8)}}},
        // /First equal to the size leaves an empty body: no object, no error.
        {"<</N 0 /First 14>>", "1 0 2 3 <<>> 7", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_objstm(dict_of(c.dict), as_bytes(c.data)), c.expected) << c.data;
    // The stream object as stored, at an offset into the file.
    const std::string text = "junk 12 0 obj\n<< /Length 5 /Type /ObjStm >>\nstream\nhello\nendstream";
    const RawStream raw = parse_object_stream_raw(as_bytes(text), 5).value();
    EXPECT_EQ(std::tuple(as_chars(raw.data), raw.id, dict_get(raw.dict, "Type")->is_name("ObjStm")),
              std::tuple("hello", ObjectId{12, 0}, true));
}
}  // namespace
}  // namespace vellix
