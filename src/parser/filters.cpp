#include "parser/filters.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include <brotli/decode.h>
#include <libdeflate.h>
#include <zlib.h>

namespace vellix {
namespace {

constexpr const char* kFlateFailed = "flate decompression failed";
constexpr const char* kAscii85LoneTilde = "invalid ASCII85: lone ~";
constexpr const char* kAscii85ZMidGroup = "invalid ASCII85: z mid-group";
constexpr const char* kAscii85BadChar = "invalid ASCII85 character";
constexpr const char* kRunLengthEnd = "RunLength: unexpected end of data";
constexpr const char* kBrotliFailed = "brotli decompression failed";
constexpr const char* kTooManyFilters = "too many filters in stream";
constexpr const char* kUnsupportedPredictor = "unsupported predictor";
constexpr const char* kBadPredictorParams = "invalid predictor parameters";
constexpr const char* kBadPngRowType = "invalid PNG predictor row type";

std::unexpected<ParseError> fail(const char* text) {
    return std::unexpected(ParseError::message(text));
}

ByteVec copy_of(Bytes data) { return ByteVec(data.begin(), data.end()); }

// Decoded bytes gathered up to a cap. The write that would pass the cap is cut at the cap;
// from then on full() holds and the decoder stops, returning what it has.
class CappedOutput {
public:
    explicit CappedOutput(size_t cap) : cap_(cap) {}

    bool full() const { return bytes_.size() >= cap_; }

    // Both return false once the cap is reached.
    bool append(const std::uint8_t* p, size_t n) {
        n = make_room(n);
        bytes_.insert(bytes_.end(), p, p + n);
        return !full();
    }
    bool append_repeated(std::uint8_t value, size_t n) {
        n = make_room(n);
        bytes_.insert(bytes_.end(), n, value);
        return !full();
    }

    ByteVec take() && { return std::move(bytes_); }

private:
    // Clamps n to what still fits and grows the buffer by doubling, but never past the cap,
    // so a bomb costs at most the cap in memory rather than twice it.
    size_t make_room(size_t n) {
        n = std::min(n, cap_ - std::min(cap_, bytes_.size()));
        const size_t needed = bytes_.size() + n;
        if (needed > bytes_.capacity()) {
            const size_t doubled = std::max<size_t>(bytes_.capacity() * 2, 256);
            bytes_.reserve(std::max(needed, std::min(doubled, cap_)));
        }
        return n;
    }

