// Page and document extraction, and batch extraction of many files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image.h"
#include "layout.h"
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
};

struct ExtractResult {
    std::vector<PageResult> pages;
};

// Bounds on the bytes one page gathers, so that a small file naming one highly compressed
// stream many times cannot expand into gigabytes. Raw and decoded bytes both count, since
// reading either takes time.
// The parts of a Contents array: a part that would take the sum past the bound, and every
// part after it, are left out (the content is cut there).
inline constexpr size_t kMaxPageContentBytes = size_t{512} << 20;
// The forms of a page's XObject table: a form past the bound is kept with no content.
inline constexpr size_t kMaxPageFormBytes = size_t{512} << 20;

struct PageLimits {
    size_t content_bytes = kMaxPageContentBytes;
    size_t form_bytes = kMaxPageFormBytes;
    size_t image_bytes = kMaxPageImageBytes;
};

// Opens the file, extracts every page and releases the document. Errors: those of
// Document::open and Document::page_refs; failures of single pages give empty pages.
[[nodiscard]] Result<ExtractResult> extract(const std::string& path, const ExtractOptions& opts);
// One PageResult per entry of the page list, in order, in chunks of batch_size pages; the
// pages of a chunk run on the worker pool when page_parallel is set. The only error is that
// of Document::page_refs.
[[nodiscard]] Result<ExtractResult> extract_doc(const Document& doc, const ExtractOptions& opts);
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
