#include "cmap.h"

#include <cstdint>

namespace quillet {

namespace cmap {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void append_utf16_be(std::string& out, std::string_view bytes) {
    constexpr char32_t kReplacement = 0xFFFD;
    const size_t units = bytes.size() / 2;
    auto unit_at = [&](size_t i) -> char32_t {
        return (static_cast<uint8_t>(bytes[2 * i]) << 8) | static_cast<uint8_t>(bytes[2 * i + 1]);
    };
    for (size_t i = 0; i < units; ++i) {
        const char32_t unit = unit_at(i);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate pairs only with an immediately following low
            // surrogate; otherwise it is replaced and the next unit is read
            // on its own.
            if (i + 1 < units) {
                const char32_t next = unit_at(i + 1);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    ++i;
                    continue;
                }
            }
            append_utf8(out, kReplacement);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            append_utf8(out, kReplacement);
        } else {
            append_utf8(out, unit);
        }
    }
}

std::string decode_utf16_be_units(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_utf16_be(out, bytes);
    return out;
}

}  // namespace cmap

}  // namespace quillet
