// The standard security handler: files qpdf encrypted with each revision read like their
// original; values outside the standard and other passwords are refused; AES padding, and the
// streams stored in clear.
#include "crypt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "extract.h"
#include "links.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using Vec = std::vector<std::uint8_t>;

std::filesystem::path fixture(const std::string& name) {
    const char* env = std::getenv("VELLIX_SOURCE");
    const std::filesystem::path src =
        env ? env : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    return src / "tests" / "data" / "crypt" / (name + ".pdf");
}

// The bytes of a fixture, kept for the whole run: parsed views may point into them.
const std::string& read_fixture(const std::string& name) {
    static std::map<std::string, std::string> files;
    auto [it, fresh] = files.try_emplace(name);
    if (fresh) {
        std::ifstream in(fixture(name), std::ios::binary);
        it->second.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return it->second;
}

// Everything a reader of the file gets: the text of each page, its images' data, the links,
// the /Info title and the decoded metadata stream.
std::vector<std::string> what_it_reads(const Document& doc) {
    std::vector<std::string> out;
    ExtractOptions opts;
    opts.page_parallel = false;
    const Result<ExtractResult> r = extract_doc(doc, opts);
    EXPECT_TRUE(r.has_value());
    for (const PageResult& page : r ? r->pages : std::vector<PageResult>{}) {
        out.emplace_back("page:");
        for (const TextBlock& b : page.blocks)
            for (const TextLine& l : b.lines)
                for (const TextSpan& s : l.spans) out.back() += s.text + "|";
        for (const ExtractedImage& im : page.images) out.emplace_back(im.data.begin(), im.data.end());
    }
    for (const PageLink& l : extract_links(doc).value_or(std::vector<PageLink>{})) out.push_back("link:" + l.uri);
    const Resolved title = doc.resolve_key(doc.get_object(doc.info().value_or(ObjectId{})).value_or(nullptr).get(), "Title");
    if (title && title->as_raw_string()) {
        const Vec t = decode_literal_string(*title->as_raw_string());
        out.emplace_back(t.begin(), t.end());
    }
    const Resolved metadata = doc.resolve_key(doc.get_object(doc.root())->get(), "Metadata");
    const Vec xml = metadata ? get_stream_data(*metadata).value_or(Vec{}) : Vec{};
    out.emplace_back(xml.begin(), xml.end());
    return out;
}

TEST(Crypt, EncryptedFilesReadLikeTheirOriginal) {
    if (!std::filesystem::exists(fixture("plain"))) GTEST_SKIP() << "no " << fixture("plain");
    const DocPtr plain = testing::open_bytes(read_fixture("plain")).value();
    const std::vector<std::string> expected = what_it_reads(*plain);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(expected[0], "page:Encrypted (but readable) text|");
    EXPECT_EQ(expected[2], "link:https://example.com/a(b)?q=1");
    EXPECT_EQ(expected[3], "Title (with) a \\ and a\rreturn");
    // tests/data/crypt/make_fixtures.py: RC4 of revisions 2 and 3, AES-128 (with object
    // streams, and with metadata in clear), AES-256 of revision 5 and of revision 6 (with
    // object streams).
    for (const char* name : {"rc4-40", "rc4-128", "aes-128", "aes-128-clear-metadata", "aes-256-r5", "aes-256"}) {
        SCOPED_TRACE(name);
        std::string bytes = read_fixture(name);
        Result<DocPtr> doc = testing::open_bytes(bytes);
        ASSERT_TRUE(doc.has_value()) << doc.error().display();
        EXPECT_TRUE((*doc)->encrypted());
        EXPECT_EQ(what_it_reads(**doc), expected);
        // Rebuilt by the scan, which finds the encryption in the trailer (or cross-reference
        // stream) and decrypts the object streams it indexes.
        bytes.replace(bytes.rfind("startxref") + 9, 1, "\n1");
        doc = testing::open_bytes(bytes);
        ASSERT_TRUE(doc.has_value()) << doc.error().display();
        EXPECT_TRUE((*doc)->recovered());
        EXPECT_EQ(what_it_reads(**doc), expected);
    }
    EXPECT_EQ(testing::open_bytes(read_fixture("user-password")),
              std::unexpected(ParseError::message("encrypted PDFs are not supported")));
}

// The encryption dictionary and first /ID of a fixture with a classic table.
std::pair<PdfDict, Vec> encryption_of(const std::string& name) {
    const Bytes bytes = as_bytes(read_fixture(name));
    const Trailer t = parse_xref_table(bytes, find_startxref(bytes).value()).value().trailer;
    const std::string header = "\n" + std::to_string(t.encrypt.value().num) + " 0 obj";
    Cursor cur{bytes, read_fixture(name).find(header) + header.size()};
    return {*parse_object(cur).value().dict(), t.first_id};
}

TEST(Crypt, RefusesWhatTheStandardDoesNotAllow) {
    if (!std::filesystem::exists(fixture("aes-128-clear-metadata"))) GTEST_SKIP();
    const auto aes128 = encryption_of("aes-128-clear-metadata");
    const auto rc4 = encryption_of("rc4-40");
    // Each row replaces one entry of a dictionary that opens as written ("ID" the /ID).
    const struct { const std::pair<PdfDict, Vec>* base; const char* key; const char* value; bool opens; } rows[] = {
        {&aes128, "V", "4", true}, {&aes128, "Length", "128", true}, {&rc4, "R", "2", true},
        {&aes128, "Filter", "/Adobe.PubSec", false}, {&aes128, "V", "3", false}, {&aes128, "R", "5", false},
        {&aes128, "Length", "41", false}, {&aes128, "Length", "136", false}, {&rc4, "R", "1", false},
        {&aes128, "StmF", "/Missing", false}, {&aes128, "CF", "<< /StdCF << /CFM /AESV3 >> >>", false},
        {&aes128, "StrF", "/Other", false}, {&aes128, "CF", "<< /StdCF << /CFM /Unknown >> >>", false},
        {&aes128, "O", "<00>", false}, {&aes128, "U", "()", false},
        // Each value enters the key: the empty password then no longer reproduces /U.
        {&aes128, "P", "0", false}, {&aes128, "EncryptMetadata", "true", false},
        {&aes128, "ID", "<00>", false}, {&rc4, "ID", "<00>", false}, {&rc4, "V", "2", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.key) + " " + r.value);
        PdfDict dict = r.base->first;
        Vec id = r.base->second;
        Cursor cur{as_bytes(r.value)};
        const PdfObject value = parse_object(cur).value();
        if (std::string_view(r.key) == "ID") {
            id = decode_hex_string(*value.as_raw_string());
        } else {
            auto it = std::find_if(dict.begin(), dict.end(), [&](const DictEntry& e) { return as_chars(e.key) == r.key; });
            if (it == dict.end()) it = dict.insert(dict.end(), {as_bytes(r.key), {}});
            it->value = value;
        }
        const Result<CryptHandler> h = open_crypt_handler(dict, id);
        EXPECT_EQ(h.has_value(), r.opens);
        if (!r.opens) {
            EXPECT_EQ(h.error().display(), "encrypted PDFs are not supported");
        }
    }
}

