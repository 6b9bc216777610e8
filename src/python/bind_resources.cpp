// Fonts and images of pages.
#include <cstring>

#include "../error.h"
#include "../image_file.h"
#include "../inspect.h"
#include "../page.h"
#include "../resource.h"
#include "module.h"

namespace quillet::py {

namespace {

PyRef optional_id(const std::optional<ObjectId>& id) { return to_py_optional(id, to_py_id); }
PyRef optional_int(const std::optional<int64_t>& value) { return to_py_optional(value, to_py_int); }

// An entry shown only when it is a name, as its text without the slash.
PyRef name_entry(const Dictionary& dict, std::string_view key) {
    const Object* value = dict.get(key);
    const std::string* name = value ? value->as_name() : nullptr;
    return name ? to_py_name(*name) : to_py_none();
}

// Where a record comes from: set by the whole-document listings, None for
// the per-page ones.
struct PageOrigin {
    PyRef index;
    PyRef id;

    static PageOrigin of(size_t index, const PageEntry& page) { return {to_py_uint(index), to_py_id(page.id)}; }
    static PageOrigin unset() { return {to_py_none(), to_py_none()}; }
};

// The text form of each entry shown within one call: a font or image listed
// under many names (or on many pages) shows the same /Encoding, metrics or
// /ColorSpace, and its records share one (immutable) str instead of each
// holding a copy of a possibly long text.
class TextForms {
public:
    // The text form of dict's `key` (object_to_text), or None.
    PyRef entry(const Dictionary& dict, std::string_view key) {
        const Object* value = dict.get(key);
        if (!value) return to_py_none();
        auto found = texts_.find(value);
        if (found == texts_.end()) found = texts_.emplace(value, to_py_text(object_to_text(*value))).first;
        return PyRef::borrow(found->second.get());
    }

private:
    std::unordered_map<const Object*, PyRef> texts_;
};

// ---- fonts ----

class FontRecords {
public:
    FontRecords(const Document& document, bool include_data) : document_(document), include_data_(include_data) {}

    void add_page(PyObject* list, const PageEntry& page, const PageOrigin& origin) {
        for (const PageFont& font : document_.page_fonts(page)) {
            PyRef record = font_record(font, origin);
            if (PyList_Append(list, record.get()) < 0) throw PyErrorSet{};
        }
    }

private:
    PyRef font_record(const PageFont& font, const PageOrigin& origin) {
        DictBuilder d;
        d.add("page_index", PyRef::borrow(origin.index.get()));
        d.add("page_id", PyRef::borrow(origin.id.get()));
        d.add("name", to_py_text(font.name));
        d.add("id", optional_id(font.id));
        d.add("subtype", name_entry(*font.dictionary, "Subtype"));
        d.add("base_font", name_entry(*font.dictionary, "BaseFont"));
        d.add("encoding", texts_.entry(*font.dictionary, "Encoding"));  // PageFont::encoding
        d.add("descriptor_id", optional_id(font.descriptor_id()));
        const std::optional<FontDescriptor> descriptor = document_.font_descriptor(font);
        d.add("descriptor", descriptor ? descriptor_record(*descriptor) : to_py_none());
        return d.done();
    }

    PyRef descriptor_record(const FontDescriptor& descriptor) {
        const Dictionary& dict = *descriptor.dictionary;
        const Object* flags = dict.get("Flags");
        DictBuilder d;
        d.add("id", optional_id(descriptor.id));
        d.add("font_name", name_entry(dict, "FontName"));
        d.add("font_family", texts_.entry(dict, "FontFamily"));
        d.add("font_stretch", name_entry(dict, "FontStretch"));
        d.add("flags", optional_int(flags ? flags->as_integer() : std::nullopt));
        d.add("italic_angle", texts_.entry(dict, "ItalicAngle"));  // FontDescriptor::metric
        d.add("ascent", texts_.entry(dict, "Ascent"));
        d.add("descent", texts_.entry(dict, "Descent"));
        d.add("cap_height", texts_.entry(dict, "CapHeight"));
        d.add("stem_v", texts_.entry(dict, "StemV"));
        const std::optional<EmbeddedFont> program = document_.embedded_font(descriptor);
        d.add("embedded_font", program ? embedded_record(*program) : to_py_none());
        return d.done();
    }

