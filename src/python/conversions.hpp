#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "qern/error.hpp"
#include "qern/hash.hpp"

namespace qern::python {

// A method's parameters (at most two), all required and each passable by position or
// keyword.
struct Signature {
    const char* function;  // as named in errors, e.g. "QERN.find_obj()"
    std::array<const char*, 2> params;
    Py_ssize_t count;
};

// Binds fast-call arguments (positional, then the values named by `kwnames`) to the
// parameters. `out` receives borrowed references in parameter order. Returns false with
// the TypeError set when an argument is missing, extra, unknown or given twice.
bool bind_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** out);
inline bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
    // Every argument by position, the way most calls come, binds without a call.
    if (PyVectorcall_NARGS(nargs) == sig.count && kwnames == nullptr) {
        for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = args[i];
        return true;
    }
    return bind_arguments_slow(sig, args, nargs, kwnames, out);
}

// The UTF-8 text of a str argument, borrowed from the object. A non-str raises a TypeError
// naming the parameter; a str that cannot be encoded keeps the interpreter's own error.
[[gnu::cold]] void raise_not_str_argument(PyObject* obj, const char* param);
inline std::optional<std::string_view> utf8_argument(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) {
        raise_not_str_argument(obj, param);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// Sets RuntimeError carrying the error's display text as its single argument.
void raise_core_error(const QernError& error);

// Results, each a new reference, or null with an error set.
PyObject* to_python(std::string_view text);
PyObject* to_python(const std::optional<std::string_view>& text);
PyObject* to_python(const std::optional<std::vector<std::string_view>>& items);
PyObject* to_python(const std::optional<ViewMap<std::string_view>>& fields);

}  // namespace qern::python
