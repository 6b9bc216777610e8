#include "font_decoder.h"

#include <algorithm>
#include <cmath>

#include "call_scope.h"
#include "cmap.h"
#include "content.h"
#include "error.h"
#include "font_program.h"
#include "glyph_names.h"
#include "lexer.h"

namespace quillet {

namespace {

// The replacement character, for codes nothing maps.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Every entry read here besides /ToUnicode is optional for text: a missing
// or dangling entry, or one of the wrong type, counts as absent, so that a
// font decodes wherever page_text reads it.
const Object* optional_entry(const Document& document, const Dictionary* dict, std::string_view key) {
    return dict ? document.resolve_optional(dict->get(key)) : nullptr;
}
const Dictionary* optional_dictionary(const Document& document, const Dictionary* dict, std::string_view key) {
    const Object* value = optional_entry(document, dict, key);
    return value ? value->as_dict_like() : nullptr;
}
const Array* optional_array(const Document& document, const Dictionary* dict, std::string_view key) {
    const Object* value = optional_entry(document, dict, key);
    return value ? value->as_array() : nullptr;
}
std::optional<double> finite_number(const Document& document, const Object* value) {
    const Object* resolved = document.resolve_optional(value);
    const std::optional<double> number = resolved ? resolved->as_f64() : std::nullopt;
    if (number && std::isfinite(*number)) return number;
    return std::nullopt;
}
std::optional<double> optional_number(const Document& document, const Dictionary* dict, std::string_view key) {
    return dict ? finite_number(document, dict->get(key)) : std::nullopt;
}
std::optional<int64_t> optional_integer(const Document& document, const Dictionary* dict, std::string_view key) {
    const Object* value = optional_entry(document, dict, key);
    return value ? value->as_integer() : std::nullopt;
}
// A name or a string (/CIDSystemInfo uses strings; some writers use names).
std::string_view optional_text(const Document& document, const Dictionary* dict, std::string_view key) {
    const Object* value = optional_entry(document, dict, key);
    if (!value) return {};
    if (const std::string* name = value->as_name()) return *name;
    if (const std::string* string = value->as_string()) return *string;
    return {};
}

// ---- simple fonts: the glyph name of each code ----

// Applies a /Differences array: a number sets the next code, each name
// after it names that code and the ones that follow.
void apply_differences(const Document& document, const Array& differences, glyph_names::CodeNames& names,
                       std::bitset<256>& named) {
    // Out of range until a number says where; names past 255 are dropped.
    int64_t code = 256;
    for (const Object& item : differences) {
        const Object* value = document.resolve_optional(&item);
        if (!value) continue;
        if (const std::optional<int64_t> number = value->as_integer()) {
            code = *number < 0 ? 256 : std::min<int64_t>(*number, 256);
        } else if (const std::string* name = value->as_name(); name && code < 256) {
            named.set(static_cast<size_t>(code));
            names[static_cast<size_t>(code++)] = *name;
        }
    }
}

const Stream* optional_stream(const Document& document, const Dictionary* dict, std::string_view key) {
    const Object* value = optional_entry(document, dict, key);
    return value ? value->as_stream() : nullptr;
}

// A font program's bytes, decoded; nullopt when absent or broken (the
// program is optional for text).
std::optional<DecodedBytes> program_bytes(const Stream* stream) {
    if (!stream) return std::nullopt;
    try {
        return stream->decoded_data_cow();
    } catch (const PdfError&) {
        return std::nullopt;
    }
}

// ---- composite fonts: /W and /W2 ----

// Appends one range, merging it into the previous when it continues it with
// the same value.
void push_range(std::vector<CidWidthRange>& ranges, uint64_t first, uint64_t last, double width) {
    if (first > UINT32_MAX || last > UINT32_MAX || last < first) return;
    if (!ranges.empty() && ranges.back().last + uint64_t{1} == first && ranges.back().width == width) {
        ranges.back().last = static_cast<uint32_t>(last);
        return;
    }
    ranges.push_back({static_cast<uint32_t>(first), static_cast<uint32_t>(last), width});
}

// A /W array ("c [w1 w2 ...]" and "c_first c_last w") or, with `stride` 3,
// a /W2 array ("c [w1y v1x v1y ...]" and "c_first c_last w1y v1x v1y"), of
// which only the widths are kept.  Reading stops at the first malformed
// element; the result is sorted and disjoint (where entries overlap, the
// first in the array wins).
std::vector<CidWidthRange> cid_width_ranges(const Document& document, const Array& array, size_t stride) {
    std::vector<CidWidthRange> ranges;
    size_t i = 0;
    while (i + 1 < array.size()) {
        const Object* first_value = document.resolve_optional(&array[i]);
        const int64_t first = first_value ? first_value->as_integer().value_or(-1) : -1;
        const Object* next = document.resolve_optional(&array[i + 1]);
        if (first < 0 || !next) break;
        const uint64_t start = static_cast<uint64_t>(first);
        if (const Array* widths = next->as_array()) {
            for (size_t k = 0; k * stride < widths->size(); ++k) {
                const std::optional<double> width = finite_number(document, &(*widths)[k * stride]);
                if (width) push_range(ranges, start + k, start + k, *width);
            }
            i += 2;
            continue;
        }
        const std::optional<int64_t> last = next->as_integer();
        // The range and its `stride` values: indices i to i + 1 + stride.
        if (!last || i + 2 + stride > array.size()) break;
        const std::optional<double> width = finite_number(document, &array[i + 2]);
        if (!width) break;
        push_range(ranges, start, static_cast<uint64_t>(std::max<int64_t>(*last, 0)), *width);
        i += 2 + stride;
    }
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const CidWidthRange& a, const CidWidthRange& b) { return a.first < b.first; });
    std::vector<CidWidthRange> disjoint;
    disjoint.reserve(ranges.size());
    for (const CidWidthRange& range : ranges) {
        if (!disjoint.empty() && range.first <= disjoint.back().last) continue;
        disjoint.push_back(range);
    }
    return disjoint;
}

