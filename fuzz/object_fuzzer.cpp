// Fuzz target for the object syntax parser: parse_object over the whole input, one object after
// another, and parse_stream wherever a dictionary is followed by the keyword stream.
//
// Properties checked besides the sanitizers' own: the cursor never moves past the end of the
// data, every successful read moves it forward (so the loop ends), and every error has a
// non-empty display text.
//
// fuzz/fuzz.sh object [SECONDS] fuzzes it with libFuzzer or replays its saved inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "parser/object.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // libFuzzer saves the input as a crash
}

// Walks every element so that each view is read once: a view past its buffer shows up under
// the address sanitizer here rather than in some later consumer.
std::uint64_t touch(const PdfObject& obj, unsigned depth) {
    check(depth <= kMaxObjectNesting + 1);
    std::uint64_t sum = static_cast<std::uint64_t>(obj.kind());
    auto add = [&sum](Bytes b) {
        for (std::uint8_t c : b) sum += c;
    };
    if (auto s = obj.as_raw_string()) add(*s);
    if (auto n = obj.as_name()) add(*n);
    if (const PdfArray* a = obj.array()) {
        for (const PdfObject& item : *a) sum += touch(item, depth + 1);
    }
    if (const PdfDict* d = obj.dict()) {
        for (const DictEntry& e : *d) {
            add(e.key);
            sum += touch(e.value, depth + 1);
        }
    }
    if (const PdfStream* st = obj.stream()) add(st->data);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    Arena arena;
    Cursor cur{Bytes(input.data(), input.size()), 0, &arena};
    volatile std::uint64_t sink = 0;
    // Resuming after every failure would make inputs such as 60000 "(" quadratic; a few dozen
    // resumptions reach everything a single input can show.
    constexpr int kMaxResumptions = 64;
    int resumptions = 0;
    for (;;) {
        const size_t before = cur.pos;
        Result<PdfObject> obj = parse_object(cur);
        check(cur.pos <= input.size());
        if (!obj) {
            check(!obj.error().display().empty());
            // Resume one byte further on, as a scanner over a damaged file would.
            if (before >= input.size() || ++resumptions > kMaxResumptions) break;
            cur.pos = before + 1;
            continue;
        }
        check(cur.pos > before);
        sink = sink + touch(*obj, 0);
        if (const PdfDict* d = std::get_if<PdfDict>(&obj->value)) {
            Cursor probe = cur;
            probe.skip_ws();
            if (probe.starts_with("stream")) {
                Result<PdfObject> st = parse_stream(cur, *d);
                check(cur.pos <= input.size());
                if (st) {
                    sink = sink + touch(*st, 0);
                } else {
                    check(!st.error().display().empty());
                }
            }
        }
    }
    return 0;
}
