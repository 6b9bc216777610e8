#include "frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "../call_scope.h"
#include "../error.h"
#include "module.h"

namespace quillet::py {

PyRef checked(PyObject* new_reference) {
    if (!new_reference) throw PyErrorSet{};
    return PyRef::steal(new_reference);
}

namespace {

// Sets an exception whose message is the whole text (a path in a message
// may hold a NUL byte, which PyErr_SetString would cut at).
void set_error(PyObject* exception_type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(exception_type, text);
    Py_DECREF(text);
}

}  // namespace

void raise(PyObject* exception_type, const std::string& message) {
    set_error(exception_type, message);
    throw PyErrorSet{};
}

// ---- files ----

namespace {

[[noreturn]] void raise_read_error(const std::string& path, const std::string& reason) {
    raise(PyExc_ValueError, "failed to read " + path + ": " + reason);
}

}  // namespace

std::string read_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) raise_read_error(path, "file name contained an unexpected NUL byte");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raise_read_error(path, os_error_text(errno));
    std::string out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int saved = errno;
            ::close(fd);
            raise_read_error(path, os_error_text(saved));
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string source_bytes(const DocumentData& data) {
    if (PyObject* o = data.source_object.get()) {
        return std::string(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    }
    if (data.source) return *data.source;
    if (!data.path) raise(PyExc_ValueError, "original PDF bytes are not available");
    return read_file(*data.path);
}

// ---- argument conversion ----

void Call::argument_error(size_t i) {
    // Only a TypeError gets the argument's name in front; OverflowError and
    // the rest pass through unchanged.
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyRef message = PyRef::steal(value ? PyObject_Str(value) : nullptr);
        const char* text = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
        if (text) {
            PyErr_Format(PyExc_TypeError, "argument '%s': %s", method_.params[i].name, text);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        } else {
            PyErr_Restore(type, value, traceback);
        }
    }
    throw PyErrorSet{};
}

namespace {

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

bool is_numpy_bool(PyObject* o) {
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    const char* name = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(name, '.');
    std::string_view short_name = dot ? dot + 1 : name;
    return short_name == "bool" || short_name == "bool_";
}

}  // namespace

const Document& Call::doc() const {
    const Document& document = data().document;
    document.require_plain_content();
    return document;
}

bool Call::boolean(size_t i, bool default_value) {
    PyObject* o = args_[i];
    if (!o) return default_value;
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (is_numpy_bool(o)) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) argument_error(i);
        return truth != 0;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %s", type_name(o));
    argument_error(i);
}

uint64_t Call::u64(size_t i) {
    PyObject* o = args_[i];
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) argument_error(i);
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(i);
    return value;
}

uint32_t Call::u32(size_t i) {
    uint64_t value = u64(i);
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_error(i);
    }
    return static_cast<uint32_t>(value);
}

uint16_t Call::u16(size_t i, uint16_t default_value) {
    if (!args_[i]) return default_value;
    uint64_t value = u64(i);
    if (value > UINT16_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_error(i);
    }
    return static_cast<uint16_t>(value);
}

std::optional<uint64_t> Call::optional_u64(size_t i) {
    if (!args_[i] || args_[i] == Py_None) return std::nullopt;
    return u64(i);
}

std::string Call::str(size_t i, std::string_view default_value) {
    PyObject* o = args_[i];
    if (!o) return std::string(default_value);
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %s", type_name(o));
        argument_error(i);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) argument_error(i);
    return std::string(utf8, static_cast<size_t>(size));
}

std::optional<std::string> Call::optional_str(size_t i) {
    PyObject* o = args_[i];
    if (!o || o == Py_None) return std::nullopt;
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected str or None, got %s", type_name(o));
        argument_error(i);
    }
    return str(i);
}

std::string_view Call::bytes(size_t i) {
    PyObject* o = args_[i];
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, got %s", type_name(o));
        argument_error(i);
    }
    return std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
}

namespace {

// The sequence protocol, refusing a str (which is a sequence of str).
PyRef as_sequence(PyObject* o, const char* what) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence of %s, got %s", what, type_name(o));
        return PyRef();
    }
    return PyRef::steal(PySequence_Fast(o, "expected a sequence"));
}

}  // namespace

std::vector<double> Call::numbers(size_t i) {
    PyRef seq = as_sequence(args_[i], "numbers");
    if (!seq) argument_error(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<double> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        // Anything that converts to a float (__float__ or __index__): int,
        // float, and their look-alikes such as numpy scalars; a str item
        // raises TypeError here.
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) argument_error(i);
        out.push_back(value);
    }
    return out;
}

