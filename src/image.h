// Image placements of a page resolved to image records whose data a viewer opens: JPEG and
// JPEG 2000 files as stored (after any filters in front of them), every other image decoded
// through its filters and colour space and written as a PNG file.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bounds.h"
#include "page_items.h"
#include "types.h"

namespace vellix {

class Document;

// Bytes of an image file, shared by the records of every placement of one image in a
// document; copied only into the Python result. Immutable.
class ImageBytes {
public:
    ImageBytes() = default;
    explicit ImageBytes(std::vector<std::uint8_t> bytes)
        : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

    const std::uint8_t* data() const { return bytes_ ? bytes_->data() : nullptr; }
    size_t size() const { return bytes_ ? bytes_->size() : 0; }
    bool empty() const { return size() == 0; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size(); }
    Bytes view() const { return {data(), size()}; }

    friend bool operator==(const ImageBytes& a, const std::vector<std::uint8_t>& b) {
        return bytes_equal(a.view(), Bytes(b));
    }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

struct ExtractedImage {
    ImageBytes data;
    std::string colorspace;
    std::string ext;  // "jpeg", "jpx" or "png"
    double bbox[4] = {0, 0, 0, 0};
    std::uint32_t width = 0;   // of the stored image, as its dictionary gives it
    std::uint32_t height = 0;
    std::uint32_t xref = 0;    // the image XObject's number; 0 for an inline image
    std::uint8_t bpc = 8;
};

// The data of an image: the file bytes, their extension, and every byte read or decoded on
// the way (stored, intermediate and sample bytes), the work done.
struct EncodedImage {
    ImageBytes data;
    std::string ext = "png";
    std::uint64_t bytes_read = 0;
};

// Encoded images of one document by image object, so that an image on many pages (a logo, a
// page background) is decoded once. Keeps at most kMaxCachedImageBytes of data; the work
// counted for a hit is that of the decoding, so that bounds never depend on which page
// decoded first. Safe to use from several threads at once.
class ImageCache {
public:
    static constexpr size_t kMaxCachedImageBytes = size_t{128} << 20;

    // The cached result for `image`, or nullptr.
    std::shared_ptr<const EncodedImage> find(const PdfObject* image) const;
    // Keeps `encoded` for `image` while the cache has room.
    void keep(const PdfObject* image, std::shared_ptr<const EncodedImage> encoded);

private:
    mutable std::shared_mutex mutex_;  // guards entries_ and kept_
    std::unordered_map<const PdfObject*, std::shared_ptr<const EncodedImage>> entries_;
    size_t kept_ = 0;
};

// One record per placement that names an image, in placement order. A placement names its
// image object (resolved where it was drawn); a placement with a name but no object is looked
// up by name in the resources' XObject dictionary. `resources` also gives inline images their
// named colour spaces. Never fails: a placement that names no image is left out; an image that
// cannot be decoded keeps its record with empty data.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc);
// The same with another bound on the page's image bytes than kMaxPageImageBytes.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes);
// The same, adding to `bytes_read` every image byte read, decoded or copied, those of data left
// out for the bound included: the work done, for a caller that bounds a whole document. With
// a cache, images are shared with the other pages of the document.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes, std::uint64_t& bytes_read,
                                           ImageCache* cache = nullptr);

// The family name of an image's colour space: a name as it stands, or the first name of an
// array ("Unknown" for an array that does not start with one); references are followed, and
// a name that the resources' ColorSpace dictionary defines (inline images) gives the name of
// what it defines. "DeviceGray" for an image mask, "DeviceRGB" when absent.
std::string extract_colorspace(const PdfObject& image, const Document& doc,
                               const PdfObject* resources = nullptr);
// The names of the Filter entry (a name, or the names of an array, references followed),
// abbreviations spelt out, in order.
std::vector<std::string> extract_filter(const PdfObject& image, const Document& doc);
// "jpeg" or "jpx" when the first image codec of the chain is DCTDecode or JPXDecode, else "png".
std::string filter_to_ext(const std::vector<std::string>& filters);
// The data of one image object (an image XObject, or an inline image's stream): the filters
// before an image codec undone, with their predictors; then JPEG and JPEG 2000 data as it is,
// and everything else, CCITT fax and JBIG2 included, as a PNG file of the image's samples in
// gray, RGB or a palette. Empty data when the image cannot be decoded at all or is larger
// than kMaxImageSampleBytes or `max_bytes`.
EncodedImage encode_image(const PdfObject& image, const Document& doc, const PdfObject* resources,
                          size_t max_bytes = kMaxPageImageBytes);

}  // namespace vellix
