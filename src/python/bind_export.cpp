// Markdown and the language-model exports.
#include <stdexcept>
#include <string_view>

#include "../llm.h"
#include "../markdown.h"
#include "../page.h"
#include "module.h"

namespace quillet::py {

namespace {

constexpr const char* kBadOcrMode = "ocr must be one of 'off', 'auto', or 'always'";

// The `ocr` argument.  Parsed before the export starts, so a bad value
// costs no work on the document.

OcrMode parse_ocr_mode(std::string_view text) {
    if (text == "off" || text == "none" || text == "false") return OcrMode::Off;
    if (text == "auto") return OcrMode::Auto;
    if (text == "always" || text == "true" || text == "force") return OcrMode::Always;
    raise(PyExc_ValueError, kBadOcrMode);
}

// The `ocr` argument at position i.  A str holding a lone surrogate has no
// UTF-8 form; it is no spelling of a mode either, and is refused as one.
OcrMode ocr_argument(Call& c, size_t i) {
    PyObject* o = c.arg(i);
    if (o && PyUnicode_Check(o) && !PyUnicode_AsUTF8AndSize(o, nullptr)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
        PyErr_Clear();
        raise(PyExc_ValueError, kBadOcrMode);
    }
    return parse_ocr_mode(c.str(i, "auto"));
}

PyRef optional_id(const std::optional<ObjectId>& id) { return to_py_optional(id, to_py_id); }
PyRef optional_int(const std::optional<int64_t>& value) { return to_py_optional(value, to_py_int); }
PyRef optional_text(const std::optional<std::string>& text) {
    return to_py_optional(text, [](const std::string& s) { return to_py_text(s); });
}

// Every chunk shows the metadata as a dict of its own, as metadata() gives
// it, so that changing one leaves the others alone.  The dicts are copies of
// one conversion: their texts are immutable and shared, so a large XMP
// packet is converted once per call, not once per page.
class MetadataDicts {
public:
    explicit MetadataDicts(const DocumentMetadata& metadata) : converted_(metadata_record(metadata)) {}

