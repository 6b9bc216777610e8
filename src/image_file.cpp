#include "image_file.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "error.h"
#include "inspect.h"
#include "png_writer.h"
#include "resource.h"

namespace quillet {

namespace {

// ---- numbers from the file ----

std::optional<int64_t> integer_entry(const Document& document, const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    return value ? document.resolve(*value).as_integer() : std::nullopt;
}

bool flag_entry(const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    const bool* flag = value ? value->as_bool() : nullptr;
    return flag && *flag;
}

// An array of finite numbers (elements resolved one level), or absent when
// the entry is missing or anything else.
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

// `value` limited to [lo, hi]; NaN becomes lo, so the result is always safe
// to convert to an integer.
double clamp_finite(double value, double lo, double hi) {
    if (!(value >= lo)) return lo;
    return value > hi ? hi : value;
}

double interpolate(double x, double x0, double x1, double y0, double y1) {
    return x1 == x0 ? y0 : y0 + (x - x0) * (y1 - y0) / (x1 - x0);
}

uint8_t unit_to_byte(double value) { return static_cast<uint8_t>(clamp_finite(value, 0.0, 1.0) * 255.0 + 0.5); }

// ---- tint transforms (Separation and DeviceN) ----

// A tint transform evaluates 2^inputs grid corners per colour.  DeviceN
// spaces name up to 32 colorants; four inputs (CMYK-like) keep a pixel at 16
// corners, and more are refused rather than allowed to cost 2^32 each.
constexpr size_t kMaxSampledInputs = 4;
// Colorants of a DeviceN space: the limit PDF itself sets.
constexpr size_t kMaxColourComponents = 32;

[[noreturn]] void unsupported_function(std::string_view why) { image_error("unsupported tint transform: " + std::string(why)); }

// A sampled (type 0) or exponential (type 2) function, the two kinds whose
// evaluation needs no interpreter.
class TintTransform {
public:
    static std::unique_ptr<TintTransform> parse(const Document& document, const Object& value, size_t inputs,
                                                size_t outputs);
    void evaluate(const double* in, double* out) const;

private:
    void evaluate_sampled(const double* in, double* out) const;
    uint64_t sample(uint64_t index) const;

    int type_ = 2;
    size_t inputs_ = 1;
    size_t outputs_ = 1;
    std::vector<double> domain_, range_;  // 2 per input, 2 per output (type 2: range may be empty)
    // Type 2: C0 + x^N (C1 - C0).
    std::vector<double> c0_, c1_;
    double exponent_ = 1;
    // Type 0: a grid of samples, first input varying fastest.
    std::vector<uint64_t> size_;
    unsigned bits_ = 8;
    std::vector<double> encode_, decode_;
    std::string samples_;
};

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
    if (!bits || std::find(kBits.begin(), kBits.end(), *bits) == kBits.end()) unsupported_function("bad /BitsPerSample");
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
        const double e = clamp_finite(interpolate(x, domain_[2 * i], domain_[2 * i + 1], encode_[2 * i], encode_[2 * i + 1]),
                                      0.0, top);
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

// Colour spaces nest: Indexed over a base, Separation and DeviceN over an
// alternate, ICCBased through its /Alternate.  Real files nest three deep at
// most (Indexed, ICCBased, its alternate); the bound stops a chain of
// spaces built to recurse without end.
constexpr size_t kMaxColourSpaceDepth = 8;

enum class Family : uint8_t { Gray, Rgb, Cmyk, Lab, Indexed, Tint };

// A colour space reduced to what converting its colours to 8-bit gray or
// RGB needs.  Calibrated and ICC-based spaces act as their device
// counterparts: no colour management.
struct ColourSpace {
    Family family = Family::Gray;
    size_t components = 1;  // per image sample
    // Lab: the a*, b* ranges.
    std::array<double, 4> lab_range{-100, 100, -100, 100};
    // Indexed and Tint: where colours end up.
    std::unique_ptr<ColourSpace> base;
    // Indexed: hival + 1 entries of base->components bytes.
    size_t hival = 0;
    std::string lookup;
    std::unique_ptr<TintTransform> tint;

    // 1 (gray) or 3 (RGB): the channels colours convert to.
    size_t channels() const {
        if (base) return base->channels();
        return family == Family::Gray ? 1 : 3;
    }

