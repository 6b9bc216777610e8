// Writing: the text PDF writer and incremental updates.
#include "../link.h"
#include "../writer.h"
#include "module.h"

namespace quillet::py {

namespace {

// A rect argument names the corners x1, y1, x2, y2; any other count is
// refused before the file is read.
writer::Rect rect_argument(const std::vector<double>& numbers) {
    std::optional<writer::Rect> rect = annotation_rect(numbers);
    if (!rect) raise(PyExc_ValueError, std::string(kRectLengthMessage));
    return *rect;
}

// The loaded file's bytes, for an update that loads them again with the
// options the document was loaded with.  An encrypted document is refused
// first: no update could be written, so the file is not read again for it.
std::string update_source(const Call& c) {
    writer::refuse_encrypted(c.stored_doc());
    return source_bytes(c.data());
}

}  // namespace

const Method kWithMetadata{"with_metadata",
                           {{"title", "None"},
                            {"author", "None"},
                            {"subject", "None"},
                            {"keywords", "None"},
                            {"creator", "None"},
                            {"producer", "None"}},
                           Method::Instance,
                           [](Call& c) {
                               writer::MetadataUpdate update;
                               update.title = c.optional_str(0);
                               update.author = c.optional_str(1);
                               update.subject = c.optional_str(2);
                               update.keywords = c.optional_str(3);
                               update.creator = c.optional_str(4);
                               update.producer = c.optional_str(5);
                               const std::string bytes = update_source(c);
                               return to_py_bytes(writer::update_metadata_incremental(bytes, update, c.data().options));
                           }};

const Method kWithTextAnnotation{"with_text_annotation", {{"page_index"}, {"rect"}, {"contents"}}, Method::Instance,
                                 [](Call& c) {
                                     const uint64_t page_index = c.u64(0);
                                     const std::vector<double> numbers = c.numbers(1);
                                     const std::string contents = c.str(2);
                                     const writer::Rect rect = rect_argument(numbers);
                                     const std::string bytes = update_source(c);
                                     return to_py_bytes(
                                         writer::add_text_annotation_incremental(bytes, page_index, rect, contents,
                                                                                 c.data().options));
                                 }};

const Method kWithUriLink{"with_uri_link", {{"page_index"}, {"rect"}, {"uri"}}, Method::Instance, [](Call& c) {
                              const uint64_t page_index = c.u64(0);
                              const std::vector<double> numbers = c.numbers(1);
                              const std::string uri = c.str(2);
                              const writer::Rect rect = rect_argument(numbers);
                              const std::string bytes = update_source(c);
                              return to_py_bytes(writer::add_uri_link_incremental(bytes, page_index, rect, uri, c.data().options));
                          }};

const Method kWriteTextPdf{"write_text_pdf", {{"pages"}, {"title", "None"}, {"author", "None"}}, Method::Function,
                           [](Call& c) {
                               writer::PdfWriter input;
                               input.pages = c.strings(0);
                               input.title = c.optional_str(1);
                               input.author = c.optional_str(2);
                               return to_py_bytes(writer::write_text_pdf(input));
                           }};

}  // namespace quillet::py
