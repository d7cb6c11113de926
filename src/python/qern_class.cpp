#include "qern_class.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "commands/builtins.hpp"
#include "conversions.hpp"
#include "frozen_class.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "qern/document.hpp"
#include "typed_values.hpp"
#include "types/types.hpp"

namespace qern::python {
namespace {

// The instance layout: the document, the borrow flag (0 free, n > 0 shared borrows,
// -1 exclusive) and the thread that created the instance: its token, which is what is
// compared, and its OS identifier, which is what messages show.
struct PyQern {
    PyObject ob_base;
    alignas(QernDocument) std::byte doc_storage[sizeof(QernDocument)];
    std::atomic<Py_ssize_t> borrow;
    std::uint64_t owner;
    unsigned long owner_ident;

    QernDocument& doc() { return *std::launder(reinterpret_cast<QernDocument*>(doc_storage)); }
};

std::atomic<PyObject*> type_slot{nullptr};

// A number no other thread of the process ever gets. OS thread identifiers are handed
// again to new threads once a thread ends, so they cannot tell a later thread from the
// instance's creator; this counter never repeats.
std::atomic<std::uint64_t> next_thread_token{1};

// The calling thread's token, 0 until it first asks. Initial-exec: every call checks it, and
// the general dynamic model would cost a call into the loader each time.
thread_local std::uint64_t thread_token __attribute__((tls_model("initial-exec"))) = 0;

[[gnu::noinline]] std::uint64_t first_thread_token() {
    thread_token = next_thread_token.fetch_add(1, std::memory_order_relaxed);
    return thread_token;
}

inline std::uint64_t current_thread() {
    const std::uint64_t token = thread_token;
    return token != 0 ? token : first_thread_token();
}

enum class Access { Shared, Exclusive };

[[gnu::cold, gnu::noinline]] bool refuse_foreign_thread(const PyQern* obj) {
    PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "assertion `left == right` failed: qern_native::python::PyQERN is unsendable, but "
        "sent to another thread\n  left: %lu\n right: %lu",
        PyThread_get_thread_ident(), obj->owner_ident));
    if (message) raise_panic(message.get());
    return false;
}

inline bool check_owner(const PyQern* obj) {
    return current_thread() == obj->owner || refuse_foreign_thread(obj);
}

