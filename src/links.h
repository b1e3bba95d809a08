// Web links of a document's link annotations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bounds.h"
#include "parser/object.h"

namespace vellix {

class Document;

struct PageLink {
    std::string uri;
    double bbox[4] = {0, 0, 0, 0};
    std::uint32_t page = 0;  // index in the page list, from 0
};

// The web links of every page, in page order and, within a page, in Annots order. A link is a
// Link annotation with a URI action whose URI is a string, or without such an action, with a
// Dest string that starts with "http://" or "https://". Strings are decoded (escapes, hex
// digits) and become UTF-8 text (UTF-16BE when they start with FE FF).
// Fails with the error of fetching the page list, a page object, an Annots array given by
// reference or an annotation given by reference; an action that cannot be fetched only drops
// its annotation.
[[nodiscard]] Result<std::vector<PageLink>> extract_links(const Document& doc);
// The same walk with another bound, so tests can reach it with small files.
[[nodiscard]] Result<std::vector<PageLink>> extract_links_for_testing(const Document& doc,
                                                                      size_t max_annotations);

// Annotation entries read so far by one walk over a document's pages, against its bound.
struct AnnotationCount {
    size_t seen = 0;
    size_t max = kMaxAnnotationsPerDocument;
    bool spent() const { return seen > max; }
};

// The web links of one page object (the same rules as extract_links), each carrying `index`
// as its page. Every annotation entry read is counted in `count`; once it is spent the page's
// walk stops and returns the links found so far. Fails as extract_links does for this page:
// an Annots array or an annotation given by reference that cannot be fetched.
[[nodiscard]] Result<std::vector<PageLink>> extract_page_links(const Document& doc,
                                                               const PdfObject& page,
                                                               std::uint32_t index,
                                                               AnnotationCount& count);

}  // namespace vellix
