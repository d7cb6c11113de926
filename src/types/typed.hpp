#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"
#include "types/time.hpp"

namespace qern {

// Where a typed walk sends the values it reads, depth first. A value is one call (on_...)
// or a group: begin_list / begin_tuple / begin_object, its items (an object's each after
// key()), then the matching end_. `n` is the number of items, for an object an upper bound;
// a list's items are read as they are sent, so their number is known only at its end.
// Each call returns false to stop the walk; the sink then knows why it stopped.
class TypedSink {
  public:
    virtual ~TypedSink() = default;
    virtual bool on_string(std::string_view text) = 0;
    virtual bool on_int(std::int64_t n) = 0;
    virtual bool on_float(double x) = 0;
    virtual bool on_bool(bool b) = 0;
    virtual bool on_date(const Date& date) = 0;
    virtual bool on_datetime(const DateTime& time) = 0;
    virtual bool on_duration(const Duration& span) = 0;
    virtual bool begin_list() = 0;
    virtual bool end_list() = 0;
    virtual bool begin_tuple(std::size_t n) = 0;
    virtual bool end_tuple() = 0;
    virtual bool begin_object(std::size_t n) = 0;
    virtual bool key(std::string_view name) = 0;
    virtual bool end_object() = 0;
};

// The type a key's value is converted by: the type of the schema field that checks
// assignments to the key (the first schema that declared it), when some schema declares it.
std::optional<std::string_view> declared_type(const QernDocument& doc, std::string_view key);

class Converter;

// Converts values one after another (see convert_typed), keeping what it resolved on the
// way (each type by where its name lies, each schema's field types), so that many values
// of one type resolve it once. The document's declarations must not change while it
// lives, and the type names it is given must stay where they are as long: those that
// declared_type gives do.
class TypedConverter {
  public:
    explicit TypedConverter(const QernDocument& doc);
    ~TypedConverter();
    TypedConverter(const TypedConverter&) = delete;
    TypedConverter& operator=(const TypedConverter&) = delete;
    // `reading`, if not null, is one the document keeps of `value` (DataMap::reading).
    Result<void> convert(std::string_view key, std::string_view type, std::string_view value,
                         TypedSink& sink, const ObjectListReading* reading = nullptr);

  private:
    std::unique_ptr<Converter> impl_;
};

// Sends `value`, the value of `key`, read as its declared type `type` (a type name as a
// schema field has it: an alias, a schema or a built-in type), to `sink`. The value must be
// valid for the type and have a value of the kind the type stands for: an i32 an integer,
// a time::datetime a real date. The first part that does not convert is a Conversion
// error naming the key, the type and the value; a stop of the sink is no error.
Result<void> convert_typed(const QernDocument& doc, std::string_view key, std::string_view type,
                           std::string_view value, TypedSink& sink);

// The whole document as one object: its keys in the order of their first assignment, each
// value converted by its declared type, the values of keys no schema declares as strings.
Result<void> convert_typed_document(const QernDocument& doc, TypedSink& sink);

}  // namespace qern
