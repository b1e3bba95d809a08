#include "render.h"

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellix::py {

namespace {

// Sets d[key] = value. PyDict_SetItem does not steal, so `value` is released here either way;
// a null value means its construction failed and left an exception.
bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// Fills slot i of a list made by PyList_New. PyList_SetItem steals the reference even when it
// fails, so ownership always leaves `item`.
bool set_slot(PyObject* list, size_t i, PyRef item) {
    return item && PyList_SetItem(list, static_cast<Py_ssize_t>(i), item.release()) == 0;
}

PyRef new_list(size_t size) { return PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size))); }
PyRef new_dict() { return PyRef::steal(PyDict_New()); }
PyRef make_float(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }
PyRef make_uint(unsigned long value) { return PyRef::steal(PyLong_FromUnsignedLong(value)); }

PyRef make_bbox(double x0, double y0, double x1, double y1) {
    PyRef list = new_list(4);
    if (!list || !set_slot(list.get(), 0, make_float(x0)) ||
        !set_slot(list.get(), 1, make_float(y0)) || !set_slot(list.get(), 2, make_float(x1)) ||
        !set_slot(list.get(), 3, make_float(y1))) {
        return {};
    }
    return list;
}
PyRef make_bbox(const BBox& b) { return make_bbox(b.x0, b.y0, b.x1, b.y1); }
PyRef make_bbox(const double (&b)[4]) { return make_bbox(b[0], b[1], b[2], b[3]); }

// Compared bit for bit, so that 0.0 and -0.0 (and NaNs) keep their own objects.
bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// The four coordinates of a rendered box with their float objects, for the boxes rendered
// next to or inside it to reuse where they have the same coordinate: most spans share their
// top and bottom with their line, and a line's first and last span its left and right end.
struct BoxNumbers {
    double value[4] = {};
    PyRef number[4];

    void clear() {
        for (PyRef& n : number) n = PyRef{};
    }
    // The float for `value`: one of this box's when it has that coordinate, else null.
    PyRef find(double v) const {
        for (size_t i = 0; i < 4; ++i) {
            if (number[i] && same_bits(value[i], v)) return PyRef::borrow(number[i].get());
        }
        return {};
    }
};

// The objects made for the last few values of one kind, found again by value: spans switch
// between a handful of fonts, sizes and colours (body text, bold, italic, a heading), so that a
// page's thousands of spans share a few of these immutable objects instead of making one each.
// Values are compared with ==; sizes go in as their bits, so that 0.0 and -0.0 (and NaNs)
// keep their own objects.
template <class Value>
class RecentObjects {
public:
    // Replacing the oldest entry once all are taken keeps the lookup a short scan.
    static constexpr size_t kEntries = 8;

    // The object kept for `value`, else the one `make()` gives (null on failure), kept from
    // then on.
    template <class Key, class Make>
    PyRef get(const Key& value, Make make) {
        for (size_t i = 0; i < used_; ++i) {
            if (values_[i] == value) return PyRef::borrow(objects_[i].get());
        }
        PyRef made = make();
        if (!made) return {};
        values_[next_] = Value(value);
        objects_[next_] = PyRef::borrow(made.get());
        next_ = (next_ + 1) % kEntries;
        if (used_ < kEntries) ++used_;
        return made;
    }

private:
    Value values_[kEntries] = {};
    PyRef objects_[kEntries];
    size_t used_ = 0;
    size_t next_ = 0;
};

// One rendering: the keys, and the objects spans and lines share.
struct Renderer {
    explicit Renderer(const Keys& k) : keys(k) {}

    const Keys& keys;
    RecentObjects<std::string> fonts;
    RecentObjects<std::uint64_t> sizes;
    RecentObjects<std::uint32_t> colors;
    // The box of the line being rendered and that of its span rendered last.
    BoxNumbers line_box;
    BoxNumbers last_span_box;

