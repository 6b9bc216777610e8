// The extension module `quillet`: multi-phase initialisation, the Document
// heap type and the module function write_text_pdf.
#include "module.h"

#include <string>
#include <vector>

namespace quillet::py {

extern const Method kNew;  // Document(data), bind_core.cpp

namespace {

// CPython's text-signature docstring: "name($self, a, b=False)\n--\n\n".
std::string signature_doc(const Method& m) {
    std::string doc = m.name;
    doc += '(';
    bool first = true;
    if (m.kind == Method::Instance) {
        doc += "$self";
        first = false;
    }
    for (const Param& p : m.params) {
        if (!first) doc += ", ";
        first = false;
        doc += p.name;
        if (p.default_text) {
            doc += '=';
            doc += p.default_text;
        }
    }
    doc += ")\n--\n\n";
    return doc;
}

template <const Method& M>
PyMethodDef method_def() {
    int flags = METH_FASTCALL | METH_KEYWORDS | (M.kind == Method::Static ? METH_STATIC : 0);
    return PyMethodDef{M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<M>)), flags,
                       nullptr};
}

template <const Method&... Ms>
std::vector<std::pair<const Method*, PyMethodDef>> method_defs() {
    return {{&Ms, method_def<Ms>()}...};
}

struct Tables {
    std::vector<std::string> docs;
    std::vector<PyMethodDef> methods;
    // Copies of the static methods without METH_STATIC, bound to the class.
    std::vector<PyMethodDef> constructors;
    // The module functions; the documentation strings live in `docs`.
    std::vector<PyMethodDef> functions;
    std::string class_doc;  // the constructor's signature
};

// Built once per process and never freed: the method definitions must
// outlive every module instance.
Tables& tables() {
    static Tables* tables = [] {
        auto* t = new Tables;
        // The class's method table, in its fixed order.
        auto defs = method_defs<kSourceBytes, kParse, kOpen, kOpenMmap, kVersion, kEffectiveVersion, kPageCount,
                                kObjectCount, kXref, kObjects, kObject, kObjectText, kDumpObjects, kText,
                                kReferencesText, kToMarkdown, kPageChunks, kLlmDocument, kLlmChunks, kOcrRequests,
                                kWithMetadata, kWithTextAnnotation, kWithUriLink, kPageTexts, kPageText, kPages,
                                kPageLabels, kMetadata, kMetadataXml, kOutlines, kPageAnnotations, kPageLinks,
                                kPageFonts, kFonts, kPageImages, kImages, kNamedDestinations, kEmbeddedFiles,
                                kFormFields, kToc, kEnter, kExit, kPageWords, kPageReadingText, kReadingText, kEncryption,
                                kPageImageFiles, kImageFiles>();
        const auto functions = method_defs<kWriteTextPdf, kCollectDiagnostics>();
        // Every docstring first: the definitions point into `docs`, which
        // must not grow afterwards.
        for (const auto& [method, def] : defs) t->docs.push_back(signature_doc(*method));
        for (const auto& [method, def] : functions) t->docs.push_back(signature_doc(*method));
        for (size_t i = 0; i < defs.size(); ++i) {
            t->methods.push_back(defs[i].second);
            t->methods.back().ml_doc = t->docs[i].c_str();
        }
        for (const PyMethodDef& def : t->methods) {
            if (def.ml_flags & METH_STATIC) t->constructors.push_back(def);
        }
        for (PyMethodDef& def : t->constructors) def.ml_flags &= ~METH_STATIC;
        t->methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        for (size_t i = 0; i < functions.size(); ++i) {
            t->functions.push_back(functions[i].second);
            t->functions.back().ml_doc = t->docs[defs.size() + i].c_str();
        }
        t->class_doc = signature_doc(kNew);
        return t;
    }();
    return *tables;
}

// ---- the Document type ----

