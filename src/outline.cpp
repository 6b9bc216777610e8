#include "outline.h"

#include <string>
#include <string_view>

#include "error.h"
#include "link.h"
#include "text_string.h"

namespace quillet {

namespace {

// /First and /Next must name their item by reference: items are known by
// their ids, which the cycle guard and the results use.
std::optional<ObjectId> item_link(const Dictionary& item, std::string_view key, std::string_view context) {
    const Object* value = item.get(key);
    if (!value) return std::nullopt;
    const std::optional<ObjectId> id = value->as_reference();
    if (!id) throw PdfError::type_mismatch(context, "indirect reference");
    return id;
}

}  // namespace

std::vector<OutlineItem> Document::outlines() const {
    const Object* root = catalog().get("Outlines");
    if (!root) return {};
    const Dictionary& outline = resolve_to_dictionary(*root, "catalog /Outlines");
    const std::optional<ObjectId> first = item_link(outline, "First", "outline root /First");
    if (!first) return {};
    std::set<ObjectId> ancestors;
    OutlineWork work;
    return collect_outline_chain(*this, *first, ancestors, work);
}

std::vector<OutlineItem> collect_outline_chain(const Document& document, ObjectId first,
                                               std::set<ObjectId>& ancestors, OutlineWork& work) {
    // Siblings are walked in a loop, children by recursion.  `chain` catches
    // a /Next that returns to an earlier sibling, `ancestors` a /First that
    // returns to an item on the path; an item reached under two different
    // parents is no cycle and is read once under each.
    std::set<ObjectId> chain;
    std::vector<OutlineItem> items;
    std::optional<ObjectId> current = first;
    while (current) {
        const ObjectId id = *current;
        if (!chain.insert(id).second || !ancestors.insert(id).second) throw PdfError::outline_cycle(id);
        if (ancestors.size() > kMaxOutlineDepth) {
            throw PdfError::limit_exceeded("outline tree", kMaxOutlineDepth, "levels");
        }
        if (++work.items > kMaxOutlineItems) {
            throw PdfError::limit_exceeded("outline tree", kMaxOutlineItems, "items");
        }

        const Dictionary* item = document.get(id).as_dict_like();
        if (!item) throw PdfError::type_mismatch("outline item", "dictionary");
        const Object* title = item->get("Title");
        if (!title) throw PdfError::missing_entry("outline item", "Title");
        // Titles are often stored as objects of their own (pdfTeX writes
        // every title so), so a reference is followed one level.
        const std::string* title_bytes = document.resolve(*title).as_string();
        if (!title_bytes) throw PdfError::type_mismatch("outline item /Title", "string");
        const Object* destination = item->get("Dest");
        const Object* action_entry = item->get("A");
        const Dictionary* action =
            action_entry ? &document.resolve_to_dictionary(*action_entry, "outline item /A") : nullptr;

        work.bytes += title_bytes->size() + (destination ? copy_weight(*destination) : 0) +
                      (action ? copy_weight(*action) : 0);
        if (work.bytes > kMaxOutlineBytes) {
            throw PdfError::limit_exceeded("outline tree", kMaxOutlineBytes, "bytes of titles and targets");
        }

        OutlineItem record{id, decode_pdf_text_string(*title_bytes), std::nullopt, std::nullopt, {}};
        if (destination) record.destination = *destination;
        if (action) record.action = *action;
        if (const std::optional<ObjectId> child = item_link(*item, "First", "outline item /First")) {
            record.children = collect_outline_chain(document, *child, ancestors, work);
        }
        current = item_link(*item, "Next", "outline item /Next");

        ancestors.erase(id);
        items.push_back(std::move(record));
    }
    return items;
}

}  // namespace quillet
