#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
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

class PySink;

// Makes the typed values of one document, one after another: each a new reference, or null
// with ValueError (or the interpreter's error) set. What it resolved (each schema's field
// types) and the str keys of inline objects are kept for the values after, as json.loads
// keeps the keys it made.
class TypedValues {
  public:
    explicit TypedValues(const QernDocument& declarations);
    ~TypedValues();
    TypedValues(const TypedValues&) = delete;
    TypedValues& operator=(const TypedValues&) = delete;
    // `value`, the value of `key`, as its declared type `type` converts it; `reading` is
    // what the document keeps of how it read the value, if anything.
    PyObject* value(std::string_view key, std::string_view type, std::string_view value,
                    const ObjectListReading* reading);

  private:
    TypedConverter converter_;
    std::unique_ptr<PySink> sink_;
};

// The dict of to_typed_dict: `n` pairs, which for_each(f) passes to
// f(key, value, kept, reading) in the order of first assignment; `kept` is a str of the
// value the caller already holds, or null, and `reading` what the document keeps of how
// it read the value, or null. Keys no schema declares get their value as a str (`kept`
// when there is one). A new reference, or null with the error set.
template <class ForEach>
PyObject* typed_dict(const QernDocument& declarations, std::size_t n, ForEach&& for_each) {
    PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    if (!dict) return nullptr;
    TypedValues values(declarations);
    bool failed = false;
    for_each([&](std::string_view key, std::string_view value, PyObject* kept,
                 const ObjectListReading* reading) {
        if (failed) return;
        PyRef k = PyRef::steal(to_python(key));
        PyRef v;
        if (k) {
            const auto type = declared_type(declarations, key);
            if (type) {
                v = PyRef::steal(values.value(key, *type, value, reading));
            } else {
                v = kept != nullptr ? PyRef::borrow(kept) : PyRef::steal(to_python(value));
            }
        }
        failed = !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0;
    });
    return failed ? nullptr : dict.release();
}

}  // namespace qern::python
