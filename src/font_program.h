// The built-in encodings that embedded font programs declare, for simple
// fonts whose /Encoding leaves the code-to-glyph mapping to the font: the
// /Encoding array of a Type 1 program's clear text and the encoding and
// charset of a Compact Font Format (Type1C) program.  Only these tables are
// read; glyph outlines never are.
#pragma once

#include <optional>
#include <string_view>

#include "glyph_names.h"

namespace quillet::font_program {

// The encoding of a Type 1 program ("/Encoding StandardEncoding def" or
// "dup code /name put" entries); nullopt when it declares none that can be
// read.  The names view `program`.
std::optional<glyph_names::CodeNames> type1_encoding(std::string_view program);

// The encoding of the first font of a CFF program (a FontFile3 of subtype
// Type1C), through its charset to glyph names; nullopt for a CID-keyed
// font, an expert encoding or charset, or a program that does not read.
// The names view `program` or the static tables.
std::optional<glyph_names::CodeNames> cff_encoding(std::string_view program);

}  // namespace quillet::font_program
