#include "typed_values.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "qern/hash.hpp"

namespace qern::python {

// Builds the Python objects of a typed walk as it goes: each group is made at its begin
// (a tuple with its final size; a list grows as its items come) and placed in the group
// around it at its end.
class PySink final : public TypedSink {
  public:
    PySink() = default;
    PySink(const PySink&) = delete;
    PySink& operator=(const PySink&) = delete;
    ~PySink() override {
        clear();
        for (auto& zone : zones_) Py_DECREF(zone.second);
        for (auto& key : keys_) Py_DECREF(key.second);
        for (auto& slot : short_strs_) Py_XDECREF(slot.str);
        if (numbers_ != nullptr) {
            for (auto& slot : numbers_->ints) Py_XDECREF(slot.object);
            for (auto& slot : numbers_->floats) Py_XDECREF(slot.object);
        }
    }

    // The finished value, once the walk has ended without a stop.
    PyObject* take() { return done_.release(); }
    // Drops what a stopped or failed walk left.
    void clear() {
        for (Frame& f : stack_) {
            Py_XDECREF(f.key);
            Py_XDECREF(f.group);
        }
        stack_.clear();
        for (PyObject* item : items_) Py_DECREF(item);
        items_.clear();
        done_ = PyRef();
    }

    bool on_string(std::string_view text) override {
        if (text.size() > 8) return put(to_python(text));
        return put(short_str(text));
    }
    bool on_int(std::int64_t n) override {
        const auto bits = static_cast<std::uint64_t>(n);
        return put_number(&NumberCache::ints, bits & (kNumbersKept - 1), bits,
                          [n] { return PyLong_FromLongLong(n); });
    }
    bool on_float(double x) override {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return put_number(&NumberCache::floats,
                          (bits * 0x9E3779B97F4A7C15ULL) >> (64 - kNumberBits), bits,
                          [x] { return PyFloat_FromDouble(x); });
    }
    bool on_bool(bool b) override { return put(Py_NewRef(b ? Py_True : Py_False)); }
    bool on_date(const Date& d) override { return put(PyDate_FromDate(d.year, d.month, d.day)); }
    bool on_datetime(const DateTime& t) override {
        PyObject* tz = Py_None;
        if (t.has_offset) {
            tz = zone(t.offset_minutes);
            if (tz == nullptr) return false;
        }
        return put(PyDateTimeAPI->DateTime_FromDateAndTime(
            t.date.year, t.date.month, t.date.day, t.hour, t.minute, t.second,
            static_cast<int>(t.microsecond), tz, PyDateTimeAPI->DateTimeType));
    }
    bool on_duration(const Duration& d) override {
        return put(PyDelta_FromDSU(static_cast<int>(d.days), d.seconds, d.microseconds));
    }
    // A list's items wait in items_ until it closes, when the list is made at its size.
    bool begin_list() override {
        stack_.push_back({nullptr, Frame::List, static_cast<Py_ssize_t>(items_.size())});
        return true;
    }
    bool end_list() override { return close(); }
    bool begin_tuple(std::size_t n) override {
        return open(PyTuple_New(static_cast<Py_ssize_t>(n)), Frame::Tuple);
    }
    bool end_tuple() override { return close(); }
    bool begin_object(std::size_t n) override {
        next_key_ = first_key_;
        return open(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)), Frame::Dict);
    }
    bool key(std::string_view name) override {
        Frame& f = stack_.back();
        f.key = key_str(name, PyDict_GET_SIZE(f.group) == 0);
        return f.key != nullptr;
    }
    bool end_object() override { return close(); }

  private:
    struct Frame {
        enum Kind : std::uint8_t { List, Tuple, Dict };
        PyObject* group;  // null for a list, made when it closes
        Kind kind;
        Py_ssize_t next = 0;      // a tuple's next item; where a list's items start in items_
        PyObject* key = nullptr;  // a dict's key waiting for its value
    };

    // Takes over `value` (null: the interpreter's error is set) and places it.
    bool put(PyObject* value) {
        if (value == nullptr) return false;
        if (stack_.empty()) {
            done_ = PyRef::steal(value);
            return true;
        }
        Frame& f = stack_.back();
        switch (f.kind) {
            case Frame::List:
                try {
                    items_.push_back(value);
                } catch (...) {
                    Py_DECREF(value);
                    throw;
                }
                return true;
            case Frame::Tuple:
                PyTuple_SET_ITEM(f.group, f.next++, value);
                return true;
            case Frame::Dict:
                break;
        }
        const int set = PyDict_SetItem(f.group, f.key, value);
        Py_DECREF(value);
        Py_CLEAR(f.key);
        return set == 0;
    }
    bool open(PyObject* group, Frame::Kind kind) {
        if (group == nullptr) return false;
        try {
            stack_.push_back({group, kind});
        } catch (...) {
            Py_DECREF(group);
            throw;
        }
        return true;
    }
    bool close() {
        const Frame f = stack_.back();
        stack_.pop_back();
        if (f.kind != Frame::List) return put(f.group);
        // f.next is where the list's items start.
        const auto first = static_cast<std::size_t>(f.next);
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size() - first));
        if (list == nullptr) return false;  // clear() drops the items
        for (std::size_t i = first; i < items_.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i - first), items_[i]);
        items_.resize(first);
        return put(list);
    }
    // The timezone of an offset; a borrowed reference, kept for the walk.
    PyObject* zone(std::int32_t minutes) {
        if (minutes == 0) return PyDateTime_TimeZone_UTC;
        for (const auto& z : zones_)
            if (z.first == minutes) return z.second;
        PyRef delta = PyRef::steal(PyDelta_FromDSU(0, minutes * 60, 0));
        if (!delta) return nullptr;
        PyObject* tz = PyTimeZone_FromOffset(delta.get());
        if (tz == nullptr) return nullptr;
        zones_.emplace_back(minutes, tz);
        return tz;
    }

    // The str of an inline object's key (a new reference), made once per walk for the
    // first kKeysKept names and shared by the objects that use them, as json.loads shares
    // its keys. Objects have few names: a short list is searched faster than a hash.
    PyObject* key_str(std::string_view name, bool first) {
        // The names a schema declares come from where the schema keeps them, and the
        // objects of a list give them in the same order: the search starts after the last
        // name found, or for an object's first name where the last object's first was.
        for (std::size_t k = 0, n = keys_.size(); k < n; ++k) {
            std::size_t i = next_key_ + k;
            if (i >= n) i -= n;
            if (keys_[i].first.data() == name.data() && keys_[i].first.size() == name.size()) {
                if (first) first_key_ = i;
                next_key_ = i + 1;
                return Py_NewRef(keys_[i].second);
            }
        }
        for (const auto& [text, str] : keys_)
            if (same_text(text, name)) return Py_NewRef(str);
        PyObject* str = to_python(name);
        if (str != nullptr && keys_.size() < kKeysKept) keys_.emplace_back(name, Py_NewRef(str));
        return str;
    }
    static constexpr std::size_t kKeysKept = 32;
    std::size_t next_key_ = 0;
    std::size_t first_key_ = 0;

    // The str of a text of at most eight bytes (a new reference). Short values repeat in a
    // configuration (names of zones, modes, units): the last one made in each of 64 slots
    // is shared, as the keys are. Eight bytes and the length tell two texts apart exactly.
    PyObject* short_str(std::string_view text) {
        const std::uint64_t word = short_text_word(text);
        const std::uint64_t tag = word ^ (static_cast<std::uint64_t>(text.size()) << 60);
        ShortStr& slot = short_strs_[((tag * 0x9E3779B97F4A7C15ULL) >> 58) & 63];
        if (slot.str != nullptr && slot.word == word && slot.size == text.size())
            return Py_NewRef(slot.str);
        PyObject* str = to_python(text);
        if (str == nullptr) return nullptr;
        Py_XSETREF(slot.str, Py_NewRef(str));
        slot.word = word;
        slot.size = static_cast<std::uint8_t>(text.size());
        return str;
    }
    struct ShortStr {
        std::uint64_t word = 0;
        std::uint8_t size = 0;
        PyObject* str = nullptr;
    };
    ShortStr short_strs_[64];

    // Numbers repeat in a configuration too (ports, counts, weights): once a walk has made
    // kNumbersBeforeKept of them, the last int and the last float made in each of 1024
    // slots are shared, told apart by all their bits. A walk of a few values keeps none.
    struct Number {
        std::uint64_t bits = 0;
        PyObject* object = nullptr;
    };
    static constexpr unsigned kNumberBits = 10;
    static constexpr std::size_t kNumbersKept = std::size_t{1} << kNumberBits;
    static constexpr std::size_t kNumbersBeforeKept = 64;
    struct NumberCache {
        Number ints[kNumbersKept];
        Number floats[kNumbersKept];
    };
    // Places the number whose bits are `bits`: the one kept in slot `at` of `slots` when
    // it has those bits, else a new one from make(), kept there in its place.
    template <class Make>
    bool put_number(Number (NumberCache::*slots)[kNumbersKept], std::size_t at, std::uint64_t bits,
                    Make make) {
        if (numbers_ == nullptr && ++numbers_made_ > kNumbersBeforeKept)
            numbers_ = std::make_unique<NumberCache>();
        if (numbers_ == nullptr) return put(make());
        Number& slot = ((*numbers_).*slots)[at];
        if (slot.object != nullptr && slot.bits == bits) return put(Py_NewRef(slot.object));
        PyObject* made = make();
        if (made == nullptr) return false;
        Py_XSETREF(slot.object, Py_NewRef(made));
        slot.bits = bits;
        return put(made);
    }
    std::unique_ptr<NumberCache> numbers_;
    std::size_t numbers_made_ = 0;

    std::vector<Frame> stack_;
    std::vector<PyObject*> items_;  // of the open lists, each list's after its outer one's
    std::vector<std::pair<std::int32_t, PyObject*>> zones_;
    // Views into the document, which does not change while the walk's values are made.
    std::vector<std::pair<std::string_view, PyObject*>> keys_;
    PyRef done_;
};

