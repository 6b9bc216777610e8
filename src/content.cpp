#include "content.h"

#include "cmap.h"
#include "error.h"

namespace quillet {

std::string decode_text_string(std::string_view bytes) {
    // A byte order mark FE FF announces UTF-16BE; everything else is read as
    // UTF-8.  PDFDocEncoding is deliberately not applied.
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE && static_cast<uint8_t>(bytes[1]) == 0xFF) {
        return cmap::decode_utf16_be_units(bytes.substr(2));
    }
    return utf8_lossy(bytes);
}

}  // namespace quillet
