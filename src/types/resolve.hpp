#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

enum class TypeFamily : std::uint8_t { Primitive, Time, Math, Physics, List };

// A built-in type name resolved to a small value, so that validation by name needs no
// type object: the family, the member within it (a PrimitiveKind, TimeKind, MathKind or
// Unit), and for lists the element type name, pointing into the name that was resolved.
struct BuiltinType {
    TypeFamily family;
    std::uint8_t code = 0;
    std::string_view element;
};

// The built-in type `name` denotes. When there is none and `missing` is given, it is set
// to the name a KeyNotFound error carries: the member for an unknown member of a known
// family, the whole name otherwise.
std::optional<BuiltinType> find_builtin(std::string_view name, std::string_view* missing = nullptr);
PrimitiveKind builtin_base_type(const BuiltinType& type);
Result<void> validate_builtin(const BuiltinType& type, std::string_view value,
                              const QernDocument& doc, unsigned depth);

// "list<T>": a list literal whose items are each valid as a field of type T.
class ListType final : public TypeDef {
  public:
    explicit ListType(std::string element) : element_(std::move(element)) {}
    const std::string& element_type() const { return element_; }
    PrimitiveKind base_type() const override { return PrimitiveKind::String; }
    Result<void> validate_nested(std::string_view value, const QernDocument& doc,
                                 unsigned depth) const override;

    std::unique_ptr<TypeDef> clone() const override { return std::make_unique<ListType>(*this); }

  private:
    std::string element_;
};

enum class AliasKind : std::uint8_t { PrimitiveName, TypeExpression };
// How an alias's definition is read: against all built-in names when it holds "::", as one
// primitive name otherwise.
inline AliasKind alias_kind(std::string_view definition) {
    return definition.find("::") != std::string_view::npos ? AliasKind::TypeExpression
                                                           : AliasKind::PrimitiveName;
}

// A "@type name = definition" alias. Its definition is resolved on every use, against the
// primitives only or against all built-in names, never against other aliases.
class AliasType final : public TypeDef {
  public:
    AliasType(AliasKind kind, std::string definition)
        : kind_(kind), definition_(std::move(definition)) {}
    AliasKind kind() const { return kind_; }
    const std::string& definition() const { return definition_; }
    // Whether the definition names a type the alias can stand for (otherwise every value
    // checked against the alias fails).
    bool resolves() const;
    PrimitiveKind base_type() const override;
    Result<void> validate_nested(std::string_view value, const QernDocument& doc,
                                 unsigned depth) const override;

    std::unique_ptr<TypeDef> clone() const override { return std::make_unique<AliasType>(*this); }

  private:
    AliasKind kind_;
    std::string definition_;
};

}  // namespace qern
