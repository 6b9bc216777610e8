// The document as a model for language-model pipelines: one chunk per page
// with its geometry, label and text, and an ordered list of typed blocks
// (text, images, links, other annotations, an OCR placeholder), plus the
// OCR requests for pages and images whose text cannot be extracted.  Every
// id embeds the page number, so ids are unique across the document and a
// caller can splice OCR results back by id.
//
// Composed from the other features (metadata, page list, labels, page text,
// images, links, annotations); nothing here reads PDF syntax.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "document.h"
#include "metadata.h"
#include "object.h"

namespace quillet {

// How OCR requests are decided.
enum class OcrMode : uint8_t {
    Off,     // never
    Auto,    // pages that show images but no text; images of pages with text
    Always,  // every page and every image
};

struct LlmOptions {
    bool include_text = true;
    bool include_images = true;  // image blocks, and with them image OCR requests
    bool include_links = true;
    bool include_annotations = true;  // annotations other than links
    OcrMode ocr = OcrMode::Auto;
    // Page text from the reading engine (reading.h), with one text block
    // per reading block instead of one for the whole page.
    bool reading = false;
};

// A rectangle in page space, values in file order (not normalised).
using LlmRect = std::array<double, 4>;

enum class OcrTarget : uint8_t { Page, Image };
// "page" or "image".
const char* ocr_target_name(OcrTarget target);

enum class OcrReason : uint8_t { NoText, ImageMayContainText, Forced };
// "no_text", "image_may_contain_text" or "forced".
const char* ocr_reason_name(OcrReason reason);
// "NoText", "ImageMayContainText" or "Forced": the form the placeholder
// comment shows.
const char* ocr_reason_debug_name(OcrReason reason);

// Resolution a recogniser should render the target at: enough for body
// text without making page images needlessly large.
inline constexpr uint16_t kSuggestedOcrDpi = 200;

struct OcrRequest {
    std::string id;  // "page-N-ocr" or "<image block id>-ocr"
    OcrTarget target = OcrTarget::Page;
    uint64_t page_index = 0;
    uint64_t page_number = 0;
    ObjectId page_id;
    std::optional<ObjectId> object_id;         // the page, or the image when it has an id
    std::optional<std::string> resource_path;  // images only
    std::optional<LlmRect> bbox;               // pages only: the media box
    std::optional<int64_t> width;              // images only
    std::optional<int64_t> height;             // images only
    OcrReason reason = OcrReason::NoText;
    uint16_t suggested_dpi = kSuggestedOcrDpi;
};

struct LlmImage {
    std::string name;
    std::string resource_path;  // the XObject names joined with "/"
    std::optional<int64_t> width;
    std::optional<int64_t> height;
    std::optional<int64_t> bits_per_component;
    std::optional<std::string> color_space;  // text form of /ColorSpace as stored
    std::vector<std::string> filters;
    uint64_t encoded_length = 0;
};

enum class LlmBlockKind : uint8_t { Text, Image, Link, Annotation, OcrPlaceholder };
// "text", "image", "link", "annotation" or "ocr_placeholder".
const char* llm_block_kind_name(LlmBlockKind kind);

struct LlmBlock {
    std::string id;
    LlmBlockKind kind = LlmBlockKind::Text;
    uint64_t page_index = 0;
    std::optional<LlmRect> bbox;
    std::optional<std::string> text;
    std::optional<std::string> html;  // no block kind has an HTML rendering yet
    std::optional<std::string> markdown;
    std::optional<ObjectId> object_id;
    std::optional<std::string> target;  // URI or destination, annotation subtype, "page"
    std::optional<LlmImage> image;
    std::optional<OcrRequest> ocr_request;
};

struct LlmPageChunk {
    uint64_t page_index = 0;
    uint64_t page_number = 0;
    std::string page_label;
    ObjectId page_id;
    std::optional<LlmRect> media_box;
    std::optional<LlmRect> crop_box;
    std::optional<int64_t> rotate;
    std::string text;  // untrimmed, whatever the options
    // The document's metadata: every chunk is self-contained, but they all
    // share one record (see MarkdownPageChunk::metadata).
    std::shared_ptr<const DocumentMetadata> metadata;
    std::vector<LlmBlock> blocks;
};

struct LlmDocument {
    std::shared_ptr<const DocumentMetadata> metadata;
    std::vector<LlmPageChunk> pages;
    // In the order raised: page order, within a page the image requests in
    // image order, then the page request.
    std::vector<OcrRequest> ocr_requests;
};

namespace llm {

LlmDocument document_to_llm(const Document& document, const LlmOptions& options);

}  // namespace llm

}  // namespace quillet
