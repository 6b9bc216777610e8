#include "outline.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "error.h"
#include "link.h"
#include "page.h"
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

// ---- table of contents ----

namespace {

// Where outline targets lead.  The page list and the named destinations are
// whole-document walks, made once per call and only when an item needs them.
class TocTargets {
public:
    explicit TocTargets(const Document& document) : document_(document) {}

    void resolve(const OutlineItem& item, TocEntry& entry) {
        // As for link annotations, an action decides and /Dest is then not
        // looked at; GoTo actions and destinations resolve the same way.
        std::optional<LinkTarget> target;
        if (item.action) {
            target = action_target(document_, *item.action);
        } else if (item.destination) {
            target = destination_target(document_, *item.destination);
        }
        if (!target) return;
        if (auto* uri = std::get_if<LinkTarget::Uri>(&target->value)) {
            entry.uri = std::move(uri->uri);
        } else if (const auto* named = std::get_if<LinkTarget::Named>(&target->value)) {
            entry.page_index = named_page(named->name);
        } else if (const auto* explicit_destination = std::get_if<LinkTarget::Destination>(&target->value)) {
            entry.page_index = destination_page(explicit_destination->destination);
        }
        // Any other action (another file, a launch, a named action) leads
        // to no page of this document.
    }

private:
    // An explicit destination is [page /Fit ...]: its first element is a
    // reference to a page object.  Some writers put a 0-based page number
    // there instead, as remote destinations do; it is read as one when it
    // names an existing page.
    std::optional<size_t> destination_page(const Object& destination) {
        const Array* array = destination.as_array();
        if (!array || array->empty()) return std::nullopt;
        const Object& page = array->front();
        const std::map<ObjectId, size_t>& indices = page_indices();
        if (const std::optional<ObjectId> id = page.as_reference()) {
            const auto found = indices.find(*id);
            if (found == indices.end()) return std::nullopt;
            return found->second;
        }
        const std::optional<int64_t> number = page.as_integer();
        if (number && *number >= 0 && static_cast<uint64_t>(*number) < page_count_) {
            return static_cast<size_t>(*number);
        }
        return std::nullopt;
    }

    std::optional<size_t> named_page(const std::string& name) {
        if (!named_) named_ = document_.named_destinations();
        const auto found = named_->find(name);
        if (found == named_->end()) return std::nullopt;
        return destination_page(found->second);
    }

    // Page object id to its index; a page listed under several branches
    // is known by its first occurrence.
    const std::map<ObjectId, size_t>& page_indices() {
        if (!page_indices_) {
            const std::vector<PageEntry>& pages = document_.pages();
            page_count_ = pages.size();
            page_indices_.emplace();
            for (size_t i = 0; i < pages.size(); ++i) page_indices_->emplace(pages[i].id, i);
        }
        return *page_indices_;
    }

    const Document& document_;
    std::optional<std::map<ObjectId, size_t>> page_indices_;
    size_t page_count_ = 0;
    std::optional<std::map<std::string, Object>> named_;
};

void flatten_outline(std::vector<OutlineItem>& items, size_t level, TocTargets& targets, std::vector<TocEntry>& out) {
    for (OutlineItem& item : items) {
        TocEntry entry{level, std::move(item.title), std::nullopt, std::nullopt};
        targets.resolve(item, entry);
        out.push_back(std::move(entry));
        // As deep as the outline, which its walk bounds (kMaxOutlineDepth).
        flatten_outline(item.children, level + 1, targets, out);
    }
}

}  // namespace

std::vector<TocEntry> Document::toc() const {
    // The outline walk bounds the items and the bytes they copy; each
    // entry resolves its one target against walks made once per call.
    std::vector<OutlineItem> items = outlines();
    TocTargets targets(*this);
    std::vector<TocEntry> out;
    flatten_outline(items, 1, targets, out);
    return out;
}

}  // namespace quillet
