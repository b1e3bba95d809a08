// Stream filters and predictors: each decoder's outcomes and error texts, filter chains, the
// output cap against decompression bombs, and PNG/TIFF predictors.
#include "parser/filters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "test_pdf.h"

namespace vellix {
namespace {

using namespace std::literals;

ByteVec vec(std::string_view s) { return ByteVec(s.begin(), s.end()); }
ByteVec vec(std::initializer_list<int> bytes) { return ByteVec(bytes.begin(), bytes.end()); }

PdfObject name(std::string_view n) { return PdfObject(PdfName{as_bytes(n)}); }
PdfObject integer(std::int64_t i) { return PdfObject(i); }
PdfObject array(std::initializer_list<PdfObject> items) { return PdfObject(PdfArray(items)); }
PdfObject names(std::initializer_list<std::string_view> list) {
    PdfArray a;
    for (auto n : list) a.push_back(name(n));
    return a;
}
PdfObject dict(std::initializer_list<std::pair<std::string_view, PdfObject>> entries) {
    PdfDict d;
    for (const auto& [k, v] : entries) d.push_back({as_bytes(k), v});
    return d;
}

// The text a failure would show; "" for success.
std::string error_of(const Result<ByteVec>& r) { return r ? std::string() : r.error().display(); }

// A row of an outcome table: the decoded bytes, or the error text (and no bytes).
struct Outcome {
    std::string label;
    ByteVec input, expected;
    std::string error = "";
};

void expect_outcome(const Outcome& c, const Result<ByteVec>& got) {
    EXPECT_EQ(error_of(got), c.error) << c.label;
    EXPECT_EQ(got.value_or(ByteVec{}), c.expected) << c.label;
}

ByteVec random_bytes(size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    ByteVec v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng() % alphabet);
    return v;
}

ByteVec zlib_compress(const ByteVec& in) { return vec(testing::flate(std::string(in.begin(), in.end()))); }

// Codes most significant bit first; the last byte is padded with zero bits.
struct BitWriter {
    ByteVec bytes;
    size_t bits = 0;
    void put(unsigned code, unsigned width) {
        for (unsigned i = width; i > 0; --i, ++bits) {
            if (bits % 8 == 0) bytes.push_back(0);
            if ((code >> (i - 1)) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80 >> (bits % 8));
        }
    }
};

// An LZW encoder following the PDF default (EarlyChange 1): the decoder lags one entry behind
// the encoder, so the encoder widens its codes once its next free code reaches 512, 1024 or
// 2048, and the decoder does so on reaching 511, 1023 or 2047 entries. `clear_when_full`
// emits a clear code when the table is full instead of going on with a full table.
ByteVec lzw_encode(const ByteVec& in, bool clear_when_full, bool leading_clear = true) {
    BitWriter w;
    std::map<std::uint32_t, unsigned> table;  // (prefix code << 8 | byte) -> code
    unsigned next = 258, width = 9;
    if (leading_clear) w.put(256, width);
    auto add_entry = [&] {
        if (next < 4096) ++next;
        if (width < 12 && next == (1u << width)) ++width;
    };
    int cur = -1;
    for (std::uint8_t c : in) {
        const std::uint32_t key = static_cast<std::uint32_t>(cur) << 8 | c;
        if (cur < 0 || table.contains(key)) {
            cur = cur < 0 ? c : static_cast<int>(table[key]);
            continue;
        }
        w.put(static_cast<unsigned>(cur), width);
        if (next < 4096) table[key] = next;
        add_entry();
        if (clear_when_full && next == 4096) w.put(256, width), table.clear(), next = 258, width = 9;
        cur = c;
    }
    // The decoder adds an entry for the last code before it reads the end code.
    if (cur >= 0) w.put(static_cast<unsigned>(cur), width), add_entry();
    w.put(257, width);
    return w.bytes;
}

TEST(Flate, Outcomes) {
    const ByteVec text = vec(std::string(3000, 'x') + "The quick brown fox." + std::string(99, 'y'));
    const ByteVec z = zlib_compress(text);
    auto with = [&](auto edit) { ByteVec v = z; edit(v); return v; };
    const std::string failed = "flate decompression failed";
    // Incompressible input far larger than the 32 KiB input slice, and highly compressible
    // input whose output outgrows the first guess many times.
    const ByteVec noise = random_bytes(300000, 2), run(5'000'000, 'a');
    const Outcome cases[] = {
        {"complete", z, text}, {"bytes after the stream", with([](ByteVec& v) { v.push_back('e'); }), text},
        // The input ends inside the Adler-32 trailer: every byte is there, and no error.
        {"trailer cut", with([](ByteVec& v) { v.resize(v.size() - 2); }), text},
        {"empty input", {}, {}}, {"header only", with([](ByteVec& v) { v.resize(2); }), {}},
        {"large noise", zlib_compress(noise), noise}, {"long run", zlib_compress(run), run},
        // The header check (CMF * 256 + FLG divisible by 31) fails.
        {"corrupted header", with([](ByteVec& v) { v[1] ^= 0x01; }), {}, failed},
        {"raw deflate without header", ByteVec(z.begin() + 2, z.end() - 4), {}, failed}, {"adler-32 mismatch", with([](ByteVec& v) { v.back() ^= 0xFF; }), {}, failed},
        // FLG with FDICT set (0x20), check bits fixed up: a preset dictionary PDF cannot give.
        {"preset dictionary", vec({0x78, 0xBB, 0, 0, 0, 0, 0x03, 0x00}), {}, failed},
        {"invalid block type", vec({0x78, 0x9C, 0x07, 0x00}), {}, failed},
    };
    for (const auto& c : cases) expect_outcome(c, decompress_flate(c.input));
}

TEST(Flate, TruncatedStreamYieldsPrefix) {
    const ByteVec text = random_bytes(100000, 1, 16), z = zlib_compress(text);
    for (size_t cut : {z.size() / 4, z.size() * 3 / 4}) {
        const ByteVec got = decompress_flate(Bytes(z).first(cut)).value_or(ByteVec{});
        EXPECT_TRUE(got.size() > 0 && got.size() < text.size() && std::equal(got.begin(), got.end(), text.begin())) << cut;
    }
    // For images, corrupt data ends the output instead of failing, once something decoded.
    ByteVec corrupt = zlib_compress(text);
    corrupt[corrupt.size() / 2] ^= 0xFF;
    const ByteVec partial = decode_image_filter(corrupt, as_bytes("Fl"), 1 << 20).value_or(ByteVec{});
    EXPECT_TRUE(partial.size() > 1000 && std::equal(partial.begin(), partial.begin() + 1000, text.begin()));
    EXPECT_EQ(decode_image_filter(vec({0x02, 'a', 'b'}), as_bytes("RL"), 10), vec("ab"));
}

TEST(Lzw, RoundTripsThroughEveryCodeWidth) {
    const struct { const char* label; ByteVec input; } inputs[] = {
        // "repeated pattern": each new code is the one just being defined (the KwKwK case).
        {"one byte", vec("A")}, {"repeated pattern", vec("ABABABABABABABABABABAB")}, {"run", ByteVec(100000, 'z')},
        // Random bytes add one entry per code: 9 -> 10 -> 11 -> 12 bits, then a full table. The
        // first 10-bit code follows entry 510; a decoder that widened one code late misreads it.
        {"random", random_bytes(40000, 3)}, {"small alphabet", random_bytes(60000, 4, 5)},
    };
    for (const auto& in : inputs) {
        for (int variant = 0; variant < 4; ++variant) {  // clear when full, leading clear
            EXPECT_EQ(decompress_lzw(lzw_encode(in.input, variant & 1, variant & 2)), in.input) << in.label << variant;
        }
    }
}

TEST(Lzw, CorruptCodes) {
    auto codes = [](std::initializer_list<unsigned> list) { BitWriter w; for (unsigned c : list) w.put(c, 9); return w.bytes; };
    const struct { const char* label; ByteVec input; std::string_view expected; } cases[] = {
        {"empty", {}, ""}, {"fewer than 9 bits", vec("A"), ""}, {"no end code", codes({'H', 'i'}), "Hi"},
        // A first code that is not in the table leaves nothing to build on: decoding stops.
        {"unknown first code", codes({300, 'A', 257}), ""},
        {"unknown first code after clear", codes({'A', 256, 400, 'B', 257}), "A"},
        // A code beyond the next free one reads as the previous string plus its first byte;
        // the following code builds on that string (entry 259, "BB"), so 260 is "BBB".
        {"code beyond next free", codes({'A', 'B', 400, 259, 260, 257}), "ABBBBBBBB"},
        {"clear codes only", codes({256, 256, 256}), ""}, {"end code first", codes({257, 'A'}), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(decompress_lzw(c.input), vec(c.expected)) << c.label;
}

TEST(Ascii85, Outcomes) {
    const std::string lone = "invalid ASCII85: lone ~", bad = "invalid ASCII85 character";
    const struct { std::string in; ByteVec out; std::string e = ""; } cases[] = {
        {"87cURD_*#TDfTZ)+T~>", vec("Hello, world!")},
        {" 87c\tUR\r\nD_*#TDfTZ)+T ~> anything after", vec("Hello, world!")},
        {"87cURD_*#TDfTZ)+T", vec("Hello, world!")}, {"@:E_WzAS,Q~>", vec("abcd\0\0\0\0efg"sv)},
        // "uuuuu": a group above 2^32 - 1 wraps instead of failing.
        {"s8W-!", vec({0xFF, 0xFF, 0xFF, 0xFF})}, {"uuuuu", vec({0x08, 0x78, 0x0E, 0xC4})},
        // Final groups of n digits yield n - 1 bytes; a single digit yields nothing.
        {"5l~>", vec("A")}, {"5sb", vec("AB")}, {"5sdp~>", vec("ABC")}, {"!!!!!5", vec({0, 0, 0, 0})},
        {"", {}}, {"~>", {}}, {"5sb~", {}, lone}, {"5sb~x>", {}, lone}, {"~ >", {}, lone},
        // The start marker is not recognised: "<" is a digit, then the "~" is alone.
        {"<~87cURD~>", {}, lone},
        {"!!z", {}, "invalid ASCII85: z mid-group"}, {"87cUR\fD_*#T", {}, bad}, {"87\0cU"s, {}, bad}, {"v", {}, bad},
    };
    for (const auto& c : cases) expect_outcome({c.in, vec(c.in), c.out, c.e}, decode_ascii85(vec(c.in)));
}

TEST(AsciiHex, Outcomes) {
    const struct { std::string_view input; ByteVec expected; } cases[] = {
        {"4A 4b>", vec({0x4A, 0x4B})}, {"7", vec({0x70})}, {"", {}}, {">41", {}},
        {"no digits here", vec({0xDE, 0xE0})},  // "d", "e", "e" are digits
        {"4\n1\t4 2\f00 ff>ab", vec({0x41, 0x42, 0x00, 0xFF})}, {"414>42", vec({0x41, 0x40})},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_ascii_hex(as_bytes(c.input)), c.expected) << c.input;
}

TEST(RunLength, Outcomes) {
    ByteVec literal128 = vec({0x7F});
    for (int i = 0; i < 128; ++i) literal128.push_back(static_cast<std::uint8_t>(i));
    const std::string end = "RunLength: unexpected end of data";
    const Outcome cases[] = {
        {"repeat", vec({0xFE, 0x41}), vec("AAA")}, {"longest repeat", vec({0x81, 0x42, 0x80}), ByteVec(128, 0x42)},
        {"literal", vec({0x02, 'a', 'b', 'c', 0x80}), vec("abc")},
        {"longest literal", literal128, ByteVec(literal128.begin() + 1, literal128.end())},
        {"end of data stops", vec({0x00, 'x', 0x80, 0x05, 'j'}), vec("x")},
        {"no end code", vec({0x00, 'x', 0xFF, 'y'}), vec("xyy")}, {"empty", {}, {}},
        {"literal runs past the end", vec({0x02, 'a', 'b'}), {}, end},
        {"repeat without its byte", vec({0x00, 'a', 0xFE}), {}, end}, {"length byte alone", vec({0x00}), {}, end},
    };
    for (const auto& c : cases) expect_outcome(c, decode_run_length(c.input));
}

const ByteVec kBrotli = vec(std::string_view("\x1b\x17\x01\xf8\x1d\xa9\x53\x9f\x3b\x74\x29\xf4\x26\x57"
                                              "\x20\x74\x95\xc6\x16\xb3\x45\x02\x97\x6e\x00", 25));
// BrotliDecode of 5 MiB of "b": more than a thread's kept decoding buffer holds.
const ByteVec kBrotliFiveMiB = vec(std::string_view("\x9b\xff\xff\x4f\xf8\x25\xc4\xe2\xb1\x40\x20\xf7\xfe\x09", 14));

TEST(DecompressStream, NamesChainsAndOtherValues) {
    const ByteVec text = vec("BT /F1 12 Tf (Hello, vellix) Tj ET");  // "v" is no ASCII85 digit
    const ByteVec z = zlib_compress(text);
    std::string hex_of_z;
    for (std::uint8_t b : z) hex_of_z += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    auto chain = [](size_t n) {  // Flate, then DCTDecode and null alternately (nulls do not count)
        PdfArray a{name("FlateDecode")};
        while (a.size() < n) a.push_back(name("DCTDecode")), a.push_back(PdfNull{});
        return PdfObject(std::move(a));
    };
    const std::string too_many = "too many filters in stream";
    std::string brotli_text;
    for (int i = 0; i < 40; ++i) brotli_text += "Brotli ";
    const struct { Outcome o; PdfObject filter; } cases[] = {
        {{"flate by name", z, text}, name("FlateDecode")},
        {{"flate then image codec", z, text}, names({"FlateDecode", "DCTDecode"})},
        {{"abbreviations and other case are unknown", z, z}, names({"Fl", "flatedecode"})},
        {{"hex then flate", vec(hex_of_z + ">"), text}, names({"ASCIIHexDecode", "FlateDecode"})},
        {{"non-names are skipped", z, text}, array({PdfNull{}, name("FlateDecode"), integer(5)})},
        {{"empty array", z, z}, PdfArray{}}, {{"reference", z, z}, ObjectId{7, 0}}, {{"dictionary", z, z}, dict({{"Filter", name("FlateDecode")}})},
        {{"first failure ends the chain", z, {}, "invalid ASCII85 character"}, names({"FlateDecode", "ASCII85Decode"})},
        // Names counted: 1 + 31 = kMaxFilterChain, then one more.
        {{"longest chain", z, text}, chain(2 * kMaxFilterChain - 1)},
        {{"chain too long", z, {}, too_many}, chain(2 * kMaxFilterChain + 1)}, {{"huge chain", z, {}, too_many}, chain(100000)},
        // BrotliDecode of "Brotli " 40 times; the same cut short yields a prefix; corrupt fails.
        {{"brotli", kBrotli, vec(brotli_text)}, name("BrotliDecode")},
        {{"brotli cut short", ByteVec(kBrotli.begin(), kBrotli.begin() + 3), {}}, name("BrotliDecode")},
        {{"brotli corrupt", vec("\xff\xff\xff\xff"), {}, "brotli decompression failed"}, name("BrotliDecode")},
        // Outputs past the thread's kept decoding buffer (4 MiB).
        {{"brotli past the kept buffer", kBrotliFiveMiB, ByteVec(5 << 20, 'b')}, name("BrotliDecode")},
        {{"flate past the kept buffer", zlib_compress(ByteVec(5 << 20, 'f')), ByteVec(5 << 20, 'f')}, name("FlateDecode")},
    };
    for (const auto& c : cases) expect_outcome(c.o, decompress_stream(c.o.input, c.filter));
    EXPECT_EQ(apply_single_filter(z, as_bytes("FlateDecode")).value_or(ByteVec{}), text);
    EXPECT_EQ(apply_single_filter(z, as_bytes("Fl")).value_or(ByteVec{}), z);
}

// Every decoder stops at the cap with exactly that many bytes, and no error.
TEST(DecompressStream, OutputCapTruncates) {
    constexpr size_t kCap = 1001;
    ByteVec run_length;
    for (int i = 0; i < 100; ++i) run_length.insert(run_length.end(), {0x81, 'r'});
    const struct { const char* label; ByteVec input; PdfObject filter; std::uint8_t fill; } cases[] = {
        {"flate", zlib_compress(ByteVec(1 << 20, 'f')), name("FlateDecode"), 'f'},
        {"lzw", lzw_encode(ByteVec(1 << 20, 'l'), false), name("LZWDecode"), 'l'},
        {"ascii85 z", vec(std::string(1000, 'z')), name("ASCII85Decode"), 0}, {"ascii85 groups", vec(std::string(5000, '!')), name("ASCII85Decode"), 0},
        {"asciihex", vec(std::string(4000, 'A')), name("ASCIIHexDecode"), 0xAA}, {"runlength", run_length, name("RunLengthDecode"), 'r'},
        {"chain", vec(std::string(1000, 'z')), names({"ASCII85Decode", "DCTDecode"}), 0},
        {"brotli", kBrotliFiveMiB, name("BrotliDecode"), 'b'},
    };
    for (const auto& c : cases) {
        expect_outcome({c.label, {}, ByteVec(kCap, c.fill)}, decompress_stream_for_testing(c.input, c.filter, kCap));
        // Uncapped, the same input decodes further.
        EXPECT_GT(decompress_stream(c.input, c.filter).value_or(ByteVec{}).size(), kCap) << c.label;
    }
    // Below the cap nothing changes.
    EXPECT_EQ(decompress_stream_for_testing(vec({0xFE, 'x'}), name("RunLengthDecode"), kCap), vec("xxx"));
}

struct Layout {
    int colors, bits, columns;
};
size_t row_bytes(const Layout& l) { return (size_t(l.colors) * l.bits * l.columns + 7) / 8; }

PdfObject predictor_parms(int predictor, const Layout& l) {
    return dict({{"Predictor", integer(predictor)}, {"Colors", integer(l.colors)},
                 {"BitsPerComponent", integer(l.bits)}, {"Columns", integer(l.columns)}});
}

// PNG encoding of rows with the given filter type per row (cycled), as a PNG writer does it.
ByteVec png_encode(const ByteVec& data, const Layout& l, const std::vector<int>& types) {
    const size_t rb = row_bytes(l);
    const size_t bpp = std::max<size_t>(1, (size_t(l.colors) * l.bits + 7) / 8);
    ByteVec out;
    for (size_t start = 0, r = 0; start < data.size(); start += rb, ++r) {
        const int type = types[r % types.size()];
        out.push_back(static_cast<std::uint8_t>(type));
        for (size_t i = 0; i < std::min(rb, data.size() - start); ++i) {
            const int a = i >= bpp ? data[start + i - bpp] : 0;
            const int b = r > 0 ? data[start - rb + i] : 0;
            const int c = (r > 0 && i >= bpp) ? data[start - rb + i - bpp] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int paeth = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            const int pred[] = {0, a, b, (a + b) / 2, paeth};
            out.push_back(static_cast<std::uint8_t>(data[start + i] - pred[type]));
        }
    }
    return out;
}

TEST(Predictor, Parameters) {
    const ByteVec data = vec({1, 1, 1, 2, 1, 1});
    const std::string invalid = "invalid predictor parameters", unsupported = "unsupported predictor";
    auto png = [](std::string_view key, PdfObject v) { return dict({{"Predictor", integer(12)}, {key, v}}); };
    const struct { const char* label; PdfObject parms; ByteVec out; std::string e = ""; } cases[] = {
        // Parameters that are not a dictionary, or no predictor, leave the data unchanged.
        {"integer", integer(12), data}, {"empty dictionary", dict({}), data}, {"empty array", PdfArray{}, data},
        {"predictor 1", dict({{"Predictor", integer(1)}, {"Columns", integer(3)}}), data},
        {"negative predictor", dict({{"Predictor", integer(-12)}}), data}, {"predictor a name", dict({{"Predictor", name("PNG")}}), data},
        {"array whose last element is null", array({dict({{"Predictor", integer(12)}}), PdfNull{}}), data},
        // An array contributes its last element; integral reals count as integers.
        {"array", array({PdfNull{}, predictor_parms(12, {1, 8, 2})}), vec({1, 2, 2, 3})},
        {"reals", dict({{"Predictor", 12.0}, {"Columns", 2.0}}), vec({1, 2, 2, 3})},
        {"predictor 3", dict({{"Predictor", integer(3)}}), {}, unsupported}, {"predictor 16", dict({{"Predictor", integer(16)}}), {}, unsupported},
        {"zero colors", png("Colors", integer(0)), {}, invalid}, {"33 colors", png("Colors", integer(33)), {}, invalid},
        {"3 bits", png("BitsPerComponent", integer(3)), {}, invalid}, {"32 bits", png("BitsPerComponent", integer(32)), {}, invalid},
        {"zero columns", png("Columns", integer(0)), {}, invalid}, {"fractional columns", png("Columns", 3.5), {}, invalid},
        {"columns a name", png("Columns", name("Four")), {}, invalid},
        {"row type 5", png("Columns", integer(3)), {}, "invalid PNG predictor row type"},
        // A row longer than the data is one short row, whatever its length: no overflow.
        {"huge png row", dict({{"Predictor", integer(12)}, {"Colors", integer(32)}, {"BitsPerComponent", integer(16)},
                               {"Columns", integer(INT64_MAX)}}), vec({1, 1, 2, 1, 1})},
        {"huge tiff row", dict({{"Predictor", integer(2)}, {"Columns", integer(std::int64_t{1} << 40)}}), vec({1, 2, 3, 5, 6, 7})},
    };
    for (const auto& c : cases) {
        const ByteVec in = c.e.starts_with("invalid PNG") ? vec({5, 1, 2, 3}) : data;
        expect_outcome({c.label, in, c.out, c.e}, apply_predictor(in, c.parms));
    }
}

TEST(Predictor, PngRowTypesByHand) {
    // Three one-byte pixels per row; each row's type byte decides, whatever /Predictor says.
    const ByteVec encoded = vec({
        1, 1, 1, 1,     // Sub: 1 2 3
        2, 1, 1, 1,     // Up: 2 3 4
        0, 9, 9, 9,     // None: 9 9 9
        3, 2, 2, 2,     // Average: 2+(0+9)/2=6, 2+(6+9)/2=9, 2+(9+9)/2=11
        4, 4, 1, 255,   // Paeth, worked out below
    });
    // Paeth row over 6 9 11: i=0: left 0, up 6, up-left 0: p=6, pa=6 pb=0 -> up, 4+6=10.
    //   i=1: left 10, up 9, up-left 6: p=13, pa=3 pb=4 pc=7 -> left, 1+10=11.
    //   i=2: left 11, up 11, up-left 9: p=13, pa=2 pb=2 -> left wins ties, 255+11=10 (mod 256).
    const ByteVec expected = vec({1, 2, 3, 2, 3, 4, 9, 9, 9, 6, 9, 11, 10, 11, 10});
    for (int predictor : {10, 11, 12, 13, 14, 15}) EXPECT_EQ(apply_predictor(encoded, predictor_parms(predictor, {1, 8, 3})), expected);
}

TEST(Predictor, PngRoundTrips) {
    const Layout layouts[] = {{1, 8, 5}, {3, 8, 4}, {2, 16, 3}, {1, 1, 13}, {4, 8, 1}, {1, 4, 7}, {3, 8, 200}};
    const std::vector<int> type_sets[] = {{0}, {1}, {2}, {3}, {4}, {4, 1, 0, 3, 2}};
    for (const Layout& l : layouts) {
        for (const auto& types : type_sets) {
            // Whole rows, then a short final row.
            for (size_t extra : {size_t{0}, row_bytes(l) / 2 + 1}) {
                const ByteVec data = random_bytes(row_bytes(l) * 7 + (extra < row_bytes(l) ? extra : 0), 5);
                expect_outcome({::testing::PrintToString(std::tuple(l.colors, l.bits, l.columns, types[0], data.size())), {}, data},
                               apply_predictor(png_encode(data, l, types), predictor_parms(15, l)));
            }
        }
    }
    // A final row of its type byte alone adds nothing; so does a lone row of it, with no output
    // buffer at all (fuzz/regressions/filters/png-row-of-type-byte-only: memcpy of null).
    ByteVec lone_type = png_encode(vec({7, 8}), {1, 8, 2}, {1});
    lone_type.push_back(2);
    EXPECT_EQ(apply_predictor(lone_type, predictor_parms(12, {1, 8, 2})).value_or(ByteVec{}), vec({7, 8}));
    for (int type = 0; type <= 4; ++type) EXPECT_EQ(apply_predictor(vec({type}), predictor_parms(12, {1, 8, 5})), ByteVec{});
}

TEST(Predictor, TiffHorizontalDifferencing) {
    const struct { const char* label; Layout layout; ByteVec encoded, expected; } cases[] = {
        {"8 bits", {1, 8, 4}, vec({1, 1, 1, 1, 5, 255, 1, 0}), vec({1, 2, 3, 4, 5, 4, 5, 5})},
        {"8 bits, three colors", {3, 8, 2}, vec({10, 20, 30, 1, 2, 3}), vec({10, 20, 30, 11, 22, 33})},
        // The carry of the low byte reaches the high byte; the sum wraps at 16 bits.
        {"16 bits", {1, 16, 3}, vec({0x00, 0xFF, 0x00, 0x01, 0xFF, 0x00}), vec({0x00, 0xFF, 0x01, 0x00, 0x00, 0x00})},
        {"16 bits, two colors", {2, 16, 2}, vec({0, 1, 0, 2, 0, 1, 0, 2}), vec({0, 1, 0, 2, 0, 2, 0, 4})},
        // Three 4-bit samples per row (a padding nibble that stays as it is), two rows.
        {"4 bits", {1, 4, 3}, vec({0x11, 0x1F, 0x2F, 0xF0}), vec({0x12, 0x3F, 0x21, 0x00})},
        {"2 bits wraps", {1, 2, 4}, vec({0b01'11'01'00}), vec({0b01'00'01'01})}, {"1 bit", {1, 1, 8}, vec({0b1000'0000, 0b0100'0000}), vec({0xFF, 0b0111'1111})},
        {"1 bit, two colors", {2, 1, 4}, vec({0b1000'0001}), vec({0b1010'1011})},
        // A short final row decodes its whole samples; a lone byte of a 16-bit sample stays.
        {"short final row, 8 bits", {1, 8, 3}, vec({1, 1, 1, 7, 1}), vec({1, 2, 3, 7, 8})},
        {"short final row, 16 bits", {1, 16, 3}, vec({0, 1, 0, 1, 0, 1, 0, 5, 0, 1, 9}), vec({0, 1, 0, 2, 0, 3, 0, 5, 0, 6, 9})},
    };
    for (const auto& c : cases) expect_outcome({c.label, c.encoded, c.expected}, apply_predictor(c.encoded, predictor_parms(2, c.layout)));
}

TEST(DecodeStructuralStream, FiltersThenPredictor) {
    // Cross-reference stream rows with /W [1 2 1]: type, offset, generation.
    const ByteVec rows = vec({1, 0x00, 0x0F, 0, 1, 0x01, 0x10, 0, 2, 0x00, 0x05, 3, 0, 0, 0, 0});
    const PdfObject parms = predictor_parms(12, {1, 8, 4}), flate = name("FlateDecode");
    const ByteVec predicted = png_encode(rows, {1, 8, 4}, {2}), deflated = zlib_compress(predicted), garbage = vec("garbage");
    const struct { Outcome o; PdfObject dict; } cases[] = {
        {{"flate and predictor", deflated, rows}, dict({{"Filter", flate}, {"DecodeParms", parms}})},
        {{"predictor without filter", predicted, rows}, dict({{"DecodeParms", parms}})},
        {{"arrays", deflated, rows}, dict({{"Filter", names({"FlateDecode"})}, {"DecodeParms", array({parms})}})},
        {{"no parameters", deflated, predicted}, dict({{"Filter", flate}})},
        // The first entry counts, as for every dictionary lookup.
        {{"first entry wins", deflated, rows},
         dict({{"Filter", flate}, {"Filter", name("DCTDecode")}, {"DecodeParms", parms}, {"DecodeParms", PdfNull{}}})},
        {{"filter failure", garbage, {}, "flate decompression failed"}, dict({{"Filter", flate}})},
        {{"predictor failure", deflated, {}, "unsupported predictor"}, dict({{"Filter", flate}, {"DecodeParms", dict({{"Predictor", integer(7)}})}})},
    };
    for (const auto& c : cases) expect_outcome(c.o, decode_structural_stream(PdfStream{*c.dict.dict(), c.o.input}));
}

}  // namespace
}  // namespace vellix
