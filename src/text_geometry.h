// Where each glyph of a page lands.  One pass over the page's content
// operations keeps the graphics state stack (q, Q, cm), the text state (Tc,
// Tw, Tz, TL, Tf, Ts) and the text matrices (BT, Td, TD, Tm, T*, the quote
// operators, TJ offsets), follows form XObjects with their own matrix and
// resources, then runs the appearances of the page's annotations (filled-in
// form fields show their values there), and records every shown glyph in
// content order with its box in user space.  Words, lines and reading order
// are the assembly's business (reading.h); nothing here decides them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "content.h"
#include "document.h"
#include "object.h"

namespace quillet {

class FontDecoder;
struct PageEntry;

// Graphics states nest through q and through form XObjects.  Real content
// stays within a few dozen levels, and producers that never close their q
// reach a few thousand; a level costs about a hundred bytes, so the bound
// keeps a content stream of nothing but q within a few megabytes.
inline constexpr size_t kMaxGraphicsStateDepth = size_t{1} << 15;
// Glyphs recorded for one page, 64 bytes each plus their text.  The densest
// real pages (maps, data tables) hold a few hundred thousand.
inline constexpr size_t kMaxPageGlyphs = size_t{1} << 22;
// The UTF-8 text decoded for them, that of glyphs left out (off the page)
// included: a ToUnicode CMap may map one code to a long text.
inline constexpr size_t kMaxPageGlyphText = size_t{1} << 26;
// Operations run and glyphs decoded for one page.  A form drawn several
// times by forms that are themselves drawn several times multiplies a small
// file into any amount of work; this stops it within a few seconds.
inline constexpr uint64_t kMaxPageTextWork = uint64_t{1} << 24;

// Fonts and form XObjects for one reading call, shared by every page of
// the call: a form's content is decoded and parsed once per call, a font's
// decoder (kept with the document) is looked up once per call.
class ReadingCache {
public:
    explicit ReadingCache(const Document& document) : document_(document) {}

    // The decoder of a font dictionary.
    const FontDecoder& font(const Dictionary& font);
    // The decoder for text shown with no usable font: before any Tf, or
    // after a Tf naming a font the resources lack.
    const FontDecoder& fallback_font();
    // A form XObject's content, decoded and parsed.
    const std::vector<ContentOperation>& form_operations(const Stream& form);

private:
    const Document& document_;
    // Keyed by address: dictionaries and streams stay in the object table
    // for the whole call, and a font named under several resource names or
    // pages is one object.
    std::unordered_map<const Dictionary*, std::shared_ptr<const FontDecoder>> fonts_;
    std::shared_ptr<const FontDecoder> fallback_;
    std::unordered_map<const Stream*, std::vector<ContentOperation>> forms_;
};

// One shown glyph.  Positions along and across are measured in the frame of
// the glyph's direction class (the baseline angle rounded to a degree):
// `along` runs with the text, `across` is that direction turned a quarter
// counter-clockwise, so for upright text they are x and y.
struct PlacedGlyph {
    std::array<double, 4> bbox;  // x0, y0, x1, y1 in user space
    float along0 = 0;            // pen position before the glyph
    float along1 = 0;            // where its width ends (spacing after it not included)
    float base = 0;              // baseline position across
    float size = 0;              // effective font size in points
    uint32_t text_offset = 0;    // UTF-8 text in PageGlyphs::text
    uint32_t text_size = 0;
    uint32_t font = 0;           // index into PageGlyphs::fonts
    int16_t angle = 0;           // the direction class: degrees (-179 to 180), plus 360 at size zero
    bool blank = false;          // the text is white space: a shown space
    uint8_t spaces_before = 0;   // shown spaces just before it (set by the assembly)
};

struct PageGlyphs {
    std::vector<PlacedGlyph> glyphs;  // content order
    std::string text;
    std::vector<const FontDecoder*> fonts;
};

// The glyphs of a page.  Broken content, resources and fonts fail as in
// text extraction; form XObjects fail as in the image search (a cycle, a
// non-stream entry, resources that are no dictionary) and their content as
// the page's does.  Glyphs entirely outside the page's crop box (else media
// box) are not recorded: no reader sees them.
PageGlyphs place_page_glyphs(const Document& document, const PageEntry& page, ReadingCache& cache);

}  // namespace quillet
