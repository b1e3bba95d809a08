// Image placements resolved to image XObjects: lookup through the page and one level of forms,
// the fields of each record, and the data of each filter kind.
#include "image.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "document.h"
#include "parser/object.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using testing::flate;
using testing::open_bytes;
using testing::PdfBuilder;
using testing::stream_body;

// One object parsed from text. The text must outlive the object, which borrows from it.
PdfObject parse(std::string_view text) {
    Cursor cur{as_bytes(text)};
    Result<PdfObject> obj = parse_object(cur);
    EXPECT_TRUE(obj.has_value()) << text;
    return obj ? std::move(*obj) : PdfObject();
}

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// A one-page document (objects 1 to 3) with the given objects from 10 on.
DocPtr doc_with(const std::map<std::uint32_t, std::string>& objects) {
    PdfBuilder b = testing::pages_pdf_with({""}, /*first=*/3, /*step=*/1);
    for (const auto& [n, body] : objects) b.add(n, body);
    Result<DocPtr> doc = open_bytes(b.build());
    EXPECT_TRUE(doc.has_value()) << doc.error().display();
    return doc ? std::move(*doc) : nullptr;
}

// The record of image 10, an image stream with `entries` and `stored` data, drawn at
// (1, 2, 3, 4) as /Im1.
ExtractedImage image_record(const std::string& entries, const std::string& stored) {
    DocPtr doc = doc_with({{10, stream_body("/Type /XObject /Subtype /Image " + entries, stored)}, {11, "7"}});
    const PdfObject resources = parse("<< /XObject << /Im1 10 0 R >> >>");
    std::vector<ExtractedImage> images = doc ? resolve_images({{"Im1", {1, 2, 3, 4}}}, resources, *doc)
                                             : std::vector<ExtractedImage>{};
    EXPECT_EQ(images.size(), 1u);
    return images.empty() ? ExtractedImage{} : images[0];
}

TEST(ResolveImages, DataAndExtensionByFilter) {
    const std::string samples = "\x01\x02\x03\xFF rgb samples", jpeg = "\xFF\xD8\xFF\xE0 jpeg bytes \xFF\xD9";
    const struct { const char* what; std::string filter, stored, ext, data; } cases[] = {
        {"DCTDecode keeps the JPEG as stored", "/Filter /DCTDecode", jpeg, "jpeg", jpeg},
        {"JPXDecode keeps the stored bytes", "/Filter [/JPXDecode]", jpeg, "jpx", jpeg},
        {"FlateDecode inflates the samples", "/Filter /FlateDecode", flate(samples), "png", samples},
        {"invalid zlib data gives the raw bytes", "/Filter /FlateDecode", "not zlib", "png", "not zlib"},
        {"no filter gives the raw samples", "", samples, "png", samples},
        {"other filters are not applied", "/Filter /ASCIIHexDecode", "414243>", "png", "414243>"},
        {"a filter before DCTDecode is passed over", "/Filter [/ASCII85Decode /DCTDecode]", jpeg, "jpeg", jpeg},
        // DCTDecode anywhere keeps the bytes as stored, although Flate gives the extension.
        {"Flate then DCT", "/Filter [/FlateDecode /DCTDecode]", flate(jpeg), "png", flate(jpeg)},
        {"Flate inside a chain is undone once", "/Filter [/ASCIIHexDecode /FlateDecode]", flate(samples), "png",
         samples},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ExtractedImage img = image_record("/Width 4 /Height 2 " + c.filter, c.stored);
        EXPECT_EQ(img.ext, c.ext);
        EXPECT_EQ(img.data, bytes_of(c.data));
        EXPECT_EQ(std::tuple(img.xref, img.width, img.height), std::tuple(10u, 4u, 2u));
        EXPECT_EQ(std::vector<double>(img.bbox, img.bbox + 4), (std::vector<double>{1, 2, 3, 4}));
    }
}

