// Web links of a document's link annotations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parser/object.h"

namespace vellix {

class Document;

struct PageLink {
    std::string uri;
    double bbox[4] = {0, 0, 0, 0};
    std::uint32_t page = 0;  // index in the page list, from 0
};

[[nodiscard]] Result<std::vector<PageLink>> extract_links(const Document& doc);

}  // namespace vellix
