#include "content.h"

#include <algorithm>
#include <array>

#include "call_scope.h"
#include "cmap.h"
#include "error.h"
#include "page.h"
#include "parser.h"
#include "trace.h"

namespace quillet {

// ---- content-stream parser ----

namespace {

bool starts_number(uint8_t c) { return chars::is_digit(c) || c == '+' || c == '-' || c == '.'; }

// An integer operand, or the reference "n g R" it starts.  Anything short of
// a complete "n g R" leaves the lexer just after n.
Object integer_or_reference(Lexer& lexer, int64_t n) {
    const size_t after_n = lexer.pos;
    const std::string_view data = lexer.data;
    auto just_n = [&] {
        lexer.pos = after_n;
        return Object(Number::integer(n));
    };
    // Most integers are followed by another operand or an operator: look at
    // one byte before lexing anything.
    lexer.skip_ws_and_comments();
    if (lexer.pos >= data.size() || !starts_number(static_cast<uint8_t>(data[lexer.pos]))) return just_n();
    Token generation;
    try {
        generation = lexer.next_token();
    } catch (const PdfError&) {
        return just_n();
    }
    if (generation.kind != TokenKind::Integer) return just_n();
    // The third token is the keyword R exactly when the next byte is R and
    // a delimiter (or the end) follows it.
    lexer.skip_ws_and_comments();
    const size_t r = lexer.pos;
    if (r >= data.size() || data[r] != 'R' || (r + 1 < data.size() && !chars::is_delimiter(static_cast<uint8_t>(data[r + 1])))) {
        return just_n();
    }
    lexer.pos = r + 1;
    if (n < 0 || n > static_cast<int64_t>(UINT32_MAX)) throw PdfError::invalid_token(after_n, "invalid object number");
    if (generation.integer < 0 || generation.integer > static_cast<int64_t>(UINT16_MAX)) {
        throw PdfError::invalid_token(after_n, "invalid generation");
    }
    return Object(ObjectId{static_cast<uint32_t>(n), static_cast<uint16_t>(generation.integer)});
}

// The length an inline image dictionary declares for its data (/L or
// /Length), if it declares a usable one.  The dictionary's entries are the
// operands of ID.
std::optional<size_t> inline_image_length(const std::vector<Object>& entries) {
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (!entries[i].is_name("L") && !entries[i].is_name("Length")) continue;
        const std::optional<int64_t> length = entries[i + 1].as_integer();
        if (length && *length >= 0) return static_cast<size_t>(*length);
    }
    return std::nullopt;
}

}  // namespace

Object ContentParser::object_from_token(Lexer& lexer, Token token, int depth) {
    switch (token.kind) {
        case TokenKind::ArrayStart: {
            if (depth >= kMaxNestingDepth) throw PdfError::invalid_token(token.start, "objects nested too deeply");
            Array array;
            array.reserve(8);  // TJ arrays: a few strings and their kerning
            for (;;) {
                Token item = lexer.next_token();
                if (item.kind == TokenKind::ArrayEnd) break;
                array.push_back(object_from_token(lexer, std::move(item), depth + 1));
            }
            return Object(std::move(array));
        }
        case TokenKind::DictStart: {
            if (depth >= kMaxNestingDepth) throw PdfError::invalid_token(token.start, "objects nested too deeply");
            // Sorted once at the end, as in the object parser.
            std::vector<Dictionary::Entry> entries;
            for (;;) {
                Token key = lexer.next_token();
                if (key.kind == TokenKind::DictEnd) break;
                if (key.kind != TokenKind::Name) throw PdfError::invalid_token(key.start, "expected content dictionary key");
                Object value = object_from_token(lexer, lexer.next_token(), depth + 1);
                entries.emplace_back(std::move(key.bytes), std::move(value));
            }
            return Object(Dictionary::from_entries(std::move(entries)));
        }
        case TokenKind::Name:
            return Object(Name{std::move(token.bytes)});
        case TokenKind::String:
            return Object(String{std::move(token.bytes)});
        case TokenKind::Real:
            return Object(Number::real(token.real));
        case TokenKind::Integer:
            return integer_or_reference(lexer, token.integer);
        case TokenKind::ArrayEnd:
        case TokenKind::DictEnd:
        case TokenKind::Keyword:
            break;
    }
    // Keywords are operators only at the top level; inside arrays and
    // dictionaries they (true, false and null included) are errors.
    throw PdfError::invalid_token(lexer.pos, "unexpected content token " + token.debug());
}

