// Rendering of the core's results into Python lists and dictionaries. Every function returns a
// new reference, or null with a Python exception set; on failure everything built so far has
// been released.
#pragma once

#include <vector>

#include "extract.h"
#include "links.h"
#include "py.h"

namespace vellix::py {

// [blocks, images]: the block dictionaries of all pages, then the image dictionaries of all
// pages, each list flat and in page order.
PyRef render_extract_result(const std::vector<PageResult>& pages);

// [path, [blocks, images]] for one file of extract_many, or [path, []] when it failed. The
// file's result is released as soon as it has been rendered, so the core's results and their
// Python copies are never all alive at once.
PyRef render_file_outcome(FileOutcome& outcome);

// One {"uri", "bbox", "page"} dictionary per link, in order.
PyRef render_links(const std::vector<PageLink>& links);

// A str from UTF-8 bytes; invalid sequences become U+FFFD rather than failing the call.
PyRef make_text(std::string_view utf8);

}  // namespace vellix::py