// The flag is taken and given back only after the thread check, so only the owner thread
// ever reads or writes it: a plain atomic load and store is enough, without the locked
// read-modify-write a flag shared between threads would need.
template <Access A>
bool take_borrow(PyQern* obj) {
    const Py_ssize_t current = obj->borrow.load(std::memory_order_relaxed);
    if constexpr (A == Access::Exclusive) {
        if (current == 0) {
            obj->borrow.store(-1, std::memory_order_relaxed);
            return true;
        }
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    } else {
        if (current != -1) {
            obj->borrow.store(current + 1, std::memory_order_relaxed);
            return true;
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
}

template <Access A>
void release_borrow(PyQern* obj) {
    if constexpr (A == Access::Exclusive)
        obj->borrow.store(0, std::memory_order_relaxed);
    else
        obj->borrow.store(obj->borrow.load(std::memory_order_relaxed) - 1,
                          std::memory_order_relaxed);
}

// Runs work of the core on borrowed arguments, with the thread attached to the interpreter.
template <class Work>
decltype(auto) core(Work&& work) {
    return std::forward<Work>(work)();
}

// Texts at least this long are parsed detached from the interpreter.
constexpr std::size_t kLongText = 32 * 1024;

// Whether merging `text` may take long: a long text, or one with a directive, which may
// read files (of any size, and a read may block) through @import and @derive.
bool long_merge(std::string_view text) {
    return text.size() >= kLongText || text.find('@') != std::string_view::npos;
}
// Documents with at least this many keys are freed with the GIL released.
constexpr std::size_t kLongDocument = 4096;

// Runs long work of the core (large parses and merges, file reads) detached from the
// interpreter: on builds with a GIL it is released, so that other threads go on meanwhile;
// on free-threaded builds a collection, or anything else that stops the world, does not
// wait for the work to end. The instance stays borrowed, and nothing in the work touches a
// Python object. The thread attaches again on every path; a failure of the work is
// rethrown only once it has. Attaching again is not done from a destructor: while the
// interpreter exits, that call may end the thread by unwinding it.
template <class Work>
auto core_long(bool long_work, Work&& work) -> decltype(work()) {
    if (long_work) {
        std::optional<decltype(work())> result;
        std::exception_ptr failure;
        PyThreadState* state = PyEval_SaveThread();
        try {
            result.emplace(std::forward<Work>(work)());
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
    return std::forward<Work>(work)();
}

// The entry into every method and slot of an instance: checks the type of `self` and the
// calling thread, takes the borrow, runs `body` on the document and releases the borrow
// on every path. Returns `on_error` with a Python error set when anything fails.
template <Access A, class R, class Body>
R with_document(PyObject* self, R on_error, Body&& body) {
    PyObject* cls = type_slot.load(std::memory_order_acquire);
    if (cls == nullptr || Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(cls)) {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'QERN'",
                         qualname.get());
        return on_error;
    }
    auto* obj = reinterpret_cast<PyQern*>(self);
    if (!check_owner(obj) || !take_borrow<A>(obj)) return on_error;
    R result = catch_failures(on_error, [&] { return body(obj->doc()); });
    release_borrow<A>(obj);
    return result;
}

// Wraps a document in a new instance owned by the calling thread. On failure the document
// is left to its owner and null is returned with the error set.
PyObject* wrap_document(PyTypeObject* type, QernDocument&& doc) {
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* self = PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<PyQern*>(self);
    new (obj->doc_storage) QernDocument(std::move(doc));
    new (&obj->borrow) std::atomic<Py_ssize_t>(0);
    obj->owner = current_thread();
    obj->owner_ident = PyThread_get_thread_ident();
    return self;
}

PyObject* new_instance(QernDocument&& doc) {
    PyObject* cls = qern_type();
    if (cls == nullptr) return nullptr;
    return wrap_document(reinterpret_cast<PyTypeObject*>(cls), std::move(doc));
}

PyObject* instance_or_error(Result<QernDocument>&& result) {
    if (!result) {
        raise_core_error(result.error());
        return nullptr;
    }
    return new_instance(std::move(result).value());
}

PyObject* qern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "QERN.__new__() takes 0 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &name, &value);
        PyErr_Format(PyExc_TypeError, "QERN.__new__() got an unexpected keyword argument '%S'",
                     name);
        return nullptr;
    }
    return catch_failures<PyObject*>(nullptr, [&] {
        QernDocument doc = new_document();
        return wrap_document(type, std::move(doc));
    });
}

void qern_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PyQern*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->owner == current_thread()) {
        QernDocument& doc = obj->doc();
#ifndef Py_GIL_DISABLED
        // Freeing a large document takes a while and touches nothing of Python's.
        if (doc.data().size() >= kLongDocument) {
            PyThreadState* state = PyEval_SaveThread();
            doc.~QernDocument();
            PyEval_RestoreThread(state);
        } else {
            doc.~QernDocument();
        }
#else
        doc.~QernDocument();
#endif
    } else {
        // The document may not be touched off its thread: it is leaked, and said so.
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* pending = PyErr_GetRaisedException();
#else
        PyObject *pending_type, *pending_value, *pending_traceback;
        PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
#endif
        PyErr_SetString(PyExc_RuntimeError,
                        "qern_native::python::PyQERN is unsendable, but is being dropped on "
                        "another thread");
        PyErr_WriteUnraisable(nullptr);
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(pending);
#else
        PyErr_Restore(pending_type, pending_value, pending_traceback);
#endif
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* qern_repr(PyObject* self) {
    return with_document<Access::Shared, PyObject*>(self, nullptr, [](QernDocument& doc) {
        return PyUnicode_FromFormat("QERN(%zu keys)", doc.data().size());
    });
}

Py_ssize_t qern_length(PyObject* self) {
    return with_document<Access::Shared, Py_ssize_t>(
        self, -1, [](QernDocument& doc) { return static_cast<Py_ssize_t>(doc.data().size()); });
}

int qern_contains(PyObject* self, PyObject* key) {
    return with_document<Access::Shared, int>(self, -1, [&](QernDocument& doc) {
        const auto text = utf8_argument(key, "key");
        if (!text) return -1;
        return core([&] { return doc.find_obj(*text).has_value(); }) ? 1 : 0;
    });
}

PyObject* qern_subscript(PyObject* self, PyObject* key) {
    return with_document<Access::Shared, PyObject*>(self, nullptr, [&](QernDocument& doc) {
        const auto text = utf8_argument(key, "key");
        if (!text) return static_cast<PyObject*>(nullptr);
        const auto value = core([&] { return doc.find_obj(*text); });
        if (!value) {
            raise_core_error(QernError::key_not_found(*text));
            return static_cast<PyObject*>(nullptr);
        }
        return to_python(*value);
    });
}

constexpr Signature kParse{"QERN.parse()", {"content"}, 1};
constexpr Signature kLoad{"QERN.load()", {"path"}, 1};
constexpr Signature kMergeContent{"QERN.merge_content()", {"content"}, 1};
constexpr Signature kMergeFile{"QERN.merge_file()", {"path"}, 1};
constexpr Signature kFindObj{"QERN.find_obj()", {"key"}, 1};
constexpr Signature kFindKey{"QERN.find_key()", {"value"}, 1};
constexpr Signature kFindDeep{"QERN.find_deep()", {"key"}, 1};
constexpr Signature kFindList{"QERN.find_list()", {"key"}, 1};
constexpr Signature kFindObject{"QERN.find_object()", {"key"}, 1};
constexpr Signature kValidateValue{"QERN.validate_value()", {"type_name", "value"}, 2};

// parse and load: a new document from text or from a file.
template <const Signature& Sig, Result<QernDocument> (*Make)(std::string_view)>
PyObject* constructor_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* arg;
    if (!bind_arguments(Sig, args, nargs, kwnames, &arg)) return nullptr;
    return catch_failures<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto text = utf8_argument(arg, Sig.params[0]);
        if (!text) return nullptr;
        // A file read may block, and a long text takes a while: both run detached.
        const bool long_work = Make == load_document || long_merge(*text);
        return instance_or_error(core_long(long_work, [&] { return Make(*text); }));
    });
}

