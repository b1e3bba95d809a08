// Image placements of a page resolved to image XObjects and their data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "page_items.h"
#include "types.h"

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

// The data of one page's image records together holds at most this many bytes: a record that
// would pass it keeps its other fields and gets empty data. Without a bound, a small file that
// draws one highly compressed image many times would expand into gigabytes of copies.
inline constexpr size_t kMaxPageImageBytes = size_t{256} << 20;

// One record per placement that names an image XObject, in placement order. A name is looked
// up in the resources' XObject dictionary (given directly), then in the XObject dictionaries
// of the forms that dictionary lists (one level). Never fails: a placement that cannot be
// resolved, or that names no image, is left out.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc);
// The same with another bound on the page's image bytes than kMaxPageImageBytes.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes);
// The same, adding to `bytes_read` every image byte copied or inflated, those of data left
// out for the bound included: the work done, for a caller that bounds a whole document.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes, std::uint64_t& bytes_read);

// The first ColorSpace entry: a name, or the first name of an array ("Unknown" for an array
// that does not start with one); "DeviceRGB" when absent or of any other kind (references are
// not followed).
std::string extract_colorspace(const PdfObject& image);
// The names of the first Filter entry (a name, or the names of an array), in order.
std::vector<std::string> extract_filter(const PdfObject& image);
// "jpeg", "jpx" or "png", from the first filter of the list that decides it.
std::string filter_to_ext(const std::vector<std::string>& filters);
// The stored bytes for DCT and JPX images, the inflated bytes when FlateDecode is in the list
// (the stored bytes when they do not inflate), the stored bytes otherwise; empty for an object
// that is not a stream.
std::vector<std::uint8_t> extract_image_data(const PdfObject& image,
                                             const std::vector<std::string>& filters);

}  // namespace vellix