    PyRef embedded_record(const EmbeddedFont& program) {
        DictBuilder d;
        d.add("kind", to_py_text(program.kind));
        d.add("id", optional_id(program.id));
        d.add("subtype", name_entry(program.stream->dict, "Subtype"));
        d.add("filters", to_py_list(program.stream->filters(), to_py_name));
        d.add("encoded_length", to_py_uint(program.stream->data.size()));
        d.add("length1", optional_int(program.declared_length("Length1")));
        d.add("length2", optional_int(program.declared_length("Length2")));
        d.add("length3", optional_int(program.declared_length("Length3")));
        if (include_data_) d.add("data", decoded_.get(*program.stream));
        return d.done();
    }

    const Document& document_;
    bool include_data_;
    DecodedCache decoded_;
    TextForms texts_;
};

// ---- images ----

class ImageRecords {
public:
    ImageRecords(const Document& document, bool include_data, bool include_pnm)
        : document_(document), include_data_(include_data), include_pnm_(include_pnm) {}

    void add_page(PyObject* list, const PageEntry& page, const PageOrigin& origin) {
        for (const PageImage& image : document_.page_images(page)) {
            PyRef record = image_record(image, origin);
            if (PyList_Append(list, record.get()) < 0) throw PyErrorSet{};
        }
    }

private:
    // What the records show of one image's pixels.
    struct Rendering {
        uint64_t width;
        uint64_t height;
        bool rgb;
        size_t decoded_length;
        PyRef pnm;
    };

    PyRef image_record(const PageImage& image, const PageOrigin& origin) {
        DictBuilder d;
        d.add("page_index", PyRef::borrow(origin.index.get()));
        d.add("page_id", PyRef::borrow(origin.id.get()));
        d.add("name", to_py_text(image.name));
        d.add("resource_path", to_py_text(image.resource_path()));
        d.add("xobject_path", to_py_list(image.xobject_path, [](const std::string& s) { return to_py_text(s); }));
        d.add("id", optional_id(image.id));
        d.add("width", optional_int(image.width()));
        d.add("height", optional_int(image.height()));
        d.add("bits_per_component", optional_int(image.bits_per_component()));
        d.add("color_space", texts_.entry(image.stream->dict, "ColorSpace"));  // PageImage::color_space
        d.add("filters", to_py_list(image.filters(), [](const std::string& s) { return to_py_text(s); }));
        d.add("encoded_length", to_py_uint(image.stream->data.size()));
        if (include_pnm_) {
            const Rendering& pixels = render(image);
            DictBuilder decoded;
            decoded.add("width", to_py_uint(pixels.width));
            decoded.add("height", to_py_uint(pixels.height));
            decoded.add("components", to_py_uint(pixels.rgb ? 3 : 1));
            decoded.add("pnm_kind", to_py_text(pixels.rgb ? "P6" : "P5"));
            decoded.add("decoded_length", to_py_uint(pixels.decoded_length));
            d.add("decoded", decoded.done());
            d.add("pnm", PyRef::borrow(pixels.pnm.get()));
        } else {
            d.add("decoded", to_py_none());
        }
        if (include_data_) d.add("data", decoded_.get(*image.stream));
        return d.done();
    }

    // The stream is decoded once: its filter output becomes the "data"
    // bytes (when asked for) and, reused in place, the pixels, which are
    // copied once more straight into the PNM bytes object.
    const Rendering& render(const PageImage& image) {
        auto found = renderings_.find(image.stream);
        if (found != renderings_.end()) return found->second;
        const ImagePixelFormat format = image.pixel_format();
        DecodedBytes decoded = image.stream->decoded_data_cow();
        if (include_data_) decoded_.put(*image.stream, decoded.view());
        const DecodedImage pixels = decode_pixels(format, std::move(decoded));
        Rendering rendering{pixels.width, pixels.height, pixels.rgb, pixels.data.size(), pnm_bytes(pixels)};
        return renderings_.emplace(image.stream, std::move(rendering)).first->second;
    }

    // DecodedImage::to_pnm, written directly into the bytes object.
    static PyRef pnm_bytes(const DecodedImage& pixels) {
        const std::string header = pixels.pnm_header();
        PyRef pnm = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(header.size() + pixels.data.size())));
        char* out = PyBytes_AS_STRING(pnm.get());
        std::memcpy(out, header.data(), header.size());
        std::memcpy(out + header.size(), pixels.data.data(), pixels.data.size());
        return pnm;
    }

    const Document& document_;
    bool include_data_;
    bool include_pnm_;
    DecodedCache decoded_;
    TextForms texts_;
    std::unordered_map<const Stream*, Rendering> renderings_;
};

// ---- image files ----

// Each image as a file to save.  A conversion failure becomes that image's
// "error"; the page walk's failures still end the call.  One image is
// converted at a time and its C++ buffers freed once Python holds the
// bytes; an image shown several times is converted once and its bytes
// shared.
class ImageFileRecords {
public:
    explicit ImageFileRecords(const Document& document) : document_(document) {}

