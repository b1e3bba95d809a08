#include "image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <optional>
#include <string_view>

#include "document.h"
#include "image_codecs.h"
#include "parser/filters.h"
#include "png.h"

namespace vellix {
namespace {

// ---------------------------------------------------------------------------------------
// Reading entries, references followed

std::optional<std::int64_t> int_value(const Document& doc, const PdfObject* obj, std::string_view key) {
    const Resolved v = doc.resolve_key(obj, key);
    return v ? v->as_int() : std::nullopt;
}

bool bool_value(const Document& doc, const PdfObject* obj, std::string_view key) {
    const Resolved v = doc.resolve_key(obj, key);
    return v && v->as_bool().value_or(false);
}

std::vector<double> numbers(const Document& doc, const PdfObject* obj, std::string_view key) {
    std::vector<double> out;
    const Resolved v = doc.resolve_key(obj, key);
    if (!v || !v->array()) return out;
    for (const PdfObject& e : *v->array()) {
        const Resolved n = doc.resolve(&e);
        out.push_back(n ? n->as_number().value_or(0.0) : 0.0);
    }
    return out;
}

// The bytes of a string, or the decoded data of a stream.
std::vector<std::uint8_t> string_or_stream(const Resolved& v) {
    if (!v) return {};
    if (const auto* s = std::get_if<PdfString>(&v->value)) return decode_literal_string(s->bytes);
    if (const auto* h = std::get_if<PdfHexString>(&v->value)) return decode_hex_string(h->bytes);
    if (const PdfStream* stream = v->stream()) {
        if (const PdfObject* filter = v->get("Filter")) {
            Result<ByteVec> d = decompress_stream(stream->data, *filter);
            return d ? std::move(*d) : std::vector<std::uint8_t>{};
        }
        return {stream->data.begin(), stream->data.end()};
    }
    return {};
}

std::uint8_t to_byte(double x) {
    if (!(x > 0)) return 0;
    if (x >= 1) return 255;
    return static_cast<std::uint8_t>(x * 255.0 + 0.5);
}

// ---------------------------------------------------------------------------------------
// Colour spaces (ISO 32000-1, 8.6)

enum class Family : std::uint8_t { Gray, Rgb, Cmyk, Lab, Indexed, Tint, Unknown };

struct ColorSpace {
    Family family = Family::Unknown;
    unsigned comps = 1;
    std::vector<double> decode_default;  // two numbers per component
    // Indexed: the highest index and the colour of each index as RGB.
    unsigned hival = 0;
    std::vector<std::uint8_t> palette;
    // Separation (and DeviceN of one colorant): the RGB colour of each tint byte, when the
    // tint transform could be evaluated into a device space; empty otherwise (drawn as gray).
    std::vector<std::uint8_t> tint_rgb;
};

ColorSpace simple(Family f, unsigned comps) {
    ColorSpace cs;
    cs.family = f;
    cs.comps = comps;
    cs.decode_default.reserve(2 * size_t{comps});
    for (unsigned i = 0; i < comps; ++i) {
        cs.decode_default.push_back(0.0);
        cs.decode_default.push_back(1.0);
    }
    return cs;
}

std::optional<Family> device_family(Bytes name) {
    const std::string_view n = as_chars(name);
    if (n == "DeviceGray" || n == "G" || n == "CalGray") return Family::Gray;
    if (n == "DeviceRGB" || n == "RGB" || n == "CalRGB") return Family::Rgb;
    if (n == "DeviceCMYK" || n == "CMYK") return Family::Cmyk;
    return std::nullopt;
}

// RGB of one colour given as component bytes (each 0 to 255 over the component's range).
void to_rgb(const ColorSpace& cs, const std::uint8_t* c, std::uint8_t* rgb) {
    switch (cs.family) {
        case Family::Rgb: rgb[0] = c[0]; rgb[1] = c[1]; rgb[2] = c[2]; return;
        case Family::Cmyk: {
            // (1 - c)(1 - k) and so on: no colour management, as for the colours of text.
            const unsigned k = 255u - c[3];
            for (int i = 0; i < 3; ++i) rgb[i] = static_cast<std::uint8_t>((255u - c[i]) * k / 255u);
            return;
        }
        case Family::Indexed: {
            const unsigned i = std::min<unsigned>(c[0], cs.hival);
            std::copy_n(cs.palette.data() + 3 * i, 3, rgb);
            return;
        }
        case Family::Tint:
            if (!cs.tint_rgb.empty()) {
                std::copy_n(cs.tint_rgb.data() + 3 * c[0], 3, rgb);
                return;
            }
            rgb[0] = rgb[1] = rgb[2] = static_cast<std::uint8_t>(255 - c[0]);
            return;
        default: rgb[0] = rgb[1] = rgb[2] = c[0]; return;  // gray, the lightness of Lab
    }
}

ColorSpace parse_colorspace(const Document& doc, const PdfObject* value, const PdfObject* resources,
                            unsigned depth);

// Type 2 (exponential) functions, which most Separation tint transforms are; nothing for the
// other function types.
std::optional<std::vector<double>> exponential(const Document& doc, const PdfObject* fn, double x) {
    if (int_value(doc, fn, "FunctionType") != 2) return std::nullopt;
    std::vector<double> c0 = numbers(doc, fn, "C0"), c1 = numbers(doc, fn, "C1");
    if (c0.empty()) c0 = {0.0};
    if (c1.empty()) c1 = {1.0};
    const Resolved n_entry = doc.resolve_key(fn, "N");
    const double n = n_entry ? n_entry->as_number().value_or(1.0) : 1.0;
    const std::vector<double> domain = numbers(doc, fn, "Domain");
    if (domain.size() >= 2) x = std::clamp(x, std::min(domain[0], domain[1]), std::max(domain[0], domain[1]));
    const double xn = std::pow(x, n);
    std::vector<double> out(std::min(c0.size(), c1.size()));
    for (size_t i = 0; i < out.size(); ++i) out[i] = c0[i] + xn * (c1[i] - c0[i]);
    return out;
}

// Separation, or DeviceN with one colorant: through the alternate space when it is a device
// space and the tint transform can be evaluated, else as gray (no ink white, full ink black).
ColorSpace tint_space(const Document& doc, const PdfArray& arr, unsigned comps, const PdfObject* resources,
                      unsigned depth) {
    ColorSpace cs = simple(Family::Tint, comps);
    if (comps != 1 || arr.size() < 4) return cs;
    const ColorSpace alt = parse_colorspace(doc, &arr[2], resources, depth + 1);
    if (alt.family != Family::Gray && alt.family != Family::Rgb && alt.family != Family::Cmyk) return cs;
    const Resolved fn = doc.resolve(&arr[3]);
    if (!fn) return cs;
    std::vector<std::uint8_t> lut(256 * 3);
    for (unsigned t = 0; t < 256; ++t) {
        const std::optional<std::vector<double>> out = exponential(doc, fn.get(), t / 255.0);
        if (!out || out->size() < alt.comps) return cs;
        std::array<std::uint8_t, 4> c{};
        for (unsigned i = 0; i < alt.comps; ++i) c[i] = to_byte((*out)[i]);
        to_rgb(alt, c.data(), lut.data() + 3 * t);
    }
    cs.tint_rgb = std::move(lut);
    return cs;
}

ColorSpace indexed_space(const Document& doc, const PdfArray& arr, const PdfObject* resources, unsigned depth) {
    ColorSpace cs = simple(Family::Indexed, 1);
    if (arr.size() < 4) return simple(Family::Unknown, 1);
    const ColorSpace base = parse_colorspace(doc, &arr[1], resources, depth + 1);
    const Resolved hival = doc.resolve(&arr[2]);
    cs.hival = static_cast<unsigned>(std::clamp<std::int64_t>(hival ? hival->as_int().value_or(0) : 0, 0, 255));
    const std::vector<std::uint8_t> lookup = string_or_stream(doc.resolve(&arr[3]));
    const unsigned n = base.family == Family::Indexed || base.family == Family::Unknown ? 1 : base.comps;
    cs.palette.resize(3 * (cs.hival + 1));
    for (unsigned i = 0; i <= cs.hival; ++i) {
        std::array<std::uint8_t, 32> c{};
        for (unsigned k = 0; k < n && k < c.size(); ++k) {
            const size_t at = size_t{i} * n + k;
            c[k] = at < lookup.size() ? lookup[at] : 0;
        }
        to_rgb(base, c.data(), cs.palette.data() + 3 * i);
    }
    return cs;
}

ColorSpace parse_colorspace(const Document& doc, const PdfObject* value, const PdfObject* resources,
                            unsigned depth) {
    if (depth > kMaxColorSpaceDepth) return simple(Family::Unknown, 1);
    const Resolved v = doc.resolve(value);
    if (!v) return simple(Family::Unknown, 1);
    if (std::optional<Bytes> name = v->as_name()) {
        if (std::optional<Family> f = device_family(*name)) return simple(*f, *f == Family::Gray ? 1 : *f == Family::Rgb ? 3 : 4);
        // A name the resources define (inline images name them so).
        if (resources) {
            const Resolved spaces = doc.resolve_key(resources, "ColorSpace");
            if (spaces && spaces->dict()) {
                if (const PdfObject* def = dict_get(*spaces->dict(), as_chars(*name))) {
                    return parse_colorspace(doc, def, nullptr, depth + 1);
                }
            }
        }
        return simple(Family::Unknown, 1);
    }
    const PdfArray* arr = v->array();
    if (!arr || arr->empty()) return simple(Family::Unknown, 1);
    const Resolved head = doc.resolve(&arr->front());
    const std::optional<Bytes> family = head ? head->as_name() : std::nullopt;
    if (!family) return simple(Family::Unknown, 1);
    const std::string_view f = as_chars(*family);
    if (std::optional<Family> dev = device_family(*family)) return simple(*dev, *dev == Family::Gray ? 1 : *dev == Family::Rgb ? 3 : 4);
    if (f == "ICCBased" && arr->size() >= 2) {
        const Resolved stream = doc.resolve(&(*arr)[1]);
        switch (int_value(doc, stream.get(), "N").value_or(0)) {
            case 1: return simple(Family::Gray, 1);
            case 3: return simple(Family::Rgb, 3);
            case 4: return simple(Family::Cmyk, 4);
            default: break;
        }
        if (stream) {
            if (const PdfObject* alt = stream->get("Alternate")) return parse_colorspace(doc, alt, resources, depth + 1);
        }
        return simple(Family::Unknown, 1);
    }
    if (f == "Lab") {
        ColorSpace cs = simple(Family::Lab, 3);
        std::vector<double> range = arr->size() >= 2 ? numbers(doc, doc.resolve(&(*arr)[1]).get(), "Range") : std::vector<double>{};
        if (range.size() < 4) range = {-100, 100, -100, 100};
        cs.decode_default = {0, 100, range[0], range[1], range[2], range[3]};
        return cs;
    }
    if (f == "Indexed" || f == "I") return indexed_space(doc, *arr, resources, depth);
    if (f == "Separation") return tint_space(doc, *arr, 1, resources, depth);
    if (f == "DeviceN" && arr->size() >= 2) {
        const Resolved names = doc.resolve(&(*arr)[1]);
        const size_t n = names && names->array() ? names->array()->size() : 0;
        // The format allows 32 colorants (Annex C).
        if (n < 1 || n > 32) return simple(Family::Unknown, 1);
        return tint_space(doc, *arr, static_cast<unsigned>(n), resources, depth);
    }
    return simple(Family::Unknown, 1);
}

// ---------------------------------------------------------------------------------------
// Samples to PNG

struct Layout {
    std::uint32_t width = 0, height = 0;
    unsigned comps = 1, bpc = 8;
    size_t stride = 0;  // bytes of one row
};

std::vector<std::uint8_t> png_of(const Layout& l, PngImage::Color color, unsigned depth, Bytes rows,
                                 Bytes palette = {}) {
    PngImage img;
    img.width = l.width;
    img.height = l.height;
    img.color = color;
    img.bit_depth = static_cast<std::uint8_t>(depth);
    img.rows = rows;
    img.palette = palette;
    return write_png(img);
}

bool is_default(const std::vector<double>& decode, const std::vector<double>& dflt) {
    if (decode.size() < dflt.size()) return true;  // a short array is not applied
    for (size_t i = 0; i < dflt.size(); ++i) {
        if (decode[i] != dflt[i]) return false;
    }
    return true;
}

// Every image that is not written directly: samples read one by one, each component mapped
// through a table from its sample value (16-bit samples by their high byte) over the Decode
// range to a byte, each pixel converted to 8-bit gray or RGB.
std::vector<std::uint8_t> convert(const Layout& l, const ColorSpace& cs, const std::vector<double>& decode,
                                  Bytes samples) {
    const unsigned bits = std::min(l.bpc, 8u);
    const unsigned levels = 1u << bits;
    const double maxv = levels - 1;
    std::vector<std::array<std::uint8_t, 256>> lut(l.comps);
    for (unsigned c = 0; c < l.comps; ++c) {
        const double dmin = decode[2 * c], dmax = decode[2 * c + 1];
        for (unsigned v = 0; v < levels; ++v) {
            const double x = dmin + v * (dmax - dmin) / maxv;
            if (cs.family == Family::Indexed) {
                lut[c][v] = static_cast<std::uint8_t>(std::clamp(std::lround(x), 0L, static_cast<long>(cs.hival)));
            } else if (cs.family == Family::Lab) {
                lut[c][v] = c == 0 ? to_byte(x / 100.0) : 0;
            } else {
                lut[c][v] = to_byte(x);
            }
        }
    }
    const bool gray = cs.family == Family::Gray || cs.family == Family::Lab ||
                      (cs.family == Family::Tint && cs.tint_rgb.empty()) || cs.family == Family::Unknown;
    const unsigned out_comps = gray ? 1 : 3;
    // A palette of 1-bit indices becomes 24 bits a pixel: the converted pixels are bounded as
    // the samples are.
    if (std::uint64_t{l.width} * l.height * out_comps > kMaxImageSampleBytes) return {};
    std::vector<std::uint8_t> padded;
    if (samples.size() < l.stride * size_t{l.height}) {
        padded.assign(samples.begin(), samples.end());
        padded.resize(l.stride * size_t{l.height}, 0);
        samples = padded;
    }
    std::vector<std::uint8_t> out(size_t{l.width} * l.height * out_comps);
    std::array<std::uint8_t, 32> px{};
    for (std::uint32_t y = 0; y < l.height; ++y) {
        const std::uint8_t* row = samples.data() + size_t{y} * l.stride;
        std::uint8_t* dst = out.data() + size_t{y} * l.width * out_comps;
        size_t s = 0;  // sample index in the row
        for (std::uint32_t x = 0; x < l.width; ++x) {
            for (unsigned c = 0; c < l.comps; ++c, ++s) {
                unsigned v;
                if (l.bpc == 8) v = row[s];
                else if (l.bpc == 16) v = row[2 * s];
                else v = (row[s * l.bpc / 8] >> (8 - l.bpc - (s * l.bpc) % 8)) & (levels - 1);
                px[c] = lut[c][v];
            }
            if (cs.family == Family::Tint && cs.tint_rgb.empty()) {
                // Several colorants, or a transform not evaluated: the most ink decides.
                std::uint8_t ink = 0;
                for (unsigned c = 0; c < l.comps; ++c) ink = std::max(ink, px[c]);
                dst[x] = static_cast<std::uint8_t>(255 - ink);
            } else if (gray) {
                dst[x] = px[0];
            } else {
                to_rgb(cs, px.data(), dst + 3 * size_t{x});
            }
        }
    }
    return png_of(l, gray ? PngImage::Color::Gray : PngImage::Color::Rgb, 8, out);
}

std::vector<std::uint8_t> samples_to_png(const Layout& l, const ColorSpace& cs, const std::vector<double>& decode,
                                         Bytes samples, bool mask) {
    if (mask) {
        // An image mask paints where its samples are 0 (Decode [0 1]) or 1 (Decode [1 0]);
        // painted pixels become black.
        if (decode.size() >= 2 && decode[0] > decode[1]) {
            std::vector<std::uint8_t> inverted(samples.begin(), samples.end());
            for (std::uint8_t& b : inverted) b = static_cast<std::uint8_t>(~b);
            return png_of(l, PngImage::Color::Gray, 1, inverted);
        }
        return png_of(l, PngImage::Color::Gray, 1, samples);
    }
    const bool plain = is_default(decode, cs.decode_default);
    if (cs.family == Family::Indexed && l.bpc <= 8) {
        const bool identity = decode.size() < 2 || (decode[0] == 0 && decode[1] == (1u << l.bpc) - 1);
        if (identity) {
            // Every index a sample can hold gets an entry, and no more (PNG allows 2^depth):
            // indices past the palette's end are black, as they would be drawn.
            std::vector<std::uint8_t> palette(cs.palette);
            palette.resize(3 * (size_t{1} << l.bpc), 0);
            return png_of(l, PngImage::Color::Palette, l.bpc, samples, palette);
        }
    }
    if (plain && cs.family == Family::Gray) return png_of(l, PngImage::Color::Gray, l.bpc, samples);
    if (plain && cs.family == Family::Rgb && l.bpc >= 8) return png_of(l, PngImage::Color::Rgb, l.bpc, samples);
    std::vector<double> dec = plain || decode.size() < 2 * cs.comps ? cs.decode_default : decode;
    if (cs.family == Family::Indexed && (plain || decode.size() < 2)) dec = {0, double((1u << std::min(l.bpc, 8u)) - 1)};
    return convert(l, cs, dec, samples);
}

// ---------------------------------------------------------------------------------------
// Filters

struct Chain {
    std::vector<Bytes> names;               // full names
    std::vector<const PdfObject*> parms;    // parallel, null where none
    std::vector<Resolved> holders;
};

Chain read_chain(const PdfObject& image, const Document& doc) {
    Chain chain;
    const Resolved filter = doc.resolve_key(&image, "Filter");
    const Resolved parms = doc.resolve_key(&image, "DecodeParms");
    auto parm_at = [&](size_t i) -> const PdfObject* {
        if (!parms) return nullptr;
        if (const PdfArray* arr = parms->array()) {
            if (i >= arr->size()) return nullptr;
            chain.holders.push_back(doc.resolve(&(*arr)[i]));
            return chain.holders.back().get();
        }
        return i == 0 ? parms.get() : nullptr;
    };
    chain.holders.push_back(filter);
    chain.holders.push_back(parms);
    if (!filter) return chain;
    if (std::optional<Bytes> name = filter->as_name()) {
        chain.names.push_back(full_filter_name(*name));
        chain.parms.push_back(parm_at(0));
    } else if (const PdfArray* arr = filter->array()) {
        for (size_t i = 0; i < arr->size() && chain.names.size() < kMaxFilterChain; ++i) {
            const Resolved n = doc.resolve(&(*arr)[i]);
            if (std::optional<Bytes> name = n ? n->as_name() : std::nullopt) {
                chain.names.push_back(full_filter_name(*name));
                chain.parms.push_back(parm_at(i));
            }
        }
    }
    return chain;
}

// The name a record reports, with the abbreviations of inline images (ISO 32000-1, Table 94)
// spelt out.
std::string full_colorspace_name(Bytes name) {
    const std::string_view n = as_chars(name);
    if (n == "G") return "DeviceGray";
    if (n == "RGB") return "DeviceRGB";
    if (n == "CMYK") return "DeviceCMYK";
    if (n == "I") return "Indexed";
    return lossy_utf8(name);
}

bool is_codec(Bytes name) {
    return bytes_equal(name, "DCTDecode") || bytes_equal(name, "JPXDecode") ||
           bytes_equal(name, "CCITTFaxDecode") || bytes_equal(name, "JBIG2Decode");
}

}  // namespace

// ---------------------------------------------------------------------------------------

std::shared_ptr<const EncodedImage> ImageCache::find(const PdfObject* image) const {
    std::shared_lock lock(mutex_);
    auto it = entries_.find(image);
    return it == entries_.end() ? nullptr : it->second;
}

void ImageCache::keep(const PdfObject* image, std::shared_ptr<const EncodedImage> encoded) {
    std::unique_lock lock(mutex_);
    if (encoded->data.size() > kMaxCachedImageBytes - kept_ || entries_.count(image)) return;
    kept_ += encoded->data.size();
    entries_.emplace(image, std::move(encoded));
}

std::string extract_colorspace(const PdfObject& image, const Document& doc, const PdfObject* resources) {
    if (bool_value(doc, &image, "ImageMask")) return "DeviceGray";
    Resolved cs = doc.resolve_key(&image, "ColorSpace");
    for (unsigned depth = 0; cs && depth < kMaxColorSpaceDepth; ++depth) {
        if (std::optional<Bytes> name = cs->as_name()) {
            // A name the resources define stands for what it defines.
            if (resources && !device_family(*name) && as_chars(*name) != "Pattern") {
                const Resolved spaces = doc.resolve_key(resources, "ColorSpace");
                if (spaces && spaces->dict()) {
                    if (const PdfObject* def = dict_get(*spaces->dict(), as_chars(*name))) {
                        cs = doc.resolve(def);
                        resources = nullptr;
                        continue;
                    }
                }
            }
            return full_colorspace_name(*name);
        }
        if (const PdfArray* arr = cs->array()) {
            const Resolved head = arr->empty() ? Resolved{} : doc.resolve(&arr->front());
            if (std::optional<Bytes> first = head ? head->as_name() : std::nullopt) return full_colorspace_name(*first);
            return "Unknown";
        }
        break;
    }
    return "DeviceRGB";
}

std::vector<std::string> extract_filter(const PdfObject& image, const Document& doc) {
    std::vector<std::string> out;
    for (Bytes name : read_chain(image, doc).names) out.push_back(lossy_utf8(name));
    return out;
}

std::string filter_to_ext(const std::vector<std::string>& filters) {
    for (const std::string& f : filters) {
        if (f == "DCTDecode") return "jpeg";
        if (f == "JPXDecode") return "jpx";
        if (is_codec(as_bytes(f))) return "png";
    }
    return "png";
}

EncodedImage encode_image(const PdfObject& image, const Document& doc, const PdfObject* resources,
                          size_t max_bytes) {
    EncodedImage result;
    const PdfStream* stream = image.stream();
    if (!stream) return result;
    const Chain chain = read_chain(image, doc);
    result.bytes_read += stream->data.size();

    const bool mask = bool_value(doc, &image, "ImageMask");
    Layout l;
    const std::int64_t w = int_value(doc, &image, "Width").value_or(0);
    const std::int64_t h = int_value(doc, &image, "Height").value_or(0);
    l.bpc = mask ? 1 : static_cast<unsigned>(std::clamp<std::int64_t>(int_value(doc, &image, "BitsPerComponent").value_or(8), 0, 64));
    ColorSpace cs = mask ? simple(Family::Gray, 1)
                         : parse_colorspace(doc, doc.resolve_key(&image, "ColorSpace").get(), resources, 0);
    const bool sizes_ok = w > 0 && h > 0 && w <= UINT32_MAX && h <= UINT32_MAX &&
                          (l.bpc == 1 || l.bpc == 2 || l.bpc == 4 || l.bpc == 8 || l.bpc == 16);

    // The filters up to the first image codec, each with its predictor.
    std::vector<std::uint8_t> current;
    Bytes data = stream->data;
    size_t i = 0;
    for (; i < chain.names.size() && !is_codec(chain.names[i]); ++i) {
        // The last stage may give the samples and a PNG predictor's type bytes, and a little
        // over; earlier stages are bounded by the page.
        size_t cap = std::min<size_t>(max_bytes, kMaxDecodedStreamSize);
        const bool samples_next = i + 1 == chain.names.size() && sizes_ok;
        if (samples_next) {
            const std::uint64_t comps = cs.family == Family::Unknown ? 4 : cs.comps;
            const std::uint64_t samples =
                (std::uint64_t(w) * comps * l.bpc + 7) / 8 * std::uint64_t(h) + std::uint64_t(h) + 1024;
            cap = static_cast<size_t>(std::min<std::uint64_t>(samples, kMaxImageSampleBytes * 2));
        }
        Result<ByteVec> next = decode_image_filter(data, chain.names[i], cap, samples_next);
        if (!next) return result;  // corrupt before anything decoded: no data
        if (chain.parms[i]) {
            Result<ByteVec> predicted = apply_predictor(std::move(*next), *chain.parms[i]);
            if (!predicted) return result;
            next = std::move(predicted);
        }
        current = std::move(*next);
        data = current;
        result.bytes_read += current.size();
    }
    if (i < chain.names.size() && bytes_equal(chain.names[i], "DCTDecode")) {
        result.ext = "jpeg";
        if (data.size() <= max_bytes) result.data = ImageBytes({data.begin(), data.end()});
        return result;
    }
    if (i < chain.names.size() && bytes_equal(chain.names[i], "JPXDecode")) {
        result.ext = "jpx";
        if (data.size() <= max_bytes) result.data = ImageBytes({data.begin(), data.end()});
        return result;
    }
    if (!sizes_ok) return result;
    l.width = static_cast<std::uint32_t>(w);
    l.height = static_cast<std::uint32_t>(h);

    std::optional<std::vector<std::uint8_t>> bilevel;
    if (i < chain.names.size()) {
        // CCITT fax and JBIG2 give one 1-bit component, whatever the dictionary says.
        l.bpc = 1;
        if (!mask && cs.family != Family::Indexed) cs = simple(Family::Gray, 1);
        const PdfObject* parms = chain.parms[i];
        if (bytes_equal(chain.names[i], "CCITTFaxDecode")) {
            FaxParams p;
            p.k = int_value(doc, parms, "K").value_or(0);
            p.columns = static_cast<std::uint32_t>(std::clamp<std::int64_t>(int_value(doc, parms, "Columns").value_or(1728), 1, UINT32_MAX));
            p.byte_align = bool_value(doc, parms, "EncodedByteAlign");
            p.black_is_1 = bool_value(doc, parms, "BlackIs1");
            if (std::uint64_t{p.columns} * l.height <= kMaxBilevelPixels) {
                bilevel = decode_ccitt(data, p, l.height);
                if (bilevel && p.columns != l.width) {
                    // Rows of Columns samples, re-packed into rows of Width samples.
                    const size_t from = (p.columns + 7) / 8, to = (l.width + 7) / 8;
                    std::vector<std::uint8_t> rows(to * l.height, 0xFF);
                    for (std::uint32_t y = 0; y < l.height; ++y) {
                        std::copy_n(bilevel->data() + y * from, std::min(from, to), rows.data() + y * to);
                    }
                    bilevel = std::move(rows);
                }
            }
        } else if (bytes_equal(chain.names[i], "JBIG2Decode")) {
            const std::vector<std::uint8_t> globals = string_or_stream(doc.resolve_key(parms, "JBIG2Globals"));
            bilevel = decode_jbig2(data, globals, l.width, l.height);
        }
        if (!bilevel) return result;
        current = std::move(*bilevel);
        data = current;
        result.bytes_read += current.size();
    }

    if (cs.family == Family::Unknown) {
        // A colour space not understood: the sample count decides between gray, RGB and CMYK.
        const std::uint64_t one = (std::uint64_t{l.width} * l.bpc + 7) / 8 * l.height;
        if (data.size() >= 4 * one) cs = simple(Family::Cmyk, 4);
        else if (data.size() >= 3 * one) cs = simple(Family::Rgb, 3);
        else cs = simple(Family::Gray, 1);
    }
    l.comps = cs.comps;
    const std::uint64_t stride = (std::uint64_t{l.width} * l.comps * l.bpc + 7) / 8;
    const std::uint64_t expected = stride * l.height;
    if (expected > kMaxImageSampleBytes || data.empty()) return result;
    l.stride = static_cast<size_t>(stride);
    // Short data is completed with zero samples (when written, without a padded copy), surplus
    // data ignored: the rows present are the image as far as the file has it.
    const std::vector<double> decode = numbers(doc, &image, "Decode");
    std::vector<std::uint8_t> png =
        samples_to_png(l, cs, decode, data.first(std::min<size_t>(data.size(), static_cast<size_t>(expected))), mask);
    result.bytes_read += png.size();
    if (png.size() <= max_bytes) result.data = ImageBytes(std::move(png));
    return result;
}

namespace {

// The image object a placement names: its own, or the resources' entry for its name.
struct Named {
    ObjPtr object;
    std::uint32_t num = 0;
};

Named named_image(const ImageRef& placement, const PdfObject& resources, const Document& doc) {
    if (placement.object) return {placement.object, placement.id.num};
    if (placement.name.empty() || !resources.dict()) return {};
    const Resolved xobjects = doc.resolve_key(&resources, "XObject");
    if (!xobjects || !xobjects->dict()) return {};
    const PdfObject* value = dict_get(*xobjects->dict(), placement.name);
    const std::optional<ObjectId> ref = value ? value->as_ref() : std::nullopt;
    if (!ref) return {};
    Result<ObjPtr> fetched = doc.get_object(*ref);
    if (!fetched || !*fetched) return {};
    return {std::move(*fetched), ref->num};
}

std::vector<ExtractedImage> resolve_within(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_bytes, std::uint64_t* bytes_read, ImageCache* cache) {
    std::vector<ExtractedImage> images;
    // An image drawn several times on a page is decoded once; each placement is a record.
    std::unordered_map<const PdfObject*, std::optional<size_t>> first_record;
    // Names without an object are looked up once per page: a page may draw one of them many
    // times (a form drawing an image that does not exist, thousands of times).
    std::unordered_map<std::string_view, Named> by_name;
    size_t budget = max_bytes;
    for (const ImageRef& placement : placements) {
        Named named{placement.object, placement.id.num};
        if (!named.object && !placement.name.empty()) {
            auto [it, fresh] = by_name.try_emplace(placement.name);
            if (fresh) it->second = named_image(placement, resources, doc);
            named = it->second;
        }
        if (!named.object) continue;
        const PdfObject& image = *named.object;
        ExtractedImage out;
        if (auto seen = first_record.find(&image); seen != first_record.end()) {
            if (!seen->second) continue;  // not an image
            const ExtractedImage& first = images[*seen->second];
            out = first;
            if (first.data.size() > budget) out.data = ImageBytes();
            if (bytes_read) *bytes_read += out.data.size();
        } else {
            const bool is_inline = named.num == 0;
            const PdfObject* subtype = image.get("Subtype");
            if (!image.dict() || (!is_inline && !(subtype && subtype->is_name("Image")))) {
                first_record.emplace(&image, std::nullopt);
                continue;
            }
            const auto dim = [&](std::string_view key, std::int64_t fallback) {
                return int_value(doc, &image, key).value_or(fallback);
            };
            // Sizes are cut to their low bits; the stored values, not those of the PNG.
            out.width = static_cast<std::uint32_t>(dim("Width", 0));
            out.height = static_cast<std::uint32_t>(dim("Height", 0));
            out.bpc = static_cast<std::uint8_t>(dim("BitsPerComponent", bool_value(doc, &image, "ImageMask") ? 1 : 8));
            out.colorspace = extract_colorspace(image, doc, &resources);
            std::shared_ptr<const EncodedImage> encoded = (cache && !is_inline) ? cache->find(&image) : nullptr;
            if (!encoded) {
                auto fresh = std::make_shared<EncodedImage>(encode_image(image, doc, &resources, kMaxPageImageBytes));
                encoded = fresh;
                if (cache && !is_inline) cache->keep(&image, encoded);
            }
            out.ext = encoded->ext;
            if (encoded->data.size() <= budget) out.data = encoded->data;
            if (bytes_read) *bytes_read += encoded->bytes_read;
            first_record.emplace(&image, images.size());
        }
        budget -= out.data.size();
        std::copy(std::begin(placement.bbox), std::end(placement.bbox), std::begin(out.bbox));
        out.xref = named.num;
        images.push_back(std::move(out));
    }
    return images;
}

}  // namespace

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc) {
    return resolve_within(placements, resources, doc, kMaxPageImageBytes, nullptr, nullptr);
}

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes) {
    return resolve_within(placements, resources, doc, max_image_bytes, nullptr, nullptr);
}

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& placements,
                                           const PdfObject& resources, const Document& doc,
                                           size_t max_image_bytes, std::uint64_t& bytes_read,
                                           ImageCache* cache) {
    return resolve_within(placements, resources, doc, max_image_bytes, &bytes_read, cache);
}

}  // namespace vellix
