// Opening documents: over every PDF of a directory tree (the shared corpus by default), open
// it, list its pages and fetch every object of its cross-reference. Prints files/s, objects/s,
// the time spent in each step, and how the files opened (directly, through the recovery scan,
// or not at all, by error text).
//
//   document_bench [corpus-dir] [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "document.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::vector<std::string> find_pdfs(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && it->path().extension() == ".pdf") out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("VELLIX_CORPUS");
    const std::string root = argc > 1 ? argv[1] : env ? env : "../shared/corpus";
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::vector<std::string> files = find_pdfs(root);
    if (files.empty()) {
        std::fprintf(stderr, "no PDF files under %s\n", root.c_str());
        return 1;
    }

    double t_open = 0, t_pages = 0, t_objects = 0;
    size_t objects = 0, object_failures = 0, pages = 0, bytes = 0;
    size_t direct = 0, recovered = 0, page_failures = 0;
    std::map<std::string, size_t> open_errors, page_errors;
    for (int rep = 0; rep < reps; ++rep) {
        for (const std::string& path : files) {
            auto t0 = Clock::now();
            vellix::Result<vellix::DocPtr> doc = vellix::Document::open(path);
            t_open += seconds_since(t0);
            if (!doc) {
                if (rep == 0) ++open_errors[doc.error().display()];
                continue;
            }
            const vellix::Document& d = **doc;
            t0 = Clock::now();
            auto refs = d.page_refs();
            t_pages += seconds_since(t0);
            t0 = Clock::now();
            size_t fetched = 0, failed = 0;
            d.entries().for_each([&](std::uint32_t num, const vellix::XrefEntry& e) {
                if (e.kind == vellix::XrefKind::Free) return;
                if (d.get_object({num, 0})) ++fetched; else ++failed;
            });
            t_objects += seconds_since(t0);
            if (rep != 0) continue;
            bytes += d.bytes().size();
            objects += fetched;
            object_failures += failed;
            ++(d.recovered() ? recovered : direct);
            if (refs) {
                pages += refs->size();
            } else {
                ++page_failures;
                ++page_errors[refs.error().display()];
            }
        }
    }
    const double n = static_cast<double>(files.size()) * reps;
    const double total = t_open + t_pages + t_objects;
    std::printf("files: %zu (%.1f MB), repetitions: %d\n", files.size(), bytes / 1e6, reps);
    std::printf("opened directly: %zu, through recovery: %zu, failed: %zu\n", direct, recovered,
                files.size() - direct - recovered);
    for (const auto& [text, count] : open_errors) std::printf("  open error %zu x \"%s\"\n", count, text.c_str());
    std::printf("page lists: %zu pages, %zu failures\n", pages, page_failures);
    for (const auto& [text, count] : page_errors) std::printf("  page_refs error %zu x \"%s\"\n", count, text.c_str());
    std::printf("objects: %zu fetched, %zu failed\n", objects, object_failures);
    std::printf("files/s: %.1f   objects/s: %.0f   MB/s: %.1f\n", n / total,
                objects * reps / total, bytes * reps / 1e6 / total);
    std::printf("time split: open %.1f%%  page_refs %.1f%%  objects %.1f%%  (total %.3f s)\n",
                100 * t_open / total, 100 * t_pages / total, 100 * t_objects / total, total);
    return 0;
}
