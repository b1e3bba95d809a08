// Stream filter throughput: Flate on content-stream-like text, LZW, ASCIIHex, ASCII85,
// RunLength, and the PNG predictor on cross-reference-stream rows and on image-wide rows.
// Prints MB/s of decoded output (the best of several repetitions). Inputs are built in memory
// from a fixed seed, so runs on one machine compare. Release builds only.
//
//   filters_bench [megabytes]     (default 32)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "parser/filters.h"

namespace {

using namespace vellix;
using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 5;

// Text shaped like page content: operators, numbers and short strings.
ByteVec content_text(size_t size) {
    std::mt19937 rng(42);
    std::string s;
    s.reserve(size + 128);
    const char* words[] = {"the", "stream", "filter", "page", "of", "a", "document", "text", "with"};
    while (s.size() < size) {
        s += "BT /F" + std::to_string(rng() % 4) + " " + std::to_string(8 + rng() % 6) + " Tf " +
             std::to_string(rng() % 600) + "." + std::to_string(rng() % 100) + " " + std::to_string(rng() % 800) +
             " Td (";
        for (int w = 0; w < 6; ++w) s += std::string(words[rng() % 9]) + " ";
        s += ") Tj ET\n";
    }
    s.resize(size);
    return ByteVec(s.begin(), s.end());
}

ByteVec zlib_compress(const ByteVec& in) {
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    ByteVec out(size);
    compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6);
    out.resize(size);
    return out;
}

// PDF LZW with the default early change, clearing the table when it is full.
ByteVec lzw_encode(const ByteVec& in) {
    ByteVec out;
    std::uint32_t acc = 0;
    unsigned acc_bits = 0;
    auto put = [&](unsigned code, unsigned width) {
        acc = (acc << width) | code;
        acc_bits += width;
        while (acc_bits >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc >> (acc_bits - 8)));
            acc_bits -= 8;
        }
    };
    std::map<std::uint32_t, unsigned> table;
    unsigned next = 258, width = 9;
    put(256, width);
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
        put(static_cast<unsigned>(cur), width);
        table[key] = next++;
        if (width < 12 && next == (1u << width)) ++width;
        if (next == 4096) {
            put(256, width);
            table.clear();
            next = 258;
            width = 9;
        }
        cur = c;
    }
    if (cur >= 0) {
        put(static_cast<unsigned>(cur), width);
        ++next;
        if (width < 12 && next == (1u << width)) ++width;
    }
    put(257, width);
    if (acc_bits > 0) out.push_back(static_cast<std::uint8_t>(acc << (8 - acc_bits)));
    return out;
}

ByteVec hex_encode(const ByteVec& in) {
    static const char* digits = "0123456789ABCDEF";
    ByteVec out;
    out.reserve(in.size() * 2 + 1);
    for (std::uint8_t b : in) {
        out.push_back(static_cast<std::uint8_t>(digits[b >> 4]));
        out.push_back(static_cast<std::uint8_t>(digits[b & 15]));
    }
    out.push_back('>');
    return out;
}

