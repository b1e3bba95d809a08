// Replays saved inputs through a fuzz target once each, for builds without libFuzzer (GCC, as
// CTest and the sanitizer stage of scripts/test.sh build the targets):
//
//   TARGET_fuzzer FILE|DIR...     every file given, and every file in each directory given;
//                                 paths that do not exist are skipped (a target without saved
//                                 inputs yet)
//
// A failing input ends the process (abort, or a sanitizer's report); its name is printed
// before it runs, so the last name printed is the culprit.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& e : fs::directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::is_regular_file(arg)) {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::fprintf(stderr, "%s\n", f.c_str());
        std::ifstream in(f, std::ios::binary);
        // An exactly sized buffer, so that a read past the end is caught.
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
