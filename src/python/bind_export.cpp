// Markdown and the language-model exports.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kToMarkdown{"to_markdown", {}, Method::Instance, not_built};
const Method kPageChunks{"page_chunks", {{"include_fonts", "False"}, {"include_images", "False"}}, Method::Instance, not_built};
const Method kLlmDocument{"llm_document", {{"include_text", "True"}, {"include_images", "True"}, {"include_links", "True"}, {"include_annotations", "True"}, {"ocr", "\"auto\""}}, Method::Instance, not_built};
const Method kLlmChunks{"llm_chunks", {{"include_text", "True"}, {"include_images", "True"}, {"include_links", "True"}, {"include_annotations", "True"}, {"ocr", "\"auto\""}}, Method::Instance, not_built};
const Method kOcrRequests{"ocr_requests", {{"ocr", "\"auto\""}}, Method::Instance, not_built};

}  // namespace quillet::py
