// Image placements resolved to image XObjects: lookup through the page and one level of forms,
// the fields of each record, and the data of each filter kind.
#include "image.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "document.h"
#include "parser/object.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using testing::open_bytes;
using testing::PdfBuilder;

// ---- Helpers ----

// One object parsed from text. The text must outlive the object, which borrows from it.
PdfObject parse(std::string_view text) {
    Cursor cur{as_bytes(text)};
    Result<PdfObject> obj = parse_object(cur);
    EXPECT_TRUE(obj.has_value()) << text;
    return obj ? std::move(*obj) : PdfObject();
}

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::uint32_t adler32(std::string_view s) {
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : s) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

// A valid zlib stream holding `s` in one stored (uncompressed) deflate block.
std::string zlib_stored(std::string_view s) {
    std::string out = "\x78\x01";
    out += '\x01';  // final block, stored
    const auto len = static_cast<std::uint16_t>(s.size());
    out += static_cast<char>(len & 0xFF);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(~len & 0xFF);
    out += static_cast<char>((~len >> 8) & 0xFF);
    out += s;
    const std::uint32_t sum = adler32(s);
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((sum >> shift) & 0xFF);
    return out;
}

ImageRef placement(std::string name, double x0 = 0, double y0 = 0, double x1 = 1, double y1 = 1) {
    ImageRef r;
    r.name = std::move(name);
    r.bbox[0] = x0;
    r.bbox[1] = y0;
    r.bbox[2] = x1;
    r.bbox[3] = y1;
    return r;
}

// A document whose objects 1 and 2 are a minimal catalog and page tree; the tests' own
// objects start at 10.
PdfBuilder base_doc() {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R >>");
    return b;
}

// ---- Record fields and data by filter ----

TEST(ResolveImages, DataAndExtensionByFilter) {
    const std::string samples = "\x01\x02\x03\xFF rgb samples";
    const std::string jpeg = "\xFF\xD8\xFF\xE0 jpeg bytes \xFF\xD9";
    const struct {
        const char* what;
        std::string dict;  // entries besides /Type /Subtype /Width /Height
        std::string stored;
        std::string ext;
        std::string data;
    } cases[] = {
        {"DCTDecode keeps the JPEG as stored", "/Filter /DCTDecode", jpeg, "jpeg", jpeg},
        {"JPXDecode keeps the stored bytes", "/Filter [/JPXDecode]", jpeg, "jpx", jpeg},
        {"FlateDecode inflates the samples", "/Filter /FlateDecode", zlib_stored(samples), "png",
         samples},
        {"invalid zlib data falls back to the raw bytes", "/Filter /FlateDecode", "not zlib", "png",
         "not zlib"},
        {"no filter gives the raw samples", "", samples, "png", samples},
        {"other filters are not applied", "/Filter /ASCIIHexDecode", "414243>", "png", "414243>"},
        {"a filter before DCTDecode is passed over", "/Filter [/ASCII85Decode /DCTDecode]", jpeg,
         "jpeg", jpeg},
        // DCTDecode anywhere keeps the bytes as stored, although Flate gives the extension.
        {"Flate then DCT", "/Filter [/FlateDecode /DCTDecode]", zlib_stored(jpeg), "png",
         zlib_stored(jpeg)},
        {"Flate inside a chain is undone once", "/Filter [/ASCIIHexDecode /FlateDecode]",
         zlib_stored(samples), "png", samples},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PdfBuilder b = base_doc();
        b.add_stream(10, "/Type /XObject /Subtype /Image /Width 4 /Height 2 " + c.dict, c.stored);
        auto doc = open_bytes(b.build());
        ASSERT_TRUE(doc) << doc.error().display();
        const PdfObject resources = parse("<< /XObject << /Im1 10 0 R >> >>");
        auto images = resolve_images({placement("Im1", 1, 2, 3, 4)}, resources, **doc);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].ext, c.ext);
        EXPECT_EQ(images[0].data, bytes_of(c.data));
        EXPECT_EQ(images[0].xref, 10u);
        EXPECT_EQ(images[0].width, 4u);
        EXPECT_EQ(images[0].height, 2u);
        EXPECT_EQ(images[0].bbox[0], 1);
        EXPECT_EQ(images[0].bbox[1], 2);
        EXPECT_EQ(images[0].bbox[2], 3);
        EXPECT_EQ(images[0].bbox[3], 4);
    }
}