std::optional<double> find_width(const std::vector<CidWidthRange>& ranges, uint32_t cid) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), cid,
                               [](uint32_t key, const CidWidthRange& range) { return key < range.first; });
    if (it == ranges.begin()) return std::nullopt;
    --it;
    if (cid > it->last) return std::nullopt;
    return it->width;
}

const font_tables::CidOrdering* adobe_ordering(const Document& document, const Dictionary* system_info) {
    if (optional_text(document, system_info, "Registry") != "Adobe") return nullptr;
    const std::string_view ordering = optional_text(document, system_info, "Ordering");
    for (const font_tables::CidOrdering& known : font_tables::kCidOrderings) {
        if (ordering == known.name) return &known;
    }
    return nullptr;
}

uint32_t hex4(const char* digits) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 4) | chars::hex_value(static_cast<uint8_t>(digits[i]));
    return value;
}

// The bytes are exactly one well-formed UTF-8 character.
bool is_one_utf8_character(const std::array<uint8_t, 4>& bytes, size_t size) {
    static constexpr uint32_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (size == 0 || size > 4) return false;
    const uint8_t lead = bytes[0];
    const size_t expected = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (expected != size) return false;
    uint32_t value = lead & kLeadMask[size];
    for (size_t i = 1; i < size; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) return false;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    return value >= kSmallest[size] && cmap::is_scalar_value(value);
}

}  // namespace

