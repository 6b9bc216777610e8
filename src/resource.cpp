#include "resource.h"

#include <array>
#include <set>
#include <utility>

#include "call_scope.h"
#include "error.h"
#include "inspect.h"
#include "page.h"

namespace quillet {

namespace {

std::optional<int64_t> direct_integer(const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    return value ? value->as_integer() : std::nullopt;
}

std::optional<std::string> entry_text(const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    if (!value) return std::nullopt;
    return object_to_text(*value);
}


// Memory a recorded name holds: the string object and its characters.
size_t held_bytes(const std::string& name) { return sizeof(std::string) + name.size(); }

// The first `size` decoded bytes as an owned string.  An owned buffer is
// kept and cut to size unless most of it would be wasted; a borrowed one
// (an unfiltered stream) is copied.
std::string leading_bytes(DecodedBytes decoded, size_t size) {
    if (decoded.is_owned() && decoded.view().size() - size <= size) {
        std::string bytes = std::move(decoded).into_owned();
        bytes.resize(size);
        return bytes;
    }
    return std::string(decoded.view().substr(0, size));
}

std::string cmyk_pixels(DecodedBytes decoded, size_t pixels) {
    std::string rgb;
    if (decoded.is_owned()) {
        rgb = std::move(decoded).into_owned();
        uint8_t* bytes = reinterpret_cast<uint8_t*>(rgb.data());
        cmyk_to_rgb(bytes, bytes, pixels);
    } else {
        rgb.resize(pixels * 3);
        cmyk_to_rgb(reinterpret_cast<const uint8_t*>(decoded.view().data()), reinterpret_cast<uint8_t*>(rgb.data()),
                    pixels);
    }
    rgb.resize(pixels * 3);
    return rgb;
}

}  // namespace

void image_error(std::string_view message) { throw PdfError::decode("Image", message); }

uint64_t positive_dimension(const Dictionary& dict, std::string_view key, std::string_view context) {
    const std::optional<int64_t> value = direct_integer(dict, key);
    if (!value || *value <= 0) throw PdfError::type_mismatch(context, "positive integer");
    return static_cast<uint64_t>(*value);
}

// `out` may be `in` itself: pixel i is read from bytes 4i..4i+3 before bytes
// 3i..3i+2 are written, and later pixels lie beyond both.
void cmyk_to_rgb(const uint8_t* in, uint8_t* out, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        const int c = in[4 * i], m = in[4 * i + 1], y = in[4 * i + 2], k = in[4 * i + 3];
        const int r = 255 - c - k, g = 255 - m - k, b = 255 - y - k;
        out[3 * i] = static_cast<uint8_t>(r > 0 ? r : 0);
        out[3 * i + 1] = static_cast<uint8_t>(g > 0 ? g : 0);
        out[3 * i + 2] = static_cast<uint8_t>(b > 0 ? b : 0);
    }
}

// ---- fonts ----

std::optional<ObjectId> PageFont::descriptor_id() const {
    const Object* entry = dictionary->get("FontDescriptor");
    return entry ? entry->as_reference() : std::nullopt;
}

std::optional<std::string> PageFont::encoding() const { return entry_text(*dictionary, "Encoding"); }

std::optional<std::string> FontDescriptor::metric(std::string_view key) const { return entry_text(*dictionary, key); }

std::optional<int64_t> EmbeddedFont::declared_length(std::string_view key) const {
    return direct_integer(stream->dict, key);
}

std::vector<PageFont> Document::page_fonts(const PageEntry& page) const {
    std::vector<PageFont> fonts;
    const Dictionary* resources = page_resource_dictionary(*page.dictionary, page.attributes.resources);
    if (!resources) return fonts;
    const Object* entry = resources->get("Font");
    if (!entry) return fonts;
    const Dictionary* font_resources = resolve(*entry).as_dict_like();
    if (!font_resources) throw PdfError::type_mismatch("page /Resources /Font", "dictionary");

    fonts.reserve(font_resources->size());
    for (const auto& [name, value] : *font_resources) {
        const Dictionary& font = resolve_to_dictionary(value, "font resource");
        fonts.push_back(PageFont{utf8_lossy(name), &font, value.as_reference()});
    }
    // One resource dictionary may serve every page of a file.
    charge_work("page /Resources /Font", fonts.size() * kRecordWorkBytes);
    return fonts;
}

