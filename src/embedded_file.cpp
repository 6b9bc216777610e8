#include "embedded_file.h"

#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "text_string.h"

namespace quillet {

namespace {

// A text entry of the /Filespec dictionary, or nothing when absent or not a string.
std::optional<std::string> text_entry(const Dictionary& dictionary, std::string_view key) {
    const Object* value = dictionary.get(key);
    const std::string* bytes = value ? value->as_string() : nullptr;
    if (!bytes) return std::nullopt;
    return decode_pdf_text_string(*bytes);
}

}  // namespace

std::optional<int64_t> EmbeddedFile::declared_size() const {
    const Object* params = stream->dict.get("Params");
    const Dictionary* dictionary = params ? params->as_dict_like() : nullptr;
    if (!dictionary) return std::nullopt;
    const Object* size = dictionary->get("Size");
    return size ? size->as_integer() : std::nullopt;
}

EmbeddedFile embedded_file_from_spec(const Document& document, std::string name, const Object& value) {
    const Dictionary* filespec = document.resolve(value).as_dict_like();
    if (!filespec) throw PdfError::type_mismatch("embedded file specification", "dictionary");

    const Object* ef_entry = filespec->get("EF");
    if (!ef_entry) throw PdfError::missing_entry("embedded file specification", "EF");
    const Dictionary& ef = document.resolve_to_dictionary(*ef_entry, "file specification /EF");

    // The platform-neutral entries first, then the legacy per-platform ones.
    const Object* chosen = nullptr;
    for (const std::string_view key : {"UF", "F", "Unix", "DOS", "Mac"}) {
        chosen = ef.get(key);
        if (chosen) break;
    }
    if (!chosen) throw PdfError::missing_entry("file specification /EF", "F");
    const std::optional<ObjectId> stream_id = chosen->as_reference();
    if (!stream_id) throw PdfError::type_mismatch("file specification /EF entry", "indirect reference");
    const Stream* stream = document.get(*stream_id).as_stream();
    if (!stream) throw PdfError::type_mismatch("file specification /EF entry", "stream");

    // A /UF that is present but not a string falls back to /F.
    std::optional<std::string> file_name = text_entry(*filespec, "UF");
    if (!file_name) file_name = text_entry(*filespec, "F");
    return EmbeddedFile{std::move(name), std::move(file_name), text_entry(*filespec, "Desc"), stream};
}

std::vector<EmbeddedFile> Document::embedded_files() const {
    std::vector<EmbeddedFile> files;
    const Object* names_entry = catalog().get("Names");
    if (!names_entry) return files;
    const Dictionary& names = resolve_to_dictionary(*names_entry, "catalog /Names");
    const Object* tree = names.get("EmbeddedFiles");
    if (!tree) return files;

    std::map<std::string, const Object*> entries;
    std::set<ObjectId> visited;
    collect_name_tree_entries(*tree, "catalog /Names /EmbeddedFiles", entries, visited);
    files.reserve(entries.size());
    for (auto& [name, specification] : entries) {
        files.push_back(embedded_file_from_spec(*this, name, *specification));
    }
    return files;
}

}  // namespace quillet
