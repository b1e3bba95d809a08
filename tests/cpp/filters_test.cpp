// Stream filters and predictors: each decoder's outcomes and error texts, filter chains, the
// output cap against decompression bombs, and PNG/TIFF predictors.
#include "parser/filters.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vellix {
namespace {

ByteVec vec(std::string_view s) { return ByteVec(s.begin(), s.end()); }
ByteVec vec(std::initializer_list<int> bytes) {
    ByteVec v;
    for (int b : bytes) v.push_back(static_cast<std::uint8_t>(b));
    return v;
}
std::string str(const ByteVec& v) { return std::string(v.begin(), v.end()); }

PdfObject name(std::string_view n) { return PdfObject(PdfName{as_bytes(n)}); }
PdfObject integer(std::int64_t i) { return PdfObject(i); }
PdfObject names(std::initializer_list<std::string_view> list) {
    PdfArray a;
    for (auto n : list) a.push_back(name(n));
    return PdfObject(std::move(a));
}
PdfObject dict(std::initializer_list<std::pair<std::string_view, PdfObject>> entries) {
    PdfDict d;
    for (const auto& [k, v] : entries) d.push_back({as_bytes(k), v});
    return PdfObject(std::move(d));
}

// The text a failure would show; "" for success.
template <class T>
std::string error_of(const Result<T>& r) {
    return r ? std::string() : r.error().display();
}

ByteVec random_bytes(size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    ByteVec v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng() % alphabet);
    return v;
}

// ---------------------------------------------------------------------------------------
// Test-side encoders

ByteVec zlib_compress(const ByteVec& in) {
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    ByteVec out(size);
    EXPECT_EQ(compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
    out.resize(size);
    return out;
}

// Deflate data without the zlib header and trailer.
ByteVec raw_deflate(const ByteVec& in) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    ByteVec out(deflateBound(&zs, static_cast<uLong>(in.size())));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// Codes most significant bit first; the last byte is padded with zero bits.
class BitWriter {
public:
    void put(unsigned code, unsigned width) {
        for (unsigned i = width; i > 0; --i) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((code >> (i - 1)) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bits_ % 8));
            ++bits_;
        }
    }
    ByteVec bytes() const { return bytes_; }

private:
    ByteVec bytes_;
    size_t bits_ = 0;
};

// An LZW encoder following the PDF default (EarlyChange 1): the decoder lags one entry behind
// the encoder, so the encoder widens its codes once its next free code reaches 512, 1024 or
// 2048, and the decoder does so on reaching 511, 1023 or 2047 entries. `clear_when_full`
// emits a clear code when the table is full instead of going on with a full table.
ByteVec lzw_encode(const ByteVec& in, bool clear_when_full, bool leading_clear = true) {
    BitWriter w;
    std::map<std::uint32_t, unsigned> table;  // (prefix code << 8 | byte) -> code
    unsigned next = 258;
    unsigned width = 9;
    if (leading_clear) w.put(256, width);
    auto grow = [&] {
        if (width < 12 && next == (1u << width)) ++width;
    };
    int cur = -1;
    for (std::uint8_t c : in) {
        if (cur < 0) {
            cur = c;
            continue;
        }
        const std::uint32_t key = static_cast<std::uint32_t>(cur) << 8 | c;
        if (auto it = table.find(key); it != table.end()) {
            cur = static_cast<int>(it->second);
            continue;
        }
        w.put(static_cast<unsigned>(cur), width);
        if (next < 4096) table[key] = next++;
        grow();
        if (clear_when_full && next == 4096) {
            w.put(256, width);
            table.clear();
            next = 258;
            width = 9;
        }
        cur = c;
    }
    if (cur >= 0) {
        w.put(static_cast<unsigned>(cur), width);
        // The decoder adds an entry for this last code too before it reads the end code.
        if (next < 4096) ++next;
        grow();
    }
    w.put(257, width);
    return w.bytes();
}

// ---------------------------------------------------------------------------------------
// Flate

