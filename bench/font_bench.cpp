// Font decoding and ToUnicode parsing: the per-glyph work of the content interpreter. Prints
// the cost of one decode_char for one-byte codes (the precomputed table) and for two-byte codes
// through a ToUnicode CMap (bfchar hash, range index, and for comparison the plain walk over
// the ranges), of glyph_width on a CID font, and the parse_cmap throughput. Inputs are built in
// memory from a fixed seed, so runs on one machine compare. Release builds only.
//
//   font_bench [million-lookups]     (default 20)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "font.h"
#include "parser/object.h"

namespace {

using vellix::Bytes;

// Processor time of this (single-threaded) process rather than wall time, so that other work
// on a shared machine inflates the numbers less.
struct Clock {
    using time_point = std::clock_t;
    static time_point now() { return std::clock(); }
};
double seconds_since(Clock::time_point t) {
    return static_cast<double>(std::clock() - t) / CLOCKS_PER_SEC;
}

// A ToUnicode CMap in the shape large CID fonts use: many bfchar lines in sections of 100,
// and ranges over the last byte.
std::string make_cmap(std::uint32_t chars, std::uint32_t ranges) {
    std::string s = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
                    "1 begincodespacerange <0000> <FFFF> endcodespacerange\n";
    char line[64];
    for (std::uint32_t i = 0; i < chars; ++i) {
        if (i % 100 == 0) s += "100 beginbfchar\n";
        std::snprintf(line, sizeof line, "<%04X> <%04X>\n", 0x8000 + i, 0x4E00 + i);
        s += line;
        if (i % 100 == 99 || i + 1 == chars) s += "endbfchar\n";
    }
    for (std::uint32_t i = 0; i < ranges; ++i) {
        if (i % 100 == 0) s += "100 beginbfrange\n";
        std::snprintf(line, sizeof line, "<%04X> <%04X> <%04X>\n", i * 64, i * 64 + 40, 0x0400 + i);
        s += line;
        if (i % 100 == 99 || i + 1 == ranges) s += "endbfrange\n";
    }
    return s + "endcmap CMapName currentdict /CMap defineresource pop end end\n";
}

template <class F>
void report(const char* what, std::size_t n, F&& body) {
    const auto t = Clock::now();
    const std::uint64_t sink = body();
    const double secs = seconds_since(t);
    std::printf("%-40s %8.2f ns/op  %8.1f M/s   (checksum %llu)\n", what, secs * 1e9 / static_cast<double>(n),
                static_cast<double>(n) / secs / 1e6, static_cast<unsigned long long>(sink));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = static_cast<std::size_t>(argc > 1 ? std::atof(argv[1]) * 1e6 : 20e6);

    // Codes drawn once, so the timed loops only decode.
    std::vector<std::uint8_t> codes(n * 2);
    std::uint32_t seed = 42;
    for (auto& c : codes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<std::uint8_t>(seed >> 16);
    }
    // Two-byte codes that mostly hit: half in the bfchar block, half in the ranges.
    std::vector<std::uint8_t> cid_codes(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        const std::uint32_t r = seed >> 8;
        const std::uint32_t code = (r & 1) ? 0x8000 + (r >> 1) % 6000 : (r >> 1) % (600 * 64);
        cid_codes[2 * i] = static_cast<std::uint8_t>(code >> 8);
        cid_codes[2 * i + 1] = static_cast<std::uint8_t>(code);
    }

    vellix::FontInfo simple;
    simple.widths.assign(256, 500.0);
    simple.differences.emplace();
    (*simple.differences)[65] = {'A', 'a', 'c', 'u', 't', 'e'};
    vellix::finish_font_info(simple);
    report("decode_char, one byte", n, [&] {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += simple.decode_char(&codes[i], 1);
        return sum;
    });

    const std::string cmap_text = make_cmap(6000, 600);
    {
        const std::size_t reps = 50;
        const auto t = Clock::now();
        std::size_t entries = 0;
        for (std::size_t r = 0; r < reps; ++r) {
            entries += vellix::parse_cmap(vellix::as_bytes(cmap_text)).text_entries.size();
        }
        const double secs = seconds_since(t);
        std::printf("%-40s %8.1f MB/s  (%zu bytes, %zu entries)\n", "parse_cmap",
                    static_cast<double>(cmap_text.size() * reps) / secs / 1e6, cmap_text.size(),
                    entries / reps);
    }

    vellix::FontInfo cid;
    cid.is_type0 = true;
    cid.to_unicode =
        std::make_shared<const vellix::CMap>(vellix::parse_cmap(vellix::as_bytes(cmap_text)));
    vellix::finish_font_info(cid);
    report("decode_char, two bytes, 6000 bfchar + 600 ranges", n, [&] {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += cid.decode_char(&cid_codes[2 * i], 2);
        return sum;
    });
    // A descendant with many W entries of both forms.
    std::string w = "<< /W [";
    for (int i = 0; i < 2000; ++i) {
        w += std::to_string(i * 30) + " [500 600 700] " + std::to_string(i * 30 + 10) + " " +
             std::to_string(i * 30 + 20) + " 250 ";
    }
    w += "] >>";
    vellix::CIDFontInfo widths;
    {
        vellix::Cursor cur{vellix::as_bytes(w)};
        vellix::Result<vellix::PdfObject> parsed = vellix::parse_object(cur);
        if (!parsed) return 1;
        // The W array in its two forms, c [w...] and c_first c_last w.
        const vellix::PdfArray* arr = parsed->get("W") ? parsed->get("W")->array() : nullptr;
        for (size_t i = 0; arr && i + 1 < arr->size(); i += 2) {
            if (const vellix::PdfArray* list = (*arr)[i + 1].array()) {
                vellix::CIDWidthRange r{static_cast<std::uint32_t>((*arr)[i].as_int().value_or(0)), {}};
                for (const vellix::PdfObject& el : *list) r.widths.push_back(el.as_number().value_or(0));
                r.count = r.widths.size();
                widths.widths.push_back(std::move(r));
            } else {
                widths.widths.push_back(vellix::CIDWidthRange{static_cast<std::uint32_t>((*arr)[i].as_int().value_or(0)),
                                                              {(*arr)[i + 2].as_number().value_or(0)}, true,
                                                              static_cast<std::uint64_t>((*arr)[i + 1].as_int().value_or(0) -
                                                                                         (*arr)[i].as_int().value_or(0) + 1)});
                ++i;
            }
        }
    }
    cid.cid = std::make_shared<const vellix::CIDFontInfo>(std::move(widths));
    report("glyph_width, 4000 CID ranges", n, [&] {
        double sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sum += cid.glyph_width((std::uint32_t{cid_codes[2 * i]} << 8 | cid_codes[2 * i + 1]) % 60000);
        }
        return static_cast<std::uint64_t>(sum);
    });
    return 0;
}
