#include "writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

#include "error.h"
#include "inspect.h"
#include "lexer.h"
#include "metadata.h"
#include "page.h"
#include "parser.h"

namespace quillet::writer {

namespace {

// The context of every refusal to serialise an object: what we write is the
// material of an update (page copies, the trailer's /Root).
constexpr std::string_view kObjectContext = "incremental trailer object";

// What we write must load again: an array or dictionary is written only
// where the parser accepts one, inside fewer than kMaxNestingDepth others.
// A copied value can end up deeper than it was read (a page's indirect
// /Annots array becomes a direct entry of the page), so the bound is
// checked here rather than assumed.  It also keeps a hand-built object
// from exhausting the stack while it is written.
constexpr int kMaxLiteralDepth = kMaxNestingDepth;

// Digits of a number can make a cross-reference stream parse at each of
// their positions, so a hostile file can hold an older section at a run of
// consecutive places; a run longer than this is refused.
constexpr size_t kMaxOffsetPadding = 64;

// A classic cross-reference entry has room for ten offset digits.
constexpr uint64_t kMaxXrefOffset = 9'999'999'999;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// ---- text ----

// Calls f with each Unicode scalar value of `text`; ill-formed UTF-8 is read
// as U+FFFD, like every other text decoding in the library.
template <class F>
void for_each_code_point(std::string_view text, F f) {
    const std::string valid = utf8_lossy(text);
    const size_t n = valid.size();
    size_t i = 0;
    while (i < n) {
        const auto lead = static_cast<uint8_t>(valid[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<uint8_t>(valid[i + k]) & 0x3F);
        f(cp);
        i += length;
    }
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// Unicode White_Space, the characters a blank Info value may consist of.
bool is_unicode_white(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_blank(std::string_view text) {
    bool blank = true;
    for_each_code_point(text, [&](char32_t c) { blank = blank && is_unicode_white(c); });
    return blank;
}

void append_utf16_be_unit(std::string& out, uint32_t unit) {
    out += static_cast<char>(unit >> 8);
    out += static_cast<char>(unit & 0xFF);
}

// ---- objects ----

// A name byte that may stand for itself: printable ASCII other than the
// delimiters and the escape character '#'.
bool is_regular_name_byte(uint8_t c) { return c >= 0x21 && c <= 0x7E && c != '#' && !chars::is_delimiter(c); }

void append_name(std::string& out, std::string_view bytes) {
    out += '/';
    for (const char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        if (is_regular_name_byte(c)) {
            out += ch;
        } else {
            out += '#';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        }
    }
}

void append_real(std::string& out, double value) {
    // No PDF number can hold an infinity or NaN.
    if (!std::isfinite(value)) throw PdfError::type_mismatch(kObjectContext, "finite number");
    out += real_to_text(value);
    // An integral value is written without a point and would read back as an
    // integer; from 2^63 on no integer can hold it, so keep it a real.
    if (std::fabs(value) >= 9223372036854775808.0) out += ".0";
}

// `depth` counts the arrays and dictionaries around `object` in the text
// being written.
void append_object(std::string& out, const Object& object, int depth) {
    const bool container = object.kind() == Object::kArray || object.kind() == Object::kDictionary;
    if (container && depth >= kMaxLiteralDepth) {
        throw PdfError::limit_exceeded(kObjectContext, kMaxLiteralDepth, "levels of nesting");
    }
    switch (object.kind()) {
        case Object::kNull: out += "null"; return;
        case Object::kBoolean: out += *object.as_bool() ? "true" : "false"; return;
        case Object::kNumber: {
            const Number& n = *object.as_number();
            if (n.is_integer()) {
                out += std::to_string(n.integer_value());
            } else {
                append_real(out, n.real_value());
            }
            return;
        }
        case Object::kName: append_name(out, *object.as_name()); return;
        case Object::kString: out += string_literal(*object.as_string()); return;
        case Object::kArray: {
            out += '[';
            bool first = true;
            for (const Object& item : *object.as_array()) {
                if (!first) out += ' ';
                first = false;
                append_object(out, item, depth + 1);
            }
            out += ']';
            return;
        }
        case Object::kDictionary:
            out += "<<";
            for (const auto& [key, value] : *object.as_dictionary()) {
                out += ' ';
                append_name(out, key);
                out += ' ';
                append_object(out, value, depth + 1);
            }
            out += " >>";
            return;
        case Object::kReference: out += object.as_reference()->reference_text(); return;
        case Object::kStream: throw PdfError::type_mismatch(kObjectContext, "scalar object");
    }
}

// ---- the text document ----

void append_content_line(std::string& content, std::string_view line) {
    content += " (";
    content += escape_pdf_string(line);
    content += ") Tj T*";
}

// BT ... ET drawing each line of `text` 14 points below the previous one.
std::string page_content(std::string_view text) {
    std::string content = "BT /F1 12 Tf 72 720 Td 14 TL";
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(start, end - start);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        append_content_line(content, line);
        if (lf == std::string_view::npos) break;
        start = lf + 1;  // a final line feed starts no empty last line
    }
    content += " ET";
    return content;
}

std::string ref_text(uint64_t number) { return std::to_string(number) + " 0 R"; }

// "0000001234 00000 n \n": one 20-byte cross-reference entry.
void append_xref_entry(std::string& out, uint64_t offset, uint16_t generation) {
    if (offset > kMaxXrefOffset) throw PdfError::unsupported(offset, "cross-reference offset beyond ten digits");
    char entry[21];
    std::snprintf(entry, sizeof entry, "%010llu %05u n \n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned>(generation));
    out.append(entry, 20);
}

// ---- updates ----

Document parse_for_update(std::string_view bytes, const LoadOptions& options) {
    Document document = Document::parse(bytes, options);
    refuse_encrypted(document);
    return document;
}

// The largest object number the file uses: loaded objects, and also the
// cross-reference entries, whose numbers may not be reused: a free entry
// can carry generation 65535 (never reuse), and a hybrid file usually lists
// its compressed objects as free in the table that is read here, so a new
// object under such a number would replace one for every reader of the
// hidden cross-reference stream.
uint32_t largest_object_number(const Document& document) {
    uint32_t largest = 0;
    if (document.objects.size() != 0) largest = std::prev(document.objects.end())->first.number;
    if (!document.xref.empty()) largest = std::max(largest, document.xref.rbegin()->first.number);
    return largest;
}

// The number of a new object: one above every number of the file.
uint32_t next_object_number(const Document& document) {
    const uint32_t largest = largest_object_number(document);
    if (largest == UINT32_MAX) throw PdfError::unsupported(0, "no object number left for a new object");
    return largest + 1;
}

void check_finite(const Rect& rect) {
    for (const double v : rect) {
        if (!std::isfinite(v)) throw PdfError::type_mismatch("annotation rect", "finite numbers");
    }
}

Array rect_array(const Rect& rect) {
    Array out;
    for (const double v : rect) out.emplace_back(Number::real(v));
    return out;
}

}  // namespace

// An update writes plain objects and no /Encrypt: appended to an encrypted
// file it would produce objects no reader decrypts correctly.
void refuse_encrypted(const Document& document) {
    if (document.trailer.contains("Encrypt"))
        throw PdfError::unsupported(0, "incremental update of an encrypted document");
}

// ---- serialisation ----

std::string object_literal(const Object& object) {
    std::string out;
    append_object(out, object, 0);
    return out;
}

std::string escape_pdf_string(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for_each_code_point(text, [&](char32_t c) {
        switch (c) {
            case '\n': out += "\\n"; return;
            case '\r': return;
            case '(': out += "\\("; return;
            case ')': out += "\\)"; return;
            case '\\': out += "\\\\"; return;
            default: break;
        }
        if (c <= 0x7F) {
            out += static_cast<char>(c);
            return;
        }
        char buffer[16];
        const int n = std::snprintf(buffer, sizeof buffer, "?\\u{%x}", static_cast<unsigned>(c));
        out.append(buffer, static_cast<size_t>(n));
    });
    return out;
}

std::string text_string_bytes(std::string_view text) {
    if (is_ascii(text)) {
        std::string out;
        out.reserve(text.size());
        for (const char c : text) {
            if (c != '\r') out += c;
        }
        return out;
    }
    // FE FF marks UTF-16BE; characters beyond the BMP take a surrogate pair.
    std::string out = "\xFE\xFF";
    for_each_code_point(text, [&](char32_t c) {
        if (c < 0x10000) {
            append_utf16_be_unit(out, c);
        } else {
            const uint32_t v = c - 0x10000;
            append_utf16_be_unit(out, 0xD800 + (v >> 10));
            append_utf16_be_unit(out, 0xDC00 + (v & 0x3FF));
        }
    });
    return out;
}

std::string string_literal(std::string_view bytes) {
    std::string out;
    if (!is_ascii(bytes)) {
        // Binary data (identifiers, UTF-16 text) is clearest and safest in
        // hexadecimal form.
        out.reserve(2 * bytes.size() + 2);
        out += '<';
        for (const char ch : bytes) {
            const auto c = static_cast<uint8_t>(ch);
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        }
        out += '>';
        return out;
    }
    // A literal string keeps every byte except that a reader turns a raw
    // CR or CR LF into LF, so both line ends are escaped, as are the
    // delimiters and the escape character.
    out.reserve(bytes.size() + 2);
    out += '(';
    for (const char c : bytes) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '(': out += "\\("; break;
            case ')': out += "\\)"; break;
            case '\\': out += "\\\\"; break;
            default: out += c;
        }
    }
    out += ')';
    return out;
}

// ---- new text documents ----

std::string write_text_pdf(const PdfWriter& input) {
    // An empty list still makes one blank page.
    const size_t m = std::max<size_t>(input.pages.size(), 1);
    const uint64_t info_number = 2 * uint64_t{m} + 3;

    std::vector<std::pair<uint64_t, std::string>> objects;
    objects.reserve(2 * m + 3);

    std::string kids;
    for (size_t i = 0; i < m; ++i) {
        if (i) kids += ' ';
        kids += ref_text(2 * i + 3);
    }
    objects.emplace_back(1, "<< /Type /Catalog /Pages 2 0 R >>");
    objects.emplace_back(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(m) + " >>");

    for (size_t i = 0; i < m; ++i) {
        const std::string content = page_content(i < input.pages.size() ? std::string_view(input.pages[i]) : "");
        objects.emplace_back(2 * i + 3,
                             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 << "
                             "/Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> /Contents " +
                                 ref_text(2 * i + 4) + " >>");
        objects.emplace_back(2 * i + 4, "<< /Length " + std::to_string(content.size()) + "  >>\nstream\n" + content +
                                            "\nendstream");
    }

    std::string info = "<< /Producer (quillet)";
    if (input.title) info += " /Title " + string_literal(text_string_bytes(*input.title));
    if (input.author) info += " /Author " + string_literal(text_string_bytes(*input.author));
    info += " >>";
    objects.emplace_back(info_number, std::move(info));

    std::string out = "%PDF-1.7\n%\x80\x80\x80\x80\n";
    std::vector<uint64_t> offsets;
    offsets.reserve(objects.size());
    for (const auto& [number, body] : objects) {
        offsets.push_back(out.size());
        out += std::to_string(number);
        out += " 0 obj\n";
        out += body;
        out += "\nendobj\n";
    }

    // Objects were created as 1, 2, ..., so offsets[k] belongs to number k + 1.
    const uint64_t xref_offset = out.size();
    const uint64_t size = info_number + 1;
    out += "xref\n0 " + std::to_string(size) + "\n0000000000 65535 f \n";
    for (const uint64_t offset : offsets) append_xref_entry(out, offset, 0);
    out += "trailer\n<< /Size " + std::to_string(size) + " /Root 1 0 R /Info " + ref_text(info_number) + " >>";
    out += "\nstartxref\n" + std::to_string(xref_offset) + "\n%%EOF\n";
    return out;
}

// ---- incremental updates ----

std::string append_incremental_update(std::string_view bytes, const Document& document,
                                      const std::vector<UpdateObject>& objects, std::optional<ObjectId> info) {
    refuse_encrypted(document);
    const Object* root = document.trailer.get("Root");
    if (!root) throw PdfError::missing_entry("trailer", "Root");
    // Written inside the trailer dictionary, one level down.
    std::string root_text;
    append_object(root_text, *root, 1);

    // A direct Info dictionary is not carried over: the update has nowhere
    // to put it but the trailer, which holds references only by convention.
    std::optional<ObjectId> info_ref = info;
    if (!info_ref) {
        if (const Object* old = document.trailer.get("Info")) info_ref = old->as_reference();
    }

    uint64_t largest = largest_object_number(document);
    for (const UpdateObject& object : objects) largest = std::max<uint64_t>(largest, object.id.number);
    const uint64_t size = largest + 1;

    std::string out(bytes);
    if (out.empty() || out.back() != '\n') out += '\n';
    // The new offsets count the way the file's own do: from its header when
    // bytes before the header are not counted.
    const uint64_t base = document.offset_base;

    struct Placed {
        ObjectId id;
        uint64_t offset;
    };
    std::vector<Placed> placed;
    placed.reserve(objects.size());
    for (const UpdateObject& object : objects) {
        placed.push_back({object.id, out.size() - base});
        out += std::to_string(object.id.number) + " " + std::to_string(object.id.generation) + " obj\n";
        out += object.body;
        out += "\nendobj\n";
    }

    // One subsection per object, ascending; no free-list head, since the
    // section changes no free entry.
    std::stable_sort(placed.begin(), placed.end(),
                     [](const Placed& a, const Placed& b) { return a.id.number < b.id.number; });
    std::string trailer = "trailer\n<< /Size " + std::to_string(size) + " /Root " + root_text;
    if (info_ref) trailer += " /Info " + info_ref->reference_text();
    trailer += " /Prev " + std::to_string(document.start_xref) + " >>";

    // A file whose offsets count from a header preceded by other bytes is
    // read that way only when its startxref, taken as given, names no
    // section; the update's startxref can happen to name an older one there,
    // and the file would then read with the wrong offsets.  Line feeds
    // before the new section move it off such a place.
    const size_t objects_end = out.size();
    for (size_t padding = 0;; ++padding) {
        out.resize(objects_end);
        out.append(padding, '\n');
        const uint64_t xref_offset = out.size() - base;
        out += "xref\n";
        for (const Placed& p : placed) {
            out += std::to_string(p.id.number) + " 1\n";
            append_xref_entry(out, p.offset, p.id.generation);
        }
        out += trailer;
        out += "\nstartxref\n" + std::to_string(xref_offset) + "\n%%EOF\n";
        if (base == 0 || offset_base_of(out) == base) return out;
        if (padding == kMaxOffsetPadding) {
            throw PdfError::unsupported(0, "an update whose offsets read back as the file counts them");
        }
    }
}

void push_info_entry(std::string& info, std::string_view key, std::string_view value) {
    if (is_blank(value)) return;
    info += " /";
    info += key;
    info += ' ';
    info += string_literal(text_string_bytes(value));
}

std::string update_metadata_incremental(std::string_view bytes, const MetadataUpdate& update,
                                        const LoadOptions& options) {
    const Document document = parse_for_update(bytes, options);
    const CallScope scope(document);
    const DocumentMetadata current = document.metadata();
    const ObjectId id{next_object_number(document), 0};

    std::string body = "<<";
    push_info_entry(body, "Title", update.title ? *update.title : current.title);
    push_info_entry(body, "Author", update.author ? *update.author : current.author);
    push_info_entry(body, "Subject", update.subject ? *update.subject : current.subject);
    push_info_entry(body, "Keywords", update.keywords ? *update.keywords : current.keywords);
    push_info_entry(body, "Creator", update.creator ? *update.creator : current.creator);
    // The producer is the program that wrote this revision.
    push_info_entry(body, "Producer", update.producer ? std::string_view(*update.producer) : "quillet");
    body += " >>";

    return append_incremental_update(bytes, document, {{id, std::move(body)}}, id);
}

std::string add_uri_link_incremental(std::string_view bytes, uint64_t page_index, const Rect& rect,
                                     std::string_view uri, const LoadOptions& options) {
    check_finite(rect);
    Dictionary action;
    action.insert("S", Name{"URI"});
    // The URI's own bytes: a reader hands them back unchanged.
    action.insert("URI", String{std::string(uri)});
    Dictionary annotation;
    annotation.insert("Type", Name{"Annot"});
    annotation.insert("Subtype", Name{"Link"});
    annotation.insert("Rect", rect_array(rect));
    annotation.insert("A", std::move(action));
    return add_annotation_incremental(bytes, page_index, std::move(annotation), options);
}

std::string add_text_annotation_incremental(std::string_view bytes, uint64_t page_index, const Rect& rect,
                                            std::string_view contents, const LoadOptions& options) {
    check_finite(rect);
    Dictionary annotation;
    annotation.insert("Type", Name{"Annot"});
    annotation.insert("Subtype", Name{"Text"});
    annotation.insert("Rect", rect_array(rect));
    annotation.insert("Contents", String{text_string_bytes(contents)});
    return add_annotation_incremental(bytes, page_index, std::move(annotation), options);
}

std::string add_annotation_incremental(std::string_view bytes, uint64_t page_index, Dictionary annotation,
                                       const LoadOptions& options) {
    const Document document = parse_for_update(bytes, options);
    const CallScope scope(document);
    const std::vector<PageEntry>& pages = document.pages();
    if (page_index >= pages.size()) throw PdfError::type_mismatch("page index", "existing page");
    const ObjectId annotation_id{next_object_number(document), 0};
    const PageEntry& page = pages[page_index];

    // The page's own /Annots only: annotations are not inherited.  An
    // indirect array is copied into the page, which no longer refers to it.
    Dictionary page_copy = *page.dictionary;
    Array annots;
    if (const Object* own = page_copy.get("Annots")) {
        const Array* existing = document.resolve(*own).as_array();
        if (!existing) throw PdfError::type_mismatch("page /Annots", "array");
        annots = *existing;
    }
    annots.emplace_back(annotation_id);
    page_copy.insert("Annots", std::move(annots));

    std::vector<UpdateObject> objects;
    objects.push_back({page.id, object_literal(page_copy)});
    objects.push_back({annotation_id, object_literal(annotation)});
    return append_incremental_update(bytes, document, objects, std::nullopt);
}

}  // namespace quillet::writer
