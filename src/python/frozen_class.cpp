#include "frozen_class.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/builtins.hpp"
#include "conversions.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "qern/frozen.hpp"
#include "qern/text.hpp"
#include "typed_values.hpp"
#include "types/resolve.hpp"
#include "types/types.hpp"

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// 3.13 still exports the hash of bytes but no longer declares it; 3.14 names it
// Py_HashBuffer.
extern "C" Py_hash_t _Py_HashBytes(const void* data, Py_ssize_t size);
#endif

namespace qern::python {
namespace {

// What a FrozenQERN holds: the snapshot, and one str per pair's value, made once and
// handed out by every read. The snapshot reads the values' text inside those strs.
// Nothing here changes after it is made, so reads need no lock on any build.
class Snapshot {
  public:
    Snapshot(FrozenDocument doc, std::vector<PyObject*> values)
        : doc_(std::move(doc)), values_(std::move(values)) {}
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() {
        for (PyObject* v : values_) Py_DECREF(v);
    }
    const FrozenDocument& doc() const { return doc_; }
    PyObject* value(std::size_t i) const { return values_[i]; }
    std::size_t size() const { return values_.size(); }

  private:
    FrozenDocument doc_;
    std::vector<PyObject*> values_;
};

// Owns the strs made for a snapshot until the snapshot takes them.
struct OwnedStrs {
    std::vector<PyObject*> items;
    OwnedStrs() = default;
    OwnedStrs(const OwnedStrs&) = delete;
    OwnedStrs& operator=(const OwnedStrs&) = delete;
    ~OwnedStrs() {
        for (PyObject* s : items) Py_DECREF(s);
    }
    std::vector<PyObject*> release() { return std::exchange(items, {}); }
};

struct PyFrozen {
    PyObject ob_base;
    Snapshot* snapshot;
};

struct PyFrozenIter {
    PyObject ob_base;
    PyObject* frozen;
    // Shared by every thread that advances this one iterator: each position is handed out
    // once.
    std::atomic<std::size_t> next;
};

std::atomic<PyObject*> type_slot{nullptr};
std::atomic<PyObject*> iter_type_slot{nullptr};
// collections.abc: Mapping, KeysView, ValuesView, ItemsView.
std::atomic<PyObject*> abc_slots[4] = {};
constexpr const char* kAbcNames[4] = {"Mapping", "KeysView", "ValuesView", "ItemsView"};
enum Abc { kMapping, kKeysView, kValuesView, kItemsView };

PyObject* abc(Abc which) {
    return abc_slots[which].load(std::memory_order_acquire);
}

const Snapshot& snapshot(PyObject* self) {
    return *reinterpret_cast<PyFrozen*>(self)->snapshot;
}

// The UTF-8 text of a str: an ASCII str's own bytes, else the UTF-8 copy the str keeps.
// Null with the error set when it cannot be encoded.
const char* utf8_of(PyObject* str, Py_ssize_t* size) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
    return PyUnicode_AsUTF8AndSize(str, size);
}

// find_index answers for a key object: a position, npos when there is no such key, or
// kFailed with the error set (an unhashable key, as a dict would say).
constexpr std::size_t kFailed = FrozenDocument::npos - 1;

[[gnu::noinline]] std::size_t position_slow(const Snapshot& s, PyObject* key) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text != nullptr) return s.doc().find_index({text, static_cast<std::size_t>(size)});
        // A lone surrogate has no UTF-8 form, so no key has it.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return kFailed;
        PyErr_Clear();
        return FrozenDocument::npos;
    }
    return PyObject_Hash(key) == -1 ? kFailed : FrozenDocument::npos;
}

// A snapshot's keys are indexed by Python's hash of their UTF-8 bytes. For an ASCII str
// those bytes are the str's own, whose hash it keeps once made, so a lookup by such a str
// hashes nothing (see str_hash_is_key_hash).
std::uint64_t python_key_hash(std::string_view key) {
#if PY_VERSION_HEX >= 0x030E0000
    return static_cast<std::uint64_t>(
        Py_HashBuffer(key.data(), static_cast<Py_ssize_t>(key.size())));
#else
    return static_cast<std::uint64_t>(
        _Py_HashBytes(key.data(), static_cast<Py_ssize_t>(key.size())));
#endif
}