std::shared_ptr<const FontDecoder> FontDecoder::load(const Document& document, const Dictionary& font) {
    // A decoder's tables take some kilobytes, and a font dictionary in the
    // file a few dozen bytes: a page selecting thousands of tiny fonts
    // would otherwise turn a small file into gigabytes.
    charge_work("page fonts", sizeof(FontDecoder));
    // Default-initialised: the code entries stay untouched until used.
    std::shared_ptr<FontDecoder> decoder(new FontDecoder);
    if (const Object* base = font.get("BaseFont")) {
        if (const std::string* name = base->as_name()) decoder->base_name_ = utf8_lossy(*name);
    }
    decoder->to_unicode_ = font_dictionary_to_unicode(document, font);
    const Object* subtype_value = optional_entry(document, &font, "Subtype");
    const std::string* subtype = subtype_value ? subtype_value->as_name() : nullptr;
    if (subtype && *subtype == "Type0") {
        decoder->load_composite(document, font);
    } else {
        decoder->load_simple(document, font, subtype ? std::string_view(*subtype) : std::string_view());
    }
    return decoder;
}

void FontDecoder::load_simple(const Document& document, const Dictionary& font, std::string_view subtype) {
    const Dictionary* descriptor = optional_dictionary(document, &font, "FontDescriptor");
    const int64_t flags = optional_integer(document, descriptor, "Flags").value_or(0);
    const bool type3 = subtype == "Type3";
    const std::string_view base_name = base_name_;
    const font_tables::Standard14Font* standard = type3 ? nullptr : glyph_names::standard_14(base_name);

    if (type3) {
        // A Type 3 font's glyph space is its own: /FontMatrix maps it to
        // text space.  A matrix that is missing, short or singular keeps
        // the usual one.
        if (const Array* matrix = optional_array(document, &font, "FontMatrix"); matrix && matrix->size() == 6) {
            std::array<double, 6> values{};
            bool valid = true;
            for (size_t i = 0; i < 6; ++i) {
                const std::optional<double> value = finite_number(document, &(*matrix)[i]);
                valid = valid && value.has_value();
                values[i] = value.value_or(0);
            }
            if (valid && values[0] * values[3] - values[1] * values[2] != 0) font_matrix_ = values;
        }
    }

    // Glyph names: /Encoding (a name, or a dictionary with /BaseEncoding and
    // /Differences), else the font's built-in encoding.
    std::optional<font_tables::Encoding> base;
    const Array* differences = nullptr;
    if (const Object* encoding = optional_entry(document, &font, "Encoding")) {
        if (const std::string* name = encoding->as_name()) {
            base = glyph_names::encoding_named(*name);
        } else if (const Dictionary* dictionary = encoding->as_dictionary()) {
            const Object* base_name_value = optional_entry(document, dictionary, "BaseEncoding");
            if (const std::string* name = base_name_value ? base_name_value->as_name() : nullptr) {
                base = glyph_names::encoding_named(*name);
            }
            differences = optional_array(document, dictionary, "Differences");
        }
    }
    if (base) {
        names_ = glyph_names::encoding_names(*base);
    } else {
        use_builtin_encoding(document, subtype, descriptor, flags, standard);
    }
    if (differences) apply_differences(document, *differences, names_, from_differences_);

    // Widths: /Widths from /FirstChar, /MissingWidth for the codes outside
    // it.  A font without /Widths (the standard 14 may omit it) is measured
    // with the standard 14 metrics, its own or those of the closest of them.
    const double missing_width = optional_number(document, descriptor, "MissingWidth").value_or(0);
    const Array* widths = optional_array(document, &font, "Widths");
    const std::optional<int64_t> first_char = optional_integer(document, &font, "FirstChar");
    if (widths) {
        widths_.fill(missing_width);
        // A /FirstChar that is no one-byte code is read as 0.
        const size_t first = first_char && *first_char >= 0 && *first_char <= 255 ? static_cast<size_t>(*first_char) : 0;
        for (size_t i = 0; i < widths->size() && first + i < 256; ++i) {
            widths_[first + i] = finite_number(document, &(*widths)[i]).value_or(missing_width);
        }
    } else if (!type3) {
        metrics_by_name_ =
            standard ? standard : &glyph_names::standard_14_substitute(glyph_names::without_subset_prefix(base_name), flags);
        fallback_width_ = missing_width > 0 ? missing_width : metrics_by_name_->fixed_width ? metrics_by_name_->fixed_width : 500;
    } else {
        widths_.fill(missing_width);
    }

    load_extents(document, descriptor, font, standard);
}

