#include "font_decoder.h"

#include "cmap.h"
#include "error.h"

namespace quillet {

namespace {

// The replacement character, for codes nothing maps.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::optional<ToUnicodeCMap> load_to_unicode(const Document& document, const Dictionary& font) {
    const Object* to_unicode = font.get("ToUnicode");
    if (!to_unicode) return std::nullopt;
    const Stream* stream = document.resolve(*to_unicode).as_stream();
    if (!stream) throw PdfError::type_mismatch("font /ToUnicode", "stream");
    const DecodedBytes bytes = stream->decoded_data_cow();
    return ToUnicodeCMap::parse(bytes.view());
}

}  // namespace

std::shared_ptr<const FontDecoder> FontDecoder::load(const Document& document, const Dictionary& font) {
    std::shared_ptr<FontDecoder> decoder(new FontDecoder());
    if (const Object* base = font.get("BaseFont")) {
        if (const std::string* name = base->as_name()) decoder->base_name_ = utf8_lossy(*name);
    }
    decoder->to_unicode_ = load_to_unicode(document, font);
    decoder->two_byte_codes_ = font.get("Subtype") && font.get("Subtype")->is_name("Type0");
    if (const Object* first = font.get("FirstChar")) {
        const std::optional<int64_t> value = first->as_integer();
        if (value && *value >= 0 && *value <= 255) decoder->first_char_ = static_cast<uint32_t>(*value);
    }
    if (const Object* widths = font.get("Widths")) {
        if (const Array* array = document.resolve(*widths).as_array()) {
            for (const Object& width : *array) decoder->widths_.push_back(document.resolve(width).as_f64().value_or(0));
        }
    }
    decoder->missing_width_ = decoder->two_byte_codes_ ? 1000 : 500;
    return decoder;
}

size_t FontDecoder::next(std::string_view shown, size_t at, Glyph& glyph, std::string& text) const {
    const size_t size = two_byte_codes_ && shown.size() - at >= 2 ? 2 : 1;
    uint32_t code = 0;
    for (size_t i = 0; i < size; ++i) code = (code << 8) | static_cast<uint8_t>(shown[at + i]);
    glyph.code = code;
    glyph.size = static_cast<uint8_t>(size);
    glyph.word_space = size == 1 && code == 32;
    glyph.unmapped = false;
    if (!(to_unicode_ && to_unicode_->lookup(code, size, text))) {
        if (size == 1 && code < 0x80) {
            text.push_back(static_cast<char>(code));
        } else {
            text += kReplacement;
            glyph.unmapped = true;
        }
    }
    double width = missing_width_;
    if (code >= first_char_ && code - first_char_ < widths_.size()) width = widths_[code - first_char_];
    glyph.advance = width * font_matrix_[0];
    return size;
}

}  // namespace quillet
