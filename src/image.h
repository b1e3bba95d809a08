// Image placements of a page resolved to image XObjects and their data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parser/content_stream.h"

namespace vellix {

class Document;

struct ExtractedImage {
    std::vector<std::uint8_t> data;
    std::string colorspace;
    std::string ext;
    double bbox[4] = {0, 0, 0, 0};
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t xref = 0;
    std::uint8_t bpc = 8;
};

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc);
std::string extract_colorspace(const PdfObject& image);
std::vector<std::string> extract_filter(const PdfObject& image);
std::string filter_to_ext(const std::vector<std::string>& filters);
std::vector<std::uint8_t> extract_image_data(const PdfObject& image,
                                             const std::vector<std::string>& filters);

}  // namespace vellix
