// The standard security handler: key derivation, authentication of the empty user password
// and decryption of strings and streams.
#include "crypt.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>

// RC4 is reachable through EVP only with OpenSSL 3's legacy provider, a module loaded at run
// time that a process may not have; libcrypto keeps the direct RC4 calls, deprecated but
// present, and those need no provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/rc4.h>

namespace vellix {

namespace {

using Vec = std::vector<std::uint8_t>;

constexpr const char* kEncrypted = "encrypted PDFs are not supported";

// The 32 bytes that pad a password (ISO 32000-1, 7.6.3.3, Algorithm 2, step a); the empty
// password pads to all of them.
constexpr std::array<std::uint8_t, 32> kPad = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

// Algorithm 2.B of ISO 32000-2 ends once a round's last byte is at most the round number less
// 32; a byte is at most 255, so no run passes round 288. The bound only makes that explicit.
constexpr unsigned kMaxHashRounds = 288;

constexpr size_t kAesBlock = 16;

ParseError refused() { return ParseError::message(kEncrypted); }

Bytes view(const Vec& v) { return {v.data(), v.size()}; }

enum class Hash : std::uint8_t { MD5, SHA256, SHA384, SHA512 };

// Ciphers and digests are fetched once: OpenSSL 3 otherwise looks each one up anew at every
// use, behind a lock.
const EVP_MD* md(Hash h) {
    static EVP_MD* const all[4] = {
        EVP_MD_fetch(nullptr, "MD5", nullptr), EVP_MD_fetch(nullptr, "SHA256", nullptr),
        EVP_MD_fetch(nullptr, "SHA384", nullptr), EVP_MD_fetch(nullptr, "SHA512", nullptr)};
    return all[static_cast<int>(h)];
}

const EVP_CIPHER* aes_cbc(size_t key_size) {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    return key_size == 32 ? aes256 : aes128;
}

Vec digest(Hash name, std::initializer_list<Bytes> parts) {
    Vec out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), md(name), nullptr) == 1;
    for (Bytes p : parts) ok = ok && EVP_DigestUpdate(ctx.get(), p.data(), p.size()) == 1;
    ok = ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &len) == 1;
    out.resize(ok ? len : 0);
    return out;
}

Vec rc4(Bytes key, Bytes data) {
    RC4_KEY state;
    RC4_set_key(&state, static_cast<int>(key.size()), key.data());
    Vec out(data.size());
    RC4(&state, data.size(), data.data(), out.data());
    return out;
}

// AES-CBC over whole blocks, without padding (the callers check or add it). Empty on a
// failure of the library.
std::optional<Vec> aes(bool encrypt, Bytes key, Bytes iv, Bytes data) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Vec out(data.size() + kAesBlock);
    int len = 0;
    int tail = 0;
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), aes_cbc(key.size()), nullptr, key.data(), iv.data(),
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &len, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + len, &tail) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(len + tail));
    return out;
}

std::optional<Vec> string_value(const PdfObject* o) {
    if (!o) return std::nullopt;
    if (const auto* s = std::get_if<PdfString>(&o->value)) return decode_literal_string(s->bytes);
    if (const auto* h = std::get_if<PdfHexString>(&o->value)) return decode_hex_string(h->bytes);
    return std::nullopt;
}

std::optional<std::int64_t> int_value(const PdfDict& d, std::string_view key) {
    const PdfObject* o = dict_get(d, key);
    return o ? o->as_int() : std::nullopt;
}

// The method of a crypt filter's /CFM (ISO 32000-1, Table 25; ISO 32000-2, Table 27).
std::optional<CryptMethod> method_of(const PdfObject* cfm) {
    if (!cfm || cfm->is_name("None")) return CryptMethod::None;
    if (cfm->is_name("V2")) return CryptMethod::RC4;
    if (cfm->is_name("AESV2")) return CryptMethod::AES128;
    if (cfm->is_name("AESV3")) return CryptMethod::AES256;
    return std::nullopt;
}

// /StmF or /StrF: /Identity (the default) or a filter of /CF.
std::optional<CryptMethod> named_method(const CryptHandler& h, const PdfObject* name) {
    if (!name || name->is_name("Identity")) return CryptMethod::None;
    const std::optional<Bytes> n = name->as_name();
    if (!n) return std::nullopt;
    for (const CryptHandler::Filter& f : h.filters) {
        if (bytes_equal(view(f.name), *n)) return f.method;
    }
    return std::nullopt;
}

