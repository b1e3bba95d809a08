// An opened PDF file: the mapping, the cross-reference map and trailer fields, and the
// caches of parsed objects. Safe for concurrent object lookups once opened.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bounds.h"
#include "crypt.h"
#include "parser/object.h"
#include "parser/xref.h"

namespace vellix {

// Move-only owner of one read-only view of a whole file: a memory mapping (the descriptor is
// closed once mapped), or, for tests and fuzzing, an owned buffer.
class MappedFile {
public:
    [[nodiscard]] static Result<MappedFile> open(const std::string& path);
    static MappedFile from_vector_for_testing(std::vector<std::uint8_t> bytes);
    MappedFile() = default;
    MappedFile(MappedFile&&) noexcept;
    MappedFile& operator=(MappedFile&&) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();
    Bytes bytes() const { return {data_, size_}; }

private:
    const std::uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::vector<std::uint8_t> owned_;
};

// A value that the file may give directly or by reference (ISO 32000-1, 7.3.10), resolved.
// `object` is the value itself when it was direct (it then lives as long as the object that
// holds it), or the object at the end of the reference chain, which `holder` keeps alive.
// Empty (object null) for a missing key, an unreadable object, a chain longer than
// kMaxReferenceChain, or the null object.
struct Resolved {
    ObjPtr holder;
    const PdfObject* object = nullptr;

    explicit operator bool() const { return object != nullptr; }
    const PdfObject* operator->() const { return object; }
    const PdfObject& operator*() const { return *object; }
    const PdfObject* get() const { return object; }
};

class Document;
using DocPtr = std::unique_ptr<Document>;
class ObjectStream;

class Document {
public:
    // Maps the file and reads its cross-reference. "cannot open file", "cannot mmap file"
    // (also for a zero-length or non-regular file), the recovery error, or
    // "encrypted PDFs are not supported" (see from_mmap).
    [[nodiscard]] static Result<DocPtr> open(const std::string& path);
    // Reads the cross-reference of the whole file: the section startxref names and the older
    // sections reached through /Prev and /XRefStm; when any of them cannot be read, the
    // cross-reference rebuilt by scanning the file. A file with /Encrypt opens when the
    // standard security handler authenticates the empty user password (its strings and
    // streams are then decrypted as objects are read); otherwise "encrypted PDFs are not
    // supported".
    [[nodiscard]] static Result<DocPtr> from_mmap(MappedFile file);

    // Shared, immutable object; repeated lookups return the same object, which stays at its
    // address until the document is dropped (so callers may key caches of their own by it).
    // Keyed by id.num only; numbers whose entries name one file offset (or one object stream)
    // share what was read there. Failures to read or split are kept too: reading is a pure
    // function of the file, so trying again only repeats the work. Safe to call from several
    // threads at once. The object borrows from this document and must not be used after it is
    // dropped. Errors: "object not in xref", "object is free (deleted)", "object not found in
    // ObjStm", "ObjStm not in xref", "ObjStm must be uncompressed", UnexpectedEof (offset past
    // the end), InvalidNumber and "expected 'obj' keyword" (bad header), "cannot decrypt
    // object" (an encrypted stream whose data does not decrypt), the parser's and the
    // filters' errors.
    [[nodiscard]] Result<ObjPtr> get_object(ObjectId id) const;
    // The page objects in document order, as written in /Kids. A node reached a second time
    // (a loop back to an ancestor, a page or node shared by two parents) is passed over, so
    // each page is listed once, at its first place. Fails as a whole: "missing /Pages in
    // catalog", "/Pages must be a reference", "missing /Kids in Pages", "/Kids must be an
    // array", "Pages node missing /Kids", "Kid must be a reference", "page tree cycle" (a
    // tree with a repeat and no page at all), "page tree too deep", or a lookup error.
    [[nodiscard]] Result<std::vector<ObjectId>> page_refs() const;

    // `value` with references followed (see Resolved); `value` may be null.
    Resolved resolve(const PdfObject* value) const;
    // The entry `key` of a dictionary or stream, resolved; empty when `dict` is null or has
    // no such entry.
    Resolved resolve_key(const PdfObject* dict, std::string_view key) const;
    // An inheritable page attribute (ISO 32000-1, 7.7.3.4: Resources, MediaBox, CropBox,
    // Rotate): the page's own entry, else that of the nearest ancestor reached through
    // /Parent, resolved. The walk up stops after kMaxPageTreeDepth levels and at a node met
    // before, so a /Parent loop ends.
    Resolved page_attribute(const PdfObject& page, std::string_view key) const;

    Bytes bytes() const { return file_.bytes(); }
    const XrefMap& entries() const { return entries_; }
    ObjectId root() const { return root_; }
    std::uint32_t size() const { return size_; }
    std::optional<ObjectId> info() const { return info_; }
    Arena& arena() const { return *arena_; }
    // True when the cross-reference had to be rebuilt by the recovery scan.
    bool recovered() const { return recovered_; }
    // True when the file is encrypted (and opened with the empty user password).
    bool encrypted() const { return crypt_ != nullptr; }

    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document();

private:
    Document() = default;

    // The objects of object stream `num`, decoded and split once and cached (a failure too);
    // each object is parsed on its first request.
    [[nodiscard]] Result<std::shared_ptr<const ObjectStream>> object_stream(std::uint32_t num) const;
    // Reads, decodes and splits the object stream stored at `offset`.
    [[nodiscard]] Result<std::shared_ptr<const ObjectStream>> split_object_stream(
        std::uint32_t offset) const;

    // Sets up decryption from the trailer that holds /Encrypt; "encrypted PDFs are not
    // supported" when the handler cannot open the file.
    [[nodiscard]] Result<bool> open_encryption(const Trailer& trailer);
    // The object at `offset`, decrypted when the file is encrypted.
    [[nodiscard]] Result<PdfObject> read_object(std::uint32_t offset) const;

    struct PageWalk {
        std::vector<ObjectId> pages;
        std::unordered_set<std::uint32_t> visited;  // nodes and pages met so far
        bool repeated = false;                      // some node was met again
    };
    // Appends the pages under `kids` in order, passing over nodes met before; "page tree too
    // deep" beyond the depth bound.
    [[nodiscard]] Result<bool> collect_page_refs(const PdfArray& kids, PageWalk& walk,
                                                 unsigned depth) const;

    MappedFile file_;
    XrefMap entries_;
    ObjectId root_;
    std::uint32_t size_ = 0;
    std::optional<ObjectId> info_;
    bool recovered_ = false;
    std::unique_ptr<Arena> arena_ = std::make_unique<Arena>();
    // Null for a file that is not encrypted, which reads exactly as if there were no handler.
    std::unique_ptr<const CryptHandler> crypt_;
    // Where the encryption dictionary is, which is stored in clear.
    std::optional<std::uint32_t> encrypt_offset_;

    // Both caches are keyed by file offset, not by object number: the numbers in an object's
    // header are not compared with the number asked for, so a table may name one offset under
    // many numbers, and each must not cost a parse (or a decompression) and a copy of its own.
    struct ObjectCache {
        mutable std::shared_mutex mutex;                // guards map
        std::unordered_map<std::uint32_t, Result<ObjPtr>> map;
    };
    struct ObjStmCache {
        mutable std::shared_mutex mutex;                // guards map
        std::unordered_map<std::uint32_t, Result<std::shared_ptr<const ObjectStream>>> map;
    };
    mutable ObjectCache object_cache_;
    mutable ObjStmCache objstm_cache_;
};

}  // namespace vellix
