// Files qpdf rewrote (object streams, linearized, encrypted with each revision of the standard
// security handler) read like their original; the handler refuses values outside the standard
// and other passwords; AES padding; the strings and streams an object's decryption touches.
#include "crypt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "extract.h"
#include "links.h"
#include "test_pdf.h"

namespace vellix {
namespace {

using Vec = std::vector<std::uint8_t>;
const ParseError kRefused = ParseError::message("encrypted PDFs are not supported");

// The bytes of tests/data/NAME.pdf, kept for the whole run: parsed views may point into them.
const std::string& data_file(const std::string& name) {
    static std::map<std::string, std::string> files;
    auto [it, fresh] = files.try_emplace(name);
    const char* src = std::getenv("VELLIX_SOURCE");
    std::ifstream in((src ? std::filesystem::path(src) : std::filesystem::path(__FILE__).parent_path() / "../..") / "tests" /
                         "data" / (name + ".pdf"), std::ios::binary);
    if (fresh) it->second.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return it->second;
}

// What a reader gets: each page's text and image data, links, /Info title, metadata stream.
std::vector<std::string> what_it_reads(const Document& doc) {
    std::vector<std::string> out;
    for (const PageResult& page : extract_doc(doc, ExtractOptions{.page_parallel = false}).value_or(ExtractResult{}).pages) {
        out.emplace_back("page:");
        for (const TextBlock& b : page.blocks)
            for (const TextLine& l : b.lines)
                for (const TextSpan& s : l.spans) out.back() += s.text + "|";
        for (const ExtractedImage& im : page.images) out.emplace_back(im.data.begin(), im.data.end());
    }
    for (const PageLink& l : extract_links(doc).value_or(std::vector<PageLink>{})) out.push_back("link:" + l.uri);
    const Resolved title = doc.resolve_key(doc.get_object(doc.info().value_or(ObjectId{})).value_or(nullptr).get(), "Title");
    const auto* hex = title ? std::get_if<PdfHexString>(&title->value) : nullptr;
    const auto* lit = title ? std::get_if<PdfString>(&title->value) : nullptr;
    const Vec t = hex ? decode_hex_string(hex->bytes) : lit ? decode_literal_string(lit->bytes) : Vec{};
    const Resolved metadata = doc.resolve_key(doc.get_object(doc.root()).value_or(nullptr).get(), "Metadata");
    const Vec xml = metadata ? get_stream_data(*metadata).value_or(Vec{}) : Vec{};
    out.insert(out.end(), {std::string(t.begin(), t.end()), std::string(xml.begin(), xml.end())});
    return out;
}

TEST(QpdfVariants, ReadLikeTheirOriginal) {
    // tests/data/README.md and scripts/make_crypt_fixtures.py say how qpdf wrote the variants.
    if (data_file("vertical").empty()) GTEST_SKIP() << "no tests/data";
    const std::vector<std::string> plain = {"linearized", "objstm", "linearized-objstm"};
    const struct { std::string original; size_t pages; std::vector<std::string> variants; } cases[] = {
        {"vertical", 3, plain}, {"test-punkt", 4, plain}, {"standard_fonts", 14, {"linearized-objstm"}},
        // RC4 R2, R3; AES-128 (object streams; metadata in clear); AES-256 R5, R6 (object streams).
        {"crypt/plain", 1, {"rc4-40", "rc4-128", "aes-128", "aes-128-clear-metadata", "aes-256-r5", "aes-256"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.original);
        const DocPtr original = testing::open_bytes(data_file(c.original)).value();
        EXPECT_FALSE(original->recovered());
        const std::vector<std::string> expected = what_it_reads(*original);
        EXPECT_EQ(std::count_if(expected.begin(), expected.end(), [](auto& s) { return s.starts_with("page:"); }),
                  static_cast<std::ptrdiff_t>(c.pages));
        for (const std::string& variant : c.variants) {
            SCOPED_TRACE(variant);
            const std::string prefix = c.original.starts_with("crypt/") ? "crypt/" : c.original + ".";
            std::string bytes = data_file(prefix + variant);
            // With startxref broken, the scan finds pages in object streams and the encryption.
            for (bool broken : {false, true}) {
                if (broken) bytes.replace(bytes.rfind("startxref") + 9, 1, "\n1");
                Result<DocPtr> doc = testing::open_bytes(bytes);
                ASSERT_TRUE(doc.has_value()) << doc.error().display();
                EXPECT_EQ(std::pair((*doc)->recovered(), (*doc)->encrypted()), std::pair(broken, prefix == "crypt/"));
                EXPECT_EQ(what_it_reads(**doc), expected);
            }
        }
    }
    const std::vector<std::string> got = what_it_reads(*testing::open_bytes(data_file("crypt/plain")).value());
    EXPECT_EQ(got, (std::vector<std::string>{"page:Encrypted (but readable) text|", got[1], "link:https://example.com/a(b)?q=1",
                                             "Title (with) a \\ and a\rreturn", got[4]}));
    EXPECT_EQ(testing::open_bytes(data_file("crypt/user-password")), std::unexpected(kRefused));
}

TEST(Crypt, RefusesWhatTheStandardDoesNotAllow) {
    if (data_file("crypt/rc4-40").empty()) GTEST_SKIP();
    // The encryption dictionary and first /ID of a fixture with a classic table.
    auto encryption_of = [](const std::string& name) {
        const Bytes bytes = as_bytes(data_file(name));
        const Trailer t = parse_xref_table(bytes, find_startxref(bytes).value()).value().trailer;
        const std::string header = "\n" + std::to_string(t.encrypt.value().num) + " 0 obj";
        Cursor cur{bytes, data_file(name).find(header) + header.size()};
        return std::pair(*parse_object(cur).value().dict(), t.first_id);
    };
    const auto aes = encryption_of("crypt/aes-128-clear-metadata"), rc4 = encryption_of("crypt/rc4-40");
    // Each row sets one entry of a dictionary that opens as written ("ID": the /ID).
    const struct { const std::pair<PdfDict, Vec>* base; const char* key; const char* value; bool opens; } rows[] = {
        {&aes, "V", "4", true}, {&aes, "Length", "128", true}, {&rc4, "R", "2", true}, {&rc4, "V", "2", true},
        {&aes, "Filter", "/Adobe.PubSec", false}, {&aes, "V", "3", false}, {&aes, "R", "5", false},
        {&aes, "Length", "41", false}, {&aes, "Length", "136", false}, {&rc4, "R", "1", false},
        {&aes, "StmF", "/Missing", false}, {&aes, "StrF", "/Other", false},
        {&aes, "CF", "<< /StdCF << /CFM /AESV3 >> >>", false}, {&aes, "CF", "<< /StdCF << /CFM /X >> >>", false},
        {&aes, "O", "<00>", false}, {&aes, "U", "()", false},
        // Each of these enters the key: the empty password no longer reproduces /U.
        {&aes, "P", "0", false}, {&aes, "EncryptMetadata", "true", false}, {&aes, "ID", "<00>", false},
        {&rc4, "ID", "<00>", false},
    };
    for (const auto& r : rows) {
        auto [dict, id] = *r.base;
        Cursor cur{as_bytes(r.value)};
        const PdfObject value = parse_object(cur).value();
        auto it = std::find_if(dict.begin(), dict.end(), [&](const DictEntry& e) { return as_chars(e.key) == r.key; });
        if (std::string_view(r.key) == "ID") {
            id = decode_hex_string(*value.as_raw_string());
        } else {
            (it == dict.end() ? dict.emplace_back(as_bytes(r.key)).value : it->value) = value;
        }
        const Result<CryptHandler> h = open_crypt_handler(dict, id);
        EXPECT_EQ(h ? std::nullopt : std::optional(h.error()), r.opens ? std::nullopt : std::optional(kRefused))
            << r.key << " " << r.value;
    }
}

// AES padding is checked; every string and the streams not stored in clear are decrypted.
TEST(Crypt, DecryptBytesAndObjects) {
    CryptHandler h;
    h.key.assign(32, 7);  // AES-256 uses the file key for every object
    h.strings = h.streams = CryptMethod::RC4;
    h.filters.push_back({{'K'}, CryptMethod::RC4});
    const ObjectId id{12, 3};
    // IV, then the blocks of `text` followed by `pad`, encrypted.
    auto sealed = [&h](std::string text, std::vector<int> pad) {
        Vec plain(text.begin(), text.end()), out(16, 3);
        plain.insert(plain.end(), pad.begin(), pad.end());
        out.resize(16 + plain.size());
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, h.key.data(), out.data());
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, out.data() + 16, &n, plain.data(), static_cast<int>(plain.size()));
        EVP_CIPHER_CTX_free(ctx);
        return out;
    };
    const std::string sixteen = "0123456789abcdef";
    const struct { const char* what; Vec data; std::optional<std::string> expected; } aes[] = {
        {"short pad", sealed("abc", std::vector<int>(13, 13)), "abc"},
        {"whole pad block", sealed(sixteen, std::vector<int>(16, 16)), sixteen},
        {"pad byte 0", sealed("abc", std::vector<int>(13, 0)), std::nullopt},
        {"pad byte 17", sealed("abcdefghijklmno", {17}), std::nullopt},
        {"uneven pad", sealed("abc", {12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13}), std::nullopt},
        {"IV only", Vec(16, 3), std::nullopt}, {"not whole blocks", Vec(35, 3), std::nullopt},
    };
    for (const auto& r : aes) {
        const std::optional<Vec> got = decrypt_bytes(h, CryptMethod::AES256, id, r.data);
        EXPECT_EQ(got ? std::optional(std::string(got->begin(), got->end())) : std::nullopt, r.expected) << r.what;
    }
    // RC4 is its own inverse: "decrypting" the plaintext encrypts it.
    auto rc4 = [&](std::string_view s) {
        const Vec v = decrypt_bytes(h, CryptMethod::RC4, id, as_bytes(s)).value();
        return std::string(v.begin(), v.end());
    };
    auto read = [](std::string_view text) {
        Cursor cur{as_bytes(text)};
        return parse_object(cur).value();
    };
    const std::string secret = rc4("stream data");
    const struct { const char* dict; bool metadata_in_clear; std::optional<std::string> expected; } streams[] = {
        {"<< >>", false, "stream data"}, {"<< /Type /XRef >>", false, secret},
        {"<< /Type /Metadata >>", false, "stream data"}, {"<< /Type /Metadata >>", true, secret},
        {"<< /Filter /Crypt >>", false, secret},  // /Identity by default
        {"<< /Filter [/Crypt /X] /DecodeParms [<< /Name /K >>] >>", false, "stream data"},
        {"<< /Filter /Crypt /DecodeParms << /Name /None >> >>", false, std::nullopt},  // not in /CF
    };
    Arena arena;
    for (const auto& r : streams) {
        h.encrypt_metadata = !r.metadata_in_clear;
        PdfObject obj = PdfStream{*read(r.dict).dict(), as_bytes(secret)};
        const bool ok = decrypt_object(h, id, obj, arena);
        EXPECT_EQ(ok ? std::optional(std::string(as_chars(obj.stream()->data))) : std::nullopt, r.expected) << r.dict;
    }
    // Literal and hex strings anywhere read back as plaintext; one that does not decrypt, as empty.
    std::string text = "[<";
    for (unsigned char b : rc4("a(b)\\c\rd")) text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    text += "> << /L [(" + rc4("e") + ")] >>]";
    PdfObject strings = read(text), garbage = read("(not sixteen)");
    ASSERT_TRUE(decrypt_object(h, id, strings, arena));
    h.strings = CryptMethod::AES128;
    ASSERT_TRUE(decrypt_object(h, id, garbage, arena));
    std::vector<std::string> texts;
    for (const PdfObject* o : {&strings.array()->front(), &strings.array()->back().get("L")->array()->front(), &std::as_const(garbage)}) {
        const Vec v = decode_literal_string(std::get<PdfString>(o->value).bytes);
        texts.emplace_back(v.begin(), v.end());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"a(b)\\c\rd", "e", ""}));
}

}  // namespace
}  // namespace vellix