std::vector<std::string> Call::strings(size_t i) {
    PyRef seq = as_sequence(args_[i], "str");
    if (!seq) argument_error(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "expected str items, got %s", type_name(item));
            argument_error(i);
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) argument_error(i);
        out.emplace_back(utf8, static_cast<size_t>(size));
    }
    return out;
}

// ---- the frame ----

namespace {

// Matches positional and keyword arguments to the parameter list.
bool bind_arguments(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Method& m = call.method();
    const size_t count = m.params.size();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (count == 0 && nargs + nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", m.name, nargs + nkw);
        return false;
    }
    if (static_cast<size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", m.name, count,
                     count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) call.set_arg(static_cast<size_t>(i), args[i]);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t found = count;
        for (size_t p = 0; p < count; ++p) {
            if (PyUnicode_CompareWithASCIIString(key, m.params[p].name) == 0) {
                found = p;
                break;
            }
        }
        if (found == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.name, key);
            return false;
        }
        if (call.arg(found)) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", m.name,
                         m.params[found].name, found + 1);
            return false;
        }
        call.set_arg(found, args[nargs + k]);
    }
    for (size_t p = 0; p < count; ++p) {
        if (!call.arg(p) && !m.params[p].default_text) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", m.name, m.params[p].name,
                         p + 1);
            return false;
        }
    }
    return true;
}

// Shared borrow of an instance for the duration of a call.
class Borrow {
public:
    explicit Borrow(PyDocument* doc) : doc_(doc) { doc_->borrows.fetch_add(1, std::memory_order_acquire); }
    ~Borrow() { doc_->borrows.fetch_sub(1, std::memory_order_release); }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    PyDocument* doc_;
};

PyObject* module_of(const Method& method, PyObject* self) {
    switch (method.kind) {
    case Method::Instance: return PyType_GetModuleByDef(Py_TYPE(self), &module_definition);
    case Method::Static: return PyType_GetModuleByDef(reinterpret_cast<PyTypeObject*>(self), &module_definition);
    case Method::Function: return self;
    }
    return nullptr;
}

void raise_internal_failure(const Method& method, PyObject* self, const char* message) {
    PyObject* module = module_of(method, self);
    ModuleState* state = module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
    PyErr_Clear();
    set_error(state && state->internal_error ? state->internal_error : PyExc_SystemError, message);
}

}  // namespace

PyObject* run_method(const Method& method, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    try {
        Call call(method, self);
        if (!bind_arguments(call, args, nargs, kwnames)) return nullptr;
        if (method.kind == Method::Instance) {
            PyTypeObject* type = document_type(self);
            if (!type || !PyObject_TypeCheck(self, type)) {
                PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a 'Document' object", method.name);
                return nullptr;
            }
            Borrow borrow(reinterpret_cast<PyDocument*>(self));
            // The bounds and the stream cache of this one call.
            const CallScope scope(call.stored_doc());
            return method.body(call).release();
        }
        return method.body(call).release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const PdfError& error) {
        set_error(PyExc_ValueError, error.message());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_internal_failure(method, self, failure.what());
        return nullptr;
    } catch (...) {
        raise_internal_failure(method, self, "unknown internal failure");
        return nullptr;
    }
}

// ---- results ----

PyRef to_py_text(std::string_view utf8) {
    return checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

PyRef to_py_bytes(std::string_view bytes) {
    return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

PyRef to_py_int(int64_t value) { return checked(PyLong_FromLongLong(value)); }
PyRef to_py_uint(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyRef to_py_float(double value) { return checked(PyFloat_FromDouble(value)); }
PyRef to_py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef to_py_none() { return PyRef::borrow(Py_None); }
PyRef to_py_id(ObjectId id) { return to_py_text(id.reference_text()); }
PyRef to_py_name(std::string_view name_bytes) { return to_py_text(utf8_lossy(name_bytes)); }

PyRef to_py_box(const std::optional<std::array<double, 4>>& box) {
    if (!box) return to_py_none();
    return to_py_list(*box, to_py_float);
}

PyRef DecodedCache::get(const Stream& stream) {
    auto found = bytes_.find(&stream);
    if (found == bytes_.end()) found = bytes_.emplace(&stream, to_py_bytes(stream.decoded_data_cow().view())).first;
    return PyRef::borrow(found->second.get());
}

void DecodedCache::put(const Stream& stream, std::string_view decoded) {
    if (!bytes_.contains(&stream)) bytes_.emplace(&stream, to_py_bytes(decoded));
}

DictBuilder& DictBuilder::add(const char* key, PyRef value) {
    if (PyDict_SetItemString(dict_.get(), key, value.get()) < 0) throw PyErrorSet{};
    return *this;
}

}  // namespace quillet::py