void ContentParser::skip_inline_image_data(const std::vector<Object>& dictionary_operands) {
    // BI <entries> ID <data> EI: the data is binary and may hold any byte,
    // so it is skipped rather than tokenised.  One white-space byte follows
    // ID; the data ends at an EI preceded by white space and followed by
    // white space or the end of the content.  A declared length tells where
    // to start looking.
    const std::string_view data = lexer_.data;
    size_t start = lexer_.pos;
    if (start < data.size() && chars::is_white(static_cast<uint8_t>(data[start]))) ++start;
    size_t from = start;
    const std::optional<size_t> length = inline_image_length(dictionary_operands);
    if (length && *length <= data.size() - start) from = start + *length;
    for (size_t at = data.find("EI", from); at != std::string_view::npos; at = data.find("EI", at + 1)) {
        const bool white_before = chars::is_white(static_cast<uint8_t>(data[at - 1])) || (length && at == from);
        const bool end_after = at + 2 == data.size() || chars::is_white(static_cast<uint8_t>(data[at + 2]));
        if (white_before && end_after) {
            lexer_.pos = at;
            return;
        }
    }
    throw PdfError::invalid_token(start, "inline image data without EI");
}

std::vector<ContentOperation> ContentParser::parse() {
    std::vector<ContentOperation> operations;
    std::vector<Object> operands;
    for (;;) {
        Token token;
        try {
            token = lexer_.next_token();
        } catch (const PdfError& error) {
            // Running out of bytes, even inside a token, ends the content.
            if (error.kind() == PdfError::Kind::UnexpectedEof) break;
            throw;
        }
        if (token.kind != TokenKind::Keyword) {
            operands.push_back(object_from_token(lexer_, std::move(token)));
        } else if (token.keyword == "true" || token.keyword == "false") {
            operands.emplace_back(token.keyword == "true");
        } else if (token.keyword == "null") {
            operands.emplace_back();
        } else {
            // Each operation gets its operands in one allocation of the
            // exact size; the pending list keeps its capacity for the next.
            operations.push_back(ContentOperation{
                std::string(token.keyword),
                std::vector<Object>(std::make_move_iterator(operands.begin()), std::make_move_iterator(operands.end()))});
            operands.clear();
            if (token.keyword == "ID") skip_inline_image_data(operations.back().operands);
        }
    }
    if (!operands.empty()) {
        throw PdfError::invalid_token(lexer_.data.size(), "content stream ended with dangling operands");
    }
    return operations;
}

std::vector<ContentOperation> parse_content_operations(std::string_view content) {
    // One content stream may serve every page of a file: parsing it for
    // each is charged.
    charge_work("page content", content.size());
    return ContentParser(content).parse();
}

// ---- text extraction ----

const std::optional<ToUnicodeCMap>* FontCache::find(const FontCacheKey& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

const std::optional<ToUnicodeCMap>& FontCache::insert(FontCacheKey key, std::optional<ToUnicodeCMap> cmap) {
    return entries_.emplace(std::move(key), std::move(cmap)).first->second;
}

std::string decode_text_string(std::string_view bytes) {
    // A byte order mark FE FF announces UTF-16BE; everything else is read as
    // UTF-8.  PDFDocEncoding is deliberately not applied.
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE && static_cast<uint8_t>(bytes[1]) == 0xFF) {
        return cmap::decode_utf16_be_units(bytes.substr(2));
    }
    return utf8_lossy(bytes);
}

void push_decoded_text(std::string& out, const ToUnicodeCMap* cmap, std::string_view bytes) {
    if (cmap) {
        cmap->decode_into(out, bytes);  // charges what it adds
        return;
    }
    const size_t before = out.size();
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
        out += bytes;  // ASCII reads the same in every decoding
    } else {
        out += decode_text_string(bytes);
    }
    charge_work("page text", out.size() - before);
}

namespace {

// The /Font dictionary of `resources` (which may be null), or nullptr when
// there is none.
const Dictionary* font_resources(const Document& document, const Dictionary* resources) {
    const Object* fonts = resources ? resources->get("Font") : nullptr;
    if (!fonts) return nullptr;
    const Dictionary* dictionary = document.resolve(*fonts).as_dict_like();
    if (!dictionary) throw PdfError::type_mismatch("page /Resources /Font", "dictionary");
    return dictionary;
}

// The page's resources, own or inherited; nullptr for none.
const Dictionary* page_resources(const Document& document, const PageEntry& page) {
    return document.page_resource_dictionary(*page.dictionary, page.attributes.resources);
}

}  // namespace

