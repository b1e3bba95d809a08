#include "image.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "document.h"
#include "parser/filters.h"

namespace vellix {
namespace {

// The first XObject entry of a resources dictionary when it is a non-empty dictionary given
// directly; a reference there is not followed.
const PdfDict* direct_xobjects(const PdfObject& resources) {
    const PdfObject* xobjects = resources.get("XObject");
    if (!xobjects) return nullptr;
    const PdfDict* dict = std::get_if<PdfDict>(&xobjects->value);
    if (!dict || dict->empty()) return nullptr;
    return dict;
}

// The object number of the first entry named `name` when its value is a reference.
std::optional<std::uint32_t> referenced_number(const PdfDict& xobjects, Bytes name) {
    for (const DictEntry& e : xobjects) {
        if (!bytes_equal(e.key, name)) continue;
        if (std::optional<ObjectId> ref = e.value.as_ref()) return ref->num;
        return std::nullopt;  // the first matching key decides
    }
    return std::nullopt;
}

bool has_subtype(const PdfObject& obj, std::string_view subtype) {
    const PdfObject* s = obj.get("Subtype");
    return s && s->is_name(subtype);
}

// One level of forms: an image named inside the XObject resources of a form that the page
// lists directly. Forms inside forms are not searched.
std::optional<std::uint32_t> find_in_forms(const PdfDict& page_xobjects, Bytes name,
                                           const Document& doc) {
    for (const DictEntry& e : page_xobjects) {
        std::optional<ObjectId> ref = e.value.as_ref();
        if (!ref) continue;
        Result<ObjPtr> form = doc.get_object(*ref);
        if (!form || !*form) continue;
        const PdfObject& f = **form;
        if (!f.dict() || !has_subtype(f, "Form")) continue;
        const PdfObject* resources = f.get("Resources");
        if (!resources || !resources->dict()) continue;
        const PdfDict* inner = direct_xobjects(*resources);
        if (!inner) continue;
        if (std::optional<std::uint32_t> num = referenced_number(*inner, name)) return num;
    }
    return std::nullopt;
}

bool contains(const std::vector<std::string>& filters, std::string_view name) {
    return std::find(filters.begin(), filters.end(), name) != filters.end();
}

}  // namespace

namespace {

std::vector<ExtractedImage> resolve_within(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_bytes, std::uint64_t* bytes_read) {
    std::vector<ExtractedImage> images;
    if (placements.empty() || !resources.dict()) return images;
    const PdfDict* xobjects = direct_xobjects(resources);
    if (!xobjects) return images;

    // A page may draw one name many times. The name's object number, and the record made for
    // that number (or that it is no image), are worked out once per page: the fields depend on
    // the image object alone, so a repeated placement copies the first record instead of
    // searching the forms, fetching and inflating again.
    std::unordered_map<std::string_view, std::optional<std::uint32_t>> number_of_name;
    std::unordered_map<std::uint32_t, std::optional<size_t>> first_record;
    size_t budget = max_bytes;
    for (const ImageRef& placement : placements) {
        auto [named, fresh] = number_of_name.try_emplace(placement.name);
        if (fresh) {
            const Bytes name = as_bytes(placement.name);
            named->second = referenced_number(*xobjects, name);
            if (!named->second) named->second = find_in_forms(*xobjects, name, doc);
        }
        const std::optional<std::uint32_t> num = named->second;
        if (!num) continue;

        ExtractedImage out;
        if (auto seen = first_record.find(*num); seen != first_record.end()) {
            if (!seen->second) continue;  // not an image
            const ExtractedImage& first = images[*seen->second];
            out.colorspace = first.colorspace;
            out.ext = first.ext;
            out.width = first.width;
            out.height = first.height;
            out.bpc = first.bpc;
            // Empty data stays empty: it was empty in the file, or did not fit a budget that
            // has only shrunk since.
            if (first.data.size() <= budget) {
                out.data = first.data;
                if (bytes_read) *bytes_read += out.data.size();
            }
        } else {
            Result<ObjPtr> fetched = doc.get_object(ObjectId{*num, 0});
            if (!fetched || !*fetched || !(*fetched)->dict() || !has_subtype(**fetched, "Image")) {
                first_record.emplace(*num, std::nullopt);
                continue;
            }
            const PdfObject& image = **fetched;
            // Entries given by reference are not resolved and count as absent.
            if (const PdfObject* w = image.get("Width")) {
                if (std::optional<std::int64_t> v = w->as_int()) out.width = static_cast<std::uint32_t>(*v);
            }
            if (const PdfObject* h = image.get("Height")) {
                if (std::optional<std::int64_t> v = h->as_int()) out.height = static_cast<std::uint32_t>(*v);
            }
            if (const PdfObject* b = image.get("BitsPerComponent")) {
                if (std::optional<std::int64_t> v = b->as_int()) out.bpc = static_cast<std::uint8_t>(*v);
            }
            out.colorspace = extract_colorspace(image);
            std::vector<std::string> filters = extract_filter(image);
            out.ext = filter_to_ext(filters);
            if (budget > 0) {
                out.data = extract_image_data(image, filters);
                if (bytes_read) *bytes_read += out.data.size();
                if (out.data.size() > budget) out.data = {};
            }
            first_record.emplace(*num, images.size());
        }
        budget -= out.data.size();
        std::copy(std::begin(placement.bbox), std::end(placement.bbox), std::begin(out.bbox));
        out.xref = *num;
        images.push_back(std::move(out));
    }
    return images;
}

}  // namespace

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc) {
    return resolve_within(placements, resources, doc, kMaxPageImageBytes, nullptr);
}

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes) {
    return resolve_within(placements, resources, doc, max_image_bytes, nullptr);
}

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes, std::uint64_t& bytes_read) {
    return resolve_within(placements, resources, doc, max_image_bytes, &bytes_read);
}

