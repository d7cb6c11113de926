#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <new>

namespace qern::python {

// Returns the object in `slot`, making it with `make` (a new reference or null with an error
// set) when there is none yet. No lock is held while `make` calls into the interpreter, so
// nothing can deadlock on the GIL, a stop-the-world pause or a re-entrant first use; when two
// threads race, the first object published wins and the other is dropped unseen.
template <class Make>
PyObject* publish_once(std::atomic<PyObject*>& slot, Make make) {
    if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
    PyObject* created = make();
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return created;
    Py_DECREF(created);
    return expected;
}

// The internal-failure exception "native_runtime.PanicException" (a BaseException), created
// once per process. Borrowed; null with an error set if it could not be created.
PyObject* panic_exception();

// Raises the internal-failure exception with `message` (a str) as its single argument.
void raise_panic(PyObject* message);
void raise_panic(const char* message);

// Runs `body` at the boundary to the interpreter: no C++ exception gets past it. Memory
// exhaustion becomes MemoryError, any other failure the internal-failure exception. The
// one thing let through is the unwinding of a thread that the interpreter ends while it
// exits (it must reach the thread's start to finish). That unwinding carries no object, so
// its handler's reference is bound to null by design: the null-reference check is off here
// (it only fired when a thread was ended inside a call).
template <class R, class Body>
__attribute__((no_sanitize("null"))) R catch_failures(R on_error, Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return on_error;
}

}  // namespace qern::python