std::string extract_text_with_fonts(const std::vector<ContentOperation>& operations, TextContext& context) {
    std::string out;
    // Points into the font cache, whose entries never move or change.
    const ToUnicodeCMap* cmap = nullptr;
    for (const ContentOperation& operation : operations) {
        const std::string_view op = operation.op;
        if (op == "Tf") {
            const std::string* name = operation.operands.empty() ? nullptr : operation.operands.front().as_name();
            if (!name) continue;
            FontCacheKey key = context.document.font_cache_key(context.page, *name);
            const std::optional<ToUnicodeCMap>* cached = context.fonts.find(key);
            if (!cached) {
                std::optional<ToUnicodeCMap> cmap = context.document.kept_font_to_unicode(key, context.page, *name);
                cached = &context.fonts.insert(std::move(key), std::move(cmap));
            }
            cmap = *cached ? &**cached : nullptr;
        } else if (op == "Tj") {
            if (const std::string* shown = operation.last_string()) push_decoded_text(out, cmap, *shown);
        } else if (op == "TJ") {
            // Kerning numbers between the strings add nothing.
            const Array* items = operation.operands.empty() ? nullptr : operation.operands.back().as_array();
            if (!items) continue;
            for (const Object& item : *items) {
                if (const std::string* shown = item.as_string()) push_decoded_text(out, cmap, *shown);
            }
        } else if (op == "T*" || op == "'" || op == "\"") {
            // Only an explicit new line breaks the text, never at its start.
            if (!out.empty()) {
                out.push_back('\n');
                charge_work("page text", 1);
            }
            if (op != "T*") {
                if (const std::string* shown = operation.last_string()) push_decoded_text(out, cmap, *shown);
            }
        }
    }
    return out;
}

namespace {

// No real page holds this much content; a /Contents array naming one stream
// many times over could otherwise multiply a small file into any size.
constexpr size_t kMaxPageContentBytes = size_t{1} << 30;

}  // namespace

PageContent Document::page_content(const PageEntry& page) const {
    // Only the page's own /Contents counts; it is not inherited.
    PageContent content;
    const Object* contents = page.dictionary->get("Contents");
    if (!contents) return content;
    std::vector<const Stream*> streams;
    collect_content_streams(*contents, streams);
    if (streams.size() == 1) {
        content.single_.emplace(streams.front()->decoded_data_cow());
        return content;
    }
    // A stream boundary is a token boundary: one line feed between streams
    // keeps the last token of one from running into the first of the next.
    for (size_t i = 0; i < streams.size(); ++i) {
        const DecodedBytes decoded = streams[i]->decoded_data_cow();
        // The separator counts too: a join that has reached the bound
        // exactly must not step past it and wrap the check.
        const size_t separator = i > 0 ? 1 : 0;
        if (decoded.view().size() + separator > kMaxPageContentBytes - content.joined_.size()) {
            throw PdfError::limit_exceeded("page /Contents", kMaxPageContentBytes, "bytes of content");
        }
        // A stream named many times over is joined as many times.
        charge_work("page /Contents", decoded.view().size());
        if (separator) content.joined_.push_back('\n');
        content.joined_.append(decoded.view());
    }
    return content;
}

std::string Document::page_text_with_cache(const PageEntry& page, FontCache& cache) const {
    const PageContent content = page_content(page);
    const std::vector<ContentOperation> operations = parse_content_operations(content.view());
    TextContext context{*this, page, cache};
    return extract_text_with_fonts(operations, context);
}

std::string Document::page_text(const PageEntry& page) const {
    FontCache cache;
    return page_text_with_cache(page, cache);
}

std::vector<std::string> Document::page_texts() const {
    const std::vector<PageEntry>& all = pages();
    FontCache cache;
    std::vector<std::string> texts;
    texts.reserve(all.size());
    for (const PageEntry& page : all) texts.push_back(page_text_with_cache(page, cache));
    return texts;
}

std::string Document::text() const {
    trace::Span span(trace::kDocument, "text");
    const std::vector<PageEntry>& all = pages();
    if (span.active()) span.record("pages", std::to_string(all.size()));
    // One cache for the whole document: a font shared by many pages has its
    // CMap parsed once.
    FontCache cache;
    std::string out;
    for (size_t i = 0; i < all.size(); ++i) {
        if (i > 0) out.push_back('\n');
        out += page_text_with_cache(all[i], cache);
    }
    return out;
}

FontCacheKey Document::font_cache_key(const PageEntry& page, std::string_view font_name) const {
    if (const Dictionary* fonts = font_resources(*this, page_resources(*this, page))) {
        if (const Object* entry = fonts->get(font_name)) {
            if (const std::optional<ObjectId> id = entry->as_reference()) return FontCacheKey{*id};
        }
    }
    return FontCacheKey{LocalFontKey{std::string(font_name), page.id}};
}