ByteVec a85_encode(const ByteVec& in) {
    ByteVec out;
    for (size_t i = 0; i + 4 <= in.size(); i += 4) {
        std::uint32_t v = (std::uint32_t{in[i]} << 24) | (std::uint32_t{in[i + 1]} << 16) |
                          (std::uint32_t{in[i + 2]} << 8) | in[i + 3];
        char group[5];
        for (int k = 4; k >= 0; --k) {
            group[k] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        out.insert(out.end(), group, group + 5);
    }
    out.push_back('~');
    out.push_back('>');
    return out;
}

// Runs of 1 to 40 equal bytes, coded as repeats, with literal stretches between them.
ByteVec run_length_encode(size_t size, ByteVec* decoded) {
    std::mt19937 rng(7);
    ByteVec out;
    while (decoded->size() < size) {
        const unsigned run = 2 + rng() % 40;
        const auto b = static_cast<std::uint8_t>(rng());
        out.push_back(static_cast<std::uint8_t>(257 - run));
        out.push_back(b);
        decoded->insert(decoded->end(), run, b);
        out.push_back(15);
        for (int k = 0; k < 16; ++k) {
            const auto l = static_cast<std::uint8_t>(rng());
            out.push_back(l);
            decoded->push_back(l);
        }
    }
    out.push_back(128);
    return out;
}

// PNG rows of filter type Up (2), the usual encoding of cross-reference streams and many
// images, or Paeth (4), which PNG writers choose for most rows of photographs and drawings.
ByteVec png_rows(const ByteVec& data, size_t columns, size_t pixel_bytes, std::uint8_t type) {
    ByteVec out;
    for (size_t start = 0; start < data.size(); start += columns) {
        out.push_back(type);
        for (size_t i = start; i < std::min(data.size(), start + columns); ++i) {
            const int a = i - start >= pixel_bytes ? data[i - pixel_bytes] : 0;
            const int b = start >= columns ? data[i - columns] : 0;
            const int c = start >= columns && i - start >= pixel_bytes ? data[i - columns - pixel_bytes] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predicted = type == 2 ? b : (pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
            out.push_back(static_cast<std::uint8_t>(data[i] - predicted));
        }
    }
    return out;
}

PdfObject png_parms(std::int64_t columns, std::int64_t colors) {
    PdfDict d;
    d.push_back({as_bytes("Predictor"), PdfObject(std::int64_t{12})});
    d.push_back({as_bytes("Colors"), PdfObject(colors)});
    d.push_back({as_bytes("Columns"), PdfObject(columns)});
    return PdfObject(std::move(d));
}

template <class F>
void report(const char* label, size_t decoded_size, F&& decode) {
    double best = 1e30;
    size_t got = 0;
    for (int r = 0; r < kRepetitions; ++r) {
        const auto t = Clock::now();
        got = decode();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t).count());
    }
    const char* status = got == decoded_size ? "" : "  (SIZE MISMATCH)";
    std::printf("%-34s %9.1f MB/s  (%zu bytes in %.2f ms)%s\n", label, decoded_size / best / 1e6, decoded_size,
                best * 1e3, status);
}

template <class T>
size_t size_of(const Result<T>& r) {
    return r ? r->size() : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
    const size_t size = mb << 20;

    const ByteVec text = content_text(size);
    const ByteVec deflated = zlib_compress(text);
    report("FlateDecode (content text)", text.size(), [&] { return size_of(decompress_flate(deflated)); });

    std::mt19937 rng(3);
    ByteVec noise(size / 4);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const ByteVec deflated_noise = zlib_compress(noise);
    report("FlateDecode (incompressible)", noise.size(), [&] { return size_of(decompress_flate(deflated_noise)); });

    const ByteVec lzw = lzw_encode(text);
    report("LZWDecode (content text)", text.size(), [&] { return decompress_lzw(lzw).size(); });

    const ByteVec hex = hex_encode(text);
    report("ASCIIHexDecode", text.size(), [&] { return decode_ascii_hex(hex).size(); });

    const ByteVec a85 = a85_encode(text);
    report("ASCII85Decode", text.size() / 4 * 4, [&] { return size_of(decode_ascii85(a85)); });

    ByteVec rl_decoded;
    const ByteVec rl = run_length_encode(size, &rl_decoded);
    report("RunLengthDecode", rl_decoded.size(), [&] { return size_of(decode_run_length(rl)); });

    // Cross-reference rows of 5 bytes, and RGB image rows of 2000 pixels.
    const ByteVec xref_rows = png_rows(noise, 5, 1, 2);
    const PdfObject xref_parms = png_parms(5, 1);
    report("PNG Up, 5-byte rows", noise.size(),
           [&] { return size_of(apply_predictor(xref_rows, xref_parms)); });
    const PdfObject image_parms = png_parms(2000, 3);
    const ByteVec image_rows = png_rows(noise, 6000, 3, 2);
    report("PNG Up, 6000-byte rows", noise.size(),
           [&] { return size_of(apply_predictor(image_rows, image_parms)); });
    const ByteVec paeth_rows = png_rows(noise, 6000, 3, 4);
    report("PNG Paeth, 6000-byte rows", noise.size(),
           [&] { return size_of(apply_predictor(paeth_rows, image_parms)); });
    return 0;
}
