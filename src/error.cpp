#include "error.h"

#include <cstring>

namespace quillet {

namespace {

std::string with_id(std::string_view prefix, ObjectId id) {
    std::string text(prefix);
    text += id.display();
    return text;
}

// strerror_r comes in two shapes: the XSI one returns an int and fills the
// buffer, the GNU one returns a pointer that may or may not be the buffer.
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }

}  // namespace

PdfError PdfError::unexpected_eof() { return PdfError(Kind::UnexpectedEof, "unexpected end of PDF data"); }
PdfError PdfError::invalid_header() { return PdfError(Kind::InvalidHeader, "invalid PDF header"); }
PdfError PdfError::invalid_start_xref() { return PdfError(Kind::InvalidStartXref, "invalid startxref section"); }
PdfError PdfError::invalid_xref() { return PdfError(Kind::InvalidXref, "invalid cross-reference table"); }
PdfError PdfError::invalid_object_header() {
    return PdfError(Kind::InvalidObjectHeader, "invalid indirect object header");
}

PdfError PdfError::dangling_reference(ObjectId id) {
    return PdfError(Kind::DanglingReference, with_id("dangling reference to object ", id));
}

PdfError PdfError::decode(std::string_view filter, std::string_view message) {
    std::string text = "failed to decode /";
    text += utf8_lossy(filter);
    text += " stream: ";
    text += message;
    return PdfError(Kind::Decode, std::move(text));
}

PdfError PdfError::missing_entry(std::string_view context, std::string_view key) {
    std::string text = "missing required entry /";
    text += utf8_lossy(key);
    text += " in ";
    text += context;
    return PdfError(Kind::MissingEntry, std::move(text));
}

PdfError PdfError::page_tree_cycle(ObjectId id) {
    return PdfError(Kind::PageTreeCycle, with_id("page tree contains a cycle at object ", id));
}
PdfError PdfError::outline_cycle(ObjectId id) {
    return PdfError(Kind::OutlineCycle, with_id("outline tree contains a cycle at object ", id));
}
PdfError PdfError::name_tree_cycle(ObjectId id) {
    return PdfError(Kind::NameTreeCycle, with_id("name tree contains a cycle at object ", id));
}
PdfError PdfError::number_tree_cycle(ObjectId id) {
    return PdfError(Kind::NumberTreeCycle, with_id("number tree contains a cycle at object ", id));
}
PdfError PdfError::form_field_cycle(ObjectId id) {
    return PdfError(Kind::FormFieldCycle, with_id("form field tree contains a cycle at object ", id));
}
PdfError PdfError::xobject_cycle(ObjectId id) {
    return PdfError(Kind::XObjectCycle, with_id("XObject resource tree contains a cycle at object ", id));
}

PdfError PdfError::type_mismatch(std::string_view context, std::string_view expected) {
    std::string text = "type mismatch in ";
    text += context;
    text += ": expected ";
    text += expected;
    return PdfError(Kind::TypeMismatch, std::move(text));
}

PdfError PdfError::limit_exceeded(std::string_view context, uint64_t limit, std::string_view what) {
    return type_mismatch(context, "at most " + std::to_string(limit) + " " + std::string(what));
}

PdfError PdfError::invalid_token(uint64_t offset, std::string_view message) {
    std::string text = "invalid token at byte ";
    text += std::to_string(offset);
    text += ": ";
    text += message;
    return PdfError(Kind::InvalidToken, std::move(text));
}

PdfError PdfError::unsupported(uint64_t offset, std::string_view feature) {
    std::string text = "unsupported PDF feature at byte ";
    text += std::to_string(offset);
    text += ": ";
    text += feature;
    return PdfError(Kind::Unsupported, std::move(text));
}

PdfError PdfError::io(std::string_view context, std::string_view message) {
    std::string text(context);
    text += ": ";
    text += message;
    return PdfError(Kind::Io, std::move(text));
}

std::string os_error_text(int error_number) {
    char buffer[256] = {};
    const char* text = strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
    std::string result = text && *text ? text : "Unknown error";
    result += " (os error ";
    result += std::to_string(error_number);
    result += ')';
    return result;
}

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = static_cast<uint8_t>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte
        // (the table of well-formed UTF-8 byte sequences); the remaining
        // continuation bytes are always 80..BF.
        size_t length = 0;
        uint8_t low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        // Consume the longest valid prefix; a broken sequence is replaced by
        // one U+FFFD and reading resumes at the byte that broke it.
        size_t j = i + 1;
        while (j < i + length && j < n) {
            const uint8_t c = static_cast<uint8_t>(bytes[j]);
            const bool ok = j == i + 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) break;
            ++j;
        }
        if (j == i + length) {
            out.append(bytes.substr(i, length));
        } else {
            out += kReplacement;
        }
        i = j;
    }
    return out;
}

}  // namespace quillet
