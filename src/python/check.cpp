#include "check.hpp"

#include <atomic>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "analysis/paths.hpp"
#include "conversions.hpp"
#include "module.hpp"
#include "py_ref.hpp"

namespace qern::python {
namespace {

std::atomic<PyObject*> diagnostic_slot{nullptr};
std::atomic<PyObject*> hint_slot{nullptr};

PyStructSequence_Field diagnostic_fields[] = {
    {"file", "the file the problem is in, as its path was given (None for no file)"},
    {"line", "1-based line of the offending part, or None"},
    {"column", "1-based column (in characters) where it starts, or None"},
    {"end_line", "the line where it ends, or None"},
    {"end_column", "the column one past its end, or None"},
    {"severity", "'error' or 'warning'"},
    {"code", "the stable code, as qern check shows it ('parse', 'unknown-type', ...)"},
    {"message", "the exact text"},
    {"chain",
     "the @import and @derive lines that led to the file, outermost first: "
     "(file, line) pairs"},
    {"hints", "the suggested replacements, as Hint objects"},
    {nullptr, nullptr},
};

PyStructSequence_Desc diagnostic_desc = {
    "qern_native.Diagnostic",
    "One problem qern_native.check() found: where, how severe, its code and exact message.",
    diagnostic_fields,
    10,
};

PyStructSequence_Field hint_fields[] = {
    {"message", "what the hint says (\"did you mean 'i32'?\")"},
    {"replacement", "the text to write in place of the span"},
    {"file", "the file of the span"},
    {"line", "1-based line where the span starts"},
    {"column", "1-based column (in characters) where the span starts"},
    {"end_line", "the line where the span ends"},
    {"end_column", "the column one past the span's end"},
    {nullptr, nullptr},
};

PyStructSequence_Desc hint_desc = {
    "qern_native.Hint",
    "A suggested mend: write `replacement` in place of the span.",
    hint_fields,
    7,
};

// Fills the struct sequence `seq` from `items` (new references or null); false with the
// error set when one could not be made.
bool fill(PyObject* seq, std::initializer_list<PyObject*> items) {
    Py_ssize_t i = 0;
    bool ok = true;
    for (PyObject* item : items) {
        if (item == nullptr) {
            ok = false;
            Py_INCREF(Py_None);
            item = Py_None;
        }
        PyStructSequence_SetItem(seq, i++, item);
    }
    return ok;
}

PyObject* make_hint(const analysis::Hint& hint) {
    PyObject* type = hint_type();
    if (type == nullptr) return nullptr;
    PyRef seq = PyRef::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type)));
    if (!seq) return nullptr;
    const Location& at = hint.where;
    if (!fill(seq.get(), {to_python(std::string_view(hint.message)),
                          to_python(std::string_view(hint.replacement)), optional_text(at.file),
                          optional_number(at.line), optional_number(at.column),
                          optional_number(at.end_line), optional_number(at.end_column)}))
        return nullptr;
    return seq.release();
}

PyObject* make_diagnostic(const analysis::Diagnostic& d) {
    PyObject* type = diagnostic_type();
    if (type == nullptr) return nullptr;
    PyRef hints = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(d.hints.size())));
    if (!hints) return nullptr;
    for (std::size_t i = 0; i < d.hints.size(); ++i) {
        PyObject* hint = make_hint(d.hints[i]);
        if (hint == nullptr) return nullptr;
        PyTuple_SET_ITEM(hints.get(), static_cast<Py_ssize_t>(i), hint);
    }
    PyRef seq = PyRef::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type)));
    if (!seq) return nullptr;
    const Location& at = d.where;
    const char* severity = d.severity == analysis::Severity::Error ? "error" : "warning";
    if (!fill(seq.get(),
              {optional_text(at.file), optional_number(at.line), optional_number(at.column),
               optional_number(at.end_line), optional_number(at.end_column),
               PyUnicode_FromString(severity), to_python(std::string_view(d.code)),
               to_python(std::string_view(d.message)), chain_to_python(at), hints.release()}))
        return nullptr;
    return seq.release();
}

