#include "metadata.h"

#include <string_view>
#include <utility>

#include "document.h"
#include "error.h"
#include "inspect.h"
#include "text_string.h"

namespace quillet {

std::optional<std::string> object_to_metadata_string(const Object& value) {
    switch (value.kind()) {
        case Object::kBoolean:
            return *value.as_bool() ? "true" : "false";
        case Object::kNumber: {
            const Number& n = *value.as_number();
            return n.is_integer() ? std::to_string(n.integer_value()) : real_to_text(n.real_value());
        }
        case Object::kName:
            return utf8_lossy(*value.as_name());
        case Object::kString:
            return decode_pdf_text_string(*value.as_string());
        default:
            return std::nullopt;
    }
}

DocumentMetadata DocumentMetadata::from_parts(uint8_t major, uint8_t minor, const Dictionary* info,
                                              std::optional<std::string> xmp, bool encrypted) {
    DocumentMetadata m;
    m.format = "PDF " + std::to_string(major) + "." + std::to_string(minor);
    m.xmp = std::move(xmp);
    m.encrypted = encrypted;
    if (!info) return m;

    // Matched by exact bytes: a key spelled "title" is a custom entry.
    const std::pair<std::string_view, std::string DocumentMetadata::*> standard[] = {
        {"Title", &DocumentMetadata::title},
        {"Author", &DocumentMetadata::author},
        {"Subject", &DocumentMetadata::subject},
        {"Keywords", &DocumentMetadata::keywords},
        {"Creator", &DocumentMetadata::creator},
        {"Producer", &DocumentMetadata::producer},
        {"CreationDate", &DocumentMetadata::creation_date},
        {"ModDate", &DocumentMetadata::modification_date},
        {"Trapped", &DocumentMetadata::trapped},
    };
    for (const auto& [key, value] : *info) {
        std::string DocumentMetadata::*field = nullptr;
        for (const auto& [standard_key, member] : standard) {
            if (key == standard_key) field = member;
        }
        std::optional<std::string> text = object_to_metadata_string(value);
        if (field) {
            if (text) m.*field = std::move(*text);
        } else if (text) {
            // Different key bytes can decode to the same text; the later
            // key in byte order wins.
            m.custom.insert_or_assign(utf8_lossy(key), std::move(*text));
        }
    }
    return m;
}

DocumentMetadata Document::metadata() const {
    const PdfVersion version = effective_version();
    const Dictionary* info = nullptr;
    if (const Object* entry = trailer.get("Info")) {
        info = resolve(*entry).as_dict_like();
        if (!info) throw PdfError::type_mismatch("trailer /Info", "dictionary");
    }
    std::optional<std::string> xmp = metadata_xml();
    const bool encrypted = trailer.contains("Encrypt");
    return DocumentMetadata::from_parts(version.major, version.minor, info, std::move(xmp), encrypted);
}

std::optional<std::string> Document::metadata_xml() const {
    const Object* entry = catalog().get("Metadata");
    if (!entry) return std::nullopt;
    const Stream* stream = resolve(*entry).as_stream();
    if (!stream) throw PdfError::type_mismatch("catalog /Metadata", "stream");
    // Carried unchanged apart from the UTF-8 repair: no byte-order mark is
    // removed and nothing is trimmed.
    return utf8_lossy(stream->decoded_data_cow().view());
}

}  // namespace quillet