    ByteVec bytes_;
    size_t cap_;
};

// ---------------------------------------------------------------------------------------
// Flate

// zlib reads at most this much of the input per call; the input is never copied.
constexpr size_t kInflateInputChunk = 32768;
constexpr size_t kInflateMinOutput = 4096;
constexpr size_t kInflateMaxGuess = size_t{16} << 20;

// Ends the inflater on every return path.
struct InflateGuard {
    z_stream* zs;
    ~InflateGuard() { inflateEnd(zs); }
};

// Deflate codes at most 258 bytes in two bits (RFC 1951: a length and a distance code
// of one bit each), so no zlib stream inflates to more than this many times its size.
constexpr size_t kMaxDeflateRatio = 1032;

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Whole-buffer inflation needs a buffer that holds any output the stream can have. For a
// stream of unknown size (a content stream) that is far more than the output fills, and more
// than malloc serves from its heap (32 MiB): each such stream got fresh memory from the system,
// every page of its output faulted in and cleared by the kernel and then given back, which for
// the text streams of a page cost as much as the inflating. Such a stream first inflates into
// a buffer kept by the thread, which costs that once. Smaller buffers (images of known size)
// are allocated as before, from memory that malloc reuses. Brotli decodes into the kept buffer
// too, instead of growing its output by doubling.
constexpr size_t kDecodeScratchBytes = size_t{4} << 20;
// A stream whose output could pass the kept buffer tries it first when its data is this
// small: only a stream inflating more than 64-fold (rare outside blank images) then decodes
// twice, the first time at most kDecodeScratchBytes.
constexpr size_t kInflateScratchTryRatio = 64;

// The thread's kept buffer of kDecodeScratchBytes, or null when it cannot be had. Its pages are
// faulted in as far as outputs have reached, and stay.
std::uint8_t* decode_scratch() {
    thread_local std::unique_ptr<std::uint8_t[]> scratch(new (std::nothrow) std::uint8_t[kDecodeScratchBytes]);
    return scratch.get();
}

// RFC 1950, 2.2: compression method 8 (deflate) with a window of at most 32 KiB, no preset
// dictionary, and the check bits.
bool zlib_header_ok(Bytes d) {
    return d.size() >= 2 && (d[0] & 0x0F) == 8 && (d[0] >> 4) <= 7 && (d[1] & 0x20) == 0 &&
           ((unsigned{d[0]} << 8) | d[1]) % 31 == 0;
}

// The largest buffer inflated into directly. An image's declared size may promise far more
// than its data gives, and this buffer is zero-filled first; past this size the output goes
// into memory that is only touched where written, and is then copied.
constexpr size_t kInflateDirectMax = size_t{16} << 20;

// How the whole-buffer inflater is asked.
struct WholeInflate {
    size_t cap = 0;
    // The check value is not verified: for image data, where the streaming inflater keeps
    // everything inflated before a wrong check value, verifying changes nothing.
    bool skip_check = false;
    // The caller expects the output to fill about `cap` (an image's samples): it is inflated
    // straight into a buffer of that size, not into a larger one and then copied.
    bool fills_cap = false;
};

// Inflates into `out`, which holds `room` bytes, setting `produced`. Success only for a
// complete, intact stream (apart from its check value when `skip_check`).
libdeflate_result inflate_into(libdeflate_decompressor* d, Bytes data, bool skip_check, std::uint8_t* out,
                               size_t room, size_t& produced) {
    size_t used_in = 0;  // bytes after the zlib stream are ignored
    if (!skip_check) return libdeflate_zlib_decompress_ex(d, data.data(), data.size(), out, room, &used_in, &produced);
    if (!zlib_header_ok(data)) return LIBDEFLATE_BAD_DATA;
    const libdeflate_result rc =
        libdeflate_deflate_decompress_ex(d, data.data() + 2, data.size() - 2, out, room, &used_in, &produced);
    // An empty output is left to the streaming inflater, which tells an empty stream from a
    // damaged one by the check value.
    return rc == LIBDEFLATE_SUCCESS && produced == 0 ? LIBDEFLATE_BAD_DATA : rc;
}

// The whole zlib stream inflated in one call into a buffer that holds any output it can have
// (within the cap), when the data is a complete, intact zlib stream; nothing otherwise
// (damaged or truncated data, or output that would pass the cap), and the streaming inflater
// below then gives its partial or capped output. Whole-buffer inflation is two to three times
// faster than streaming.
std::optional<ByteVec> inflate_whole(Bytes data, const WholeInflate& how) {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor || data.empty()) return std::nullopt;
    const size_t most = data.size() < SIZE_MAX / kMaxDeflateRatio - kInflateMinOutput
                            ? data.size() * kMaxDeflateRatio + kInflateMinOutput
                            : SIZE_MAX;
    const size_t room = std::min(how.cap, most);
    size_t produced = 0;
    if (how.fills_cap && room == how.cap && room <= kInflateDirectMax) {
        ByteVec out(room);
        if (inflate_into(decompressor.get(), data, how.skip_check, out.data(), room, produced) != LIBDEFLATE_SUCCESS) {
            return std::nullopt;
        }
        out.resize(produced);
        return out;
    }
    if (room > kDecodeScratchBytes && data.size() <= kDecodeScratchBytes / kInflateScratchTryRatio) {
        if (std::uint8_t* scratch = decode_scratch()) {
            const libdeflate_result rc =
                inflate_into(decompressor.get(), data, how.skip_check, scratch, kDecodeScratchBytes, produced);
            if (rc == LIBDEFLATE_SUCCESS) return ByteVec(scratch, scratch + produced);
            if (rc != LIBDEFLATE_INSUFFICIENT_SPACE) return std::nullopt;
        }
    }
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[room]);
    if (!buffer ||
        inflate_into(decompressor.get(), data, how.skip_check, buffer.get(), room, produced) != LIBDEFLATE_SUCCESS) {
        return std::nullopt;
    }
    return ByteVec(buffer.get(), buffer.get() + produced);
}

