#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qern::python {

// qern_native.check(paths, *, strict=False, directory=None): the checks of `qern check`,
// returned as a list of diagnostics.
extern PyMethodDef check_method;

// The immutable result types qern_native.Diagnostic and qern_native.Hint, created once per
// process on first need. Borrowed; null with an error set if they could not be created.
PyObject* diagnostic_type();
PyObject* hint_type();

}  // namespace qern::python
