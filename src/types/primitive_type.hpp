#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

// The primitive kind named exactly `name` ("i32", "f64", "string", "bool", "color").
std::optional<PrimitiveKind> find_primitive(std::string_view name);
// As find_primitive; an unknown name is KeyNotFound carrying it.
Result<PrimitiveKind> parse_primitive(std::string_view name);

// The truth a bool value stands for: "true", "false", "1" or "0", letters in any case.
std::optional<bool> parse_bool(std::string_view value);

// Checks `value`, as given, against the rule of `kind`.
Result<void> validate_primitive(PrimitiveKind kind, std::string_view value);
// Whether validate_primitive passes `value`, without forming its error.
bool primitive_accepts(PrimitiveKind kind, std::string_view value);

class PrimitiveType final : public TypeDef {
  public:
    explicit PrimitiveType(PrimitiveKind kind) : kind_(kind) {}
    PrimitiveKind kind() const { return kind_; }
    PrimitiveKind base_type() const override { return kind_; }
    Result<void> validate_nested(std::string_view value, const QernDocument&,
                                 unsigned) const override {
        return validate_primitive(kind_, value);
    }

    std::unique_ptr<TypeDef> clone() const override {
        return std::make_unique<PrimitiveType>(*this);
    }

  private:
    PrimitiveKind kind_;
};

}  // namespace qern
