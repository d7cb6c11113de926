#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "qern/location.hpp"

namespace qern {

// What kind of failure an error stands for, decided where the error is made. Each kind has
// a stable short name (error_code in diagnostic.hpp) that the command line, the language
// server and the catalogue of errors use. An error that wraps another takes its kind by
// one rule: it is `Limit` when the wrapped failure ran out of depth, `UnknownType` when a
// schema field's own type is unknown, and else the kind of the wrapping error.
enum class ErrorKind : std::uint8_t {
    Parse,             // a line the parser cannot read
    UnknownDirective,  // "@name" with no such directive
    Import,            // @import with no path
    TypeDirective,     // a @type that is not "name = definition"
    SchemaDirective,   // a @schema that cannot be read
    Derive,            // a @derive whose selected schema the base lacks
    MissingField,      // a required field that a @derive finds unset
    Io,                // a file that cannot be read
    Cycle,             // a file that reads itself, directly or not
    Limit,             // nesting, file count or byte budget exceeded
    Schema,            // a value that fails its schema field's type
    UnknownType,       // a type name that resolves to nothing
    InvalidValue,      // a value that fails its type
    Conversion,        // a stored value with no typed value of its declared type
};

// The one error type of the core. Each variant keeps the fields its display text is
// built from; the text itself is produced by display() and never reworded by callers.
// Where the error happened travels beside the text, never inside it.
class QernError {
  public:
    struct Io {
        std::string message;
        std::string path;  // the file that could not be read, when one was named
    };
    struct Parse {
        std::size_t line;
        std::string text;
        std::string reason;
    };
    struct KeyNotFound {
        std::string name;
    };
    struct InvalidValue {
        std::string message;
    };
    struct InvalidType {
        std::string name;
        std::string message;
    };
    struct Directive {
        std::string name;
        std::string message;
    };
    struct SchemaValidation {
        std::string schema;
        std::string field;
        std::string type;
        std::string message;
    };
    // A stored value that has no typed value of its key's declared type (to_typed_dict,
    // qern export --typed): `value` is the key's whole value, `reason` says what inside
    // it does not convert.
    struct Conversion {
        std::string key;
        std::string type;
        std::string value;
        std::string reason;
    };
    using Variant = std::variant<Io, Parse, KeyNotFound, InvalidValue, InvalidType, Directive,
                                 SchemaValidation, Conversion>;

    template <class Alternative>
    QernError(Alternative alternative, ErrorKind kind) : v_(std::move(alternative)), kind_(kind) {}

    static QernError io(std::string message, std::string_view path = {}) {
        return {Io{std::move(message), std::string(path)}, ErrorKind::Io};
    }
    static QernError parse(std::size_t line, std::string_view text, std::string reason,
                           ErrorKind kind = ErrorKind::Parse) {
        return {Parse{line, std::string(text), std::move(reason)}, kind};
    }
    static QernError key_not_found(std::string_view name) {
        return {KeyNotFound{std::string(name)}, ErrorKind::UnknownType};
    }
    static QernError invalid_value(std::string message, ErrorKind kind = ErrorKind::InvalidValue) {
        return {InvalidValue{std::move(message)}, kind};
    }
    static QernError invalid_type(std::string_view name, std::string message,
                                  ErrorKind kind = ErrorKind::InvalidValue) {
        return {InvalidType{std::string(name), std::move(message)}, kind};
    }
    static QernError directive(std::string_view name, std::string message, ErrorKind kind) {
        return {Directive{std::string(name), std::move(message)}, kind};
    }
    static QernError schema_validation(std::string_view schema, std::string_view field,
                                       std::string_view type, std::string message,
                                       ErrorKind kind = ErrorKind::Schema) {
        return {SchemaValidation{std::string(schema), std::string(field), std::string(type),
                                 std::move(message)},
                kind};
    }

    static QernError conversion(std::string_view key, std::string_view type, std::string_view value,
                                std::string reason) {
        return {
            Conversion{std::string(key), std::string(type), std::string(value), std::move(reason)},
            ErrorKind::Conversion};
    }

    const Variant& variant() const { return v_; }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&v_);
    }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(v_);
    }

    ErrorKind kind() const { return kind_; }
    // A file refused by the limits or by a cycle keeps the form its directive gives it
    // and takes the refusal's kind.
    void set_kind(ErrorKind kind) { kind_ = kind; }

    // The error's text as users see it, e.g. "Key not found: 'x'".
    std::string display() const;

    // The part of the failing directive's argument the error is about, as a byte range
    // of that argument (for instance the schema a @derive did not find); none when it is
    // about the whole argument.
    struct Subject {
        std::size_t offset;
        std::size_t size;
    };
    const std::optional<Subject>& subject() const { return subject_; }
    void set_subject(std::string_view args, std::string_view part) {
        subject_ = Subject{static_cast<std::size_t>(part.data() - args.data()), part.size()};
    }

    // Where it happened; null for errors that did not come out of a merge.
    const Location* location() const { return where_.get(); }
    void set_location(Location where) {
        where_ = std::make_shared<const Location>(std::move(where));
    }

  private:
    Variant v_;
    ErrorKind kind_;
    std::optional<Subject> subject_;
    std::shared_ptr<const Location> where_;
};

// Either a value or a QernError. Result<void> carries only the error.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(QernError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    T&& value() && { return std::move(*std::get_if<0>(&v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const QernError& error() const& { return *std::get_if<1>(&v_); }
    QernError&& error() && { return std::move(*std::get_if<1>(&v_)); }

  private:
    std::variant<T, QernError> v_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    // Not defaulted: a defaulted constructor would make `return {}` zero the whole error's
    // storage, on every success of every check.
    Result() noexcept {}
    Result(QernError error) : e_(std::move(error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }
    const QernError& error() const& { return *e_; }
    QernError&& error() && { return std::move(*e_); }

  private:
    std::optional<QernError> e_;
};

inline Result<void> success() {
    return {};
}

}  // namespace qern
