// Page and document extraction, and batch extraction of many files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image.h"
#include "layout.h"
#include "parser/object.h"

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

[[nodiscard]] Result<ExtractResult> extract(const std::string& path, const ExtractOptions& opts);
[[nodiscard]] Result<ExtractResult> extract_doc(const Document& doc, const ExtractOptions& opts);
[[nodiscard]] Result<PageResult> extract_single_page(const Document& doc, ObjectId page,
                                                     const ExtractOptions& opts);
[[nodiscard]] Result<std::vector<std::uint8_t>> get_stream_data(const PdfObject& obj);

using FileOutcome = std::pair<std::string, Result<ExtractResult>>;
std::vector<FileOutcome> extract_many(const std::vector<std::string>& paths,
                                      const ExtractOptions& opts);

}  // namespace vellix
