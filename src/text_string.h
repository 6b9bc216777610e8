// PDF text strings: the strings that hold text for people to read, such as
// document titles and other metadata, outline titles, annotation contents,
// form field names and values, page label prefixes and the names and
// descriptions of attached files.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// A text string as UTF-8.  A byte order mark names the encoding: FE FF is
// UTF-16BE, FF FE UTF-16LE, EF BB BF UTF-8 (PDF 2.0); the mark is dropped.
// Without one, bytes that are valid UTF-8 read as UTF-8 (many writers store
// it so) and all others as PDFDocEncoding, the standard's default for text
// strings.  Ill-formed UTF-16 and UTF-8 after a mark give U+FFFD.  Never
// fails.
std::string decode_pdf_text_string(std::string_view bytes);

}  // namespace quillet
