// Fuzz target for the whole pipeline: the input is a whole file. It is opened as a document
// (cross-reference, recovery scan, trailer), then extracted three ways (pages one after
// another with images, pages on the worker pool without images, one page per chunk on the
// pool with images) and its links are collected.
//
// Properties checked besides the sanitizers' own: every extraction holds one page result per
// page of the page list, all of them or none fail, the runs with images agree with each
// other, and a run without images holds no image records. Pages that run on the pool may
// see the document's work budget in another order, so their text is not compared with the
// sequential run's.
//
// The document bounds are a sixty-fourth of those of a small file (the code that enforces them
// is the same). A file that spends them then costs well under a second even with every file
// of the core instrumented under the sanitizers, three extractions included, so a run that is
// still slow points at work the bounds do not count.
//
// fuzz/fuzz.sh document [SECONDS] fuzzes it with libFuzzer or replays its saved inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "document.h"
#include "extract.h"
#include "links.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // libFuzzer saves the input as a crash
}

size_t count_images(const ExtractResult& r) {
    size_t n = 0;
    for (const PageResult& p : r.pages) n += p.images.size();
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end of the file is caught (a
    // mapping would be rounded up to a whole page).
    std::vector<std::uint8_t> bytes(data, data + size);
    Result<DocPtr> doc = Document::from_mmap(MappedFile::from_vector_for_testing(std::move(bytes)));
    if (!doc) {
        check(!doc.error().display().empty());
        return 0;
    }
    const Document& d = **doc;
    Result<std::vector<ObjectId>> pages = d.page_refs();

    ExtractOptions sequential;
    sequential.page_parallel = false;
    sequential.include_images = true;
    sequential.batch_size = 3;
    ExtractOptions parallel;
    parallel.page_parallel = true;
    parallel.include_images = false;
    parallel.batch_size = 0;
    ExtractOptions parallel_images;
    parallel_images.page_parallel = true;
    parallel_images.include_images = true;
    parallel_images.batch_size = 1;  // one page per chunk: runs in page order on the caller

    const DocumentLimits limits{kDocumentWorkBase / 64, kDocumentOutputBase / 64};
    const Result<ExtractResult> a = extract_doc_with_limits_for_testing(d, sequential, limits);
    const Result<ExtractResult> b = extract_doc_with_limits_for_testing(d, parallel, limits);
    const Result<ExtractResult> c = extract_doc_with_limits_for_testing(d, parallel_images, limits);
    check(a.has_value() == pages.has_value());
    check(b.has_value() == pages.has_value());
    check(c.has_value() == pages.has_value());
    if (pages) {
        check(a->pages.size() == pages->size());
        check(b->pages.size() == pages->size());
        check(c->pages.size() == pages->size());
        check(count_images(*b) == 0);
        // Chunks of one page run on the calling thread in page order, as the sequential run
        // does, so both spend the document's budget alike.
        check(count_images(*a) == count_images(*c));
    } else {
        check(!pages.error().display().empty());
    }

    Result<std::vector<PageLink>> links = extract_links(d);
    if (links) {
        for (const PageLink& l : *links) check(!pages || l.page < pages->size());
    } else {
        check(!links.error().display().empty());
    }
    return 0;
}