std::optional<FontDescriptor> Document::font_descriptor(const PageFont& font) const {
    const Object* entry = font.dictionary->get("FontDescriptor");
    if (!entry) return std::nullopt;
    const Dictionary* descriptor = resolve(*entry).as_dict_like();
    if (!descriptor) throw PdfError::type_mismatch("font /FontDescriptor", "dictionary");
    return FontDescriptor{descriptor, entry->as_reference()};
}

std::optional<EmbeddedFont> Document::embedded_font(const FontDescriptor& descriptor) const {
    // Type 1 programs, TrueType programs, and the rest (CFF, OpenType) by
    // /Subtype: a descriptor should have one; the first present wins.
    static constexpr std::array<std::string_view, 3> kKinds = {"FontFile", "FontFile2", "FontFile3"};
    for (std::string_view kind : kKinds) {
        const Object* entry = descriptor.dictionary->get(kind);
        if (!entry) continue;
        const Stream* program = resolve(*entry).as_stream();
        if (!program) throw PdfError::type_mismatch(kind, "stream");
        return EmbeddedFont{kind, program, entry->as_reference()};
    }
    return std::nullopt;
}

// ---- images ----

std::vector<PageImage> Document::page_images(const PageEntry& page) const {
    std::vector<PageImage> images;
    const Dictionary* resources = page_resource_dictionary(*page.dictionary, page.attributes.resources);
    if (!resources) return images;
    std::vector<std::string> path;
    std::set<ObjectId> forms;
    ImageSearchBudget budget;
    collect_resource_images(*resources, path, forms, images, budget);
    // One resource dictionary may serve every page of a file.
    charge_work("page /Resources /XObject", budget.entries * kRecordWorkBytes + budget.path_bytes);
    return images;
}

void Document::collect_resource_images(const Dictionary& resources, std::vector<std::string>& path,
                                       std::set<ObjectId>& forms, std::vector<PageImage>& out,
                                       ImageSearchBudget& budget) const {
    // The same context at every level: a form's /XObject is read exactly as
    // the page's.
    static constexpr std::string_view kContext = "page /Resources /XObject";
    const Object* entry = resources.get("XObject");
    if (!entry) return;
    const Dictionary* xobjects = resolve(*entry).as_dict_like();
    if (!xobjects) throw PdfError::type_mismatch(kContext, "dictionary");

    for (const auto& [key, value] : *xobjects) {
        if (++budget.entries > kMaxXObjectEntries) {
            throw PdfError::limit_exceeded(kContext, kMaxXObjectEntries, "XObject entries per page");
        }
        const Stream* xobject = resolve(value).as_stream();
        if (!xobject) throw PdfError::type_mismatch("page /Resources /XObject item", "stream");
        const Object* subtype = xobject->dict.get("Subtype");
        // A missing or non-name /Subtype, PostScript XObjects and unknown
        // subtypes are not images and hold none.
        if (!subtype) continue;

        if (subtype->is_name("Image")) {
            std::string name = utf8_lossy(key);
            size_t cost = 2 * held_bytes(name);
            for (const std::string& form_name : path) cost += held_bytes(form_name);
            budget.path_bytes += cost;
            if (budget.path_bytes > kMaxImagePathBytes) {
                throw PdfError::limit_exceeded(kContext, kMaxImagePathBytes, "bytes of image paths per page");
            }
            PageImage image{name, path, value.as_reference(), xobject};
            image.xobject_path.push_back(std::move(name));
            out.push_back(std::move(image));
        } else if (subtype->is_name("Form")) {
            const Object* form_resources = xobject->dict.get("Resources");
            if (!form_resources) continue;
            // Only the forms on the current path are kept: a form reached
            // twice along different names is searched twice, a form inside
            // its own resources is a cycle.
            const std::optional<ObjectId> id = value.as_reference();
            if (id && !forms.insert(*id).second) throw PdfError::xobject_cycle(*id);
            if (path.size() >= kMaxFormXObjectDepth) {
                throw PdfError::limit_exceeded(kContext, kMaxFormXObjectDepth, "nested form XObjects");
            }
            const Dictionary& nested = resolve_to_dictionary(*form_resources, "form XObject /Resources");
            path.push_back(utf8_lossy(key));
            collect_resource_images(nested, path, forms, out, budget);
            path.pop_back();
            if (id) forms.erase(*id);
        }
    }
}