// merge_content and merge_file: change the document under the exclusive borrow.
template <const Signature& Sig, Result<void> (QernDocument::*Merge)(std::string_view)>
PyObject* merge_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    if (!bind_arguments(Sig, args, nargs, kwnames, &arg)) return nullptr;
    return with_document<Access::Exclusive, PyObject*>(
        self, nullptr, [&](QernDocument& doc) -> PyObject* {
            const auto text = utf8_argument(arg, Sig.params[0]);
            if (!text) return nullptr;
            const bool long_work = Merge == &QernDocument::merge_file || long_merge(*text);
            return none_or_error(core_long(long_work, [&] { return (doc.*Merge)(*text); }));
        });
}

// The lookups: one str argument, a result that is absent or converts to a Python value.
template <const Signature& Sig, auto Lookup>
PyObject* lookup_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* arg;
    if (!bind_arguments(Sig, args, nargs, kwnames, &arg)) return nullptr;
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [&](QernDocument& doc) -> PyObject* {
            const auto text = utf8_argument(arg, Sig.params[0]);
            if (!text) return nullptr;
            const QernDocument& view = doc;
            return to_python(core([&] { return (view.*Lookup)(*text); }));
        });
}

PyObject* validate_value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* argv[2];
    if (!bind_arguments(kValidateValue, args, nargs, kwnames, argv)) return nullptr;
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [&](QernDocument& doc) { return validate_value_call(doc, argv); });
}

PyObject* keys_method(PyObject* self, PyObject*) {
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [](QernDocument& doc) -> PyObject* {
            const DataMap& data = doc.data();
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.size())));
            if (!list) return nullptr;
            Py_ssize_t i = 0;
            bool failed = false;
            data.for_each([&](const DataMap::Entry& entry) {
                if (failed) return;
                PyObject* key = to_python(entry.key);
                if (key == nullptr) {
                    failed = true;
                    return;
                }
                PyList_SET_ITEM(list.get(), i++, key);
            });
            return failed ? nullptr : list.release();
        });
}

PyObject* to_dict_method(PyObject* self, PyObject*) {
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [](QernDocument& doc) -> PyObject* {
            // Sized once for all pairs: no rehashing while it fills. Its order is drawn
            // afresh for each call and need not match keys().
            PyRef dict =
                PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(doc.data().size())));
            if (!dict) return nullptr;
            bool failed = false;
            doc.data().for_each_reseeded([&](const DataMap::Entry& entry) {
                if (failed) return;
                PyRef key = PyRef::steal(to_python(entry.key));
                PyRef value = key ? PyRef::steal(to_python(entry.value)) : PyRef();
                if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) failed = true;
            });
            return failed ? nullptr : dict.release();
        });
}

PyObject* to_typed_dict_method(PyObject* self, PyObject*) {
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [](QernDocument& doc) -> PyObject* {
            const DataMap& data = doc.data();
            return typed_dict(doc, data.size(), [&](auto&& f) {
                for (std::size_t i = 0; i < data.size(); ++i)
                    f(data.entry(i).key, data.entry(i).value, nullptr, data.reading(i));
            });
        });
}