    // [x0, y0, x1, y1], each number taken from the box of the current line or of its last span
    // where it is the same (a line's own box, rendered with both cleared, makes its own);
    // `made` receives the numbers.
    PyRef shared_bbox(const BBox& b, BoxNumbers& made) {
        const double v[4] = {b.x0, b.y0, b.x1, b.y1};
        PyRef list = new_list(4);
        if (!list) return {};
        for (size_t i = 0; i < 4; ++i) {
            PyRef number = line_box.find(v[i]);
            if (!number) number = last_span_box.find(v[i]);
            if (!number) number = make_float(v[i]);
            if (!number) return {};
            made.value[i] = v[i];
            made.number[i] = PyRef::borrow(number.get());
            if (!set_slot(list.get(), i, std::move(number))) return {};
        }
        return list;
    }

    PyRef font_text(std::string_view name) {
        return fonts.get(name, [&] { return make_text(name); });
    }
    PyRef size_value(double size) {
        return sizes.get(std::bit_cast<std::uint64_t>(size), [&] { return make_float(size); });
    }
    PyRef color_value(std::uint32_t color) {
        return colors.get(color, [&] { return make_uint(color); });
    }

    PyRef span(const TextSpan& span) {
        PyRef dict = new_dict();
        if (!dict) return {};
        BoxNumbers box;
        if (!set_item(dict.get(), keys.bbox, shared_bbox(span.bbox, box))) return {};
        last_span_box = std::move(box);
        if (!set_item(dict.get(), keys.text, make_text(span.text)) ||
            !set_item(dict.get(), keys.font, font_text(span.font)) ||
            !set_item(dict.get(), keys.size, size_value(span.size)) ||
            !set_item(dict.get(), keys.color, color_value(span.color))) {
            return {};
        }
        return dict;
    }

    PyRef line(const TextLine& line) {
        PyRef dict = new_dict();
        if (!dict) return {};
        line_box.clear();
        last_span_box.clear();
        if (!set_item(dict.get(), keys.bbox, shared_bbox(line.bbox, line_box))) return {};
        if (!set_item(dict.get(), keys.spans, list_of(line.spans, &Renderer::span))) return {};
        return dict;
    }

    PyRef block(const TextBlock& block) {
        PyRef dict = new_dict();
        if (!dict || !set_item(dict.get(), keys.type, make_uint(0)) ||
            !set_item(dict.get(), keys.bbox, make_bbox(block.bbox))) {
            return {};
        }
        if (!set_item(dict.get(), keys.lines, list_of(block.lines, &Renderer::line))) return {};
        return dict;
    }

    PyRef image(const ExtractedImage& image) {
        PyRef dict = new_dict();
        if (!dict) return {};
        if (!set_item(dict.get(), keys.bbox, make_bbox(image.bbox)) ||
            !set_item(dict.get(), keys.width, make_uint(image.width)) ||
            !set_item(dict.get(), keys.height, make_uint(image.height)) ||
            !set_item(dict.get(), keys.bpc, make_uint(image.bpc)) ||
            !set_item(dict.get(), keys.colorspace, make_text(image.colorspace)) ||
            !set_item(dict.get(), keys.xref, make_uint(image.xref)) ||
            !set_item(dict.get(), keys.ext, make_text(image.ext)) ||
            !set_item(dict.get(), keys.image,
                      PyRef::steal(PyBytes_FromStringAndSize(
                          reinterpret_cast<const char*>(image.data.data()),
                          static_cast<Py_ssize_t>(image.data.size()))))) {
            return {};
        }
        return dict;
    }

    PyRef link(const PageLink& link) {
        PyRef dict = new_dict();
        if (!dict || !set_item(dict.get(), keys.uri, make_text(link.uri)) ||
            !set_item(dict.get(), keys.bbox, make_bbox(link.bbox)) ||
            !set_item(dict.get(), keys.page, make_uint(link.page))) {
            return {};
        }
        return dict;
    }

    // A list of one rendered item per element of `items`, made by `render`.
    template <class T, class Render>
    PyRef list_of(const std::vector<T>& items, Render render) {
        PyRef list = new_list(items.size());
        if (!list) return {};
        for (size_t i = 0; i < items.size(); ++i) {
            if (!set_slot(list.get(), i, (this->*render)(items[i]))) return {};
        }
        return list;
    }

