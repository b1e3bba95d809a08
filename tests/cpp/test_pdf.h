// Builds small PDF files for tests, so no test counts bytes by hand. PdfWriter writes objects in
// file order and records their offsets: classic tables, cross-reference streams (stored, or
// Flate-compressed with the PNG Up predictor as real writers do), object streams, hybrid files
// and update chains. PdfBuilder collects numbered objects and writes them as one revision with
// a classic table.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "document.h"

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

inline std::string stream_body(const std::string& dict_entries, const std::string& data) {
    return "<< /Length " + std::to_string(data.size()) + " " + dict_entries + " >>\nstream\n" +
           data + "\nendstream";
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
        return object(num, stream_body(dict_entries, data));
    }

    // An object stream holding `objects` (number, text) in order; Flate-compressed on request,
    // then also with the PNG Up predictor over `columns` columns unless that is 0.
    size_t object_stream(std::uint32_t num,
                         const std::vector<std::pair<std::uint32_t, std::string>>& objects,
                         bool compress, size_t columns = 0) {
        std::string header, body;
        for (const auto& [n, text] : objects) {
            header += std::to_string(n) + " " + std::to_string(body.size()) + " ";
            body += text + "\n";
        }
        std::string data = header + body;
        const std::string dict = "/Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                                 std::to_string(header.size()) + " /Filter /FlateDecode";
        if (!compress) return stream(num, dict.substr(0, dict.find(" /Filter")), data);
        if (columns == 0) return stream(num, dict, flate(data));
        data.resize((data.size() + columns - 1) / columns * columns, ' ');
        return stream(num, dict + " /DecodeParms << /Predictor 12 /Columns " + std::to_string(columns) + " >>",
                      flate(png_up(data, columns)));
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

struct PdfBuilder {
    std::map<std::uint32_t, std::string> objects;  // number -> body without "n 0 obj"/"endobj"
    std::uint32_t root = 1;
    std::string trailer_extra;  // more trailer entries, e.g. "/Info 9 0 R"

    PdfBuilder& add(std::uint32_t num, std::string body) {
        objects[num] = std::move(body);
        return *this;
    }
    // A stream object; /Length is added in front of `dict_entries`.
    PdfBuilder& add_stream(std::uint32_t num, const std::string& dict_entries,
                           const std::string& data) {
        return add(num, stream_body(dict_entries, data));
    }

    // The whole file: one table from object 0 on, numbers without an object listed as free.
    std::string build() const {
        PdfWriter w;
        std::vector<std::uint32_t> nums, free_nums = {0};
        for (const auto& [num, body] : objects) {
            w.object(num, body);
            nums.push_back(num);
        }
        const std::uint32_t size = objects.empty() ? 1 : objects.rbegin()->first + 1;
        for (std::uint32_t n = 1; n < size; ++n) {
            if (!objects.contains(n)) free_nums.push_back(n);
        }
        w.startxref(w.table(nums, "/Size " + std::to_string(size) + " /Root " + std::to_string(root) +
                                      " 0 R " + trailer_extra, free_nums));
        return w.out;
    }
};

// Catalog 1 and page tree 2 over one page per entry: page k is object first + step * k, and
// `page_entries[k]` is added to its dictionary.
inline PdfBuilder pages_pdf_with(const std::vector<std::string>& page_entries, std::uint32_t first,
                                 std::uint32_t step) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (size_t k = 0; k < page_entries.size(); ++k) {
        const std::string num = std::to_string(first + step * k);
        kids += num + " 0 R ";
        b.add(first + static_cast<std::uint32_t>(step * k),
              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] " + page_entries[k] + " >>");
    }
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(page_entries.size()) + " >>");
    return b;
}

// A document of one page (object 3) whose content stream (object 4) is `content`;
// `resources` is the page's /Resources value (empty: none). Objects from 5 on are free
// for the test's own use (`extra`).
inline PdfBuilder one_page_pdf(const std::string& content, const std::string& resources = "",
                               const std::map<std::uint32_t, std::string>& extra = {}) {
    const std::string res = resources.empty() ? "" : " /Resources " + resources;
    PdfBuilder b = pages_pdf_with({"/Contents 4 0 R" + res}, /*first=*/3, /*step=*/1);
    b.add_stream(4, "", content);
    for (const auto& [n, body] : extra) b.add(n, body);
    return b;
}

inline std::vector<std::uint8_t> to_vec(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// Opens a document from bytes held in memory.
inline Result<DocPtr> open_bytes(const std::string& s) {
    return Document::from_mmap(MappedFile::from_vector_for_testing(to_vec(s)));
}

// The corpus of real files: VELLIX_CORPUS, or the shared corpus beside the checkout.
inline std::filesystem::path corpus_dir() {
    const char* env = std::getenv("VELLIX_CORPUS");
    return env ? std::filesystem::path(env) : std::filesystem::path(__FILE__).parent_path() / "../../../shared/corpus";
}

// The rows of the corpus's MANIFEST.tsv by column name, rows shorter than the header left out;
// none without a manifest.
inline std::vector<std::map<std::string, std::string>> corpus_manifest() {
    std::ifstream in(corpus_dir() / "MANIFEST.tsv");
    std::vector<std::string> header;
    std::vector<std::map<std::string, std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line + "\t");
        for (std::string f; std::getline(cells, f, '\t');) fields.push_back(f);
        if (header.empty()) {
            header = std::move(fields);
        } else if (fields.size() >= header.size()) {
            auto& row = rows.emplace_back();
            for (size_t i = 0; i < header.size(); ++i) row[header[i]] = fields[i];
        }
    }
    return rows;
}

}  // namespace vellix::testing