    // The natural range of component i: the default /Decode.
    std::pair<double, double> range(size_t i, unsigned bits) const {
        if (family == Family::Indexed) return {0.0, static_cast<double>((uint32_t{1} << bits) - 1)};
        if (family == Family::Lab && i > 0) return {lab_range[2 * i - 2], lab_range[2 * i - 1]};
        if (family == Family::Lab) return {0.0, 100.0};
        return {0.0, 1.0};
    }

    // One colour, its components within their ranges, as channels() bytes.
    void to_output(const double* in, uint8_t* out) const;
};

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

void ColourSpace::to_output(const double* in, uint8_t* out) const {
    switch (family) {
        case Family::Gray:
            out[0] = unit_to_byte(in[0]);
            return;
        case Family::Rgb:
            for (size_t i = 0; i < 3; ++i) out[i] = unit_to_byte(in[i]);
            return;
        case Family::Cmyk: {
            // Through the byte conversion the PNM renderings use, so both
            // give the same colours.
            std::array<uint8_t, 4> cmyk;
            for (size_t i = 0; i < 4; ++i) cmyk[i] = unit_to_byte(in[i]);
            cmyk_to_rgb(cmyk.data(), out, 1);
            return;
        }
        case Family::Lab:
            lab_to_rgb(*this, in, out);
            return;
        case Family::Indexed: {
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
        case Family::Tint: {
            std::array<double, kMaxColourComponents> alternate{};
            tint->evaluate(in, alternate.data());
            base->to_output(alternate.data(), out);
            return;
        }
    }
}

[[noreturn]] void unsupported_space(const Object& value) {
    image_error("unsupported image color space " + object_to_text(value));
}

ColourSpace device_space(std::string_view name, const Object& value) {
    ColourSpace space;
    if (name == "DeviceGray" || name == "G" || name == "CalGray") return space;
    if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") {
        space.family = Family::Rgb;
        space.components = 3;
        return space;
    }
    if (name == "DeviceCMYK" || name == "CMYK") {
        space.family = Family::Cmyk;
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
    const std::optional<std::vector<double>> white = dict ? number_array(document, dict->get("WhitePoint")) : std::nullopt;
    if (!white || white->size() != 3 || !((*white)[0] > 0) || !((*white)[1] > 0) || !((*white)[2] > 0)) {
        unsupported_space(value);
    }
    ColourSpace space;
    space.family = Family::Lab;
    space.components = 3;
    const std::optional<std::vector<double>> range = number_array(document, dict->get("Range"));
    if (range && range->size() == 4) std::copy(range->begin(), range->end(), space.lab_range.begin());
    return space;
}

ColourSpace indexed_space(const Document& document, const Array& array, const Object& value, size_t depth) {
    if (array.size() != 4) unsupported_space(value);
    ColourSpace space;
    space.family = Family::Indexed;
    space.base = std::make_unique<ColourSpace>(parse_nested(document, array[1], depth));
    if (space.base->family == Family::Indexed) unsupported_space(value);
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
    space.family = Family::Tint;
    space.components = components;
    space.base = std::make_unique<ColourSpace>(parse_nested(document, array[2], depth));
    if (space.base->family == Family::Indexed || space.base->family == Family::Tint) unsupported_space(value);
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

// ---- samples ----

// An image's sample rows, checked against the decoded data: rows start on
// byte boundaries, samples are packed most significant bit first.
struct Samples {
    const uint8_t* data = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t components = 1;
    unsigned bits = 8;
    size_t row_bytes = 0;

    const uint8_t* row(size_t y) const { return data + y * row_bytes; }
    uint32_t max() const { return (uint32_t{1} << bits) - 1; }
};

uint32_t read_sample(const uint8_t* row, size_t index, unsigned bits) {
    switch (bits) {
        case 8: return row[index];
        case 16: return uint32_t{row[2 * index]} << 8 | row[2 * index + 1];
        default: {
            const size_t bit = index * bits;
            return (row[bit >> 3] >> (8 - bits - (bit & 7))) & ((1u << bits) - 1);
        }
    }
}

// For 1, 2 and 4 bits into a zeroed row; 8 and 16 are written directly.
void write_sample(uint8_t* row, size_t index, unsigned bits, uint32_t value) {
    if (bits == 8) {
        row[index] = static_cast<uint8_t>(value);
    } else if (bits == 16) {
        row[2 * index] = static_cast<uint8_t>(value >> 8);
        row[2 * index + 1] = static_cast<uint8_t>(value);
    } else {
        const size_t bit = index * bits;
        row[bit >> 3] |= static_cast<uint8_t>(value << (8 - bits - (bit & 7)));
    }
}

// PNG holds at most 2^31 - 1 pixels per side.
uint32_t png_dimension(const Dictionary& dict, std::string_view key, std::string_view context) {
    const uint64_t value = positive_dimension(dict, key, context);
    if (value > INT32_MAX) throw PdfError::limit_exceeded(context, INT32_MAX, "pixels");
    return static_cast<uint32_t>(value);
}

unsigned bits_per_component(const Dictionary& dict) {
    const Object* value = dict.get("BitsPerComponent");
    const std::optional<int64_t> bits = value ? value->as_integer() : std::nullopt;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
        throw PdfError::type_mismatch("image /BitsPerComponent", "1, 2, 4, 8 or 16");
    }
    return static_cast<unsigned>(*bits);
}

// The declared size (width x components x bits per row, rounded up to
// bytes, times height), with overflow checks, against the decoded length.
Samples sample_rows(std::string_view data, uint32_t width, uint32_t height, size_t components, unsigned bits) {
    uint64_t row_bits = 0, total = 0;
    if (__builtin_mul_overflow(uint64_t{width}, uint64_t{components} * bits, &row_bits) ||
        __builtin_mul_overflow((row_bits + 7) / 8, uint64_t{height}, &total)) {
        image_error("image dimensions overflow");
    }
    if (data.size() < total) image_error("decoded image data is shorter than its declared size");
    return Samples{reinterpret_cast<const uint8_t*>(data.data()), width, height, components, bits,
                   static_cast<size_t>((row_bits + 7) / 8)};
}

// /Decode: [lo hi] per component, mapping sample 0 to lo and the largest
// sample to hi.  Absent or malformed: the natural ranges.
std::vector<double> decode_ranges(const Document& document, const Dictionary& dict, const ColourSpace& space,
                                  unsigned bits) {
    std::optional<std::vector<double>> decode = number_array(document, dict.get("Decode"));
    if (decode && decode->size() == 2 * space.components) return *decode;
    std::vector<double> natural;
    for (size_t i = 0; i < space.components; ++i) {
        const auto [lo, hi] = space.range(i, bits);
        natural.insert(natural.end(), {lo, hi});
    }
    return natural;
}

// A 1-bit mask's /Decode is inverted when it maps 0 to 1.
bool decode_inverted(const Document& document, const Dictionary& dict) {
    const std::optional<std::vector<double>> decode = number_array(document, dict.get("Decode"));
    return decode && decode->size() >= 2 && (*decode)[0] > (*decode)[1];
}

// ---- alpha ----

// The alpha of every pixel, row after row, from /SMask (a gray image) or
// /Mask (a stencil image or colour-key ranges); empty without one.  A mask
// of another size than the image is left out.
std::vector<uint8_t> alpha_plane(const Document& document, const Dictionary& dict, const Samples& image) {
    const size_t pixels = size_t{image.width} * image.height;
    std::vector<uint8_t> alpha;
    const Object* soft = dict.get("SMask");
    const Stream* soft_mask = soft ? document.resolve(*soft).as_stream() : nullptr;
    const Object* hard = soft_mask ? nullptr : dict.get("Mask");
    const Object* hard_value = hard ? &document.resolve(*hard) : nullptr;
    const Stream* mask = soft_mask ? soft_mask : hard_value ? hard_value->as_stream() : nullptr;

    if (mask) {
        const Dictionary& mask_dict = mask->dict;
        const Object* mask_width = mask_dict.get("Width");
        const Object* mask_height = mask_dict.get("Height");
        if (!mask_width || mask_width->as_integer() != int64_t{image.width} || !mask_height ||
            mask_height->as_integer() != int64_t{image.height}) {
            return alpha;
        }
        const unsigned bits = soft_mask ? bits_per_component(mask_dict) : 1;
        const DecodedBytes decoded = mask->decoded_data_cow();
        const Samples samples = sample_rows(decoded.view(), image.width, image.height, 1, bits);
        alpha.resize(pixels);
        if (soft_mask) {
            // The mask's gray level is the alpha.
            ColourSpace gray;
            const std::vector<double> decode = decode_ranges(document, mask_dict, gray, bits);
            for (size_t y = 0; y < image.height; ++y) {
                for (size_t x = 0; x < image.width; ++x) {
                    const double level = interpolate(read_sample(samples.row(y), x, bits), 0, samples.max(), decode[0], decode[1]);
                    alpha[y * image.width + x] = unit_to_byte(level);
                }
            }
        } else {
            // A stencil: samples that decode to 0 let the image show.
            const uint32_t shown = decode_inverted(document, mask_dict) ? 1 : 0;
            for (size_t y = 0; y < image.height; ++y) {
                for (size_t x = 0; x < image.width; ++x) {
                    alpha[y * image.width + x] = read_sample(samples.row(y), x, 1) == shown ? 255 : 0;
                }
            }
        }
        return alpha;
    }

    // Colour key: [min max] per component, over the raw samples; a pixel
    // whose every component lies in its range is transparent.
    const std::optional<std::vector<double>> key = number_array(document, hard_value);
    if (!key || key->size() != 2 * image.components) return alpha;
    alpha.resize(pixels);
    for (size_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        for (size_t x = 0; x < image.width; ++x) {
            bool keyed = true;
            for (size_t c = 0; c < image.components && keyed; ++c) {
                const double s = read_sample(row, x * image.components + c, image.bits);
                keyed = s >= (*key)[2 * c] && s <= (*key)[2 * c + 1];
            }
            alpha[y * image.width + x] = keyed ? 0 : 255;
        }
    }
    return alpha;
}

// ---- PNG ----

// Rows copied as they are (or with every bit inverted): PDF and PNG pack
// gray and RGB samples the same way.
std::string png_from_rows(const Samples& samples, PngColour colour, bool invert) {
    PngWriter png(samples.width, samples.height, static_cast<uint8_t>(samples.bits), colour);
    std::vector<uint8_t> inverted(invert ? samples.row_bytes : 0);
    for (size_t y = 0; y < samples.height; ++y) {
        const uint8_t* row = samples.row(y);
        if (invert) {
            std::transform(row, row + samples.row_bytes, inverted.begin(), [](uint8_t b) { return static_cast<uint8_t>(~b); });
            row = inverted.data();
        }
        png.add_row(row);
    }
    return png.finish();
}

// Gray levels exactly representable at `bits` as level indices, else empty.
std::vector<uint32_t> gray_levels(const std::vector<uint8_t>& table, unsigned bits) {
    const uint32_t step = 255 / ((1u << bits) - 1);
    std::vector<uint32_t> levels;
    for (uint8_t value : table) {
        if (value % step != 0) return {};
        levels.push_back(value / step);
    }
    return levels;
}

// One component of at most 8 bits: every sample value's colour is computed
// once.  Gray results are written as gray at the same depth when the
// levels allow, others as a palette image over the same rows; alpha needs
// the colours spelt out at 8 bits.
std::string png_from_table(const ColourSpace& space, const Samples& samples, const std::vector<double>& decode,
                           const std::vector<uint8_t>& alpha) {
    const size_t channels = space.channels();
    const size_t entries = size_t{1} << samples.bits;
    std::vector<uint8_t> table(entries * channels);
    for (size_t s = 0; s < entries; ++s) {
        const double value = interpolate(static_cast<double>(s), 0, samples.max(), decode[0], decode[1]);
        space.to_output(&value, &table[s * channels]);
    }
    const size_t width = samples.width;

    if (alpha.empty()) {
        const std::vector<uint32_t> levels = channels == 1 ? gray_levels(table, samples.bits) : std::vector<uint32_t>{};
        if (!levels.empty()) {
            PngWriter png(samples.width, samples.height, static_cast<uint8_t>(samples.bits), PngColour::Gray);
            std::vector<uint8_t> row(png.row_bytes());
            for (size_t y = 0; y < samples.height; ++y) {
                std::fill(row.begin(), row.end(), 0);
                for (size_t x = 0; x < width; ++x) {
                    write_sample(row.data(), x, samples.bits, levels[read_sample(samples.row(y), x, samples.bits)]);
                }
                png.add_row(row.data());
            }
            return png.finish();
        }
        std::string palette;
        for (size_t s = 0; s < entries; ++s) {
            for (size_t c = 0; c < 3; ++c) palette.push_back(static_cast<char>(table[s * channels + (channels == 3 ? c : 0)]));
        }
        PngWriter png(samples.width, samples.height, static_cast<uint8_t>(samples.bits), PngColour::Palette, palette);
        for (size_t y = 0; y < samples.height; ++y) png.add_row(samples.row(y));
        return png.finish();
    }

    PngWriter png(samples.width, samples.height, 8, channels == 1 ? PngColour::GrayAlpha : PngColour::RgbAlpha);
    std::vector<uint8_t> row(png.row_bytes());
    for (size_t y = 0; y < samples.height; ++y) {
        uint8_t* out = row.data();
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* colour = &table[read_sample(samples.row(y), x, samples.bits) * channels];
            out = std::copy(colour, colour + channels, out);
            *out++ = alpha[y * width + x];
        }
        png.add_row(row.data());
    }
    return png.finish();
}

// Any space, depth and /Decode: each pixel's components are decoded and
// converted to 8-bit gray or RGB, with alpha when there is one.  A pixel
// equal to the one before reuses its colour: images are mostly runs, and
// tint transforms cost several hundred operations per colour.
std::string png_per_pixel(const ColourSpace& space, const Samples& samples, const std::vector<double>& decode,
                          const std::vector<uint8_t>& alpha) {
    const size_t channels = space.channels();
    const size_t n = samples.components;
    const bool has_alpha = !alpha.empty();
    // Per component: every sample value's decoded component (up to 8 bits).
    std::vector<double> lut;
    if (samples.bits <= 8) {
        const size_t entries = size_t{1} << samples.bits;
        lut.resize(n * entries);
        for (size_t c = 0; c < n; ++c) {
            for (size_t s = 0; s < entries; ++s) {
                lut[c * entries + s] = interpolate(static_cast<double>(s), 0, samples.max(), decode[2 * c], decode[2 * c + 1]);
            }
        }
    }
    const auto component = [&](size_t c, uint32_t s) {
        if (!lut.empty()) return lut[(c << samples.bits) + s];
        return interpolate(s, 0, samples.max(), decode[2 * c], decode[2 * c + 1]);
    };

    PngWriter png(samples.width, samples.height, 8,
                  channels == 1 ? (has_alpha ? PngColour::GrayAlpha : PngColour::Gray)
                                : (has_alpha ? PngColour::RgbAlpha : PngColour::Rgb));
    std::vector<uint8_t> row(png.row_bytes());
    std::array<uint32_t, kMaxColourComponents> raw{}, previous{};
    std::array<double, kMaxColourComponents> values{};
    std::array<uint8_t, 3> colour{};
    bool have_previous = false;
    for (size_t y = 0; y < samples.height; ++y) {
        const uint8_t* in = samples.row(y);
        uint8_t* out = row.data();
        for (size_t x = 0; x < samples.width; ++x) {
            for (size_t c = 0; c < n; ++c) raw[c] = read_sample(in, x * n + c, samples.bits);
            if (!have_previous || !std::equal(raw.begin(), raw.begin() + n, previous.begin())) {
                for (size_t c = 0; c < n; ++c) values[c] = component(c, raw[c]);
                space.to_output(values.data(), colour.data());
                previous = raw;
                have_previous = true;
            }
            out = std::copy(colour.begin(), colour.begin() + channels, out);
            if (has_alpha) *out++ = alpha[y * samples.width + x];
        }
        png.add_row(row.data());
    }
    return png.finish();
}

bool is_natural_decode(const ColourSpace& space, const std::vector<double>& decode, unsigned bits, bool inverted) {
    for (size_t i = 0; i < space.components; ++i) {
        const auto [lo, hi] = space.range(i, bits);
        if (decode[2 * i] != (inverted ? hi : lo) || decode[2 * i + 1] != (inverted ? lo : hi)) return false;
    }
    return true;
}

// /ImageMask true: a 1-bit stencil, written as black where it paints
// (samples decoding to 0) and white elsewhere: gray 0 and 1 exactly.
std::string stencil_png(const Document& document, const Stream& image, std::string_view data) {
    const Dictionary& dict = image.dict;
    const uint32_t width = png_dimension(dict, "Width", "image /Width");
    const uint32_t height = png_dimension(dict, "Height", "image /Height");
    const Samples samples = sample_rows(data, width, height, 1, 1);
    return png_from_rows(samples, PngColour::Gray, decode_inverted(document, dict));
}

std::string png_image(const Document& document, const Stream& image, std::string_view data) {
    const Dictionary& dict = image.dict;
    if (flag_entry(dict, "ImageMask")) return stencil_png(document, image, data);
    const uint32_t width = png_dimension(dict, "Width", "image /Width");
    const uint32_t height = png_dimension(dict, "Height", "image /Height");
    const unsigned bits = bits_per_component(dict);
    const Object* colour_space = dict.get("ColorSpace");
    if (!colour_space) throw PdfError::missing_entry("image XObject", "ColorSpace");
    const ColourSpace space = parse_colour_space(document, *colour_space, 0);
    const Samples samples = sample_rows(data, width, height, space.components, bits);
    const std::vector<double> decode = decode_ranges(document, dict, space, bits);
    const std::vector<uint8_t> alpha = alpha_plane(document, dict, samples);

    // Gray at any depth and RGB at 8 or 16 bits go to PNG as they are.
    const bool direct = space.family == Family::Gray || (space.family == Family::Rgb && bits >= 8);
    if (alpha.empty() && direct) {
        const PngColour colour = space.family == Family::Gray ? PngColour::Gray : PngColour::Rgb;
        if (is_natural_decode(space, decode, bits, false)) return png_from_rows(samples, colour, false);
        if (is_natural_decode(space, decode, bits, true)) return png_from_rows(samples, colour, true);
    }
    if (space.components == 1 && bits <= 8) return png_from_table(space, samples, decode, alpha);
    return png_per_pixel(space, samples, decode, alpha);
}

// ---- codecs passed through ----

std::optional<ImageFileFormat> codec_format(std::string_view filter) {
    if (filter == "DCTDecode" || filter == "DCT") return ImageFileFormat::Jpeg;
    if (filter == "JPXDecode") return ImageFileFormat::Jpeg2000;
    if (filter == "JBIG2Decode") return ImageFileFormat::Jbig2;
    if (filter == "CCITTFaxDecode" || filter == "CCF") return ImageFileFormat::Ccitt;
    return std::nullopt;
}

// The parameters of filter `index`.  Decoding reads direct parameters
// only; the codec's parameters are read here, where the document is at
// hand, so an indirect dictionary (common for fax parameters) counts too.
const Dictionary* codec_parameters(const Document& document, const Dictionary& dict, size_t index) {
    const Object* value = dict.get("DecodeParms");
    if (!value) value = dict.get("DP");
    if (!value) return nullptr;
    const Object& params = document.resolve(*value);
    if (const Array* array = params.as_array()) {
        if (index >= array->size()) throw PdfError::type_mismatch("stream /DecodeParms", "one entry per filter");
        return document.resolve((*array)[index]).as_dictionary();
    }
    return params.as_dictionary();
}

std::optional<std::string> jbig2_globals_note(const Dictionary* params) {
    const Object* globals = params ? params->get("JBIG2Globals") : nullptr;
    if (!globals) return std::nullopt;
    const std::optional<ObjectId> id = globals->as_reference();
    return "image needs the JBIG2 global segments of " + (id ? "object " + id->display() : std::string("/JBIG2Globals"));
}

void put_u16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put_u32(std::string& out, uint32_t value) {
    put_u16(out, value & 0xFFFF);
    put_u16(out, value >> 16);
}

// One IFD entry of a little-endian TIFF; SHORT values sit in the low bytes.
void tiff_entry(std::string& out, uint16_t tag, bool is_long, uint32_t value) {
    put_u16(out, tag);
    put_u16(out, is_long ? 4 : 3);
    put_u32(out, 1);
    put_u32(out, value);
}

// CCITT fax data as a one-strip TIFF.  /K picks the coding: negative is
// Group 4 (TIFF compression 4), 0 is one-dimensional Group 3, positive
// mixed Group 3 (compression 3, 2-D bit set).  One-dimensional data without
// end-of-line codes whose rows start on byte boundaries is exactly TIFF's
// Modified Huffman (compression 2).  Fax coding names black and white
// runs; the picture shows fax-black as black unless /BlackIs1 or an
// inverting /Decode (exclusive) says the samples mean the opposite.
std::string ccitt_tiff(const Document& document, const Dictionary& dict, const Dictionary* params,
                       std::string_view data) {
    const Dictionary empty;
    const Dictionary& p = params ? *params : empty;
    const int64_t k = integer_entry(document, p, "K").value_or(0);
    const int64_t columns = integer_entry(document, p, "Columns").value_or(1728);
    if (columns <= 0 || columns > INT32_MAX) throw PdfError::type_mismatch("CCITTFaxDecode /Columns", "positive integer");
    int64_t rows = integer_entry(document, p, "Rows").value_or(0);
    if (rows <= 0) rows = png_dimension(dict, "Height", "image /Height");
    if (rows > INT32_MAX) throw PdfError::limit_exceeded("CCITTFaxDecode /Rows", INT32_MAX, "rows");
    const bool byte_aligned = flag_entry(p, "EncodedByteAlign");
    const bool inverted = flag_entry(p, "BlackIs1") != decode_inverted(document, dict);

    uint32_t compression = 4;
    uint32_t t4_options = 0;
    if (k == 0 && byte_aligned && !flag_entry(p, "EndOfLine")) {
        compression = 2;
    } else if (k >= 0) {
        compression = 3;
        t4_options = (k > 0 ? 1 : 0) | (byte_aligned ? 4 : 0);
    }
    const uint16_t entries = compression == 2 ? 9 : 10;
    const uint32_t data_offset = 8 + 2 + entries * 12 + 4;
    if (data.size() > UINT32_MAX - data_offset) image_error("CCITT data is too large for TIFF");

    std::string tiff = "II*";
    tiff.push_back('\0');
    put_u32(tiff, 8);
    put_u16(tiff, entries);
    tiff_entry(tiff, 256, true, static_cast<uint32_t>(columns));  // ImageWidth
    tiff_entry(tiff, 257, true, static_cast<uint32_t>(rows));     // ImageLength
    tiff_entry(tiff, 258, false, 1);                              // BitsPerSample
    tiff_entry(tiff, 259, false, compression);                    // Compression
    // PhotometricInterpretation: 0 shows decoded fax-black as black.
    tiff_entry(tiff, 262, false, inverted ? 1 : 0);
    tiff_entry(tiff, 273, true, data_offset);                            // StripOffsets
    tiff_entry(tiff, 277, false, 1);                                     // SamplesPerPixel
    tiff_entry(tiff, 278, true, static_cast<uint32_t>(rows));            // RowsPerStrip
    tiff_entry(tiff, 279, true, static_cast<uint32_t>(data.size()));     // StripByteCounts
    if (compression == 3) tiff_entry(tiff, 292, true, t4_options);       // T4Options
    if (compression == 4) tiff_entry(tiff, 293, true, 0);                // T6Options
    put_u32(tiff, 0);  // no further IFD
    tiff.append(data);
    return tiff;
}

}  // namespace

std::string_view image_format_name(ImageFileFormat format) {
    switch (format) {
        case ImageFileFormat::Jpeg: return "jpeg";
        case ImageFileFormat::Jpeg2000: return "jp2";
        case ImageFileFormat::Png: return "png";
        case ImageFileFormat::Jbig2: return "jbig2";
        case ImageFileFormat::Ccitt: return "ccitt";
    }
    return "png";
}

std::string_view image_format_extension(ImageFileFormat format) {
    switch (format) {
        case ImageFileFormat::Jpeg: return ".jpg";
        case ImageFileFormat::Jpeg2000: return ".jp2";
        case ImageFileFormat::Png: return ".png";
        case ImageFileFormat::Jbig2: return ".jb2";
        case ImageFileFormat::Ccitt: return ".tif";
    }
    return ".png";
}

ImageFileFormat image_file_format(const Stream& image) {
    const std::vector<std::string_view> names = image.filters();
    return names.empty() ? ImageFileFormat::Png : codec_format(names.back()).value_or(ImageFileFormat::Png);
}

ImageFile image_file(const Document& document, const Stream& image) {
    ImageFile file;
    file.format = image_file_format(image);
    if (file.format == ImageFileFormat::Png) {
        const DecodedBytes decoded = image.decoded_data_cow();
        file.data = DecodedBytes::owned(png_image(document, image, decoded.view()));
        return file;
    }
    // The codec is the last filter; the ones in front of it are undone.
    const size_t codec = image.filters().size() - 1;
    file.data = image.decoded_data_before(codec);
    if (file.format == ImageFileFormat::Ccitt) {
        const Dictionary* params = codec_parameters(document, image.dict, codec);
        file.data = DecodedBytes::owned(ccitt_tiff(document, image.dict, params, file.data.view()));
    } else if (file.format == ImageFileFormat::Jbig2) {
        file.note = jbig2_globals_note(codec_parameters(document, image.dict, codec));
    }
    return file;
}

}  // namespace quillet