// Revisions 2 to 4: Algorithm 2 (the file key from the padded empty password), then
// Algorithm 4 or 5 (the /U entry it must reproduce). The key is empty when /U disagrees.
Vec key_r2_to_r4(int revision, size_t key_len, Bytes o, Bytes u, std::uint32_t p, Bytes id,
                 bool encrypt_metadata) {
    const std::array<std::uint8_t, 4> p_le = {
        static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 24)};
    constexpr std::array<std::uint8_t, 4> kNoMetadata = {0xFF, 0xFF, 0xFF, 0xFF};
    const bool mark = revision >= 4 && !encrypt_metadata;
    Vec hash = digest(Hash::MD5, {kPad, o.first(32), p_le, id, mark ? Bytes(kNoMetadata) : Bytes()});
    if (hash.size() < 16) return {};
    if (revision >= 3) {
        for (int i = 0; i < 50; ++i) hash = digest(Hash::MD5, {Bytes(hash).first(key_len)});
    }
    Vec key(hash.begin(), hash.begin() + static_cast<std::ptrdiff_t>(key_len));
    if (revision == 2) {
        const Vec check = rc4(view(key), kPad);
        return std::equal(check.begin(), check.end(), u.begin()) ? key : Vec{};
    }
    Vec x = rc4(view(key), view(digest(Hash::MD5, {kPad, id})));
    Vec round_key(key.size());
    for (std::uint8_t i = 1; i <= 19; ++i) {
        for (size_t k = 0; k < key.size(); ++k) round_key[k] = key[k] ^ i;
        x = rc4(view(round_key), view(x));
    }
    return x.size() == 16 && std::equal(x.begin(), x.end(), u.begin()) ? key : Vec{};
}

// Algorithm 2.B of ISO 32000-2 for the empty password and no user key: SHA-256, then rounds
// of AES-128 and SHA-256/384/512 chosen by the data.
Vec hash_r6(Bytes salt) {
    Vec k = digest(Hash::SHA256, {salt});
    for (unsigned round = 0; round < kMaxHashRounds && k.size() >= 32; ++round) {
        Vec k1;
        k1.reserve(64 * k.size());
        for (int i = 0; i < 64; ++i) k1.insert(k1.end(), k.begin(), k.end());
        const std::optional<Vec> e = aes(/*encrypt=*/true, Bytes(k).first(16), Bytes(k).subspan(16, 16), view(k1));
        if (!e || e->size() < 16) return {};
        unsigned sum = 0;
        for (size_t i = 0; i < 16; ++i) sum += (*e)[i];
        static constexpr Hash kHashes[3] = {Hash::SHA256, Hash::SHA384, Hash::SHA512};
        k = digest(kHashes[sum % 3], {view(*e)});
        if (round >= 63 && e->back() <= round - 31) break;
    }
    if (k.size() < 32) return {};
    k.resize(32);
    return k;
}

// Revisions 5 and 6: Algorithm 2.A for the empty password. The key is empty when /U's hash
// disagrees.
Vec key_r5_r6(int revision, Bytes u, Bytes ue) {
    const Bytes validation_salt = u.subspan(32, 8);
    const Bytes key_salt = u.subspan(40, 8);
    const Vec check = revision == 5 ? digest(Hash::SHA256, {validation_salt}) : hash_r6(validation_salt);
    if (check.size() != 32 || !std::equal(check.begin(), check.end(), u.begin())) return {};
    const Vec intermediate = revision == 5 ? digest(Hash::SHA256, {key_salt}) : hash_r6(key_salt);
    if (intermediate.size() != 32) return {};
    const std::array<std::uint8_t, kAesBlock> zero_iv{};
    const std::optional<Vec> key = aes(/*encrypt=*/false, view(intermediate), zero_iv, ue.first(32));
    return key && key->size() == 32 ? *key : Vec{};
}

// Algorithm 1: the key of one object; AES-256 uses the file key itself.
Vec object_key(const CryptHandler& h, CryptMethod method, ObjectId id) {
    if (method == CryptMethod::AES256) return h.key;
    const std::array<std::uint8_t, 9> tail = {
        static_cast<std::uint8_t>(id.num), static_cast<std::uint8_t>(id.num >> 8),
        static_cast<std::uint8_t>(id.num >> 16), static_cast<std::uint8_t>(id.gen),
        static_cast<std::uint8_t>(id.gen >> 8), 's', 'A', 'l', 'T'};
    const size_t tail_len = method == CryptMethod::AES128 ? 9 : 5;
    Vec k = digest(Hash::MD5, {view(h.key), Bytes(tail).first(tail_len)});
    k.resize(std::min<size_t>(h.key.size() + 5, 16));
    return k;
}