TEST(Flate, Outcomes) {
    const ByteVec text = vec(std::string(3000, 'x') + "The quick brown fox jumps over the lazy dog." +
                             std::string(100, 'y'));
    const ByteVec z = zlib_compress(text);
    auto with = [&](auto edit) {
        ByteVec v = z;
        edit(v);
        return v;
    };
    const struct {
        const char* label;
        ByteVec input;
        ByteVec expected;  // ignored when error is set
        std::string error;
    } cases[] = {
        {"complete", z, text, ""},
        {"bytes after the stream are ignored", with([](ByteVec& v) { v.push_back('\n'); v.push_back('e'); }),
         text, ""},
        // The input ends inside the Adler-32 trailer: every byte is there, and no error.
        {"trailer cut", with([](ByteVec& v) { v.resize(v.size() - 2); }), text, ""},
        {"empty input", {}, {}, ""},
        {"header only", with([](ByteVec& v) { v.resize(2); }), {}, ""},
        // The header check (CMF * 256 + FLG divisible by 31) fails.
        {"corrupted header byte", with([](ByteVec& v) { v[1] ^= 0x01; }), {}, "flate decompression failed"},
        {"raw deflate without header", raw_deflate(text), {}, "flate decompression failed"},
        {"adler-32 mismatch", with([](ByteVec& v) { v.back() ^= 0xFF; }), {}, "flate decompression failed"},
        // FLG with FDICT set (0x20), check bits fixed up: a preset dictionary PDF cannot give.
        {"preset dictionary", vec({0x78, 0xBB, 0, 0, 0, 0, 0x03, 0x00}), {}, "flate decompression failed"},
        {"invalid block type", vec({0x78, 0x9C, 0x07, 0x00}), {}, "flate decompression failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = decompress_flate(c.input);
        EXPECT_EQ(error_of(got), c.error);
        if (got && c.error.empty()) {
            EXPECT_EQ(*got, c.expected);
        }
    }
}

TEST(Flate, TruncatedStreamYieldsPrefix) {
    const ByteVec text = random_bytes(100000, 1, 16);
    const ByteVec z = zlib_compress(text);
    for (size_t cut : {z.size() / 4, z.size() / 2, z.size() * 3 / 4}) {
        SCOPED_TRACE(cut);
        Result<ByteVec> got = decompress_flate(Bytes(z).first(cut));
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_GT(got->size(), 0u);
        EXPECT_LT(got->size(), text.size());
        EXPECT_TRUE(std::equal(got->begin(), got->end(), text.begin()));
    }
}

TEST(Flate, LargeInputsCrossStagingChunks) {
    // Incompressible input far larger than the 32 KiB input slice, and highly compressible
    // input whose output outgrows the first guess many times.
    for (const ByteVec& text : {random_bytes(300000, 2), ByteVec(5'000'000, 'a')}) {
        Result<ByteVec> got = decompress_flate(zlib_compress(text));
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, text);
    }
}

// ---------------------------------------------------------------------------------------
// LZW

TEST(Lzw, RoundTripsThroughEveryCodeWidth) {
    const struct {
        const char* label;
        ByteVec input;
    } inputs[] = {
        {"one byte", vec("A")},
        {"two bytes", vec("AB")},
        // Each new code is the one just being defined (the KwKwK case).
        {"repeated pattern", vec("ABABABABABABABABABABAB")},
        {"run", ByteVec(100000, 'z')},
        // Random bytes add one entry per code: 9 -> 10 -> 11 -> 12 bits, then a full table.
        {"random, full alphabet", random_bytes(40000, 3)},
        {"random, small alphabet", random_bytes(60000, 4, 5)},
        {"text", vec([] {
             std::string s;
             for (int i = 0; i < 2000; ++i) s += "line " + std::to_string(i * 7919 % 1000) + " of text\n";
             return s;
         }())},
    };
    for (const auto& in : inputs) {
        for (bool clear_when_full : {false, true}) {
            for (bool leading_clear : {false, true}) {
                SCOPED_TRACE(std::string(in.label) + (clear_when_full ? ", clears" : "") +
                             (leading_clear ? ", leading clear" : ""));
                EXPECT_EQ(decompress_lzw(lzw_encode(in.input, clear_when_full, leading_clear)), in.input);
            }
        }
    }
}

TEST(Lzw, FirstTenBitCodeFollowsEntry510) {
    // 254 single-byte codes: the second to the 254th add entries 258 to 510. The very next
    // code is 10 bits wide; a decoder that widened one code late would misread it.
    BitWriter w;
    ByteVec expected;
    for (unsigned i = 0; i < 254; ++i) {
        w.put(i, 9);
        expected.push_back(static_cast<std::uint8_t>(i));
    }
    w.put('A', 10);
    expected.push_back('A');
    w.put(257, 10);
    w.put('B', 10);  // after the end code: ignored
    EXPECT_EQ(decompress_lzw(w.bytes()), expected);
}

