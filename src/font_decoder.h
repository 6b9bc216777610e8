// What a font says about the strings shown with it: how the bytes split into
// glyph codes, the Unicode text of each code and how far each glyph moves
// the pen.  The reading-order text engine asks this and nothing else of a
// font, so that decoding (ToUnicode, encodings, glyph names, CID orderings)
// and metrics (/Widths, /W, the standard 14 fonts) live in one place.
//
// A decoder is built once per font per call and shared by handle; reading
// a glyph allocates nothing beyond the caller's text buffer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "cmap.h"
#include "document.h"
#include "object.h"

namespace quillet {

// One glyph of a shown string.
struct Glyph {
    uint32_t code = 0;
    uint8_t size = 1;  // bytes of the code in the shown string
    // Horizontal displacement in text space per unit of font size (the
    // width in glyph space times the font matrix: w / 1000 for most fonts).
    double advance = 0;
    // The code is the single byte 32, to which word spacing (Tw) applies.
    bool word_space = false;
    // Nothing maps the code to Unicode: U+FFFD was appended as its text.
    bool unmapped = false;
};

class FontDecoder {
public:
    // The decoder of a font dictionary.  Fails like text extraction does
    // for a broken /ToUnicode (not a stream, a CMap that does not parse);
    // missing metrics and unknown glyph names never fail, they fall back.
    static std::shared_ptr<const FontDecoder> load(const Document& document, const Dictionary& font);

    // Reads the glyph whose code starts at shown[at] (at < shown.size()),
    // appends its UTF-8 text to `text` and returns the bytes it used (at
    // least one).
    size_t next(std::string_view shown, size_t at, Glyph& glyph, std::string& text) const;

    // /BaseFont as text (UTF-8 with U+FFFD, no slash); empty when absent.
    const std::string& base_name() const { return base_name_; }
    // Glyphs advance downwards (a CID font with a vertical CMap).
    bool vertical() const { return vertical_; }
    // Extent of the glyphs above and below the baseline, in text space per
    // unit of font size (descent is negative).
    double ascent() const { return ascent_; }
    double descent() const { return descent_; }
    // Glyph space to text space: [0.001 0 0 0.001 0 0] except for Type3.
    const std::array<double, 6>& font_matrix() const { return font_matrix_; }

private:
    FontDecoder() = default;

    // The public facts above.
    std::string base_name_;
    bool vertical_ = false;
    double ascent_ = 0.8;
    double descent_ = -0.2;
    std::array<double, 6> font_matrix_{0.001, 0, 0, 0.001, 0, 0};

    // How codes decode: the font's ToUnicode CMap when it has one; codes are
    // two bytes for Type0 fonts and one byte otherwise.
    std::optional<ToUnicodeCMap> to_unicode_;
    bool two_byte_codes_ = false;
    // Widths in glyph space: /Widths from /FirstChar for simple fonts.
    std::vector<double> widths_;
    uint32_t first_char_ = 0;
    double missing_width_ = 0;
};

}  // namespace quillet
