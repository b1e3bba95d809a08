#include "extract.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <filesystem>
#include <limits>
#include <new>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "document.h"
#include "font.h"
#include "parser/content_stream.h"
#include "parser/filters.h"
#include "pool.h"

namespace vellix {
namespace {

// Failures that are not in the file but in this process (allocation, an internal fault) still
// become a value for the file they hit, so one bad file never ends a batch.
constexpr ParseError kOutOfMemory = ParseError::message("out of memory");
constexpr ParseError kInternalError = ParseError::message("internal error");

// Up to `count` numbers of an array entry; elements that are missing or not numbers keep the
// value already in `out`, and elements after the last are ignored.
void read_numbers(const PdfObject* entry, double* out, size_t count) {
    if (!entry) return;
    const PdfArray* arr = entry->array();
    if (!arr) return;
    for (size_t i = 0; i < count && i < arr->size(); ++i) {
        if (std::optional<double> v = (*arr)[i].as_number()) out[i] = *v;
    }
}

// Work and output left for all pages of one document. Pages on several threads take from it
// at once. A page starts only while both are left and gives each of its own bounds no more
// than is left, so the document overshoots by at most what the pages running at that moment
// can spend each.
class DocumentBudget {
public:
    explicit DocumentBudget(const DocumentLimits& limits)
        : work_(limits.work), output_(limits.output) {}

    bool spent() const { return work_left() == 0 || output_left() == 0; }
    std::uint64_t work_left() const { return work_.load(std::memory_order_relaxed); }
    std::uint64_t output_left() const { return output_.load(std::memory_order_relaxed); }
    void charge_work(std::uint64_t n) { take(work_, n); }
    void charge_output(std::uint64_t n) { take(output_, n); }

private:
    // Subtracts n, stopping at zero.
    static void take(std::atomic<std::uint64_t>& left, std::uint64_t n) {
        std::uint64_t cur = left.load(std::memory_order_relaxed);
        while (!left.compare_exchange_weak(cur, cur > n ? cur - n : 0, std::memory_order_relaxed)) {
        }
    }

    std::atomic<std::uint64_t> work_;
    std::atomic<std::uint64_t> output_;
};

// Decoded streams of one document, for content streams and forms that several pages share (a
// page background, a letterhead form): such a stream is decoded twice at most instead of once
// per page. Keyed by the address of the stream object, which the document keeps in place while
// it lives (numbers naming one offset give one object, so they share an entry too). A stream
// is kept from its second request on, while the kept bytes stay within kMaxCachedStreamBytes;
// a stream that fails to decode is remembered at once (an error costs no memory), so a broken
// stream named by every page is decoded once. What a page pays for its bytes does not depend
// on this cache, so results never depend on which page got there first.
class StreamCache {
public:
    static constexpr size_t kMaxCachedStreamBytes = size_t{64} << 20;

    // The decoded bytes of `obj`, a stream object the document handed out, whose dictionary
    // has `filter`.
    Result<std::shared_ptr<const ByteVec>> decoded(const PdfObject& obj, const PdfObject& filter) {
        {
            std::shared_lock lock(mutex_);
            if (auto it = entries_.find(&obj); it != entries_.end()) {
                if (it->second.bytes) return it->second.bytes;
                if (it->second.error) return std::unexpected(*it->second.error);
            }
        }
        // No lock while decoding: other pages keep reading the cache meanwhile.
        Result<ByteVec> data = decompress_stream(obj.stream()->data, filter);
        std::unique_lock lock(mutex_);
        Entry& entry = entries_[&obj];
        if (!data) {
            entry.error = data.error();
            return std::unexpected(data.error());
        }
        auto bytes = std::make_shared<const ByteVec>(std::move(*data));
        if (entry.seen && !entry.bytes && bytes->size() <= kMaxCachedStreamBytes - kept_) {
            kept_ += bytes->size();
            entry.bytes = bytes;
        }
        entry.seen = true;
        return bytes;
    }

private:
    struct Entry {
        std::shared_ptr<const ByteVec> bytes;
        std::optional<ParseError> error;
        bool seen = false;  // decoded once before
    };
    std::shared_mutex mutex_;  // guards entries_ and kept_
    std::unordered_map<const PdfObject*, Entry> entries_;
    size_t kept_ = 0;
};

// What one document's pages share: the fonts, the decoded streams and the budget.
struct DocumentState {
    explicit DocumentState(const DocumentLimits& limits) : budget(limits) {}
    FontCache fonts;
    StreamCache streams;
    ImageCache images;
    DocumentBudget budget;
};

// Bytes one page may still gather under one of its bounds, and every byte it read, decoded
// or copied so far, those that did not fit included: decoding them was work all the same.
struct ByteAllowance {
    size_t left;
    std::uint64_t used = 0;