PyObject* document_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Adapt the tuple/dict convention to the frame's vectorcall convention.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> values(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                                  args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
    PyRef kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return nullptr;
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k++, key);
            values.push_back(value);
        }
    }
    return run_method(kNew, reinterpret_cast<PyObject*>(type), values.data(), nargs, kwnames.get());
}

Py_ssize_t document_length(PyObject* self) {
    PyRef count = PyRef::steal(run_method(kLen, self, nullptr, 0, nullptr));
    if (!count) return -1;
    return PyLong_AsSsize_t(count.get());
}

// Always true: an empty document is still a document, and `if doc:` must
// not walk the page tree (or fail on a broken one) as len() would.
int document_bool(PyObject*) { return 1; }

void document_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* doc = reinterpret_cast<PyDocument*>(self);
    delete doc->data;
    doc->borrows.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- the module ----

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "quillet must be initialised as a module");
        return -1;
    }
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    Tables& t = tables();

    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&document_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&document_dealloc)},
        {Py_tp_doc, nullptr},
        {Py_sq_length, reinterpret_cast<void*>(&document_length)},
        {Py_nb_bool, reinterpret_cast<void*>(&document_bool)},
        {Py_tp_methods, nullptr},
        {0, nullptr},
    };
    for (PyType_Slot& slot : slots) {
        if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(t.class_doc.c_str());
        if (slot.slot == Py_tp_methods) slot.pfunc = t.methods.data();
    }
    static PyType_Spec type_spec = {
        // Qualified with "builtins": the class reports __module__ "builtins"
        // (an undotted name would too, but with a DeprecationWarning).
        "builtins.Document",
        sizeof(PyDocument),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };

    PyRef all = checked(PyList_New(0));
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return -1;
    state->document_type = PyRef::borrow(type.get()).release();
    // CPython hands a static method no receiver at all, but the constructors
    // need their class.  Rebind each one with the class as its `self` (a
    // definition without METH_STATIC, wrapped as a static method); the
    // entries keep their place in the class dict.
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    for (PyMethodDef& def : t.constructors) {
        PyRef function = PyRef::steal(PyCFunction_NewEx(&def, type.get(), nullptr));
        if (!function) return -1;
        PyRef static_method = PyRef::steal(PyStaticMethod_New(function.get()));
        if (!static_method || PyDict_SetItemString(type_dict, def.ml_name, static_method.get()) < 0) return -1;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    if (PyModule_AddObjectRef(module, "Document", type.get()) < 0) return -1;
    PyRef name = PyRef::steal(PyUnicode_FromString("Document"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;

    for (PyMethodDef& def : t.functions) {
        PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, nullptr));
        if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return -1;
        // Underscored functions are private hooks, not exported.
        if (def.ml_name[0] == '_') continue;
        name = PyRef::steal(PyUnicode_FromString(def.ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }

    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;

    // Raised for broken internal invariants: a BaseException, so that a
    // plain `except Exception` does not swallow a bug.
    state->internal_error = PyErr_NewException("quillet.InternalError", PyExc_BaseException, nullptr);
    if (!state->internal_error) return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state) {
        Py_VISIT(state->document_type);
        Py_VISIT(state->internal_error);
    }
    return 0;
}

int module_clear(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state) {
        Py_CLEAR(state->document_type);
        Py_CLEAR(state->internal_error);
    }
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quillet",
    "Strict, fast PDF reading and inspection.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

PyTypeObject* document_type(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_definition);
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    return reinterpret_cast<PyTypeObject*>(state->document_type);
}

PyRef new_document(PyTypeObject* type, DocumentData data) {
    PyRef self = checked(type->tp_alloc(type, 0));
    auto* doc = reinterpret_cast<PyDocument*>(self.get());
    new (&doc->borrows) std::atomic<uint64_t>(0);
    doc->data = new DocumentData(std::move(data));
    return self;
}

}  // namespace quillet::py

PyMODINIT_FUNC PyInit_quillet(void) {
    return PyModuleDef_Init(&quillet::py::module_definition);
}
