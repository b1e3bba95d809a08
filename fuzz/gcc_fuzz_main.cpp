// A driver for fuzz targets built with GCC, which has no libFuzzer.
//
//   target FILE|DIR...                  replays each file once (regressions, seeds); paths
//                                       that do not exist are skipped
//   target -fuzz=SECONDS CORPUS_DIR     coverage-guided mutation fuzzing
//
// Coverage comes from GCC's -fsanitize-coverage=trace-pc on the code under test: each call
// site of __sanitizer_cov_trace_pc marks an edge (this call and the previous one) in a small
// hit-count map, bucketed as AFL does. An input that reaches a new edge or a new bucket joins
// the corpus and is written to CORPUS_DIR. When a sanitizer reports an error, or one run takes
// longer than a few seconds, the input is written to crash-<hash> in the working directory
// before the process ends.
//
// A run that takes longer than a second but finishes is reported, and while fuzzing written to
// slow-<hash>: it is no failure yet, but it points at work that grows faster than it should.
//
// Build: the code under test with -fsanitize-coverage=trace-pc, this driver and the target
// without it, everything under -fsanitize=address,undefined (see fuzz/fuzz.sh). Without
// sanitizers (as CTest builds it) only the replay mode is of use: coverage is then never
// recorded and a failing input is not written out, but the process still fails.
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size);
// Weak: a build without sanitizers has no runtime that defines it.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace {

constexpr size_t kMapSize = size_t{1} << 18;  // room for the edges of the whole core
constexpr size_t kMaxInput = 1 << 16;
constexpr unsigned kRunTimeoutSeconds = 5;
constexpr double kSlowRunSeconds = 1.0;

std::array<std::uint8_t, kMapSize> g_hits;      // this run
std::array<std::uint8_t, kMapSize> g_seen{};    // buckets reached by any run so far
std::uintptr_t g_prev_pc = 0;
const std::vector<std::uint8_t>* g_current = nullptr;
bool g_fuzzing = false;  // slow inputs are written out only while fuzzing

std::uint8_t bucket(std::uint8_t hits) {
    if (hits <= 3) return hits;
    if (hits <= 7) return 4;
    if (hits <= 15) return 8;
    if (hits <= 31) return 16;
    if (hits <= 127) return 32;
    return 128;
}

std::string hex_hash(const std::vector<std::uint8_t>& v) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (std::uint8_t b : v) h = (h ^ b) * 1099511628211ull;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& v) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
}

void save_current_input() {
    if (g_current == nullptr) return;
    const std::string path = "crash-" + hex_hash(*g_current);
    write_file(path, *g_current);
    std::fprintf(stderr, "\ninput written to %s\n", path.c_str());
}

void on_abort(int) {
    save_current_input();
    std::_Exit(3);
}

