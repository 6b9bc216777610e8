// Pages and text.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kPageCount{"page_count", {}, Method::Instance, not_built};
const Method kText{"text", {}, Method::Instance, not_built};
const Method kReferencesText{"references_text", {}, Method::Instance, not_built};
const Method kPageTexts{"page_texts", {}, Method::Instance, not_built};
const Method kPageText{"page_text", {{"index"}}, Method::Instance, not_built};
const Method kPages{"pages", {}, Method::Instance, not_built};

}  // namespace quillet::py