// With `keep_partial`, corrupt data ends the output instead of failing (for image data, where
// the rows before the damage are worth keeping).
Result<ByteVec> inflate_capped(Bytes data, size_t cap, bool keep_partial = false, bool fills_cap = false) {
    if (std::optional<ByteVec> whole = inflate_whole(data, {cap, keep_partial, fills_cap})) return std::move(*whole);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return fail(kFlateFailed);
    InflateGuard guard{&zs};

    // A first guess of four times the input (typical for text), within bounds so that a large
    // image stream does not start with a huge zero-filled buffer; it doubles from there.
    ByteVec out;
    const size_t guess = std::min(data.size(), kInflateMaxGuess / 4) * 4;
    out.resize(std::min(cap, std::max(guess, kInflateMinOutput)));
    size_t produced = 0;
    size_t fed = 0;

    for (;;) {
        if (zs.avail_in == 0 && fed < data.size()) {
            const size_t n = std::min(kInflateInputChunk, data.size() - fed);
            // SAFETY: zlib only reads through next_in; the pointer is non-const for old APIs.
            zs.next_in = const_cast<Bytef*>(data.data() + fed);
            zs.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        if (produced == out.size()) {
            if (out.size() >= cap) break;  // the cap: what we have is the result
            const size_t doubled = out.size() > SIZE_MAX / 2 ? SIZE_MAX : out.size() * 2;
            out.resize(std::min(cap, doubled));
        }
        const size_t room = std::min<size_t>(out.size() - produced, UINT_MAX);
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&zs, Z_NO_FLUSH);
        produced += room - zs.avail_out;

        if (rc == Z_STREAM_END) break;  // bytes after the zlib stream are ignored
        const bool input_done = zs.avail_in == 0 && fed == data.size();
        if (rc == Z_OK) {
            // Output space left over with all input consumed: the stream was cut short.
            if (input_done && zs.avail_out != 0) break;
            continue;
        }
        // Z_BUF_ERROR means no progress was possible: at the end of the input that is a
        // truncated stream (files in the wild have them), otherwise the output was full.
        if (rc == Z_BUF_ERROR) {
            if (input_done) break;
            if (zs.avail_in == 0 || zs.avail_out == 0) continue;  // more input or more room
        }
        // Z_BUF_ERROR without progress, Z_DATA_ERROR (bad header, block, code, distance or
        // check value), Z_NEED_DICT (a preset dictionary no PDF can supply), Z_MEM_ERROR,
        // Z_STREAM_ERROR.
        if (keep_partial && produced > 0) break;
        return fail(kFlateFailed);
    }
    out.resize(produced);
    // The guess or the last doubling may have left much unused space; give it back when it
    // matters, since decoded object streams live as long as their document.
    if (out.capacity() - out.size() > out.size() / 4 + kInflateMinOutput) out.shrink_to_fit();
    return out;
}

// ---------------------------------------------------------------------------------------
// LZW

constexpr unsigned kLzwClear = 256;
constexpr unsigned kLzwEnd = 257;
constexpr unsigned kLzwFirstFree = 258;
constexpr unsigned kLzwMinWidth = 9;
constexpr unsigned kLzwMaxWidth = 12;
// Codes are at most 12 bits wide, so no code can name an entry at 4096 or beyond. Once the
// table holds 4096 entries every code is below its length, so entries added past that point
// could never be read: the table stops growing there, with the same output.
constexpr unsigned kLzwMaxEntries = 1u << kLzwMaxWidth;

// An entry is its prefix entry plus one byte, so the table costs a few bytes per code
// however long the strings grow. Lengths stay below 4096 since each entry adds one byte.
struct LzwEntry {
    std::uint16_t prefix = 0;
    std::uint16_t length = 0;
    std::uint8_t first = 0;
    std::uint8_t last = 0;
};

class LzwTable {
public:
    LzwTable() {
        for (unsigned i = 0; i < 256; ++i) {
            const auto b = static_cast<std::uint8_t>(i);
            entries_[i] = {0, 1, b, b};
        }
        reset();
    }
    void reset() { size_ = kLzwFirstFree; }  // 256 and 257 stay empty: never emitted
    unsigned size() const { return size_; }
    const LzwEntry& operator[](unsigned code) const { return entries_[code]; }

    // The new entry: the string of `prefix` followed by `last`.
    void add(unsigned prefix, std::uint8_t last) {
        if (size_ >= kLzwMaxEntries) return;
        const LzwEntry& p = entries_[prefix];
        entries_[size_++] = {static_cast<std::uint16_t>(prefix),
                             static_cast<std::uint16_t>(p.length + 1), p.first, last};
    }

    // Writes the string of `code` (below size()) to out[0, length), last byte first, along
    // the prefix chain.
    void write(unsigned code, std::uint8_t* out) const {
        for (size_t i = entries_[code].length; i > 0; --i) {
            out[i - 1] = entries_[code].last;
            code = entries_[code].prefix;
        }
    }

private:
    std::array<LzwEntry, kLzwMaxEntries> entries_{};
    unsigned size_ = kLzwFirstFree;
};