// Whether an ASCII str's hash is python_key_hash of its bytes, as it is in CPython; told
// once, on a str made for it, so that an interpreter that hashes otherwise is still read
// right, hashing each key.
bool str_hash_is_key_hash() {
    static const bool same = [] {
        constexpr std::string_view probe = "qern_native key";
        PyObject* str = PyUnicode_FromStringAndSize(probe.data(), probe.size());
        if (str == nullptr) {
            PyErr_Clear();
            return false;
        }
        const Py_hash_t hash = PyObject_Hash(str);
        Py_DECREF(str);
        return hash != -1 && static_cast<std::uint64_t>(hash) == python_key_hash(probe);
    }();
    return same;
}

inline std::size_t position_of(const Snapshot& s, PyObject* key) {
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key)) {
        const std::string_view text(static_cast<const char*>(PyUnicode_DATA(key)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        if (str_hash_is_key_hash())
            return s.doc().find_index(text, static_cast<std::uint64_t>(PyObject_Hash(key)));
        return s.doc().find_index(text);
    }
    return position_slow(s, key);
}

// A new FrozenQERN taking over `snapshot`; null with the error set (the snapshot freed).
PyObject* wrap_snapshot(std::unique_ptr<Snapshot> snapshot) {
    PyObject* cls = frozen_type();
    if (cls == nullptr) return nullptr;
    PyObject* self =
        reinterpret_cast<PyTypeObject*>(cls)->tp_alloc(reinterpret_cast<PyTypeObject*>(cls), 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<PyFrozen*>(self)->snapshot = snapshot.release();
    return self;
}

void frozen_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PyFrozen*>(self)->snapshot;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* frozen_repr(PyObject* self) {
    return PyUnicode_FromFormat("FrozenQERN(%zu keys)", snapshot(self).size());
}

Py_ssize_t frozen_length(PyObject* self) {
    return static_cast<Py_ssize_t>(snapshot(self).size());
}

int frozen_contains(PyObject* self, PyObject* key) {
    const std::size_t i = position_of(snapshot(self), key);
    if (i == kFailed) return -1;
    return i != FrozenDocument::npos ? 1 : 0;
}

PyObject* frozen_subscript(PyObject* self, PyObject* key) {
    const Snapshot& s = snapshot(self);
    const std::size_t i = position_of(s, key);
    if (i < s.size()) return Py_NewRef(s.value(i));
    if (i != kFailed) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

PyObject* frozen_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        if (nargs < 1)
            PyErr_Format(PyExc_TypeError, "get expected at least 1 argument, got %zd", nargs);
        else
            PyErr_Format(PyExc_TypeError, "get expected at most 2 arguments, got %zd", nargs);
        return nullptr;
    }
    const Snapshot& s = snapshot(self);
    const std::size_t i = position_of(s, args[0]);
    if (i < s.size()) return Py_NewRef(s.value(i));
    if (i == kFailed) return nullptr;
    return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

template <Abc View>
PyObject* frozen_view(PyObject* self, PyObject*) {
    return PyObject_CallOneArg(abc(View), self);
}

PyObject* frozen_iter(PyObject* self) {
    PyObject* cls = iter_type_slot.load(std::memory_order_acquire);
    auto* it = reinterpret_cast<PyFrozenIter*>(
        reinterpret_cast<PyTypeObject*>(cls)->tp_alloc(reinterpret_cast<PyTypeObject*>(cls), 0));
    if (it == nullptr) return nullptr;
    it->frozen = Py_NewRef(self);
    new (&it->next) std::atomic<std::size_t>(0);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* iter_next(PyObject* self) {
    auto* it = reinterpret_cast<PyFrozenIter*>(self);
    const Snapshot& s = snapshot(it->frozen);
    const std::size_t i = it->next.fetch_add(1, std::memory_order_relaxed);
    if (i >= s.size()) {
        it->next.store(s.size(), std::memory_order_relaxed);
        return nullptr;
    }
    return to_python(s.doc().entry(i).key);
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_DECREF(reinterpret_cast<PyFrozenIter*>(self)->frozen);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* to_dict_of(const Snapshot& s) {
    PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(s.size())));
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < s.size(); ++i) {
        PyRef key = PyRef::steal(to_python(s.doc().entry(i).key));
        if (!key || PyDict_SetItem(dict.get(), key.get(), s.value(i)) < 0) return nullptr;
    }
    return dict.release();
}

// Equal to another snapshot or mapping with the same pairs, as a dict would compare.
PyObject* frozen_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const Snapshot& s = snapshot(self);
    if (Py_TYPE(other) == Py_TYPE(self)) {
        const Snapshot& o = snapshot(other);
        bool equal = s.size() == o.size();
        for (std::size_t i = 0; equal && i < s.size(); ++i) {
            const auto e = s.doc().entry(i);
            const auto value = o.doc().find(e.key);
            equal = value && *value == e.value;
        }
        return PyBool_FromLong(equal == (op == Py_EQ));
    }
    const int mapping = PyObject_IsInstance(other, abc(kMapping));
    if (mapping < 0) return nullptr;
    if (mapping == 0) Py_RETURN_NOTIMPLEMENTED;
    PyRef dict = PyRef::steal(to_dict_of(s));
    if (!dict) return nullptr;
    return PyObject_RichCompare(dict.get(), other, op);
}

