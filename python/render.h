// Rendering of the core's results into Python lists and dictionaries. Every function returns a
// new reference, or null with a Python exception set; on failure everything built so far has
// been released. All of them run on a thread that holds the interpreter lock.
#pragma once

#include <vector>

#include "extract.h"
#include "links.h"
#include "py.h"

namespace vellix::py {

// The dictionary keys of every result, made once per module as interned strings and kept in
// the module's state: a result of a hundred thousand spans then sets its keys by pointer
// instead of making and hashing "bbox" a hundred thousand times.
struct Keys {
    PyObject* type = nullptr;
    PyObject* bbox = nullptr;
    PyObject* lines = nullptr;
    PyObject* spans = nullptr;
    PyObject* text = nullptr;
    PyObject* font = nullptr;
    PyObject* size = nullptr;
    PyObject* color = nullptr;
    PyObject* width = nullptr;
    PyObject* height = nullptr;
    PyObject* bpc = nullptr;
    PyObject* colorspace = nullptr;
    PyObject* xref = nullptr;
    PyObject* ext = nullptr;
    PyObject* image = nullptr;
    PyObject* uri = nullptr;
    PyObject* page = nullptr;
    PyObject* number = nullptr;
    PyObject* rotation = nullptr;
    PyObject* blocks = nullptr;
    PyObject* images = nullptr;
    PyObject* links = nullptr;
};

// Makes every key; false with an exception set when one cannot be made (those made are kept
// for clear_keys to release).
[[nodiscard]] bool init_keys(Keys& keys);
// Releases every key that was made; safe to call more than once.
void clear_keys(Keys& keys);

// [blocks, images]: the block dictionaries of all pages, then the image dictionaries of all
// pages, each list flat and in page order.
PyRef render_extract_result(const Keys& keys, const std::vector<PageResult>& pages);

// [path, [blocks, images]] for one file of extract_many, or [path, []] when it failed. The
// file's result is released as soon as it has been rendered, so the core's results and their
// Python copies are never all alive at once.
PyRef render_file_outcome(const Keys& keys, FileOutcome& outcome);

// One {"uri", "bbox", "page"} dictionary per link, in order.
PyRef render_links(const Keys& keys, const std::vector<PageLink>& links);

// One {"number", "width", "height", "rotation", "blocks", "images", "links"} dictionary per
// page, in order.
PyRef render_pages(const Keys& keys, const std::vector<PageExtract>& pages);

// A str from UTF-8 bytes; invalid sequences become U+FFFD rather than failing the call.
PyRef make_text(std::string_view utf8);

}  // namespace vellix::py
