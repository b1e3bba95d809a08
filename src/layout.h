// Layout: characters into spans, one or two columns, lines and blocks, hyphenated lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parser/content_stream.h"

namespace vellix {

struct BBox {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    friend bool operator==(const BBox&, const BBox&) = default;
};

struct TextSpan {
    std::string text;
    std::string font;
    std::vector<CharInfo> chars;
    double size = 0;
    BBox bbox;
    std::uint32_t color = 0;
};

struct TextLine {
    std::vector<TextSpan> spans;
    BBox bbox;
};

struct TextBlock {
    std::vector<TextLine> lines;
    BBox bbox;
};

std::vector<TextBlock> cluster_chars(const std::vector<CharInfo>& chars, const std::string& font,
                                     std::uint32_t color, double size);
std::vector<TextLine> build_lines(std::vector<TextSpan> spans, double size);
std::vector<TextBlock> build_blocks(std::vector<TextLine> lines, double size);
std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks);

}  // namespace vellix