// Code `width` bits wide at bit position `bit`, most significant bit first. Bytes past the
// end read as zero.
unsigned read_code(Bytes data, size_t bit, unsigned width) {
    std::uint32_t word = 0;
    const size_t at = bit / 8;
    for (size_t k = 0; k < 4; ++k) {
        word <<= 8;
        if (at + k < data.size()) word |= data[at + k];
    }
    const unsigned shift = 32 - static_cast<unsigned>(bit % 8) - width;
    return (word >> shift) & ((1u << width) - 1);
}

ByteVec lzw_capped(Bytes data, size_t cap) {
    ByteVec out;
    if (data.size() < 2) return out;
    auto table = std::make_unique<LzwTable>();  // 24 KiB: kept off the worker's stack
    // Makes room for one more string (at most kLzwMaxEntries bytes) by doubling, never to
    // more than the cap plus one string.
    auto make_room = [&out, cap] {
        if (out.capacity() - out.size() < kLzwMaxEntries)
            out.reserve(std::min(cap, std::max<size_t>(out.capacity() * 2, 256)) + kLzwMaxEntries);
    };
    unsigned width = kLzwMinWidth;
    bool have_prev = false;
    unsigned prev = 0;
    const size_t total_bits = data.size() > SIZE_MAX / 8 ? SIZE_MAX : data.size() * 8;
    size_t bit = 0;

    while (width <= total_bits - bit) {
        const unsigned code = read_code(data, bit, width);
        bit += width;
        if (code == kLzwClear) {
            table->reset();
            width = kLzwMinWidth;
            have_prev = false;
            continue;
        }
        if (code == kLzwEnd) break;

        make_room();
        const size_t at = out.size();
        unsigned next_prev = code;
        if (!have_prev) {
            // Corrupt data: a first code (at the start or after a clear) that is not in the
            // table leaves nothing to build on, and every later code would be misread.
            if (code >= table->size()) break;
            out.resize(at + (*table)[code].length);
            table->write(code, out.data() + at);
        } else if (code < table->size()) {
            out.resize(at + (*table)[code].length);
            table->write(code, out.data() + at);
            table->add(prev, (*table)[code].first);
        } else {
            // The code the encoder made from the previous string plus its own first byte
            // (any unknown code is read this way, not only the next free one). A full table
            // cannot get here: every 12-bit code is below 4096.
            if (table->size() >= kLzwMaxEntries) break;
            const LzwEntry& p = (*table)[prev];
            out.resize(at + p.length + 1);
            table->write(prev, out.data() + at);
            out[at + p.length] = p.first;
            table->add(prev, p.first);
            // The next code builds on the string just written, which is the entry just added:
            // a code beyond the next free one names no entry of its own.
            next_prev = table->size() - 1;
        }
        have_prev = true;
        prev = next_prev;
        // Early change: the width grows when the table reaches 511, 1023 or 2047 entries,
        // one code before the encoder's next code could need the extra bit.
        if (width < kLzwMaxWidth && ((table->size() + 1) >> width) != 0) ++width;
        if (out.size() >= cap) {
            out.resize(cap);
            break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// ASCII85, ASCIIHex, RunLength

Result<ByteVec> ascii85_capped(Bytes data, size_t cap) {
    CappedOutput out(cap);
    std::uint32_t group = 0;  // arithmetic modulo 2^32: an overlarge group wraps
    unsigned digits = 0;
    auto put_group = [&](unsigned count) {
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(group >> 24), static_cast<std::uint8_t>(group >> 16),
            static_cast<std::uint8_t>(group >> 8), static_cast<std::uint8_t>(group)};
        return out.append(bytes, count);
    };

    for (size_t i = 0; i < data.size(); ++i) {
        const std::uint8_t b = data[i];
        if (b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20) continue;
        if (b == 'z') {
            if (digits != 0) return fail(kAscii85ZMidGroup);
            if (!out.append_repeated(0, 4)) return std::move(out).take();
        } else if (b == '~') {
            if (i + 1 >= data.size() || data[i + 1] != '>') return fail(kAscii85LoneTilde);
            break;
        } else if (b >= '!' && b <= 'u') {
            group = group * 85 + (b - '!');
            if (++digits == 5) {
                if (!put_group(4)) return std::move(out).take();
                group = 0;
                digits = 0;
            }
        } else {
            return fail(kAscii85BadChar);
        }
    }
    // A final group of n digits is padded with "u" and yields n - 1 bytes; one digit alone
    // carries less than a byte and yields nothing.
    if (digits >= 2) {
        for (unsigned k = digits; k < 5; ++k) group = group * 85 + 84;
        put_group(digits - 1);
    }
    return std::move(out).take();
}

constexpr std::array<std::int8_t, 256> make_hex_values() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        t['a' + i] = static_cast<std::int8_t>(10 + i);
        t['A' + i] = static_cast<std::int8_t>(10 + i);
    }
    return t;
}
constexpr std::array<std::int8_t, 256> kHexValue = make_hex_values();

