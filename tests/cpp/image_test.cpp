// Image records: each colour space, bit depth, filter chain, predictor and bilevel codec written
// as a PNG file (read back here), JPEG and JPEG 2000 kept, inline images, placements resolved
// where they are drawn (forms in forms), and the bounds.
#include "image.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "extract.h"
#include "parser/filters.h"
#include "parser/inline_image.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using testing::flate, testing::stream_body;

std::string unhex(std::string_view hex) { const ByteVec v = decode_ascii_hex(as_bytes(hex)); return {v.begin(), v.end()}; }
std::string hex(Bytes b) {
    std::string out;
    for (std::uint8_t x : b) out += {"0123456789abcdef"[x >> 4], "0123456789abcdef"[x & 15]};
    return out;
}
std::uint32_t be32(Bytes b, size_t at) { return std::uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; }

// A PNG file read back: "<color>/<depth> rows=<hex of the samples> plte=<first palette bytes>",
// or what is wrong with it. Checks every chunk's CRC and that each row has filter type None or
// Up, the two the writer uses.
std::string read_png(const ImageBytes& png, std::uint32_t width, std::uint32_t height) {
    const Bytes b = png.view();
    if (b.size() < 8 || hex(b.first(8)) != "89504e470d0a1a0a") return "no signature";
    std::string idat, plte, rows;
    unsigned color = 0, depth = 0;
    for (size_t at = 8; at + 12 <= b.size();) {
        const std::uint32_t len = be32(b, at);
        if (at + 12 + len > b.size()) return "chunk past the end";
        const Bytes body = b.subspan(at + 8, len);
        if (crc32(0, b.data() + at + 4, len + 4) != be32(b, at + 8 + len)) return "bad crc";
        const std::string type(reinterpret_cast<const char*>(b.data() + at + 4), 4);
        if (type == "IHDR" && (be32(body, 0) != width || be32(body, 4) != height)) return "size differs";
        if (type == "IHDR") depth = body[8], color = body[9];
        if (type == "PLTE") plte = hex(body.first(std::min<size_t>(9, len)));
        if (type == "IDAT") idat.append(body.begin(), body.end());
        at += 12 + len;
    }
    const Result<ByteVec> raw = decompress_flate(as_bytes(idat));
    const size_t row = (size_t{width} * (color == 2 ? 3 : 1) * depth + 7) / 8;
    if (!raw || raw->size() != (row + 1) * height) return "bad idat";
    ByteVec above(row, 0), line(row);
    for (size_t y = 0; y < height; ++y) {
        const std::uint8_t type = (*raw)[y * (row + 1)];
        if (type != 0 && type != 2) return "<row filter>";
        for (size_t i = 0; i < row; ++i) line[i] = (*raw)[y * (row + 1) + 1 + i] + (type == 2 ? above[i] : 0);
        rows += hex(line);
        above = line;
    }
    return std::to_string(color) + "/" + std::to_string(depth) + " rows=" + rows + (plte.empty() ? "" : " plte=" + plte);
}

// The record of image 10 (a stream with `entries` and `stored` data) drawn by the page as /Im,
// with `objects` from 11 on.
ExtractedImage image_record(const std::string& entries, const std::string& stored, std::map<std::uint32_t, std::string> objects = {}) {
    objects[10] = stream_body("/Subtype /Image " + entries, stored);
    Result<DocPtr> doc = testing::open_bytes(testing::one_page_pdf("/Im Do", "<< /XObject << /Im 10 0 R >> >>", objects).build());
    Result<PageResult> page = extract_single_page(*doc.value(), ObjectId{3, 0}, {});
    EXPECT_TRUE(page && page->images.size() == 1);
    return page && page->images.size() == 1 ? page->images[0] : ExtractedImage{};
}

