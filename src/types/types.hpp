#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

// The element type T of a list type name "list<T>": the name is trimmed, must be at least
// six bytes, start with "list<" and end with ">"; T is the trimmed text between them and
// must not be empty. Anything else is no list form.
std::optional<std::string_view> list_element_type(std::string_view name);

// A built-in type by name (primitives, time::, math::, physics::, list<T>). Consults no
// registry. Unknown names give KeyNotFound.
Result<std::unique_ptr<TypeDef>> resolve_type(std::string_view name);

// Validates `value` against a registered type or a built-in type name. A failure is
// InvalidType wrapping the failure's text; an unknown name is KeyNotFound.
Result<void> validate_value(const QernDocument& doc, std::string_view type_name,
                            std::string_view value);

// Validates `value` as the field `field_name` of the schema `schema_name`: against a
// registered type, a registered schema (the value is then an inline object) or a built-in
// type. Every failure is a SchemaValidation error. `depth` counts enclosing values.
// With `reading`, a value that passes as a list of inline objects leaves there how it was
// read (see ObjectListReading); otherwise it is left null.
Result<void> validate_field(const QernDocument& doc, std::string_view type_name,
                            std::string_view value, std::string_view schema_name,
                            std::string_view field_name, unsigned depth = 0,
                            std::unique_ptr<const ObjectListReading>* reading = nullptr);

// The alias a "@type name = definition" line registers: resolved through the full type
// resolver when the definition contains "::", as a primitive name otherwise.
std::unique_ptr<TypeDef> make_alias(std::string definition);

}  // namespace qern
