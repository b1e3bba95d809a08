// Throughput of the object parser over a large synthetic object file, and of the Flate decoder
// over a large deflated buffer. Both inputs are built in memory from a fixed seed, so runs on
// one machine compare. Release builds only: a debug build measures the debug runtime.
//
//   parse_bench [megabytes]     (default 64)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "parser/filters.h"
#include "parser/object.h"

namespace {

using vellix::Bytes;
using vellix::Cursor;
using vellix::PdfObject;

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
    out += std::to_string(static_cast<int>(rng.below(2000)) - 1000);
    out += '.';
    out += std::to_string(rng.below(1000));
}

// One object of the kinds a page tree, a font and a content stream header contain: nested
// dictionaries, arrays of numbers and references, names (a few with #XX escapes), literal and
// hex strings, and now and then a stream with a direct /Length.
void append_object(std::string& out, Rng& rng) {
    switch (rng.below(4)) {
        case 0: {
            out += "<< /Type /Page /Parent ";
            out += std::to_string(rng.below(1000000));
            out += " 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 ";
            out += std::to_string(rng.below(1000000));
            out += " 0 R /F2 ";
            out += std::to_string(rng.below(1000000));
            out += " 0 R >> /ProcSet [/PDF /Text] >> /Contents ";
            out += std::to_string(rng.below(1000000));
            out += " 0 R /Rotate 0 /Annots [";
            for (unsigned i = 0, n = rng.below(6); i < n; ++i) {
                out += std::to_string(rng.below(1000000));
                out += " 0 R ";
            }
            out += "] >>\n";
            break;
        }
        case 1: {
            out += "<< /Type /Font /Subtype /TrueType /BaseFont /ABCDEF#2BSome#20Font /FirstChar 32"
                   " /LastChar 126 /Widths [";
            for (unsigned i = 0; i < 40; ++i) {
                out += std::to_string(200 + rng.below(800));
                out += ' ';
            }
            out += "] /FontBBox [";
            for (int i = 0; i < 4; ++i) {
                append_real(out, rng);
                out += ' ';
            }
            out += "] /Encoding << /Differences [32 /space /a /b 40 /parenleft] >> >>\n";
            break;
        }
        case 2: {
            out += "[(A literal string with \\(escaped\\) parentheses and (nested) ones) ";
            out += "<48656C6C6F20776F726C64> ";
            for (unsigned i = 0; i < 12; ++i) {
                append_real(out, rng);
                out += ' ';
            }
            out += "true false null /Name ";
            out += std::to_string(rng.below(100000));
            out += " % a comment\n]\n";
            break;
        }
        default: {
            const unsigned length = 16 + rng.below(200);
            out += "<< /Length ";
            out += std::to_string(length);
            out += " /Filter /FlateDecode >>\nstream\r\n";
            for (unsigned i = 0; i < length; ++i) out += static_cast<char>('A' + rng.below(26));
            out += "\r\nendstream\n";
            break;
        }
    }
}

std::string build_object_file(size_t target_bytes) {
    std::string out;
    out.reserve(target_bytes + 4096);
    Rng rng;
    while (out.size() < target_bytes) append_object(out, rng);
    return out;
}

// Parses every object of the buffer; returns how many, or -1 on the first failure.
long parse_all(Bytes data) {
    Cursor cur{data};
    long count = 0;
    for (;;) {
        cur.skip_ws();
        if (cur.at_end()) return count;
        vellix::Result<PdfObject> obj = vellix::parse_object(cur);
        if (!obj) {
            std::fprintf(stderr, "parse failed at %zu: %s\n", cur.pos,
                         obj.error().display().c_str());
            return -1;
        }
        if (const vellix::PdfDict* d = std::get_if<vellix::PdfDict>(&obj->value)) {
            Cursor probe = cur;
            probe.skip_ws();
            if (probe.starts_with("stream")) {
                vellix::Result<PdfObject> s = vellix::parse_stream(cur, *d);
                if (!s) {
                    std::fprintf(stderr, "stream failed: %s\n", s.error().display().c_str());
                    return -1;
                }
            }
        }
        ++count;
    }
}

struct Timing {
    double wall = 1e300;  // seconds, best run
    double cpu = 1e300;   // seconds of this process's CPU time, best run
};

double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Wall time and CPU time are both kept: on a shared, loaded machine the wall time counts the
// time spent waiting for a core, the CPU time does not.
template <class F>
Timing best_of_runs(F&& body) {
    Timing best;
    for (int run = 0; run < kRuns; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpu_now();
        body();
        const double c1 = cpu_now();
        const auto t1 = std::chrono::steady_clock::now();
        best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
        best.cpu = std::min(best.cpu, c1 - c0);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 64;
    if (megabytes <= 0 || megabytes > 4096) {
        std::fprintf(stderr, "usage: parse_bench [megabytes, 1 to 4096]\n");
        return 2;
    }
    const size_t target = static_cast<size_t>(megabytes) << 20;
    const double mb = 1.0 / (1 << 20);

    const std::string file = build_object_file(target);
    const Bytes bytes = vellix::as_bytes(file);
    long objects = 0;
    const Timing parse = best_of_runs([&] { objects = parse_all(bytes); });
    if (objects < 0) return 1;
    std::printf("parse_object: %.1f MB, %ld objects, best of %d: wall %.3f s = %.1f MB/s, "
                "cpu %.3f s = %.1f MB/s, %.2f M objects/s\n",
                file.size() * mb, objects, kRuns, parse.wall, file.size() * mb / parse.wall,
                parse.cpu, file.size() * mb / parse.cpu, objects / parse.cpu / 1e6);

    // Flate: the same text deflated, as a content stream or an object stream would be.
    uLongf packed_size = compressBound(static_cast<uLong>(file.size()));
    std::vector<Bytef> packed(packed_size);
    if (compress2(packed.data(), &packed_size, reinterpret_cast<const Bytef*>(file.data()),
                  static_cast<uLong>(file.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
        std::fprintf(stderr, "compress2 failed\n");
        return 1;
    }
    const Bytes packed_bytes{packed.data(), static_cast<size_t>(packed_size)};
    size_t inflated = 0;
    const Timing flate = best_of_runs([&] {
        vellix::Result<vellix::ByteVec> out = vellix::decompress_flate(packed_bytes);
        inflated = out ? out->size() : 0;
    });
    if (inflated != file.size()) {
        std::fprintf(stderr, "decompress_flate returned %zu bytes, expected %zu\n", inflated,
                     file.size());
        return 1;
    }
    std::printf("decompress_flate: %.1f MB -> %.1f MB, best of %d: wall %.3f s = %.1f MB/s out, "
                "cpu %.3f s = %.1f MB/s out, %.1f MB/s in\n",
                packed_size * mb, inflated * mb, kRuns, flate.wall, inflated * mb / flate.wall,
                flate.cpu, inflated * mb / flate.cpu, packed_size * mb / flate.cpu);
    return 0;
}
