#include "image_file.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "error.h"
#include "image_colour.h"
#include "png_writer.h"
#include "resource.h"

namespace quillet {

namespace {

bool flag_entry(const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    const bool* flag = value ? value->as_bool() : nullptr;
    return flag && *flag;
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

// One byte per pixel, row after row, from value(row, x).
template <class F>
std::vector<uint8_t> pixel_plane(const Samples& samples, F value) {
    std::vector<uint8_t> plane(size_t{samples.width} * samples.height);
    for (size_t y = 0; y < samples.height; ++y) {
        const uint8_t* row = samples.row(y);
        for (size_t x = 0; x < samples.width; ++x) plane[y * samples.width + x] = value(row, x);
    }
    return plane;
}

// A soft mask's gray levels, or a stencil's samples (those decoding to 0
// let the image show), as alpha.  A mask of another size than the image is
// left out: empty.
std::vector<uint8_t> mask_alpha(const Document& document, const Stream& mask, bool soft, const Samples& image) {
    const Dictionary& dict = mask.dict;
    const Object* width = dict.get("Width");
    const Object* height = dict.get("Height");
    if (!width || width->as_integer() != int64_t{image.width} || !height ||
        height->as_integer() != int64_t{image.height}) {
        return {};
    }
    const unsigned bits = soft ? bits_per_component(dict) : 1;
    const DecodedBytes decoded = mask.decoded_data_cow();
    const Samples samples = sample_rows(decoded.view(), image.width, image.height, 1, bits);
    if (soft) {
        const std::vector<double> decode = decode_ranges(document, dict, ColourSpace{}, bits);
        return pixel_plane(samples, [&](const uint8_t* row, size_t x) {
            return unit_to_byte(interpolate(read_sample(row, x, bits), 0, samples.max(), decode[0], decode[1]));
        });
    }
    const uint32_t shown = decode_inverted(document, dict) ? 1 : 0;
    return pixel_plane(samples, [&](const uint8_t* row, size_t x) -> uint8_t {
        return read_sample(row, x, 1) == shown ? 255 : 0;
    });
}

// Colour key: [min max] per component over the raw samples; a pixel whose
// every component lies in its range is transparent.
std::vector<uint8_t> colour_key_alpha(const std::vector<double>& key, const Samples& image) {
    return pixel_plane(image, [&](const uint8_t* row, size_t x) -> uint8_t {
        for (size_t c = 0; c < image.components; ++c) {
            const double s = read_sample(row, x * image.components + c, image.bits);
            if (s < key[2 * c] || s > key[2 * c + 1]) return 255;
        }
        return 0;
    });
}

// The alpha of every pixel from /SMask, else /Mask (a stencil image or
// colour-key ranges); empty without one.
std::vector<uint8_t> alpha_plane(const Document& document, const Dictionary& dict, const Samples& image) {
    const Object* soft = dict.get("SMask");
    if (const Stream* soft_mask = soft ? document.resolve(*soft).as_stream() : nullptr) {
        return mask_alpha(document, *soft_mask, true, image);
    }
    const Object* hard = dict.get("Mask");
    if (!hard) return {};
    const Object& mask = document.resolve(*hard);
    if (const Stream* stencil = mask.as_stream()) return mask_alpha(document, *stencil, false, image);
    const std::optional<std::vector<double>> key = number_array(document, &mask);
    if (!key || key->size() != 2 * image.components) return {};
    return colour_key_alpha(*key, image);
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
            std::transform(row, row + samples.row_bytes, inverted.begin(),
                           [](uint8_t b) { return static_cast<uint8_t>(~b); });
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

// Gray samples whose levels map to levels of the same depth: the rows
// rewritten level by level.
std::string regraded_gray_png(const Samples& samples, const std::vector<uint32_t>& levels) {
    PngWriter png(samples.width, samples.height, static_cast<uint8_t>(samples.bits), PngColour::Gray);
    std::vector<uint8_t> row(png.row_bytes());
    for (size_t y = 0; y < samples.height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (size_t x = 0; x < samples.width; ++x) {
            write_sample(row.data(), x, samples.bits, levels[read_sample(samples.row(y), x, samples.bits)]);
        }
        png.add_row(row.data());
    }
    return png.finish();
}

// The sample rows as they are, over a palette of every sample value's
// colour (`channels` bytes each).
std::string palette_png(const Samples& samples, const std::vector<uint8_t>& table, size_t channels) {
    std::string palette;
    for (size_t entry = 0; entry < table.size() / channels; ++entry) {
        for (size_t c = 0; c < 3; ++c) palette.push_back(static_cast<char>(table[entry * channels + c % channels]));
    }
    PngWriter png(samples.width, samples.height, static_cast<uint8_t>(samples.bits), PngColour::Palette, palette);
    for (size_t y = 0; y < samples.height; ++y) png.add_row(samples.row(y));
    return png.finish();
}

// Every pixel's colour from the table, at 8 bits, followed by its alpha.
std::string table_alpha_png(const Samples& samples, const std::vector<uint8_t>& table, size_t channels,
                            const std::vector<uint8_t>& alpha) {
    PngWriter png(samples.width, samples.height, 8, channels == 1 ? PngColour::GrayAlpha : PngColour::RgbAlpha);
    std::vector<uint8_t> row(png.row_bytes());
    for (size_t y = 0; y < samples.height; ++y) {
        uint8_t* out = row.data();
        for (size_t x = 0; x < samples.width; ++x) {
            const uint8_t* colour = &table[read_sample(samples.row(y), x, samples.bits) * channels];
            out = std::copy(colour, colour + channels, out);
            *out++ = alpha[y * samples.width + x];
        }
        png.add_row(row.data());
    }
    return png.finish();
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
    if (!alpha.empty()) return table_alpha_png(samples, table, channels, alpha);
    if (channels == 1) {
        const std::vector<uint32_t> levels = gray_levels(table, samples.bits);
        if (!levels.empty()) return regraded_gray_png(samples, levels);
    }
    return palette_png(samples, table, channels);
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
                lut[c * entries + s] =
                    interpolate(static_cast<double>(s), 0, samples.max(), decode[2 * c], decode[2 * c + 1]);
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
    const ColourSpace space = image_colour_space(document, *colour_space);
    const Samples samples = sample_rows(data, width, height, space.components, bits);
    const std::vector<double> decode = decode_ranges(document, dict, space, bits);
    const std::vector<uint8_t> alpha = alpha_plane(document, dict, samples);

    // Gray at any depth and RGB at 8 or 16 bits go to PNG as they are.
    const bool direct = space.family == ColourFamily::Gray || (space.family == ColourFamily::Rgb && bits >= 8);
    if (alpha.empty() && direct) {
        const PngColour colour = space.family == ColourFamily::Gray ? PngColour::Gray : PngColour::Rgb;
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

std::optional<std::string> jbig2_globals_note(const Dictionary* params) {
    const Object* globals = params ? params->get("JBIG2Globals") : nullptr;
    if (!globals) return std::nullopt;
    const std::optional<ObjectId> id = globals->as_reference();
    const std::string where = id ? "object " + id->display() : std::string("/JBIG2Globals");
    return "image needs the JBIG2 global segments of " + where;
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
    if (columns <= 0 || columns > INT32_MAX) {
        throw PdfError::type_mismatch("CCITTFaxDecode /Columns", "positive integer");
    }
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
    const Dictionary* params = image.decode_parameters()[codec];
    if (file.format == ImageFileFormat::Ccitt) {
        file.data = DecodedBytes::owned(ccitt_tiff(document, image.dict, params, file.data.view()));
    } else if (file.format == ImageFileFormat::Jbig2) {
        file.note = jbig2_globals_note(params);
    }
    return file;
}

}  // namespace quillet
