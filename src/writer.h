// Writing PDF: serialising objects, a new single-font text document, and
// incremental updates that append a new revision to an existing file (new
// Info, a URI link, a text note) without touching the bytes before it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document.h"
#include "object.h"

namespace quillet::writer {

// ---- serialisation ----

// One object in compact single-line PDF syntax.  Names are #xx-escaped and
// strings written byte for byte, so a copied object reads back as itself.
// A stream (at any depth) or a non-finite real cannot be written and fails
// with a type mismatch in "incremental trailer object".
std::string object_literal(const Object& object);
// Text (UTF-8) as the body of a literal string for page content drawn with
// a standard font: ASCII as is with ( ) \ escaped, line feed as \n, carriage
// return dropped, anything above U+007F as the ASCII form ?\u{e9}.
std::string escape_pdf_string(std::string_view text);
// The bytes of a PDF text string holding `text`: the text itself when it is
// ASCII (carriage returns dropped, as escape_pdf_string does), else FE FF and
// UTF-16BE, which every reader decodes back to the same characters.
std::string text_string_bytes(std::string_view text);
// A PDF string token, "(...)" or "<...>", holding `bytes` exactly.
std::string string_literal(std::string_view bytes);

// ---- new text documents ----

struct PdfWriter {
    std::vector<std::string> pages;  // one text per page
    std::optional<std::string> title;
    std::optional<std::string> author;
};

// A complete PDF 1.7 file: one Helvetica page per text (one blank page for
// none).  Cannot fail.
std::string write_text_pdf(const PdfWriter& input);

// ---- incremental updates ----

// Absent fields keep the document's current value; an absent producer
// becomes "quillet".
struct MetadataUpdate {
    std::optional<std::string> title;
    std::optional<std::string> author;
    std::optional<std::string> subject;
    std::optional<std::string> keywords;
    std::optional<std::string> creator;
    std::optional<std::string> producer;
};

// x1, y1, x2, y2 as given (corners are not normalised).
using Rect = std::array<double, 4>;

// An object of the update: its id and its PDF text without "obj"/"endobj".
struct UpdateObject {
    ObjectId id;
    std::string body;
};

// `bytes` followed by the objects, a cross-reference section of one-entry
// subsections, a trailer chained to the document's through /Prev, and
// startxref.  `info` replaces the trailer's /Info reference when given.
std::string append_incremental_update(std::string_view bytes, const Document& document,
                                      const std::vector<UpdateObject>& objects, std::optional<ObjectId> info);

// Fails for a document whose trailer has /Encrypt: the edits below refuse
// encrypted files.  Callers holding the loaded document check it first,
// before the file is read again.
void refuse_encrypted(const Document& document);

// Each update loads `bytes` afresh with `options` (those the document was
// loaded with) and reads it under the limits of that load.
std::string update_metadata_incremental(std::string_view bytes, const MetadataUpdate& update,
                                        const LoadOptions& options = {});
std::string add_uri_link_incremental(std::string_view bytes, uint64_t page_index, const Rect& rect,
                                     std::string_view uri, const LoadOptions& options = {});
std::string add_text_annotation_incremental(std::string_view bytes, uint64_t page_index, const Rect& rect,
                                            std::string_view contents, const LoadOptions& options = {});
// Appends `annotation` as a new object and a copy of the page whose /Annots
// ends with a reference to it.
std::string add_annotation_incremental(std::string_view bytes, uint64_t page_index, Dictionary annotation,
                                       const LoadOptions& options = {});

// Appends " /Key (value)" to an Info dictionary being built, unless the value
// is empty or only white space.
void push_info_entry(std::string& info, std::string_view key, std::string_view value);

}  // namespace quillet::writer
