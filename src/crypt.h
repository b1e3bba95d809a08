// The standard security handler (ISO 32000-1, 7.6.3; ISO 32000-2, 7.6.4): opening files that
// are encrypted with an empty user password, which readers open without asking (such files
// only restrict printing or copying, and those permissions are not read here).
//
// Revisions 2 to 4 (RC4 with 40- to 128-bit keys, AES-128 through crypt filters, /Identity
// filters, /EncryptMetadata false) and revisions 5 and 6 (AES-256). MD5, RC4, AES and SHA-2
// come from OpenSSL's libcrypto; only the key derivation of the standard is written here.
#pragma once

#include <cstdint>
#include <vector>

#include "parser/object.h"

namespace vellix {

enum class CryptMethod : std::uint8_t { None, RC4, AES128, AES256 };

// What the encryption dictionary says once the empty user password has authenticated.
struct CryptHandler {
    std::vector<std::uint8_t> key;            // the file encryption key
    CryptMethod strings = CryptMethod::None;  // /StrF (every method below revision 4)
    CryptMethod streams = CryptMethod::None;  // /StmF
    bool encrypt_metadata = true;             // /EncryptMetadata: metadata streams encrypted
    // The crypt filters of /CF by name, for streams whose /Filter starts with /Crypt.
    struct Filter {
        std::vector<std::uint8_t> name;
        CryptMethod method = CryptMethod::None;
    };
    std::vector<Filter> filters;
};

// Reads the standard handler's dictionary (direct values only) and authenticates the empty
// user password. `first_id` is the first string of the trailer's /ID, decoded (empty when the
// file has none). "encrypted PDFs are not supported" when the handler is not /Standard, a
// value lies outside the standard (/V, /R, /Length, an unknown crypt filter method, /O and /U
// too short), or the empty password does not authenticate.
[[nodiscard]] Result<CryptHandler> open_crypt_handler(const PdfDict& encrypt, Bytes first_id);

// The plaintext of the bytes `data` of a string or stream of object `id` (ISO 32000-1,
// 7.6.2: RC4 or AES-CBC with the object's key; AES data carries its IV in front and is
// padded). Empty when the data does not decrypt: AES data that is not a whole number of
// blocks after its IV, or whose padding is wrong.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decrypt_bytes(
    const CryptHandler& handler, CryptMethod method, ObjectId id, Bytes data);

// The plaintext of the data of a stream of object `id` with the dictionary `dict`: the data
// itself for streams stored in clear (/Type /XRef; /Type /Metadata under /EncryptMetadata
// false; a /Crypt filter naming /Identity), else decrypted with the method of the /Crypt
// filter in front or of /StmF. Empty when it does not decrypt or a /Crypt filter names no
// filter of /CF.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decrypt_stream_data(
    const CryptHandler& handler, ObjectId id, const PdfDict& dict, Bytes data);

// Decrypts the strings and the stream data of indirect object `id` (read from the file, not
// from an object stream) in place; the plaintext goes to `arena`, which the views then point
// into. A string that does not decrypt becomes empty, as other readers take it. False when a
// stream's data does not decrypt (see decrypt_stream_data); the object is then garbage and
// must not be used.
[[nodiscard]] bool decrypt_object(const CryptHandler& handler, ObjectId id, PdfObject& object,
                                  Arena& arena);

}  // namespace vellix
