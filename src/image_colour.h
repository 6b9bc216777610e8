// The colours of image samples.  An image's colour space (device,
// calibrated, ICC-based, Lab, Indexed, Separation or DeviceN) is read once
// and reduced to what converting one colour to 8-bit gray or RGB needs.
// There is no colour management: calibrated and ICC-based spaces act as
// their device counterparts and CMYK is converted by naive subtraction, as
// the PNM renderings do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document.h"
#include "object.h"

namespace quillet {

// Colorants of a DeviceN space: the limit PDF itself sets.
inline constexpr size_t kMaxColourComponents = 32;
// A sampled tint transform interpolates between 2^inputs grid corners per
// colour.  Four inputs (CMYK-like) keep a colour at 16 corners; more are
// refused rather than allowed to cost up to 2^32 each.
inline constexpr size_t kMaxSampledInputs = 4;
// Colour spaces nest: Indexed over a base, Separation and DeviceN over an
// alternate, ICCBased through its /Alternate.  Real files nest three deep at
// most (Indexed, ICCBased, its alternate); the bound stops a chain of
// spaces built to recurse without end.
inline constexpr size_t kMaxColourSpaceDepth = 8;

// ---- numbers from the file ----

// An integer entry (resolved one level), else absent.
std::optional<int64_t> integer_entry(const Document& document, const Dictionary& dict, std::string_view key);
// An array of finite numbers (elements resolved one level), or absent when
// the entry is missing or anything else.
std::optional<std::vector<double>> number_array(const Document& document, const Object* value);
// `value` limited to [lo, hi]; NaN becomes lo, so the result is always safe
// to convert to an integer.
double clamp_finite(double value, double lo, double hi);
// The linear map taking x0 to y0 and x1 to y1, applied to x.
double interpolate(double x, double x0, double x1, double y0, double y1);
// A value in [0, 1] (clamped) as a byte.
uint8_t unit_to_byte(double value);

// ---- tint transforms (Separation and DeviceN) ----

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

// ---- colour spaces ----

enum class ColourFamily : uint8_t { Gray, Rgb, Cmyk, Lab, Indexed, Tint };

// A colour space reduced to what converting its colours to 8-bit gray or
// RGB needs.  Calibrated and ICC-based spaces act as their device
// counterparts: no colour management.
struct ColourSpace {
    ColourFamily family = ColourFamily::Gray;
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
        return family == ColourFamily::Gray ? 1 : 3;
    }

    // The natural range of component i: the default /Decode.
    std::pair<double, double> range(size_t i, unsigned bits) const {
        if (family == ColourFamily::Indexed) return {0.0, static_cast<double>((uint32_t{1} << bits) - 1)};
        if (family == ColourFamily::Lab && i > 0) return {lab_range[2 * i - 2], lab_range[2 * i - 1]};
        if (family == ColourFamily::Lab) return {0.0, 100.0};
        return {0.0, 1.0};
    }

    // One colour, its components within their ranges, as channels() bytes.
    void to_output(const double* in, uint8_t* out) const;
};

// The colour space an image's /ColorSpace names.  Unsupported or malformed
// spaces fail with "failed to decode /Image stream: unsupported image color
// space {text}" (or a more precise reason for tint transforms).
ColourSpace image_colour_space(const Document& document, const Object& value);

}  // namespace quillet
