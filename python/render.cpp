#include "render.h"

#include <cstdint>
#include <cstring>
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

// One rendering: the keys, and the last font name, size and colour made, which the next span
// reuses when it has the same (most spans of a page do), so that a page's thousands of spans
// share a few of these immutable objects instead of making one each.
struct Renderer {
    const Keys& keys;
    std::string last_font;
    PyRef last_font_text;
    double last_size = 0;
    PyRef last_size_value;
    std::uint32_t last_color = 0;
    PyRef last_color_value;

    PyRef font_text(std::string_view name) {
        if (!last_font_text || name != last_font) {
            last_font_text = make_text(name);
            if (!last_font_text) return {};
            last_font.assign(name);
        }
        return PyRef::borrow(last_font_text.get());
    }
    // Compared bit for bit, so that 0.0 and -0.0 (and NaNs) keep their own objects.
    PyRef size_value(double size) {
        if (!last_size_value || std::memcmp(&size, &last_size, sizeof size) != 0) {
            last_size_value = make_float(size);
            if (!last_size_value) return {};
            last_size = size;
        }
        return PyRef::borrow(last_size_value.get());
    }
    PyRef color_value(std::uint32_t color) {
        if (!last_color_value || color != last_color) {
            last_color_value = make_uint(color);
            if (!last_color_value) return {};
            last_color = color;
        }
        return PyRef::borrow(last_color_value.get());
    }

    PyRef span(const TextSpan& span) {
        PyRef dict = new_dict();
        if (!dict) return {};
        if (!set_item(dict.get(), keys.bbox, make_bbox(span.bbox)) ||
            !set_item(dict.get(), keys.text, make_text(span.text)) ||
            !set_item(dict.get(), keys.font, font_text(span.font)) ||
            !set_item(dict.get(), keys.size, size_value(span.size)) ||
            !set_item(dict.get(), keys.color, color_value(span.color))) {
            return {};
        }
        return dict;
    }

    PyRef line(const TextLine& line) {
        PyRef dict = new_dict();
        if (!dict || !set_item(dict.get(), keys.bbox, make_bbox(line.bbox))) return {};
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