constexpr Signature kFindObj{"FrozenQERN.find_obj()", {"key"}, 1};
constexpr Signature kFindKey{"FrozenQERN.find_key()", {"value"}, 1};
constexpr Signature kFindDeep{"FrozenQERN.find_deep()", {"key"}, 1};
constexpr Signature kFindList{"FrozenQERN.find_list()", {"key"}, 1};
constexpr Signature kFindObject{"FrozenQERN.find_object()", {"key"}, 1};
constexpr Signature kValidateValue{"FrozenQERN.validate_value()", {"type_name", "value"}, 2};

template <const Signature& Sig, auto Lookup>
PyObject* lookup_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* arg;
    if (!bind_arguments(Sig, args, nargs, kwnames, &arg)) return nullptr;
    return catch_failures<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto text = utf8_argument(arg, Sig.params[0]);
        if (!text) return nullptr;
        return to_python((snapshot(self).doc().*Lookup)(*text));
    });
}

PyObject* validate_value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* argv[2];
    if (!bind_arguments(kValidateValue, args, nargs, kwnames, argv)) return nullptr;
    return catch_failures<PyObject*>(
        nullptr, [&] { return validate_value_call(snapshot(self).doc().declarations(), argv); });
}

PyObject* to_dict_method(PyObject* self, PyObject*) {
    return catch_failures<PyObject*>(nullptr, [&] { return to_dict_of(snapshot(self)); });
}

PyObject* to_typed_dict_method(PyObject* self, PyObject*) {
    return catch_failures<PyObject*>(nullptr, [&] {
        const Snapshot& s = snapshot(self);
        return typed_dict(s.doc().declarations(), s.size(), [&](auto&& f) {
            for (std::size_t i = 0; i < s.size(); ++i)
                f(s.doc().entry(i).key, s.doc().entry(i).value, s.value(i), nullptr);
        });
    });
}

