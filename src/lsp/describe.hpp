#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qern/document.hpp"

namespace qern::lsp {

// How a type name is read where it stands: as a schema field's type (or a list element),
// where aliases, schemas and built-in names count; or as a @type definition, which only
// built-in names can satisfy.
enum class TypeContext : std::uint8_t { Field, AliasDefinition };

// `s` as a markdown code span.
std::string code_span(std::string_view s);

// Markdown saying what `name` resolves to in `doc`, through aliases.
std::string describe_type(const QernDocument& doc, std::string_view name, TypeContext context);
// Markdown listing a schema's fields, or empty when `doc` has no such schema.
std::string describe_schema(const QernDocument& doc, std::string_view name);

// Inside a type name such as "list<list<Point>>", the innermost name that byte `offset`
// falls in (on "list<" or past its '>', the whole name), as bytes [begin, end) of `type`.
struct TypePiece {
    std::size_t begin = 0;
    std::size_t end = 0;
};
TypePiece type_piece(std::string_view type, std::size_t offset);

// A built-in type name offered by completion.
struct BuiltinName {
    std::string name;
    std::string detail;
    enum class Family : std::uint8_t { Primitive, List, Time, Math, Physics } family;
};
// Every built-in name: the primitives, "list<…>", and every time::, math:: and physics::
// member. Built once.
const std::vector<BuiltinName>& builtin_names();

}  // namespace qern::lsp
