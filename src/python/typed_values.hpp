#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "conversions.hpp"
#include "py_ref.hpp"
#include "qern/document.hpp"
#include "qern/error.hpp"
#include "types/typed.hpp"

namespace qern::python {

// Imports the datetime module's C interface, which the typed values need. Called once,
// when the module is executed; false with the error set when it fails.
bool import_datetime();

// Sets ValueError carrying the conversion error's text, with the attributes `key`,
// `value` and `type_name`.
void raise_conversion_error(const QernError& error);

// The typed value of `value` (the value of `key`) as its declared type `type` converts
// it: a new reference, or null with ValueError (or the interpreter's error) set.
PyObject* typed_value(const QernDocument& declarations, std::string_view key, std::string_view type,
                      std::string_view value);

// The dict of to_typed_dict: `n` pairs, which for_each(f) passes to
// f(key, value, kept) in the order of first assignment; `kept` is a str of the value the
// caller already holds, or null. Keys no schema declares get their value as a str (`kept`
// when there is one). A new reference, or null with the error set.
template <class ForEach>
PyObject* typed_dict(const QernDocument& declarations, std::size_t n, ForEach&& for_each) {
    PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    if (!dict) return nullptr;
    bool failed = false;
    for_each([&](std::string_view key, std::string_view value, PyObject* kept) {
        if (failed) return;
        PyRef k = PyRef::steal(to_python(key));
        PyRef v;
        if (k) {
            const auto type = declared_type(declarations, key);
            if (type) {
                v = PyRef::steal(typed_value(declarations, key, *type, value));
            } else {
                v = kept != nullptr ? PyRef::borrow(kept) : PyRef::steal(to_python(value));
            }
        }
        failed = !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0;
    });
    return failed ? nullptr : dict.release();
}

}  // namespace qern::python
