#include "llm.h"

#include <string_view>
#include <utility>

#include "content.h"
#include "error.h"
#include "link.h"
#include "markdown.h"
#include "page.h"
#include "reading.h"
#include "resource.h"
#include "text_string.h"

namespace quillet {

const char* ocr_target_name(OcrTarget target) { return target == OcrTarget::Page ? "page" : "image"; }

const char* ocr_reason_name(OcrReason reason) {
    static constexpr const char* kNames[] = {"no_text", "image_may_contain_text", "forced"};
    return kNames[static_cast<size_t>(reason)];
}

const char* ocr_reason_debug_name(OcrReason reason) {
    static constexpr const char* kNames[] = {"NoText", "ImageMayContainText", "Forced"};
    return kNames[static_cast<size_t>(reason)];
}

const char* llm_block_kind_name(LlmBlockKind kind) {
    static constexpr const char* kNames[] = {"text", "image", "link", "annotation", "ocr_placeholder"};
    return kNames[static_cast<size_t>(kind)];
}

namespace llm {

namespace {

// "page-3-image-2"
std::string numbered_id(uint64_t page_number, std::string_view what, size_t counter) {
    std::string id = "page-" + std::to_string(page_number) + "-";
    id += what;
    id += '-';
    id += std::to_string(counter);
    return id;
}

// /Contents when it is a string stored in the annotation itself.
std::optional<std::string> contents_text(const Dictionary& annotation) {
    const Object* contents = annotation.get("Contents");
    const std::string* bytes = contents ? contents->as_string() : nullptr;
    if (!bytes) return std::nullopt;
    return decode_pdf_text_string(*bytes);
}

LlmImage image_record(const PageImage& image) {
    return LlmImage{
        .name = image.name,
        .resource_path = image.resource_path(),
        .width = image.width(),
        .height = image.height(),
        .bits_per_component = image.bits_per_component(),
        .color_space = image.color_space(),
        .filters = image.filters(),
        .encoded_length = image.stream->data.size(),
    };
}

// Builds one page's chunk and raises its OCR requests.
class PageExport {
public:
    PageExport(const Document& document, const LlmOptions& options, const PageEntry& page, size_t index,
               std::vector<OcrRequest>& requests)
        : document_(document),
          options_(options),
          page_(page),
          index_(index),
          number_(index + 1),
          media_box_(page_box(page.media_box())),
          requests_(requests) {}

    // `reading` is the page as the reading engine read it, when asked for.
    LlmPageChunk build(std::string label, std::string text, std::shared_ptr<const DocumentMetadata> metadata,
                       const ReadingPage* reading) {
        has_text_ = !trim_unicode_space(text).empty();
        if (options_.include_text && has_text_) {
            if (reading) {
                add_reading_blocks(*reading);
            } else {
                add_text_block(text);
            }
        }
        if (options_.include_images) add_image_blocks();
        if (options_.include_links) add_link_blocks();
        if (options_.include_annotations) add_annotation_blocks();
        add_page_request();

        const Object* rotate = page_.rotate();
        return LlmPageChunk{
            .page_index = index_,
            .page_number = number_,
            .page_label = std::move(label),
            .page_id = page_.id,
            .media_box = media_box_,
            .crop_box = page_box(page_.crop_box()),
            .rotate = rotate ? rotate->as_integer() : std::nullopt,
            .text = std::move(text),
            .metadata = std::move(metadata),
            .blocks = std::move(blocks_),
        };
    }

private:
    LlmBlock& new_block(std::string id, LlmBlockKind kind) {
        LlmBlock& block = blocks_.emplace_back();
        block.id = std::move(id);
        block.kind = kind;
        block.page_index = index_;
        return block;
    }

    void add_text_block(const std::string& text) {
        LlmBlock& block = new_block("page-" + std::to_string(number_) + "-text", LlmBlockKind::Text);
        block.bbox = media_box_;
        block.text = text;
        block.markdown = std::string(trim_unicode_space(text));
        block.object_id = page_.id;
    }

    // "page-N-text-M": the page's reading blocks in reading order, each with
    // its box.
    void add_reading_blocks(const ReadingPage& reading) {
        size_t counter = 0;
        for (const ReadingBlock& source : reading.blocks) {
            const std::string_view text = std::string_view(reading.text).substr(source.text_offset, source.text_size);
            const std::string_view trimmed = trim_unicode_space(text);
            if (trimmed.empty()) continue;
            LlmBlock& block = new_block(numbered_id(number_, "text", ++counter), LlmBlockKind::Text);
            block.bbox = source.bbox;
            block.text = std::string(text);
            block.markdown = std::string(trimmed);
            block.object_id = page_.id;
        }
    }

