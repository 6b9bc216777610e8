// Static data for decoding glyphs and measuring them when a PDF leaves that
// to the reader: glyph names to Unicode, the simple-font encodings, the
// metrics of the standard 14 fonts, CID to Unicode for the Adobe CJK
// orderings and the predefined CMaps.  Generated into font_tables.cpp by
// tools/gen_font_tables.py; every table is a sorted array searched in place,
// so nothing is built at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::font_tables {

// One glyph name and its Unicode text, both in the byte blobs below.
// Sorted by name bytes.
struct GlyphNameEntry {
    uint32_t name_offset;
    uint8_t name_size;
    uint16_t text_offset;
    uint8_t text_size;  // 0: a known name without Unicode meaning
};
extern const char kGlyphNameBytes[];
extern const char kGlyphTextBytes[];
extern const GlyphNameEntry kGlyphNames[];
extern const size_t kGlyphNameCount;

// Index into kGlyphNames of no glyph.
constexpr uint16_t kNoGlyph = 0xFFFF;

// The simple-font encodings: code to kGlyphNames index.
enum class Encoding : uint8_t { Standard, WinAnsi, MacRoman, MacExpert, Symbol, ZapfDingbats };
extern const uint16_t kEncodings[6][256];

// The Compact Font Format's standard strings: SID s (below 391) is the text
// between offsets s and s + 1.
constexpr size_t kCffStandardStringCount = 391;
extern const char kCffStandardStringBytes[];
extern const uint16_t kCffStandardStringOffsets[kCffStandardStringCount + 1];

// Standard 14 widths in glyph space, sorted by glyph index, per font.
struct GlyphWidth {
    uint16_t glyph;
    uint16_t width;
};
struct Standard14Font {
    const char* name;
    int16_t ascent;
    int16_t descent;
    uint16_t fixed_width;  // every glyph (the Courier family); 0 otherwise
    uint16_t widths_first;
    uint16_t widths_count;
};
extern const GlyphWidth kStandard14Widths[];
// In the order of their names: Courier (regular, Bold, BoldOblique,
// Oblique), Helvetica (the same), Symbol, Times (Bold, BoldItalic, Italic,
// Roman), ZapfDingbats.
extern const Standard14Font kStandard14[14];

// CID to a BMP code point (0: unmapped), indexed by CID.
struct CidOrdering {
    const char* name;  // "CNS1", "GB1", "Japan1", "Korea1"
    // Four uppercase hex digits per CID.
    const char* to_unicode;
    size_t size;
};
extern const CidOrdering kCidOrderings[4];

// A code-space range: codes of `size` bytes whose every byte lies between
// the bytes of low and high at its position.
struct CodeSpaceRange {
    uint8_t size;
    uint8_t low[4];
    uint8_t high[4];
};
// Codes low..high of `size` bytes map to CIDs cid, cid + 1, ...  Sorted by
// (size, low), disjoint.
struct CidRange {
    uint32_t low;
    uint32_t high;
    uint32_t cid;
    uint8_t size;
};
struct PredefinedCMap {
    const char* name;
    uint8_t vertical;
    // How the codes are Unicode: 0 not, 1 UCS-2, 2 UTF-16BE, 3 UTF-8, 4 UTF-32BE.
    uint8_t unicode;
    uint16_t space_first;
    uint16_t space_count;
    uint32_t range_first;
    uint32_t range_count;  // 0: no code-to-CID table carried
    // Index of the CMap consulted for codes these ranges do not map, or -1.
    int16_t parent;
};
extern const CodeSpaceRange kCodeSpaces[];
extern const CidRange kPredefinedCidRanges[];
// Sorted by name.
extern const PredefinedCMap kPredefinedCMaps[];
extern const size_t kPredefinedCMapCount;

}  // namespace quillet::font_tables