// The font's own encoding, used where /Encoding gives no base: Symbol and
// ZapfDingbats have theirs; an embedded Type 1 or CFF program declares one;
// a symbolic TrueType font's codes select glyphs through its own cmap, which
// in practice follows the Windows code page; everything else reads as
// StandardEncoding.
void FontDecoder::use_builtin_encoding(const Document& document, std::string_view subtype, const Dictionary* descriptor,
                                       int64_t flags, const font_tables::Standard14Font* standard) {
    using font_tables::Encoding;
    if (subtype == "Type3") return;
    if (standard && std::string_view(standard->name) == "Symbol") {
        names_ = glyph_names::encoding_names(Encoding::Symbol);
    } else if (standard && std::string_view(standard->name) == "ZapfDingbats") {
        names_ = glyph_names::encoding_names(Encoding::ZapfDingbats);
    } else if (subtype == "Type1" || subtype == "MMType1") {
        // A program is read when a code needs it (program_names).
        font_file_ = optional_stream(document, descriptor, "FontFile");
        font_file3_ = optional_stream(document, descriptor, "FontFile3");
        if (!font_file_ && !font_file3_) names_ = glyph_names::encoding_names(Encoding::Standard);
    } else {
        const bool symbolic = (flags & 4) != 0;
        names_ = glyph_names::encoding_names(subtype == "TrueType" && symbolic ? Encoding::WinAnsi : Encoding::Standard);
    }
}

const glyph_names::CodeNames& FontDecoder::program_names() const {
    std::call_once(program_read_, [this] {
        std::optional<DecodedBytes> program;
        std::optional<glyph_names::CodeNames> names;
        if ((program = program_bytes(font_file_))) {
            names = font_program::type1_encoding(program->view());
        } else if ((program = program_bytes(font_file3_))) {
            names = font_program::cff_encoding(program->view());
        }
        // A program without a readable encoding reads as StandardEncoding;
        // a subset program lists only the codes its glyphs use, and a code
        // it leaves out, though shown, is read as StandardEncoding says.
        program_names_ = glyph_names::encoding_names(font_tables::Encoding::Standard);
        if (!names) return;
        // The decoder is kept with the document and any number of fonts may
        // share one program, so the names are kept rather than the program.
        // A name over 127 bytes maps to nothing and measures like none
        // (glyph_names.h): it is kept as none.
        constexpr size_t kMaxName = 127;
        const auto kept = [](std::string_view name) { return name.size() <= kMaxName ? name : std::string_view(); };
        size_t total = 0;
        for (std::string_view name : *names) total += kept(name).size();
        program_name_bytes_.reserve(total);  // no reallocation: the names view it
        for (size_t code = 0; code < 256; ++code) {
            if ((*names)[code].empty()) continue;
            const std::string_view name = kept((*names)[code]);
            (*program_names_)[code] = std::string_view(program_name_bytes_.data() + program_name_bytes_.size(), name.size());
            program_name_bytes_.append(name);
        }
    });
    return *program_names_;
}

std::string_view FontDecoder::glyph_name(uint8_t code) const {
    if ((font_file_ || font_file3_) && !from_differences_[code]) return program_names()[code];
    return names_[code];
}

FontDecoder::CodeEntry FontDecoder::resolve_code(uint8_t code) const {
    const std::string_view name = glyph_name(code);
    CodeEntry entry{};
    entry.width = metrics_by_name_ ? glyph_names::standard_14_width(*metrics_by_name_, name).value_or(fallback_width_)
                                   : widths_[code];
    std::string text;  // a text that fits in the entry fits in the string's own buffer
    if (!name.empty() && glyph_names::append_text(name, text)) {
        if (text.size() <= entry.text.size()) {
            std::copy(text.begin(), text.end(), entry.text.begin());
            entry.text_size = static_cast<uint8_t>(text.size());
        } else {
            entry.text_size = kLongText;
        }
    }
    return entry;
}

