// Throughput of the content stream interpreter, the hot loop of text extraction.
//
// 1. A large synthetic page content built in memory from a fixed seed: text objects with Tf,
//    Td, Tm, Tj, TJ arrays with kerning numbers, hex strings, quote operators, and the path,
//    colour and q/cm/Q operators that surround text in real files. Run with an empty font
//    table (the no-font rules) and with a table of simple fonts (widths and decoding through
//    FontInfo).
// 2. When a corpus directory is given (or found through VELLIX_CORPUS), the decoded page
//    contents of every PDF in it, interpreted with empty font and XObject tables.
//
// Prints MB/s and characters per second for the best of several runs. Release builds only: a
// debug build measures the debug runtime.
//
//   content_bench [megabytes] [corpus-dir]     (default 24, $VELLIX_CORPUS)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "document.h"
#include "font.h"
#include "parser/content_stream.h"
#include "parser/filters.h"

namespace {

using namespace vellix;

constexpr int kRuns = 5;  // the best run counts: it is the least disturbed by the machine

// A small deterministic generator (xorshift64*), so the input is the same on every run.
struct Rng {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

void append_real(std::string& out, Rng& rng) {
    out += std::to_string(rng.below(600));
    out += '.';
    out += std::to_string(rng.below(100));
}

void append_word(std::string& out, Rng& rng) {
    for (unsigned i = 0, n = 2 + rng.below(8); i < n; ++i) {
        out += static_cast<char>('a' + rng.below(26));
    }
}

// One text object of a line or two, in one of the styles real producers write.
void append_text_object(std::string& out, Rng& rng) {
    out += "BT\n/F";
    out += std::to_string(1 + rng.below(2));
    out += ' ';
    out += std::to_string(8 + rng.below(6));
    out += " Tf\n";
    switch (rng.below(4)) {
        case 0:  // a Tm and plain strings, as office software writes
            out += "1 0 0 1 ";
            append_real(out, rng);
            out += ' ';
            append_real(out, rng);
            out += " Tm\n(";
            for (unsigned w = 0, n = 4 + rng.below(8); w < n; ++w) {
                append_word(out, rng);
                out += ' ';
            }
            out += ") Tj\n";
            break;
        case 1:  // kerned TJ arrays, as typesetters write
            append_real(out, rng);
            out += ' ';
            append_real(out, rng);
            out += " Td\n[";
            for (unsigned w = 0, n = 6 + rng.below(10); w < n; ++w) {
                out += '(';
                append_word(out, rng);
                out += ")-";
                out += std::to_string(rng.below(400));
                out += ' ';
            }
            out += "]TJ\n";
            break;
        case 2:  // hex strings, as two-byte fonts are shown
            append_real(out, rng);
            out += ' ';
            append_real(out, rng);
            out += " Td\n[<";
            for (unsigned g = 0, n = 6 + rng.below(20); g < n; ++g) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                out += "00";
                out += kHex[4 + rng.below(3)];
                out += kHex[rng.below(16)];
            }
            out += ">-250<0041004200430044>]TJ\n";
            break;
        default:  // leading, T* and the quote operators, with an escape now and then
            out += "14 TL ";
            append_real(out, rng);
            out += ' ';
            append_real(out, rng);
            out += " Td\n(";
            append_word(out, rng);
            out += " \\(";
            append_word(out, rng);
            out += "\\)) Tj T*\n(";
            append_word(out, rng);
            out += ") '\n1 0.5 (";
            append_word(out, rng);
            out += ") \"\n";
            break;
    }
    out += "ET\n";
}

// Graphics between the text: a clipped, transformed rectangle and a stroked path.
void append_graphics(std::string& out, Rng& rng) {
    out += "q 1 0 0 1 ";
    append_real(out, rng);
    out += ' ';
    append_real(out, rng);
    out += " cm 0.2 0.4 0.6 rg ";
    for (int i = 0; i < 4; ++i) {
        append_real(out, rng);
        out += ' ';
    }
    out += "re f\n";
    append_real(out, rng);
    out += ' ';
    append_real(out, rng);
    out += " m ";
    for (unsigned i = 0, n = 2 + rng.below(6); i < n; ++i) {
        append_real(out, rng);
        out += ' ';
        append_real(out, rng);
        out += " l ";
    }
    out += "S Q\n";
}

std::string make_content(size_t bytes) {
    Rng rng;
    std::string out;
    out.reserve(bytes + 4096);
    while (out.size() < bytes) {
        if (rng.below(4) == 0) {
            append_graphics(out, rng);
        } else {
            append_text_object(out, rng);
        }
    }
    return out;
}

std::shared_ptr<const FontInfo> simple_font() {
    FontInfo f;
    for (int c = 0; c < 256; ++c) f.widths.push_back(400 + (c * 37) % 300);
    finish_font_info(f);
    return std::make_shared<const FontInfo>(std::move(f));
}

struct Timing {
    double wall = 0;  // seconds of wall clock
    double user = 0;  // seconds of processor time in the program itself
    double sys = 0;   // seconds in the kernel on its behalf: mostly faulting in fresh pages
    size_t chars = 0;
};

void cpu_now(double& user, double& sys) {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    user = seconds(ru.ru_utime);
    sys = seconds(ru.ru_stime);
}

// Each measure is the best of the runs: the least disturbed by the rest of the machine.
template <class F>
Timing best_of(F&& run) {
    Timing best{1e300, 1e300, 1e300, 0};
    for (int i = 0; i < kRuns; ++i) {
        double u0, s0, u1, s1;
        cpu_now(u0, s0);
        const auto t0 = std::chrono::steady_clock::now();
        best.chars = run();
        const auto t1 = std::chrono::steady_clock::now();
        cpu_now(u1, s1);
        best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
        best.user = std::min(best.user, u1 - u0);
        best.sys = std::min(best.sys, s1 - s0);
    }
    return best;
}

// Rates are given against processor time (user plus system) as well as wall time: on a busy
// machine the wall clock also counts the time other processes had the processor.
void report(const char* label, size_t bytes, const Timing& t) {
    const double mb = static_cast<double>(bytes) / 1e6;
    const double mchars = static_cast<double>(t.chars) / 1e6;
    const double cpu = t.user + t.sys;
    std::printf("%-24s %6.1f MB %5.2f M chars | wall %6.3f s %6.1f MB/s | user %6.3f s "
                "sys %6.3f s: %6.1f MB/s %5.1f M chars/s\n",
                label, mb, mchars, t.wall, mb / t.wall, t.user, t.sys, mb / cpu, mchars / cpu);
}

void run_synthetic(size_t megabytes) {
    const std::string content = make_content(megabytes << 20);
    const XObjectTable no_xobjects;
    const FontTable no_fonts;
    FontTable fonts{{"F1", simple_font()}, {"F2", simple_font()}};
    report("synthetic, no fonts", content.size(), best_of([&] {
               return scan_content_stream_full(as_bytes(content), no_fonts, no_xobjects, 0)
                   .chars.size();
           }));
    report("synthetic, simple fonts", content.size(), best_of([&] {
               return scan_content_stream_full(as_bytes(content), fonts, no_xobjects, 0)
                   .chars.size();
           }));
}

// The decoded content of one page: its /Contents stream, or the streams of its /Contents
// array joined by a space. Pages whose content cannot be read give nothing.
std::vector<std::uint8_t> page_content(const Document& doc, ObjectId page_id) {
    std::vector<std::uint8_t> out;
    auto page = doc.get_object(page_id);
    if (!page) return out;
    const PdfObject* contents = (*page)->get("Contents");
    if (contents == nullptr) return out;
    std::vector<ObjectId> refs;
    if (auto ref = contents->as_ref()) {
        refs.push_back(*ref);
    } else if (const PdfArray* items = contents->array()) {
        for (const PdfObject& item : *items) {
            if (auto r = item.as_ref()) refs.push_back(*r);
        }
    }
    // A /Contents reference may name an array of streams.
    if (refs.size() == 1) {
        if (auto obj = doc.get_object(refs[0]); obj && (*obj)->array() != nullptr) {
            std::vector<ObjectId> inner;
            for (const PdfObject& item : *(*obj)->array()) {
                if (auto r = item.as_ref()) inner.push_back(*r);
            }
            refs = std::move(inner);
        }
    }
    for (ObjectId id : refs) {
        auto obj = doc.get_object(id);
        if (!obj) continue;
        const PdfStream* stream = (*obj)->stream();
        if (stream == nullptr) continue;
        const PdfObject* filter = (*obj)->get("Filter");
        auto decoded = decompress_stream(stream->data, filter != nullptr ? *filter : PdfObject());
        if (!decoded) continue;
        out.insert(out.end(), decoded->begin(), decoded->end());
        out.push_back(' ');
    }
    return out;
}

void run_corpus(const std::filesystem::path& dir) {
    std::vector<std::vector<std::uint8_t>> pages;
    size_t files = 0, bytes = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file() || it->path().extension() != ".pdf") continue;
        auto doc = Document::open(it->path().string());
        if (!doc) continue;
        auto refs = (*doc)->page_refs();
        if (!refs) continue;
        ++files;
        for (ObjectId id : *refs) {
            std::vector<std::uint8_t> content = page_content(**doc, id);
            if (content.empty()) continue;
            bytes += content.size();
            pages.push_back(std::move(content));
        }
    }
    if (pages.empty()) {
        std::printf("corpus %s: no readable page contents\n", dir.string().c_str());
        return;
    }
    std::printf("corpus %s: %zu files, %zu pages\n", dir.string().c_str(), files, pages.size());
    const FontTable no_fonts;
    const XObjectTable no_xobjects;
    report("corpus pages, no fonts", bytes, best_of([&] {
               size_t chars = 0;
               for (const auto& page : pages) {
                   chars += scan_content_stream_full(page, no_fonts, no_xobjects, 0).chars.size();
               }
               return chars;
           }));
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 24;
    run_synthetic(megabytes == 0 ? 24 : megabytes);

    std::filesystem::path corpus;
    if (argc > 2) {
        corpus = argv[2];
    } else if (const char* env = std::getenv("VELLIX_CORPUS")) {
        corpus = env;
    }
    if (!corpus.empty() && std::filesystem::is_directory(corpus)) run_corpus(corpus);
    return 0;
}