TEST(ResolveImages, SizeAndBitsPerComponent) {
    const struct {
        const char* entries;
        std::uint32_t width, height;
        std::uint8_t bpc;
    } cases[] = {
        {"/Width 640 /Height 480 /BitsPerComponent 1", 640, 480, 1},
        // Absent entries: size 0, eight bits.
        {"", 0, 0, 8},
        // A real width is no integer; references are not resolved.
        {"/Width 10.5 /Height 11 0 R /BitsPerComponent 12 0 R", 0, 0, 8},
        // Integers are cut to their low bits.
        {"/Width 4294967297 /Height -1 /BitsPerComponent 257", 1, 0xFFFFFFFFu, 1},
        // The first of duplicate keys counts.
        {"/Width 3 /Width 5", 3, 0, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        PdfBuilder b = base_doc();
        b.add_stream(10, std::string("/Subtype /Image ") + c.entries, "x");
        b.add(11, "7");
        b.add(12, "4");
        auto doc = open_bytes(b.build());
        ASSERT_TRUE(doc) << doc.error().display();
        const PdfObject resources = parse("<< /XObject << /Im 10 0 R >> >>");
        auto images = resolve_images({placement("Im")}, resources, **doc);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].width, c.width);
        EXPECT_EQ(images[0].height, c.height);
        EXPECT_EQ(images[0].bpc, c.bpc);
    }
}

// ---- Lookup ----

TEST(ResolveImages, LookupThroughPageAndForms) {
    PdfBuilder b = base_doc();
    b.add_stream(10, "/Subtype /Image /Width 1 /Height 1", "A");
    b.add_stream(11, "/Subtype /Image /Width 2 /Height 2", "B");
    // A form naming image 10 as ImF.
    b.add_stream(20, "/Subtype /Form /Resources << /XObject << /ImF 10 0 R >> >>", "/ImF Do");
    // A form naming a form that names image 11 (two levels).
    b.add_stream(21, "/Subtype /Form /Resources << /XObject << /Inner 22 0 R >> >>", "/Inner Do");
    b.add_stream(22, "/Subtype /Form /Resources << /XObject << /ImDeep 11 0 R >> >>", "/ImDeep Do");
    // A form whose resources are a reference: not searched.
    b.add_stream(23, "/Subtype /Form /Resources 24 0 R", "");
    b.add(24, "<< /XObject << /ImRes 10 0 R >> >>");
    // A form whose XObject entry is a reference: not searched.
    b.add_stream(25, "/Subtype /Form /Resources << /XObject 26 0 R >>", "");
    b.add(26, "<< /ImX 10 0 R >>");
    // Not an image.
    b.add(30, "<< /Subtype /Form >>");
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc) << doc.error().display();
    const PdfObject resources = parse(
        "<< /XObject << /Im1 10 0 R /Fm1 20 0 R /Fm2 21 0 R /Fm3 23 0 R /Fm4 25 0 R "
        "/Direct << /Subtype /Image >> /Missing 99 0 R /NotImage 30 0 R >> >>");

    const struct {
        const char* name;
        std::vector<std::uint32_t> xrefs;
    } cases[] = {
        {"Im1", {10}},
        {"ImF", {10}},       // one form level
        {"ImDeep", {}},      // two form levels: not found
        {"ImRes", {}},
        {"ImX", {}},
        {"Fm1", {}},         // a form is no image
        {"Direct", {}},      // a direct value is no reference, and no form names it
        {"Missing", {}},     // the fetch fails
        {"NotImage", {}},
        {"Nowhere", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto images = resolve_images({placement(c.name)}, resources, **doc);
        std::vector<std::uint32_t> got;
        for (const auto& img : images) got.push_back(img.xref);
        EXPECT_EQ(got, c.xrefs);
    }

    // Records follow the placements: unresolved ones are left out, repeated ones repeat.
    auto images = resolve_images(
        {placement("Im1", 0, 0, 1, 1), placement("Nowhere"), placement("ImF", 5, 5, 6, 6),
         placement("Im1", 7, 7, 8, 8)},
        resources, **doc);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].bbox[0], 0);
    EXPECT_EQ(images[1].bbox[0], 5);
    EXPECT_EQ(images[2].bbox[0], 7);
    EXPECT_EQ(images[1].data, bytes_of("A"));
}

TEST(ResolveImages, ResourcesThatGiveNothing) {
    PdfBuilder b = base_doc();
    b.add_stream(10, "/Subtype /Image", "A");
    b.add(11, "<< /Im1 10 0 R >>");
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc) << doc.error().display();
    const char* cases[] = {
        "<< /XObject 11 0 R >>",  // the XObject dictionary by reference
        "<< /XObject << >> >>",
        "<< /Font << >> >>",
        "[ /XObject << /Im1 10 0 R >> ]",
        "10 0 R",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        const PdfObject resources = parse(text);
        EXPECT_TRUE(resolve_images({placement("Im1")}, resources, **doc).empty());
    }
    // The first XObject entry counts, and the first matching key.
    const PdfObject first = parse("<< /XObject << /Im1 10 0 R /Im1 99 0 R >> /XObject << >> >>");
    EXPECT_EQ(resolve_images({placement("Im1")}, first, **doc).size(), 1u);
    const PdfObject first_key = parse("<< /XObject << /Im1 5 /Im1 10 0 R >> >>");
    EXPECT_TRUE(resolve_images({placement("Im1")}, first_key, **doc).empty());
    // No placements, no work.
    EXPECT_TRUE(resolve_images({}, first, **doc).empty());
}