PyObject* freeze_method(PyObject* self, PyObject*) {
    return with_document<Access::Shared, PyObject*>(
        self, nullptr, [](QernDocument& doc) { return freeze_document(doc); });
}

template <class F>
PyCFunction as_cfunction(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"parse", as_cfunction(&constructor_method<kParse, parse_document>), kFast | METH_STATIC,
     "parse(content)\n--\n\nParse an QERN string and return a new instance.\n\n```python\n"
     "cfg = QERN.parse(\"host = localhost\\nport = 8080\")\n```"},
    {"load", as_cfunction(&constructor_method<kLoad, load_document>), kFast | METH_STATIC,
     "load(path)\n--\n\nLoad an QERN file from disk and return a new instance.\n\n```python\n"
     "cfg = QERN.load(\"config.qrn\")\n```"},
    {"merge_content", as_cfunction(&merge_method<kMergeContent, &QernDocument::merge_content>),
     kFast,
     "merge_content($self, content)\n--\n\nMerge QERN text into this instance (modifies "
     "in-place)."},
    {"merge_file", as_cfunction(&merge_method<kMergeFile, &QernDocument::merge_file>), kFast,
     "merge_file($self, path)\n--\n\nMerge an QERN file into this instance (modifies "
     "in-place)."},
    {"find_obj", as_cfunction(&lookup_method<kFindObj, &QernDocument::find_obj>), kFast,
     "find_obj($self, key)\n--\n\nForward lookup: returns the value for `key`, or `None`.\n\n"
     "Also performs a reverse lookup (find key whose value equals `key`)\nwhen no direct key "
     "is found."},
    {"find_key", as_cfunction(&lookup_method<kFindKey, &QernDocument::find_key>), kFast,
     "find_key($self, value)\n--\n\nReverse lookup: find the key whose value equals `value`, "
     "or `None`."},
    {"find_deep", as_cfunction(&lookup_method<kFindDeep, &QernDocument::find_deep>), kFast,
     "find_deep($self, key)\n--\n\nDeep lookup: follow key→value→key chains until a terminal "
     "or cycle."},
    {"find_list", as_cfunction(&lookup_method<kFindList, &QernDocument::find_list>), kFast,
     "find_list($self, key)\n--\n\nLook up `key` and parse its value as a list `[a, b, c]`.\n\n"
     "Returns `None` if the key is absent or the value is not a list literal."},
    {"find_object", as_cfunction(&lookup_method<kFindObject, &QernDocument::find_object>), kFast,
     "find_object($self, key)\n--\n\nLook up `key` and parse its value as an inline object "
     "`{ k = v, ... }`.\n\nReturns `None` if the key is absent or the value is not an object "
     "literal."},
    {"keys", as_cfunction(&keys_method), METH_NOARGS,
     "keys($self)\n--\n\nReturns all keys stored in this instance."},
    {"to_dict", as_cfunction(&to_dict_method), METH_NOARGS,
     "to_dict($self)\n--\n\nReturns a Python `dict` of all key-value pairs."},
    {"validate_value", as_cfunction(&validate_value_method), kFast,
     "validate_value($self, type_name, value)\n--\n\nValidate `value` against a built-in or "
     "registered type name.\n\nRaises `RuntimeError` on validation failure."},
    {"to_typed_dict", as_cfunction(&to_typed_dict_method), METH_NOARGS,
     "to_typed_dict($self)\n--\n\nReturns a Python `dict` of all pairs, in the order of first "
     "assignment, each value\nof a key that a schema declares converted to its type's Python "
     "value.\n\nRaises `ValueError` when a value does not convert."},
    {"freeze", as_cfunction(&freeze_method), METH_NOARGS,
     "freeze($self)\n--\n\nReturns an immutable snapshot of this document (a `FrozenQERN`), "
     "which any thread\nmay read; later merges do not change it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QERN()\n--\n\nPython-facing wrapper around the `QERN` parser.\n\n"
                    "All methods that can fail raise `RuntimeError` with a descriptive message.")},
    {Py_tp_new, reinterpret_cast<void*>(&qern_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&qern_repr)},
    {Py_mp_length, reinterpret_cast<void*>(&qern_length)},
    {Py_sq_contains, reinterpret_cast<void*>(&qern_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&qern_subscript)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&qern_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.QERN", static_cast<int>(sizeof(PyQern)), 0, Py_TPFLAGS_DEFAULT, type_slots,
};

}  // namespace

PyObject* qern_type() {
    return publish_once(type_slot, [] { return PyType_FromSpec(&type_spec); });
}

}  // namespace qern::python
