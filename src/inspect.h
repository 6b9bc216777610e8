// Short texts for objects and cross-reference entries, for listings and
// debugging.  PDF-like but never parsed back: strings are shown decoded,
// names are not re-escaped, stream bodies are abbreviated.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "document.h"
#include "object.h"

namespace quillet {

// Strings show as decode_text_string reads them, as in every raw view.
std::string object_to_text(const Object& object);
// Strings show as `decode_string` reads them: values that hold text strings,
// such as form field values, pass decode_pdf_text_string.
using StringDecoder = std::string (*)(std::string_view bytes);
std::string object_to_text(const Object& object, StringDecoder decode_string);
std::string dictionary_to_text(const Dictionary& dictionary);
std::string xref_entry_text(const XrefEntry& entry);
// Shortest decimal that reads back as the same double, never in exponent
// form, without a point when integral ("612", "0.1", "-0").
std::string real_to_text(double value);

struct PdfObjectSummary {
    std::string text;
    std::optional<std::string> xref;
    const char* kind;
    uint32_t number;
    uint16_t generation;

    static PdfObjectSummary make(uint32_t number, uint16_t generation, const Object& object, const XrefEntry* entry);
};

}  // namespace quillet