std::string extract_colorspace(const PdfObject& image) {
    const PdfObject* cs = image.get("ColorSpace");
    if (!cs) return "DeviceRGB";
    if (std::optional<Bytes> name = cs->as_name()) return lossy_utf8(*name);
    if (const PdfArray* arr = cs->array()) {
        if (!arr->empty()) {
            if (std::optional<Bytes> first = arr->front().as_name()) return lossy_utf8(*first);
        }
        return "Unknown";
    }
    // A reference (often to an ICCBased array) is not followed.
    return "DeviceRGB";
}

std::vector<std::string> extract_filter(const PdfObject& image) {
    std::vector<std::string> filters;
    const PdfObject* f = image.get("Filter");
    if (!f) return filters;
    if (std::optional<Bytes> name = f->as_name()) {
        filters.push_back(lossy_utf8(*name));
    } else if (const PdfArray* arr = f->array()) {
        for (const PdfObject& element : *arr) {
            if (std::optional<Bytes> n = element.as_name()) filters.push_back(lossy_utf8(*n));
        }
    }
    return filters;
}

std::string filter_to_ext(const std::vector<std::string>& filters) {
    for (const std::string& f : filters) {
        if (f == "DCTDecode") return "jpeg";
        if (f == "JPXDecode") return "jpx";
        if (f == "FlateDecode" || f == "LZWDecode" || f == "CCITTFaxDecode") return "png";
    }
    return "png";
}

std::vector<std::uint8_t> extract_image_data(const PdfObject& image,
                                             const std::vector<std::string>& filters) {
    const PdfStream* stream = image.stream();
    if (!stream) return {};
    const Bytes raw = stream->data;
    // Encoded images are handed out as stored: their bytes are already a JPEG or JPEG 2000 file.
    if (contains(filters, "DCTDecode") || contains(filters, "JPXDecode")) {
        return {raw.begin(), raw.end()};
    }
    if (contains(filters, "FlateDecode")) {
        // Only the Flate stage is undone; other stages of the chain and predictors are not.
        if (Result<ByteVec> inflated = decompress_flate(raw)) return std::move(*inflated);
    }
    return {raw.begin(), raw.end()};
}

}  // namespace vellix