TEST(ResolveImages, SizeAndBitsPerComponent) {
    const struct { const char* entries; std::uint32_t width, height; std::uint8_t bpc; } cases[] = {
        {"/Width 640 /Height 480 /BitsPerComponent 1", 640, 480, 1},
        // Absent entries: size 0, eight bits. A real width is no integer; references are not
        // resolved; integers are cut to their low bits; the first of duplicate keys counts.
        {"", 0, 0, 8}, {"/Width 10.5 /Height 11 0 R /BitsPerComponent 11 0 R", 0, 0, 8},
        {"/Width 4294967297 /Height -1 /BitsPerComponent 257", 1, 0xFFFFFFFFu, 1},
        {"/Width 3 /Width 5", 3, 0, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        const ExtractedImage img = image_record(c.entries, "x");
        EXPECT_EQ(std::tuple(img.width, img.height, img.bpc), std::tuple(c.width, c.height, c.bpc));
    }
}

TEST(ResolveImages, LookupThroughPageAndForms) {
    const std::string named = "/Subtype /Form /Resources << /XObject << ";
    DocPtr doc = doc_with({
        {10, stream_body("/Subtype /Image /Width 1 /Height 1", "A")},
        {11, stream_body("/Subtype /Image /Width 2 /Height 2", "B")},
        // A form naming image 10 as ImF; a form naming a form that names image 11 (two levels).
        {20, stream_body(named + "/ImF 10 0 R >> >>", "/ImF Do")},
        {21, stream_body(named + "/Inner 22 0 R >> >>", "/Inner Do")},
        {22, stream_body(named + "/ImDeep 11 0 R >> >>", "/ImDeep Do")},
        // Forms whose resources, or whose XObject entry, are references: not searched.
        {23, stream_body("/Subtype /Form /Resources 24 0 R", "")}, {24, "<< /XObject << /ImRes 10 0 R >> >>"},
        {25, stream_body("/Subtype /Form /Resources << /XObject 26 0 R >>", "")}, {26, "<< /ImX 10 0 R >>"},
        {30, "<< /Subtype /Form >>"},
    });
    ASSERT_TRUE(doc);
    const PdfObject resources = parse(
        "<< /XObject << /Im1 10 0 R /Fm1 20 0 R /Fm2 21 0 R /Fm3 23 0 R /Fm4 25 0 R "
        "/Direct << /Subtype /Image >> /Missing 99 0 R /NotImage 30 0 R >> >>");
    // One form level is searched, not two; a form, a direct value, an object that cannot be
    // fetched and a non-image are no images.
    const struct { const char* name; std::vector<std::uint32_t> xrefs; } cases[] = {
        {"Im1", {10}}, {"ImF", {10}}, {"ImDeep", {}}, {"ImRes", {}}, {"ImX", {}}, {"Fm1", {}}, {"Direct", {}},
        {"Missing", {}}, {"NotImage", {}}, {"Nowhere", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> got;
        for (const auto& img : resolve_images({{c.name}}, resources, *doc)) got.push_back(img.xref);
        EXPECT_EQ(got, c.xrefs);
    }
    // Records follow the placements: unresolved ones are left out, repeated ones repeat.
    auto images = resolve_images(
        {{"Im1", {0, 0, 1, 1}}, {"Nowhere"}, {"ImF", {5, 5, 6, 6}}, {"Im1", {7, 7, 8, 8}}}, resources, *doc);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(std::tuple(images[0].bbox[0], images[1].bbox[0], images[2].bbox[0]), std::tuple(0, 5, 7));
    EXPECT_EQ(images[1].data, bytes_of("A"));
}

TEST(ResolveImages, ResourcesThatGiveNothing) {
    DocPtr doc = doc_with({{10, stream_body("/Subtype /Image", "A")}, {11, "<< /Im1 10 0 R >>"}});
    ASSERT_TRUE(doc);
    // The XObject dictionary by reference, an empty one, none, no dictionary at all; and only
    // the first XObject entry and the first matching key count.
    for (const char* text : {"<< /XObject 11 0 R >>", "<< /XObject << >> >>", "<< /Font << >> >>",
                             "[ /XObject << /Im1 10 0 R >> ]", "10 0 R",
                             "<< /XObject << /Im1 5 /Im1 10 0 R >> >>",
                             "<< /XObject << >> /XObject << /Im1 10 0 R >> >>"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(resolve_images({{"Im1"}}, parse(text), *doc).empty());
    }
    const PdfObject first = parse("<< /XObject << /Im1 10 0 R /Im1 99 0 R >> /XObject << >> >>");
    EXPECT_EQ(resolve_images({{"Im1"}}, first, *doc).size(), 1u);
    EXPECT_TRUE(resolve_images({}, first, *doc).empty());
}

TEST(ResolveImages, PageImageBytesAreBounded) {
    DocPtr doc = doc_with({
        {10, stream_body("/Subtype /Image /Width 5 /Height 2 /Filter /FlateDecode", flate("0123456789"))},
        {11, stream_body("/Subtype /Image /Width 3 /Height 1", "abc")},
        {12, stream_body("/Subtype /Image /Width 30 /Height 1", std::string(30, 'z'))},
    });
    ASSERT_TRUE(doc);
    const PdfObject resources = parse("<< /XObject << /Big 10 0 R /Small 11 0 R /Huge 12 0 R >> >>");
    const std::vector<ImageRef> placements = {{"Big"}, {"Huge"}, {"Big"}, {"Big"}, {"Small"}, {"Small"}};
    // 25 bytes: two copies of the ten-byte image fit, the third does not; the huge one never
    // fits; one small one still fits after that, the next one no longer does. The bytes read
    // count those dropped for the bound: ten inflated, thirty read and dropped, ten copied,
    // three read; copies that do not fit are not made.
    std::uint64_t read = 0;
    auto images = resolve_images(placements, resources, *doc, /*max_image_bytes=*/25, read);
    ASSERT_EQ(images.size(), placements.size());
    std::vector<size_t> sizes;
    for (const auto& img : images) sizes.push_back(img.data.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{10, 0, 10, 0, 3, 0}));
    EXPECT_EQ(read, 10u + 30u + 10u + 3u);
    EXPECT_EQ(images[2].data, bytes_of("0123456789"));
    // A record over the bound keeps its other fields.
    EXPECT_EQ(std::tuple(images[3].width, images[3].height, images[3].xref), std::tuple(5u, 2u, 10u));
    EXPECT_EQ(images[1].width, 30u);
    EXPECT_EQ(images[5].ext, "png");
    // The default bound holds them all.
    for (const auto& img : resolve_images(placements, resources, *doc)) EXPECT_FALSE(img.data.empty());
}

TEST(ImageDictionary, ColorspaceFilterAndExtension) {
    const struct { const char* object; const char* expected; } spaces[] = {
        {"<< /ColorSpace /DeviceGray >>", "DeviceGray"}, {"<< >>", "DeviceRGB"},
        {"<< /ColorSpace [/ICCBased 5 0 R] >>", "ICCBased"},
        {"<< /ColorSpace [/Indexed /DeviceRGB 255 <00>] >>", "Indexed"},
        {"<< /ColorSpace [] >>", "Unknown"}, {"<< /ColorSpace [5 0 R] >>", "Unknown"},
        // A reference is not followed; invalid UTF-8 is replaced; the first entry counts.
        {"<< /ColorSpace 5 0 R >>", "DeviceRGB"}, {"<< /ColorSpace 7 >>", "DeviceRGB"},
        {"<< /ColorSpace /A#ffB >>", "A\xEF\xBF\xBD" "B"}, {"[/ColorSpace /DeviceGray]", "DeviceRGB"},
        {"<< /ColorSpace /DeviceCMYK /ColorSpace /DeviceGray >>", "DeviceCMYK"},
    };
    for (const auto& c : spaces) EXPECT_EQ(extract_colorspace(parse(c.object)), c.expected) << c.object;
    using V = std::vector<std::string>;
    const struct { const char* object; V expected; } filters[] = {
        {"<< /Filter /FlateDecode >>", V{"FlateDecode"}}, {"<< /Filter [/ASCII85Decode 5 /DCTDecode (x)] >>",
                                                           V{"ASCII85Decode", "DCTDecode"}},
        {"<< /Filter [] >>", V{}}, {"<< /Filter 5 0 R >>", V{}}, {"<< >>", V{}}, {"/FlateDecode", V{}},
    };
    for (const auto& c : filters) EXPECT_EQ(extract_filter(parse(c.object)), c.expected) << c.object;
    // The first known filter decides; abbreviations are not recognised.
    const struct { V filters; const char* ext; } exts[] = {
        {V{}, "png"}, {V{"DCTDecode"}, "jpeg"}, {V{"JPXDecode"}, "jpx"}, {V{"LZWDecode"}, "png"},
        {V{"CCITTFaxDecode", "DCTDecode"}, "png"}, {V{"ASCII85Decode", "RunLengthDecode", "JPXDecode"}, "jpx"},
        {V{"DCT"}, "png"},
    };
    for (const auto& c : exts) EXPECT_EQ(filter_to_ext(c.filters), c.ext) << c.ext;
    EXPECT_TRUE(extract_image_data(parse("<< /Subtype /Image >>"), {"DCTDecode"}).empty());
}
}  // namespace
}  // namespace vellix
