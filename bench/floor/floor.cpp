// qern_floor: what a dict of the document's pairs costs at the least, and how the pure
// C++ parse scales on two threads. For bench/compare.py only; never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "commands/builtins.hpp"

namespace {

// The pairs as UTF-8 bytes in one buffer, the way a document holds them in C++.
std::string held_bytes;
std::vector<std::pair<std::string_view, std::string_view>> held_pairs;

// hold(text): keeps the `key = value` lines of the text as pairs of bytes.
PyObject* hold(PyObject*, PyObject* arg) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (data == nullptr) return nullptr;
    held_pairs.clear();
    held_bytes.assign(data, static_cast<std::size_t>(size));
    std::string_view rest(held_bytes);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const std::size_t eq = line.find(" = ");
        if (eq == std::string_view::npos) continue;
        held_pairs.emplace_back(line.substr(0, eq), line.substr(eq + 3));
    }
    return PyLong_FromSize_t(held_pairs.size());
}

PyObject* ascii_str(std::string_view s) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (str != nullptr) std::memcpy(PyUnicode_DATA(str), s.data(), s.size());
    return str;
}

PyObject* utf8_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

template <PyObject* (*Make)(std::string_view)>
PyObject* to_dict(PyObject*, PyObject*) {
    PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(held_pairs.size()));
    if (dict == nullptr) return nullptr;
    for (const auto& [k, v] : held_pairs) {
        PyObject* key = Make(k);
        PyObject* value = key ? Make(v) : nullptr;
        const bool ok = value != nullptr && PyDict_SetItem(dict, key, value) == 0;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (!ok) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

// cxx_two_thread_speedup(text, rounds): parses the text `rounds` times on one thread, twice
// over, then on two threads at once; returns the throughput ratio. Runs detached.
PyObject* cxx_two_thread_speedup(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    int rounds = 4;
    if (!PyArg_ParseTuple(args, "s#|i", &data, &size, &rounds)) return nullptr;
    const std::string text(data, static_cast<std::size_t>(size));
    double ratio = 0;
    Py_BEGIN_ALLOW_THREADS;
    auto work = [&] {
        for (int i = 0; i < rounds; ++i) {
            auto doc = qern::parse_document(text);
            if (!doc) std::abort();
        }
    };
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    work();
    work();
    const double serial = std::chrono::duration<double>(clock::now() - start).count();
    start = clock::now();
    std::thread a(work), b(work);
    a.join();
    b.join();
    ratio = serial / std::chrono::duration<double>(clock::now() - start).count();
    Py_END_ALLOW_THREADS;
    return PyFloat_FromDouble(ratio);
}

PyMethodDef methods[] = {
    {"hold", hold, METH_O, "hold(text): keeps the text's pairs as UTF-8 bytes."},
    {"to_dict", to_dict<utf8_str>, METH_NOARGS,
     "to_dict(): a dict of the held pairs, each str decoded from UTF-8."},
    {"to_dict_ascii", to_dict<ascii_str>, METH_NOARGS,
     "to_dict_ascii(): the same, each str made by PyUnicode_New and a copy (ASCII only)."},
    {"cxx_two_thread_speedup", cxx_two_thread_speedup, METH_VARARGS,
     "cxx_two_thread_speedup(text, rounds=4): two threads parsing against one, in C++."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "qern_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_qern_floor() {
    PyObject* m = PyModule_Create(&module);
#ifdef Py_GIL_DISABLED
    if (m != nullptr) PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED);
#endif
    return m;
}
