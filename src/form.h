// Interactive form fields: the catalog's /AcroForm /Fields hierarchy
// flattened into its terminal fields, with the inheritable attributes passed
// down, partial names joined into full names, and each field's widget
// annotations told apart from its child fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "document.h"
#include "object.h"

namespace quillet {

// Field hierarchies of real forms are a few levels deep (a group, a field,
// its widgets); the walk recurses once per level, and the bound keeps a
// hostile chain of /Kids from exhausting the stack.
inline constexpr size_t kMaxFormFieldDepth = 256;
// A field listed in several /Kids arrays is walked once under each, so a
// few fields whose kids all name the same field describe 2^n fields.  No
// real form comes near these bounds on the nodes examined and on the bytes
// of names and values copied.
inline constexpr size_t kMaxFormFieldNodes = 200'000;
inline constexpr size_t kMaxFormFieldBytes = size_t{64} << 20;

// The field type from /FT.
struct FormFieldType {
    enum class Kind : uint8_t { Button, Text, Choice, Signature, Unknown };

    Kind kind = Kind::Unknown;
    std::string unknown_name;  // Unknown: the name's bytes

    // Btn, Tx, Ch and Sig, compared exactly; any other name is Unknown.
    static FormFieldType from_name(std::string_view name);
    // "Button", "Text", "Choice", "Signature", or the bytes of an unknown
    // name in decimal: "Unknown([70, 111, 111])" for /Foo.
    std::string debug() const;
};

// The inheritable attributes, borrowed from the document.
struct FormFieldAttributes {
    const std::string* field_type = nullptr;  // /FT, when a name
    const Object* value = nullptr;            // /V
    const Object* default_value = nullptr;    // /DV
    std::optional<int64_t> flags;             // /Ff, when an integer

    // The parent's attributes, replaced by each entry `field` supplies with
    // a value of the accepted kind.
    static FormFieldAttributes inherit_from(const FormFieldAttributes& parent, const Dictionary& field);
};

// One terminal field.
struct FormField {
    std::optional<ObjectId> id;  // absent for a direct dictionary
    std::optional<std::string> name;
    std::optional<std::string> full_name;
    std::optional<std::string> alternate_name;
    std::optional<std::string> mapping_name;
    std::optional<FormFieldType> field_type;
    std::optional<Object> value;
    std::optional<Object> default_value;
    std::optional<int64_t> flags;
    std::vector<ObjectId> widgets;
};

// The state of one walk over the field tree.
struct FormWalk {
    std::set<ObjectId> path;  // field ids from the root to the current one
    size_t depth = 0;
    size_t nodes = 0;
    size_t bytes = 0;
};

}  // namespace quillet