// The text of a path argument: a str or an os.PathLike that gives one. Null with a
// TypeError naming `what` otherwise.
std::optional<std::string> path_text(PyObject* obj, const char* what) {
    PyRef path = PyRef::steal(PyOS_FSPath(obj));
    if (!path && !PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    if (!path || !PyUnicode_Check(path.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "check() %s must be a str or os.PathLike giving a str, not %s", what,
                     Py_TYPE(path ? path.get() : obj)->tp_name);
        return std::nullopt;
    }
    auto text = utf8_argument(path.get(), what);
    if (!text) return std::nullopt;
    return std::string(*text);
}

std::optional<std::vector<std::string>> path_list(PyObject* paths) {
    if (PyUnicode_Check(paths) || PyBytes_Check(paths) ||
        PyObject_HasAttrString(paths, "__fspath__")) {
        PyErr_Format(PyExc_TypeError,
                     "check() argument 'paths' must be a list of paths, not a single %s "
                     "(write [path])",
                     Py_TYPE(paths)->tp_name);
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Fast(
        paths, "check() argument 'paths' must be a list of paths (str or os.PathLike)"));
    if (!items) return std::nullopt;
    std::vector<std::string> out;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto text = path_text(PySequence_Fast_GET_ITEM(items.get(), i), "argument 'paths' item");
        if (!text) return std::nullopt;
        out.push_back(std::move(*text));
    }
    if (out.empty()) {
        PyErr_SetString(PyExc_ValueError, "check() argument 'paths' is empty: nothing to check");
        return std::nullopt;
    }
    return out;
}

// What `qern check` finds for `paths`, in its order. A directory without any .qrn file is
// a finding of its own, as the command refuses it.
std::vector<analysis::Diagnostic> run_check(const std::vector<std::string>& paths, bool strict,
                                            const std::string& directory) {
    const analysis::Expansion expansion = analysis::expand_paths(paths, directory);
    std::vector<analysis::Diagnostic> out;
    for (const std::string& empty : expansion.empty) {
        analysis::Diagnostic d;
        d.code = "io";
        d.message = "IO Error: no .qrn files below the directory '" + empty + "'";
        d.where.file = empty;
        d.path = empty;
        out.push_back(std::move(d));
    }
    for (const analysis::Entry& entry : expansion.entries) {
        std::vector<analysis::Diagnostic> found = analysis::check_entry(entry, {strict}, directory);
        for (analysis::Diagnostic& d : found) out.push_back(std::move(d));
    }
    return out;
}

PyObject* check_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"paths", "strict", "directory", nullptr};
    PyObject* paths = nullptr;
    int strict = 0;
    PyObject* directory_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:check", const_cast<char**>(keywords),
                                     &paths, &strict, &directory_arg))
        return nullptr;
    return catch_failures<PyObject*>(nullptr, [&]() -> PyObject* {
        auto list = path_list(paths);
        if (!list) return nullptr;
        std::string directory;
        if (directory_arg != Py_None) {
            auto text = path_text(directory_arg, "argument 'directory'");
            if (!text) return nullptr;
            if (text->empty()) {
                PyErr_SetString(PyExc_ValueError, "check() argument 'directory' is empty");
                return nullptr;
            }
            directory = std::move(*text);
        }
        std::vector<analysis::Diagnostic> found;
        std::exception_ptr failure;
        // The files are read and checked without the GIL: nothing below touches an object.
        Py_BEGIN_ALLOW_THREADS;
        try {
            found = run_check(*list, strict != 0, directory);
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS;
        if (failure) std::rethrow_exception(failure);
        PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!result) return nullptr;
        for (std::size_t i = 0; i < found.size(); ++i) {
            PyObject* d = make_diagnostic(found[i]);
            if (d == nullptr) return nullptr;
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), d);
        }
        return result.release();
    });
}

}  // namespace

PyObject* diagnostic_type() {
    return publish_once(diagnostic_slot, [] {
        return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&diagnostic_desc));
    });
}

PyObject* hint_type() {
    return publish_once(hint_slot, [] {
        return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&hint_desc));
    });
}

PyMethodDef check_method = {
    "check",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check_function)),
    METH_VARARGS | METH_KEYWORDS,
    "check(paths, *, strict=False, directory=None)\n--\n\n"
    "Check the files `paths` (directories stand for the .qrn files below them) as `qern "
    "check` does, and return what it finds: a list of `Diagnostic`, empty when all is well.\n"
    "\n"
    "`strict` adds the warnings of `qern check --strict`. Relative paths, also those of "
    "@import and @derive, are taken against `directory` (default: the working directory).\n"
    "Raises only for bad arguments, never for problems found in the files.\n\n"
    "```python\nassert qern_native.check([\"conf/app.qrn\"]) == []\n```",
};

}  // namespace qern::python