ByteVec ascii_hex_capped(Bytes data, size_t cap) {
    ByteVec out;
    out.reserve(std::min(cap, data.size() / 2 + 1));
    int high = -1;  // the pending first digit of a pair
    for (const std::uint8_t b : data) {
        if (out.size() >= cap) return out;
        if (b == '>') break;
        const int v = kHexValue[b];
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0 && out.size() < cap) out.push_back(static_cast<std::uint8_t>(high << 4));
    return out;
}

Result<ByteVec> run_length_capped(Bytes data, size_t cap, bool keep_partial = false) {
    CappedOutput out(cap);
    size_t i = 0;
    while (i < data.size()) {
        const std::uint8_t len = data[i++];
        if (len == 128) break;
        bool more = true;
        if (len < 128) {
            const size_t n = size_t{len} + 1;
            if (data.size() - i < n) {
                if (!keep_partial) return fail(kRunLengthEnd);
                out.append(data.data() + i, data.size() - i);  // what the run still has
                break;
            }
            more = out.append(data.data() + i, n);
            i += n;
        } else {
            if (i >= data.size()) {
                if (keep_partial) break;
                return fail(kRunLengthEnd);
            }
            more = out.append_repeated(data[i++], 257 - size_t{len});
        }
        if (!more) break;
    }
    return std::move(out).take();
}

// ---------------------------------------------------------------------------------------
// Brotli

// Ends the decoder on every return path.
struct BrotliGuard {
    BrotliDecoderState* state;
    ~BrotliGuard() { BrotliDecoderDestroyInstance(state); }
};

