// Writing: the text PDF writer and incremental updates.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kWithMetadata{"with_metadata", {{"title", "None"}, {"author", "None"}, {"subject", "None"}, {"keywords", "None"}, {"creator", "None"}, {"producer", "None"}}, Method::Instance, not_built};
const Method kWithTextAnnotation{"with_text_annotation", {{"page_index"}, {"rect"}, {"contents"}}, Method::Instance, not_built};
const Method kWithUriLink{"with_uri_link", {{"page_index"}, {"rect"}, {"uri"}}, Method::Instance, not_built};
const Method kWriteTextPdf{"write_text_pdf", {{"pages"}, {"title", "None"}, {"author", "None"}}, Method::Function, not_built};

}  // namespace quillet::py
