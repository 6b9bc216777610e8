#include "page_label.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "call_scope.h"
#include "content.h"
#include "document.h"
#include "error.h"
#include "text_string.h"

namespace quillet {

namespace {

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
        if (depth > kMaxTreeDepth) throw PdfError::limit_exceeded(Kind::kTree, kMaxTreeDepth, "levels");
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
            throw PdfError::limit_exceeded(Kind::kTree, kMaxTreeWork, "nodes and key/value pairs");
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

namespace {

std::string roman(uint64_t n, bool upper) {
    static constexpr std::pair<uint64_t, std::string_view> kTable[] = {
        {1000, "M"}, {900, "CM"}, {500, "D"}, {400, "CD"}, {100, "C"}, {90, "XC"}, {50, "L"},
        {40, "XL"},  {10, "X"},   {9, "IX"},  {5, "V"},    {4, "IV"},  {1, "I"},
    };
    if (n > kMaxRomanValue) {
        throw PdfError::type_mismatch("page label /St",
                                      "roman numeral value of at most " + std::to_string(kMaxRomanValue));
    }
    std::string out;
    for (const auto& [value, text] : kTable) {
        for (; n >= value; n -= value) out += text;
    }
    if (!upper) {
        // The numeral is plain ASCII upper case.
        for (char& c : out) c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

std::string letters(uint64_t n, char base) {
    std::string out;
    while (n > 0) {
        const uint64_t e = n - 1;
        out += static_cast<char>(base + static_cast<char>(e % 26));
        n = e / 26;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

PageLabelRule PageLabelRule::from_dictionary(uint64_t start, const Dictionary& dictionary) {
    PageLabelRule rule;
    rule.start = start;
    if (const Object* s = dictionary.get("S")) {
        const std::string* name = s->as_name();
        if (!name) throw PdfError::type_mismatch("page label /S", "name");
        if (*name == "D") {
            rule.style = LabelStyle::Decimal;
        } else if (*name == "R") {
            rule.style = LabelStyle::UpperRoman;
        } else if (*name == "r") {
            rule.style = LabelStyle::LowerRoman;
        } else if (*name == "A") {
            rule.style = LabelStyle::UpperLetters;
        } else if (*name == "a") {
            rule.style = LabelStyle::LowerLetters;
        } else {
            throw PdfError::type_mismatch("page label /S", "/D, /R, /r, /A, or /a");
        }
    }
    if (const Object* p = dictionary.get("P")) {
        const std::string* text = p->as_string();
        if (!text) throw PdfError::type_mismatch("page label /P", "string");
        rule.prefix = decode_pdf_text_string(*text);
    }
    if (const Object* st = dictionary.get("St")) {
        const std::optional<int64_t> first = st->as_integer();
        if (!first || *first < 1) throw PdfError::type_mismatch("page label /St", "positive integer");
        rule.first = *first;
    }
    return rule;
}

std::string PageLabelRule::label_for_page(uint64_t index) const {
    if (!style) return prefix;
    // /St may be anything up to 2^63 - 1: the sum is formed in unsigned
    // arithmetic and checked before it could wrap.
    const uint64_t offset = index > start ? index - start : 0;
    const uint64_t base = static_cast<uint64_t>(first);
    if (offset > std::numeric_limits<uint64_t>::max() - base) {
        throw PdfError::type_mismatch("page label /St", "numbering that fits in 64 bits");
    }
    const uint64_t n = base + offset;

    std::string numeral;
    switch (*style) {
        case LabelStyle::Decimal: numeral = std::to_string(n); break;
        case LabelStyle::UpperRoman: numeral = roman(n, true); break;
        case LabelStyle::LowerRoman: numeral = roman(n, false); break;
        case LabelStyle::UpperLetters: numeral = letters(n, 'A'); break;
        case LabelStyle::LowerLetters: numeral = letters(n, 'a'); break;
    }
    return prefix + numeral;
}

std::vector<std::string> Document::page_labels() const {
    const uint64_t count = page_count();
    // The declared /Count is not checked against the leaves, but a file
    // needs one page object per page: a larger count (say 10^12 in a
    // one-page file) describes pages that cannot exist and is refused
    // before one label is made for each.
    if (count > objects.size()) {
        throw PdfError::type_mismatch("page tree root /Count",
                                      "no more pages than the file's " + std::to_string(objects.size()) + " objects");
    }

    std::vector<PageLabelRule> rules;
    if (const Object* tree = catalog().get("PageLabels")) {
        std::map<int64_t, const Object*> entries;
        std::set<ObjectId> visited;
        collect_number_tree(*tree, "catalog /PageLabels", entries, visited);
        rules.reserve(entries.size());
        for (const auto& [key, value] : entries) {
            if (key < 0) throw PdfError::type_mismatch("page label index", "non-negative integer");
            const Dictionary* dictionary = value->as_dict_like();
            if (!dictionary) throw PdfError::type_mismatch("page label value", "dictionary");
            rules.push_back(PageLabelRule::from_dictionary(static_cast<uint64_t>(key), *dictionary));
        }
    }

    // Pages before the first range are numbered 1, 2, 3 ...
    const PageLabelRule implicit{"", 0, 1, LabelStyle::Decimal};
    const PageLabelRule* current = &implicit;
    size_t next = 0;
    std::vector<std::string> labels;
    labels.reserve(count);
    for (uint64_t j = 0; j < count; ++j) {
        // Of several ranges starting at or before j, the last one applies.
        while (next < rules.size() && rules[next].start <= j) current = &rules[next++];
        labels.push_back(current->label_for_page(j));
        // One long prefix is repeated for every page of its range.
        charge_work("page labels", labels.back().size() + kRecordWorkBytes);
    }
    return labels;
}

}  // namespace quillet
