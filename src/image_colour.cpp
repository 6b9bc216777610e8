#include "image_colour.h"

#include <algorithm>
#include <cmath>

#include "error.h"
#include "inspect.h"
#include "resource.h"

namespace quillet {

std::optional<int64_t> integer_entry(const Document& document, const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    return value ? document.resolve(*value).as_integer() : std::nullopt;
}

std::optional<std::vector<double>> number_array(const Document& document, const Object* value) {
    if (!value) return std::nullopt;
    const Array* array = document.resolve(*value).as_array();
    if (!array) return std::nullopt;
    std::vector<double> numbers;
    numbers.reserve(array->size());
    for (const Object& item : *array) {
        const std::optional<double> number = document.resolve(item).as_f64();
        if (!number || !std::isfinite(*number)) return std::nullopt;
        numbers.push_back(*number);
    }
    return numbers;
}

double clamp_finite(double value, double lo, double hi) {
    if (!(value >= lo)) return lo;
    return value > hi ? hi : value;
}

double interpolate(double x, double x0, double x1, double y0, double y1) {
    return x1 == x0 ? y0 : y0 + (x - x0) * (y1 - y0) / (x1 - x0);
}

uint8_t unit_to_byte(double value) { return static_cast<uint8_t>(clamp_finite(value, 0.0, 1.0) * 255.0 + 0.5); }

namespace {

[[noreturn]] void unsupported_function(std::string_view why) {
    image_error("unsupported tint transform: " + std::string(why));
}

// CIE L*a*b* to sRGB: the colour's XYZ relative to the space's white point
// is mapped to the same place relative to D65 (scaling each of X, Y, Z by
// the white points' ratio, so the white point itself is not needed), then
// encoded with the sRGB matrix and curve.
void lab_to_rgb(const ColourSpace& space, const double* in, uint8_t* out) {
    const double l = clamp_finite(in[0], 0, 100);
    const double a = clamp_finite(in[1], space.lab_range[0], space.lab_range[1]);
    const double b = clamp_finite(in[2], space.lab_range[2], space.lab_range[3]);
    const auto g = [](double x) { return x >= 6.0 / 29 ? x * x * x : 108.0 / 841 * (x - 4.0 / 29); };
    const double m = (l + 16) / 116;
    const double x = 0.9505 * g(m + a / 500);
    const double y = 1.0 * g(m);
    const double z = 1.089 * g(m - b / 200);
    const std::array<double, 3> linear = {3.2406 * x - 1.5372 * y - 0.4986 * z, -0.9689 * x + 1.8758 * y + 0.0415 * z,
                                          0.0557 * x - 0.2040 * y + 1.0570 * z};
    for (size_t i = 0; i < 3; ++i) {
        const double c = clamp_finite(linear[i], 0, 1);
        out[i] = unit_to_byte(c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055);
    }
}

}  // namespace

// ---- tint transforms ----

std::unique_ptr<TintTransform> TintTransform::parse(const Document& document, const Object& value, size_t inputs,
                                                    size_t outputs) {
    const Object& resolved = document.resolve(value);
    const Dictionary* dict = resolved.as_dict_like();
    if (!dict) unsupported_function("not a function");
    auto f = std::make_unique<TintTransform>();
    f->inputs_ = inputs;
    f->outputs_ = outputs;
    const std::optional<int64_t> type = integer_entry(document, *dict, "FunctionType");
    f->domain_ = number_array(document, dict->get("Domain")).value_or(std::vector<double>{});
    if (f->domain_.size() != 2 * inputs) unsupported_function("bad /Domain");
    std::optional<std::vector<double>> range = number_array(document, dict->get("Range"));

    if (type == 2) {
        if (inputs != 1) unsupported_function("an exponential function has one input");
        f->c0_ = number_array(document, dict->get("C0")).value_or(std::vector<double>{0.0});
        f->c1_ = number_array(document, dict->get("C1")).value_or(std::vector<double>{1.0});
        const Object* n = dict->get("N");
        const std::optional<double> exponent = n ? document.resolve(*n).as_f64() : std::nullopt;
        if (!exponent || !std::isfinite(*exponent)) unsupported_function("bad /N");
        f->exponent_ = *exponent;
        if (f->c0_.size() != outputs || f->c1_.size() != outputs) unsupported_function("outputs do not fit the space");
        if (range && range->size() == 2 * outputs) f->range_ = std::move(*range);
        return f;
    }
    if (type != 0) {
        unsupported_function("function type " + (type ? std::to_string(*type) : std::string("missing")));
    }
    const Stream* stream = resolved.as_stream();
    if (!stream) unsupported_function("a sampled function must be a stream");
    if (inputs > kMaxSampledInputs) unsupported_function("more than 4 inputs");
    if (!range || range->size() != 2 * outputs) unsupported_function("bad /Range");
    f->range_ = std::move(*range);
    f->type_ = 0;
    const std::optional<int64_t> bits = integer_entry(document, *dict, "BitsPerSample");
    static constexpr std::array<int64_t, 8> kBits = {1, 2, 4, 8, 12, 16, 24, 32};
    if (!bits || std::find(kBits.begin(), kBits.end(), *bits) == kBits.end()) {
        unsupported_function("bad /BitsPerSample");
    }
    f->bits_ = static_cast<unsigned>(*bits);
    const std::optional<std::vector<double>> size = number_array(document, dict->get("Size"));
    if (!size || size->size() != inputs) unsupported_function("bad /Size");
    // Sample count and bits, with overflow checks, against the data.
    uint64_t count = outputs;
    for (double s : *size) {
        if (s < 1 || s > static_cast<double>(UINT32_MAX) || s != std::floor(s)) unsupported_function("bad /Size");
        f->size_.push_back(static_cast<uint64_t>(s));
        if (__builtin_mul_overflow(count, f->size_.back(), &count)) unsupported_function("bad /Size");
    }
    uint64_t bit_count = 0;
    if (__builtin_mul_overflow(count, uint64_t{f->bits_}, &bit_count)) unsupported_function("bad /Size");
    f->encode_ = number_array(document, dict->get("Encode")).value_or(std::vector<double>{});
    if (f->encode_.size() != 2 * inputs) {
        f->encode_.clear();
        for (uint64_t s : f->size_) f->encode_.insert(f->encode_.end(), {0.0, static_cast<double>(s - 1)});
    }
    f->decode_ = number_array(document, dict->get("Decode")).value_or(f->range_);
    if (f->decode_.size() != 2 * outputs) f->decode_ = f->range_;
    DecodedBytes data = stream->decoded_data_cow();
    if (data.view().size() < bit_count / 8 + (bit_count % 8 != 0)) unsupported_function("sample data is too short");
    f->samples_ = std::move(data).into_owned();
    return f;
}

// `bits_` bits at sample position `index`, most significant first.
uint64_t TintTransform::sample(uint64_t index) const {
    const uint64_t first_bit = index * bits_;
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples_.data());
    uint64_t value = 0;
    const uint64_t end_bit = first_bit + bits_;
    // At most five bytes hold the (up to 32) bits.
    const uint64_t first_byte = first_bit / 8, last_byte = (end_bit - 1) / 8;
    for (uint64_t b = first_byte; b <= last_byte; ++b) value = (value << 8) | bytes[b];
    value >>= (last_byte + 1) * 8 - end_bit;
    return value & ((uint64_t{1} << bits_) - 1);
}