namespace {

PyObject* text_of(const std::string& text) {
    return to_python(std::string_view(text));
}

}  // namespace

bool import_datetime() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

void raise_conversion_error(const QernError& error) {
    const auto* c = error.as<QernError::Conversion>();
    PyRef message = PyRef::steal(text_of(error.display()));
    if (!message) return;
    PyRef exc = PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!exc) return;
    if (c != nullptr) {
        const std::pair<const char*, const std::string*> attributes[] = {
            {"key", &c->key}, {"value", &c->value}, {"type_name", &c->type}};
        for (const auto& [name, text] : attributes) {
            PyRef v = PyRef::steal(text_of(*text));
            if (!v || PyObject_SetAttrString(exc.get(), name, v.get()) < 0) return;
        }
    }
    PyErr_SetObject(PyExc_ValueError, exc.get());
}

TypedValues::TypedValues(const QernDocument& declarations)
    : converter_(declarations), sink_(std::make_unique<PySink>()) {}

TypedValues::~TypedValues() = default;

PyObject* TypedValues::value(std::string_view key, std::string_view type, std::string_view value,
                             const ObjectListReading* reading) {
    const auto converted = converter_.convert(key, type, value, *sink_, reading);
    PyObject* made = sink_->take();  // null when the sink stopped, with the error it met set
    if (!converted) {
        Py_XDECREF(made);
        sink_->clear();
        raise_conversion_error(converted.error());
        return nullptr;
    }
    if (made == nullptr) sink_->clear();
    return made;
}

}  // namespace qern::python
