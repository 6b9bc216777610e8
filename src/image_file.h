// Image XObjects as files a user can save and open: JPEG, JPEG 2000 and
// JBIG2 data as stored (after undoing any filters in front of the codec),
// CCITT fax data wrapped in a minimal TIFF, and everything else decoded and
// written as PNG with its colour converted to gray or RGB, its /Decode
// applied and its soft mask or colour-key mask as alpha.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "document.h"
#include "object.h"

namespace quillet {

enum class ImageFileFormat : uint8_t { Jpeg, Jpeg2000, Png, Jbig2, Ccitt };

// "jpeg", "jp2", "png", "jbig2", "ccitt".
std::string_view image_format_name(ImageFileFormat format);
// ".jpg", ".jp2", ".png", ".jb2", ".tif".
std::string_view image_format_extension(ImageFileFormat format);

// The format an image stream is saved in, chosen by its last filter (the
// codec); fails as Stream::filters does.
ImageFileFormat image_file_format(const Stream& image);

struct ImageFile {
    ImageFileFormat format = ImageFileFormat::Png;
    // Borrowed from the document for an unfiltered JPEG, JPEG 2000 or JBIG2
    // stream; owned otherwise.
    DecodedBytes data = DecodedBytes::borrowed({});
    // Set when the file alone is not the whole image: JBIG2 data whose
    // global segments live in another object.
    std::optional<std::string> note;
};

// The image stream as a file, or a PdfError.  Memory is bounded by the
// image: every declared size is checked against the decoded data before
// anything is allocated for it.
ImageFile image_file(const Document& document, const Stream& image);

}  // namespace quillet
