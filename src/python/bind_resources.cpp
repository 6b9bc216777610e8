// Fonts and images of pages.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kPageFonts{"page_fonts", {{"index"}, {"include_data", "False"}}, Method::Instance, not_built};
const Method kFonts{"fonts", {{"include_data", "False"}}, Method::Instance, not_built};
const Method kPageImages{"page_images", {{"index"}, {"include_data", "False"}, {"include_pnm", "False"}}, Method::Instance, not_built};
const Method kImages{"images", {{"include_data", "False"}, {"include_pnm", "False"}}, Method::Instance, not_built};

}  // namespace quillet::py