TEST(Lzw, CorruptCodes) {
    auto codes = [](std::initializer_list<unsigned> list) {
        BitWriter w;
        for (unsigned c : list) w.put(c, 9);
        return w.bytes();
    };
    const struct {
        const char* label;
        ByteVec input;
        std::string expected;
    } cases[] = {
        {"empty", {}, ""},
        {"single byte is fewer than 9 bits", vec("A"), ""},
        {"no end code", codes({'H', 'i'}), "Hi"},
        // A first code that is not in the table leaves nothing to build on: decoding stops.
        {"unknown first code", codes({300, 'A', 257}), ""},
        {"unknown first code after clear", codes({'A', 256, 400, 'B', 257}), "A"},
        // A code beyond the next free one reads as the previous string plus its first byte;
        // the following code builds on that string (entry 259, "BB"), so 260 is "BBB".
        {"code beyond next free", codes({'A', 'B', 400, 259, 260, 257}), "ABBBBBBBB"},
        {"clear codes only", codes({256, 256, 256}), ""},
        {"end code first", codes({257, 'A'}), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(str(decompress_lzw(c.input)), c.expected);
    }
}

// ---------------------------------------------------------------------------------------
// ASCII85, ASCIIHex, RunLength

TEST(Ascii85, Outcomes) {
    const struct {
        std::string_view input;
        ByteVec expected;
        std::string error;
    } cases[] = {
        {"87cURD_*#TDfTZ)+T~>", vec("Hello, world!"), ""},
        {"87cURD_*#TDfTZ)+T", vec("Hello, world!"), ""},  // no end marker
        {" 87c\tUR\r\nD_*#TDfTZ)+T ~> anything after", vec("Hello, world!"), ""},
        {"z", vec({0, 0, 0, 0}), ""},
        {"!!!!!", vec({0, 0, 0, 0}), ""},
        {"@:E_WzAS,Q~>", vec(std::string_view("abcd\0\0\0\0efg", 11)), ""},
        {"s8W-!", vec({0xFF, 0xFF, 0xFF, 0xFF}), ""},
        // A group above 2^32 - 1 wraps instead of failing.
        {"uuuuu", vec({0x08, 0x78, 0x0E, 0xC4}), ""},
        // Final groups of n digits yield n - 1 bytes; a single digit yields nothing.
        {"5l~>", vec("A"), ""},
        {"5sb", vec("AB"), ""},
        {"5sdp~>", vec("ABC"), ""},
        {"!!!!!5", vec({0, 0, 0, 0}), ""},
        {"", {}, ""},
        {"~>", {}, ""},
        {"5sb~", {}, "invalid ASCII85: lone ~"},
        {"5sb~x>", {}, "invalid ASCII85: lone ~"},
        {"~ >", {}, "invalid ASCII85: lone ~"},
        // The start marker is not recognised: "<" is a digit, then the "~" is alone.
        {"<~87cURD~>", {}, "invalid ASCII85: lone ~"},
        {"!!z", {}, "invalid ASCII85: z mid-group"},
        {"87cUR\fD_*#T", {}, "invalid ASCII85 character"},
        {std::string_view("87\0cU", 5), {}, "invalid ASCII85 character"},
        {"v", {}, "invalid ASCII85 character"},
        {"{", {}, "invalid ASCII85 character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Result<ByteVec> got = decode_ascii85(as_bytes(c.input));
        EXPECT_EQ(error_of(got), c.error);
        if (got && c.error.empty()) {
            EXPECT_EQ(*got, c.expected);
        }
    }
}

TEST(AsciiHex, Outcomes) {
    const struct {
        std::string_view input;
        ByteVec expected;
    } cases[] = {
        {"4A 4b>", vec({0x4A, 0x4B})},
        {"7", vec({0x70})},
        {"7>", vec({0x70})},
        {"no digits here", vec({0xDE, 0xE0})},  // "d", "e", "e" are digits
        {"xyz", {}},
        {"", {}},
        {">41", {}},
        {"4\n1\t4 2\f00 ff>ab", vec({0x41, 0x42, 0x00, 0xFF})},
        {"414>42", vec({0x41, 0x40})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(decode_ascii_hex(as_bytes(c.input)), c.expected);
    }
}

TEST(RunLength, Outcomes) {
    ByteVec literal128 = vec({0x7F});
    for (int i = 0; i < 128; ++i) literal128.push_back(static_cast<std::uint8_t>(i));
    const struct {
        const char* label;
        ByteVec input;
        ByteVec expected;
        std::string error;
    } cases[] = {
        {"repeat", vec({0xFE, 0x41}), vec("AAA"), ""},
        {"longest repeat", vec({0x81, 0x42, 0x80}), ByteVec(128, 0x42), ""},
        {"literal", vec({0x02, 'a', 'b', 'c', 0x80}), vec("abc"), ""},
        {"longest literal", literal128, ByteVec(literal128.begin() + 1, literal128.end()), ""},
        {"end of data stops", vec({0x00, 'x', 0x80, 0x05, 'j'}), vec("x"), ""},
        {"end of input without end code", vec({0x00, 'x', 0xFF, 'y'}), vec("xyy"), ""},
        {"empty", {}, {}, ""},
        {"end code only", vec({0x80}), {}, ""},
        {"literal runs past the end", vec({0x02, 'a', 'b'}), {}, "RunLength: unexpected end of data"},
        {"repeat without its byte", vec({0x00, 'a', 0xFE}), {}, "RunLength: unexpected end of data"},
        {"length byte alone", vec({0x00}), {}, "RunLength: unexpected end of data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = decode_run_length(c.input);
        EXPECT_EQ(error_of(got), c.error);
        if (got && c.error.empty()) {
            EXPECT_EQ(*got, c.expected);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Dispatch and chains

TEST(DecompressStream, NamesChainsAndOtherValues) {
    const ByteVec text = vec("BT /F1 12 Tf (Hello, vellix) Tj ET");  // "v" is no ASCII85 digit
    const ByteVec z = zlib_compress(text);
    std::string hex_of_z;
    for (std::uint8_t b : z) {
        static const char* digits = "0123456789abcdef";
        hex_of_z += digits[b >> 4];
        hex_of_z += digits[b & 15];
    }
    hex_of_z += ">";
    PdfArray mixed;
    mixed.push_back(PdfObject());
    mixed.push_back(name("FlateDecode"));
    mixed.push_back(integer(5));
    const struct {
        const char* label;
        ByteVec input;
        PdfObject filter;
        ByteVec expected;
        std::string error;
    } cases[] = {
        {"flate by name", z, name("FlateDecode"), text, ""},
        {"image codec passes through", z, name("DCTDecode"), z, ""},
        {"flate then image codec", z, names({"FlateDecode", "DCTDecode"}), text, ""},
        {"abbreviation is not recognised", z, name("Fl"), z, ""},
        {"names are case-sensitive", z, name("flatedecode"), z, ""},
        {"hex then flate", vec(hex_of_z), names({"ASCIIHexDecode", "FlateDecode"}), text, ""},
        {"non-names in the array are skipped", z, PdfObject(mixed), text, ""},
        {"empty array", z, PdfObject(PdfArray{}), z, ""},
        {"indirect reference", z, PdfObject(ObjectId{7, 0}), z, ""},
        {"null", z, PdfObject(), z, ""},
        {"dictionary", z, dict({{"Filter", name("FlateDecode")}}), z, ""},
        {"first failure ends the chain", z, names({"FlateDecode", "ASCII85Decode"}), {},
         "invalid ASCII85 character"},
        {"failure of a single filter", vec("!!z"), name("ASCII85Decode"), {}, "invalid ASCII85: z mid-group"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = decompress_stream(c.input, c.filter);
        EXPECT_EQ(error_of(got), c.error);
        if (got && c.error.empty()) {
            EXPECT_EQ(*got, c.expected);
        }
    }
    EXPECT_EQ(apply_single_filter(z, as_bytes("FlateDecode")).value_or(ByteVec{}), text);
    EXPECT_EQ(apply_single_filter(z, as_bytes("Fl")).value_or(ByteVec{}), z);
}

TEST(DecompressStream, ChainLengthIsBounded) {
    const ByteVec text = vec("q 1 0 0 1 0 0 cm Q");
    const ByteVec z = zlib_compress(text);
    auto chain = [](size_t n) {
        PdfArray a;
        a.push_back(name("FlateDecode"));
        while (a.size() < n) {
            a.push_back(name("DCTDecode"));
            a.push_back(PdfObject());  // non-names do not count
        }
        return PdfObject(std::move(a));
    };
    // Names counted: 1 + 31 = kMaxFilterChain, then one more.
    Result<ByteVec> at_bound = decompress_stream(z, chain(2 * kMaxFilterChain - 1));
    ASSERT_TRUE(at_bound.has_value()) << error_of(at_bound);
    EXPECT_EQ(*at_bound, text);
    EXPECT_EQ(error_of(decompress_stream(z, chain(2 * kMaxFilterChain + 1))), "too many filters in stream");
    EXPECT_EQ(error_of(decompress_stream(z, chain(100000))), "too many filters in stream");
}

// Every decoder stops at the cap with exactly that many bytes, and no error.
TEST(DecompressStream, OutputCapTruncates) {
    constexpr size_t kCap = 1001;
    ByteVec run_length;
    for (int i = 0; i < 100; ++i) run_length.insert(run_length.end(), {0x81, 'r'});
    std::string hex;
    for (int i = 0; i < 2000; ++i) hex += "41";
    const struct {
        const char* label;
        ByteVec input;
        PdfObject filter;
        std::uint8_t fill;
    } cases[] = {
        {"flate", zlib_compress(ByteVec(1 << 20, 'f')), name("FlateDecode"), 'f'},
        {"lzw", lzw_encode(ByteVec(1 << 20, 'l'), false), name("LZWDecode"), 'l'},
        {"ascii85 z", vec(std::string(1000, 'z')), name("ASCII85Decode"), 0},
        {"ascii85 groups", vec(std::string(5000, '!')), name("ASCII85Decode"), 0},
        {"asciihex", vec(hex), name("ASCIIHexDecode"), 'A'},
        {"runlength", run_length, name("RunLengthDecode"), 'r'},
        {"chain", vec(std::string(1000, 'z')), names({"ASCII85Decode", "DCTDecode"}), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = decompress_stream_for_testing(c.input, c.filter, kCap);
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_EQ(*got, ByteVec(kCap, c.fill));
        // Uncapped, the same input decodes further.
        Result<ByteVec> full = decompress_stream(c.input, c.filter);
        ASSERT_TRUE(full.has_value());
        EXPECT_GT(full->size(), kCap);
    }
    // Below the cap nothing changes.
    Result<ByteVec> small = decompress_stream_for_testing(vec({0xFE, 'x'}), name("RunLengthDecode"), kCap);
    EXPECT_EQ(small.value_or(ByteVec{}), vec("xxx"));
}

// ---------------------------------------------------------------------------------------
// Predictors

struct Layout {
    int colors, bits, columns;
};
size_t row_bytes(const Layout& l) { return (size_t(l.colors) * l.bits * l.columns + 7) / 8; }

PdfObject predictor_parms(int predictor, const Layout& l) {
    return dict({{"Predictor", integer(predictor)},
                 {"Colors", integer(l.colors)},
                 {"BitsPerComponent", integer(l.bits)},
                 {"Columns", integer(l.columns)}});
}

// PNG encoding of rows with the given filter type per row (cycled), as a PNG writer does it.
ByteVec png_encode(const ByteVec& data, const Layout& l, const std::vector<int>& types) {
    const size_t rb = row_bytes(l);
    const size_t bpp = std::max<size_t>(1, (size_t(l.colors) * l.bits + 7) / 8);
    ByteVec out;
    for (size_t start = 0, r = 0; start < data.size(); start += rb, ++r) {
        const int type = types[r % types.size()];
        out.push_back(static_cast<std::uint8_t>(type));
        const size_t n = std::min(rb, data.size() - start);
        for (size_t i = 0; i < n; ++i) {
            const int x = data[start + i];
            const int a = i >= bpp ? data[start + i - bpp] : 0;
            const int b = r > 0 ? data[start - rb + i] : 0;
            const int c = (r > 0 && i >= bpp) ? data[start - rb + i - bpp] : 0;
            int pred = 0;
            if (type == 1) pred = a;
            if (type == 2) pred = b;
            if (type == 3) pred = (a + b) / 2;
            if (type == 4) {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            }
            out.push_back(static_cast<std::uint8_t>(x - pred));
        }
    }
    return out;
}

TEST(Predictor, ParametersThatLeaveDataUnchanged) {
    const ByteVec data = vec({2, 1, 1, 1, 2, 1, 1, 1});
    PdfArray ends_in_null;
    ends_in_null.push_back(dict({{"Predictor", integer(12)}}));
    ends_in_null.push_back(PdfObject());
    const struct {
        const char* label;
        PdfObject parms;
    } cases[] = {
        {"null", PdfObject()},
        {"integer", integer(12)},
        {"reference", PdfObject(ObjectId{3, 0})},
        {"empty dictionary", dict({})},
        {"predictor 1", dict({{"Predictor", integer(1)}, {"Columns", integer(3)}})},
        {"negative predictor", dict({{"Predictor", integer(-12)}})},
        {"predictor not an integer", dict({{"Predictor", name("PNG")}})},
        {"empty array", PdfObject(PdfArray{})},
        {"array whose last element is null", PdfObject(ends_in_null)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = apply_predictor(data, c.parms);
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_EQ(*got, data);
    }
}

TEST(Predictor, RejectedParameters) {
    const ByteVec data = vec({0, 1, 2, 3});
    const struct {
        const char* label;
        PdfObject parms;
        std::string error;
    } cases[] = {
        {"predictor 3", dict({{"Predictor", integer(3)}}), "unsupported predictor"},
        {"predictor 9", dict({{"Predictor", integer(9)}}), "unsupported predictor"},
        {"predictor 16", dict({{"Predictor", integer(16)}}), "unsupported predictor"},
        {"zero colors", dict({{"Predictor", integer(12)}, {"Colors", integer(0)}}), "invalid predictor parameters"},
        {"33 colors", dict({{"Predictor", integer(12)}, {"Colors", integer(33)}}), "invalid predictor parameters"},
        {"3 bits", dict({{"Predictor", integer(2)}, {"BitsPerComponent", integer(3)}}),
         "invalid predictor parameters"},
        {"32 bits", dict({{"Predictor", integer(2)}, {"BitsPerComponent", integer(32)}}),
         "invalid predictor parameters"},
        {"zero columns", dict({{"Predictor", integer(12)}, {"Columns", integer(0)}}), "invalid predictor parameters"},
        {"negative columns", dict({{"Predictor", integer(12)}, {"Columns", integer(-4)}}),
         "invalid predictor parameters"},
        {"fractional columns", dict({{"Predictor", integer(12)}, {"Columns", PdfObject(3.5)}}),
         "invalid predictor parameters"},
        {"columns a name", dict({{"Predictor", integer(12)}, {"Columns", name("Four")}}), "invalid predictor parameters"},
        {"row type 5", dict({{"Predictor", integer(12)}, {"Columns", integer(3)}}), "invalid PNG predictor row type"},
    };
    ByteVec bad_row = vec({5, 1, 2, 3});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const bool row_case = std::string_view(c.label) == "row type 5";
        EXPECT_EQ(error_of(apply_predictor(row_case ? bad_row : data, c.parms)), c.error);
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
    for (int predictor : {10, 11, 12, 13, 14, 15}) {
        SCOPED_TRACE(predictor);
        Result<ByteVec> got = apply_predictor(encoded, predictor_parms(predictor, {1, 8, 3}));
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_EQ(*got, expected);
    }
}

TEST(Predictor, PngRoundTrips) {
    const Layout layouts[] = {{1, 8, 5}, {3, 8, 4}, {2, 16, 3}, {1, 1, 13}, {4, 8, 1}, {1, 4, 7}, {3, 8, 200}};
    const std::vector<int> type_sets[] = {{0}, {1}, {2}, {3}, {4}, {4, 1, 0, 3, 2}};
    for (const Layout& l : layouts) {
        for (const auto& types : type_sets) {
            // Whole rows, then a short final row.
            for (size_t extra : {size_t{0}, row_bytes(l) / 2 + 1}) {
                const ByteVec data = random_bytes(row_bytes(l) * 7 + (extra < row_bytes(l) ? extra : 0), 5);
                SCOPED_TRACE(testing::Message() << l.colors << " colors, " << l.bits << " bits, " << l.columns
                                                << " columns, first type " << types[0] << ", "
                                                << data.size() << " bytes");
                Result<ByteVec> got = apply_predictor(png_encode(data, l, types), predictor_parms(15, l));
                ASSERT_TRUE(got.has_value()) << error_of(got);
                EXPECT_EQ(*got, data);
            }
        }
    }
    // A final row of its type byte alone adds nothing.
    ByteVec lone_type = png_encode(vec({7, 8}), {1, 8, 2}, {1});
    lone_type.push_back(2);
    EXPECT_EQ(apply_predictor(lone_type, predictor_parms(12, {1, 8, 2})).value_or(ByteVec{}), vec({7, 8}));
}

TEST(Predictor, TiffHorizontalDifferencing) {
    const struct {
        const char* label;
        Layout layout;
        ByteVec encoded;
        ByteVec expected;
    } cases[] = {
        {"8 bits, one color", {1, 8, 4}, vec({1, 1, 1, 1, 5, 255, 1, 0}), vec({1, 2, 3, 4, 5, 4, 5, 5})},
        {"8 bits, three colors", {3, 8, 2}, vec({10, 20, 30, 1, 2, 3}), vec({10, 20, 30, 11, 22, 33})},
        // The carry of the low byte reaches the high byte; the sum wraps at 16 bits.
        {"16 bits", {1, 16, 3}, vec({0x00, 0xFF, 0x00, 0x01, 0xFF, 0x00}), vec({0x00, 0xFF, 0x01, 0x00, 0x00, 0x00})},
        {"16 bits, two colors", {2, 16, 2}, vec({0, 1, 0, 2, 0, 1, 0, 2}), vec({0, 1, 0, 2, 0, 2, 0, 4})},
        // Three 4-bit samples per row (a padding nibble that stays as it is), two rows.
        {"4 bits", {1, 4, 3}, vec({0x11, 0x1F, 0x2F, 0xF0}), vec({0x12, 0x3F, 0x21, 0x00})},
        {"2 bits wraps", {1, 2, 4}, vec({0b01'11'01'00}), vec({0b01'00'01'01})},
        {"1 bit", {1, 1, 8}, vec({0b1000'0000, 0b0100'0000}), vec({0xFF, 0b0111'1111})},
        {"1 bit, two colors", {2, 1, 4}, vec({0b1000'0001}), vec({0b1010'1011})},
        // A short final row decodes its whole samples; a lone byte of a 16-bit sample stays.
        {"short final row, 8 bits", {1, 8, 3}, vec({1, 1, 1, 7, 1}), vec({1, 2, 3, 7, 8})},
        {"short final row, 16 bits", {1, 16, 3}, vec({0, 1, 0, 1, 0, 1, 0, 5, 0, 1, 9}),
         vec({0, 1, 0, 2, 0, 3, 0, 5, 0, 6, 9})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = apply_predictor(c.encoded, predictor_parms(2, c.layout));
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_EQ(*got, c.expected);
    }
}

TEST(Predictor, AbsurdSizesAreClamped) {
    // A row longer than the data is one short row, whatever its length: no overflow.
    for (std::int64_t columns : {std::int64_t{1} << 40, std::int64_t{1} << 62, INT64_MAX}) {
        SCOPED_TRACE(columns);
        PdfObject png = dict({{"Predictor", integer(12)}, {"Colors", integer(32)},
                              {"BitsPerComponent", integer(16)}, {"Columns", integer(columns)}});
        EXPECT_EQ(apply_predictor(vec({1, 1, 2}), png).value_or(ByteVec{}), vec({1, 2}));
        PdfObject tiff = dict({{"Predictor", integer(2)}, {"Columns", integer(columns)}});
        EXPECT_EQ(apply_predictor(vec({1, 1, 2}), tiff).value_or(ByteVec{}), vec({1, 2, 4}));
    }
    EXPECT_EQ(apply_predictor({}, predictor_parms(12, {1, 8, 4})).value_or(vec("x")), ByteVec{});
}

TEST(Predictor, IntegralRealsCountAsIntegers) {
    PdfObject parms = dict({{"Predictor", PdfObject(12.0)}, {"Columns", PdfObject(2.0)}});
    EXPECT_EQ(apply_predictor(vec({1, 1, 1, 2, 1, 1}), parms).value_or(ByteVec{}), vec({1, 2, 2, 3}));
}

TEST(Predictor, ArrayUsesTheLastFiltersParameters) {
    PdfArray parms;
    parms.push_back(PdfObject());
    parms.push_back(predictor_parms(12, {1, 8, 2}));
    EXPECT_EQ(apply_predictor(vec({1, 1, 1, 2, 1, 1}), PdfObject(parms)).value_or(ByteVec{}),
              vec({1, 2, 2, 3}));
}

// ---------------------------------------------------------------------------------------
// Structural streams

TEST(DecodeStructuralStream, FiltersThenPredictor) {
    // Cross-reference stream rows with /W [1 2 1]: type, offset, generation.
    const ByteVec rows = vec({1, 0x00, 0x0F, 0, 1, 0x01, 0x10, 0, 2, 0x00, 0x05, 3, 0, 0, 0, 0});
    const Layout four = {1, 8, 4};
    const ByteVec predicted = png_encode(rows, four, {2});
    const ByteVec deflated = zlib_compress(predicted);
    auto stream = [](ByteVec* data, std::initializer_list<std::pair<std::string_view, PdfObject>> entries) {
        PdfStream s;
        for (const auto& [k, v] : entries) s.dict.push_back({as_bytes(k), v});
        s.data = *data;
        return s;
    };
    ByteVec d1 = deflated, d2 = predicted, d3 = deflated, d4 = deflated, d5 = vec("garbage");
    PdfArray parms_array;
    parms_array.push_back(predictor_parms(12, four));
    const struct {
        const char* label;
        PdfStream stream;
        ByteVec expected;
        std::string error;
    } cases[] = {
        {"flate and predictor",
         stream(&d1, {{"Type", name("XRef")}, {"Filter", name("FlateDecode")}, {"DecodeParms", predictor_parms(12, four)}}),
         rows, ""},
        {"predictor without filter", stream(&d2, {{"DecodeParms", predictor_parms(12, four)}}), rows, ""},
        {"arrays", stream(&d3, {{"Filter", names({"FlateDecode"})}, {"DecodeParms", PdfObject(parms_array)}}), rows, ""},
        {"no parameters", stream(&d4, {{"Filter", name("FlateDecode")}}), predicted, ""},
        // The first entry counts, as for every dictionary lookup.
        {"first entry wins",
         stream(&d1, {{"Filter", name("FlateDecode")}, {"Filter", name("DCTDecode")},
                      {"DecodeParms", predictor_parms(12, four)}, {"DecodeParms", PdfObject()}}),
         rows, ""},
        {"filter failure", stream(&d5, {{"Filter", name("FlateDecode")}}), {}, "flate decompression failed"},
        {"predictor failure",
         stream(&d4, {{"Filter", name("FlateDecode")}, {"DecodeParms", dict({{"Predictor", integer(7)}})}}), {},
         "unsupported predictor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Result<ByteVec> got = decode_structural_stream(c.stream);
        EXPECT_EQ(error_of(got), c.error);
        if (got && c.error.empty()) {
            EXPECT_EQ(*got, c.expected);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Real files

std::filesystem::path corpus_dir() {
    if (const char* env = std::getenv("VELLIX_CORPUS")) return env;
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / ".." / "shared" / "corpus";
}

// The corpus files that qpdf checks without complaint and that are not encrypted (streams of
// encrypted files are ciphertext), by the manifest's columns.
std::vector<std::filesystem::path> sound_corpus_files(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> out;
    std::ifstream manifest(root / "MANIFEST.tsv");
    std::string line;
    std::vector<std::string> header;
    while (std::getline(manifest, line)) {
        std::vector<std::string> fields;
        for (size_t start = 0;;) {
            const size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (header.empty()) {
            header = fields;
            continue;
        }
        bool checked = false, encrypted = true;
        for (size_t i = 0; i < header.size() && i < fields.size(); ++i) {
            if (header[i] == "qpdf_check") checked = fields[i] == "ok";
            if (header[i] == "encrypted") encrypted = fields[i] != "no";
        }
        if (checked && !encrypted) out.push_back(root / fields[0]);
    }
    return out;
}

// Every cross-reference stream of the sound corpus files with a direct /Length decodes into
// whole rows of /W bytes whose type fields are 0, 1 or 2, and every object stream decodes.
// Predictors from real writers (PNG Up above all) are what this exercises.
TEST(DecodeStructuralStream, CorpusStreams) {
    const std::filesystem::path root = corpus_dir();
    if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no corpus at " << root;
    size_t xref_streams = 0, with_predictor = 0, object_streams = 0;
    for (const std::filesystem::path& path : sound_corpus_files(root)) {
        std::ifstream in(path, std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Object headers "n g obj"; the dictionary that follows tells the kind of stream.
        for (size_t at = file.find(" obj"); at != std::string::npos; at = file.find(" obj", at + 4)) {
            Cursor cur{as_bytes(file), at + 4};
            Result<PdfObject> obj = parse_object(cur);
            if (!obj || obj->dict() == nullptr) continue;
            const PdfObject* type = obj->get("Type");
            const bool xref = type && type->is_name("XRef");
            if (!xref && !(type && type->is_name("ObjStm"))) continue;
            const PdfObject* length = obj->get("Length");
            if (length == nullptr || !length->as_int()) continue;
            Result<PdfObject> stream = parse_stream(cur, *obj->dict());
            if (!stream) continue;
            SCOPED_TRACE(path.string() + " at " + std::to_string(at));
            Result<ByteVec> decoded = decode_structural_stream(*stream->stream());
            ASSERT_TRUE(decoded.has_value()) << error_of(decoded);
            if (!xref) {
                ++object_streams;
                continue;
            }
            const PdfObject* w = obj->get("W");
            if (w == nullptr || w->array() == nullptr || w->array()->size() != 3) continue;
            size_t row = 0;
            std::int64_t type_width = 0;
            for (const PdfObject& v : *w->array()) row += static_cast<size_t>(v.as_int().value_or(0));
            type_width = (*w->array())[0].as_int().value_or(0);
            if (row == 0) continue;
            ++xref_streams;
            with_predictor += obj->get("DecodeParms") != nullptr;
            EXPECT_EQ(decoded->size() % row, 0u);
            for (size_t r = 0; type_width == 1 && r + row <= decoded->size(); r += row) {
                ASSERT_LE((*decoded)[r], 2) << "row " << r / row;
            }
        }
    }
    // The corpus has dozens of each; a scan that finds none is broken, not lucky.
    EXPECT_GT(with_predictor, 10u);
    EXPECT_GT(object_streams, 10u);
    std::printf("%zu cross-reference streams (%zu with a predictor), %zu object streams\n", xref_streams,
                with_predictor, object_streams);
}

// ---------------------------------------------------------------------------------------
// Fuzz regressions (inputs in fuzz/regressions/filters/)

// png-row-of-type-byte-only: a PNG row of its type byte alone, and nothing else, handed an
// empty output buffer (null data()) to memcpy.
TEST(FiltersFuzzRegression, PngRowOfTypeByteOnly) {
    for (int type = 0; type <= 4; ++type) {
        SCOPED_TRACE(type);
        Result<ByteVec> got = apply_predictor(vec({type}), predictor_parms(12, {1, 8, 5}));
        ASSERT_TRUE(got.has_value()) << error_of(got);
        EXPECT_TRUE(got->empty());
    }
}

}  // namespace
}  // namespace vellix
