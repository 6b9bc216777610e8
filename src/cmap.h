// ToUnicode CMaps: the programs in a font's /ToUnicode stream that map the
// byte codes shown by text operators to Unicode.  Only the bfchar and
// bfrange sections are read; code lengths are learned from the mapped codes.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

namespace cmap {

// Big-endian 16-bit units (a final odd byte is ignored) decoded as UTF-16
// and appended as UTF-8; each unpaired surrogate becomes U+FFFD and the unit
// after an unpaired high surrogate is decoded afresh.  Never fails.
void append_utf16_be(std::string& out, std::string_view bytes);
std::string decode_utf16_be_units(std::string_view bytes);

// One code point as UTF-8 (callers pass scalar values only).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace cmap

}  // namespace quillet