std::optional<ToUnicodeCMap> Document::font_to_unicode(const PageEntry& page, std::string_view font_name) const {
    const Dictionary* font = named_font(*this, page_resources(*this, page), font_name);
    if (!font) return std::nullopt;
    return font_dictionary_to_unicode(*this, *font);
}

const Dictionary* named_font(const Document& document, const Dictionary* resources, std::string_view name) {
    const Dictionary* fonts = font_resources(document, resources);
    const Object* entry = fonts ? fonts->get(name) : nullptr;
    if (!entry) return nullptr;
    const Dictionary* font = document.resolve(*entry).as_dict_like();
    if (!font) throw PdfError::type_mismatch("font resource", "dictionary");
    return font;
}

std::optional<ToUnicodeCMap> font_dictionary_to_unicode(const Document& document, const Dictionary& font) {
    const Object* to_unicode = font.get("ToUnicode");
    if (!to_unicode) return std::nullopt;
    const Stream* stream = document.resolve(*to_unicode).as_stream();
    if (!stream) throw PdfError::type_mismatch("font /ToUnicode", "stream");
    const DecodedBytes bytes = stream->decoded_data_cow();
    return ToUnicodeCMap::parse(bytes.view());
}

// ---- references section ----

namespace {

uint8_t ascii_lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c | 0x20) : c; }

// Last occurrence of `word` (lower case) in `text` under ASCII case folding.
size_t rfind_folded(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return std::string_view::npos;
    for (size_t at = text.size() - word.size() + 1; at-- > 0;) {
        size_t i = 0;
        while (i < word.size() && ascii_lower(static_cast<uint8_t>(text[at + i])) == static_cast<uint8_t>(word[i])) ++i;
        if (i == word.size()) return at;
    }
    return std::string_view::npos;
}

// Unicode White_Space characters.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point of the well-formed UTF-8 sequence text[at, at + size), or
// nothing when it is not one.
std::optional<char32_t> utf8_at(std::string_view text, size_t at, size_t size) {
    const uint8_t lead = static_cast<uint8_t>(text[at]);
    if (size == 1) return lead < 0x80 ? std::optional<char32_t>(lead) : std::nullopt;
    static constexpr std::array<uint8_t, 5> kLeadMask = {0, 0, 0x1F, 0x0F, 0x07};
    char32_t c = lead & kLeadMask[size];
    for (size_t i = 1; i < size; ++i) {
        const uint8_t b = static_cast<uint8_t>(text[at + i]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (b & 0x3F);
    }
    return c;
}

size_t utf8_sequence_size(uint8_t lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
    for (;;) {
        if (text.empty()) return text;
        const size_t size = utf8_sequence_size(static_cast<uint8_t>(text.front()));
        if (size == 0 || size > text.size()) break;
        const std::optional<char32_t> c = utf8_at(text, 0, size);
        if (!c || !is_unicode_space(*c)) break;
        text.remove_prefix(size);
    }
    for (;;) {
        if (text.empty()) return text;
        size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
        const size_t size = text.size() - start;
        if (utf8_sequence_size(static_cast<uint8_t>(text[start])) != size) break;
        const std::optional<char32_t> c = utf8_at(text, start, size);
        if (!c || !is_unicode_space(*c)) break;
        text.remove_suffix(size);
    }
    return text;
}

std::optional<std::string_view> extract_references_section(std::string_view text) {
    // A heading starts a line, but a line feed before the word moves the
    // match exactly onto the word, so the last occurrence of any keyword
    // anywhere is where the section starts.  Matching folds ASCII case on
    // the text itself: no other character lower-cases into these words, and
    // the position found is always the keyword's own.
    static constexpr std::array<std::string_view, 3> kKeywords = {"references", "bibliography", "参考文献"};
    std::optional<size_t> start;
    for (std::string_view keyword : kKeywords) {
        const size_t at = rfind_folded(text, keyword);
        if (at != std::string_view::npos && (!start || at > *start)) start = at;
    }
    if (!start) return std::nullopt;
    const std::string_view section = text.substr(*start);
    // Anything shorter is a stray word, not a list of references.
    constexpr size_t kMinSectionBytes = 21;
    if (trim_unicode_space(section).size() < kMinSectionBytes) return std::nullopt;
    return section;
}

std::optional<std::string> Document::references_text() const {
    const std::string all = text();
    if (const std::optional<std::string_view> section = extract_references_section(all)) return std::string(*section);
    return std::nullopt;
}

}  // namespace quillet