void TintTransform::evaluate(const double* in, double* out) const {
    if (type_ == 0) {
        evaluate_sampled(in, out);
        return;
    }
    const double x = clamp_finite(in[0], domain_[0], domain_[1]);
    const double power = std::pow(x, exponent_);
    for (size_t j = 0; j < outputs_; ++j) {
        out[j] = c0_[j] + power * (c1_[j] - c0_[j]);
        if (!range_.empty()) out[j] = clamp_finite(out[j], range_[2 * j], range_[2 * j + 1]);
    }
}

// Multilinear interpolation between the grid points around the input.
void TintTransform::evaluate_sampled(const double* in, double* out) const {
    std::array<uint64_t, kMaxSampledInputs> low{};
    std::array<double, kMaxSampledInputs> fraction{};
    std::array<uint64_t, kMaxSampledInputs> stride{};
    uint64_t step = outputs_;
    for (size_t i = 0; i < inputs_; ++i) {
        const double x = clamp_finite(in[i], domain_[2 * i], domain_[2 * i + 1]);
        const double top = static_cast<double>(size_[i] - 1);
        const double encoded = interpolate(x, domain_[2 * i], domain_[2 * i + 1], encode_[2 * i], encode_[2 * i + 1]);
        const double e = clamp_finite(encoded, 0.0, top);
        low[i] = static_cast<uint64_t>(e);
        fraction[i] = low[i] == size_[i] - 1 ? 0.0 : e - static_cast<double>(low[i]);
        stride[i] = step;
        step *= size_[i];
    }
    std::array<double, kMaxColourComponents> sum{};
    for (size_t corner = 0; corner < (size_t{1} << inputs_); ++corner) {
        double weight = 1;
        uint64_t base = 0;
        for (size_t i = 0; i < inputs_; ++i) {
            const bool up = (corner >> i) & 1;
            weight *= up ? fraction[i] : 1 - fraction[i];
            base += (low[i] + up) * stride[i];
        }
        if (weight == 0) continue;
        for (size_t j = 0; j < outputs_; ++j) sum[j] += weight * static_cast<double>(sample(base + j));
    }
    const double max = static_cast<double>((uint64_t{1} << bits_) - 1);
    for (size_t j = 0; j < outputs_; ++j) {
        out[j] = clamp_finite(interpolate(sum[j], 0, max, decode_[2 * j], decode_[2 * j + 1]), range_[2 * j],
                              range_[2 * j + 1]);
    }
}