FontDecoder::CodeEntry FontDecoder::code_entry(uint8_t code) const {
    std::atomic<uint8_t>& state = code_states_[code];
    if (state.load(std::memory_order_acquire) == kResolved) return code_entries_[code];
    const CodeEntry entry = resolve_code(code);
    // A thread that finds the code claimed by another uses its own copy,
    // which is the same.
    uint8_t expected = kUnresolved;
    if (state.compare_exchange_strong(expected, kResolving, std::memory_order_relaxed)) {
        code_entries_[code] = entry;
        state.store(kResolved, std::memory_order_release);
    }
    return entry;
}

void FontDecoder::load_composite(const Document& document, const Dictionary& font) {
    const Object* encoding = optional_entry(document, &font, "Encoding");
    cmap_ = encoding ? CidCMap::load(document, *encoding) : CidCMap::load(document, Object(Name{"Identity-H"}));
    vertical_ = cmap_->vertical();

    const Array* descendants = optional_array(document, &font, "DescendantFonts");
    const Object* first = descendants && !descendants->empty() ? document.resolve_optional(&descendants->front()) : nullptr;
    const Dictionary* descendant = first ? first->as_dict_like() : nullptr;
    ordering_ = adobe_ordering(document, optional_dictionary(document, descendant, "CIDSystemInfo"));
    if (!ordering_ && encoding) {
        // An embedded CMap names its ordering too.
        const Object* stream = document.resolve_optional(encoding);
        if (stream && stream->as_stream()) {
            ordering_ = adobe_ordering(document, optional_dictionary(document, &stream->as_stream()->dict, "CIDSystemInfo"));
        }
    }
    default_width_ = optional_number(document, descendant, "DW").value_or(1000);
    if (const Array* widths = optional_array(document, descendant, "W")) cid_widths_ = cid_width_ranges(document, *widths, 1);
    if (vertical_) {
        // /DW2 is [v_y w1y]; the default [880 -1000].
        if (const Array* dw2 = optional_array(document, descendant, "DW2"); dw2 && dw2->size() == 2) {
            default_vertical_ = finite_number(document, &(*dw2)[1]).value_or(-1000);
        }
        if (const Array* widths = optional_array(document, descendant, "W2")) {
            cid_vertical_ = cid_width_ranges(document, *widths, 3);
        }
    }
    load_extents(document, optional_dictionary(document, descendant, "FontDescriptor"), font, nullptr);
}

void FontDecoder::load_extents(const Document& document, const Dictionary* descriptor, const Dictionary& font,
                               const font_tables::Standard14Font* standard) {
    // In glyph space: the descriptor's /Ascent and /Descent, else its
    // /FontBBox (a Type 3 font's own), else the standard 14 metrics.  Zero,
    // inverted or implausible values (beyond twice the em) are treated as
    // absent, as writers emit them; the last resort is 0.8 and -0.2 em.
    const double scale = font_matrix_[3];
    const auto plausible_ascent = [&](std::optional<double> value) {
        return value && *value * scale > 0 && *value * scale <= 2 ? value : std::nullopt;
    };
    const auto plausible_descent = [&](std::optional<double> value) {
        return value && *value * scale < 0 && *value * scale >= -2 ? value : std::nullopt;
    };
    std::optional<double> ascent = plausible_ascent(optional_number(document, descriptor, "Ascent"));
    std::optional<double> descent = plausible_descent(optional_number(document, descriptor, "Descent"));
    const Array* box = optional_array(document, descriptor, "FontBBox");
    if (!box) box = optional_array(document, &font, "FontBBox");
    if (box && box->size() == 4) {
        if (!ascent) ascent = plausible_ascent(finite_number(document, &(*box)[3]));
        if (!descent) descent = plausible_descent(finite_number(document, &(*box)[1]));
    }
    if (standard) {
        if (!ascent) ascent = plausible_ascent(standard->ascent);
        if (!descent) descent = plausible_descent(standard->descent);
    }
    ascent_ = ascent ? *ascent * scale : 0.8;
    descent_ = descent ? *descent * scale : -0.2;
}