TEST(ResolveImages, PageImageBytesAreBounded) {
    PdfBuilder b = base_doc();
    b.add_stream(10, "/Subtype /Image /Width 5 /Height 2 /Filter /FlateDecode",
                 zlib_stored("0123456789"));
    b.add_stream(11, "/Subtype /Image /Width 3 /Height 1", "abc");
    b.add_stream(12, "/Subtype /Image /Width 30 /Height 1", std::string(30, 'z'));
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc) << doc.error().display();
    const PdfObject resources = parse("<< /XObject << /Big 10 0 R /Small 11 0 R /Huge 12 0 R >> >>");
    const std::vector<ImageRef> placements = {placement("Big"),  placement("Huge"), placement("Big"),
                                              placement("Big"),  placement("Small"), placement("Small")};
    // 25 bytes: two copies of the ten-byte image fit, the third does not; the huge one never
    // fits; one small one still fits after that, the next one no longer does.
    auto images = resolve_images(placements, resources, **doc, /*max_image_bytes=*/25);
    ASSERT_EQ(images.size(), placements.size());
    std::vector<size_t> sizes;
    for (const auto& img : images) sizes.push_back(img.data.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{10, 0, 10, 0, 3, 0}));
    // A record over the bound keeps its other fields.
    EXPECT_EQ(images[1].width, 30u);
    EXPECT_EQ(images[3].width, 5u);
    EXPECT_EQ(images[3].height, 2u);
    EXPECT_EQ(images[3].xref, 10u);
    EXPECT_EQ(images[5].ext, "png");
    EXPECT_EQ(images[2].data, bytes_of("0123456789"));
    // The bytes read count those dropped for the bound: ten inflated, thirty read and dropped,
    // ten copied, three read; copies that do not fit are not made.
    std::uint64_t read = 0;
    auto counted = resolve_images(placements, resources, **doc, /*max_image_bytes=*/25, read);
    EXPECT_EQ(counted.size(), placements.size());
    EXPECT_EQ(read, 10u + 30u + 10u + 3u);
    // The default bound holds them all.
    auto all = resolve_images(placements, resources, **doc);
    ASSERT_EQ(all.size(), placements.size());
    for (const auto& img : all) EXPECT_FALSE(img.data.empty());
}

// ---- Colour spaces, filters, extensions ----

TEST(ExtractColorspace, ByEntryKind) {
    const struct {
        const char* object;
        const char* expected;
    } cases[] = {
        {"<< /ColorSpace /DeviceGray >>", "DeviceGray"},
        {"<< >>", "DeviceRGB"},
        {"<< /ColorSpace [/ICCBased 5 0 R] >>", "ICCBased"},
        {"<< /ColorSpace [/Indexed /DeviceRGB 255 <00>] >>", "Indexed"},
        {"<< /ColorSpace [] >>", "Unknown"},
        {"<< /ColorSpace [5 0 R] >>", "Unknown"},
        {"<< /ColorSpace 5 0 R >>", "DeviceRGB"},  // a reference is not followed
        {"<< /ColorSpace 7 >>", "DeviceRGB"},
        {"<< /ColorSpace /A#ffB >>", "A\xEF\xBF\xBD" "B"},  // invalid UTF-8 replaced
        {"[/ColorSpace /DeviceGray]", "DeviceRGB"},
        {"<< /ColorSpace /DeviceCMYK /ColorSpace /DeviceGray >>", "DeviceCMYK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.object);
        EXPECT_EQ(extract_colorspace(parse(c.object)), c.expected);
    }
}

TEST(ExtractFilter, NamesInOrder) {
    using V = std::vector<std::string>;
    const struct {
        const char* object;
        V expected;
    } cases[] = {
        {"<< /Filter /FlateDecode >>", V{"FlateDecode"}},
        {"<< /Filter [/ASCII85Decode 5 /DCTDecode (x)] >>", V{"ASCII85Decode", "DCTDecode"}},
        {"<< /Filter [] >>", V{}},
        {"<< /Filter 5 0 R >>", V{}},
        {"<< >>", V{}},
        {"/FlateDecode", V{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.object);
        EXPECT_EQ(extract_filter(parse(c.object)), c.expected);
    }
}

TEST(FilterToExt, FirstKnownFilterDecides) {
    using V = std::vector<std::string>;
    const struct {
        V filters;
        const char* ext;
    } cases[] = {
        {V{}, "png"},
        {V{"DCTDecode"}, "jpeg"},
        {V{"JPXDecode"}, "jpx"},
        {V{"LZWDecode"}, "png"},
        {V{"CCITTFaxDecode", "DCTDecode"}, "png"},
        {V{"ASCII85Decode", "RunLengthDecode", "JPXDecode"}, "jpx"},
        {V{"DCT"}, "png"},  // abbreviations are not recognised
    };
    for (const auto& c : cases) EXPECT_EQ(filter_to_ext(c.filters), c.ext);
}

TEST(ExtractImageData, NonStreamIsEmpty) {
    EXPECT_TRUE(extract_image_data(parse("<< /Subtype /Image >>"), {"DCTDecode"}).empty());
}

}  // namespace
}  // namespace vellix
