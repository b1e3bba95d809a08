// An opened PDF file: mapping, cross-reference, object lookup with caches, page list.
#include "document.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

#include "parser/filters.h"
#include "parser/recovery.h"

namespace vellix {

namespace {

constexpr const char* kCannotOpen = "cannot open file";
constexpr const char* kCannotMmap = "cannot mmap file";
constexpr const char* kEncrypted = "encrypted PDFs are not supported";
constexpr const char* kExpectedObj = "expected 'obj' keyword";
constexpr const char* kNotInXref = "object not in xref";
constexpr const char* kFreeObject = "object is free (deleted)";
constexpr const char* kNotInObjStm = "object not found in ObjStm";
constexpr const char* kObjStmNotInXref = "ObjStm not in xref";
constexpr const char* kObjStmCompressed = "ObjStm must be uncompressed";
constexpr const char* kMissingPages = "missing /Pages in catalog";
constexpr const char* kPagesNotRef = "/Pages must be a reference";
constexpr const char* kMissingKids = "missing /Kids in Pages";
constexpr const char* kKidsNotArray = "/Kids must be an array";
constexpr const char* kNodeMissingKids = "Pages node missing /Kids";
constexpr const char* kKidNotRef = "Kid must be a reference";
constexpr const char* kPageTreeCycle = "page tree cycle";
constexpr const char* kPageTreeTooDeep = "page tree too deep";
constexpr const char* kCannotDecrypt = "cannot decrypt object";

ParseError message(const char* text) { return ParseError::message(text); }

Result<PdfObject> read_object_at(Bytes data, std::uint32_t offset, Arena* arena, ObjectId* header);

// A cross-reference stream: filters and predictor undone before the entries are read.
Result<XrefSection> read_xref_stream_at(Bytes data, size_t offset, Arena* arena,
                                        TrailerFields fields) {
    VELLIX_TRY(raw, parse_object_stream_raw(data, offset, arena));
    PdfStream stream{std::move(raw->dict), raw->data};
    VELLIX_TRY(decoded, decode_structural_stream(stream));
    return parse_xref_stream_obj(stream.dict, *decoded, fields);
}

// One section: a classic table when the offset holds "xref", else a cross-reference stream.
Result<XrefSection> read_section_at(Bytes data, std::uint64_t offset, Arena* arena,
                                    TrailerFields fields) {
    if (offset >= data.size()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
    const auto at = static_cast<size_t>(offset);
    if (Cursor{data, at}.starts_with("xref")) return parse_xref_table(data, at, arena, fields);
    return read_xref_stream_at(data, at, arena, fields);
}

struct Chain {
    XrefSection merged;       // entries of every section read, newest first; newest trailer
    bool complete = true;     // false when a section of the chain could not be read
    std::optional<Trailer> encryption;  // the newest trailer with /Encrypt
};

// The section startxref points to, then the older sections it names through /Prev, each
// table with the hidden stream its /XRefStm names. Fails only when the newest section cannot
// be read.
Result<Chain> read_xref_chain(Bytes data, Arena* arena) {
    VELLIX_TRY(start, find_startxref(data));
    Chain chain;
    std::vector<std::uint64_t> visited;
    auto seen = [&visited](std::uint64_t off) {
        return std::find(visited.begin(), visited.end(), off) != visited.end();
    };
    std::optional<std::uint64_t> next = *start;
    bool newest = true;
    while (next && visited.size() < kMaxXrefSections) {
        const std::uint64_t off = *next;
        next.reset();
        // An offset met before closes a loop of /Prev entries: the chain ends there.
        if (seen(off)) break;
        visited.push_back(off);
        // Only the newest trailer's fields are used; older ones need not be complete.
        Result<XrefSection> section = read_section_at(
            data, off, arena, newest ? TrailerFields::Required : TrailerFields::Optional);
        if (!section) {
            if (newest) return std::unexpected(section.error());
            chain.complete = false;
            break;
        }
        if (!chain.encryption && section->trailer.has_encrypt_entry) chain.encryption = section->trailer;
        const bool is_table = Cursor{data, static_cast<size_t>(off)}.starts_with("xref");
        const std::optional<std::uint64_t> stm = is_table ? section->trailer.xref_stm : std::nullopt;
        if (stm && !seen(*stm) && visited.size() < kMaxXrefSections) {
            visited.push_back(*stm);
            Result<XrefSection> hidden =
                *stm < data.size()
                    ? read_xref_stream_at(data, static_cast<size_t>(*stm), arena,
                                          TrailerFields::Optional)
                    : std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
            if (hidden) {
                if (!chain.encryption && hidden->trailer.has_encrypt_entry) {
                    chain.encryption = hidden->trailer;
                }
                // Within one revision the table's in-use entries win over its stream's. A free
                // table entry is how hybrid files hide stream objects from older readers, so
                // the stream's entry replaces it.
                XrefMap& table = section->entries;
                hidden->entries.for_each([&table](std::uint32_t num, const XrefEntry& e) {
                    const XrefEntry* in_table = table.find(num);
                    if (!in_table || in_table->kind == XrefKind::Free) table.set(num, e);
                });
            } else {
                chain.complete = false;
            }
        }
        next = section->trailer.prev;
        // Entries of newer sections take precedence over older ones; the trailer fields come
        // from the newest section.
        if (newest) {
            chain.merged = std::move(*section);
            newest = false;
        } else {
            chain.merged.entries.merge_older(section->entries);
        }
        if (!chain.complete) break;
    }
    return chain;
}

// True when the root entry leads to a header "num gen obj" that carries the root's number.
// A cheap check at opening that catches tables whose offsets are all wrong: bytes inserted in
// front of the header, or a table numbered from 1 instead of 0, which otherwise opens and then
// hands out the wrong objects. A root in an object stream is not checked here.
bool root_header_matches(Bytes data, const XrefMap& entries, ObjectId root) {
    const XrefEntry* e = entries.find(root.num);
    if (!e || e->kind == XrefKind::Free) return false;
    if (e->kind == XrefKind::Compressed) return true;
    if (e->offset >= data.size()) return false;
    Cursor cur{data, e->offset};
    cur.skip_ws();
    const Result<std::uint64_t> num = parse_positive_int(cur);
    if (!num || *num != root.num) return false;
    cur.skip_ws();
    if (!parse_positive_int(cur)) return false;
    cur.skip_ws();
    return cur.starts_with("obj");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// MappedFile

Result<MappedFile> MappedFile::open(const std::string& path) {
    // A path holding a NUL byte names no file: the system would read it only up to the NUL
    // and so open some other, shorter path.
    if (path.find('\0') != std::string::npos) return std::unexpected(message(kCannotOpen));
    // O_NONBLOCK: opening a FIFO must not wait for a writer; regular files ignore the flag.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(message(kCannotOpen));
    struct stat st {};
    // A zero-length file cannot be mapped; it gets the mapping error, as do files that are not
    // regular (directories, devices), whose length means nothing.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return std::unexpected(message(kCannotMmap));
    }
    const auto size = static_cast<size_t>(st.st_size);
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    // The mapping keeps its own reference to the file: the descriptor is not needed any more.
    ::close(fd);
    if (addr == MAP_FAILED) return std::unexpected(message(kCannotMmap));
    MappedFile f;
    f.data_ = static_cast<const std::uint8_t*>(addr);
    f.size_ = size;
    f.mapped_ = true;
    return f;
}

MappedFile MappedFile::from_vector_for_testing(std::vector<std::uint8_t> bytes) {
    MappedFile f;
    f.owned_ = std::move(bytes);
    f.data_ = f.owned_.data();
    f.size_ = f.owned_.size();
    return f;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(other.data_), size_(other.size_), mapped_(other.mapped_),
      owned_(std::move(other.owned_)) {
    // Moving a vector keeps its buffer, so data_ still points into owned_ when it did before.
    other.data_ = nullptr;
    other.size_ = 0;
    other.mapped_ = false;
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        if (mapped_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
        data_ = other.data_;
        size_ = other.size_;
        mapped_ = other.mapped_;
        owned_ = std::move(other.owned_);
        other.data_ = nullptr;
        other.size_ = 0;
        other.mapped_ = false;
    }
    return *this;
}

MappedFile::~MappedFile() {
    if (mapped_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

// ---------------------------------------------------------------------------------------------
// Opening

Document::~Document() = default;

Result<DocPtr> Document::open(const std::string& path) {
    VELLIX_TRY(file, MappedFile::open(path));
    return from_mmap(std::move(*file));
}

Result<DocPtr> Document::from_mmap(MappedFile file) {
    DocPtr doc(new Document());
    doc->file_ = std::move(file);
    const Bytes data = doc->bytes();
    Arena* arena = doc->arena_.get();

    // Every failure of the regular cross-reference leads to the scan; so does a chain with an
    // unreadable older section, whose objects the scan may still find, and a table whose root
    // entry points elsewhere than the root object. When the scan fails too, the sections that
    // were read are better than nothing.
    Result<Chain> chain = read_xref_chain(data, arena);
    std::optional<XrefSection> section;
    if (chain && chain->complete &&
        root_header_matches(data, chain->merged.entries, chain->merged.trailer.root)) {
        section = std::move(chain->merged);
    } else {
        Result<XrefSection> rebuilt = recover_xref_by_scan(data, arena);
        if (rebuilt) {
            section = std::move(*rebuilt);
            doc->recovered_ = true;
        } else if (chain) {
            section = std::move(chain->merged);
        } else {
            return std::unexpected(rebuilt.error());
        }
    }
    // The regular cross-reference knows the encryption even when the scan had to rebuild it.
    std::optional<Trailer> encryption;
    if (chain && chain->encryption) {
        encryption = std::move(chain->encryption);
    } else if (section->trailer.has_encrypt_entry) {
        encryption = std::move(section->trailer);
    }
    doc->entries_ = std::move(section->entries);
    doc->root_ = section->trailer.root;
    doc->size_ = section->trailer.size;
    doc->info_ = section->trailer.info;
    if (encryption) {
        VELLIX_TRY(opened, doc->open_encryption(*encryption));
    }
    return doc;
}

Result<bool> Document::open_encryption(const Trailer& trailer) {
    // Read before any decryption is set up: the dictionary itself is stored in clear.
    VELLIX_TRY(handler, open_file_encryption(bytes(), entries_, trailer, arena_.get(), encrypt_offset_));
    crypt_ = std::make_unique<const CryptHandler>(std::move(*handler));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Object lookup

// The objects of a decoded object stream, each parsed on its first request: files pack far
// more objects into these streams (structure elements, outlines, annotations) than a page's
// text needs, and parsing all of them up front cost more than reading the pages. The objects
// come out as a split that parses every one of them would give (parse_objstm): a number that
// the header lists twice is the last of its objects that parses. Safe for concurrent use.
class ObjectStream {
public:
    explicit ObjectStream(std::vector<ObjStmSpan> spans)
        : spans_(std::move(spans)), slots_(std::make_unique<Slot[]>(spans_.size())) {
        by_num_.reserve(spans_.size());
        for (size_t k = 0; k < spans_.size(); ++k) by_num_.push_back({spans_[k].num, k});
        std::sort(by_num_.begin(), by_num_.end());
    }

    // The object numbered `num`, parsed now when it is asked for the first time (names with
    // escapes go to `arena`); null when the stream has none that parses.
    const PdfObject* find(std::uint32_t num, Arena* arena) const {
        auto first = std::lower_bound(by_num_.begin(), by_num_.end(), std::pair{num, size_t{0}});
        auto last = first;
        while (last != by_num_.end() && last->first == num) ++last;
        // Later spans win, as they overwrite earlier ones in a full split.
        for (auto it = last; it != first;) {
            --it;
            Slot& slot = slots_[it->second];
            std::call_once(slot.once, [&] {
                Cursor cur{spans_[it->second].bytes, 0, arena};
                if (Result<PdfObject> obj = parse_object(cur)) slot.object = std::move(*obj);
            });
            if (slot.object) return &*slot.object;
        }
        return nullptr;
    }

private:
    struct Slot {
        std::once_flag once;
        std::optional<PdfObject> object;  // empty when the span does not parse
    };
    std::vector<ObjStmSpan> spans_;
    std::vector<std::pair<std::uint32_t, size_t>> by_num_;  // (number, span index), sorted
    std::unique_ptr<Slot[]> slots_;  // one per span; filled once, then only read
};

namespace {

// The object whose header "num gen obj" starts at `offset` (the numbers are not compared with
// anything; they go to `header` when it is not null); a dictionary followed by "stream"
// becomes a Stream.
Result<PdfObject> read_object_at(Bytes data, std::uint32_t offset, Arena* arena, ObjectId* header) {
    if (offset >= data.size()) return std::unexpected(ParseError::of(ParseErrorKind::UnexpectedEof));
    Cursor cur{data, offset, arena};
    cur.skip_ws();
    VELLIX_TRY(num, parse_positive_int(cur));
    cur.skip_ws();
    VELLIX_TRY(gen, parse_positive_int(cur));
    cur.skip_ws();
    if (!cur.starts_with("obj")) return std::unexpected(message(kExpectedObj));
    cur.pos += 3;
    if (header) *header = {static_cast<std::uint32_t>(*num), static_cast<std::uint16_t>(*gen)};
    VELLIX_TRY(obj, parse_object(cur));
    if (PdfDict* dict = std::get_if<PdfDict>(&obj->value)) {
        cur.skip_ws();
        if (cur.starts_with("stream")) return parse_stream(cur, std::move(*dict));
    }
    return std::move(*obj);
}

}  // namespace

Result<ObjPtr> Document::get_object(ObjectId id) const {
    const XrefEntry* entry = entries_.find(id.num);
    if (!entry) return std::unexpected(message(kNotInXref));
    switch (entry->kind) {
        case XrefKind::Free:
            return std::unexpected(message(kFreeObject));
        case XrefKind::Compressed: {
            // Compressed objects stay in their stream's slots; the pointer shares its ownership.
            VELLIX_TRY(objects, object_stream(entry->offset));
            const PdfObject* object = (*objects)->find(id.num, arena_.get());
            if (!object) return std::unexpected(message(kNotInObjStm));
            return ObjPtr(*objects, object);
        }
        case XrefKind::InUse:
            break;
    }
    {
        std::shared_lock lock(object_cache_.mutex);
        if (auto it = object_cache_.map.find(entry->offset); it != object_cache_.map.end()) {
            return it->second;
        }
    }
    // No lock while parsing: other threads keep reading the cache meanwhile.
    Result<PdfObject> obj = read_object(entry->offset);
    Result<ObjPtr> outcome = obj ? Result<ObjPtr>(std::make_shared<const PdfObject>(std::move(*obj)))
                                 : std::unexpected(obj.error());
    std::unique_lock lock(object_cache_.mutex);
    // A thread that read the same offset first keeps its outcome, so every caller shares one.
    return object_cache_.map.try_emplace(entry->offset, std::move(outcome)).first->second;
}

Result<PdfObject> Document::read_object(std::uint32_t offset) const {
    ObjectId header;
    Result<PdfObject> obj = read_object_at(bytes(), offset, arena_.get(), &header);
    // Strings and streams are encrypted with the key of the object that holds them, named by
    // its header (ISO 32000-1, 7.6.2).
    if (!obj || !crypt_ || offset == encrypt_offset_) return obj;
    if (!decrypt_object(*crypt_, header, *obj, *arena_)) return std::unexpected(message(kCannotDecrypt));
    return obj;
}

Result<std::shared_ptr<const ObjectStream>> Document::object_stream(std::uint32_t num) const {
    // One level only: an object stream must itself be stored at a file offset.
    const XrefEntry* entry = entries_.find(num);
    if (!entry) return std::unexpected(message(kObjStmNotInXref));
    if (entry->kind != XrefKind::InUse) return std::unexpected(message(kObjStmCompressed));
    {
        std::shared_lock lock(objstm_cache_.mutex);
        if (auto it = objstm_cache_.map.find(entry->offset); it != objstm_cache_.map.end()) {
            return it->second;
        }
    }
    Result<std::shared_ptr<const ObjectStream>> outcome = split_object_stream(entry->offset);
    std::unique_lock lock(objstm_cache_.mutex);
    return objstm_cache_.map.try_emplace(entry->offset, std::move(outcome)).first->second;
}

Result<std::shared_ptr<const ObjectStream>> Document::split_object_stream(std::uint32_t offset) const {
    VELLIX_TRY(raw, parse_object_stream_raw(bytes(), offset, arena_.get()));
    PdfStream stream{std::move(raw->dict), raw->data};
    // The stream is decrypted as a whole; the strings inside its objects are then plain.
    std::optional<ByteVec> plain;
    if (crypt_) {
        plain = decrypt_stream_data(*crypt_, raw->id, stream.dict, stream.data);
        if (!plain) return std::unexpected(message(kCannotDecrypt));
        stream.data = *plain;
    }
    VELLIX_TRY(decoded, decode_structural_stream(stream));
    // The objects borrow from the decoded bytes, which the document keeps from now on.
    const Bytes kept = arena_->keep(std::move(*decoded));
    VELLIX_TRY(spans, objstm_spans(stream.dict, kept));
    return std::make_shared<const ObjectStream>(std::move(*spans));
}

// ---------------------------------------------------------------------------------------------
// References and inherited attributes

Resolved Document::resolve(const PdfObject* value) const {
    Resolved out;
    for (unsigned hops = 0; value; ++hops) {
        const std::optional<ObjectId> ref = value->as_ref();
        if (!ref) {
            if (!value->is_null()) out.object = value;
            return out;
        }
        if (hops == kMaxReferenceChain) break;
        Result<ObjPtr> fetched = get_object(*ref);
        if (!fetched || !*fetched) break;
        out.holder = std::move(*fetched);
        value = out.holder.get();
    }
    return Resolved{};
}

Resolved Document::resolve_key(const PdfObject* dict, std::string_view key) const {
    return dict ? resolve(dict->get(key)) : Resolved{};
}

Resolved Document::page_attribute(const PdfObject& page, std::string_view key) const {
    Resolved node{nullptr, &page};
    std::unordered_set<const PdfObject*> seen;
    for (unsigned depth = 0; node && depth <= kMaxPageTreeDepth; ++depth) {
        if (!seen.insert(node.object).second) break;
        if (Resolved value = resolve_key(node.object, key)) return value;
        node = resolve_key(node.object, "Parent");
    }
    return Resolved{};
}

// ---------------------------------------------------------------------------------------------
// Page tree

Result<std::vector<ObjectId>> Document::page_refs() const {
    VELLIX_TRY(catalog, get_object(root_));
    const PdfObject* pages = (*catalog)->get("Pages");
    if (!pages) return std::unexpected(message(kMissingPages));
    const std::optional<ObjectId> pages_ref = pages->as_ref();
    if (!pages_ref) return std::unexpected(message(kPagesNotRef));
    VELLIX_TRY(node, get_object(*pages_ref));
    const PdfObject* kids = (*node)->get("Kids");
    if (!kids) return std::unexpected(message(kMissingKids));
    const PdfArray* kid_array = kids->array();
    if (!kid_array) return std::unexpected(message(kKidsNotArray));
    PageWalk walk;
    walk.visited.insert(pages_ref->num);
    VELLIX_TRY(done, collect_page_refs(*kid_array, walk, /*depth=*/0));
    // A tree that only loops holds no page to fall back on.
    if (walk.pages.empty() && walk.repeated) return std::unexpected(message(kPageTreeCycle));
    return std::move(walk.pages);
}

Result<bool> Document::collect_page_refs(const PdfArray& kids, PageWalk& walk,
                                         unsigned depth) const {
    if (depth > kMaxPageTreeDepth) return std::unexpected(message(kPageTreeTooDeep));
    for (const PdfObject& kid : kids) {
        const std::optional<ObjectId> ref = kid.as_ref();
        if (!ref) return std::unexpected(message(kKidNotRef));
        // Nodes and pages are visited once: a second visit is a loop back to an ancestor or a
        // node shared by two parents. Other readers list such a page once, at its first place,
        // and go on with the other kids.
        if (walk.visited.contains(ref->num)) {
            walk.repeated = true;
            continue;
        }
        VELLIX_TRY(node, get_object(*ref));
        const PdfObject* type = (*node)->get("Type");
        if (!type || !type->as_name()) continue;  // neither a page nor a tree node
        if (type->is_name("Page")) {
            walk.visited.insert(ref->num);
            walk.pages.push_back(*ref);
        } else if (type->is_name("Pages")) {
            walk.visited.insert(ref->num);
            const PdfObject* sub = (*node)->get("Kids");
            if (!sub) return std::unexpected(message(kNodeMissingKids));
            const PdfArray* sub_array = sub->array();
            if (!sub_array) return std::unexpected(message(kKidsNotArray));
            VELLIX_TRY(inner, collect_page_refs(*sub_array, walk, depth + 1));
        }
    }
    return true;
}

}  // namespace vellix
