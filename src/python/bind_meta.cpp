// Metadata, page labels and embedded files.
#include "module.h"

namespace quillet::py {

namespace {
PyRef not_built(Call&) { raise(PyExc_NotImplementedError, "not implemented yet"); }
}  // namespace

const Method kPageLabels{"page_labels", {}, Method::Instance, not_built};
const Method kMetadata{"metadata", {}, Method::Instance, not_built};
const Method kMetadataXml{"metadata_xml", {}, Method::Instance, not_built};
const Method kEmbeddedFiles{"embedded_files", {{"include_data", "False"}}, Method::Instance, not_built};

}  // namespace quillet::py
