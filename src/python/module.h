// Module definition, per-module state and the method index shared by the
// binding's units.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame.h"

namespace quillet {
struct DocumentMetadata;
struct PageEntry;
}  // namespace quillet

namespace quillet::py {

struct ModuleState {
    PyObject* document_type;   // the Document heap type
    PyObject* internal_error;  // BaseException subclass for broken invariants
};

extern PyModuleDef module_definition;

// The Document type of the module that defined `self`'s type, or nullptr.
PyTypeObject* document_type(PyObject* self);
// A new Document instance holding `data`.
PyRef new_document(PyTypeObject* type, DocumentData data);

// ---- every method, in the order of the class's method table ----
// bind_core.cpp
extern const Method kSourceBytes, kParse, kOpen, kOpenMmap, kVersion, kEffectiveVersion, kObjectCount, kXref,
    kObjects, kObject, kObjectText, kDumpObjects, kLen, kEnter, kExit;
// bind_text.cpp
extern const Method kPageCount, kText, kReferencesText, kPageTexts, kPageText, kPages, kPageWords, kPageReadingText,
    kReadingText;
// bind_export.cpp
extern const Method kToMarkdown, kPageChunks, kLlmDocument, kLlmChunks, kOcrRequests;
// bind_writer.cpp
extern const Method kWithMetadata, kWithTextAnnotation, kWithUriLink, kWriteTextPdf;
// bind_meta.cpp
extern const Method kPageLabels, kMetadata, kMetadataXml, kEmbeddedFiles, kEncryption;
// bind_navigation.cpp
extern const Method kOutlines, kPageAnnotations, kPageLinks, kNamedDestinations, kFormFields, kToc;
// bind_resources.cpp
extern const Method kPageFonts, kFonts, kPageImages, kImages, kPageImageFiles, kImageFiles;
// bind_diagnostics.cpp (a private module function for the tests)
extern const Method kCollectDiagnostics;

// ---- records shared between methods ----
// The exports show the same dicts as the feature methods they compose.
// bind_meta.cpp: the dict metadata() returns.
PyRef metadata_record(const DocumentMetadata& metadata);
// bind_resources.cpp: the dicts fonts(include_data=False) and images() give
// for the page at `index`.
PyRef page_font_records(const Document& document, size_t index, const PageEntry& page);
PyRef page_image_records(const Document& document, size_t index, const PageEntry& page);

}  // namespace quillet::py
