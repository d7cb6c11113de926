#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/document.hpp"
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
    // An ASCII str holds its UTF-8 text already: read it in place, without a call.
    if (PyUnicode_IS_COMPACT_ASCII(obj))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// A str, or None for no text; an int, or None for 0 (a line or column that is unknown).
PyObject* optional_text(const std::optional<std::string>& text);
PyObject* optional_number(std::size_t n);
// The @import / @derive steps that led to `at`, outermost first: a tuple of (file, line).
PyObject* chain_to_python(const Location& at);

// Sets RuntimeError carrying the error's display text as its single argument.
void raise_core_error(const QernError& error);
// None on success, else null with the error raised as raise_core_error does.
PyObject* none_or_error(const Result<void>& result);
// validate_value(type_name, value) of a method: the two bound arguments read as text,
// then checked against the types `doc` declares.
PyObject* validate_value_call(const QernDocument& doc, PyObject* const* argv);

// Whether every byte is below 0x80: eight at a time, the last eight overlapping the ones
// before, so that no byte is read alone past the first eight.
inline bool is_ascii(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t seen = 0;
    if (n >= 8) {
        std::uint64_t word;
        for (std::size_t i = 0; i + 8 <= n; i += 8) {
            std::memcpy(&word, p + i, 8);
            seen |= word;
        }
        std::memcpy(&word, p + n - 8, 8);
        seen |= word;
    } else {
        for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

// Results, each a new reference, or null with an error set.
PyObject* decode_utf8(std::string_view text);
// A str of the UTF-8 text. ASCII text is copied into a new compact str as it is, without
// the decoder; texts of one byte or none go through it, to the interpreter's shared
// singletons.
inline PyObject* to_python(std::string_view text) {
    if (text.size() > 1 && is_ascii(text)) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
        if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
        return str;
    }
    return decode_utf8(text);
}
inline PyObject* to_python(const std::optional<std::string_view>& text) {
    if (!text) Py_RETURN_NONE;
    return to_python(*text);
}
PyObject* to_python(const std::optional<std::vector<std::string_view>>& items);
PyObject* to_python(const std::optional<ViewMap<std::string_view>>& fields);

}  // namespace qern::python