    PyRef page(const PageExtract& page) {
        PyRef dict = new_dict();
        if (!dict || !set_item(dict.get(), keys.number, make_uint(page.number)) ||
            !set_item(dict.get(), keys.width, make_float(page.width)) ||
            !set_item(dict.get(), keys.height, make_float(page.height)) ||
            !set_item(dict.get(), keys.rotation, make_uint(page.rotation)) ||
            !set_item(dict.get(), keys.blocks, list_of(page.content.blocks, &Renderer::block)) ||
            !set_item(dict.get(), keys.images, list_of(page.content.images, &Renderer::image)) ||
            !set_item(dict.get(), keys.links, list_of(page.links, &Renderer::link))) {
            return {};
        }
        return dict;
    }
};

// The keys with their texts, in one table for init_keys and clear_keys.
struct KeyName {
    PyObject* Keys::*member;
    const char* text;
};
constexpr KeyName kKeyNames[] = {
    {&Keys::type, "type"},       {&Keys::bbox, "bbox"},
    {&Keys::lines, "lines"},     {&Keys::spans, "spans"},
    {&Keys::text, "text"},       {&Keys::font, "font"},
    {&Keys::size, "size"},       {&Keys::color, "color"},
    {&Keys::width, "width"},     {&Keys::height, "height"},
    {&Keys::bpc, "bpc"},         {&Keys::colorspace, "colorspace"},
    {&Keys::xref, "xref"},       {&Keys::ext, "ext"},
    {&Keys::image, "image"},     {&Keys::uri, "uri"},
    {&Keys::page, "page"},       {&Keys::number, "number"},
    {&Keys::rotation, "rotation"}, {&Keys::blocks, "blocks"},
    {&Keys::images, "images"},   {&Keys::links, "links"},
};
static_assert(sizeof(kKeyNames) / sizeof(kKeyNames[0]) == sizeof(Keys) / sizeof(PyObject*),
              "every key has a text");

}  // namespace

bool init_keys(Keys& keys) {
    for (const KeyName& key : kKeyNames) {
        PyObject* text = PyUnicode_InternFromString(key.text);
        if (text == nullptr) return false;
        keys.*key.member = text;
    }
    return true;
}

void clear_keys(Keys& keys) {
    for (const KeyName& key : kKeyNames) Py_CLEAR(keys.*key.member);
}

PyRef make_text(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

PyRef render_extract_result(const Keys& keys, const std::vector<PageResult>& pages) {
    size_t block_count = 0;
    size_t image_count = 0;
    for (const PageResult& page : pages) {
        block_count += page.blocks.size();
        image_count += page.images.size();
    }
    PyRef blocks = new_list(block_count);
    PyRef images = new_list(image_count);
    if (!blocks || !images) return {};
    Renderer renderer{keys};
    size_t next_block = 0;
    size_t next_image = 0;
    for (const PageResult& page : pages) {
        for (const TextBlock& block : page.blocks) {
            if (!set_slot(blocks.get(), next_block++, renderer.block(block))) return {};
        }
        for (const ExtractedImage& image : page.images) {
            if (!set_slot(images.get(), next_image++, renderer.image(image))) return {};
        }
    }
    PyRef result = new_list(2);
    if (!result || !set_slot(result.get(), 0, std::move(blocks)) ||
        !set_slot(result.get(), 1, std::move(images))) {
        return {};
    }
    return result;
}

PyRef render_file_outcome(const Keys& keys, FileOutcome& outcome) {
    auto& [path, result] = outcome;
    PyRef entry = new_list(2);
    if (!entry || !set_slot(entry.get(), 0, make_text(path))) return {};
    PyRef rendered = result ? render_extract_result(keys, result->pages) : new_list(0);
    // The file's pages are not needed any more, whether rendering worked or not.
    result = std::unexpected(ParseError{});
    if (!set_slot(entry.get(), 1, std::move(rendered))) return {};
    return entry;
}

PyRef render_links(const Keys& keys, const std::vector<PageLink>& links) {
    return Renderer{keys}.list_of(links, &Renderer::link);
}

PyRef render_pages(const Keys& keys, const std::vector<PageExtract>& pages) {
    return Renderer{keys}.list_of(pages, &Renderer::page);
}

}  // namespace vellix::py
