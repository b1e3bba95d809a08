// Golden texts: what a few varied real files read as, kept under tests/golden/ (the first pages
// of each, lines as the spans joined, one per line), so that any change of the extracted words
// shows up as a failing test. VELLIX_REGEN_GOLDEN=1 rewrites the files from the current output
// instead of comparing. The PDFs come from the corpus (VELLIX_CORPUS, or the shared corpus beside
// the checkout); without it the test is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "extract.h"
#include "test_pdf.h"

namespace vellix {
namespace {

namespace fs = std::filesystem;

// Pages of each file kept: enough to show its kind of text, small enough to review a change.
constexpr size_t kGoldenPages = 2;

std::string page_text(const ExtractResult& r) {
    std::string out;
    for (size_t p = 0; p < r.pages.size() && p < kGoldenPages; ++p) {
        out += "--- page " + std::to_string(p + 1) + "\n";
        for (const TextBlock& b : r.pages[p].blocks) {
            for (const TextLine& l : b.lines) {
                for (const TextSpan& s : l.spans) out += s.text;
                out += "\n";
            }
        }
    }
    return out;
}

TEST(Golden, CorpusTexts) {
    const fs::path here = fs::path(__FILE__).parent_path(), corpus = testing::corpus_dir();
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    const char* regen = std::getenv("VELLIX_REGEN_GOLDEN");
    const bool rewrite = regen != nullptr && std::string(regen) == "1";
    const char* files[] = {
        "pdfminer.six/simple1.pdf",            // two strings of one font
        "pdf.js/issue11656.pdf",               // Hebrew drawn left to right
        "pdfplumber/issue-1054-example.pdf",   // text turned a quarter, 1 Tf and the size in Tm
        "pdfplumber/background-checks.pdf",    // a table of numbers
        "pdfplumber/senate-expenditures.pdf",  // a turned page of table rows
        "pdf.js/TAMReview.pdf",                // an HTML converter's page
        "pdf.js/tracemonkey.pdf",              // TeX: kerned TJ arrays, two columns
    };
    for (const char* file : files) {
        SCOPED_TRACE(file);
        Result<ExtractResult> r = extract((corpus / file).string(), ExtractOptions{.include_images = false});
        ASSERT_TRUE(r) << r.error().display();
        const std::string got = page_text(*r);
        std::string name = file;
        for (char& c : name) c = c == '/' ? '_' : c;
        const fs::path golden = here / "../golden" / (name + ".txt");
        if (rewrite) {
            std::ofstream(golden, std::ios::binary) << got;
            continue;
        }
        std::ifstream in(golden, std::ios::binary);
        ASSERT_TRUE(in) << "no golden text " << golden << " (VELLIX_REGEN_GOLDEN=1 writes it)";
        std::stringstream want;
        want << in.rdbuf();
        EXPECT_EQ(got, want.str());
    }
}

}  // namespace
}  // namespace vellix
