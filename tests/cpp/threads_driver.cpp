// Extraction from many threads at once, for the thread sanitizer: every PDF file under a
// folder through extract_many with files on the worker pool (and pages on it too), through
// extract_many one file after another with pages on the pool, and through extract called by
// several threads at once, each file twice (with and without pages on the pool), so that
// calls on one file overlap.
//
//   threads_driver FOLDER [THREADS]
//
// Fails (exit 1) when the runs disagree on which files open or on their page counts; the
// sanitizer's own reports end the process with its exit code.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "extract.h"

using namespace vellix;

namespace {

// Pages per file, or -1 for a file that does not open.
long pages_of(const Result<ExtractResult>& r) {
    return r ? static_cast<long>(r->pages.size()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: threads_driver FOLDER [THREADS]\n");
        return 2;
    }
    const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 4;
    std::vector<std::string> paths;
    for (const auto& e : std::filesystem::recursive_directory_iterator(argv[1])) {
        if (e.is_regular_file() && e.path().extension() == ".pdf") paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    const size_t n = paths.size();

    ExtractOptions pool_files;
    pool_files.file_parallel = true;
    ExtractOptions pool_pages;
    pool_pages.batch_size = 4;
    const std::vector<FileOutcome> by_file = extract_many(paths, pool_files);
    const std::vector<FileOutcome> by_page = extract_many(paths, pool_pages);

    std::vector<long> first(n), second(n);
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (size_t j = next++; j < 2 * n; j = next++) {
                ExtractOptions opts;
                opts.page_parallel = j < n;
                opts.include_images = j >= n;
                (j < n ? first : second)[j % n] = pages_of(extract(paths[j % n], opts));
            }
        });
    }
    for (std::thread& w : workers) w.join();

    size_t bad = 0;
    for (size_t i = 0; i < n; ++i) {
        const long a = pages_of(by_file[i].second);
        const long b = pages_of(by_page[i].second);
        if (by_file[i].first != paths[i] || a != b || a != first[i] || a != second[i]) {
            std::fprintf(stderr, "%s: pages %ld %ld %ld %ld\n", paths[i].c_str(), a, b, first[i],
                         second[i]);
            ++bad;
        }
    }
    std::printf("%zu files, %u threads, %zu disagreements\n", n, threads, bad);
    return bad == 0 ? 0 : 1;
}
