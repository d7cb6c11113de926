#include "module.hpp"

#include <cstring>
#include <new>

#include "check.hpp"
#include "commands/builtins.hpp"
#include "frozen_class.hpp"
#include "py_ref.hpp"
#include "qern_class.hpp"
#include "typed_values.hpp"

namespace qern::python {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way through the stack and ends the interpreter.";

constexpr const char kModuleDoc[] =
    "Python extension-module entry point of the QERN parser, compiled when the CMake option\n"
    "QERN_BUILD_PYTHON is on.\n"
    "\n"
    "In Python: `from qern_native import QERN`";

constexpr const char kVersion[] = "1.4.0";

std::atomic<PyObject*> panic_slot{nullptr};

// Appends `name` to the module's __all__ (created empty if missing), then sets the attribute.
int add_export(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(all.get())));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'list'",
                         qualname.get());
        return -1;
    }
    PyRef name_str = PyRef::steal(PyUnicode_FromString(name));
    if (!name_str || PyList_Append(all.get(), name_str.get()) < 0) return -1;
    return PyObject_SetAttr(module, name_str.get(), value);
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(module)));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'",
                         qualname.get());
        return -1;
    }
    // The class object is shared by the whole process, and an object of one interpreter
    // must never be handed to another.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "qern_native can only be imported by the main interpreter");
        return -1;
    }
    // The built-in directives and types, shared by every document, are built now, before
    // any thread can parse: a child forked while a thread first built them would wait for
    // them forever.
    try {
        (void)builtins();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    PyObject* cls = qern_type();
    if (cls == nullptr || add_export(module, "QERN", cls) < 0) return -1;
    PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
    if (!version || add_export(module, "__version__", version.get()) < 0) return -1;
    // An attribute, not an export: __all__ stays as it always was.
    if (!import_datetime()) return -1;
    PyObject* frozen = frozen_type();
    if (frozen == nullptr || PyObject_SetAttrString(module, "FrozenQERN", frozen) < 0) return -1;
    // The checker and its result types are attributes too.
    PyRef name = PyRef::steal(PyUnicode_FromString("qern_native"));
    if (!name) return -1;
    PyRef check = PyRef::steal(PyCFunction_NewEx(&check_method, nullptr, name.get()));
    if (!check || PyModule_AddObjectRef(module, "check", check.get()) < 0) return -1;
    PyObject* diagnostic = diagnostic_type();
    PyObject* hint = hint_type();
    if (diagnostic == nullptr || hint == nullptr ||
        PyModule_AddObjectRef(module, "Diagnostic", diagnostic) < 0 ||
        PyModule_AddObjectRef(module, "Hint", hint) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "qern_native", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,       nullptr,    nullptr,
};

}  // namespace

PyObject* panic_exception() {
    return publish_once(panic_slot, [] {
        return PyErr_NewExceptionWithDoc("native_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    });
}

void raise_panic(PyObject* message) {
    PyObject* panic = panic_exception();
    if (panic != nullptr) PyErr_SetObject(panic, message);
}

void raise_panic(const char* message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) raise_panic(text.get());
}

}  // namespace qern::python

PyMODINIT_FUNC PyInit_qern_native(void) {
    return PyModuleDef_Init(&qern::python::module_definition);
}