    PyRef next() const {
        PyRef dict = checked(PyDict_Copy(converted_.get()));
        PyObject* custom = PyDict_GetItemString(converted_.get(), "custom");  // borrowed
        if (!custom) throw std::logic_error("metadata record without \"custom\"");
        PyRef own_custom = checked(PyDict_Copy(custom));
        if (PyDict_SetItemString(dict.get(), "custom", own_custom.get()) < 0) throw PyErrorSet{};
        return dict;
    }

private:
    PyRef converted_;
};

// ---- Markdown ----

// `fonts` and `images` are added when given.
PyRef markdown_chunk_record(const MarkdownPageChunk& chunk, const MetadataDicts& metadata, PyRef fonts,
                            PyRef images) {
    DictBuilder d;
    d.add("page_index", to_py_uint(chunk.page_index));
    d.add("page_number", to_py_uint(chunk.page_number));
    d.add("page_label", to_py_text(chunk.page_label));
    d.add("page_id", to_py_id(chunk.page_id));
    d.add("text", to_py_text(chunk.text));
    d.add("metadata", metadata.next());
    if (fonts) d.add("fonts", std::move(fonts));
    if (images) d.add("images", std::move(images));
    return d.done();
}

// ---- LLM document ----

PyRef ocr_request_record(const OcrRequest& request) {
    DictBuilder d;
    d.add("id", to_py_text(request.id));
    d.add("target", to_py_text(ocr_target_name(request.target)));
    d.add("page_index", to_py_uint(request.page_index));
    d.add("page_number", to_py_uint(request.page_number));
    d.add("page_id", to_py_id(request.page_id));
    d.add("object_id", optional_id(request.object_id));
    d.add("resource_path", optional_text(request.resource_path));
    d.add("bbox", to_py_box(request.bbox));
    d.add("width", optional_int(request.width));
    d.add("height", optional_int(request.height));
    d.add("reason", to_py_text(ocr_reason_name(request.reason)));
    d.add("suggested_dpi", to_py_uint(request.suggested_dpi));
    return d.done();
}

PyRef llm_image_record(const LlmImage& image) {
    DictBuilder d;
    d.add("name", to_py_text(image.name));
    d.add("resource_path", to_py_text(image.resource_path));
    d.add("width", optional_int(image.width));
    d.add("height", optional_int(image.height));
    d.add("bits_per_component", optional_int(image.bits_per_component));
    d.add("color_space", optional_text(image.color_space));
    d.add("filters", to_py_list(image.filters, [](const std::string& s) { return to_py_text(s); }));
    d.add("encoded_length", to_py_uint(image.encoded_length));
    return d.done();
}

PyRef llm_block_record(const LlmBlock& block) {
    DictBuilder d;
    d.add("id", to_py_text(block.id));
    d.add("kind", to_py_text(llm_block_kind_name(block.kind)));
    d.add("page_index", to_py_uint(block.page_index));
    d.add("bbox", to_py_box(block.bbox));
    d.add("text", optional_text(block.text));
    d.add("html", optional_text(block.html));
    d.add("markdown", optional_text(block.markdown));
    d.add("object_id", optional_id(block.object_id));
    d.add("target", optional_text(block.target));
    d.add("image", to_py_optional(block.image, llm_image_record));
    d.add("ocr_request", to_py_optional(block.ocr_request, ocr_request_record));
    return d.done();
}

PyRef llm_page_record(const LlmPageChunk& page, const MetadataDicts& metadata) {
    DictBuilder d;
    d.add("page_index", to_py_uint(page.page_index));
    d.add("page_number", to_py_uint(page.page_number));
    d.add("page_label", to_py_text(page.page_label));
    d.add("page_id", to_py_id(page.page_id));
    d.add("media_box", to_py_box(page.media_box));
    d.add("crop_box", to_py_box(page.crop_box));
    d.add("rotate", optional_int(page.rotate));
    d.add("text", to_py_text(page.text));
    d.add("metadata", metadata.next());
    d.add("blocks", to_py_list(page.blocks, llm_block_record));
    return d.done();
}

// The parameters of llm_document and llm_chunks, converted in order.
LlmOptions llm_options(Call& c) {
    LlmOptions options;
    options.include_text = c.boolean(0, true);
    options.include_images = c.boolean(1, true);
    options.include_links = c.boolean(2, true);
    options.include_annotations = c.boolean(3, true);
    options.ocr = ocr_argument(c, 4);
    options.reading = c.boolean(5, false);
    return options;
}

const std::vector<Param> kLlmParams = {{"include_text", "True"},
                                       {"include_images", "True"},
                                       {"include_links", "True"},
                                       {"include_annotations", "True"},
                                       {"ocr", "\"auto\""},
                                       {"reading", "False"}};

}  // namespace

const Method kToMarkdown{"to_markdown", {{"reading", "False"}}, Method::Instance, [](Call& c) {
    const MarkdownOptions options{.reading = c.boolean(0, false)};
    return to_py_text(markdown::document_to_markdown(c.doc(), options));
}};

const Method kPageChunks{"page_chunks", {{"include_fonts", "False"}, {"include_images", "False"}, {"reading", "False"}},
                         Method::Instance, [](Call& c) {
    const bool include_fonts = c.boolean(0, false);
    const bool include_images = c.boolean(1, false);
    const bool reading = c.boolean(2, false);
    const Document& doc = c.doc();
    const std::vector<MarkdownPageChunk> chunks = markdown::document_to_markdown_chunks(doc, reading);
    // The fonts and images are looked up per page in the document's page list.
    const std::vector<PageEntry>* pages = include_fonts || include_images ? &doc.pages() : nullptr;

    PyRef list = checked(PyList_New(0));
    if (chunks.empty()) return list;
    const MetadataDicts metadata(*chunks.front().metadata);
    for (const MarkdownPageChunk& chunk : chunks) {
        PyRef fonts, images;
        if (pages) {
            const PageEntry& page = page_at(*pages, chunk.page_index);
            if (include_fonts) fonts = page_font_records(doc, chunk.page_index, page);
            if (include_images) images = page_image_records(doc, chunk.page_index, page);
        }
        PyRef record = markdown_chunk_record(chunk, metadata, std::move(fonts), std::move(images));
        if (PyList_Append(list.get(), record.get()) < 0) throw PyErrorSet{};
    }
    return list;
}};

const Method kLlmDocument{"llm_document", kLlmParams, Method::Instance, [](Call& c) {
    const LlmOptions options = llm_options(c);
    const LlmDocument document = llm::document_to_llm(c.doc(), options);
    const MetadataDicts metadata(*document.metadata);
    DictBuilder d;
    d.add("metadata", metadata.next());
    d.add("pages", to_py_list(document.pages, [&](const LlmPageChunk& page) { return llm_page_record(page, metadata); }));
    d.add("ocr_requests", to_py_list(document.ocr_requests, ocr_request_record));
    return d.done();
}};

const Method kLlmChunks{"llm_chunks", kLlmParams, Method::Instance, [](Call& c) {
    const LlmOptions options = llm_options(c);
    const LlmDocument document = llm::document_to_llm(c.doc(), options);
    const MetadataDicts metadata(*document.metadata);
    return to_py_list(document.pages, [&](const LlmPageChunk& page) { return llm_page_record(page, metadata); });
}};

const Method kOcrRequests{"ocr_requests", {{"ocr", "\"auto\""}}, Method::Instance, [](Call& c) {
    const LlmOptions options{.ocr = ocr_argument(c, 0)};
    return to_py_list(llm::document_to_llm(c.doc(), options).ocr_requests, ocr_request_record);
}};

}  // namespace quillet::py
