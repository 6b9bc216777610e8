// Page resources: the fonts and the image XObjects a page's resources name,
// described from their dictionaries.  Fonts are never parsed; images can be
// decoded to 8-bit gray or RGB pixels and wrapped as binary PNM files.
//
// The records borrow from the document (dictionaries and streams stay in
// the object table); the lookups are Document members (document.h) so
// that the exports reuse exactly what the Python methods report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document.h"
#include "object.h"

namespace quillet {

// ---- fonts ----

// One entry of a page's /Resources /Font dictionary.
struct PageFont {
    std::string name;  // resource name, UTF-8 with U+FFFD, no slash
    const Dictionary* dictionary = nullptr;
    std::optional<ObjectId> id;  // when the entry is a reference

    // /FontDescriptor when it is a direct reference.
    std::optional<ObjectId> descriptor_id() const;
    // The text form of /Encoding, whatever its type.
    std::optional<std::string> encoding() const;
};

struct FontDescriptor {
    const Dictionary* dictionary = nullptr;
    std::optional<ObjectId> id;

    // The text form of the entry `key` ("718" for an integer 718).
    std::optional<std::string> metric(std::string_view key) const;
};

// The font program a descriptor names.
struct EmbeddedFont {
    std::string_view kind;  // "FontFile", "FontFile2" or "FontFile3"
    const Stream* stream = nullptr;
    std::optional<ObjectId> id;

    // The stream dictionary's `key` (Length1, Length2, Length3) when it is a
    // direct integer.
    std::optional<int64_t> declared_length(std::string_view key) const;
};

// ---- images ----

// Form XObjects nest through their own resources.  Real files nest a few
// levels; the bound keeps a long chain of distinct forms from exhausting
// the stack of the recursive search.
inline constexpr size_t kMaxFormXObjectDepth = 64;
// A form listed twice in each of n nested forms is searched 2^n times (each
// occurrence is reported), so the search counts its work per page.  A
// million XObject entries is far beyond any real page and takes well under
// a second.
inline constexpr size_t kMaxXObjectEntries = 1'000'000;
// Every image found copies its whole name path; long names under many
// occurrences would otherwise fill memory within the entry bound.
inline constexpr size_t kMaxImagePathBytes = size_t{64} << 20;

// The work done so far by one page's image search.
struct ImageSearchBudget {
    size_t entries = 0;     // XObject entries examined
    size_t path_bytes = 0;  // bytes held by the names and paths recorded
};

// 8-bit pixels, row after row, no padding: one byte per pixel (gray) or
// three (R, G, B).
struct DecodedImage {
    std::string data;
    uint64_t width = 0;
    uint64_t height = 0;
    bool rgb = false;

    // "P5\n{width} {height}\n255\n" (gray) or the same with "P6" (rgb).
    std::string pnm_header() const;
    // The header followed by the pixels, built in one allocation.
    std::string to_pnm() const;
};

// What an image dictionary says about its pixels: checked before the
// stream is decoded, so a dictionary fault is reported first.
struct ImagePixelFormat {
    uint64_t width = 0;
    uint64_t height = 0;
    std::string color_space;  // text form of /ColorSpace
};

// One image XObject reached from a page's resources.
struct PageImage {
    std::string name;                       // resource name, UTF-8 with U+FFFD
    std::vector<std::string> xobject_path;  // enclosing forms' names, then `name`
    std::optional<ObjectId> id;             // when the entry is a reference
    const Stream* stream = nullptr;

    // Direct integers of the image dictionary, else absent.
    std::optional<int64_t> width() const;
    std::optional<int64_t> height() const;
    std::optional<int64_t> bits_per_component() const;
    // The text form of /ColorSpace, whatever its type.
    std::optional<std::string> color_space() const;
    // The stream's filter names as text (UTF-8 with U+FFFD, no slash).
    std::vector<std::string> filters() const;
    // The XObject names joined with "/" (e.g. Fm0/Im1).
    std::string resource_path() const;

    // /Width, /Height, /BitsPerComponent 8 and /ColorSpace.
    ImagePixelFormat pixel_format() const;
    // pixel_format, the stream decoded once, decode_pixels.
    DecodedImage decoded_image() const;
};

// Pixel decoding errors are reported as decoding of a pseudo-filter "Image":
// "failed to decode /Image stream: {message}".
[[noreturn]] void image_error(std::string_view message);
// /Width or /Height of an image: a direct integer above 0, else a type
// mismatch ({context}, "positive integer").
uint64_t positive_dimension(const Dictionary& dict, std::string_view key, std::string_view context);
// C, M, Y, K to R, G, B by the naive subtraction (no colour management):
// R = max(0, 255 - C - K), likewise G from M and B from Y.  `out` may be `in`.
void cmyk_to_rgb(const uint8_t* in, uint8_t* out, size_t pixels);

// The pixels of `format` from the stream's decoded bytes: gray and RGB
// take the leading bytes, CMYK is converted to RGB.  Owned input is reused
// in place, so an image decoded through filters costs no further copy.
DecodedImage decode_pixels(const ImagePixelFormat& format, DecodedBytes decoded);

}  // namespace quillet
