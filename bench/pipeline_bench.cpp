// Throughput of the whole pipeline over a directory of PDF files: opening alone, extraction
// one file after another on one thread, with parallel pages, and extract_many over all files.
// Release builds only: a debug build measures the debug runtime.
//
//   pipeline_bench [directory] [runs]   (default ../shared/corpus, 3 runs; the best run counts)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "document.h"
#include "extract.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> pdf_files(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && it->path().extension() == ".pdf") files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct Totals {
    size_t files_ok = 0;
    size_t pages = 0;
    size_t bytes = 0;
};

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Wall time of the best run, and the processor time (all threads) of that run: on a machine
// shared with other work the second shows what the wall time hides.
struct Timing {
    double wall = 1e300;
    double cpu = 0;
};

template <class F>
Timing best_of(int runs, F&& f) {
    Timing best;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        const double cpu_start = process_cpu_seconds();
        f();
        const double wall = seconds_since(start);
        if (wall < best.wall) best = {wall, process_cpu_seconds() - cpu_start};
    }
    return best;
}

void report(const char* what, Timing t, const Totals& totals) {
    std::printf("%-28s %7.3f s wall %7.3f s cpu %9.0f pages/s %7.1f MB/s\n", what, t.wall, t.cpu,
                totals.pages / t.wall, totals.bytes / t.wall / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "../shared/corpus";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::vector<std::string> files = pdf_files(dir);
    if (files.empty()) {
        std::fprintf(stderr, "no PDF files under %s\n", dir.c_str());
        return 1;
    }

    Totals totals;
    for (const std::string& f : files) {
        auto doc = vellix::Document::open(f);
        if (!doc) continue;
        auto pages = (*doc)->page_refs();
        if (!pages) continue;
        ++totals.files_ok;
        totals.pages += pages->size();
        totals.bytes += (*doc)->bytes().size();
    }
    std::printf("%zu files, %zu open with a page list, %zu pages, %.1f MB\n", files.size(),
                totals.files_ok, totals.pages, totals.bytes / 1e6);

    const Timing open_secs = best_of(runs, [&] {
        for (const std::string& f : files) {
            auto doc = vellix::Document::open(f);
            if (doc) (void)(*doc)->page_refs();
        }
    });
    report("open + page list", open_secs, totals);

    for (bool images : {false, true}) {
        vellix::ExtractOptions opts;
        opts.include_images = images;
        opts.page_parallel = false;
        const Timing seq = best_of(runs, [&] {
            for (const std::string& f : files) (void)vellix::extract(f, opts);
        });
        report(images ? "sequential, images" : "sequential, no images", seq, totals);

        opts.page_parallel = true;
        const Timing pages = best_of(runs, [&] {
            for (const std::string& f : files) (void)vellix::extract(f, opts);
        });
        report(images ? "page_parallel, images" : "page_parallel, no images", pages, totals);

        opts.page_parallel = false;
        opts.file_parallel = true;
        const Timing many = best_of(runs, [&] { (void)vellix::extract_many(files, opts); });
        report(images ? "extract_many, images" : "extract_many, no images", many, totals);
        std::printf("%-28s %7.2fx\n", "  speed-up", seq.wall / many.wall);
        // Each file's result dropped as it arrives, as a caller that converts results does.
        const Timing each = best_of(runs, [&] {
            vellix::extract_many_each(files, opts, [](size_t, vellix::FileOutcome&&) {});
        });
        report(images ? "extract_many_each, images" : "extract_many_each, no images", each, totals);
        std::printf("%-28s %7.2fx\n", "  speed-up", seq.wall / each.wall);
    }
    return 0;
}