PyObject* same_object(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

// The pickled state: (1, pairs, types, schemas, owners, answers), where pairs alternate
// keys and values in the order of first assignment; types are (name, definition) by
// name; schemas are (name, ((field, type, optional), ...)) in the order of their
// registration, fields by name; owners are (field, schema) by field, the schema that
// checks each field; answers the positions find_key answers with for shared values.
// Plain tuples of str, bool and int: exact for any key and value, which QERN text cannot
// always be (a key may hold an unclosed quote that swallows what follows it).
constexpr long kStateVersion = 1;

PyObject* text(std::string_view s) {
    return to_python(s);
}

PyObject* state_of(const Snapshot& s) {
    const FrozenDocument& doc = s.doc();
    const QernDocument& decl = doc.declarations();
    PyRef pairs = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(2 * s.size())));
    if (!pairs) return nullptr;
    for (std::size_t i = 0; i < s.size(); ++i) {
        PyObject* key = text(doc.entry(i).key);
        if (key == nullptr) return nullptr;
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(2 * i), key);
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(2 * i + 1), Py_NewRef(s.value(i)));
    }
    std::map<std::string_view, std::string_view> aliases;
    for (const auto& [name, type] : decl.types())
        if (const auto* alias = dynamic_cast<const AliasType*>(type.get()))
            aliases.emplace(name, alias->definition());
    PyRef types = PyRef::steal(PyList_New(0));
    if (!types) return nullptr;
    for (const auto& [name, definition] : aliases) {
        PyRef item = PyRef::steal(Py_BuildValue("(NN)", text(name), text(definition)));
        if (!item || PyList_Append(types.get(), item.get()) < 0) return nullptr;
    }
    PyRef schemas = PyRef::steal(PyList_New(0));
    if (!schemas) return nullptr;
    std::map<std::string_view, std::string_view> owners;
    for (const std::string& name : decl.schemas().names()) {
        const SchemaDef& def = *decl.schemas().find(name);
        std::map<std::string_view, std::string_view> sorted(def.fields.begin(), def.fields.end());
        PyRef fields = PyRef::steal(PyList_New(0));
        if (!fields) return nullptr;
        for (const auto& [field, type] : sorted) {
            PyRef item = PyRef::steal(
                Py_BuildValue("(NNO)", text(field), text(type),
                              def.optional.count(std::string(field)) != 0 ? Py_True : Py_False));
            if (!item || PyList_Append(fields.get(), item.get()) < 0) return nullptr;
            owners.emplace(field, decl.schemas().owner_of(field)->schema);
        }
        PyRef item = PyRef::steal(Py_BuildValue("(NN)", text(name), PyList_AsTuple(fields.get())));
        if (!item || PyList_Append(schemas.get(), item.get()) < 0) return nullptr;
    }
    PyRef owner_list = PyRef::steal(PyList_New(0));
    if (!owner_list) return nullptr;
    for (const auto& [field, schema] : owners) {
        PyRef item = PyRef::steal(Py_BuildValue("(NN)", text(field), text(schema)));
        if (!item || PyList_Append(owner_list.get(), item.get()) < 0) return nullptr;
    }
    PyRef answers = PyRef::steal(PyList_New(0));
    if (!answers) return nullptr;
    for (const std::size_t a : doc.shared_value_answers()) {
        PyRef n = PyRef::steal(PyLong_FromSize_t(a));
        if (!n || PyList_Append(answers.get(), n.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(lONNNN)", kStateVersion, pairs.get(), PyList_AsTuple(types.get()),
                         PyList_AsTuple(schemas.get()), PyList_AsTuple(owner_list.get()),
                         PyList_AsTuple(answers.get()));
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return catch_failures<PyObject*>(nullptr, [&]() -> PyObject* {
        PyRef restore = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
        if (!restore) return nullptr;
        PyRef state = PyRef::steal(state_of(snapshot(self)));
        if (!state) return nullptr;
        return Py_BuildValue("(O(O))", restore.get(), state.get());
    });
}

// Reads a state back. Anything that is not a state __reduce__ makes is refused.
class StateReader {
  public:
    explicit StateReader(PyObject* state) : state_(state) {}

    PyObject* read() {
        if (!PyTuple_Check(state_) || PyTuple_GET_SIZE(state_) != 6 ||
            !PyLong_Check(item(state_, 0)) || PyLong_AsLong(item(state_, 0)) != kStateVersion) {
            refuse("it is no tuple (1, pairs, types, schemas, owners, answers)");
            return nullptr;
        }
        QernDocument decl = new_document();
        if (!read_types(decl) || !read_schemas(decl) || !read_owners(decl)) return nullptr;
        OwnedStrs values;
        std::vector<FrozenDocument::Entry> pairs;
        if (!read_pairs(values, pairs)) return nullptr;
        std::vector<std::size_t> answers;
        if (!read_answers(answers)) return nullptr;
        auto restored = FrozenDocument::restore(pairs, std::move(decl), answers, python_key_hash);
        if (!restored) {
            const auto* reason = restored.error().as<QernError::InvalidValue>();
            refuse(reason != nullptr ? std::string_view(reason->message) : "?");
            return nullptr;
        }
        return wrap_snapshot(
            std::make_unique<Snapshot>(std::move(restored).value(), values.release()));
    }

  private:
    static PyObject* item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }

    static bool refuse(std::string_view why) {
        PyErr_SetString(PyExc_ValueError, concat("not a FrozenQERN state: ", why).c_str());
        return false;
    }
    // The tuple at `i` of the state, each of its items a tuple of `width` (0: any).
    PyObject* part(Py_ssize_t i, Py_ssize_t width) {
        PyObject* t = item(state_, i);
        if (!PyTuple_Check(t)) return nullptr;
        for (Py_ssize_t k = 0; width != 0 && k < PyTuple_GET_SIZE(t); ++k) {
            PyObject* row = item(t, k);
            if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != width) return nullptr;
        }
        return t;
    }
    // The UTF-8 text of a str item; none (with the error set) otherwise.
    std::optional<std::string_view> str(PyObject* obj) {
        if (!PyUnicode_Check(obj)) {
            refuse("an item that should be a str is not");
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* data = utf8_of(obj, &size);
        if (data == nullptr) return std::nullopt;
        return std::string_view(data, static_cast<std::size_t>(size));
    }

    // Part `i`: (str, str) pairs, each handed to `each`.
    template <class Each>
    bool read_str_pairs(Py_ssize_t i, std::string_view what, Each&& each) {
        PyObject* rows = part(i, 2);
        if (rows == nullptr) return refuse(what);
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rows); ++k) {
            const auto first = str(item(item(rows, k), 0));
            const auto second = first ? str(item(item(rows, k), 1)) : std::nullopt;
            if (!second) return false;
            each(*first, *second);
        }
        return true;
    }

    bool read_types(QernDocument& decl) {
        return read_str_pairs(2, "its types are not (name, definition) pairs",
                              [&](std::string_view name, std::string_view definition) {
                                  decl.types().insert_or_assign(
                                      std::string(name), make_alias(std::string(definition)));
                              });
    }

    bool read_schemas(QernDocument& decl) {
        PyObject* schemas = part(3, 2);
        if (schemas == nullptr) return refuse("its schemas are not (name, fields) pairs");
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(schemas); ++k) {
            const auto name = str(item(item(schemas, k), 0));
            PyObject* fields = item(item(schemas, k), 1);
            if (!name) return false;
            if (!PyTuple_Check(fields)) return refuse("a schema's fields are no tuple");
            SchemaDef def;
            for (Py_ssize_t f = 0; f < PyTuple_GET_SIZE(fields); ++f) {
                PyObject* row = item(fields, f);
                if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 3 ||
                    !PyBool_Check(item(row, 2)))
                    return refuse("a field is no (name, type, optional)");
                const auto field = str(item(row, 0));
                const auto type = field ? str(item(row, 1)) : std::nullopt;
                if (!type) return false;
                def.fields.insert_or_assign(std::string(*field), std::string(*type));
                if (item(row, 2) == Py_True) def.optional.emplace(*field);
            }
            decl.schemas().insert(*name, std::move(def));
        }
        return true;
    }

    bool read_owners(QernDocument& decl) {
        return read_str_pairs(4, "its owners are not (field, schema) pairs",
                              [&](std::string_view field, std::string_view schema) {
                                  decl.schemas().set_owner(field, schema);
                              });
    }

    bool read_pairs(OwnedStrs& values, std::vector<FrozenDocument::Entry>& pairs) {
        PyObject* flat = part(1, 0);
        if (flat == nullptr || PyTuple_GET_SIZE(flat) % 2 != 0)
            return refuse("its pairs are no tuple of keys and values");
        const Py_ssize_t n = PyTuple_GET_SIZE(flat) / 2;
        values.items.reserve(static_cast<std::size_t>(n));
        pairs.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* value = item(flat, 2 * i + 1);
            // The values are handed out as they are: exact strs only.
            if (!PyUnicode_CheckExact(value)) return refuse("a value is no str");
            const auto key = str(item(flat, 2 * i));
            const auto text = key ? str(value) : std::nullopt;
            if (!text) return false;
            values.items.push_back(Py_NewRef(value));
            pairs.push_back({*key, *text});
        }
        return true;
    }

    bool read_answers(std::vector<std::size_t>& answers) {
        PyObject* list = part(5, 0);
        if (list == nullptr) return refuse("its answers are no tuple");
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(list); ++k) {
            const std::size_t a = PyLong_AsSize_t(item(list, k));
            if (a == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
            answers.push_back(a);
        }
        return true;
    }

    PyObject* state_;
};

