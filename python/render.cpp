#include "render.h"

#include <string_view>

namespace vellix::py {

namespace {

// Sets d[key] = value. PyDict_SetItemString does not steal, so `value` is released here either
// way; a null value means its construction failed and left an exception.
bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Fills slot i of a list made by PyList_New. PyList_SetItem steals the reference even when it
// fails, so ownership always leaves `item`.
bool set_slot(PyObject* list, size_t i, PyRef item) {
    return item && PyList_SetItem(list, static_cast<Py_ssize_t>(i), item.release()) == 0;
}

PyRef new_list(size_t size) { return PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size))); }

PyRef make_bbox(double x0, double y0, double x1, double y1) {
    PyRef list = new_list(4);
    if (!list) return {};
    const double corners[4] = {x0, y0, x1, y1};
    for (size_t i = 0; i < 4; ++i) {
        if (!set_slot(list.get(), i, PyRef::steal(PyFloat_FromDouble(corners[i])))) return {};
    }
    return list;
}
PyRef make_bbox(const BBox& b) { return make_bbox(b.x0, b.y0, b.x1, b.y1); }
PyRef make_bbox(const double (&b)[4]) { return make_bbox(b[0], b[1], b[2], b[3]); }

PyRef make_uint(unsigned long value) { return PyRef::steal(PyLong_FromUnsignedLong(value)); }

PyRef render_span(const TextSpan& span) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!set_item(dict.get(), "bbox", make_bbox(span.bbox)) ||
        !set_item(dict.get(), "text", make_text(span.text)) ||
        !set_item(dict.get(), "font", make_text(span.font)) ||
        !set_item(dict.get(), "size", PyRef::steal(PyFloat_FromDouble(span.size))) ||
        !set_item(dict.get(), "color", make_uint(span.color))) {
        return {};
    }
    return dict;
}

PyRef render_line(const TextLine& line) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), "bbox", make_bbox(line.bbox))) return {};
    PyRef spans = new_list(line.spans.size());
    if (!spans) return {};
    for (size_t i = 0; i < line.spans.size(); ++i) {
        if (!set_slot(spans.get(), i, render_span(line.spans[i]))) return {};
    }
    if (!set_item(dict.get(), "spans", std::move(spans))) return {};
    return dict;
}

PyRef render_block(const TextBlock& block) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), "type", PyRef::steal(PyLong_FromLong(0))) ||
        !set_item(dict.get(), "bbox", make_bbox(block.bbox))) {
        return {};
    }
    PyRef lines = new_list(block.lines.size());
    if (!lines) return {};
    for (size_t i = 0; i < block.lines.size(); ++i) {
        if (!set_slot(lines.get(), i, render_line(block.lines[i]))) return {};
    }
    if (!set_item(dict.get(), "lines", std::move(lines))) return {};
    return dict;
}

PyRef render_image(const ExtractedImage& image) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!set_item(dict.get(), "bbox", make_bbox(image.bbox)) ||
        !set_item(dict.get(), "width", make_uint(image.width)) ||
        !set_item(dict.get(), "height", make_uint(image.height)) ||
        !set_item(dict.get(), "bpc", make_uint(image.bpc)) ||
        !set_item(dict.get(), "colorspace", make_text(image.colorspace)) ||
        !set_item(dict.get(), "xref", make_uint(image.xref)) ||
        !set_item(dict.get(), "ext", make_text(image.ext)) ||
        !set_item(dict.get(), "image",
                  PyRef::steal(PyBytes_FromStringAndSize(
                      reinterpret_cast<const char*>(image.data.data()),
                      static_cast<Py_ssize_t>(image.data.size()))))) {
        return {};
    }
    return dict;
}

}  // namespace

PyRef make_text(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

PyRef render_extract_result(const std::vector<PageResult>& pages) {
    size_t block_count = 0;
    size_t image_count = 0;
    for (const PageResult& page : pages) {
        block_count += page.blocks.size();
        image_count += page.images.size();
    }
    PyRef blocks = new_list(block_count);
    PyRef images = new_list(image_count);
    if (!blocks || !images) return {};
    size_t next_block = 0;
    size_t next_image = 0;
    for (const PageResult& page : pages) {
        for (const TextBlock& block : page.blocks) {
            if (!set_slot(blocks.get(), next_block++, render_block(block))) return {};
        }
        for (const ExtractedImage& image : page.images) {
            if (!set_slot(images.get(), next_image++, render_image(image))) return {};
        }
    }
    PyRef result = new_list(2);
    if (!result || !set_slot(result.get(), 0, std::move(blocks)) ||
        !set_slot(result.get(), 1, std::move(images))) {
        return {};
    }
    return result;
}

PyRef render_file_outcome(FileOutcome& outcome) {
    auto& [path, result] = outcome;
    PyRef entry = new_list(2);
    if (!entry || !set_slot(entry.get(), 0, make_text(path))) return {};
    PyRef rendered = result ? render_extract_result(result->pages) : new_list(0);
    // The file's pages are not needed any more, whether rendering worked or not.
    result = std::unexpected(ParseError{});
    if (!set_slot(entry.get(), 1, std::move(rendered))) return {};
    return entry;
}

PyRef render_links(const std::vector<PageLink>& links) {
    PyRef list = new_list(links.size());
    if (!list) return {};
    for (size_t i = 0; i < links.size(); ++i) {
        const PageLink& link = links[i];
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "uri", make_text(link.uri)) ||
            !set_item(dict.get(), "bbox", make_bbox(link.bbox)) ||
            !set_item(dict.get(), "page", make_uint(link.page))) {
            return {};
        }
        if (!set_slot(list.get(), i, std::move(dict))) return {};
    }
    return list;
}

}  // namespace vellix::py
