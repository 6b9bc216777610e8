// What simple fonts name their glyphs with: glyph names turned into
// Unicode by the Adobe Glyph List rules, the standard encodings (code to
// glyph name) and the metrics of the standard 14 fonts with their usual
// aliases.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "font_tables.h"

namespace quillet::glyph_names {

// Appends the Unicode text of a glyph name and returns true, or returns
// false with nothing appended.  The Adobe Glyph List rules: what follows the
// first period is dropped; components joined by "_" are mapped one by one
// (a ligature); each is a name of the glyph lists (the Adobe Glyph List, the
// Zapf Dingbats list and the TeX fonts' names), "uniXXXX..." (groups of four
// hex digits) or "uXXXX" to "uXXXXXX".  A name over 127 bytes, longer than
// PostScript and PDF allow, maps to nothing.
bool append_text(std::string_view name, std::string& out);

// The glyph-table index of a name, or font_tables::kNoGlyph.
uint16_t find(std::string_view name);

// The name of a glyph-table index (kNoGlyph gives "").
std::string_view name_of(uint16_t glyph);

// Glyph names of a simple font, code by code ("" where none); views into
// the static tables, the font dictionary or the font program.
using CodeNames = std::array<std::string_view, 256>;

// One of the standard encodings.
CodeNames encoding_names(font_tables::Encoding encoding);

// The standard encoding a /Encoding or /BaseEncoding name stands for.
std::optional<font_tables::Encoding> encoding_named(std::string_view name);

// The standard 14 font a /BaseFont names, directly or through the usual
// aliases (ArialMT, TimesNewRomanPS-BoldMT, CourierNew,Bold, a subset
// prefix ...); nullptr when it names none of them.
const font_tables::Standard14Font* standard_14(std::string_view base_name);

// The standard 14 font whose metrics stand in for a font that gives none:
// by the descriptor flags (fixed pitch, serif) and the name's style.
const font_tables::Standard14Font& standard_14_substitute(std::string_view base_name, int64_t flags);

// A glyph's width in a standard 14 font, by name.
std::optional<double> standard_14_width(const font_tables::Standard14Font& font, std::string_view glyph_name);

// `name` without a subset prefix ("ABCDEF+").
std::string_view without_subset_prefix(std::string_view name);

}  // namespace quillet::glyph_names
