#include "page_label.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "content.h"
#include "document.h"
#include "error.h"

namespace quillet {

namespace {

std::string at_most(size_t limit, std::string_view what) {
    return "at most " + std::to_string(limit) + " " + std::string(what);
}

// What differs between the two kinds of tree: the pair array, the key kind,
// the error texts.
struct NameTreeKind {
    using Key = std::string;
    static constexpr std::string_view kTree = "name tree";
    static constexpr std::string_view kPairsKey = "Names";
    static constexpr std::string_view kPairsContext = "name tree /Names";
    static constexpr std::string_view kKidsContext = "name tree /Kids";
    static constexpr std::string_view kKidContext = "name tree kid";
    static PdfError cycle(ObjectId id) { return PdfError::name_tree_cycle(id); }

    // Keys are text strings; a name is accepted too and reads as its bytes.
    static Key key(const Object& key) {
        if (const std::string* text = key.as_string()) return decode_text_string(*text);
        if (const std::string* name = key.as_name()) return utf8_lossy(*name);
        throw PdfError::type_mismatch("name tree key", "string");
    }
};

struct NumberTreeKind {
    using Key = int64_t;
    static constexpr std::string_view kTree = "number tree";
    static constexpr std::string_view kPairsKey = "Nums";
    static constexpr std::string_view kPairsContext = "number tree /Nums";
    static constexpr std::string_view kKidsContext = "number tree /Kids";
    static constexpr std::string_view kKidContext = "number tree kid";
    static PdfError cycle(ObjectId id) { return PdfError::number_tree_cycle(id); }

    // Only the integer kind: 1.0 is not a key.
    static Key key(const Object& key) {
        if (std::optional<int64_t> value = key.as_integer()) return *value;
        throw PdfError::type_mismatch("number tree key", "integer");
    }
};

// One depth-first walk: the result map, the caller's path set, and the
// depth and work counters that bound hostile trees.
template <class Kind>
class TreeWalk {
public:
    using Entries = std::map<typename Kind::Key, const Object*>;

    TreeWalk(const Document& document, Entries& entries, std::set<ObjectId>& path)
        : document_(document), entries_(entries), path_(path) {}

    void walk(const Object& node, std::string_view context, size_t depth) {
        if (depth > kMaxTreeDepth) throw PdfError::type_mismatch(Kind::kTree, at_most(kMaxTreeDepth, "levels"));
        count_work();

        const Object* object = &node;
        const std::optional<ObjectId> id = node.as_reference();
        if (id) {
            if (!path_.insert(*id).second) throw Kind::cycle(*id);
            object = &document_.get(*id);
        }
        const Dictionary* dict = object->as_dict_like();
        if (!dict) throw PdfError::type_mismatch(context, "dictionary");

        // /Limits is not read: keys are taken from every node whatever
        // their order, so a tree with wrong limits still yields all keys.
        if (const Object* pairs_entry = dict->get(Kind::kPairsKey)) {
            const Array* pairs = document_.resolve(*pairs_entry).as_array();
            if (!pairs) throw PdfError::type_mismatch(Kind::kPairsContext, "array");
            if (pairs->size() % 2 != 0) throw PdfError::type_mismatch(Kind::kPairsContext, "even-length key/value array");
            for (size_t i = 0; i < pairs->size(); i += 2) {
                count_work();
                typename Kind::Key key = Kind::key((*pairs)[i]);
                entries_.insert_or_assign(std::move(key), &document_.resolve((*pairs)[i + 1]));
            }
        }
        if (const Object* kids_entry = dict->get("Kids")) {
            const Array* kids = document_.resolve(*kids_entry).as_array();
            if (!kids) throw PdfError::type_mismatch(Kind::kKidsContext, "array");
            for (const Object& kid : *kids) walk(kid, Kind::kKidContext, depth + 1);
        }

        if (id) path_.erase(*id);
    }

private:
    void count_work() {
        if (++work_ > kMaxTreeWork) {
            throw PdfError::type_mismatch(Kind::kTree, at_most(kMaxTreeWork, "nodes and key/value pairs"));
        }
    }

    const Document& document_;
    Entries& entries_;
    std::set<ObjectId>& path_;
    size_t work_ = 0;
};

}  // namespace

void Document::collect_name_tree_entries(const Object& node, std::string_view context,
                                         std::map<std::string, const Object*>& entries,
                                         std::set<ObjectId>& visited) const {
    TreeWalk<NameTreeKind>(*this, entries, visited).walk(node, context, 0);
}

void Document::collect_number_tree(const Object& node, std::string_view context,
                                   std::map<int64_t, const Object*>& entries, std::set<ObjectId>& visited) const {
    TreeWalk<NumberTreeKind>(*this, entries, visited).walk(node, context, 0);
}

}  // namespace quillet