    // Counts n bytes of work; true when they also fit what is left, which they then take.
    bool take(size_t n) {
        used += n;
        if (n > left) return false;
        left -= n;
        return true;
    }
};

// The data of a stream that has a Filter entry, decoded through the document's cache. The
// stored and the decoded bytes are counted in `allowance` (whether they fit or not).
Result<std::shared_ptr<const ByteVec>> decoded_stream(const PdfObject& obj,
                                                      const PdfObject& filter,
                                                      StreamCache& streams,
                                                      ByteAllowance& allowance) {
    allowance.used += obj.stream()->data.size();
    VELLIX_TRY(data, streams.decoded(obj, filter));
    allowance.used += (*data)->size();
    return std::move(*data);
}

// The form's content: decoded when it has a Filter (the stored bytes when decoding fails, so
// the form is not lost), the stored bytes otherwise. Stored and decoded bytes are paid from
// `allowance`; content that does not fit is left empty.
ByteVec form_content(const PdfObject& form, const PdfStream& stream, const Document& doc,
                     StreamCache& streams, ByteAllowance& allowance) {
    const Bytes raw = stream.data;
    if (!allowance.take(raw.size())) return {};
    if (const Resolved filter = doc.resolve_key(&form, "Filter")) {
        if (Result<std::shared_ptr<const ByteVec>> decoded = streams.decoded(form, *filter)) {
            if (!allowance.take((*decoded)->size())) return {};
            return **decoded;
        }
    }
    if (!allowance.take(raw.size())) return {};
    return ByteVec(raw.begin(), raw.end());
}

// The XObject tables of one page: the page's, and each form's own, built to the depth at which
// forms still run (kMaxFormDepth). A form's table is built once per resources dictionary and
// level, so forms that share resources, or draw themselves, cost one table per level.
struct XObjectBuilder {
    const Document& doc;
    DocumentState& state;
    ByteAllowance& allowance;
    std::unordered_map<const PdfObject*, std::shared_ptr<const XObjectTable>> tables[kMaxFormDepth + 2];