// The plaintext as the raw contents of a literal string, so that the string reads back as
// it does from the file: backslash and parentheses escaped, and a carriage return escaped so
// that the reader does not turn it into a line feed.
Vec as_literal(const Vec& plain) {
    Vec out;
    out.reserve(plain.size() + plain.size() / 8 + 1);
    for (std::uint8_t b : plain) {
        if (b == '\\' || b == '(' || b == ')') {
            out.push_back('\\');
            out.push_back(b);
        } else if (b == '\r') {
            out.push_back('\\');
            out.push_back('r');
        } else {
            out.push_back(b);
        }
    }
    return out;
}

// The method of a stream's data: none for the kinds stored in clear, the named filter for a
// /Crypt filter in front, the handler's /StmF otherwise. Empty for a /Crypt filter that names
// no known filter.
std::optional<CryptMethod> stream_method(const CryptHandler& h, const PdfDict& stream) {
    const PdfObject* type = dict_get(stream, "Type");
    if (type && type->is_name("XRef")) return CryptMethod::None;
    if (type && type->is_name("Metadata") && !h.encrypt_metadata) return CryptMethod::None;
    const PdfObject* filter = dict_get(stream, "Filter");
    const PdfArray* filters = filter ? filter->array() : nullptr;
    const PdfObject* first = filters ? (filters->empty() ? nullptr : &filters->front()) : filter;
    if (!first || !first->is_name("Crypt")) return h.streams;
    // ISO 32000-1, 7.4.10: the /Name of the first decode parameters, /Identity when absent.
    const PdfObject* parms = dict_get(stream, "DecodeParms");
    if (parms && parms->array()) parms = parms->array()->empty() ? nullptr : &parms->array()->front();
    return named_method(h, parms ? parms->get("Name") : nullptr);
}

// Objects are nested no deeper than the parser's bound, so the recursion is bounded too.
bool decrypt_value(const CryptHandler& h, ObjectId id, PdfObject& o, Arena& arena) {
    if (auto* a = std::get_if<PdfArray>(&o.value)) {
        for (PdfObject& e : *a) {
            if (!decrypt_value(h, id, e, arena)) return false;
        }
        return true;
    }
    PdfDict* dict = std::get_if<PdfDict>(&o.value);
    auto* stream = std::get_if<PdfStream>(&o.value);
    if (stream) dict = &stream->dict;
    if (dict) {
        for (DictEntry& e : *dict) {
            if (!decrypt_value(h, id, e.value, arena)) return false;
        }
        if (!stream) return true;
        const std::optional<CryptMethod> method = stream_method(h, *dict);
        if (!method) return false;
        if (*method == CryptMethod::None) return true;
        std::optional<Vec> plain = decrypt_bytes(h, *method, id, stream->data);
        if (!plain) return false;
        stream->data = arena.keep(std::move(*plain));
        return true;
    }
    if (h.strings == CryptMethod::None) return true;
    std::optional<Vec> raw = string_value(&o);
    if (!raw || raw->empty()) return true;
    const std::optional<Vec> plain = decrypt_bytes(h, h.strings, id, view(*raw));
    o.value = PdfString{plain ? arena.keep(as_literal(*plain)) : Bytes()};
    return true;
}

}  // namespace

