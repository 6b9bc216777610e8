// The document outline (bookmarks): the catalog's /Outlines tree of items
// linked by /First (first child) and /Next (next sibling), read into owned
// records in reading order.  Destinations and actions are kept as stored.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "document.h"
#include "object.h"

namespace quillet {

// Real outlines are a handful of levels deep (parts, chapters, sections);
// the walk recurses once per level, and the bound keeps a hostile chain of
// /First entries from exhausting the stack.
inline constexpr size_t kMaxOutlineDepth = 256;
// An item reached as the child of several parents is listed under each, so
// a few items whose /First entries all lead to the same chain describe an
// outline of 2^n items.  No real outline comes near these bounds on the
// items read and on the bytes of titles, destinations and actions copied.
inline constexpr size_t kMaxOutlineItems = 200'000;
inline constexpr size_t kMaxOutlineBytes = size_t{64} << 20;

struct OutlineItem {
    ObjectId id;
    std::string title;
    std::optional<Object> destination;  // /Dest as stored (a reference stays one)
    std::optional<Dictionary> action;   // /A, resolved one level
    std::vector<OutlineItem> children;  // the chain from /First
};

// One line of a table of contents: an outline item, flattened in reading
// order, with the page of this document its target leads to.
struct TocEntry {
    size_t level = 1;  // 1 for a top-level item
    std::string title;
    std::optional<size_t> page_index;  // absent when the target is no page here
    std::optional<std::string> uri;    // the target of a URI action
};

// What one outline walk has read so far, checked against the bounds.
struct OutlineWork {
    size_t items = 0;
    size_t bytes = 0;
};

// The chain of items that starts at `first` and follows /Next, each with its
// subtree.  `ancestors` holds the items on the path from the root.
std::vector<OutlineItem> collect_outline_chain(const Document& document, ObjectId first,
                                               std::set<ObjectId>& ancestors, OutlineWork& work);

}  // namespace quillet
