// The library's single error type.  Every fallible operation either returns
// its result or throws one PdfError; the Python binding turns it into a
// ValueError carrying exactly the display text built here.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "object.h"

namespace quillet {

class PdfError : public std::exception {
public:
    // The variants, in their fixed order.
    enum class Kind : uint8_t {
        UnexpectedEof,
        InvalidHeader,
        InvalidStartXref,
        InvalidXref,
        InvalidObjectHeader,
        DanglingReference,
        Decode,
        MissingEntry,
        PageTreeCycle,
        OutlineCycle,
        NameTreeCycle,
        NumberTreeCycle,
        FormFieldCycle,
        XObjectCycle,
        TypeMismatch,
        InvalidToken,
        Unsupported,
        Io,
    };

    static PdfError unexpected_eof();
    static PdfError invalid_header();
    static PdfError invalid_start_xref();
    static PdfError invalid_xref();
    static PdfError invalid_object_header();
    static PdfError dangling_reference(ObjectId id);
    static PdfError decode(std::string_view filter, std::string_view message);
    static PdfError missing_entry(std::string_view context, std::string_view key);
    static PdfError page_tree_cycle(ObjectId id);
    static PdfError outline_cycle(ObjectId id);
    static PdfError name_tree_cycle(ObjectId id);
    static PdfError number_tree_cycle(ObjectId id);
    static PdfError form_field_cycle(ObjectId id);
    static PdfError xobject_cycle(ObjectId id);
    static PdfError type_mismatch(std::string_view context, std::string_view expected);
    // A bound on hostile input was reached: a type mismatch whose expected
    // text is "at most {limit} {what}" (e.g. "at most 512 levels").
    static PdfError limit_exceeded(std::string_view context, uint64_t limit, std::string_view what);
    static PdfError invalid_token(uint64_t offset, std::string_view message);
    static PdfError unsupported(uint64_t offset, std::string_view feature);
    static PdfError io(std::string_view context, std::string_view message);

    Kind kind() const { return kind_; }
    // The display text, e.g. "dangling reference to object 12 0".
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    PdfError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

// The operating system's description of an error number, in the form the
// I/O messages use: "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

// Bytes read as UTF-8, each maximal ill-formed subsequence replaced by
// U+FFFD.  How names and byte-string fields of errors become text.
std::string utf8_lossy(std::string_view bytes);

}  // namespace quillet