PyObject* from_state(PyObject*, PyObject* state) {
    return catch_failures<PyObject*>(nullptr, [&] { return StateReader(state).read(); });
}

PyMethodDef methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&frozen_get)), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\nThe value of `key`, or `default` when there is no "
     "such key."},
    // As dict does: fz.__getitem__ as a method of its own, not through the slot's wrapper.
    {"__getitem__", &frozen_subscript, METH_O | METH_COEXIST,
     "__getitem__($self, key, /)\n--\n\nThe value of `key`; KeyError when there is none."},
    {"keys", &frozen_view<kKeysView>, METH_NOARGS,
     "keys($self, /)\n--\n\nA set-like view of the keys, in the order of first assignment."},
    {"values", &frozen_view<kValuesView>, METH_NOARGS,
     "values($self, /)\n--\n\nA view of the values, in the order of the keys."},
    {"items", &frozen_view<kItemsView>, METH_NOARGS,
     "items($self, /)\n--\n\nA set-like view of the (key, value) pairs, in the order of the "
     "keys."},
    {"find_obj",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&lookup_method<kFindObj, &FrozenDocument::find_obj>)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_obj($self, key)\n--\n\nForward lookup with the reverse fallback, as QERN.find_obj."},
    {"find_key",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&lookup_method<kFindKey, &FrozenDocument::find_key>)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_key($self, value)\n--\n\nReverse lookup: the key whose value equals `value`, as the "
     "QERN answered when frozen."},
    {"find_deep",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&lookup_method<kFindDeep, &FrozenDocument::find_deep>)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_deep($self, key)\n--\n\nDeep lookup: follow key\u2192value\u2192key chains, as "
     "QERN.find_deep."},
    {"find_list",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&lookup_method<kFindList, &FrozenDocument::find_list>)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_list($self, key)\n--\n\nThe value found by find_obj read as a list, as "
     "QERN.find_list."},
    {"find_object",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&lookup_method<kFindObject, &FrozenDocument::find_object>)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_object($self, key)\n--\n\nThe value found by find_obj read as an inline object, as "
     "QERN.find_object."},
    {"validate_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&validate_value_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate_value($self, type_name, value)\n--\n\nValidate `value` against a built-in or "
     "registered type name, as QERN.validate_value."},
    {"to_dict", &to_dict_method, METH_NOARGS,
     "to_dict($self, /)\n--\n\nA new `dict` of all pairs, in the order of first assignment."},
    {"to_typed_dict", &to_typed_dict_method, METH_NOARGS,
     "to_typed_dict($self, /)\n--\n\nA new `dict` of all pairs, each value of a key a schema "
     "declares converted to its type's Python value."},
    {"__reduce__", &reduce_method, METH_NOARGS, "Pickle support: the pairs and declarations."},
    {"__copy__", &same_object, METH_NOARGS, "The snapshot itself: it never changes."},
    {"__deepcopy__", &same_object, METH_O, "The snapshot itself: it never changes."},
    {"_from_state", &from_state, METH_O | METH_STATIC,
     "A snapshot from the state that __reduce__ made (for pickle)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("An immutable snapshot of a `QERN` document, made by `QERN.freeze()`.\n\n"
                       "A read-only mapping of the keys to their values (`str`), in the order of "
                       "first assignment, with the lookups of `QERN`. It never changes and may be "
                       "read from any thread at once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&frozen_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&frozen_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(&frozen_iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&frozen_richcompare)},
    {Py_mp_length, reinterpret_cast<void*>(&frozen_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(&frozen_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(&frozen_contains)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "qern_native.FrozenQERN",
    static_cast<int>(sizeof(PyFrozen)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_MAPPING,
    type_slots,
};

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "qern_native.FrozenQERN_keyiterator",
    static_cast<int>(sizeof(PyFrozenIter)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

}  // namespace

PyObject* frozen_type() {
    if (PyObject* existing = type_slot.load(std::memory_order_acquire)) return existing;
    // collections.abc is _collections_abc, which the interpreter loads at start-up;
    // importing it by its public name would load all of collections on import.
    PyRef module = PyRef::steal(PyImport_ImportModule("_collections_abc"));
    if (!module) {
        PyErr_Clear();
        module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    }
    if (!module) return nullptr;
    for (int i = 0; i < 4; ++i) {
        if (publish_once(abc_slots[i], [&] {
                return PyObject_GetAttrString(module.get(), kAbcNames[i]);
            }) == nullptr)
            return nullptr;
    }
    if (publish_once(iter_type_slot, [] { return PyType_FromSpec(&iter_spec); }) == nullptr)
        return nullptr;
    return publish_once(type_slot, []() -> PyObject* {
        PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
        if (!type) return nullptr;
        PyRef registered =
            PyRef::steal(PyObject_CallMethod(abc(kMapping), "register", "O", type.get()));
        if (!registered) return nullptr;
        return type.release();
    });
}

PyObject* freeze_document(const QernDocument& doc) {
    OwnedStrs values;
    values.items.reserve(doc.data().size());
    auto frozen = FrozenDocument::freeze(
        doc,
        [&](std::string_view text) -> std::optional<std::string_view> {
            PyObject* str = to_python(text);
            if (str == nullptr) return std::nullopt;
            values.items.push_back(str);
            Py_ssize_t size = 0;
            const char* data = utf8_of(str, &size);
            if (data == nullptr) return std::nullopt;
            return std::string_view(data, static_cast<std::size_t>(size));
        },
        python_key_hash);
    if (!frozen) return nullptr;
    return wrap_snapshot(std::make_unique<Snapshot>(std::move(*frozen), values.release()));
}

}  // namespace qern::python
