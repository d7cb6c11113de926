#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "qern/location.hpp"

namespace qern {

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
    QernError(Alternative alternative) : v_(std::move(alternative)) {}

    static QernError io(std::string message, std::string_view path = {}) {
        return Io{std::move(message), std::string(path)};
    }
    static QernError parse(std::size_t line, std::string_view text, std::string reason) {
        return Parse{line, std::string(text), std::move(reason)};
    }
    static QernError key_not_found(std::string_view name) { return KeyNotFound{std::string(name)}; }
    static QernError invalid_value(std::string message) { return InvalidValue{std::move(message)}; }
    static QernError invalid_type(std::string_view name, std::string message) {
        return InvalidType{std::string(name), std::move(message)};
    }
    static QernError directive(std::string_view name, std::string message) {
        return Directive{std::string(name), std::move(message)};
    }
    static QernError schema_validation(std::string_view schema, std::string_view field,
                                       std::string_view type, std::string message) {
        return SchemaValidation{std::string(schema), std::string(field), std::string(type),
                                std::move(message)};
    }

    static QernError conversion(std::string_view key, std::string_view type, std::string_view value,
                                std::string reason) {
        return Conversion{std::string(key), std::string(type), std::string(value),
                          std::move(reason)};
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

    // The error's text as users see it, e.g. "Key not found: 'x'".
    std::string display() const;

    // Where it happened; null for errors that did not come out of a merge.
    const Location* location() const { return where_.get(); }
    void set_location(Location where) {
        where_ = std::make_shared<const Location>(std::move(where));
    }

  private:
    Variant v_;
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
    Result() = default;
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
