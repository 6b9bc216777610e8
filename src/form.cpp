#include "form.h"

#include <utility>

#include "error.h"
#include "link.h"
#include "text_string.h"

namespace quillet {

namespace {

void count_node(FormWalk& walk) {
    if (++walk.nodes > kMaxFormFieldNodes) {
        throw PdfError::limit_exceeded("form field tree", kMaxFormFieldNodes, "nodes");
    }
}

void charge_bytes(FormWalk& walk, size_t bytes) {
    walk.bytes += bytes;
    if (walk.bytes > kMaxFormFieldBytes) {
        throw PdfError::limit_exceeded("form field tree", kMaxFormFieldBytes, "bytes of names and values");
    }
}

// Keeps the depth right on every way out of a level.
class DepthGuard {
public:
    explicit DepthGuard(size_t& depth) : depth_(depth) { ++depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() { --depth_; }

private:
    size_t& depth_;
};

// /T, /TU and /TM: text only when the entry is a string.
std::optional<std::string> text_entry(const Dictionary& field, std::string_view key) {
    const Object* value = field.get(key);
    const std::string* bytes = value ? value->as_string() : nullptr;
    if (!bytes) return std::nullopt;
    return decode_pdf_text_string(*bytes);
}

std::optional<std::string> full_name_of(const std::optional<std::string>& parent_name,
                                        const std::optional<std::string>& name) {
    if (!parent_name) return name;
    // A kid without a partial name (typically a widget split off its field)
    // shares its parent's name.
    if (!name || name->empty()) return parent_name;
    return *parent_name + "." + *name;
}

// A kid that is only the visible part of its parent: an annotation carrying
// none of the keys that make a field.
bool is_pure_widget(const Dictionary& kid) {
    const Object* type = kid.get("Type");
    const Object* subtype = kid.get("Subtype");
    const bool annotation = (type && type->is_name("Annot")) || (subtype && subtype->is_name("Widget"));
    if (!annotation) return false;
    for (const char* key : {"FT", "T", "Kids", "V", "DV", "Ff"}) {
        if (kid.contains(key)) return false;
    }
    return true;
}

size_t text_size(const std::optional<std::string>& text) { return text ? text->size() : 0; }

}  // namespace

FormFieldType FormFieldType::from_name(std::string_view name) {
    if (name == "Btn") return FormFieldType{Kind::Button, {}};
    if (name == "Tx") return FormFieldType{Kind::Text, {}};
    if (name == "Ch") return FormFieldType{Kind::Choice, {}};
    if (name == "Sig") return FormFieldType{Kind::Signature, {}};
    return FormFieldType{Kind::Unknown, std::string(name)};
}

std::string FormFieldType::debug() const {
    switch (kind) {
        case Kind::Button:
            return "Button";
        case Kind::Text:
            return "Text";
        case Kind::Choice:
            return "Choice";
        case Kind::Signature:
            return "Signature";
        case Kind::Unknown:
            break;
    }
    std::string text = "Unknown([";
    for (size_t i = 0; i < unknown_name.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(static_cast<uint8_t>(unknown_name[i]));
    }
    text += "])";
    return text;
}

FormFieldAttributes FormFieldAttributes::inherit_from(const FormFieldAttributes& parent, const Dictionary& field) {
    FormFieldAttributes result = parent;
    if (const Object* type = field.get("FT"); type && type->as_name()) result.field_type = type->as_name();
    if (const Object* value = field.get("V")) result.value = value;
    if (const Object* value = field.get("DV")) result.default_value = value;
    if (const Object* flags = field.get("Ff"); flags && flags->as_integer()) result.flags = flags->as_integer();
    return result;
}

std::vector<FormField> Document::form_fields() const {
    const Object* acroform = catalog().get("AcroForm");
    if (!acroform) return {};
    const Object* fields = resolve_to_dictionary(*acroform, "catalog /AcroForm").get("Fields");
    if (!fields) return {};
    const Array* roots = resolve(*fields).as_array();
    if (!roots) throw PdfError::type_mismatch("AcroForm /Fields", "array");

    FormWalk walk;
    std::vector<FormField> out;
    for (const Object& root : *roots) collect_form_field(root, std::nullopt, FormFieldAttributes{}, walk, out);
    return out;
}

void Document::collect_form_field(const Object& node, const std::optional<std::string>& parent_name,
                                  const FormFieldAttributes& parent, FormWalk& walk,
                                  std::vector<FormField>& out) const {
    // Only the fields on the current path are in `walk.path`: a field listed
    // under two parents is walked twice, a field that is its own ancestor is
    // a cycle.
    const std::optional<ObjectId> id = node.as_reference();
    if (id && !walk.path.insert(*id).second) throw PdfError::form_field_cycle(*id);
    // Direct kids nest as well, so the depth is counted apart from the path.
    const DepthGuard level(walk.depth);
    if (walk.depth > kMaxFormFieldDepth) {
        throw PdfError::limit_exceeded("form field tree", kMaxFormFieldDepth, "levels");
    }
    count_node(walk);

    const Dictionary* field = resolve(node).as_dict_like();
    if (!field) throw PdfError::type_mismatch("form field", "dictionary");
    const FormFieldAttributes attributes = FormFieldAttributes::inherit_from(parent, *field);
    std::optional<std::string> name = text_entry(*field, "T");
    std::optional<std::string> full_name = full_name_of(parent_name, name);
    charge_bytes(walk, text_size(name) + text_size(full_name));

    // Sort the kids into widgets of this field and child fields; all are
    // checked before any child is walked.
    std::vector<ObjectId> widgets;
    std::vector<const Object*> children;
    if (const Object* kids_entry = field->get("Kids")) {
        const Array* kids = resolve(*kids_entry).as_array();
        if (!kids) throw PdfError::type_mismatch("form field /Kids", "array");
        for (const Object& kid : *kids) {
            count_node(walk);
            const Dictionary& kid_dictionary = resolve_to_dictionary(kid, "form field kid");
            if (!is_pure_widget(kid_dictionary)) {
                children.push_back(&kid);
                continue;
            }
            const std::optional<ObjectId> widget = kid.as_reference();
            if (!widget) throw PdfError::type_mismatch("form field widget", "indirect reference");
            widgets.push_back(*widget);
        }
    }

    if (!children.empty()) {
        // An intermediate field: only its descendants are listed, and widgets
        // mixed in among child fields are dropped.
        for (const Object* child : children) collect_form_field(*child, full_name, attributes, walk, out);
    } else {
        // A field merged with its only widget is its own widget.
        const Object* subtype = field->get("Subtype");
        if (id && subtype && subtype->is_name("Widget")) widgets.push_back(*id);

        FormField record;
        record.id = id;
        record.alternate_name = text_entry(*field, "TU");
        record.mapping_name = text_entry(*field, "TM");
        charge_bytes(walk, text_size(record.alternate_name) + text_size(record.mapping_name) +
                               (attributes.value ? copy_weight(*attributes.value) : 0) +
                               (attributes.default_value ? copy_weight(*attributes.default_value) : 0));
        record.name = std::move(name);
        record.full_name = std::move(full_name);
        if (attributes.field_type) record.field_type = FormFieldType::from_name(*attributes.field_type);
        if (attributes.value) record.value = *attributes.value;
        if (attributes.default_value) record.default_value = *attributes.default_value;
        record.flags = attributes.flags;
        record.widgets = std::move(widgets);
        out.push_back(std::move(record));
    }

    if (id) walk.path.erase(*id);
}

}  // namespace quillet
