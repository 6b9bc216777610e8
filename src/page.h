// The page tree: the catalog's /Pages hierarchy flattened into the ordered
// list of leaf pages that every per-page feature works on, with the four
// inheritable attributes carried down from intermediate nodes.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "document.h"
#include "object.h"

namespace quillet {

// Page trees of real files are a few levels deep (a balanced tree of a
// million pages needs about six); the bound stops hostile nesting from
// exhausting the stack of the recursive walk.
inline constexpr size_t kMaxPageTreeDepth = 512;
// A page reachable along several branches is listed once per branch, so a
// few objects whose /Kids all name the same child at every level describe
// 2^n pages.  No real document comes near this many nodes; the bound keeps
// such a file from running the walk for ever or filling memory.
inline constexpr size_t kMaxPageTreeNodes = 2'000'000;

// The inheritable entries seen on the way down, nearest ancestor first.
// Each points at the entry's value as stored (a reference stays one).
struct PageAttributes {
    const Object* resources = nullptr;
    const Object* media_box = nullptr;
    const Object* crop_box = nullptr;
    const Object* rotate = nullptr;

    // The parent's attributes, overridden by whichever of the four entries
    // `node` has itself.
    static PageAttributes inherit_from(const PageAttributes& parent, const Dictionary& node);
};

// One leaf page.  `attributes` holds what the ancestors give; the page's own
// entries win over them and are read from `dictionary` where used.
struct PageEntry {
    const Dictionary* dictionary = nullptr;
    ObjectId id;
    PageAttributes attributes;

    // The page's own entry for an inheritable key, else the inherited one;
    // nullptr when neither exists.
    const Object* resources() const { return own_or("Resources", attributes.resources); }
    const Object* media_box() const { return own_or("MediaBox", attributes.media_box); }
    const Object* crop_box() const { return own_or("CropBox", attributes.crop_box); }
    const Object* rotate() const { return own_or("Rotate", attributes.rotate); }

private:
    const Object* own_or(std::string_view key, const Object* inherited) const {
        const Object* own = dictionary->get(key);
        return own ? own : inherited;
    }
};

// A rectangle stored as a direct array of exactly four direct numbers, as
// floats in array order; nothing for any other value (a reference included).
std::optional<std::array<double, 4>> page_box(const Object* value);

}  // namespace quillet