bool FontDecoder::append_cid_text(uint32_t code, size_t size, std::optional<uint32_t> cid, std::string& text) const {
    switch (cmap_->unicode_codes()) {
        case CidCMap::UnicodeCodes::Ucs2:
        case CidCMap::UnicodeCodes::Utf32:
            if (!cmap::is_scalar_value(code) || code == 0) return false;
            cmap::append_utf8(text, code);
            return true;
        case CidCMap::UnicodeCodes::Utf16: {
            if (size == 4) {
                const uint32_t high = code >> 16, low = code & 0xFFFF;
                if (high < 0xD800 || high > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
                cmap::append_utf8(text, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
                return true;
            }
            if (!cmap::is_scalar_value(code) || code == 0) return false;
            cmap::append_utf8(text, code);
            return true;
        }
        case CidCMap::UnicodeCodes::Utf8: {
            std::array<uint8_t, 4> bytes{};
            for (size_t i = 0; i < size && i < 4; ++i) bytes[i] = static_cast<uint8_t>(code >> (8 * (size - 1 - i)));
            if (!is_one_utf8_character(bytes, size)) return false;
            text.append(reinterpret_cast<const char*>(bytes.data()), size);
            return true;
        }
        case CidCMap::UnicodeCodes::None:
            break;
    }
    if (!ordering_ || !cid || *cid >= ordering_->size) return false;
    const uint32_t value = hex4(ordering_->to_unicode + 4 * size_t{*cid});
    if (value == 0) return false;
    cmap::append_utf8(text, value);
    return true;
}

size_t FontDecoder::next(std::string_view shown, size_t at, Glyph& glyph, std::string& text) const {
    const size_t size = cmap_ ? cmap_->code_size(shown, at) : 1;
    uint32_t code = 0;
    for (size_t i = 0; i < size; ++i) code = (code << 8) | static_cast<uint8_t>(shown[at + i]);
    glyph.code = code;
    glyph.size = static_cast<uint8_t>(size);
    glyph.word_space = size == 1 && code == 32;
    glyph.unmapped = false;
    glyph.vertical_advance = 0;
    const bool mapped = to_unicode_ && to_unicode_->lookup(code, size, text);
    double width = 0;
    if (!cmap_) {
        const auto byte = static_cast<uint8_t>(code);
        if (mapped && !metrics_by_name_) {
            width = widths_[byte];
        } else {
            const CodeEntry entry = code_entry(byte);
            width = entry.width;
            if (!mapped) {
                if (entry.text_size == kLongText) {
                    glyph_names::append_text(glyph_name(byte), text);
                } else if (entry.text_size > 0) {
                    text.append(entry.text.data(), entry.text_size);
                } else {
                    text += kReplacement;
                    glyph.unmapped = true;
                }
            }
        }
    } else {
        const std::optional<uint32_t> cid = cmap_->cid(code, size);
        if (!mapped && !append_cid_text(code, size, cid, text)) {
            text += kReplacement;
            glyph.unmapped = true;
        }
        width = cid ? find_width(cid_widths_, *cid).value_or(default_width_) : default_width_;
        if (vertical_) {
            const double vertical = cid ? find_width(cid_vertical_, *cid).value_or(default_vertical_) : default_vertical_;
            glyph.vertical_advance = vertical * font_matrix_[3];
        }
    }
    glyph.advance = width * font_matrix_[0];
    return size;
}

}  // namespace quillet
