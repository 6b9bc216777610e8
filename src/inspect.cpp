#include "inspect.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "content.h"
#include "error.h"

namespace quillet {

namespace {

void append_object(std::string& out, const Object& object, StringDecoder decode_string);

void append_dictionary(std::string& out, const Dictionary& dictionary, StringDecoder decode_string) {
    if (dictionary.empty()) {
        out += "<< >>";
        return;
    }
    out += "<<";
    for (const auto& [key, value] : dictionary) {
        out += " /";
        out += utf8_lossy(key);
        out += ' ';
        append_object(out, value, decode_string);
    }
    out += " >>";
}

// Stream bodies are previewed only when short and plainly textual, so a
// listing stays one readable screen per object.
constexpr size_t kStreamPreviewLimit = 120;

bool is_preview_byte(uint8_t c) {
    return (c >= 0x21 && c <= 0x7E) || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

void append_stream(std::string& out, const Stream& stream, StringDecoder decode_string) {
    append_dictionary(out, stream.dict, decode_string);
    out += "\nstream\n<";
    out += std::to_string(stream.data.size());
    out += " encoded bytes";
    const std::string_view data = stream.data;
    const bool preview = data.size() <= kStreamPreviewLimit &&
                         std::all_of(data.begin(), data.end(), [](char c) { return is_preview_byte(static_cast<uint8_t>(c)); });
    if (preview) {
        out += ": ";
        for (const char c : data) {
            if (c == '\r' || c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        }
    }
    out += ">\nendstream";
}

// Recursion follows the object's own nesting, which the parser already
// bounds (kMaxNestingDepth in parser.h); no loaded object can be deeper.
void append_object(std::string& out, const Object& object, StringDecoder decode_string) {
    switch (object.kind()) {
        case Object::kNull:
            out += "null";
            return;
        case Object::kBoolean:
            out += *object.as_bool() ? "true" : "false";
            return;
        case Object::kNumber: {
            const Number& n = *object.as_number();
            out += n.is_integer() ? std::to_string(n.integer_value()) : real_to_text(n.real_value());
            return;
        }
        case Object::kName:
            out += '/';
            out += utf8_lossy(*object.as_name());
            return;
        case Object::kString:
            out += '(';
            out += decode_string(*object.as_string());
            out += ')';
            return;
        case Object::kArray: {
            out += '[';
            bool first = true;
            for (const Object& item : *object.as_array()) {
                if (!first) out += ' ';
                first = false;
                append_object(out, item, decode_string);
            }
            out += ']';
            return;
        }
        case Object::kDictionary:
            append_dictionary(out, *object.as_dictionary(), decode_string);
            return;
        case Object::kReference:
            out += object.as_reference()->reference_text();
            return;
        case Object::kStream:
            append_stream(out, *object.as_stream(), decode_string);
            return;
    }
}

void append_summary(std::string& out, ObjectId id, const Object& object, const XrefEntry* entry) {
    out += std::to_string(id.number);
    out += ' ';
    out += std::to_string(id.generation);
    out += " obj";
    if (entry) {
        out += " % ";
        out += xref_entry_text(*entry);
    }
    out += " % ";
    out += object.kind_label();
    out += '\n';
    append_object(out, object, decode_text_string);
    out += "\nendobj";
}

const XrefEntry* find_entry(const XrefMap& xref, ObjectId id) {
    auto it = xref.find(id);
    return it == xref.end() ? nullptr : &it->second;
}

}  // namespace

std::string object_to_text(const Object& object) { return object_to_text(object, decode_text_string); }

std::string object_to_text(const Object& object, StringDecoder decode_string) {
    std::string out;
    append_object(out, object, decode_string);
    return out;
}

std::string dictionary_to_text(const Dictionary& dictionary) {
    std::string out;
    append_dictionary(out, dictionary, decode_text_string);
    return out;
}

std::string xref_entry_text(const XrefEntry& entry) {
    if (const auto* free = std::get_if<XrefFree>(&entry)) {
        return "free next=" + std::to_string(free->next) + " generation=" + std::to_string(free->generation);
    }
    if (const auto* in_use = std::get_if<XrefInUse>(&entry)) {
        return "in-use offset=" + std::to_string(in_use->offset) + " generation=" + std::to_string(in_use->generation);
    }
    const auto& compressed = std::get<XrefCompressed>(entry);
    return "compressed object_stream=" + std::to_string(compressed.object_stream) +
           " index=" + std::to_string(compressed.index);
}

// The shortest round-trip digits come from to_chars in scientific form
// ("d.ddde±XX"); the exponent is then spelled out as zeros and a point, so
// the text never uses exponent notation (1e21 is a 1 and 21 zeros).
std::string real_to_text(double value) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc()) return "0";  // cannot happen: 64 bytes hold any double
    const std::string_view text(buf, static_cast<size_t>(end - buf));
    const size_t e = text.find('e');
    if (e == std::string_view::npos) return std::string(text);  // inf or nan

    std::string_view mantissa = text.substr(0, e);
    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') digits += c;
    }
    // Exponents of a double lie within ±324: from_chars cannot fail here.
    int exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    // The value is 0.DIGITS times 10^point: `point` digits precede the point.
    const long point = long{exponent} + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<size_t>(point));
        out += '.';
        out.append(digits, static_cast<size_t>(point));
    }
    return out;
}

PdfObjectSummary PdfObjectSummary::make(uint32_t number, uint16_t generation, const Object& object,
                                        const XrefEntry* entry) {
    PdfObjectSummary summary{object_to_text(object), std::nullopt, object.kind_label(), number, generation};
    if (entry) summary.xref = xref_entry_text(*entry);
    return summary;
}

PdfObjectSummary Document::object_summary(uint32_t number, uint16_t generation) const {
    const ObjectId id{number, generation};
    return PdfObjectSummary::make(number, generation, get(id), find_entry(xref, id));
}

std::string Document::dump_objects() const {
    std::string out;
    bool first = true;
    for (const auto& [id, object] : objects) {
        if (!first) out += "\n\n";
        first = false;
        append_summary(out, id, object, find_entry(xref, id));
    }
    return out;
}

}  // namespace quillet