TEST(ImageRecord, ColourSpacesAndBitDepths) {
    std::string varied;
    for (int i = 0; i < 64; ++i) varied += hex(as_bytes(std::string(1, static_cast<char>(i * 37))));
    const std::string type2 = "<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0 1 0 0] /N 1 >>";
    const struct { std::string entries, stored, space, png; std::map<std::uint32_t, std::string> objects = {}; } cases[] = {
        {"/Width 3 /Height 1 /ColorSpace /DeviceGray", "0080ff", "DeviceGray", "0/8 rows=0080ff"},
        {"/Width 8 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 1", "a55a", "DeviceGray", "0/1 rows=a55a"},
        {"/Width 2 /Height 1 /ColorSpace /CalGray /BitsPerComponent 4", "3c", "CalGray", "0/4 rows=3c"},
        {"/Width 1 /Height 1 /ColorSpace [/CalRGB << >>]", "102030", "CalRGB", "2/8 rows=102030"},
        {"/Width 1 /Height 1 /ColorSpace /DeviceRGB /BitsPerComponent 16", "111122223333", "DeviceRGB", "2/16 rows=111122223333"},
        {"/Width 1 /Height 1 /ColorSpace /DeviceRGB /BitsPerComponent 2", "e4", "DeviceRGB", "2/8 rows=ffaa55"},
        // (1 - c)(1 - k) and so on.
        {"/Width 1 /Height 1 /ColorSpace /DeviceCMYK", "ff000033", "DeviceCMYK", "2/8 rows=00cccc"},
        // ICCBased by its component count, through references.
        {"/Width 2 /Height 1 /ColorSpace 11 0 R", "00ff", "ICCBased", "0/8 rows=00ff", {{11, "[/ICCBased 12 0 R]"}, {12, stream_body("/N 1", "")}}},
        // Indexed: a palette, with its lookup table as a hex string, a stream or a literal string.
        {"/Width 2 /Height 1 /ColorSpace [/Indexed /DeviceRGB 1 <ff000000ff00>]", "0001", "Indexed", "3/8 rows=0001 plte=ff000000ff00000000"},
        {"/Width 8 /Height 1 /BitsPerComponent 1 /ColorSpace [/I 11 0 R 1 12 0 R]", "0f", "Indexed",
         "3/1 rows=0f plte=ffffff000000", {{11, "/G"}, {12, stream_body("", std::string("\xff\x00", 2))}}},
        {"/Width 1 /Height 1 /ColorSpace [/Indexed /DeviceGray 0 (\\377)]", "00", "Indexed", "3/8 rows=00 plte=ffffff000000000000"},
        // Separation through an exponential tint transform into CMYK; otherwise gray by ink.
        {"/Width 2 /Height 1 /ColorSpace [/Separation /Spot /DeviceCMYK " + type2 + "]", "00ff", "Separation", "2/8 rows=ffffffff00ff"},
        {"/Width 2 /Height 1 /ColorSpace [/Separation /Spot /DeviceCMYK 11 0 R]", "00ff", "Separation", "0/8 rows=ff00",
         {{11, stream_body("/FunctionType 4 /Domain [0 1] /Range [0 1 0 1 0 1 0 1]", "{0 0 0}")}}},
        {"/Width 1 /Height 1 /ColorSpace [/DeviceN [/A /B] /DeviceCMYK 11 0 R]", "20c0", "DeviceN", "0/8 rows=3f", {{11, "<< /FunctionType 2 >>"}}},
        {"/Width 1 /Height 1 /ColorSpace [/Lab << /WhitePoint [1 1 1] >>]", "ff8080", "Lab", "0/8 rows=ff"},
        // Decode arrays; image masks paint black where the Decode array says.
        {"/Width 2 /Height 1 /ColorSpace /DeviceGray /Decode [1 0]", "00ff", "DeviceGray", "0/8 rows=ff00"},
        {"/Width 8 /Height 1 /ImageMask true", "0f", "DeviceGray", "0/1 rows=0f"}, {"/Width 8 /Height 1 /ImageMask true /Decode [1 0]", "0f", "DeviceGray", "0/1 rows=f0"},
        // A run of one value and varied samples: the writer deflates them by different means.
        {"/Width 64 /Height 2 /ColorSpace /DeviceGray", std::string(256, '7'), "DeviceGray", "0/8 rows=" + std::string(256, '7')},
        {"/Width 64 /Height 1 /ColorSpace /DeviceGray", varied, "DeviceGray", "0/8 rows=" + varied},
        // A colour space not understood: the samples per pixel decide.
        {"/Width 1 /Height 1 /ColorSpace /Pattern", "405060", "Pattern", "2/8 rows=405060"},
    };
    for (const auto& c : cases) {
        const ExtractedImage img = image_record(c.entries, unhex(c.stored), c.objects);
        EXPECT_EQ(std::tuple(img.colorspace, img.ext, img.xref, read_png(img.data, img.width, img.height)), std::tuple(c.space, "png", 10u, c.png)) << c.entries;
    }
}

