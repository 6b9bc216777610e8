// Files attached to a document through the catalog's /Names /EmbeddedFiles
// name tree: each name maps to a file specification whose /EF dictionary
// refers to the embedded file stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "document.h"
#include "object.h"

namespace quillet {

struct EmbeddedFile {
    std::string name;                        // the name-tree key
    std::optional<std::string> file_name;    // /UF, else /F, when a string
    std::optional<std::string> description;  // /Desc, when a string
    const Stream* stream = nullptr;          // borrowed from the document

    // The stream's /Params /Size when /Params is a direct dictionary and
    // /Size an integer.  Only reported, never checked against the data.
    std::optional<int64_t> declared_size() const;
};

// One file specification (a reference is looked up) as an EmbeddedFile.
EmbeddedFile embedded_file_from_spec(const Document& document, std::string name, const Object& specification);

}  // namespace quillet
