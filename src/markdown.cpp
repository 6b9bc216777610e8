#include "markdown.h"

#include <array>
#include <string_view>
#include <utility>

#include "content.h"
#include "error.h"
#include "outline.h"
#include "page.h"
#include "reading.h"

namespace quillet::markdown {

namespace {

constexpr std::string_view kUntitled = "PDF Document";

// "# title" from the Info title, trimmed, or a fixed heading for documents
// without one.  The title is written as it is: inner line breaks stay.
void push_title(std::string& out, std::string_view title) {
    std::string_view heading = trim_unicode_space(title);
    if (heading.empty()) heading = kUntitled;
    out += "# ";
    out += heading;
    out += "\n\n";
}

// A table cell: a bar would end the cell and a line feed the row.
void push_cell(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == '|') {
            out += "\\|";
        } else if (c == '\n') {
            out += "<br>";
        } else {
            out += c;
        }
    }
}

void push_metadata_table(std::string& out, const DocumentMetadata& metadata) {
    // The title is the heading, not a row.
    const std::array<std::pair<std::string_view, const std::string*>, 8> rows = {{
        {"Author", &metadata.author},
        {"Subject", &metadata.subject},
        {"Keywords", &metadata.keywords},
        {"Creator", &metadata.creator},
        {"Producer", &metadata.producer},
        {"Created", &metadata.creation_date},
        {"Modified", &metadata.modification_date},
        {"Format", &metadata.format},
    }};
    bool any = false;
    for (const auto& [label, value] : rows) {
        if (trim_unicode_space(*value).empty()) continue;
        if (!any) out += "## Metadata\n\n| Field | Value |\n| --- | --- |\n";
        any = true;
        out += '|';
        out += label;
        out += '|';
        push_cell(out, *value);
        out += "|\n";
    }
    if (any) out += '\n';
}

// The outline is a convenience: a broken one is left out rather than
// costing the reader the whole export.
void push_outline(std::string& out, const Document& document) {
    std::vector<OutlineItem> items;
    try {
        items = document.outlines();
    } catch (const PdfError&) {
        return;
    }
    if (items.empty()) return;
    out += "## Outline\n\n";
    for (const OutlineItem& item : items) push_outline_item(out, item, 0);
    out += '\n';
}

}  // namespace

void push_outline_item(std::string& out, const OutlineItem& item, size_t depth) {
    out.append(2 * depth, ' ');
    out += "- ";
    out += item.title;
    out += '\n';
    for (const OutlineItem& child : item.children) push_outline_item(out, child, depth + 1);
}

std::vector<std::string> export_page_texts(const Document& document, const std::vector<PageEntry>& pages,
                                           bool reading) {
    if (reading) return reading::page_texts(document, pages);
    FontCache fonts;
    std::vector<std::string> texts;
    texts.reserve(pages.size());
    for (const PageEntry& page : pages) texts.push_back(document.page_text_with_cache(page, fonts));
    return texts;
}

std::string label_or_number(const std::vector<std::string>& labels, size_t index) {
    return index < labels.size() ? labels[index] : std::to_string(index + 1);
}

std::string document_to_markdown(const Document& document, const MarkdownOptions& options) {
    const DocumentMetadata metadata = document.metadata();
    std::string out;
    push_title(out, metadata.title);
    if (options.include_metadata) push_metadata_table(out, metadata);
    if (options.include_outline) push_outline(out, document);

    // Every page's text first: one unreadable page fails the export before
    // anything of the pages is written.
    const std::vector<std::string> texts = export_page_texts(document, document.pages(), options.reading);
    // The plain text the references cutter reads, joined as text() joins it
    // except that leading empty pages add no separator.
    std::string plain;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (options.include_page_headings) {
            out += "## Page ";
            out += std::to_string(i + 1);
            out += "\n\n";
        }
        if (!plain.empty()) plain += '\n';
        plain += texts[i];
        const std::string_view body = trim_unicode_space(texts[i]);
        if (!body.empty()) {
            out += body;
            out += "\n\n";
        }
    }

    if (options.include_references) {
        if (const std::optional<std::string_view> section = extract_references_section(plain)) {
            out += "## Extracted References\n\n";
            out += trim_unicode_space(*section);
            out += '\n';
        }
    }
    return out;
}

std::vector<MarkdownPageChunk> document_to_markdown_chunks(const Document& document, bool reading) {
    const auto metadata = std::make_shared<const DocumentMetadata>(document.metadata());
    const std::vector<PageEntry>& pages = document.pages();
    const std::vector<std::string> labels = document.page_labels();
    std::vector<std::string> texts = export_page_texts(document, pages, reading);

    std::vector<MarkdownPageChunk> chunks;
    chunks.reserve(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        chunks.push_back(MarkdownPageChunk{
            .page_index = i,
            .page_number = i + 1,
            .page_label = label_or_number(labels, i),
            .page_id = pages[i].id,
            .text = std::move(texts[i]),
            .metadata = metadata,
        });
    }
    return chunks;
}

}  // namespace quillet::markdown