TEST(ImageRecord, FilterChainsPredictorsAndCodecs) {
    const std::string samples = unhex("0102030405060708"), jpeg = "\xFF\xD8\xFF\xE0 jpeg \xFF\xD9", all = "0/8 rows=0102030405060708";
    // Group 4: two all-white rows (one V0 code each), then EOFB. JBIG2: a page information
    // segment (8 x 2, default pixel black when flag 4 is set) and an end of page.
    const std::string g4 = unhex("c0040040"), mask = "/Width 8 /Height 2 /ImageMask true ";
    auto jbig2 = [](const char* flags) { return unhex(std::string("000000003000010000001300000008000000020000000000000000") + flags + "000000000001310001" + "00000000"); };
    const struct { std::string filter, stored, ext, png; std::map<std::uint32_t, std::string> objects = {}; } cases[] = {
        {"", samples, "png", all}, {"/Filter /FlateDecode", flate(samples), "png", all},
        {"/Filter [/ASCIIHexDecode /FlateDecode]", hex(as_bytes(flate(samples))) + ">", "png", all},
        {"/Filter /ASCII85Decode", "!<N?+\"U52;~>", "png", all}, {"/Filter /RunLengthDecode", "\x07" + samples + "\x80", "png", all},
        {"/Filter /LZWDecode", unhex("800040403020140c07044040"), "png", all},
        {"/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 4 >>", flate(testing::png_up(samples, 4)), "png", all},
        {"/Filter [/AHx /Fl] /DecodeParms [null 11 0 R]", hex(as_bytes(flate(unhex("0101010105010101")))), "png", all,
         {{11, "<< /Predictor 2 /Columns 4 >>"}}}, {"/Filter 11 0 R", flate(samples), "png", all, {{11, "/FlateDecode"}}},
        // A wrong or missing check value loses nothing; a stored block cut short keeps the
        // samples before the cut.
        {"/Filter /FlateDecode", flate(samples).substr(0, flate(samples).size() - 1) + "?", "png", all},
        {"/Filter /FlateDecode", flate(samples).substr(0, flate(samples).size() - 4), "png", all},
        {"/Filter /FlateDecode", unhex("78010108 00f7ff0102030405"), "png", "0/8 rows=0102030405000000"},
        // Short data is completed with zero samples; data that does not decode at all is none.
        {"", samples.substr(0, 5), "png", "0/8 rows=0102030405000000"}, {"/Filter /FlateDecode", "not zlib", "png", "no signature"},
        // JPEG and JPEG 2000 come out as stored, after the filters in front of them.
        {"/Filter [/FlateDecode /DCTDecode]", flate(jpeg), "jpeg", jpeg}, {"/Filter /JPXDecode", jpeg, "jpx", jpeg},
        {mask + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 8 >>", g4, "png", "0/1 rows=ffff"},
        {mask + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 8 /BlackIs1 true >>", g4, "png", "0/1 rows=0000"},
        {mask + "/Filter /JBIG2Decode", jbig2("00"), "png", "0/1 rows=ffff"}, {mask + "/Filter /JBIG2Decode", jbig2("04"), "png", "0/1 rows=0000"},
        {mask + "/Filter /JBIG2Decode", "garbage", "png", "no signature"},
    };
    for (const auto& c : cases) {
        const ExtractedImage img = image_record(c.filter.starts_with("/Width") ? c.filter : "/Width 4 /Height 2 /ColorSpace /DeviceGray " + c.filter, c.stored, c.objects);
        EXPECT_EQ(std::tuple(img.ext, img.ext == "png" ? read_png(img.data, img.width, img.height) : std::string(img.data.begin(), img.data.end())),
                  std::tuple(c.ext, c.png)) << c.filter;
    }
}

// An inline image as "keys | data | the content after EI", values of names shown after "=".
std::string parsed(std::string_view content) {
    std::optional<InlineImage> img = parse_inline_image(as_bytes(content), 0);
    if (!img) return "none";
    std::string out;
    for (const DictEntry& e : img->dict) {
        const PdfObject& v = e.value.array() && !e.value.array()->empty() ? e.value.array()->front() : e.value;  // an array by its first item
        out += std::string(as_chars(e.key)) + (v.as_name() ? "=" + std::string(as_chars(*v.as_name())) : "") + " ";
    }
    return out + "| " + std::string(as_chars(img->data)) + " | " + std::string(content.substr(img->end));
}

TEST(InlineImage, DictionaryAndEnd) {
    const struct { std::string content, expected; } cases[] = {
        {" /W 2 /H 1 /CS /G /BPC 8 ID \x01\x02 EI Q", "Width Height ColorSpace=DeviceGray BitsPerComponent | \x01\x02 |  Q"},
        // The size of unfiltered samples, a Length, or the end marker of an ASCII filter finds
        // an EI that the data itself contains.
        {" /W 2 /H 1 /CS /RGB /BPC 8 ID a EI b\nEI Q", "Width Height ColorSpace=DeviceRGB BitsPerComponent | a EI b |  Q"},
        {" /L 5 /F /Fl ID x EI \nEI Q", "Length Filter=FlateDecode | x EI  |  Q"},
        {" /F [/AHx /DCT] /CS [/I /CMYK 0 <00>] ID 41 EI>\nEI Q", "Filter=ASCIIHexDecode ColorSpace=Indexed | 41 EI> |  Q"},
        // Otherwise the first EI that content follows; without one, the rest of the content.
        {" /F /CCF ID \x80 EI \x81\x82 EI (x) Tj", "Filter=CCITTFaxDecode | \x80 EI \x81\x82 |  (x) Tj"},
        {" /F /A85 /DP << /K -1 >> ID abc", "Filter=ASCII85Decode DecodeParms | abc | "}, {" /W ID x EI", "none"}, {" 5 /W ID x EI", "none"}, {" /W 1", "none"},
    };
    for (const auto& c : cases) EXPECT_EQ(parsed(c.content), c.expected) << c.content;
}

TEST(ImagePlacements, ResolvedWhereDrawn) {
    // Forms Fa and Fb name different images Im; Fb draws form Fc, which draws Im2 (two forms
    // deep); Fd has no resources and uses the page's. The inline image's data would show text
    // if it were read as content.
    std::map<std::uint32_t, std::string> objects = {
        {10, stream_body("/Subtype /Image /Width 1 /Height 1 /ColorSpace /DeviceGray", "\x10")},
        {20, stream_body("/Subtype /Form /Resources << /XObject << /Im 30 0 R >> >>", "/Im Do")},
        {21, stream_body("/Subtype /Form /Resources << /XObject << /Im 31 0 R /Fc 22 0 R >> >>", "/Im Do /Fc Do")},
        {22, stream_body("/Subtype /Form /Resources 23 0 R", "2 0 0 2 0 0 cm /Im2 Do")}, {23, "<< /XObject 24 0 R >>"},
        {24, "<< /Im2 32 0 R >>"}, {25, stream_body("/Subtype /Form", "/Im Do")},
    };
    for (std::uint32_t n : {30, 31, 32}) objects[n] = stream_body("/Subtype /Image /Width 1 /Height 1 /ColorSpace /DeviceGray", "x");
    const std::string content = "q 10 0 0 20 5 5 cm BI /W 5 /H 1 /CS /G ID (X)Tj EI Q /Fa Do /Fb Do /Fd Do /Im Do /Im Do";
    Result<DocPtr> doc = testing::open_bytes(
        testing::one_page_pdf(content, "<< /XObject << /Im 10 0 R /Fa 20 0 R /Fb 21 0 R /Fd 25 0 R >> >>", objects).build());
    Result<PageResult> page = extract_single_page(*doc.value(), ObjectId{3, 0}, {});
    ASSERT_TRUE(page && page->blocks.empty());
    std::vector<std::uint32_t> xrefs;
    for (const ExtractedImage& img : page->images) xrefs.push_back(img.xref);
    ASSERT_EQ(xrefs, (std::vector<std::uint32_t>{0, 30, 31, 32, 10, 10, 10}));
    EXPECT_EQ(std::vector<double>(page->images[0].bbox, page->images[0].bbox + 4), (std::vector<double>{5, 5, 15, 25}));
    EXPECT_EQ(std::tuple(read_png(page->images[0].data, 5, 1), page->images[3].bbox[2]), std::tuple("0/8 rows=285829546a", 2.0));
    // One image drawn twice is two records sharing their data.
    EXPECT_EQ(page->images[5].data.data(), page->images[6].data.data());
}

TEST(ImagePlacements, Bounds) {
    // Samples past kMaxImageSampleBytes, or an impossible size or depth: the record, as the
    // dictionary gives it (sizes cut to 32 bits), without data.
    const struct { const char* entries; std::uint32_t width; } cases[] = {
        {"/Width 100000 /Height 100000 /ColorSpace /DeviceCMYK", 100000}, {"/Width 1 /Height 1 /BitsPerComponent 3", 1},
        {"/Width -1 /Height 1", 0xFFFFFFFF}, {"/Width 4294967296 /Height 1", 0}};
    for (const auto& c : cases) {
        const ExtractedImage img = image_record(c.entries, "xyz");
        EXPECT_EQ(std::tuple(img.data.size(), img.ext, img.width), std::tuple(0u, "png", c.width)) << c.entries;
    }
    // 25 bytes for the page: two copies of the ten-byte JPEG fit, the third does not; the huge
    // one never does; one small one still fits after that, the next one no longer does.
    Result<DocPtr> doc = testing::open_bytes(testing::one_page_pdf("", "", {
        {10, stream_body("/Subtype /Image /Filter /DCTDecode", "0123456789")},
        {11, stream_body("/Subtype /Image /Filter /DCTDecode", "abc")}, {12, stream_body("/Subtype /Image /Filter /DCTDecode", std::string(30, 'z'))}}).build());
    const PdfObject resources = PdfDict{{as_bytes("XObject"), PdfDict{{as_bytes("Big"), ObjectId{10, 0}},
                                                                      {as_bytes("Small"), ObjectId{11, 0}}, {as_bytes("Huge"), ObjectId{12, 0}}}}};
    std::uint64_t read = 0;
    std::vector<size_t> sizes;
    std::vector<ImageRef> placements;
    for (const char* name : {"Big", "Huge", "Big", "Big", "Small", "Small"}) placements.emplace_back().name = name;
    for (const auto& img : resolve_images(placements, resources, *doc.value(), 25, read)) sizes.push_back(img.data.size());
    EXPECT_EQ(std::tuple(sizes, read), std::tuple(std::vector<size_t>{10, 0, 10, 0, 3, 0}, 10u + 30u + 10u + 3u));
}

}  // namespace
}  // namespace vellix
