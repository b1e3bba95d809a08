// Fuzz target for the standard security handler. The input is an encryption dictionary, a
// line feed, the first /ID string's bytes (up to the next line feed) and then one object: the
// handler is opened with the empty password, and when it opens, the object is decrypted as an
// indirect object and its bytes with every method.
//
// Properties checked besides the sanitizers' own: a refusal is always "encrypted PDFs are not
// supported"; AES plaintext is shorter than its data by the IV and 1 to 16 padding bytes; RC4
// keeps the length.
//
// Fuzzed with libFuzzer by fuzz/fuzz.sh; CTest replays the saved inputs. Seeds are the encryption dictionaries
// of files qpdf wrote (tests/data/crypt), each followed by an encrypted object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crypt.h"

namespace {

using namespace vellix;

void check(bool ok) {
    if (!ok) std::abort();  // the driver saves the input on SIGABRT
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const Bytes input(data, size);
    const std::string_view text = as_chars(input);
    const size_t dict_end = text.find('\n');
    if (dict_end == std::string_view::npos) return 0;
    const size_t id_end = std::min(text.find('\n', dict_end + 1), text.size());
    Arena arena;
    Cursor cur{input.first(dict_end), 0, &arena};
    Result<PdfObject> dict = parse_object(cur);
    if (!dict || !dict->dict()) return 0;
    const Result<CryptHandler> handler =
        open_crypt_handler(*dict->dict(), input.subspan(dict_end + 1, id_end - dict_end - 1));
    if (!handler) {
        check(handler.error().display() == "encrypted PDFs are not supported");
        return 0;
    }
    const Bytes rest = input.subspan(std::min(id_end + 1, size));
    const ObjectId id{7, 0};
    for (CryptMethod m : {CryptMethod::None, CryptMethod::RC4, CryptMethod::AES128, CryptMethod::AES256}) {
        const std::optional<std::vector<std::uint8_t>> plain = decrypt_bytes(*handler, m, id, rest);
        if (!plain) continue;
        if (m == CryptMethod::None || m == CryptMethod::RC4) {
            check(plain->size() == rest.size());
        } else {
            check(plain->size() + 16 < rest.size() && rest.size() - 16 - plain->size() <= 16);
        }
    }
    Cursor obj_cur{rest, 0, &arena};
    Result<PdfObject> obj = parse_object(obj_cur);
    if (!obj) return 0;
    if (PdfDict* d = std::get_if<PdfDict>(&obj->value)) {
        obj_cur.skip_ws();
        if (obj_cur.starts_with("stream")) obj = parse_stream(obj_cur, std::move(*d));
    }
    if (obj) (void)decrypt_object(*handler, id, *obj, arena);
    return 0;
}