    void add_page(PyObject* list, const PageEntry& page, const PageOrigin& origin) {
        for (const PageImage& image : document_.page_images(page)) {
            const Saved& saved = save(*image.stream);
            DictBuilder d;
            d.add("page_index", PyRef::borrow(origin.index.get()));
            d.add("page_id", PyRef::borrow(origin.id.get()));
            d.add("name", to_py_text(image.name));
            d.add("id", optional_id(image.id));
            d.add("width", optional_int(image.width()));
            d.add("height", optional_int(image.height()));
            d.add("format", PyRef::borrow(saved.format.get()));
            d.add("extension", PyRef::borrow(saved.extension.get()));
            d.add("data", PyRef::borrow(saved.data.get()));
            d.add("error", PyRef::borrow(saved.error.get()));
            PyRef record = d.done();
            if (PyList_Append(list, record.get()) < 0) throw PyErrorSet{};
        }
    }

private:
    struct Saved {
        PyRef format;
        PyRef extension;
        PyRef data;
        PyRef error;
    };

    const Saved& save(const Stream& stream) {
        auto found = saved_.find(&stream);
        if (found != saved_.end()) return found->second;
        Saved saved{to_py_none(), to_py_none(), to_py_none(), to_py_none()};
        try {
            // Known before converting, so a failed image still says what
            // it would have been (unless its /Filter itself is broken).
            const ImageFileFormat format = image_file_format(stream);
            saved.format = to_py_text(image_format_name(format));
            saved.extension = to_py_text(image_format_extension(format));
            const ImageFile file = image_file(document_, stream);
            saved.data = to_py_bytes(file.data.view());
            if (file.note) saved.error = to_py_text(*file.note);
        } catch (const PdfError& error) {
            saved.error = to_py_text(error.message());
        }
        return saved_.emplace(&stream, std::move(saved)).first->second;
    }

    const Document& document_;
    std::unordered_map<const Stream*, Saved> saved_;
};

// Every page in order (whole-document listings).
template <class Records>
PyRef all_pages(const Document& document, Records& records) {
    const std::vector<PageEntry>& pages = document.pages();
    PyRef list = checked(PyList_New(0));
    for (size_t i = 0; i < pages.size(); ++i) records.add_page(list.get(), pages[i], PageOrigin::of(i, pages[i]));
    return list;
}

template <class Records>
PyRef one_page(const Document& document, uint64_t index, Records& records) {
    const std::vector<PageEntry>& pages = document.pages();
    const PageEntry& page = page_at(pages, index);
    PyRef list = checked(PyList_New(0));
    records.add_page(list.get(), page, PageOrigin::unset());
    return list;
}

}  // namespace

const Method kPageFonts{"page_fonts", {{"index"}, {"include_data", "False"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    FontRecords records(c.doc(), c.boolean(1, false));
    return one_page(c.doc(), index, records);
}};

const Method kFonts{"fonts", {{"include_data", "False"}}, Method::Instance, [](Call& c) {
    FontRecords records(c.doc(), c.boolean(0, false));
    return all_pages(c.doc(), records);
}};

const Method kPageImages{"page_images", {{"index"}, {"include_data", "False"}, {"include_pnm", "False"}},
                         Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const bool include_data = c.boolean(1, false);
    ImageRecords records(c.doc(), include_data, c.boolean(2, false));
    return one_page(c.doc(), index, records);
}};

const Method kImages{"images", {{"include_data", "False"}, {"include_pnm", "False"}}, Method::Instance,
                     [](Call& c) {
    const bool include_data = c.boolean(0, false);
    ImageRecords records(c.doc(), include_data, c.boolean(1, false));
    return all_pages(c.doc(), records);
}};

const Method kPageImageFiles{"page_image_files", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    ImageFileRecords records(c.doc());
    return one_page(c.doc(), index, records);
}};

const Method kImageFiles{"image_files", {}, Method::Instance, [](Call& c) {
    ImageFileRecords records(c.doc());
    return all_pages(c.doc(), records);
}};

PyRef page_font_records(const Document& document, size_t index, const PageEntry& page) {
    FontRecords records(document, false);
    PyRef list = checked(PyList_New(0));
    records.add_page(list.get(), page, PageOrigin::of(index, page));
    return list;
}

PyRef page_image_records(const Document& document, size_t index, const PageEntry& page) {
    ImageRecords records(document, false, false);
    PyRef list = checked(PyList_New(0));
    records.add_page(list.get(), page, PageOrigin::of(index, page));
    return list;
}

}  // namespace quillet::py
