// Page and document extraction, and batch extraction of many files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bounds.h"
#include "image.h"
#include "layout.h"
#include "links.h"
#include "parser/content_stream.h"
#include "parser/object.h"
#include "pool.h"

namespace vellix {

class Document;

struct ExtractOptions {
    size_t batch_size = 50;  // pages per chunk; 0 means one chunk
    bool page_parallel = true;
    bool file_parallel = false;
    bool include_images = true;
    bool gpu = false;  // carried, no effect
};

struct PageResult {
    std::vector<TextBlock> blocks;
    std::vector<ExtractedImage> images;
    // The page's font names, which the spans' fonts view. Shared, so that a copy of the result
    // keeps them too.
    std::shared_ptr<const std::vector<std::string>> font_names;
};

struct ExtractResult {
    std::vector<PageResult> pages;
};

struct PageLimits {
    size_t content_bytes = kMaxPageContentBytes;
    size_t form_bytes = kMaxPageFormBytes;
    size_t image_bytes = kMaxPageImageBytes;
};

struct DocumentLimits {
    std::uint64_t work = kDocumentWorkBase;
    std::uint64_t output = kDocumentOutputBase;
};

// The bounds of a document whose file has `file_size` bytes.
DocumentLimits document_limits(size_t file_size);

// Opens the file, extracts every page and releases the document. Errors: those of
// Document::open and Document::page_refs; failures of single pages give empty pages.
[[nodiscard]] Result<ExtractResult> extract(const std::string& path, const ExtractOptions& opts);
// One PageResult per entry of the page list, in order, in chunks of batch_size pages; the
// pages of a chunk run on the worker pool when page_parallel is set. All pages share the
// bounds of document_limits(doc.bytes().size()). The only error is that of
// Document::page_refs.
[[nodiscard]] Result<ExtractResult> extract_doc(const Document& doc, const ExtractOptions& opts);
// extract_doc with other document bounds than those of the file's size, to test them on
// small files.
[[nodiscard]] Result<ExtractResult> extract_doc_with_limits_for_testing(const Document& doc,
                                                                       const ExtractOptions& opts,
                                                                       const DocumentLimits& limits);
// One page: its content (a stream, or the streams of an array joined with newlines), its own
// resources (not inherited), fonts, XObjects, layout and, when asked, images. Errors: a page
// object or content stream that cannot be fetched or decoded.
[[nodiscard]] Result<PageResult> extract_single_page(const Document& doc, ObjectId page,
                                                     const ExtractOptions& opts);
// The same with other bounds, to test them on small data.
[[nodiscard]] Result<PageResult> extract_single_page_with_limits_for_testing(
    const Document& doc, ObjectId page, const ExtractOptions& opts, const PageLimits& limits);
// The decoded data of a stream (empty for any other object). Errors: those of the filters.
[[nodiscard]] Result<std::vector<std::uint8_t>> get_stream_data(const PdfObject& obj);

// One page as extract_pages gives it: its index in the page list, its size and rotation, its
// content as extract_doc extracts it, and its web links.
struct PageExtract {
    std::uint32_t number = 0;
    // The crop box (ISO 32000-1, 14.11.2), clipped to the media box; the media box when there
    // is no crop box or it does not overlap; both inherited. Before rotation.
    double width = 0;
    double height = 0;
    std::uint32_t rotation = 0;  // the inherited Rotate: 0, 90, 180 or 270
    PageResult content;
    std::vector<PageLink> links;
};

// The size of a page that has no readable media box: US Letter, in points, which is what
// readers assume for such a page.
inline constexpr double kDefaultPageWidth = 612;
inline constexpr double kDefaultPageHeight = 792;

// Opens the file and gives one PageExtract per entry of the page list, in order. Errors: those
// of extract. A page whose content fails has empty content; a page whose links fail (an
// annotation that cannot be fetched) has no links; a page object that cannot be fetched has
// both empty and the default size.
[[nodiscard]] Result<std::vector<PageExtract>> extract_pages(const std::string& path,
                                                            const ExtractOptions& opts);
// The same on an opened document; its content is that of extract_doc with the same options.
[[nodiscard]] Result<std::vector<PageExtract>> extract_pages_doc(const Document& doc,
                                                                const ExtractOptions& opts);

// One pair per path, in input order: the path and its ExtractResult or error. Never fails as a
// whole. Files run on the worker pool from eight paths on when file_parallel is set; otherwise
// one after another, each next file opened ahead on a short-lived thread.
using FileOutcome = std::pair<std::string, Result<ExtractResult>>;
std::vector<FileOutcome> extract_many(const std::vector<std::string>& paths,
                                      const ExtractOptions& opts);

// extract_many that hands over each file's pair as soon as it is ready instead of all at the
// end: consume(i, pair of path i) runs on the calling thread once per path, while other files
// are still being extracted. On the pool (eight paths or more with file_parallel) the pairs
// come in the order the files finish, larger files being started first; otherwise in input
// order. A caller that converts results (into Python objects, say) thus overlaps that work
// with the extraction and holds only the results not yet consumed. An exception thrown by
// consume stops further calls of it and is rethrown once all started work has ended.
void extract_many_each(const std::vector<std::string>& paths, const ExtractOptions& opts,
                       FunctionRef<void(size_t, FileOutcome&&)> consume);

}  // namespace vellix
