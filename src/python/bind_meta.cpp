// Metadata, page labels and embedded files.
#include "../embedded_file.h"
#include "../metadata.h"
#include "../page_label.h"
#include "module.h"

namespace quillet::py {

PyRef metadata_record(const DocumentMetadata& m) {
    // Keys come from the file and may hold any byte, NUL included, so they
    // are converted with their length rather than as C strings.
    PyRef custom = checked(PyDict_New());
    for (const auto& [key, value] : m.custom) {
        if (PyDict_SetItem(custom.get(), to_py_text(key).get(), to_py_text(value).get()) < 0) throw PyErrorSet{};
    }

    DictBuilder d;
    d.add("format", to_py_text(m.format));
    d.add("title", to_py_text(m.title));
    d.add("author", to_py_text(m.author));
    d.add("subject", to_py_text(m.subject));
    d.add("keywords", to_py_text(m.keywords));
    d.add("creator", to_py_text(m.creator));
    d.add("producer", to_py_text(m.producer));
    d.add("creation_date", to_py_text(m.creation_date));
    d.add("modification_date", to_py_text(m.modification_date));
    d.add("trapped", to_py_text(m.trapped));
    d.add("encrypted", to_py_bool(m.encrypted));
    d.add("xmp", to_py_optional(m.xmp, to_py_text));
    d.add("custom", std::move(custom));
    return d.done();
}

namespace {

// `data` shares one bytes object per stream: a file listed under many names
// costs its size once.
PyRef embedded_file_record(const EmbeddedFile& file, DecodedCache* data) {
    const Object* subtype = file.stream->dict.get("Subtype");
    const std::string* subtype_name = subtype ? subtype->as_name() : nullptr;

    DictBuilder d;
    d.add("name", to_py_text(file.name));
    d.add("file_name", to_py_optional(file.file_name, to_py_text));
    d.add("description", to_py_optional(file.description, to_py_text));
    d.add("subtype", subtype_name ? to_py_name(*subtype_name) : to_py_none());
    d.add("declared_size", to_py_optional(file.declared_size(), to_py_int));
    if (data) d.add("data", data->get(*file.stream));
    return d.done();
}

PyRef method_name(CryptMethod method) { return to_py_text(crypt_method_name(method)); }

PyRef encryption_record(const Encryption& e) {
    const char* password = !e.opened_with                        ? nullptr
                           : *e.opened_with == PasswordKind::User ? "user"
                                                                  : "owner";
    DictBuilder d;
    d.add("filter", to_py_optional(e.filter, to_py_text));
    d.add("version", to_py_optional(e.version, to_py_int));
    d.add("revision", to_py_optional(e.revision, to_py_int));
    d.add("key_bits", to_py_optional(e.key_bits, to_py_uint));
    d.add("string_method", to_py_optional(e.string_method, method_name));
    d.add("stream_method", to_py_optional(e.stream_method, method_name));
    d.add("embedded_file_method", to_py_optional(e.embedded_file_method, method_name));
    d.add("encrypt_metadata", to_py_bool(e.encrypt_metadata));
    d.add("permissions", to_py_optional(e.permissions, to_py_int));
    d.add("password", password ? to_py_text(password) : to_py_none());
    d.add("error", e.failure ? to_py_text(e.failure->message()) : to_py_none());
    return d.done();
}

}  // namespace

const Method kEncryption{"encryption", {}, Method::Instance, [](Call& c) {
    const std::optional<Encryption>& encryption = c.stored_doc().encryption;
    return encryption ? encryption_record(*encryption) : to_py_none();
}};

const Method kPageLabels{"page_labels", {}, Method::Instance,
                         [](Call& c) { return to_py_list(c.doc().page_labels(), to_py_text); }};

const Method kMetadata{"metadata", {}, Method::Instance, [](Call& c) { return metadata_record(c.doc().metadata()); }};

const Method kMetadataXml{"metadata_xml", {}, Method::Instance,
                          [](Call& c) { return to_py_optional(c.doc().metadata_xml(), to_py_text); }};

const Method kEmbeddedFiles{"embedded_files", {{"include_data", "False"}}, Method::Instance, [](Call& c) {
    const bool include_data = c.boolean(0, false);
    const Document& doc = c.doc();
    if (include_data) doc.require_plain_embedded_files();
    DecodedCache data;
    return to_py_list(doc.embedded_files(), [&](const EmbeddedFile& file) {
        return embedded_file_record(file, include_data ? &data : nullptr);
    });
}};

}  // namespace quillet::py
