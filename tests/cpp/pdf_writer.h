// Writes PDF files object by object for cross-reference tests: classic tables, cross-reference
// streams (stored or Flate-compressed with the PNG Up predictor, as real writers do), object
// streams, hybrid files and update chains. Offsets are recorded as objects are written, so no
// test counts bytes by hand.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vellix::testing {

inline std::string flate(const std::string& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 9);
    out.resize(size);
    return out;
}

// Rows of `columns` bytes, each prefixed with PNG filter type 2 (Up): every byte minus the
// byte above it.
inline std::string png_up(const std::string& data, size_t columns) {
    std::string out;
    std::string prev(columns, '\0');
    for (size_t row = 0; row * columns < data.size(); ++row) {
        out.push_back('\x02');
        for (size_t i = 0; i < columns; ++i) {
            const auto b = static_cast<std::uint8_t>(data[row * columns + i]);
            out.push_back(static_cast<char>(b - static_cast<std::uint8_t>(prev[i])));
        }
        prev = data.substr(row * columns, columns);
    }
    return out;
}

struct StreamEntry {
    std::uint32_t num;
    int type;          // 0 free, 1 in use, 2 compressed
    std::uint32_t f2;  // offset or object-stream number
    std::uint16_t f3;  // generation or index
};

struct PdfWriter {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::map<std::uint32_t, size_t> offsets;  // the last written offset of each object

    size_t object(std::uint32_t num, const std::string& body) {
        const size_t at = out.size();
        offsets[num] = at;
        out += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
        return at;
    }

    size_t stream(std::uint32_t num, const std::string& dict_entries, const std::string& data) {
        return object(num, "<< /Length " + std::to_string(data.size()) + " " + dict_entries +
                               " >>\nstream\n" + data + "\nendstream");
    }

    // An object stream holding `objects` (number, text) in order; Flate-compressed on request.
    size_t object_stream(std::uint32_t num,
                         const std::vector<std::pair<std::uint32_t, std::string>>& objects,
                         bool compress, const std::string& extra_entries = "") {
        std::string header, body;
        for (const auto& [n, text] : objects) {
            header += std::to_string(n) + " " + std::to_string(body.size()) + " ";
            body += text + "\n";
        }
        const std::string data = header + body;
        std::string dict = "/Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                           std::to_string(header.size()) + " " + extra_entries;
        if (compress) return stream(num, dict + " /Filter /FlateDecode", flate(data));
        return stream(num, dict, data);
    }

    // A classic table listing `nums` at their recorded offsets (free entries for numbers
    // listed in `free_nums`), then the trailer; returns the table's offset.
    size_t table(const std::vector<std::uint32_t>& nums, const std::string& trailer_entries,
                 const std::vector<std::uint32_t>& free_nums = {}) {
        std::map<std::uint32_t, std::string> lines;
        char line[32];
        for (std::uint32_t n : nums) {
            std::snprintf(line, sizeof line, "%010zu 00000 n \n", offsets.at(n));
            lines[n] = line;
        }
        for (std::uint32_t n : free_nums) lines[n] = "0000000000 65535 f \n";
        const size_t at = out.size();
        out += "xref\n";
        for (auto it = lines.begin(); it != lines.end();) {
            auto run_end = it;
            std::uint32_t count = 0;
            while (run_end != lines.end() && run_end->first == it->first + count) {
                ++run_end;
                ++count;
            }
            out += std::to_string(it->first) + " " + std::to_string(count) + "\n";
            for (; it != run_end; ++it) out += it->second;
        }
        out += "trailer\n<< " + trailer_entries + " >>\n";
        return at;
    }

    // A cross-reference stream object `num` with /W [1 4 2]; its own entry is added. Stored
    // as is, or Flate-compressed with the PNG Up predictor over 7 columns.
    size_t xref_stream(std::uint32_t num, std::vector<StreamEntry> entries,
                       const std::string& dict_entries, bool compress) {
        const size_t at = out.size();
        entries.push_back({num, 1, static_cast<std::uint32_t>(at), 0});
        std::map<std::uint32_t, StreamEntry> sorted;
        for (const StreamEntry& e : entries) sorted[e.num] = e;
        std::string data, index;
        for (auto it = sorted.begin(); it != sorted.end();) {
            std::uint32_t count = 0;
            const std::uint32_t first = it->first;
            for (; it != sorted.end() && it->first == first + count; ++it, ++count) {
                const StreamEntry& e = it->second;
                data.push_back(static_cast<char>(e.type));
                for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<char>(e.f2 >> shift));
                data.push_back(static_cast<char>(e.f3 >> 8));
                data.push_back(static_cast<char>(e.f3));
            }
            index += std::to_string(first) + " " + std::to_string(count) + " ";
        }
        std::string dict = "/Type /XRef /W [1 4 2] /Index [" + index + "] " + dict_entries;
        if (compress) {
            stream(num, dict + " /Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 7 >>",
                   flate(png_up(data, 7)));
        } else {
            stream(num, dict, data);
        }
        return at;
    }

    // Entries of type 1 for the given numbers at their recorded offsets.
    std::vector<StreamEntry> in_use(const std::vector<std::uint32_t>& nums) const {
        std::vector<StreamEntry> v;
        for (std::uint32_t n : nums) v.push_back({n, 1, static_cast<std::uint32_t>(offsets.at(n)), 0});
        return v;
    }

    void startxref(size_t offset) {
        out += "startxref\n" + std::to_string(offset) + "\n%%EOF\n";
    }
};

}  // namespace vellix::testing
