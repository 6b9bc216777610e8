// Document-level facts: the effective version, the Info dictionary's
// standard and custom entries, the XMP packet (carried as text, never
// parsed or merged with Info) and whether the file is encrypted.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "object.h"

namespace quillet {

struct DocumentMetadata {
    std::string format;  // "PDF 1.7"
    std::string title;
    std::string author;
    std::string subject;
    std::string keywords;
    std::string creator;
    std::string producer;
    std::string creation_date;      // raw, not parsed
    std::string modification_date;  // raw, not parsed
    std::string trapped;
    // Every other Info entry whose value converts, by key text.
    std::map<std::string, std::string> custom;
    std::optional<std::string> xmp;
    bool encrypted = false;

    // Cannot fail: Info values that do not convert are left out (custom) or
    // give the empty text (standard fields).
    static DocumentMetadata from_parts(uint8_t major, uint8_t minor, const Dictionary* info,
                                       std::optional<std::string> xmp, bool encrypted);
};

// One Info value as text, not dereferenced: booleans, numbers, names and
// strings convert; null, arrays, dictionaries, references and streams give
// nothing (so a title stored in a separate object is not shown).
std::optional<std::string> object_to_metadata_string(const Object& value);

}  // namespace quillet
