#include "conversions.hpp"

#include <unistd.h>

#include <string>

#include "py_ref.hpp"
#include "qern/diagnostic.hpp"
#include "qern/text.hpp"
#include "types/types.hpp"

namespace qern::python {
namespace {

Py_ssize_t find_parameter(const Signature& sig, PyObject* name) {
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) return i;
    return -1;
}

void raise_missing(const Signature& sig, PyObject* const* out) {
    const char* missing[2] = {nullptr, nullptr};
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (out[i] == nullptr) missing[n++] = sig.params[i];
    if (n == 1)
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                     sig.function, missing[0]);
    else
        PyErr_Format(PyExc_TypeError, "%s missing 2 required positional arguments: '%s' and '%s'",
                     sig.function, missing[0], missing[1]);
}

// Raises TypeError "argument '<param>': <reason>" with the plain reason as its cause, the
// shape a failed extraction has everywhere else in the interpreter's extension modules.
void raise_not_str(PyObject* obj, const char* param) {
    PyRef reason;
    if (obj == Py_None) {
        reason = PyRef::steal(PyUnicode_FromString("'None' is not an instance of 'str'"));
    } else {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
        if (!qualname) return;
        reason = PyRef::steal(
            PyUnicode_FromFormat("'%U' object is not an instance of 'str'", qualname.get()));
    }
    if (!reason) return;
    PyRef cause = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, reason.get()));
    if (!cause) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, reason.get()));
    if (!message) return;
    PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

bool bind_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > sig.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     sig.function, sig.count, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = find_parameter(sig, name);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         sig.function, name);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                         sig.params[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (out[i] == nullptr) {
            raise_missing(sig, out);
            return false;
        }
    }
    return true;
}

void raise_not_str_argument(PyObject* obj, const char* param) {
    raise_not_str(obj, param);
}

PyObject* optional_text(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return to_python(std::string_view(*text));
}

PyObject* optional_number(std::size_t n) {
    if (n == 0) Py_RETURN_NONE;
    return PyLong_FromSize_t(n);
}

PyObject* chain_to_python(const Location& at) {
    PyRef chain = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(at.chain.size())));
    if (!chain) return nullptr;
    for (std::size_t i = 0; i < at.chain.size(); ++i) {
        PyRef file = PyRef::steal(optional_text(at.chain[i].file));
        PyRef line = PyRef::steal(optional_number(at.chain[i].line));
        if (!file || !line) return nullptr;
        PyObject* step = PyTuple_Pack(2, file.get(), line.get());
        if (step == nullptr) return nullptr;
        PyTuple_SET_ITEM(chain.get(), static_cast<Py_ssize_t>(i), step);
    }
    return chain.release();
}

namespace {

// A path as a note shows it: control characters (a NUL a path was refused for, a line
// feed) are written as escapes, so that the note stays one readable line.
std::string shown_path(const std::optional<std::string>& path) {
    if (!path) return "<string>";
    std::string out;
    for (const char c : *path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out.push_back('\\');
            out.push_back('x');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        }
    }
    return out;
}

// One line that says where, for tracebacks: "in conf/features.qrn:4:1, imported from
// app.qrn:2". A file that could not be read is named, with the working directory a
// relative path was taken against.
std::string location_note(const QernError& error, const Location& where) {
    std::string note = concat("in ", shown_path(where.file));
    if (where.line != 0)
        note += concat(":", std::to_string(where.line), ":", std::to_string(where.column));
    std::string_view relative;
    if (const auto* io = error.as<QernError::Io>(); io != nullptr && !io->path.empty()) {
        if (!where.file || *where.file != io->path)
            note += concat(", reading '", shown_path(io->path), "'");
        if (io->path.front() != '/') relative = io->path;
    }
    for (auto step = where.chain.rbegin(); step != where.chain.rend(); ++step) {
        note += step->kind == IncludeKind::Derive ? ", read by @derive at " : ", imported from ";
        note += shown_path(step->file);
        note += concat(":", std::to_string(step->line));
    }
    if (!relative.empty()) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr)
            note += concat(" (relative to the working directory ", cwd, ")");
    }
    return note;
}

// Sets the location attributes (None where unknown) and, for a known place, the note.
bool describe(PyObject* exc, const QernError& error) {
    const Location* where = error.location();
    const Location none;
    const Location& at = where != nullptr ? *where : none;
    PyRef steps = PyRef::steal(chain_to_python(at));
    if (!steps) return false;
    PyRef chain = PyRef::steal(PySequence_List(steps.get()));
    if (!chain) return false;
    const std::pair<const char*, PyRef> attributes[] = {
        {"filename", PyRef::steal(optional_text(at.file))},
        {"lineno", PyRef::steal(optional_number(at.line))},
        {"colno", PyRef::steal(optional_number(at.column))},
        {"end_lineno", PyRef::steal(optional_number(at.end_line))},
        {"end_colno", PyRef::steal(optional_number(at.end_column))},
        {"qern_chain", std::move(chain)},
        {"code", PyRef::steal(to_python(error_code(error)))},
    };
    for (const auto& [name, value] : attributes)
        if (!value || PyObject_SetAttrString(exc, name, value.get()) < 0) return false;
    if (where == nullptr) return true;
    const std::string note = location_note(error, *where);
    PyRef text = PyRef::steal(to_python(std::string_view(note)));
    if (!text) return false;
    PyRef added = PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    return static_cast<bool>(added);
}

}  // namespace

void raise_core_error(const QernError& error) {
    const std::string text = error.display();
    PyRef message = PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return;
    PyRef exc = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (!exc || !describe(exc.get(), error)) return;
    PyErr_SetObject(PyExc_RuntimeError, exc.get());
}

PyObject* none_or_error(const Result<void>& result) {
    if (!result) {
        raise_core_error(result.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* validate_value_call(const QernDocument& doc, PyObject* const* argv) {
    const auto type_name = utf8_argument(argv[0], "type_name");
    if (!type_name) return nullptr;
    const auto value = utf8_argument(argv[1], "value");
    if (!value) return nullptr;
    return none_or_error(validate_value(doc, *type_name, *value));
}

PyObject* decode_utf8(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(const std::optional<std::vector<std::string_view>>& items) {
    if (!items) Py_RETURN_NONE;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items->size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (std::string_view item : *items) {
        PyObject* str = to_python(item);
        if (str == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, str);
    }
    return list.release();
}

PyObject* to_python(const std::optional<ViewMap<std::string_view>>& fields) {
    if (!fields) Py_RETURN_NONE;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : *fields) {
        PyRef k = PyRef::steal(to_python(key));
        if (!k) return nullptr;
        PyRef v = PyRef::steal(to_python(value));
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace qern::python
