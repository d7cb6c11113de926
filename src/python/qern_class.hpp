#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qern::python {

// The class QERN, created once per process on first need and shared by every module
// object. Borrowed; null with an error set if it could not be created.
PyObject* qern_type();

}  // namespace qern::python