    void add_image_blocks() {
        size_t counter = 0;
        for (const PageImage& image : document_.page_images(page_)) {
            has_images_ = true;
            LlmImage record = image_record(image);
            std::string id = numbered_id(number_, "image", ++counter);

            // Text drawn as an image next to extractable text (a scanned
            // figure, a logo with words) is worth recognising; on a page
            // without text the page request covers the images.
            std::optional<OcrRequest> request;
            const bool wanted = options_.ocr == OcrMode::Always || (options_.ocr == OcrMode::Auto && has_text_);
            if (wanted) {
                request = OcrRequest{
                    .id = id + "-ocr",
                    .target = OcrTarget::Image,
                    .page_index = index_,
                    .page_number = number_,
                    .page_id = page_.id,
                    .object_id = image.id,
                    .resource_path = record.resource_path,
                    .bbox = std::nullopt,
                    .width = record.width,
                    .height = record.height,
                    .reason = options_.ocr == OcrMode::Always ? OcrReason::Forced : OcrReason::ImageMayContainText,
                };
                requests_.push_back(*request);
            }

            LlmBlock& block = new_block(std::move(id), LlmBlockKind::Image);
            block.markdown = "![" + record.name + "](" + record.resource_path + ")";
            block.object_id = image.id;
            block.image = std::move(record);
            block.ocr_request = std::move(request);
        }
    }

    void add_link_blocks() {
        size_t counter = 0;
        for (const Link& link : document_.page_links(page_)) {
            LlmBlock& block = new_block(numbered_id(number_, "link", ++counter), LlmBlockKind::Link);
            block.bbox = page_box(link.annotation->get("Rect"));
            block.text = contents_text(*link.annotation);
            if (link.target) block.target = link.target->text();
            block.markdown = block.target;
            block.object_id = link.id;
        }
    }

    void add_annotation_blocks() {
        // Links are counted too, so an annotation keeps its number whether
        // or not link blocks are asked for.
        size_t counter = 0;
        for (const PageAnnotation& annotation : document_.page_annotations(page_)) {
            ++counter;
            const Object* subtype = annotation.dictionary->get("Subtype");
            if (subtype && subtype->is_name("Link")) continue;
            LlmBlock& block = new_block(numbered_id(number_, "annotation", counter), LlmBlockKind::Annotation);
            block.bbox = page_box(annotation.dictionary->get("Rect"));
            block.text = contents_text(*annotation.dictionary);
            block.markdown = block.text;
            const std::string* subtype_name = subtype ? subtype->as_name() : nullptr;
            if (subtype_name) block.target = utf8_lossy(*subtype_name);
            block.object_id = annotation.id;
        }
    }

    // A page that shows images but has no extractable text is most likely
    // scanned: the whole page is to be recognised.
    void add_page_request() {
        const bool wanted =
            options_.ocr == OcrMode::Always || (options_.ocr == OcrMode::Auto && !has_text_ && has_images_);
        if (!wanted) return;
        const OcrReason reason = options_.ocr == OcrMode::Always ? OcrReason::Forced : OcrReason::NoText;
        OcrRequest request{
            .id = "page-" + std::to_string(number_) + "-ocr",
            .target = OcrTarget::Page,
            .page_index = index_,
            .page_number = number_,
            .page_id = page_.id,
            .object_id = page_.id,
            .resource_path = std::nullopt,
            .bbox = media_box_,
            .width = std::nullopt,
            .height = std::nullopt,
            .reason = reason,
        };
        requests_.push_back(request);

        LlmBlock& block = new_block(request.id, LlmBlockKind::OcrPlaceholder);
        block.bbox = media_box_;
        block.markdown = std::string("<!-- OCR placeholder: ") + ocr_reason_debug_name(reason) + " page " +
                         std::to_string(number_) + " -->";
        block.object_id = page_.id;
        block.target = "page";
        block.ocr_request = std::move(request);
    }

    const Document& document_;
    const LlmOptions& options_;
    const PageEntry& page_;
    const size_t index_;
    const uint64_t number_;
    const std::optional<LlmRect> media_box_;
    std::vector<OcrRequest>& requests_;
    bool has_text_ = false;
    bool has_images_ = false;
    std::vector<LlmBlock> blocks_;
};

}  // namespace

LlmDocument document_to_llm(const Document& document, const LlmOptions& options) {
    LlmDocument result;
    result.metadata = std::make_shared<const DocumentMetadata>(document.metadata());
    const std::vector<PageEntry>& pages = document.pages();
    const std::vector<std::string> labels = document.page_labels();
    // Text is extracted for every page even without text blocks: it decides
    // the OCR requests and fills each chunk's text.
    std::vector<std::string> texts;
    std::vector<ReadingPage> read;
    if (options.reading) {
        ReadingCache cache(document);
        read.reserve(pages.size());
        for (const PageEntry& page : pages) {
            read.push_back(reading::read_page(document, page, cache, false));
            texts.push_back(read.back().text);
        }
    } else {
        texts = markdown::export_page_texts(document, pages);
    }

    result.pages.reserve(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        PageExport page(document, options, pages[i], i, result.ocr_requests);
        result.pages.push_back(page.build(markdown::label_or_number(labels, i), std::move(texts[i]), result.metadata,
                                          options.reading ? &read[i] : nullptr));
    }
    return result;
}

}  // namespace llm

}  // namespace quillet
