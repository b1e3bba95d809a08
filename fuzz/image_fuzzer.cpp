// Fuzz target for image decoding: the PNG writer, the bilevel codecs and whole image objects.
//
// The first byte picks what runs on the rest:
//   0  write_png with width, height, colour type, depth and palette size taken from the next
//      bytes, the rest as rows (a valid file must start with the PNG signature)
//   1  decode_ccitt with K, columns, alignment and BlackIs1 from the next bytes
//   2  decode_jbig2 of the rest, as an 8 x 8 to 255 x 255 page
//   3  encode_image of an image object: the text up to the first NUL is its dictionary's
//      entries, the bytes after it the stream data, resolved against a small document
// Sizes are kept small so that each run stays fast; the bounds that keep real sizes in check
// are tested by the unit tests.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "document.h"
#include "image.h"
#include "image_codecs.h"
#include "parser/object.h"
#include "png.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();
}

// Catalog, pages, one page, and a few objects an image dictionary may name: an ICC profile
// stream, a lookup table stream and a JBIG2 globals stream.
const Document& small_document() {
    static const DocPtr doc = [] {
        std::string pdf = "%PDF-1.7\n";
        std::vector<size_t> offsets;
        const char* objects[] = {
            "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >>",
            "<< /N 3 /Length 0 >>\nstream\n\nendstream", "<< /Length 6 >>\nstream\n\xff\x00\x00\x00\xff\x00\nendstream",
            "<< /Length 0 >>\nstream\n\nendstream",
        };
        for (size_t i = 0; i < std::size(objects); ++i) {
            offsets.push_back(pdf.size());
            pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
        }
        const size_t xref = pdf.size();
        pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
        for (size_t off : offsets) {
            char line[24];
            std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
            pdf += line;
        }
        pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
               std::to_string(xref) + "\n%%EOF\n";
        Result<DocPtr> d = Document::from_mmap(MappedFile::from_vector_for_testing({pdf.begin(), pdf.end()}));
        check(d.has_value());
        return std::move(*d);
    }();
    return *doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const std::uint8_t* p = data + 1;
    // An exactly sized heap copy of the rest, so a read one past the end is caught.
    std::vector<std::uint8_t> rest(data + 6, data + size);
    switch (data[0] % 4) {
        case 0: {
            static constexpr PngImage::Color kColors[] = {PngImage::Color::Gray, PngImage::Color::Rgb, PngImage::Color::Palette};
            PngImage img;
            img.width = p[0] % 64;
            img.height = p[1] % 64;
            img.color = kColors[p[2] % 3];
            img.bit_depth = static_cast<std::uint8_t>(p[3] % 17);
            const size_t palette = std::min<size_t>(p[4] * 3u / 2, rest.size());
            img.palette = std::span<const std::uint8_t>(rest).first(palette);
            img.rows = std::span<const std::uint8_t>(rest).subspan(palette);
            const std::vector<std::uint8_t> png = write_png(img);
            check(png.empty() || (png.size() > 8 && png[1] == 'P' && png[2] == 'N' && png[3] == 'G'));
            break;
        }
        case 1: {
            FaxParams params;
            params.k = static_cast<std::int8_t>(p[0]) % 3;
            params.columns = 1 + p[1] % 200;
            params.byte_align = p[2] & 1;
            params.black_is_1 = p[2] & 2;
            const std::uint32_t rows = 1 + p[3] % 200;
            if (auto out = decode_ccitt(rest, params, rows)) check(out->size() == (params.columns + 7) / 8 * rows);
            break;
        }
        case 2: {
            const std::uint32_t width = 8 + p[0] % 248, height = 8 + p[1] % 248;
            if (auto out = decode_jbig2(rest, {}, width, height)) check(out->size() == (width + 7) / 8 * height);
            break;
        }
        default: {
            const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
            const std::string entries = "<< " + std::string(rest.begin(), nul) + " >>";
            Cursor cur{as_bytes(entries)};
            Result<PdfObject> dict = parse_object(cur);
            if (!dict || !dict->dict()) break;
            // Kept small: each run must stay fast.
            for (const char* key : {"Width", "Height"}) {
                const PdfObject* v = dict->get(key);
                if (v && v->as_int() && (*v->as_int() > 512 || *v->as_int() < -512)) return 0;
            }
            std::vector<std::uint8_t> stored(nul == rest.end() ? nul : nul + 1, rest.end());
            const PdfObject image(PdfStream{*dict->dict(), Bytes(stored)});
            const EncodedImage encoded = encode_image(image, small_document(), nullptr, size_t{1} << 22);
            check(encoded.ext == "png" || encoded.ext == "jpeg" || encoded.ext == "jpx");
            break;
        }
    }
    return 0;
}