// ---- colour spaces ----

void ColourSpace::to_output(const double* in, uint8_t* out) const {
    switch (family) {
        case ColourFamily::Gray:
            out[0] = unit_to_byte(in[0]);
            return;
        case ColourFamily::Rgb:
            for (size_t i = 0; i < 3; ++i) out[i] = unit_to_byte(in[i]);
            return;
        case ColourFamily::Cmyk: {
            // Through the byte conversion the PNM renderings use, so both
            // give the same colours.
            std::array<uint8_t, 4> cmyk;
            for (size_t i = 0; i < 4; ++i) cmyk[i] = unit_to_byte(in[i]);
            cmyk_to_rgb(cmyk.data(), out, 1);
            return;
        }
        case ColourFamily::Lab:
            lab_to_rgb(*this, in, out);
            return;
        case ColourFamily::Indexed: {
            // Out-of-range indices take the last entry; lookup bytes span
            // the base components' ranges.
            const size_t index = static_cast<size_t>(clamp_finite(in[0], 0, static_cast<double>(hival)) + 0.5);
            const auto* entry = reinterpret_cast<const uint8_t*>(lookup.data()) + index * base->components;
            std::array<double, kMaxColourComponents> components_in{};
            for (size_t i = 0; i < base->components; ++i) {
                const auto [lo, hi] = base->range(i, 8);
                components_in[i] = lo + entry[i] * (hi - lo) / 255.0;
            }
            base->to_output(components_in.data(), out);
            return;
        }
        case ColourFamily::Tint: {
            std::array<double, kMaxColourComponents> alternate{};
            tint->evaluate(in, alternate.data());
            base->to_output(alternate.data(), out);
            return;
        }
    }
}

namespace {

[[noreturn]] void unsupported_space(const Object& value) {
    image_error("unsupported image color space " + object_to_text(value));
}

ColourSpace device_space(std::string_view name, const Object& value) {
    ColourSpace space;
    if (name == "DeviceGray" || name == "G" || name == "CalGray") return space;
    if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") {
        space.family = ColourFamily::Rgb;
        space.components = 3;
        return space;
    }
    if (name == "DeviceCMYK" || name == "CMYK") {
        space.family = ColourFamily::Cmyk;
        space.components = 4;
        return space;
    }
    unsupported_space(value);
}

ColourSpace parse_colour_space(const Document& document, const Object& value, size_t depth);

ColourSpace parse_nested(const Document& document, const Object& value, size_t depth) {
    if (depth + 1 >= kMaxColourSpaceDepth) {
        throw PdfError::limit_exceeded("image /ColorSpace", kMaxColourSpaceDepth, "nested color spaces");
    }
    return parse_colour_space(document, value, depth + 1);
}

