// What a font says about the strings shown with it: how the bytes split into
// glyph codes, the Unicode text of each code and how far each glyph moves
// the pen.  The reading-order text engine asks this and nothing else of a
// font, so that decoding (ToUnicode, encodings, glyph names, CID orderings)
// and metrics (/Widths, /W, the standard 14 fonts) live in one place.
//
// A decoder is built once per font and kept with the document
// (Document::kept_font_decoder), shared by handle; reading a glyph
// allocates nothing beyond the caller's text buffer.  Building one
// is cheap: a simple font's codes are resolved on first use, and an
// embedded font program is read only when a shown code needs the encoding
// built into it.  What is filled in lazily is filled in at most once and
// safely, so one decoder may serve several threads at once.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "cid_cmap.h"
#include "cmap.h"
#include "document.h"
#include "font_tables.h"
#include "glyph_names.h"
#include "object.h"

namespace quillet {

// One glyph of a shown string.
struct Glyph {
    uint32_t code = 0;
    uint8_t size = 1;  // bytes of the code in the shown string
    // Horizontal displacement in text space per unit of font size (the
    // width in glyph space times the font matrix: w / 1000 for most fonts).
    double advance = 0;
    // For a vertical font: the vertical displacement in text space per unit
    // of font size (w1y / 1000 from /W2 or /DW2; negative, glyphs advance
    // downwards); 0 for horizontal fonts.
    double vertical_advance = 0;
    // The code is the single byte 32, to which word spacing (Tw) applies.
    bool word_space = false;
    // Nothing maps the code to Unicode: U+FFFD was appended as its text.
    bool unmapped = false;
};

// CIDs first..last have one width (or vertical displacement) in glyph space.
struct CidWidthRange {
    uint32_t first = 0;
    uint32_t last = 0;
    double width = 0;
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

    // Loading, by kind of font (font_decoder.cpp).
    void load_simple(const Document& document, const Dictionary& font, std::string_view subtype);
    void load_composite(const Document& document, const Dictionary& font);
    void load_extents(const Document& document, const Dictionary* descriptor, const Dictionary& font,
                      const font_tables::Standard14Font* standard);
    void use_builtin_encoding(const Document& document, std::string_view subtype, const Dictionary* descriptor,
                              int64_t flags, const font_tables::Standard14Font* standard);

    // The Unicode text of a Type 0 font's code when its ToUnicode does not
    // give one: the code itself for a Unicode CMap, else through the CID
    // ordering.  False, with nothing appended, when neither applies.
    bool append_cid_text(uint32_t code, size_t size, std::optional<uint32_t> cid, std::string& text) const;

    // Decoding: the font's ToUnicode CMap first, when it has one.
    std::optional<ToUnicodeCMap> to_unicode_;

    // Simple fonts: one-byte codes.  Each code's glyph name comes from
    // /Differences, else from the base encoding (/Encoding, or the font's
    // own).  When the font's own is the one its embedded Type 1 or CFF
    // program declares, the program is read only once a code needs it:
    // TeX documents name every shown code in /Differences, and reading their
    // programs would cost more than their pages.
    glyph_names::CodeNames names_{};
    std::bitset<256> from_differences_;
    const Stream* font_file_ = nullptr;   // base encoding from this Type 1 program,
    const Stream* font_file3_ = nullptr;  // else from this CFF one, else Standard
    mutable std::once_flag program_read_;
    mutable std::string program_name_bytes_;  // what program_names_ view
    mutable std::optional<glyph_names::CodeNames> program_names_;
    // Widths: from /Widths (with /MissingWidth) when the font has them,
    // else measured by glyph name with these standard 14 metrics.
    std::array<double, 256> widths_{};
    const font_tables::Standard14Font* metrics_by_name_ = nullptr;
    double fallback_width_ = 0;

    // A code's text and width, worked out on its first use: a page shows
    // a few dozen of a font's codes, and each name costs two searches of
    // the glyph tables.  An entry is written once, by the thread that
    // claims it, and read only after its state says it is complete.
    static constexpr uint8_t kLongText = 0xFF;
    // Entries are left uninitialised, as most are never used.
    struct CodeEntry {
        double width;
        // 0 when nothing maps the code; kLongText when the text does not
        // fit here and is worked out from the name on each use.
        uint8_t text_size;
        std::array<char, 15> text;
    };
    enum CodeState : uint8_t { kUnresolved, kResolving, kResolved };
    mutable std::array<std::atomic<uint8_t>, 256> code_states_{};
    mutable std::array<CodeEntry, 256> code_entries_;

    std::string_view glyph_name(uint8_t code) const;
    const glyph_names::CodeNames& program_names() const;
    CodeEntry code_entry(uint8_t code) const;
    CodeEntry resolve_code(uint8_t code) const;

    // Type 0 fonts: the encoding CMap splits codes and gives CIDs; the
    // descendant's ordering gives their text, /W and /DW (/W2 and /DW2 when
    // vertical) their widths.  Width ranges are sorted and disjoint.
    std::optional<CidCMap> cmap_;
    const font_tables::CidOrdering* ordering_ = nullptr;
    std::vector<CidWidthRange> cid_widths_;
    double default_width_ = 1000;
    std::vector<CidWidthRange> cid_vertical_;
    double default_vertical_ = -1000;
};

}  // namespace quillet