    // `level` counts the forms around the content that uses the table: 0 for the page.
    XObjectTable build(const PdfObject& resources, std::uint32_t level);
    XObjectData form(const PdfObject& form, const PdfStream& stream, std::uint32_t level);
};

XObjectData XObjectBuilder::form(const PdfObject& form, const PdfStream& stream, std::uint32_t level) {
    XObjectData x;
    x.kind = XObjectData::Kind::Form;
    // A form at this level is drawn at depth `level` and runs only while that is within
    // kMaxFormDepth: deeper ones are kept as forms that draw nothing.
    if (level > kMaxFormDepth) return x;
    x.data = form_content(form, stream, doc, state.streams, allowance);
    double m[6] = {1, 0, 0, 1, 0, 0};
    read_numbers(doc.resolve_key(&form, "Matrix").get(), m, 6);
    x.matrix = Matrix{m[0], m[1], m[2], m[3], m[4], m[5]};
    read_numbers(doc.resolve_key(&form, "BBox").get(), x.bbox, 4);
    if (Resolved resources = doc.resolve_key(&form, "Resources")) {
        x.fonts = build_font_map(*resources, doc, state.fonts);
        auto& built = tables[level + 1];
        auto [it, fresh] = built.try_emplace(resources.get());
        if (fresh) it->second = std::make_shared<const XObjectTable>(build(*resources, level + 1));
        if (!it->second->empty()) x.xobjects = it->second;
    }
    return x;
}

XObjectTable XObjectBuilder::build(const PdfObject& resources, std::uint32_t level) {
    XObjectTable table;
    const Resolved xobjects = doc.resolve_key(&resources, "XObject");
    const PdfDict* entries = xobjects ? std::get_if<PdfDict>(&xobjects->value) : nullptr;
    if (!entries) return table;
    for (const DictEntry& entry : *entries) {
        // XObjects are streams, so only a reference can name one.
        const std::optional<ObjectId> ref = entry.value.as_ref();
        if (!ref) continue;
        const Resolved fetched = doc.resolve(&entry.value);
        if (!fetched) continue;
        const PdfObject& obj = *fetched;
        const PdfObject* subtype = obj.get("Subtype");
        if (subtype && subtype->is_name("Form")) {
            const PdfStream* stream = obj.stream();
            if (!stream) continue;  // a form without content draws nothing
            XObjectData drawn = form(obj, *stream, level);
            drawn.id = *ref;
            table.insert_or_assign(lossy_utf8(entry.key), std::move(drawn));
        } else {
            XObjectData image;
            image.id = *ref;
            image.object = ObjPtr(fetched.holder, fetched.get());
            table.insert_or_assign(lossy_utf8(entry.key), std::move(image));
        }
    }
    return table;
}

// Annotations of one page read for their appearances. Form pages carry a few hundred widgets at
// most; the bound keeps an Annots array of millions of entries from costing that many lookups.
constexpr size_t kMaxPageAnnotations = 1024;

// Annotation flags (ISO 32000-1, 12.5.3) of annotations that are not shown on screen.
constexpr std::int64_t kAnnotHidden = 1 << 1;
constexpr std::int64_t kAnnotNoView = 1 << 5;

// The appearance an annotation shows on screen (ISO 32000-1, 12.5.5): its /AP /N, a form or a
// dictionary of forms of which /AS names the one in use. Empty for annotations that are not
// shown (Hidden or NoView), for Popups (whose text is their parent's, shown only when opened)
// and for Links (which draw no text).
Resolved shown_appearance(const Document& doc, const PdfObject& annot) {
    if (!annot.dict()) return {};
    const Resolved subtype = doc.resolve_key(&annot, "Subtype");
    if (subtype && (subtype->is_name("Popup") || subtype->is_name("Link"))) return {};
    if (const Resolved flags = doc.resolve_key(&annot, "F")) {
        const std::optional<double> f = flags->as_number();
        if (f && std::isfinite(*f) && *f >= 0 && *f < 4294967296.0 &&
            (static_cast<std::int64_t>(*f) & (kAnnotHidden | kAnnotNoView)) != 0) {
            return {};
        }
    }
    const Resolved ap = doc.resolve_key(&annot, "AP");
    if (!ap || !ap->dict()) return {};
    Resolved normal = doc.resolve_key(ap.get(), "N");
    if (!normal || normal->stream()) return normal;
    if (!normal->dict()) return {};
    const Resolved state = doc.resolve_key(&annot, "AS");
    const std::optional<Bytes> name = state ? state->as_name() : std::nullopt;
    if (!name) return {};
    Resolved chosen = doc.resolve_key(normal.get(), std::string_view(
        reinterpret_cast<const char*>(name->data()), name->size()));
    return chosen && chosen->stream() ? chosen : Resolved{};
}

// The matrix that maps an appearance form onto its annotation's rectangle (ISO 32000-1, 12.5.5,
// algorithm 8.1): the form's BBox, transformed by its Matrix, is scaled and moved to fill Rect.
// Nothing when either box encloses no area.
std::optional<Matrix> appearance_matrix(const XObjectData& form, const Resolved& rect) {
    double r[4] = {0, 0, 0, 0};
    read_numbers(rect.get(), r, 4);
    const Matrix& m = form.matrix;
    double x0 = HUGE_VAL, y0 = HUGE_VAL, x1 = -HUGE_VAL, y1 = -HUGE_VAL;
    for (int i = 0; i < 4; ++i) {
        const double x = form.bbox[i & 1 ? 2 : 0];
        const double y = form.bbox[i & 2 ? 3 : 1];
        const double tx = m.a * x + m.c * y + m.e;
        const double ty = m.b * x + m.d * y + m.f;
        x0 = std::min(x0, tx), x1 = std::max(x1, tx);
        y0 = std::min(y0, ty), y1 = std::max(y1, ty);
    }
    const double rx0 = std::min(r[0], r[2]), rx1 = std::max(r[0], r[2]);
    const double ry0 = std::min(r[1], r[3]), ry1 = std::max(r[1], r[3]);
    if (!(x1 > x0 && y1 > y0 && rx1 > rx0 && ry1 > ry0)) return std::nullopt;
    const double sx = (rx1 - rx0) / (x1 - x0);
    const double sy = (ry1 - ry0) / (y1 - y0);
    const Matrix a{sx, 0, 0, sy, rx0 - x0 * sx, ry0 - y0 * sy};
    if (!std::isfinite(a.a) || !std::isfinite(a.d) || !std::isfinite(a.e) || !std::isfinite(a.f)) {
        return std::nullopt;
    }
    return a;
}

// The appearances of the page's annotations, in Annots order, with their forms kept in `forms`
// (a list, so that the appearances may point into it).
std::vector<Appearance> page_appearances(const PdfObject& page, XObjectBuilder& builder,
                                         std::deque<XObjectData>& forms) {
    std::vector<Appearance> out;
    const Document& doc = builder.doc;
    const Resolved annots = doc.resolve_key(&page, "Annots");
    const PdfArray* items = annots ? annots->array() : nullptr;
    if (!items) return out;
    const size_t count = std::min(items->size(), kMaxPageAnnotations);
    for (size_t i = 0; i < count; ++i) {
        const Resolved annot = doc.resolve(&(*items)[i]);
        if (!annot) continue;
        const Resolved shown = shown_appearance(doc, *annot);
        if (!shown) continue;
        XObjectData form = builder.form(*shown, *shown->stream(), /*level=*/0);
        if (form.data.empty()) continue;
        const std::optional<Matrix> matrix = appearance_matrix(form, doc.resolve_key(annot.get(), "Rect"));
        if (!matrix) continue;
        forms.push_back(std::move(form));
        out.push_back(Appearance{&forms.back(), *matrix});
    }
    return out;
}

// Components of a colour space resource whose colours convert to sRGB (ISO 32000-1, 8.6): a
// device space by name, an ICCBased space by its N (or its Alternate), CalGray and CalRGB;
// 0 for every other space.
std::uint8_t color_space_components(const PdfObject& space, const Document& doc) {
    const Resolved resolved = doc.resolve(&space);
    if (!resolved) return 0;
    const PdfObject* family = &*resolved;
    const PdfArray* arr = resolved->array();
    if (arr != nullptr && !arr->empty()) family = &(*arr)[0];
    if (family->is_name("DeviceGray") || family->is_name("CalGray")) return 1;
    if (family->is_name("DeviceRGB") || family->is_name("CalRGB")) return 3;
    if (family->is_name("DeviceCMYK")) return 4;
    if (arr != nullptr && arr->size() >= 2 && family->is_name("ICCBased")) {
        const Resolved profile = doc.resolve(&(*arr)[1]);
        if (!profile) return 0;
        if (const PdfObject* n = profile->get("N")) {
            const std::optional<double> v = n->as_number();
            if (v && (*v == 1 || *v == 3 || *v == 4)) return static_cast<std::uint8_t>(*v);
        }
        if (const PdfObject* alternate = profile->get("Alternate"); alternate && alternate->as_name()) {
            return color_space_components(*alternate, doc);
        }
    }
    return 0;
}

ColorSpaceTable build_color_spaces(const PdfObject& resources, const Document& doc) {
    ColorSpaceTable table;
    const Resolved spaces = doc.resolve_key(&resources, "ColorSpace");
    const PdfDict* entries = spaces ? std::get_if<PdfDict>(&spaces->value) : nullptr;
    if (!entries) return table;
    for (const DictEntry& entry : *entries) {
        table.try_emplace(lossy_utf8(entry.key), color_space_components(entry.value, doc));
    }
    return table;
}

// Where a page's content lives: a view into the mapping (an unfiltered stream), into decoded
// bytes shared with the document's cache, or into bytes of the page's own.
struct PageContent {
    ByteVec owned;
    ObjPtr stream;
    std::shared_ptr<const ByteVec> decoded;
};

// The page's content: the bytes of one stream, or of an array of streams each followed by a
// newline. A view into `holder`.
Result<Bytes> page_content(const PdfObject& page, const Document& doc, PageContent& holder,
                           StreamCache& streams, ByteAllowance& allowance) {
    if (!page.dict()) return Bytes{};
    const PdfObject* contents = page.get("Contents");
    if (!contents) return Bytes{};
    if (std::optional<ObjectId> ref = contents->as_ref()) {
        VELLIX_TRY(stream, doc.get_object(*ref));
        if (!*stream || !(*stream)->stream()) return Bytes{};
        // An unfiltered stream is read in place from the mapping: no copy.
        // The Filter entry may be a reference (ISO 32000-1, 7.3.8.2 allows any direct or
        // indirect value).
        const Resolved filter = doc.resolve_key(stream->get(), "Filter");
        if (!filter) {
            holder.stream = std::move(*stream);
            return holder.stream->stream()->data;
        }
        VELLIX_TRY(data, decoded_stream(**stream, *filter, streams, allowance));
        holder.decoded = std::move(*data);
        return Bytes{*holder.decoded};
    }
    if (const PdfArray* parts = contents->array()) {
        ByteVec& owned = holder.owned;
        for (const PdfObject& part : *parts) {
            std::optional<ObjectId> ref = part.as_ref();
            if (!ref) continue;
            VELLIX_TRY(stream, doc.get_object(*ref));
            const PdfStream* s = *stream ? (*stream)->stream() : nullptr;
            // The stored bytes are read, and the decoded ones kept, so both are paid for; a
            // part that does not fit ends the content.
            if (s && !allowance.take(s->data.size())) break;
            const Resolved filter = s ? doc.resolve_key(stream->get(), "Filter") : Resolved{};
            if (s && !filter) {
                if (!allowance.take(s->data.size() + 1)) break;
                owned.insert(owned.end(), s->data.begin(), s->data.end());
            } else if (s) {
                VELLIX_TRY(data, streams.decoded(**stream, *filter));
                if (!allowance.take((*data)->size() + 1)) break;
                owned.insert(owned.end(), (*data)->begin(), (*data)->end());
            } else if (!allowance.take(1)) {
                break;  // not a stream: no data, only the newline
            }
            owned.push_back('\n');
        }
        return Bytes{owned};
    }
    return Bytes{};
}

std::optional<BBox> read_page_box(const Document& doc, const Resolved& box);  // below

// The page's visible area: its MediaBox (a default page when it has none) clipped to its
// CropBox (ISO 32000-1, 14.11.2).
BBox visible_area(const Document& doc, const PdfObject& page) {
    const std::optional<BBox> media = read_page_box(doc, doc.page_attribute(page, "MediaBox"));
    BBox area = media.value_or(BBox{0, 0, kDefaultPageWidth, kDefaultPageHeight});
    if (const std::optional<BBox> crop = read_page_box(doc, doc.page_attribute(page, "CropBox"))) {
        const BBox clipped{std::max(area.x0, crop->x0), std::max(area.y0, crop->y0),
                           std::min(area.x1, crop->x1), std::min(area.y1, crop->y1)};
        if (clipped.x1 > clipped.x0 && clipped.y1 > clipped.y0) area = clipped;
    }
    return area;
}

Result<PageResult> extract_page(const Document& doc, ObjectId page_id, const ExtractOptions& opts,
                                DocumentState& state, const PageLimits& limits) {
    DocumentBudget& budget = state.budget;
    if (budget.spent()) return PageResult{};
    VELLIX_TRY(page_obj, doc.get_object(ObjectId{page_id.num, 0}));
    if (!*page_obj) return PageResult{};
    const PdfObject& page = **page_obj;

    // Each bound of the page is also held to what the document has left.
    auto within_document = [&](size_t page_bound) {
        return static_cast<size_t>(std::min<std::uint64_t>(page_bound, budget.work_left()));
    };

    PageContent holder;
    ByteAllowance content_allowance{within_document(limits.content_bytes)};
    Result<Bytes> content = page_content(page, doc, holder, state.streams, content_allowance);
    // Paid even when the page fails, since the work was done; the interpreter reads every byte
    // of the content once more.
    budget.charge_work(content_allowance.used + (content ? content->size() : 0));
    if (!content) return std::unexpected(content.error());

    // Resources may be inherited from the page tree (ISO 32000-1, 7.7.3.4).
    const Resolved resources = doc.page_attribute(page, "Resources");

    FontTable fonts;
    XObjectTable xobjects;
    ColorSpaceTable color_spaces;
    ByteAllowance form_allowance{within_document(limits.form_bytes)};
    XObjectBuilder builder{doc, state, form_allowance, {}};
    if (resources) {
        fonts = build_font_map(*resources, doc, state.fonts);
        color_spaces = build_color_spaces(*resources, doc);
        xobjects = builder.build(*resources, /*level=*/0);
    }
    std::deque<XObjectData> appearance_forms;
    const std::vector<Appearance> appearances = page_appearances(page, builder, appearance_forms);
    budget.charge_work(form_allowance.used);

    std::uint64_t work = 0;
    ContentResult scanned = scan_content_stream_bounded(
        *content, fonts, xobjects, /*depth=*/0, std::min(kPageWorkBudget, budget.work_left()),
        std::min(kMaxPageOutput, budget.output_left()), work, &color_spaces, appearances);
    budget.charge_work(work);
    budget.charge_output(scanned.chars.size() + scanned.images.size());
    // The page is clipped to its visible area: text drawn wholly outside it is not seen.
    const BBox area = visible_area(doc, page);
    std::erase_if(scanned.chars, [&](const CharInfo& c) {
        return c.x1 < area.x0 || c.x0 > area.x1 || c.y1 < area.y0 || c.y0 > area.y1;
    });
    PageResult result;
    // The names move to the heap before layout, so that the spans' views of them stay valid.
    result.font_names = std::make_shared<const std::vector<std::string>>(std::move(scanned.fonts));
    result.blocks = cluster_chars(scanned.chars, *result.font_names);
    // Inline images need no resources, so a page without them may still have images.
    if (opts.include_images && !scanned.images.empty()) {
        static const PdfObject kNoResources;
        std::uint64_t image_bytes = 0;
        result.images = resolve_images(scanned.images, resources ? *resources : kNoResources, doc,
                                       within_document(limits.image_bytes), image_bytes, &state.images);
        budget.charge_work(image_bytes);
    }
    return result;
}

// A page's result with every failure, thrown or returned, turned into an empty page.
PageResult extract_page_or_empty(const Document& doc, ObjectId page, const ExtractOptions& opts,
                                 DocumentState& state) {
    try {
        Result<PageResult> r = extract_page(doc, page, opts, state, PageLimits{});
        if (r) return std::move(*r);
    } catch (...) {
        // Allocation failure or an internal fault on this page alone: the page is empty.
    }
    return PageResult{};
}

// One file opened, extracted and released, with thrown failures turned into values.
Result<ExtractResult> extract_file(const std::string& path, const ExtractOptions& opts) {
    try {
        return extract(path, opts);
    } catch (const std::bad_alloc&) {
        return std::unexpected(kOutOfMemory);
    } catch (...) {
        return std::unexpected(kInternalError);
    }
}

// Joins a thread when the scope ends, however it ends.
struct JoinOnExit {
    std::thread& thread;
    ~JoinOnExit() {
        if (thread.joinable()) thread.join();
    }
};

// Starts a thread that opens `path` and drops the result: the operating system then has the
// file's pages in memory when the calling thread opens it for real. No thread (the system
// refuses one, or memory runs out) is no loss.
std::thread start_open_ahead(const std::string& path) {
    try {
        return std::thread([copy = path]() noexcept {
            try {
                Result<DocPtr> doc = Document::open(copy);
                (void)doc;
            } catch (...) {
                // The open-ahead has no outcome; a failure here changes nothing.
            }
        });
    } catch (...) {
        return std::thread();
    }
}

}  // namespace

Result<ExtractResult> extract(const std::string& path, const ExtractOptions& opts) {
    VELLIX_TRY(doc, Document::open(path));
    return extract_doc(**doc, opts);  // the document is released on return
}

DocumentLimits document_limits(size_t file_size) {
    // Saturating: a size this large cannot be mapped, but the arithmetic must not wrap.
    const std::uint64_t size = file_size;
    auto grow = [size](std::uint64_t base, std::uint64_t per_byte) {
        const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - base;
        return size > room / per_byte ? std::numeric_limits<std::uint64_t>::max()
                                       : base + size * per_byte;
    };
    return DocumentLimits{grow(kDocumentWorkBase, kDocumentWorkPerFileByte),
                          grow(kDocumentOutputBase, kDocumentOutputPerFileByte)};
}

Result<ExtractResult> extract_doc(const Document& doc, const ExtractOptions& opts) {
    return extract_doc_with_limits_for_testing(doc, opts, document_limits(doc.bytes().size()));
}

Result<ExtractResult> extract_doc_with_limits_for_testing(const Document& doc,
                                                         const ExtractOptions& opts,
                                                         const DocumentLimits& limits) {
    VELLIX_TRY(pages, doc.page_refs());
    const size_t n = pages->size();
    const size_t chunk = (opts.batch_size != 0 && opts.batch_size < n) ? opts.batch_size : n;
    ExtractResult result;
    result.pages.reserve(n);
    if (n == 0) return result;

    DocumentState state(limits);
    std::vector<PageResult> batch;
    for (size_t start = 0; start < n; start += chunk) {
        const size_t count = std::min(chunk, n - start);
        if (state.budget.spent()) {
            // Nothing is left for the remaining pages: they come back empty, without a task each.
            result.pages.resize(result.pages.size() + count);
            continue;
        }
        if (opts.page_parallel && count >= 2) {
            // Each position is written by one task and read after all are done: no lock.
            batch.assign(count, PageResult{});
            parallel_for(count, [&](size_t i) {
                batch[i] = extract_page_or_empty(doc, (*pages)[start + i], opts, state);
            });
            for (PageResult& p : batch) result.pages.push_back(std::move(p));
        } else {
            for (size_t i = 0; i < count; ++i) {
                result.pages.push_back(extract_page_or_empty(doc, (*pages)[start + i], opts, state));
            }
        }
    }
    return result;
}

Result<PageResult> extract_single_page(const Document& doc, ObjectId page,
                                       const ExtractOptions& opts) {
    DocumentState state(document_limits(doc.bytes().size()));
    return extract_page(doc, page, opts, state, PageLimits{});
}

Result<PageResult> extract_single_page_with_limits_for_testing(const Document& doc, ObjectId page,
                                                               const ExtractOptions& opts,
                                                               const PageLimits& limits) {
    DocumentState state(document_limits(doc.bytes().size()));
    return extract_page(doc, page, opts, state, limits);
}

namespace {

// The four numbers of a page box, its elements given directly or by reference; nullopt when
// it is no array of at least four numbers or encloses no area.
std::optional<BBox> read_page_box(const Document& doc, const Resolved& box) {
    const PdfArray* items = box ? box->array() : nullptr;
    if (items == nullptr || items->size() < 4) return std::nullopt;
    double v[4];
    for (size_t i = 0; i < 4; ++i) {
        const Resolved item = doc.resolve(&(*items)[i]);
        std::optional<double> number = item ? item->as_number() : std::nullopt;
        if (!number || !std::isfinite(*number)) return std::nullopt;
        v[i] = *number;
    }
    // The corners may be given in any order (ISO 32000-1, 7.9.5).
    BBox out{std::min(v[0], v[2]), std::min(v[1], v[3]), std::max(v[0], v[2]),
             std::max(v[1], v[3])};
    if (out.x1 <= out.x0 || out.y1 <= out.y0) return std::nullopt;
    return out;
}

// Size and rotation of a page object, from its inherited boxes and Rotate entry.
void read_page_geometry(const Document& doc, const PdfObject& page, PageExtract& out) {
    const BBox area = visible_area(doc, page);
    out.width = area.x1 - area.x0;
    out.height = area.y1 - area.y0;
    // Rotate is a multiple of 90 (ISO 32000-1, 7.7.3.3); anything else is read as 0.
    const Resolved rotate = doc.page_attribute(page, "Rotate");
    const std::optional<double> degrees = rotate ? rotate->as_number() : std::nullopt;
    if (degrees && std::isfinite(*degrees) && std::fmod(*degrees, 90.0) == 0.0) {
        const double turned = std::fmod(*degrees, 360.0);
        out.rotation = static_cast<std::uint32_t>(turned < 0 ? turned + 360.0 : turned);
    }
}

}  // namespace

Result<std::vector<PageExtract>> extract_pages(const std::string& path,
                                              const ExtractOptions& opts) {
    VELLIX_TRY(doc, Document::open(path));
    return extract_pages_doc(**doc, opts);  // the document is released on return
}

Result<std::vector<PageExtract>> extract_pages_doc(const Document& doc,
                                                  const ExtractOptions& opts) {
    VELLIX_TRY(content, extract_doc(doc, opts));
    VELLIX_TRY(pages, doc.page_refs());
    std::vector<PageExtract> out(pages->size());
    AnnotationCount annotations;
    for (size_t i = 0; i < out.size(); ++i) {
        PageExtract& page = out[i];
        page.number = static_cast<std::uint32_t>(i);
        page.width = kDefaultPageWidth;
        page.height = kDefaultPageHeight;
        if (i < content->pages.size()) page.content = std::move(content->pages[i]);
        Result<ObjPtr> object = doc.get_object((*pages)[i]);
        if (!object || !*object) continue;
        read_page_geometry(doc, **object, page);
        if (annotations.spent()) continue;
        Result<std::vector<PageLink>> links =
            extract_page_links(doc, **object, page.number, annotations);
        if (links) page.links = std::move(*links);
    }
    return out;
}

Result<std::vector<std::uint8_t>> get_stream_data(const PdfObject& obj) {
    const PdfStream* stream = obj.stream();
    if (!stream) return std::vector<std::uint8_t>{};
    if (const PdfObject* filter = obj.get("Filter")) return decompress_stream(stream->data, *filter);
    return std::vector<std::uint8_t>(stream->data.begin(), stream->data.end());
}

std::vector<FileOutcome> extract_many(const std::vector<std::string>& paths,
                                      const ExtractOptions& opts) {
    // Pairs may come in any order: each goes to the position of its path.
    std::vector<FileOutcome> out(paths.size());
    extract_many_each(paths, opts, [&](size_t i, FileOutcome&& outcome) {
        out[i] = std::move(outcome);
    });
    return out;
}

void extract_many_each(const std::vector<std::string>& paths, const ExtractOptions& opts,
                       FunctionRef<void(size_t, FileOutcome&&)> consume) {
    const size_t n = paths.size();

    // Files in parallel only from eight files on: below that, the file tasks would not keep
    // the workers busy, and the open-ahead path overlaps the reading of files instead.
    constexpr size_t kMinFilesInParallel = 8;
    if (n >= kMinFilesInParallel && opts.file_parallel) {
        // Larger files start first, so that no large file starts last and runs alone at the
        // end while the other workers idle. The size is only a guess at the work, which is
        // enough for that.
        std::vector<std::pair<std::uintmax_t, size_t>> by_size(n);
        for (size_t i = 0; i < n; ++i) {
            std::error_code ec;
            const std::uintmax_t size = std::filesystem::file_size(paths[i], ec);
            by_size[i] = {ec ? 0 : size, i};
        }
        std::stable_sort(by_size.begin(), by_size.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        // Each slot is written by the task of its file and read by the caller only after that
        // task has finished: no lock.
        std::vector<Result<ExtractResult>> slots(n);
        parallel_consume(
            n,
            [&](size_t k) {
                const size_t i = by_size[k].second;
                slots[i] = extract_file(paths[i], opts);
            },
            [&](size_t k) {
                const size_t i = by_size[k].second;
                Result<ExtractResult> outcome = std::move(slots[i]);
                slots[i] = ExtractResult{};  // the moved-from pages are released now
                consume(i, FileOutcome(paths[i], std::move(outcome)));
            });
        return;
    }
    if (n < 2) {
        for (size_t i = 0; i < n; ++i) consume(i, FileOutcome(paths[i], extract_file(paths[i], opts)));
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        std::thread ahead;
        JoinOnExit join{ahead};
        if (i + 1 < n) ahead = start_open_ahead(paths[i + 1]);
        consume(i, FileOutcome(paths[i], extract_file(paths[i], opts)));
        // `join` waits for the open-ahead here, after the pair is handed over.
    }
}

}  // namespace vellix
