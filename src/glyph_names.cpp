#include "glyph_names.h"

#include <algorithm>

#include "cmap.h"
#include "lexer.h"

namespace quillet::glyph_names {

namespace {

using font_tables::kGlyphNameBytes;
using font_tables::kGlyphNameCount;
using font_tables::kGlyphNames;
using font_tables::kNoGlyph;
using font_tables::Standard14Font;

std::string_view entry_name(const font_tables::GlyphNameEntry& entry) {
    return std::string_view(kGlyphNameBytes + entry.name_offset, entry.name_size);
}

// The hex value of `digits` (all hex, at most six), or nullopt.
std::optional<char32_t> hex_number(std::string_view digits) {
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    char32_t value = 0;
    for (char c : digits) {
        const auto byte = static_cast<uint8_t>(c);
        if (!chars::is_hex(byte)) return std::nullopt;
        value = (value << 4) | chars::hex_value(byte);
    }
    return value;
}

// The text of a listed glyph; false for one listed without a meaning.
bool append_listed(uint16_t glyph, std::string& out) {
    const font_tables::GlyphNameEntry& entry = kGlyphNames[glyph];
    if (entry.text_size == 0) return false;
    out.append(font_tables::kGlyphTextBytes + entry.text_offset, entry.text_size);
    return true;
}

// One component of a glyph name (no period, no underscore).
bool append_component(std::string_view name, std::string& out) {
    const uint16_t glyph = find(name);
    if (glyph != kNoGlyph) return append_listed(glyph, out);
    // "uni" followed by one or more groups of four hex digits, each a BMP
    // character other than a surrogate.
    if (name.size() >= 7 && name.starts_with("uni") && (name.size() - 3) % 4 == 0) {
        const size_t mark = out.size();
        for (size_t at = 3; at < name.size(); at += 4) {
            const std::optional<char32_t> value = hex_number(name.substr(at, 4));
            if (!value || !cmap::is_scalar_value(*value)) {
                out.resize(mark);
                return false;
            }
            cmap::append_utf8(out, *value);
        }
        return true;
    }
    // "u" followed by four to six hex digits naming one scalar value.
    if (name.size() >= 5 && name.size() <= 7 && name[0] == 'u') {
        const std::optional<char32_t> value = hex_number(name.substr(1));
        if (value && cmap::is_scalar_value(*value)) {
            cmap::append_utf8(out, *value);
            return true;
        }
    }
    // The TeX extension fonts name the sizes of one symbol with suffixes:
    // parenleftbig, summationdisplay, tildewide.
    for (std::string_view size : {"bigg", "Bigg", "big", "Big", "text", "display", "widest", "wider", "wide"}) {
        if (name.size() > size.size() && name.ends_with(size)) {
            const uint16_t stem = find(name.substr(0, name.size() - size.size()));
            return stem != kNoGlyph && append_listed(stem, out);
        }
    }
    return false;
}

}  // namespace

uint16_t find(std::string_view name) {
    const font_tables::GlyphNameEntry* begin = kGlyphNames;
    const font_tables::GlyphNameEntry* end = kGlyphNames + kGlyphNameCount;
    const auto* it = std::lower_bound(begin, end, name, [](const font_tables::GlyphNameEntry& entry,
                                                           std::string_view key) { return entry_name(entry) < key; });
    if (it == end || entry_name(*it) != name) return kNoGlyph;
    return static_cast<uint16_t>(it - begin);
}

std::string_view name_of(uint16_t glyph) {
    return glyph < kGlyphNameCount ? entry_name(kGlyphNames[glyph]) : std::string_view();
}

bool append_text(std::string_view name, std::string& out) {
    // PostScript and PDF both hold names to 127 bytes.  A longer one names
    // no glyph, and as a code's text longer than a few characters is read
    // from its name on every use, its length would multiply the work of
    // every glyph shown with it.
    constexpr size_t kMaxGlyphNameBytes = 127;
    if (name.size() > kMaxGlyphNameBytes) return false;
    name = name.substr(0, name.find('.'));
    if (name.empty()) return false;
    if (append_component(name, out)) return true;
    if (name.find('_') == std::string_view::npos) return false;
    // A ligature: each component in turn; those that map to nothing add
    // nothing, and a name none of whose components maps is unmapped.
    const size_t mark = out.size();
    while (!name.empty()) {
        const size_t cut = name.find('_');
        const std::string_view component = name.substr(0, cut);
        if (!component.empty()) append_component(component, out);
        name = cut == std::string_view::npos ? std::string_view() : name.substr(cut + 1);
    }
    return out.size() > mark;
}

CodeNames encoding_names(font_tables::Encoding encoding) {
    CodeNames names;
    const uint16_t* table = font_tables::kEncodings[static_cast<size_t>(encoding)];
    for (size_t code = 0; code < 256; ++code) names[code] = name_of(table[code]);
    return names;
}

std::optional<font_tables::Encoding> encoding_named(std::string_view name) {
    using font_tables::Encoding;
    if (name == "StandardEncoding") return Encoding::Standard;
    if (name == "WinAnsiEncoding") return Encoding::WinAnsi;
    if (name == "MacRomanEncoding") return Encoding::MacRoman;
    if (name == "MacExpertEncoding") return Encoding::MacExpert;
    return std::nullopt;
}

std::string_view without_subset_prefix(std::string_view name) {
    if (name.size() > 7 && name[6] == '+' &&
        std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
        return name.substr(7);
    }
    return name;
}

namespace {

const Standard14Font* standard_14_named(std::string_view name) {
    for (const Standard14Font& font : font_tables::kStandard14) {
        if (name == font.name) return &font;
    }
    return nullptr;
}

enum class Family { Courier, Helvetica, Times };

const Standard14Font& family_member(Family family, bool bold, bool italic) {
    static constexpr const char* kNames[3][4] = {
        {"Courier", "Courier-Oblique", "Courier-Bold", "Courier-BoldOblique"},
        {"Helvetica", "Helvetica-Oblique", "Helvetica-Bold", "Helvetica-BoldOblique"},
        {"Times-Roman", "Times-Italic", "Times-Bold", "Times-BoldItalic"},
    };
    return *standard_14_named(kNames[static_cast<size_t>(family)][(bold ? 2 : 0) + (italic ? 1 : 0)]);
}

bool has_bold_style(std::string_view name) { return name.find("Bold") != std::string_view::npos; }
bool has_italic_style(std::string_view name) {
    return name.find("Italic") != std::string_view::npos || name.find("Oblique") != std::string_view::npos;
}

}  // namespace

const Standard14Font* standard_14(std::string_view base_name) {
    const std::string_view name = without_subset_prefix(base_name);
    if (const Standard14Font* exact = standard_14_named(name)) return exact;
    if (name.starts_with("Symbol")) return standard_14_named("Symbol");
    if (name.starts_with("ZapfDingbats")) return standard_14_named("ZapfDingbats");
    // The metric-compatible fonts of other systems and the ",Bold" style
    // suffixes: Arial is Helvetica, Times New Roman is Times, Courier New is
    // Courier.
    std::optional<Family> family;
    if (name.starts_with("Courier")) {
        family = Family::Courier;
    } else if (name.starts_with("Helvetica") || name.starts_with("Arial")) {
        family = Family::Helvetica;
    } else if (name.starts_with("Times")) {
        family = Family::Times;
    }
    if (!family) return nullptr;
    return &family_member(*family, has_bold_style(name), has_italic_style(name));
}

const Standard14Font& standard_14_substitute(std::string_view base_name, int64_t flags) {
    // Descriptor flags: bit 1 fixed pitch, bit 2 serif, bit 7 italic, bit 19
    // force bold.
    const Family family = (flags & 1) ? Family::Courier : (flags & 2) ? Family::Times : Family::Helvetica;
    const bool bold = has_bold_style(base_name) || (flags & (1 << 18));
    const bool italic = has_italic_style(base_name) || (flags & (1 << 6));
    return family_member(family, bold, italic);
}

std::optional<double> standard_14_width(const Standard14Font& font, std::string_view glyph_name) {
    if (font.fixed_width) return font.fixed_width;
    const uint16_t glyph = find(glyph_name);
    if (glyph == kNoGlyph) return std::nullopt;
    const font_tables::GlyphWidth* begin = font_tables::kStandard14Widths + font.widths_first;
    const font_tables::GlyphWidth* end = begin + font.widths_count;
    const auto* it = std::lower_bound(begin, end, glyph, [](const font_tables::GlyphWidth& width, uint16_t key) {
        return width.glyph < key;
    });
    if (it == end || it->glyph != glyph) return std::nullopt;
    return it->width;
}

}  // namespace quillet::glyph_names
