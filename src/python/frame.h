// The call frame shared by every Python-visible method, and the conversions
// between Python values and library values.  This directory is the only
// code that knows the interpreter.
//
// A method is one `Method` value: its name, its parameter list (names and
// defaults, which also give the text signature) and a body.  The body
// converts its arguments in parameter order through `Call`, runs the library
// operation and converts the result with the helpers below.  `run_method`
// does the rest: argument parsing, the receiver check, the shared borrow and
// the translation of every C++ exception into a Python one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../document.h"
#include "../object.h"

namespace quillet::py {

// Owned reference to a Python object; release() hands it to CPython.
class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* p) { return PyRef(p); }
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Thrown once a Python exception has been set; the frame returns NULL.
struct PyErrorSet {};

// Takes a new reference from a C API call; a NULL result (error set) throws.
PyRef checked(PyObject* new_reference);
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);

// ---- the loaded document as the class holds it ----

struct DocumentData {
    // The file's bytes (not for open_mmap): the caller's bytes object itself
    // when it is exactly `bytes` (immutable, so nothing needs copying), else
    // a copy.  A subclass is copied because its instance could refer back
    // to this document, a cycle the class's instances cannot take part in.
    PyRef source_object;
    std::optional<std::string> source;
    std::optional<std::string> path;    // the path given to open/open_mmap
    Document document;
    LoadOptions options;  // as loaded; the writers load the file again with them
};

struct PyDocument {
    PyObject_HEAD
    std::atomic<uint64_t> borrows;  // shared borrows of the running calls
    DocumentData* data;
};

// Reads a whole file; failures raise ValueError "failed to read {}: {}".
std::string read_file(const std::string& path);
// The loaded file's bytes: the kept copy, or the file read again.
std::string source_bytes(const DocumentData& data);

// ---- methods ----

struct Param {
    const char* name;
    const char* default_text = nullptr;  // Python literal; nullptr: required
};

class Call;

struct Method {
    enum Kind { Instance, Static, Function };

    const char* name;
    std::vector<Param> params;
    Kind kind;
    PyRef (*body)(Call&);
};

inline constexpr size_t kMaxParams = 8;

class Call {
public:
    Call(const Method& method, PyObject* self) : method_(method), self_(self) {}

    const Method& method() const { return method_; }
    // The argument at position i, or nullptr when omitted.
    PyObject* arg(size_t i) const { return args_[i]; }
    void set_arg(size_t i, PyObject* value) { args_[i] = value; }

    // The instance's document (instance methods only), for every method
    // whose result reads strings or stream data: raises the reason when
    // those stay encrypted.
    const Document& doc() const;
    // The document whatever its encryption: for the views of objects as
    // stored and of the page tree's structure.
    const Document& stored_doc() const { return data().document; }
    const DocumentData& data() const { return *reinterpret_cast<PyDocument*>(self_)->data; }
    // The class (static methods) or the module (functions).
    PyObject* self() const { return self_; }

    // Conversions, called in parameter order; a wrong type raises
    // TypeError "argument '<name>': ...", other failures pass unchanged.
    bool boolean(size_t i, bool default_value);
    uint64_t u64(size_t i);
    uint32_t u32(size_t i);
    uint16_t u16(size_t i, uint16_t default_value);
    // None (or omitted) gives nothing.
    std::optional<uint64_t> optional_u64(size_t i);
    std::string str(size_t i, std::string_view default_value = {});
    std::optional<std::string> optional_str(size_t i);
    std::string_view bytes(size_t i);
    std::vector<double> numbers(size_t i);
    std::vector<std::string> strings(size_t i);

private:
    [[noreturn]] void argument_error(size_t i);

    const Method& method_;
    PyObject* self_;
    std::array<PyObject*, kMaxParams> args_{};
};

// The whole frame of one call (vectorcall convention).
PyObject* run_method(const Method& method, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

template <const Method& M>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method(M, self, args, nargs, kwnames);
}

// ---- result conversion ----

PyRef to_py_text(std::string_view utf8);
PyRef to_py_bytes(std::string_view bytes);
PyRef to_py_int(int64_t value);
PyRef to_py_uint(uint64_t value);
PyRef to_py_float(double value);
PyRef to_py_bool(bool value);
PyRef to_py_none();
// "12 0 R"
PyRef to_py_id(ObjectId id);
// A PDF name's bytes as text (UTF-8 with replacement).
PyRef to_py_name(std::string_view name_bytes);
// A list of four floats, or None.
PyRef to_py_box(const std::optional<std::array<double, 4>>& box);

template <class T, class F>
PyRef to_py_optional(const std::optional<T>& value, F convert) {
    return value ? convert(*value) : to_py_none();
}

template <class Seq, class F>
PyRef to_py_list(const Seq& items, F convert) {
    PyRef list = checked(PyList_New(0));
    for (const auto& item : items) {
        PyRef value = convert(item);
        if (PyList_Append(list.get(), value.get()) < 0) throw PyErrorSet{};
    }
    return list;
}

// A dict filled in the order its record lists its keys.
class DictBuilder {
public:
    DictBuilder() : dict_(checked(PyDict_New())) {}
    DictBuilder& add(const char* key, PyRef value);
    PyRef done() { return std::move(dict_); }

private:
    PyRef dict_;
};

// The decoded bytes of each stream within one call, as one bytes object: a
// font, image or attached file shown in many records (under several names,
// on many pages) is decoded once, and its records share the immutable
// bytes instead of each holding a copy.
class DecodedCache {
public:
    PyRef get(const Stream& stream);
    // Records bytes already decoded for `stream`, unless it has some.
    void put(const Stream& stream, std::string_view decoded);

private:
    std::unordered_map<const Stream*, PyRef> bytes_;
};

// Per-page methods: an index not below the page count raises ValueError
// "page index out of range".
template <class Pages>
const auto& page_at(const Pages& pages, uint64_t index) {
    if (index >= pages.size()) raise(PyExc_ValueError, "page index out of range");
    return pages[index];
}

}  // namespace quillet::py