// BrotliDecode (RFC 7932), the filter that PDF 2.0 writers have begun to use for content and
// object streams. Input that ends early yields what was decoded; corrupt data fails.
Result<ByteVec> brotli_capped(Bytes data, size_t cap) {
    BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (state == nullptr) return fail(kBrotliFailed);
    BrotliGuard guard{state};
    const std::uint8_t* next_in = data.data();
    size_t avail_in = data.size();
    // First into the thread's kept buffer, where most streams end: then copied once.
    std::uint8_t* scratch = decode_scratch();
    const size_t room = std::min(cap, kDecodeScratchBytes);
    std::uint8_t* next_out = scratch;
    size_t avail_out = room;
    BrotliDecoderResult rc = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
    size_t produced = 0;
    if (scratch) {
        rc = BrotliDecoderDecompressStream(state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
        produced = room - avail_out;
        if (produced == cap) return ByteVec(scratch, scratch + produced);  // the cap
        if (rc == BROTLI_DECODER_RESULT_ERROR) return fail(kBrotliFailed);
        if (rc != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) return ByteVec(scratch, scratch + produced);
    }
    // Output past the kept buffer: gathered chunk by chunk.
    CappedOutput out(cap);
    out.append(scratch, produced);
    std::array<std::uint8_t, 65536> chunk;
    for (;;) {
        next_out = chunk.data();
        avail_out = chunk.size();
        rc = BrotliDecoderDecompressStream(state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
        if (!out.append(chunk.data(), chunk.size() - avail_out)) break;  // the cap
        if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) continue;
        if (rc == BROTLI_DECODER_RESULT_ERROR) return fail(kBrotliFailed);
        break;  // finished, or the input ended early
    }
    return std::move(out).take();
}

// ---------------------------------------------------------------------------------------
// Dispatch

Result<ByteVec> single_filter_capped(Bytes data, Bytes name, size_t cap) {
    if (bytes_equal(name, "FlateDecode")) return inflate_capped(data, cap);
    if (bytes_equal(name, "LZWDecode")) return lzw_capped(data, cap);
    if (bytes_equal(name, "ASCII85Decode")) return ascii85_capped(data, cap);
    if (bytes_equal(name, "ASCIIHexDecode")) return ascii_hex_capped(data, cap);
    if (bytes_equal(name, "RunLengthDecode")) return run_length_capped(data, cap);
    if (bytes_equal(name, "BrotliDecode")) return brotli_capped(data, cap);
    // Image codecs (DCTDecode, JPXDecode, ...) are decoded by their consumers, if at all.
    return copy_of(data);
}

struct Abbreviation {
    std::string_view short_name, full_name;
};
// ISO 32000-1, Table 94: the abbreviated filter names of inline images.
constexpr Abbreviation kFilterAbbreviations[] = {
    {"AHx", "ASCIIHexDecode"}, {"A85", "ASCII85Decode"}, {"LZW", "LZWDecode"}, {"Fl", "FlateDecode"},
    {"RL", "RunLengthDecode"}, {"CCF", "CCITTFaxDecode"}, {"DCT", "DCTDecode"},
};

Result<ByteVec> stream_capped(Bytes data, const PdfObject& filter, size_t cap) {
    if (auto name = filter.as_name()) return single_filter_capped(data, *name, cap);
    const PdfArray* chain = filter.array();
    if (chain == nullptr) return copy_of(data);

    size_t names = 0;
    for (const PdfObject& f : *chain) names += f.as_name().has_value();
    if (names > kMaxFilterChain) return fail(kTooManyFilters);

    ByteVec current;
    bool decoded = false;
    for (const PdfObject& f : *chain) {
        auto name = f.as_name();
        if (!name) continue;
        // The first filter reads the raw bytes directly; later ones the previous output.
        Result<ByteVec> next = single_filter_capped(decoded ? Bytes(current) : data, *name, cap);
        if (!next) return std::unexpected(next.error());
        current = std::move(*next);
        decoded = true;
    }
    if (!decoded) return copy_of(data);
    return current;
}

// ---------------------------------------------------------------------------------------
// Predictors

constexpr std::int64_t kMaxPredictorColors = 32;

struct PredictorParams {
    std::int64_t predictor = 1;
    size_t colors = 1;
    size_t bits = 8;        // per component
    size_t row_bytes = 0;   // bytes of one row of samples, without a PNG type byte
    size_t row_samples = 0; // samples (components) in one row
    size_t pixel_bytes = 1; // the distance of the PNG "left" byte, at least 1
};

// An integer entry, or its default when absent. A real with an integral value counts as that
// integer; any other value is nullopt, since guessing a row layout would only garble the rows.
std::optional<std::int64_t> int_entry(const PdfDict& dict, std::string_view key, std::int64_t fallback) {
    const PdfObject* v = dict_get(dict, key);
    if (v == nullptr) return fallback;
    if (auto i = v->as_int()) return *i;
    const std::optional<double> d = v->as_number();
    if (!d || !(*d >= -1e15 && *d <= 1e15)) return std::nullopt;  // also rejects NaN
    const auto i = static_cast<std::int64_t>(*d);
    if (static_cast<double>(i) != *d) return std::nullopt;
    return i;
}

Result<PredictorParams> read_predictor_params(const PdfDict& dict, size_t data_size) {
    PredictorParams p;
    // A /Predictor that is no number at all is treated as absent.
    p.predictor = int_entry(dict, "Predictor", 1).value_or(1);
    if (p.predictor < 2) return p;
    if (p.predictor != 2 && (p.predictor < 10 || p.predictor > 15)) return fail(kUnsupportedPredictor);

    const std::optional<std::int64_t> colors_entry = int_entry(dict, "Colors", 1);
    const std::optional<std::int64_t> bits_entry = int_entry(dict, "BitsPerComponent", 8);
    const std::optional<std::int64_t> columns_entry = int_entry(dict, "Columns", 1);
    if (!colors_entry || !bits_entry || !columns_entry) return fail(kBadPredictorParams);
    const std::int64_t colors = *colors_entry, bits = *bits_entry, columns = *columns_entry;
    if (colors < 1 || colors > kMaxPredictorColors) return fail(kBadPredictorParams);
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) return fail(kBadPredictorParams);
    if (columns < 1) return fail(kBadPredictorParams);
    p.colors = static_cast<size_t>(colors);
    p.bits = static_cast<size_t>(bits);

    // A row at least as long as the data decodes the same whatever its exact length (there
    // is one short row), so /Columns is clamped there: the arithmetic below cannot overflow.
    const std::uint64_t max_columns = std::uint64_t{data_size} * 8 + 1;
    const std::uint64_t cols = std::min(static_cast<std::uint64_t>(columns), max_columns);
    const std::uint64_t bits_per_pixel = p.colors * p.bits;
    p.row_bytes = static_cast<size_t>((cols * bits_per_pixel + 7) / 8);
    p.row_samples = static_cast<size_t>(cols * p.colors);
    p.pixel_bytes = static_cast<size_t>(std::max<std::uint64_t>(1, (bits_per_pixel + 7) / 8));
    return p;
}