Vec aes256_cbc(const Vec& key, const Vec& iv, const Vec& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Vec out(plain.size() + 16);
    int n = 0, tail = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + tail));
    Vec data = iv;
    data.insert(data.end(), out.begin(), out.end());
    return data;
}

TEST(Crypt, AesPaddingIsChecked) {
    CryptHandler h;
    h.key.assign(32, 7);  // AES-256 uses the file key for every object
    const Vec iv(16, 3);
    auto padded = [](std::string text, std::vector<int> pad) {
        Vec v(text.begin(), text.end());
        v.insert(v.end(), pad.begin(), pad.end());
        return v;
    };
    const Vec abc = {'a', 'b', 'c'};
    const struct { const char* what; Vec data; std::optional<Vec> expected; } rows[] = {
        {"short pad", aes256_cbc(h.key, iv, padded("abc", std::vector<int>(13, 13))), abc},
        {"whole pad block", aes256_cbc(h.key, iv, padded("0123456789abcdef", std::vector<int>(16, 16))),
         Vec{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'}},
        {"pad byte 0", aes256_cbc(h.key, iv, padded("abc", std::vector<int>(13, 0))), std::nullopt},
        {"pad byte 17", aes256_cbc(h.key, iv, padded("abcdefghijklmno", {17})), std::nullopt},
        {"uneven pad", aes256_cbc(h.key, iv, padded("abc", {12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13})),
         std::nullopt},
        {"IV only", iv, std::nullopt},
        {"not whole blocks", padded("0123456789abcdef", {1, 2, 3}), std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(decrypt_bytes(h, CryptMethod::AES256, {5, 0}, r.data), r.expected);
    }
}

std::string hex(const Vec& v) {
    static const char* digits = "0123456789abcdef";
    std::string out = "<";
    for (std::uint8_t b : v) out += {digits[b >> 4], digits[b & 15]};
    return out + ">";
}

TEST(Crypt, DecryptObjectStringsAndStreams) {
    CryptHandler h;
    h.key = {1, 2, 3, 4, 5};
    h.strings = h.streams = CryptMethod::RC4;
    h.filters.push_back({{'K'}, CryptMethod::RC4});
    const ObjectId id{12, 3};
    // RC4 is its own inverse: "decrypting" the plaintext encrypts it.
    auto enc = [&](std::string s) { return hex(decrypt_bytes(h, CryptMethod::RC4, id, as_bytes(s)).value()); };
    const struct { const char* what; std::string dict; bool metadata_in_clear; const char* expected; } rows[] = {
        {"plain stream", "<< >>", false, "stream data"},
        {"cross-reference stream", "<< /Type /XRef >>", false, nullptr},
        {"metadata, encrypted", "<< /Type /Metadata >>", false, "stream data"},
        {"metadata in clear", "<< /Type /Metadata >>", true, nullptr},
        {"crypt filter, default Identity", "<< /Filter /Crypt >>", false, nullptr},
        {"crypt filter naming K", "<< /Filter [/Crypt /X] /DecodeParms [<< /Name /K >>] >>", false, "stream data"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        h.encrypt_metadata = !r.metadata_in_clear;
        Arena arena;
        const Vec cipher = decrypt_bytes(h, CryptMethod::RC4, id, as_bytes("stream data")).value();
        const std::string raw(cipher.begin(), cipher.end());
        Cursor cur{as_bytes(r.dict)};
        PdfObject obj = PdfStream{*parse_object(cur).value().dict(), as_bytes(raw)};
        ASSERT_TRUE(decrypt_object(h, id, obj, arena));
        EXPECT_EQ(as_chars(obj.stream()->data), r.expected ? std::string(r.expected) : raw);
    }
    // A crypt filter that names no filter of /CF: the stream cannot be read.
    Cursor cur{as_bytes("<< /Filter /Crypt /DecodeParms << /Name /None >> >>")};
    PdfObject unknown = PdfStream{*parse_object(cur).value().dict(), as_bytes("data")};
    Arena arena;
    EXPECT_FALSE(decrypt_object(h, id, unknown, arena));
    // Strings anywhere in the object, literal or hex, read back as their plaintext, with the
    // bytes a literal string escapes; one that does not decrypt (AES) reads as empty.
    const std::string text = "[" + enc("a(b)\\c\rd") + " << /L [" + enc("e") + "] >>]";
    Cursor tc{as_bytes(text)};
    PdfObject strings = parse_object(tc).value();
    ASSERT_TRUE(decrypt_object(h, id, strings, arena));
    auto plain = [](const PdfObject& o) {
        const Vec v = decode_literal_string(std::get<PdfString>(o.value).bytes);
        return std::string(v.begin(), v.end());
    };
    const PdfArray& a = *strings.array();
    EXPECT_EQ(plain(a[0]), "a(b)\\c\rd");
    EXPECT_EQ(plain(a[1].get("L")->array()->front()), "e");
    h.strings = CryptMethod::AES128;
    Cursor bad{as_bytes("(not sixteen)")};
    PdfObject garbage = parse_object(bad).value();
    ASSERT_TRUE(decrypt_object(h, id, garbage, arena));
    EXPECT_EQ(plain(garbage), "");
}

}  // namespace
}  // namespace vellix
