#include "text_string.h"

#include <cstdint>

#include "cmap.h"
#include "error.h"
#include "pdfdoc_table.h"

namespace quillet {

namespace {

bool starts_with_bytes(std::string_view bytes, std::string_view mark) { return bytes.substr(0, mark.size()) == mark; }

std::string decode_utf16_le(std::string_view bytes) {
    std::string big_endian(bytes.size() / 2 * 2, '\0');
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        big_endian[i] = bytes[i + 1];
        big_endian[i + 1] = bytes[i];
    }
    return cmap::decode_utf16_be_units(big_endian);
}

std::string decode_pdfdoc(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (const char c : bytes) cmap::append_utf8(out, kPdfDocEncoding[static_cast<uint8_t>(c)]);
    return out;
}

}  // namespace

std::string decode_pdf_text_string(std::string_view bytes) {
    if (starts_with_bytes(bytes, "\xFE\xFF")) return cmap::decode_utf16_be_units(bytes.substr(2));
    if (starts_with_bytes(bytes, "\xFF\xFE")) return decode_utf16_le(bytes.substr(2));
    if (starts_with_bytes(bytes, "\xEF\xBB\xBF")) return utf8_lossy(bytes.substr(3));
    // Replacement changes the bytes wherever they are ill-formed, so the
    // text equals its bytes exactly when they are valid UTF-8.
    std::string text = utf8_lossy(bytes);
    if (text == bytes) return text;
    return decode_pdfdoc(bytes);
}

}  // namespace quillet
