// Page content: the content-stream parser, text extraction, the font cache
// that keeps parsed ToUnicode CMaps for one extraction, the library-wide
// decoder for PDF text strings and the references-section cutter.
#pragma once

#include <compare>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cmap.h"
#include "document.h"
#include "lexer.h"
#include "object.h"

namespace quillet {

struct PageEntry;

// One operator with the operands that preceded it, in content order.
struct ContentOperation {
    std::string op;
    std::vector<Object> operands;

    // The last operand when it is a string: what Tj, ' and " show.
    const std::string* last_string() const { return operands.empty() ? nullptr : operands.back().as_string(); }
};

// The content grammar: operands are direct objects (references included),
// every bare keyword other than true, false and null is an operator.
class ContentParser {
public:
    explicit ContentParser(std::string_view content) : lexer_(content) {}

    std::vector<ContentOperation> parse();

    // One operand from a token just read; reads further tokens for arrays,
    // dictionaries and the "n g R" look-ahead.
    static Object object_from_token(Lexer& lexer, Token token, int depth = 0);

private:
    // Moves the lexer past the data of an inline image whose ID operator
    // was just read.
    void skip_inline_image_data(const std::vector<Object>& dictionary_operands);

    Lexer lexer_;
};

std::vector<ContentOperation> parse_content_operations(std::string_view content);

// A page's content: its /Contents streams decoded and joined, borrowed from
// the stream when there is one without filters.
class PageContent {
public:
    std::string_view view() const { return single_ ? single_->view() : std::string_view(joined_); }

private:
    friend class Document;
    std::optional<DecodedBytes> single_;
    std::string joined_;
};

// A font resource as the CMap cache sees it: the font object when the page's
// /Font dictionary refers to one (pages and names sharing it share the
// entry), else the name on this page.
struct LocalFontKey {
    std::string name;
    ObjectId page;
    auto operator<=>(const LocalFontKey&) const = default;
};
struct FontCacheKey {
    std::variant<ObjectId, LocalFontKey> key;
    auto operator<=>(const FontCacheKey&) const = default;
};

// Parsed ToUnicode CMaps (or their absence) for one text extraction call.
// Copying a cached CMap copies only its shared handle.
class FontCache {
public:
    const std::optional<ToUnicodeCMap>* find(const FontCacheKey& key) const;
    const std::optional<ToUnicodeCMap>& insert(FontCacheKey key, std::optional<ToUnicodeCMap> cmap);

private:
    std::map<FontCacheKey, std::optional<ToUnicodeCMap>> entries_;
};

// The font dictionary that `resources` (which may be null) names `name` in
// its /Font; nullptr when there is no /Font or no such entry.  Type
// mismatches "page /Resources /Font" and "font resource" otherwise: text
// extraction and the reading engine select a Tf font alike.
const Dictionary* named_font(const Document& document, const Dictionary* resources, std::string_view name);

// A font dictionary's /ToUnicode CMap, nullopt when it has none; a type
// mismatch ("font /ToUnicode") when the entry is no stream.  Text extraction
// and the reading engine both read it here, so they fail on the same fonts.
std::optional<ToUnicodeCMap> font_dictionary_to_unicode(const Document& document, const Dictionary& font);

// What extraction needs besides the operations.
struct TextContext {
    const Document& document;
    const PageEntry& page;
    FontCache& fonts;
};

// The text shown by Tj, TJ, ' and " with a line feed for each T*, ' and ".
// Every byte of it is charged to the running call as "page text".
std::string extract_text_with_fonts(const std::vector<ContentOperation>& operations, TextContext& context);

// Appends one shown string: through the CMap when there is one, else as a
// PDF text string.  What it appends is charged to the running call as
// "page text", as the text grows.
void push_decoded_text(std::string& out, const ToUnicodeCMap* cmap, std::string_view bytes);

// PDF text string to UTF-8: UTF-16BE after an FE FF mark (unpaired
// surrogates become U+FFFD), otherwise UTF-8 with each maximal ill-formed
// subsequence replaced by U+FFFD.  No PDFDocEncoding table.
std::string decode_text_string(std::string_view bytes);

// `text` without leading and trailing Unicode White_Space characters.
std::string_view trim_unicode_space(std::string_view text);

// The bibliography of a paper's text: from the last occurrence of
// "references", "bibliography" or "参考文献" (any ASCII case) to the end,
// if that stretch holds at least 21 bytes besides surrounding white space.
std::optional<std::string_view> extract_references_section(std::string_view text);

}  // namespace quillet
