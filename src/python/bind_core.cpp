// Loading, the file's bytes, versions and the low-level object views.
#include "../document.h"
#include "../inspect.h"
#include "../page.h"
#include "module.h"

namespace quillet::py {

namespace {

// The optional parameters every constructor takes after its first.
LoadOptions load_options(Call& c) {
    LoadOptions options;
    options.password = c.optional_str(1);
    options.max_decoded_bytes = c.optional_u64(2);
    return options;
}

PyRef load_from_bytes(Call& c) {
    std::string_view data = c.bytes(0);
    const LoadOptions options = load_options(c);
    Document document = Document::parse(data, options);
    PyObject* given = c.arg(0);
    DocumentData loaded{PyRef{}, std::nullopt, std::nullopt, std::move(document), options};
    // Kept by reference when that is safe (see DocumentData), else copied
    // only once the parse has succeeded.
    if (PyBytes_CheckExact(given)) {
        loaded.source_object = PyRef::borrow(given);
    } else {
        loaded.source = std::string(data);
    }
    return new_document(reinterpret_cast<PyTypeObject*>(c.self()), std::move(loaded));
}

const std::vector<Param> kBytesParams = {{"data"}, {"password", "None"}, {"max_decoded_bytes", "None"}};
const std::vector<Param> kPathParams = {{"path"}, {"password", "None"}, {"max_decoded_bytes", "None"}};

PyRef version_tuple(PdfVersion v) {
    return checked(Py_BuildValue("(ii)", static_cast<int>(v.major), static_cast<int>(v.minor)));
}

PyRef summary_record(const PdfObjectSummary& s) {
    DictBuilder d;
    d.add("id", to_py_id(ObjectId{s.number, s.generation}));
    d.add("number", to_py_uint(s.number));
    d.add("generation", to_py_uint(s.generation));
    d.add("kind", to_py_text(s.kind));
    d.add("xref", to_py_optional(s.xref, to_py_text));
    d.add("text", to_py_text(s.text));
    return d.done();
}

}  // namespace

extern const Method kNew;
const Method kNew{"Document", kBytesParams, Method::Static, load_from_bytes};
const Method kParse{"parse", kBytesParams, Method::Static, load_from_bytes};

const Method kOpen{"open", kPathParams, Method::Static, [](Call& c) {
    std::string path = c.str(0);
    const LoadOptions options = load_options(c);
    std::string bytes = read_file(path);
    Document document = Document::parse(bytes, options);
    return new_document(reinterpret_cast<PyTypeObject*>(c.self()),
                        DocumentData{PyRef{}, std::move(bytes), std::move(path), std::move(document), options});
}};

const Method kOpenMmap{"open_mmap", kPathParams, Method::Static, [](Call& c) {
    std::string path = c.str(0);
    const LoadOptions options = load_options(c);
    Document document = Document::parse_mmap_file(path, options);
    return new_document(reinterpret_cast<PyTypeObject*>(c.self()),
                        DocumentData{PyRef{}, std::nullopt, std::move(path), std::move(document), options});
}};

const Method kSourceBytes{"source_bytes", {}, Method::Instance,
                          [](Call& c) { return to_py_bytes(source_bytes(c.data())); }};

const Method kVersion{"version", {}, Method::Instance, [](Call& c) { return version_tuple(c.stored_doc().version); }};

const Method kEffectiveVersion{"effective_version", {}, Method::Instance,
                               [](Call& c) { return version_tuple(c.stored_doc().effective_version()); }};

const Method kObjectCount{"object_count", {}, Method::Instance,
                          [](Call& c) { return to_py_uint(c.stored_doc().objects.size()); }};

const Method kXref{"xref", {}, Method::Instance, [](Call& c) {
    return to_py_list(c.stored_doc().xref, [](const auto& entry) {
        DictBuilder d;
        d.add("id", to_py_id(entry.first));
        d.add("number", to_py_uint(entry.first.number));
        d.add("generation", to_py_uint(entry.first.generation));
        d.add("xref", to_py_text(xref_entry_text(entry.second)));
        return d.done();
    });
}};

const Method kObjects{"objects", {}, Method::Instance, [](Call& c) {
    const Document& doc = c.stored_doc();
    return to_py_list(doc.objects, [&](const ObjectTable::Entry& entry) {
        auto xref = doc.xref.find(entry.first);
        return summary_record(PdfObjectSummary::make(entry.first.number, entry.first.generation, entry.second,
                                                     xref == doc.xref.end() ? nullptr : &xref->second));
    });
}};

const Method kObject{"object", {{"number"}, {"generation", "0"}}, Method::Instance, [](Call& c) {
    uint32_t number = c.u32(0);
    uint16_t generation = c.u16(1, 0);
    return summary_record(c.stored_doc().object_summary(number, generation));
}};

const Method kObjectText{"object_text", {{"number"}, {"generation", "0"}}, Method::Instance, [](Call& c) {
    uint32_t number = c.u32(0);
    uint16_t generation = c.u16(1, 0);
    return to_py_text(object_to_text(c.stored_doc().get(ObjectId{number, generation})));
}};

const Method kDumpObjects{"dump_objects", {}, Method::Instance,
                          [](Call& c) { return to_py_text(c.stored_doc().dump_objects()); }};

// ---- the Python protocols users reach for first ----

// len(doc): the pages the page walk lists, the indices the per-page
// methods accept (the declared /Count may differ).  Called by the type's
// length slot, through the frame like every method.  The page tree is
// structure, never encrypted, so it counts as pages() lists.
const Method kLen{"__len__", {}, Method::Instance, [](Call& c) { return to_py_uint(c.stored_doc().pages().size()); }};

// A Document holds no open resources (a memory map lives only while
// loading), so `with` hands the document back and releases nothing.
const Method kEnter{"__enter__", {}, Method::Instance, [](Call& c) { return PyRef::borrow(c.self()); }};
const Method kExit{"__exit__", {{"exc_type"}, {"exc_value"}, {"traceback"}}, Method::Instance,
                   [](Call&) { return to_py_none(); }};

}  // namespace quillet::py
