// Fuzz target for the link walk: the input is a whole file, opened as a document, whose link
// annotations are collected with the document's bound and with a bound of a few entries.
//
// Properties checked besides the sanitizers' own: every error has a display text, every link
// names a page of the page list, links come in page order, and where the full walk succeeds the
// bounded walk gives a prefix of its links.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "document.h"
#include "links.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();
}

// Small enough that inputs of a few annotations reach the bound.
constexpr size_t kFewAnnotations = 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that a read one past the end of the file is caught.
    std::vector<std::uint8_t> bytes(data, data + size);
    Result<DocPtr> doc = Document::from_mmap(MappedFile::from_vector_for_testing(std::move(bytes)));
    if (!doc) {
        check(!doc.error().display().empty());
        return 0;
    }
    const Result<std::vector<ObjectId>> pages = (*doc)->page_refs();
    const Result<std::vector<PageLink>> all = extract_links(**doc);
    const Result<std::vector<PageLink>> few = extract_links_for_testing(**doc, kFewAnnotations);
    // The bounded walk may stop before an annotation that cannot be fetched; it never fails
    // where the full walk does not.
    check(few.has_value() || !all.has_value());
    if (!all) {
        check(!all.error().display().empty());
        return 0;
    }
    check(pages.has_value());
    for (size_t i = 0; i < all->size(); ++i) {
        const PageLink& l = (*all)[i];
        check(l.page < pages->size());
        if (i > 0) check((*all)[i - 1].page <= l.page);
    }
    check(few->size() <= all->size());
    for (size_t i = 0; i < few->size(); ++i) {
        check((*few)[i].uri == (*all)[i].uri && (*few)[i].page == (*all)[i].page);
    }
    return 0;
}