Result<CryptHandler> open_crypt_handler(const PdfDict& encrypt, Bytes first_id) {
    const PdfObject* filter = dict_get(encrypt, "Filter");
    if (!filter || !filter->is_name("Standard")) return std::unexpected(refused());
    const std::int64_t v = int_value(encrypt, "V").value_or(0);
    const std::int64_t r = int_value(encrypt, "R").value_or(0);
    const std::optional<std::int64_t> length = int_value(encrypt, "Length");
    const bool aes256 = v == 5;
    // ISO 32000-1, Table 20 and 21: /V 1, 2 and 4 go with /R 2 to 4, /V 5 with /R 5 and 6;
    // /Length is a multiple of 8 from 40 to 128 bits (256 for /V 5).
    if (!(v == 1 || v == 2 || v == 4 || aes256)) return std::unexpected(refused());
    if (aes256 ? (r != 5 && r != 6) : (r < 2 || r > 4)) return std::unexpected(refused());
    if (length && (aes256 ? *length != 256 : (*length < 40 || *length > 128 || *length % 8 != 0))) {
        return std::unexpected(refused());
    }
    const std::optional<Vec> o = string_value(dict_get(encrypt, "O"));
    const std::optional<Vec> u = string_value(dict_get(encrypt, "U"));
    const size_t need = aes256 ? 48 : 32;
    if (!o || !u || o->size() < need || u->size() < need) return std::unexpected(refused());

    CryptHandler h;
    if (const PdfObject* em = dict_get(encrypt, "EncryptMetadata"); em && em->as_bool()) {
        h.encrypt_metadata = *em->as_bool();
    }
    if (v >= 4) {
        const PdfObject* cf = dict_get(encrypt, "CF");
        if (const PdfDict* filters = cf ? cf->dict() : nullptr) {
            for (const DictEntry& e : *filters) {
                const std::optional<CryptMethod> m = method_of(e.value.get("CFM"));
                if (!m) continue;  // unusable unless named below
                h.filters.push_back({Vec(e.key.begin(), e.key.end()), *m});
            }
        }
        const std::optional<CryptMethod> strings = named_method(h, dict_get(encrypt, "StrF"));
        const std::optional<CryptMethod> streams = named_method(h, dict_get(encrypt, "StmF"));
        if (!strings || !streams) return std::unexpected(refused());
        h.strings = *strings;
        h.streams = *streams;
        // AES-256 belongs to /V 5 and the other methods to /V 4, whose keys have other sizes.
        for (const CryptHandler::Filter& f : h.filters) {
            if ((f.method == CryptMethod::AES256) != aes256 && f.method != CryptMethod::None) {
                return std::unexpected(refused());
            }
        }
    } else {
        h.strings = h.streams = CryptMethod::RC4;
    }

    if (aes256) {
        const std::optional<Vec> ue = string_value(dict_get(encrypt, "UE"));
        if (!ue || ue->size() < 32) return std::unexpected(refused());
        h.key = key_r5_r6(static_cast<int>(r), view(*u), view(*ue));
    } else {
        // Revision 2 keys are 40 bits whatever /Length says; /V 4 keys are 128 bits.
        const size_t key_len = r == 2 || v == 1 ? 5 : v == 4 ? 16 : static_cast<size_t>(length.value_or(40) / 8);
        const std::int64_t p = int_value(encrypt, "P").value_or(0);
        h.key = key_r2_to_r4(static_cast<int>(r), key_len, view(*o), view(*u),
                             static_cast<std::uint32_t>(p), first_id, h.encrypt_metadata);
    }
    if (h.key.empty()) return std::unexpected(refused());
    return h;
}

std::optional<std::vector<std::uint8_t>> decrypt_bytes(const CryptHandler& h, CryptMethod method,
                                                       ObjectId id, Bytes data) {
    if (method == CryptMethod::None) return Vec(data.begin(), data.end());
    const Vec key = object_key(h, method, id);
    if (method == CryptMethod::RC4) return rc4(view(key), data);
    // ISO 32000-1, 7.6.2: the first block is the IV; the rest is padded as in RFC 2898.
    if (data.size() < 2 * kAesBlock || data.size() % kAesBlock != 0) return std::nullopt;
    std::optional<Vec> plain = aes(/*encrypt=*/false, view(key), data.first(kAesBlock),
                                   data.subspan(kAesBlock));
    if (!plain || plain->empty()) return std::nullopt;
    const std::uint8_t pad = plain->back();
    if (pad == 0 || pad > kAesBlock ||
        !std::all_of(plain->end() - pad, plain->end(), [pad](std::uint8_t b) { return b == pad; })) {
        return std::nullopt;
    }
    plain->resize(plain->size() - pad);
    return plain;
}

std::optional<std::vector<std::uint8_t>> decrypt_stream_data(const CryptHandler& h, ObjectId id,
                                                             const PdfDict& dict, Bytes data) {
    const std::optional<CryptMethod> method = stream_method(h, dict);
    if (!method) return std::nullopt;
    return decrypt_bytes(h, *method, id, data);
}

bool decrypt_object(const CryptHandler& handler, ObjectId id, PdfObject& object, Arena& arena) {
    return decrypt_value(handler, id, object, arena);
}

}  // namespace vellix
