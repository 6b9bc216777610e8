// Outlines, annotations, links, destinations and form fields.
#include <unordered_map>

#include "../form.h"
#include "../inspect.h"
#include "../link.h"
#include "../outline.h"
#include "../page.h"
#include "../text_string.h"
#include "module.h"

namespace quillet::py {

namespace {

PyRef text_of(const std::string& text) { return to_py_text(text); }
PyRef object_text(const Object& object) { return to_py_text(object_to_text(object)); }
// Form values hold text strings (or names, or arrays of them).
PyRef form_value_text(const Object& value) { return to_py_text(object_to_text(value, decode_pdf_text_string)); }
PyRef dictionary_text(const Dictionary& dictionary) { return to_py_text(dictionary_to_text(dictionary)); }

// An annotation's /Rect as stored: only a direct array of four direct numbers.
PyRef annotation_rect_record(const Dictionary& annotation) { return to_py_box(page_box(annotation.get("Rect"))); }

PyRef outline_record(const OutlineItem& item) {
    DictBuilder d;
    d.add("id", to_py_id(item.id));
    d.add("title", to_py_text(item.title));
    d.add("destination", to_py_optional(item.destination, object_text));
    d.add("action", to_py_optional(item.action, dictionary_text));
    // Recursion as deep as the outline, which its walk bounds.
    d.add("children", to_py_list(item.children, outline_record));
    return d.done();
}

// A page's /Annots may list one annotation many times: its /Contents is
// decoded once per call and the (immutable) str shared by its records, so
// a small file cannot ask for a copy of a long note per occurrence.
class AnnotationRecords {
public:
    PyRef operator()(const PageAnnotation& annotation) {
        const Dictionary& dictionary = *annotation.dictionary;
        // None of the entries is dereferenced.
        const Object* subtype = dictionary.get("Subtype");
        const std::string* subtype_name = subtype ? subtype->as_name() : nullptr;
        const Object* contents = dictionary.get("Contents");
        const std::string* contents_bytes = contents ? contents->as_string() : nullptr;
        DictBuilder d;
        d.add("id", to_py_optional(annotation.id, to_py_id));
        d.add("subtype", subtype_name ? to_py_name(*subtype_name) : to_py_none());
        d.add("rect", annotation_rect_record(dictionary));
        d.add("contents", contents_bytes ? contents_text(*contents_bytes) : to_py_none());
        return d.done();
    }

private:
    PyRef contents_text(const std::string& bytes) {
        auto found = contents_.find(&bytes);
        if (found == contents_.end()) found = contents_.emplace(&bytes, to_py_text(decode_pdf_text_string(bytes))).first;
        return PyRef::borrow(found->second.get());
    }

    std::unordered_map<const std::string*, PyRef> contents_;
};

PyRef link_record(const Link& link) {
    DictBuilder d;
    d.add("annotation_id", to_py_optional(link.id, to_py_id));
    d.add("rect", annotation_rect_record(*link.annotation));
    d.add("kind", link.target ? to_py_text(link.target->kind_label()) : to_py_none());
    d.add("target", link.target ? to_py_text(link.target->text()) : to_py_none());
    return d.done();
}

PyRef toc_record(const TocEntry& entry) {
    DictBuilder d;
    d.add("level", to_py_uint(entry.level));
    d.add("title", to_py_text(entry.title));
    d.add("page_index", to_py_optional(entry.page_index, to_py_uint));
    d.add("uri", to_py_optional(entry.uri, text_of));
    return d.done();
}

PyRef form_field_record(const FormField& field) {
    DictBuilder d;
    d.add("id", to_py_optional(field.id, to_py_id));
    d.add("name", to_py_optional(field.name, text_of));
    d.add("full_name", to_py_optional(field.full_name, text_of));
    d.add("alternate_name", to_py_optional(field.alternate_name, text_of));
    d.add("mapping_name", to_py_optional(field.mapping_name, text_of));
    d.add("field_type", to_py_optional(field.field_type, [](const FormFieldType& t) { return to_py_text(t.debug()); }));
    d.add("value", to_py_optional(field.value, form_value_text));
    d.add("default_value", to_py_optional(field.default_value, form_value_text));
    d.add("flags", to_py_optional(field.flags, to_py_int));
    d.add("widgets", to_py_list(field.widgets, to_py_id));
    return d.done();
}

}  // namespace

const Method kOutlines{"outlines", {}, Method::Instance,
                       [](Call& c) { return to_py_list(c.doc().outlines(), outline_record); }};

const Method kPageAnnotations{"page_annotations", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const std::vector<PageEntry>& pages = c.doc().pages();
    AnnotationRecords records;
    return to_py_list(c.doc().page_annotations(page_at(pages, index)),
                      [&records](const PageAnnotation& annotation) { return records(annotation); });
}};

const Method kPageLinks{"page_links", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const std::vector<PageEntry>& pages = c.doc().pages();
    return to_py_list(c.doc().page_links(page_at(pages, index)), link_record);
}};

const Method kNamedDestinations{"named_destinations", {}, Method::Instance, [](Call& c) {
    // Inserted in ascending name order, which is the map's order.
    PyRef dict = checked(PyDict_New());
    for (const auto& [name, destination] : c.doc().named_destinations()) {
        PyRef key = to_py_text(name);
        PyRef value = object_text(destination);
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PyErrorSet{};
    }
    return dict;
}};

const Method kToc{"toc", {}, Method::Instance, [](Call& c) { return to_py_list(c.doc().toc(), toc_record); }};

const Method kFormFields{"form_fields", {}, Method::Instance,
                         [](Call& c) { return to_py_list(c.doc().form_fields(), form_field_record); }};

}  // namespace quillet::py