ColourSpace icc_space(const Document& document, const Array& array, const Object& value, size_t depth) {
    const Stream* profile = array.size() >= 2 ? document.resolve(array[1]).as_stream() : nullptr;
    if (!profile) unsupported_space(value);
    const std::optional<int64_t> n = integer_entry(document, profile->dict, "N");
    if (const Object* alternate = profile->dict.get("Alternate")) {
        ColourSpace space = parse_nested(document, *alternate, depth);
        if (!n || static_cast<int64_t>(space.components) == *n) return space;
    }
    if (n == 1) return device_space("DeviceGray", value);
    if (n == 3) return device_space("DeviceRGB", value);
    if (n == 4) return device_space("DeviceCMYK", value);
    unsupported_space(value);
}

ColourSpace lab_space(const Document& document, const Array& array, const Object& value) {
    const Dictionary* dict = array.size() >= 2 ? document.resolve(array[1]).as_dictionary() : nullptr;
    const std::optional<std::vector<double>> white =
        dict ? number_array(document, dict->get("WhitePoint")) : std::nullopt;
    if (!white || white->size() != 3 || !((*white)[0] > 0) || !((*white)[1] > 0) || !((*white)[2] > 0)) {
        unsupported_space(value);
    }
    ColourSpace space;
    space.family = ColourFamily::Lab;
    space.components = 3;
    const std::optional<std::vector<double>> range = number_array(document, dict->get("Range"));
    if (range && range->size() == 4) std::copy(range->begin(), range->end(), space.lab_range.begin());
    return space;
}

ColourSpace indexed_space(const Document& document, const Array& array, const Object& value, size_t depth) {
    if (array.size() != 4) unsupported_space(value);
    ColourSpace space;
    space.family = ColourFamily::Indexed;
    space.base = std::make_unique<ColourSpace>(parse_nested(document, array[1], depth));
    if (space.base->family == ColourFamily::Indexed) unsupported_space(value);
    const std::optional<int64_t> hival = document.resolve(array[2]).as_integer();
    if (!hival || *hival < 0 || *hival > 255) unsupported_space(value);
    space.hival = static_cast<size_t>(*hival);
    const Object& table = document.resolve(array[3]);
    if (const std::string* bytes = table.as_string()) {
        space.lookup = *bytes;
    } else if (const Stream* stream = table.as_stream()) {
        space.lookup = stream->decoded_data();
    } else {
        unsupported_space(value);
    }
    const size_t needed = (space.hival + 1) * space.base->components;
    if (space.lookup.size() < needed) image_error("Indexed color space lookup table is too short");
    space.lookup.resize(needed);
    return space;
}

// [/Separation name alternate tint] and [/DeviceN names alternate tint ...].
ColourSpace tint_space(const Document& document, const Array& array, const Object& value, size_t depth,
                       size_t components) {
    ColourSpace space;
    space.family = ColourFamily::Tint;
    space.components = components;
    space.base = std::make_unique<ColourSpace>(parse_nested(document, array[2], depth));
    if (space.base->family == ColourFamily::Indexed || space.base->family == ColourFamily::Tint) {
        unsupported_space(value);
    }
    space.tint = TintTransform::parse(document, array[3], components, space.base->components);
    return space;
}

ColourSpace parse_colour_space(const Document& document, const Object& value, size_t depth) {
    const Object& resolved = document.resolve(value);
    if (const std::string* name = resolved.as_name()) return device_space(*name, resolved);
    const Array* array = resolved.as_array();
    const std::string* family = array && !array->empty() ? (*array)[0].as_name() : nullptr;
    if (!family) unsupported_space(resolved);
    if (array->size() == 1 || *family == "CalGray" || *family == "CalRGB") return device_space(*family, resolved);
    if (*family == "ICCBased") return icc_space(document, *array, resolved, depth);
    if (*family == "Lab") return lab_space(document, *array, resolved);
    if (*family == "Indexed" || *family == "I") return indexed_space(document, *array, resolved, depth);
    if (*family == "Separation" && array->size() == 4) return tint_space(document, *array, resolved, depth, 1);
    if (*family == "DeviceN" && array->size() >= 4) {
        const Array* names = document.resolve((*array)[1]).as_array();
        if (!names || names->empty() || names->size() > kMaxColourComponents) unsupported_space(resolved);
        return tint_space(document, *array, resolved, depth, names->size());
    }
    unsupported_space(resolved);
}

}  // namespace

ColourSpace image_colour_space(const Document& document, const Object& value) {
    return parse_colour_space(document, value, 0);
}

}  // namespace quillet
