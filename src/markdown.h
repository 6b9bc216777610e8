// Markdown export: the whole document as one Markdown text (title, metadata
// table, outline, one section per page, the bibliography), and the same
// content cut into one record per page for callers that index page by page.
//
// Everything is composed from the other features (metadata, outline, page
// list, labels, page text, references section); nothing here reads PDF
// syntax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "document.h"
#include "metadata.h"
#include "object.h"

namespace quillet {

struct OutlineItem;
struct PageEntry;

// The optional sections of document_to_markdown.
struct MarkdownOptions {
    bool include_metadata = true;       // "## Metadata" table
    bool include_outline = true;        // "## Outline" list
    bool include_page_headings = true;  // "## Page N" before each page
    bool include_references = true;     // "## Extracted References"
    bool reading = false;               // page text from the reading engine (reading.h)
};

// One page of the chunked export.
struct MarkdownPageChunk {
    uint64_t page_index = 0;  // 0-based position in the page list
    uint64_t page_number = 0;
    std::string page_label;  // the page's label, else the page number
    ObjectId page_id;
    std::string text;  // exactly as extracted, not trimmed
    // The document's metadata, the same record for every chunk: a copy per
    // page would let a file with many pages and a large XMP packet or Info
    // dictionary demand memory in proportion to their product.
    std::shared_ptr<const DocumentMetadata> metadata;
};

namespace markdown {

std::string document_to_markdown(const Document& document, const MarkdownOptions& options);

// One chunk per page, in page order; with `reading`, the page texts come
// from the reading engine.
std::vector<MarkdownPageChunk> document_to_markdown_chunks(const Document& document, bool reading = false);

// "- title" indented by two spaces per level, then the children one level
// deeper.  The outline walk bounds the depth, so the recursion is bounded.
void push_outline_item(std::string& out, const OutlineItem& item, size_t depth);

// The text of every page, in order, through one font cache: a font shared by
// many pages has its ToUnicode CMap parsed once per export.  With `reading`,
// each page's reading text instead.
std::vector<std::string> export_page_texts(const Document& document, const std::vector<PageEntry>& pages,
                                           bool reading = false);

// The label of page `index`: the label list's entry, else the 1-based page
// number in decimal.
std::string label_or_number(const std::vector<std::string>& labels, size_t index);

}  // namespace markdown

}  // namespace quillet
