// Annotations, links and destinations: the annotation dictionaries of a page,
// the link annotations among them with what they lead to, and the
// document's named destinations.  The records borrow from the document and
// are shared with the exports and the incremental writers.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "document.h"
#include "object.h"

namespace quillet {

// ---- annotations ----

// One entry of a page's /Annots, in array order, whatever its subtype.
struct PageAnnotation {
    const Dictionary* dictionary = nullptr;  // for a stream, its dictionary
    std::optional<ObjectId> id;              // absent for a direct dictionary
};

// The message a caller raises when annotation_rect refuses its argument.
inline constexpr std::string_view kRectLengthMessage = "rect must contain exactly four numbers";

// A rectangle argument as (x1, y1, x2, y2); absent unless it holds exactly
// four numbers.
std::optional<std::array<double, 4>> annotation_rect(std::span<const double> numbers);

// ---- links and destinations ----

// What a link leads to.
struct LinkTarget {
    struct Uri {
        std::string uri;
    };
    // A destination given by name (a name or string object).
    struct Named {
        std::string name;
    };
    // An explicit destination, normally [page /Fit ...].
    struct Destination {
        Object destination;
    };
    // Any action other than GoTo with a destination or URI.
    struct Action {
        Dictionary action;
    };

    std::variant<Uri, Named, Destination, Action> value;

    // "uri", "named", "destination" or "action".
    const char* kind_label() const;
    // The URI or name itself; a destination or action as object_to_text.
    std::string text() const;
};

// One link annotation of a page.
struct Link {
    std::optional<LinkTarget> target;  // absent without /A and /Dest
    const Dictionary* annotation = nullptr;
    std::optional<ObjectId> id;  // absent for a direct dictionary
};

// One named-destination value as the destination itself: a dictionary
// value stands for its /D entry (missing_entry(context, "D") without one).
Object destination_object(const Document& document, const Object& value, std::string_view context);

// A /Dest or GoTo /D value: a name or string is a named destination,
// anything else an explicit one.
LinkTarget destination_target(const Document& document, const Object& value);

// What an action dictionary leads to: GoTo and URI actions are resolved,
// every other action is kept whole.
LinkTarget action_target(const Document& document, const Dictionary& action);

// The target of a link annotation: /A wins over /Dest; absent for neither.
std::optional<LinkTarget> link_target(const Document& document, const Dictionary& annotation);

// A page's /Annots may list one link annotation many times, and /Dests may
// name one destination object under many names: every occurrence is
// reported with its own copy of the target, so a small file could ask for
// copies without end.  No real page or document comes near this bound on
// the bytes copied by one call.
inline constexpr size_t kMaxTargetBytes = size_t{64} << 20;

// ---- shared by the navigation walks ----

// Roughly how many bytes an owned copy of `object`, or its text, takes.
// Outlines and form fields may reach one node along many branches and copy
// it each time; their walks charge what they copy against a bound.
size_t copy_weight(const Object& object);
size_t copy_weight(const Dictionary& dictionary);

}  // namespace quillet