// The Paeth predictor (ISO/IEC 15948, 9.4) of the bytes to the left, above and above left: of
// the three, the one nearest to left + up - up_left, ties going to left, then up. Chosen
// without branches: on photographs the choice changes from byte to byte, and branches
// mispredicted that often cost several times the arithmetic.
inline std::uint8_t paeth(int left, int up, int up_left) {
    const int pa = std::abs(up - up_left);            // |p - left|
    const int pb = std::abs(left - up_left);          // |p - up|
    const int pc = std::abs(left + up - 2 * up_left);  // |p - up_left|
    // Masks rather than conditional expressions, which the compiler turns into branches.
    const int up_mask = -static_cast<int>(pb <= pc);
    const int other = up_left ^ ((up ^ up_left) & up_mask);
    const int left_mask = -static_cast<int>(pa <= std::min(pb, pc));
    return static_cast<std::uint8_t>(other ^ ((left ^ other) & left_mask));
}

// Undoes Paeth on one row of n bytes, `bpp` to a pixel: the first pixel's bytes have no left
// neighbours, which makes their prediction the byte above. `up` is the row above, all zeros
// for the first row.
void undo_paeth_row(const std::uint8_t* raw, const std::uint8_t* up, std::uint8_t* cur, size_t n, size_t bpp) {
    const size_t first = std::min(bpp, n);
    for (size_t i = 0; i < first; ++i) cur[i] = static_cast<std::uint8_t>(raw[i] + up[i]);
    for (size_t i = first; i < n; ++i) {
        cur[i] = static_cast<std::uint8_t>(raw[i] + paeth(cur[i - bpp], up[i], up[i - bpp]));
    }
}

// PNG predictors: each row starts with its own filter type byte, whatever /Predictor 10 to
// 15 announced. A final row shorter than the others decodes as far as it goes.
Result<ByteVec> undo_png(const ByteVec& data, const PredictorParams& p) {
    const size_t stride = p.row_bytes + 1;  // row_bytes <= 64 x data size + 1: no overflow
    const size_t rows = data.size() / stride + (data.size() % stride != 0);
    ByteVec out(data.size() - rows);
    const size_t bpp = p.pixel_bytes;
    // The row above the first: zeros, as long as a row of the data can be.
    const ByteVec zeros(std::min(p.row_bytes, data.size()), 0);
    size_t in = 0;
    size_t at = 0;
    const std::uint8_t* up = zeros.data();
    for (size_t r = 0; r < rows; ++r) {
        const std::uint8_t type = data[in];
        const std::uint8_t* raw = data.data() + in + 1;
        const size_t n = std::min(p.row_bytes, data.size() - in - 1);
        std::uint8_t* cur = out.data() + at;
        // SAFETY: every row before the last has row_bytes >= n bytes, and so has `zeros` for
        // the first, so up[i] is in bounds.
        const size_t first = std::min(bpp, n);
        switch (type) {
        case 0:
            // n may be 0 with an empty `out`, whose data() may be null: memcpy must not see it.
            if (n != 0) std::memcpy(cur, raw, n);
            break;
        case 1:
            if (n != 0) std::memcpy(cur, raw, first);
            for (size_t i = first; i < n; ++i) cur[i] = static_cast<std::uint8_t>(raw[i] + cur[i - bpp]);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) cur[i] = static_cast<std::uint8_t>(raw[i] + up[i]);
            break;
        case 3:
            for (size_t i = 0; i < first; ++i) cur[i] = static_cast<std::uint8_t>(raw[i] + (up[i] >> 1));
            for (size_t i = first; i < n; ++i)
                cur[i] = static_cast<std::uint8_t>(raw[i] + ((cur[i - bpp] + up[i]) >> 1));
            break;
        case 4:
            undo_paeth_row(raw, up, cur, n, bpp);
            break;
        default:
            return fail(kBadPngRowType);
        }
        up = cur;
        at += n;
        in += stride;
    }
    return out;
}

