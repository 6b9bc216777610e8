#include "page.h"

#include <mutex>
#include <string>

#include "call_scope.h"
#include "document_cache.h"
#include "error.h"
#include "trace.h"

namespace quillet {

namespace {

// /Contents arrays may nest and may name other arrays by reference.  Real
// pages use one array level; these bounds stop an array that contains
// itself from recursing without end, and arrays that name the same array
// many times over from multiplying the work.
constexpr size_t kMaxContentsDepth = 32;
constexpr size_t kMaxContentsItems = 100'000;


}  // namespace

PageAttributes PageAttributes::inherit_from(const PageAttributes& parent, const Dictionary& node) {
    PageAttributes result = parent;
    if (const Object* value = node.get("Resources")) result.resources = value;
    if (const Object* value = node.get("MediaBox")) result.media_box = value;
    if (const Object* value = node.get("CropBox")) result.crop_box = value;
    if (const Object* value = node.get("Rotate")) result.rotate = value;
    return result;
}

const std::vector<PageEntry>& Document::pages() const {
    DocumentCache& cache = *cache_;
    const std::lock_guard<std::mutex> lock(cache.pages_mutex);
    if (!cache.pages_walked) {
        try {
            cache.pages = walk_pages();
        } catch (const PdfError& error) {
            cache.pages_error = error;
        }
        cache.pages_walked = true;
    }
    if (cache.pages_error) throw *cache.pages_error;
    return cache.pages;
}

std::vector<PageEntry> Document::walk_pages() const {
    trace::Span span(trace::kDocument, "pages");
    const Object* root = catalog().get("Pages");
    if (!root) throw PdfError::missing_entry("catalog", "Pages");
    const std::optional<ObjectId> root_id = root->as_reference();
    if (!root_id) throw PdfError::type_mismatch("catalog /Pages", "indirect reference");

    std::vector<PageEntry> out;
    std::set<ObjectId> path;
    size_t visited = 0;
    collect_pages(*root_id, PageAttributes{}, path, out, visited);
    if (span.active()) span.record("pages", std::to_string(out.size()));
    return out;
}

void Document::collect_pages(ObjectId id, const PageAttributes& inherited, std::set<ObjectId>& path,
                             std::vector<PageEntry>& out, size_t& visited) const {
    // Only the current ancestors are in `path`: a node reached along two
    // branches is walked twice, a node that is its own ancestor is a cycle.
    if (!path.insert(id).second) throw PdfError::page_tree_cycle(id);
    if (path.size() > kMaxPageTreeDepth) throw PdfError::limit_exceeded("page tree", kMaxPageTreeDepth, "levels");
    if (++visited > kMaxPageTreeNodes) throw PdfError::limit_exceeded("page tree", kMaxPageTreeNodes, "nodes");

    const Dictionary* node = get(id).as_dict_like();
    if (!node) throw PdfError::type_mismatch("page tree node", "dictionary");

    if (const Object* type = node->get("Type")) {
        if (type->is_name("Page")) {
            // A leaf: its own /Kids, if any, are not looked at.  A page
            // listed under several parents is listed once per parent, but a
            // sound file needs an object per page: a few nodes that name
            // each other many times over would otherwise describe millions
            // of pages, and every per-page feature would work for each.
            if (out.size() >= objects.size()) {
                throw PdfError::limit_exceeded("page tree", objects.size(),
                                               "page occurrences, as many as the file has objects");
            }
            out.push_back(PageEntry{node, id, inherited});
            path.erase(id);
            return;
        }
        // A /Type that is not a name counts as absent: an intermediate node.
        if (type->as_name() && !type->is_name("Pages")) {
            throw PdfError::type_mismatch("page tree node /Type", "/Pages or /Page");
        }
    }

    const PageAttributes attributes = PageAttributes::inherit_from(inherited, *node);
    const Object* kids_entry = node->get("Kids");
    if (!kids_entry) throw PdfError::missing_entry("page tree node", "Kids");
    const Array* kids = resolve(*kids_entry).as_array();
    if (!kids) throw PdfError::type_mismatch("page tree node /Kids", "array");
    for (const Object& kid : *kids) {
        const std::optional<ObjectId> kid_id = kid.as_reference();
        if (!kid_id) throw PdfError::type_mismatch("page tree node /Kids item", "indirect reference");
        collect_pages(*kid_id, attributes, path, out, visited);
    }
    path.erase(id);
}

std::optional<std::array<double, 4>> page_box(const Object* value) {
    const Array* array = value ? value->as_array() : nullptr;
    if (!array || array->size() != 4) return std::nullopt;
    std::array<double, 4> box;
    for (size_t i = 0; i < 4; ++i) {
        const std::optional<double> number = (*array)[i].as_f64();
        if (!number) return std::nullopt;
        box[i] = *number;
    }
    return box;
}

uint64_t Document::page_count() const {
    const Object* root = catalog().get("Pages");
    if (!root) throw PdfError::missing_entry("catalog", "Pages");
    const Dictionary* node = resolve(*root).as_dict_like();
    if (!node) throw PdfError::type_mismatch("catalog /Pages", "dictionary");
    const Object* count = node->get("Count");
    if (!count) throw PdfError::missing_entry("page tree root", "Count");
    const std::optional<int64_t> value = count->as_integer();
    if (!value || *value < 0) throw PdfError::type_mismatch("page tree root /Count", "non-negative integer");
    return static_cast<uint64_t>(*value);
}

const Dictionary* Document::page_resource_dictionary(const Dictionary& page, const Object* inherited_resources) const {
    const Object* entry = page.get("Resources");
    if (!entry) entry = inherited_resources;
    if (!entry) return nullptr;
    const Dictionary* resources = resolve(*entry).as_dict_like();
    if (!resources) throw PdfError::type_mismatch("page /Resources", "dictionary");
    return resources;
}

namespace {

struct ContentsWalk {
    const Document& document;
    std::vector<const Stream*>& out;
    size_t items = 0;

    void collect(const Object& contents, size_t depth) {
        if (depth > kMaxContentsDepth) {
            // Deeper than any real /Contents: in practice an array that
            // contains itself, which is no array of streams.
            throw PdfError::type_mismatch("page /Contents", "stream or array of streams");
        }
        if (++items > kMaxContentsItems) {
            throw PdfError::limit_exceeded("page /Contents", kMaxContentsItems, "streams");
        }
        const Object& value = document.resolve(contents);
        if (const Stream* stream = value.as_stream()) {
            out.push_back(stream);
        } else if (const Array* array = value.as_array()) {
            for (const Object& element : *array) collect(element, depth + 1);
        } else {
            throw PdfError::type_mismatch("page /Contents", "stream or array of streams");
        }
    }
};

}  // namespace

void Document::collect_content_streams(const Object& contents, std::vector<const Stream*>& out) const {
    ContentsWalk walk{*this, out};
    walk.collect(contents, 0);
    // One /Contents array may serve every page of a file.
    charge_work("page /Contents", walk.items * kRecordWorkBytes);
}

}  // namespace quillet
