#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qern/document.hpp"

namespace qern::python {

// The class FrozenQERN, created once per process on first need and registered as a
// collections.abc.Mapping. Borrowed; null with an error set if it could not be created.
PyObject* frozen_type();

// A new FrozenQERN holding a snapshot of `doc`; null with an error set on failure.
PyObject* freeze_document(const QernDocument& doc);

}  // namespace qern::python