std::optional<int64_t> PageImage::width() const { return direct_integer(stream->dict, "Width"); }
std::optional<int64_t> PageImage::height() const { return direct_integer(stream->dict, "Height"); }
std::optional<int64_t> PageImage::bits_per_component() const {
    return direct_integer(stream->dict, "BitsPerComponent");
}
std::optional<std::string> PageImage::color_space() const { return entry_text(stream->dict, "ColorSpace"); }

std::string PageImage::resource_path() const {
    std::string path;
    for (size_t i = 0; i < xobject_path.size(); ++i) {
        if (i > 0) path += '/';
        path += xobject_path[i];
    }
    return path;
}

std::vector<std::string> PageImage::filters() const {
    std::vector<std::string> names;
    for (std::string_view filter : stream->filters()) names.push_back(utf8_lossy(filter));
    return names;
}

ImagePixelFormat PageImage::pixel_format() const {
    const Dictionary& dict = stream->dict;
    ImagePixelFormat format;
    format.width = positive_dimension(dict, "Width", "image /Width");
    format.height = positive_dimension(dict, "Height", "image /Height");
    if (direct_integer(dict, "BitsPerComponent") != 8) {
        image_error("only 8-bit image components can be decoded to pixels");
    }
    const Object* color_space = dict.get("ColorSpace");
    if (!color_space) throw PdfError::missing_entry("image XObject", "ColorSpace");
    format.color_space = object_to_text(*color_space);
    return format;
}

DecodedImage PageImage::decoded_image() const {
    ImagePixelFormat format = pixel_format();
    return decode_pixels(format, stream->decoded_data_cow());
}

DecodedImage decode_pixels(const ImagePixelFormat& format, DecodedBytes decoded) {
    // Every size is checked against the decoded length before anything is
    // allocated, so a huge declared image over little data costs nothing.
    uint64_t pixels = 0;
    if (__builtin_mul_overflow(format.width, format.height, &pixels)) image_error("image dimensions overflow");
    const uint64_t available = decoded.view().size();
    DecodedImage image{{}, format.width, format.height, false};

    if (format.color_space == "/DeviceGray") {
        if (available < pixels) image_error("decoded image data is shorter than Width * Height");
        image.data = leading_bytes(std::move(decoded), pixels);
    } else if (format.color_space == "/DeviceRGB") {
        uint64_t needed = 0;
        if (__builtin_mul_overflow(pixels, uint64_t{3}, &needed)) image_error("RGB image dimensions overflow");
        if (available < needed) image_error("decoded RGB image data is shorter than Width * Height * 3");
        image.data = leading_bytes(std::move(decoded), needed);
        image.rgb = true;
    } else if (format.color_space == "/DeviceCMYK") {
        uint64_t needed = 0;
        if (__builtin_mul_overflow(pixels, uint64_t{4}, &needed)) image_error("CMYK image dimensions overflow");
        if (available < needed) image_error("decoded CMYK image data is shorter than Width * Height * 4");
        image.data = cmyk_pixels(std::move(decoded), pixels);
        image.rgb = true;
    } else {
        image_error("unsupported image color space " + format.color_space);
    }
    return image;
}

std::string DecodedImage::pnm_header() const {
    std::string header = rgb ? "P6\n" : "P5\n";
    header += std::to_string(width);
    header += ' ';
    header += std::to_string(height);
    header += "\n255\n";
    return header;
}

std::string DecodedImage::to_pnm() const {
    const std::string header = pnm_header();
    std::string pnm;
    pnm.reserve(header.size() + data.size());
    pnm += header;
    pnm += data;
    return pnm;
}

}  // namespace quillet