void on_timeout(int) {
    std::fprintf(stderr, "\nrun took longer than %u s\n", kRunTimeoutSeconds);
    save_current_input();
    std::_Exit(2);
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// Runs one input; true when it reached an edge or hit-count bucket not seen before.
bool run(const std::vector<std::uint8_t>& input) {
    // An exactly sized copy, so that a read past the end is caught.
    std::vector<std::uint8_t> exact(input);
    g_current = &exact;
    g_hits.fill(0);
    g_prev_pc = 0;
    alarm(kRunTimeoutSeconds);
    const auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    alarm(0);
    if (took.count() > kSlowRunSeconds) {
        std::fprintf(stderr, "\nrun took %.2f s\n", took.count());
        if (g_fuzzing) {
            const std::string path = "slow-" + hex_hash(exact);
            write_file(path, exact);
            std::fprintf(stderr, "input written to %s\n", path.c_str());
        }
    }
    g_current = nullptr;
    bool fresh = false;
    for (size_t i = 0; i < kMapSize; ++i) {
        if (g_hits[i] == 0) continue;
        const std::uint8_t b = bucket(g_hits[i]);
        if ((g_seen[i] & b) == 0) {
            g_seen[i] |= b;
            fresh = true;
        }
    }
    return fresh;
}

std::vector<std::uint8_t> mutate(std::vector<std::uint8_t> v, const std::vector<std::vector<std::uint8_t>>& corpus,
                                 std::mt19937_64& rng) {
    static constexpr std::uint8_t kInteresting[] = {0, 1, 0x7F, 0x80, 0x81, 0xFE, 0xFF, '~', '>', 'z', '<', ' ', 'u', '!'};
    auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
    const unsigned steps = 1 + static_cast<unsigned>(rng() % 6);
    for (unsigned s = 0; s < steps; ++s) {
        switch (rng() % 9) {
        case 0:
            if (!v.empty()) v[pick(v.size())] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            break;
        case 1:
            if (!v.empty()) v[pick(v.size())] = static_cast<std::uint8_t>(rng());
            break;
        case 2:
            if (!v.empty()) v[pick(v.size())] = kInteresting[pick(sizeof kInteresting)];
            break;
        case 3: {  // insert random bytes
            const size_t at = pick(v.size() + 1);
            const size_t n = 1 + pick(16);
            for (size_t k = 0; k < n; ++k) v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
            break;
        }
        case 4: {  // erase a range
            if (v.size() < 2) break;
            const size_t at = pick(v.size());
            const size_t n = 1 + pick(std::min<size_t>(v.size() - at, 64));
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + n));
            break;
        }
        case 5: {  // duplicate a range
            if (v.empty()) break;
            const size_t at = pick(v.size());
            const size_t n = 1 + pick(std::min<size_t>(v.size() - at, 256));
            std::vector<std::uint8_t> chunk(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + n));
            v.insert(v.begin() + static_cast<std::ptrdiff_t>(pick(v.size() + 1)), chunk.begin(), chunk.end());
            break;
        }
        case 6:  // truncate
            if (!v.empty()) v.resize(pick(v.size()) + 1);
            break;
        case 7: {  // splice with another corpus entry, keeping the selector byte
            const auto& other = corpus[pick(corpus.size())];
            if (other.size() < 2 || v.empty()) break;
            const size_t from = 1 + pick(other.size() - 1);
            v.resize(pick(v.size()) + 1);
            v.insert(v.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
            break;
        }
        default:  // a new selector byte
            if (!v.empty()) v[0] = static_cast<std::uint8_t>(rng());
            break;
        }
    }
    if (v.size() > kMaxInput) v.resize(kMaxInput);
    return v;
}

int fuzz(double seconds, const std::filesystem::path& dir) {
    g_fuzzing = true;
    std::vector<std::vector<std::uint8_t>> corpus;
    std::filesystem::create_directories(dir);
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) corpus.push_back(read_file(e.path()));
    if (corpus.empty()) corpus.push_back({0});
    for (const auto& c : corpus) run(c);

    std::mt19937_64 rng(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::uint64_t runs = 0;
    auto last_report = start;
    while (std::chrono::steady_clock::now() < end) {
        for (int batch = 0; batch < 64; ++batch) {
            std::vector<std::uint8_t> next = mutate(corpus[rng() % corpus.size()], corpus, rng);
            ++runs;
            if (run(next)) {
                write_file((dir / hex_hash(next)).string(), next);
                corpus.push_back(std::move(next));
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_report > std::chrono::seconds(10)) {
            last_report = now;
            size_t edges = 0;
            for (std::uint8_t s : g_seen) edges += s != 0;
            std::fprintf(stderr, "runs %llu, corpus %zu, edges %zu\n", static_cast<unsigned long long>(runs),
                         corpus.size(), edges);
        }
    }
    std::fprintf(stderr, "done: %llu runs, corpus %zu\n", static_cast<unsigned long long>(runs), corpus.size());
    return 0;
}

}  // namespace

// GCC links the undefined-behaviour runtime apart from the address sanitizer, so its reports
// do not reach the death callback; making it abort lets the SIGABRT handler save the input.
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:print_stacktrace=1"; }

// Called by GCC's -fsanitize-coverage=trace-pc at every basic block of instrumented code.
extern "C" void __sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    std::uint8_t& hits = g_hits[(pc ^ g_prev_pc) % kMapSize];
    if (hits != 255) ++hits;
    g_prev_pc = pc >> 1;
}

int main(int argc, char** argv) {
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(save_current_input);
    std::signal(SIGALRM, on_timeout);
    std::signal(SIGABRT, on_abort);
    if (argc == 3 && std::strncmp(argv[1], "-fuzz=", 6) == 0) return fuzz(std::atof(argv[1] + 6), argv[2]);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (!std::filesystem::exists(arg)) continue;  // a target with no saved inputs yet
        if (std::filesystem::is_directory(arg)) {
            for (const auto& e : std::filesystem::directory_iterator(arg)) {
                if (!e.is_regular_file()) continue;
                run(read_file(e.path()));
                ++count;
            }
        } else {
            run(read_file(arg));
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
