// Outlines, annotations, links, destinations and form fields.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kOutlines{"outlines", {}, Method::Instance, not_built};
const Method kPageAnnotations{"page_annotations", {{"index"}}, Method::Instance, not_built};
const Method kPageLinks{"page_links", {{"index"}}, Method::Instance, not_built};
const Method kNamedDestinations{"named_destinations", {}, Method::Instance, not_built};
const Method kFormFields{"form_fields", {}, Method::Instance, not_built};

}  // namespace quillet::py
