// Builds small PDF files for tests: objects are given as body text and the builder fills in
// the header, the offsets of the cross-reference table, the trailer and startxref, so no test
// counts bytes by hand.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "document.h"

namespace vellix::testing {

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
        objects[num] = "<< /Length " + std::to_string(data.size()) + " " + dict_entries +
                       " >>\nstream\n" + data + "\nendstream";
        return *this;
    }

    // The whole file. Offsets of objects are recorded in `offsets` when given.
    std::string build(std::map<std::uint32_t, size_t>* offsets = nullptr) const {
        std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
        std::map<std::uint32_t, size_t> offs;
        std::uint32_t max_num = 0;
        for (const auto& [num, body] : objects) {
            offs[num] = out.size();
            out += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
            max_num = std::max(max_num, num);
        }
        const size_t xref_at = out.size();
        out += "xref\n0 " + std::to_string(max_num + 1) + "\n";
        out += "0000000000 65535 f \n";
        for (std::uint32_t n = 1; n <= max_num; ++n) {
            char line[32];
            if (auto it = offs.find(n); it != offs.end()) {
                std::snprintf(line, sizeof line, "%010zu 00000 n \n", it->second);
            } else {
                std::snprintf(line, sizeof line, "%010u 65535 f \n", 0u);
            }
            out += line;
        }
        out += "trailer\n<< /Size " + std::to_string(max_num + 1) + " /Root " +
               std::to_string(root) + " 0 R " + trailer_extra + " >>\nstartxref\n" +
               std::to_string(xref_at) + "\n%%EOF\n";
        if (offsets) *offsets = offs;
        return out;
    }
};

// A document of one page (object 3) whose content stream (object 4) is `content`;
// `resources` is the page's /Resources value (empty: none). Objects from 5 on are free
// for the test's own use (`extra`).
inline PdfBuilder one_page_pdf(const std::string& content, const std::string& resources = "",
                               const std::map<std::uint32_t, std::string>& extra = {}) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R";
    if (!resources.empty()) page += " /Resources " + resources;
    b.add(3, page + " >>");
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

}  // namespace vellix::testing