// TIFF predictor 2: each sample after the first pixel of a row is stored as its difference
// from the same component of the pixel to its left. Decoded in place, left to right, so the
// left neighbour is always already decoded. A short final row decodes its whole samples.
void undo_tiff(ByteVec& data, const PredictorParams& p) {
    const size_t row_bytes = p.row_bytes;
    for (size_t start = 0; start < data.size(); start += row_bytes) {
        std::uint8_t* row = data.data() + start;
        const size_t n = std::min(row_bytes, data.size() - start);
        if (p.bits == 8) {
            for (size_t i = p.colors; i < n; ++i)
                row[i] = static_cast<std::uint8_t>(row[i] + row[i - p.colors]);
        } else if (p.bits == 16) {
            // Big-endian 16-bit samples.
            const size_t samples = n / 2;
            for (size_t s = p.colors; s < samples; ++s) {
                const size_t a = 2 * s;
                const size_t b = 2 * (s - p.colors);
                const unsigned v = ((unsigned{row[a]} << 8) | row[a + 1]) +
                                   ((unsigned{row[b]} << 8) | row[b + 1]);
                row[a] = static_cast<std::uint8_t>(v >> 8);
                row[a + 1] = static_cast<std::uint8_t>(v);
            }
        } else {
            // 1, 2 or 4 bits, packed most significant first; the padding bits at the end of
            // a row are not samples.
            const size_t bits = p.bits;
            const unsigned mask = (1u << bits) - 1;
            const size_t samples = std::min(p.row_samples, n * 8 / bits);
            auto get = [&](size_t s) {
                const size_t bit = s * bits;
                return (row[bit / 8] >> (8 - bits - bit % 8)) & mask;
            };
            for (size_t s = p.colors; s < samples; ++s) {
                const unsigned v = (get(s) + get(s - p.colors)) & mask;
                const size_t bit = s * bits;
                const unsigned shift = static_cast<unsigned>(8 - bits - bit % 8);
                row[bit / 8] = static_cast<std::uint8_t>((row[bit / 8] & ~(mask << shift)) | (v << shift));
            }
        }
    }
}

}  // namespace

Result<ByteVec> decompress_stream(Bytes data, const PdfObject& filter) {
    return stream_capped(data, filter, kMaxDecodedStreamSize);
}

Result<ByteVec> decompress_stream_for_testing(Bytes data, const PdfObject& filter,
                                              size_t max_output) {
    return stream_capped(data, filter, max_output);
}

Result<ByteVec> apply_single_filter(Bytes data, Bytes name) {
    return single_filter_capped(data, name, kMaxDecodedStreamSize);
}

Bytes full_filter_name(Bytes name) {
    for (const Abbreviation& a : kFilterAbbreviations) {
        if (bytes_equal(name, a.short_name)) return as_bytes(a.full_name);
    }
    return name;
}

Result<ByteVec> decode_image_filter(Bytes data, Bytes name, size_t max_output, bool fills_cap) {
    name = full_filter_name(name);
    if (bytes_equal(name, "FlateDecode")) return inflate_capped(data, max_output, /*keep_partial=*/true, fills_cap);
    if (bytes_equal(name, "RunLengthDecode")) return run_length_capped(data, max_output, /*keep_partial=*/true);
    return single_filter_capped(data, name, max_output);
}

Result<ByteVec> decompress_flate(Bytes data) { return inflate_capped(data, kMaxDecodedStreamSize); }

ByteVec decompress_lzw(Bytes data) { return lzw_capped(data, kMaxDecodedStreamSize); }

Result<ByteVec> decode_ascii85(Bytes data) { return ascii85_capped(data, kMaxDecodedStreamSize); }

ByteVec decode_ascii_hex(Bytes data) { return ascii_hex_capped(data, kMaxDecodedStreamSize); }

Result<ByteVec> decode_run_length(Bytes data) {
    return run_length_capped(data, kMaxDecodedStreamSize);
}

Result<ByteVec> apply_predictor(ByteVec data, const PdfObject& decode_parms) {
    const PdfObject* parms = &decode_parms;
    // Parallel to a Filter array: the predictor follows the last filter, so its parameters
    // are the last element.
    if (const PdfArray* list = decode_parms.array()) {
        if (list->empty()) return data;
        parms = &list->back();
    }
    const PdfDict* dict = std::get_if<PdfDict>(&parms->value);
    if (dict == nullptr) return data;
    VELLIX_TRY(p, read_predictor_params(*dict, data.size()));
    if (p->predictor < 2 || data.empty()) return data;
    if (p->predictor == 2) {
        undo_tiff(data, *p);
        return data;
    }
    return undo_png(data, *p);
}

Result<ByteVec> decode_structural_stream(const PdfStream& stream) {
    const PdfObject* filter = dict_get(stream.dict, "Filter");
    ByteVec decoded;
    if (filter != nullptr) {
        VELLIX_TRY(d, decompress_stream(stream.data, *filter));
        decoded = std::move(*d);
    } else {
        decoded = copy_of(stream.data);
    }
    const PdfObject* parms = dict_get(stream.dict, "DecodeParms");
    if (parms == nullptr) return decoded;
    return apply_predictor(std::move(decoded), *parms);
}

}  // namespace vellix
