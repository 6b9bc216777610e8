// The reading engine: a page's text as a reader sees it.  The glyphs placed
// by text_geometry.h are assembled into words (a space where the gap to the
// next glyph is wide, or where the content shows one), lines (glyphs on one
// baseline), blocks (lines stacked at a regular spacing) and an order for
// reading: top to bottom, and column by column where the page has columns.
// Text drawn twice on the same spot (fake bold, shadows) is kept once;
// vertical and rotated text forms lines of its own.
//
// This is a second text path beside text extraction (content.h), which
// follows the content order alone; neither changes the other's output.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "document.h"
#include "text_geometry.h"

namespace quillet {

struct PageEntry;

struct ReadingWord {
    size_t text_offset = 0;  // the word's text in ReadingPage::text
    size_t text_size = 0;
    std::array<double, 4> bbox{};  // x0, y0, x1, y1 in user space
    uint32_t font = 0;              // index into ReadingPage::fonts
    double size = 0;                // effective font size of its first glyph
    uint32_t block = 0;             // block number on the page
    uint32_t line = 0;              // line number within the block
};

struct ReadingBlock {
    size_t text_offset = 0;  // the block's text in ReadingPage::text
    size_t text_size = 0;
    std::array<double, 4> bbox{};
};

struct ReadingPage {
    // Words of a line joined by a space (or the spaces the content shows),
    // lines by a line feed, blocks by an empty line.
    std::string text;
    std::vector<ReadingBlock> blocks;  // in reading order
    std::vector<ReadingWord> words;    // in reading order; filled on request
    // Base font names (empty for a font without one).
    std::vector<std::string> fonts;
};

namespace reading {

// One page, through the call's shared fonts and forms.  Fails as
// place_page_glyphs does; assembly itself never fails.
ReadingPage read_page(const Document& document, const PageEntry& page, ReadingCache& cache, bool with_words);

// Every page's reading text, pages separated by a form feed.
std::string document_text(const Document& document);

// The reading text of each page, through one cache.
std::vector<std::string> page_texts(const Document& document, const std::vector<PageEntry>& pages);

}  // namespace reading

}  // namespace quillet
