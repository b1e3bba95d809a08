#include "links.h"

#include <iterator>
#include <optional>

#include "document.h"

namespace vellix {

namespace {

// The decoded bytes of a literal or hexadecimal string; nullopt for every other object.
std::optional<std::vector<std::uint8_t>> decoded_string(const PdfObject& obj) {
    if (const auto* s = std::get_if<PdfString>(&obj.value)) return decode_literal_string(s->bytes);
    if (const auto* h = std::get_if<PdfHexString>(&obj.value)) return decode_hex_string(h->bytes);
    return std::nullopt;
}

// UTF-8 text of a string's decoded bytes. A string that starts with the byte order mark FE FF is
// a UTF-16BE text string of the PDF format; anything else is taken as UTF-8 with every invalid
// sequence replaced by U+FFFD.
std::string string_text(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2 || bytes[0] != 0xFE || bytes[1] != 0xFF) return lossy_utf8(bytes);
    std::string out;
    out.reserve(bytes.size());
    size_t i = 2;
    while (i + 1 < bytes.size()) {
        const char32_t unit = (char32_t{bytes[i]} << 8) | bytes[i + 1];
        i += 2;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < bytes.size()) {
            const char32_t low = (char32_t{bytes[i]} << 8) | bytes[i + 1];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i += 2;
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
        }
        append_utf8(out, unit);  // a lone surrogate comes out as U+FFFD
    }
    if (i < bytes.size()) append_utf8(out, 0xFFFD);  // an odd last byte is half a code unit
    return out;
}

bool starts_with_web_scheme(const std::vector<std::uint8_t>& bytes) {
    const std::string_view s = as_chars(bytes);
    return s.starts_with("http://") || s.starts_with("https://");
}

// The target of a URI action: the action's first URI entry when the action's first S entry is
// the name URI and the entry is a string (literal or hexadecimal).
std::optional<std::string> uri_action_target(const PdfObject& action) {
    const PdfObject* kind = action.get("S");
    if (kind == nullptr || !kind->is_name("URI")) return std::nullopt;
    const PdfObject* uri = action.get("URI");
    if (uri == nullptr) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> bytes = decoded_string(*uri);
    if (!bytes) return std::nullopt;
    return string_text(*bytes);
}

// The first four numbers of a directly given Rect array, other elements skipped; all zero when
// the entry is missing, indirect or has fewer than four numbers.
void read_rect(const PdfObject& annot, double (&bbox)[4]) {
    const PdfObject* rect = annot.get("Rect");
    const PdfArray* items = rect ? rect->array() : nullptr;
    if (items == nullptr) return;
    double found[4] = {0, 0, 0, 0};
    size_t count = 0;
    for (const PdfObject& item : *items) {
        if (std::optional<double> v = item.as_number()) {
            found[count++] = *v;
            if (count == 4) break;
        }
    }
    if (count < 4) return;
    for (size_t k = 0; k < 4; ++k) bbox[k] = found[k];
}

// The web target of one annotation, or nullopt when the annotation is no web link (or its
// action cannot be fetched, which drops only this annotation).
std::optional<std::string> link_target(const Document& doc, const PdfObject& annot) {
    if (const PdfObject* action = annot.get("A")) {
        if (std::optional<ObjectId> ref = action->as_ref()) {
            Result<ObjPtr> fetched = doc.get_object(*ref);
            if (!fetched) return std::nullopt;
            if (auto target = uri_action_target(**fetched)) return target;
        } else if (auto target = uri_action_target(*action)) {
            return target;
        }
    }
    // Only a destination given as a string can be a web address: named and explicit
    // destinations (names, arrays) point into the document.
    const PdfObject* dest = annot.get("Dest");
    if (dest == nullptr) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> bytes = decoded_string(*dest);
    if (!bytes || !starts_with_web_scheme(*bytes)) return std::nullopt;
    return string_text(*bytes);
}

}  // namespace

Result<std::vector<PageLink>> extract_links(const Document& doc) {
    return extract_links_for_testing(doc, kMaxAnnotationsPerDocument);
}

Result<std::vector<PageLink>> extract_links_for_testing(const Document& doc,
                                                        size_t max_annotations) {
    VELLIX_TRY(pages, doc.page_refs());
    std::vector<PageLink> links;
    AnnotationCount count{.max = max_annotations};
    for (size_t index = 0; index < pages->size() && !count.spent(); ++index) {
        VELLIX_TRY(page, doc.get_object((*pages)[index]));
        VELLIX_TRY(found,
                   extract_page_links(doc, **page, static_cast<std::uint32_t>(index), count));
        links.insert(links.end(), std::make_move_iterator(found->begin()),
                     std::make_move_iterator(found->end()));
    }
    return links;
}

Result<std::vector<PageLink>> extract_page_links(const Document& doc, const PdfObject& page,
                                                 std::uint32_t index, AnnotationCount& count) {
    std::vector<PageLink> links;
    const PdfObject* annots = page.get("Annots");
    if (annots == nullptr) return links;

    // Keeps a fetched Annots array alive while its elements are read.
    ObjPtr holder;
    const PdfArray* items = annots->array();
    if (std::optional<ObjectId> ref = annots->as_ref()) {
        VELLIX_TRY(fetched, doc.get_object(*ref));
        holder = *fetched;
        items = holder->array();
    }
    if (items == nullptr) return links;

    for (const PdfObject& item : *items) {
        if (++count.seen > count.max) return links;
        ObjPtr annot_holder;
        const PdfObject* annot = &item;
        if (std::optional<ObjectId> ref = item.as_ref()) {
            VELLIX_TRY(fetched, doc.get_object(*ref));
            annot_holder = *fetched;
            annot = annot_holder.get();
        }
        if (annot->dict() == nullptr) continue;
        const PdfObject* subtype = annot->get("Subtype");
        if (subtype == nullptr || !subtype->is_name("Link")) continue;

        std::optional<std::string> target = link_target(doc, *annot);
        if (!target) continue;
        PageLink link;
        link.uri = std::move(*target);
        read_rect(*annot, link.bbox);
        link.page = index;
        links.push_back(std::move(link));
    }
    return links;
}

}  // namespace vellix
