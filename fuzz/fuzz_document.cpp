// libFuzzer target: the input is loaded as a PDF and the loaded document is
// asked everything a caller can ask, each question as one call under the
// bounds every call runs with.  A PdfError is how hostile input is refused
// and ends only the question that met it; anything else (a crash, a
// sanitizer report, another exception, an allocation past the fuzzer's
// limit, a slow input) is a finding.  So is an incremental update whose
// output does not load again: whatever a writer returns must load.
//
// Built by fuzz/run (clang, -fsanitize=fuzzer,address,undefined).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "call_scope.h"
#include "content.h"
#include "document.h"
#include "embedded_file.h"
#include "error.h"
#include "font_decoder.h"
#include "form.h"
#include "image_file.h"
#include "inspect.h"
#include "link.h"
#include "llm.h"
#include "markdown.h"
#include "metadata.h"
#include "outline.h"
#include "page.h"
#include "page_label.h"
#include "reading.h"
#include "resource.h"
#include "writer.h"

namespace {

using namespace quillet;

// Well below the fuzzer's memory limit, so that only a fault reaches it.
constexpr uint64_t kFuzzDecodedBytes = uint64_t{16} << 20;

// One call on the document: its own scope, its refusal ignored.
template <class F>
void call(const Document& document, F&& body) {
    try {
        const CallScope scope(document);
        body();
    } catch (const PdfError&) {
    }
}

// Touches every byte of a result, so that a view into freed memory is seen.
size_t checksum(std::string_view bytes) {
    size_t sum = 0;
    for (const char c : bytes) sum += static_cast<uint8_t>(c);
    return sum;
}

volatile size_t sink;

void read_objects(const Document& document) {
    call(document, [&] {
        for (const auto& [id, object] : document.objects) {
            sink = checksum(document.object_summary(id.number, id.generation).text);
        }
        for (const auto& [id, entry] : document.xref) sink = checksum(xref_entry_text(entry));
    });
    call(document, [&] { sink = checksum(document.dump_objects()); });
    call(document, [&] { sink = document.effective_version().minor; });
    call(document, [&] { sink = document.page_count(); });
}

void read_text(const Document& document) {
    call(document, [&] { sink = checksum(document.text()); });
    call(document, [&] {
        for (const std::string& text : document.page_texts()) sink = checksum(text);
    });
    call(document, [&] {
        for (const PageEntry& page : document.pages()) sink = checksum(document.page_text(page));
    });
    call(document, [&] { sink = document.references_text().has_value(); });
    call(document, [&] { sink = checksum(reading::document_text(document)); });
    call(document, [&] {
        ReadingCache cache(document);
        for (const PageEntry& page : document.pages()) {
            const ReadingPage reading = reading::read_page(document, page, cache, true);
            sink = checksum(reading.text) + reading.words.size() + reading.blocks.size();
        }
    });
}

void read_resources(const Document& document) {
    call(document, [&] {
        for (const PageEntry& page : document.pages()) {
            for (const PageFont& font : document.page_fonts(page)) {
                sink = checksum(font.encoding().value_or(""));
                const auto decoder = FontDecoder::load(document, *font.dictionary);
                std::string text;
                Glyph glyph;
                const std::string_view shown("Hello\x00\x01\xff\xfe", 9);
                for (size_t at = 0; at < shown.size();) at += decoder->next(shown, at, glyph, text);
                sink = checksum(text);
                const std::optional<FontDescriptor> descriptor = document.font_descriptor(font);
                if (!descriptor) continue;
                if (const std::optional<EmbeddedFont> program = document.embedded_font(*descriptor)) {
                    sink = checksum(program->stream->decoded_data_cow().view());
                }
            }
        }
    });
    call(document, [&] {
        for (const PageEntry& page : document.pages()) {
            for (const PageImage& image : document.page_images(page)) {
                sink = checksum(image.resource_path()) + image.filters().size();
                // An image that does not decode or convert is reported per
                // image, and the listing goes on.
                try {
                    sink = checksum(image.decoded_image().to_pnm());
                } catch (const PdfError&) {
                }
                try {
                    sink = static_cast<size_t>(image_file_format(*image.stream));
                    sink = checksum(image_file(document, *image.stream).data.view());
                } catch (const PdfError&) {
                }
            }
        }
    });
}

void read_navigation(const Document& document) {
    call(document, [&] {
        for (const PageEntry& page : document.pages()) {
            for (const Link& link : document.page_links(page)) {
                if (link.target) sink = checksum(link.target->text());
            }
            sink = document.page_annotations(page).size();
        }
    });
    call(document, [&] { sink = document.outlines().size(); });
    call(document, [&] { sink = document.toc().size(); });
    call(document, [&] { sink = document.named_destinations().size(); });
    call(document, [&] { sink = document.form_fields().size(); });
    call(document, [&] {
        for (const std::string& label : document.page_labels()) sink = checksum(label);
    });
    call(document, [&] {
        for (const EmbeddedFile& file : document.embedded_files()) {
            sink = checksum(file.stream->decoded_data_cow().view()) + file.declared_size().value_or(0);
        }
    });
    call(document, [&] {
        const DocumentMetadata metadata = document.metadata();
        sink = checksum(metadata.title) + checksum(metadata.xmp.value_or(""));
    });
    call(document, [&] { sink = checksum(document.metadata_xml().value_or("")); });
}

void read_exports(const Document& document) {
    call(document, [&] { sink = checksum(markdown::document_to_markdown(document, MarkdownOptions{})); });
    call(document, [&] { sink = markdown::document_to_markdown_chunks(document).size(); });
    for (const OcrMode mode : {OcrMode::Off, OcrMode::Auto, OcrMode::Always}) {
        call(document, [&] {
            LlmOptions options;
            options.ocr = mode;
            sink = llm::document_to_llm(document, options).ocr_requests.size();
        });
    }
}

// What a writer returns must load with the options it was given.
void check_reloads(const std::string& written, const LoadOptions& options, const char* writer) {
    try {
        sink = Document::parse(written, options).objects.size();
    } catch (const PdfError& error) {
        std::fprintf(stderr, "%s wrote a file that does not load: %s\n", writer, error.message().c_str());
        std::abort();
    }
}

void write_updates(std::string_view bytes, const LoadOptions& options) {
    const writer::Rect rect{0, 0, 10, 10};
    try {
        writer::MetadataUpdate update;
        update.title = "Fuzzed \xC3\xA9";
        check_reloads(writer::update_metadata_incremental(bytes, update, options), options, "with_metadata");
    } catch (const PdfError&) {
    }
    try {
        check_reloads(writer::add_uri_link_incremental(bytes, 0, rect, "https://example.com/(x)", options), options,
                      "with_uri_link");
    } catch (const PdfError&) {
    }
    try {
        check_reloads(writer::add_text_annotation_incremental(bytes, 0, rect, "note", options), options,
                      "with_text_annotation");
    } catch (const PdfError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    LoadOptions options;
    options.max_decoded_bytes = kFuzzDecodedBytes;
    try {
        const Document document = Document::parse(bytes, options);
        read_objects(document);
        read_text(document);
        read_resources(document);
        read_navigation(document);
        read_exports(document);
    } catch (const PdfError&) {
        return 0;  // refused at load: nothing to write either
    }
    write_updates(bytes, options);
    return 0;
}
