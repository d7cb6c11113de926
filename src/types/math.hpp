#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

enum class MathKind : std::uint8_t { Vector2, Vector3, Vector4, Quaternion, Matrix3x3, Matrix4x4 };

// The members of the math:: family, in the order of MathKind.
inline constexpr std::string_view kMathMembers[] = {"vector2",    "vector3",   "vector4",
                                                    "quaternion", "matrix3x3", "matrix4x4"};

// The member of the math:: family named exactly `member` ("vector3", "matrix4x4", ...).
std::optional<MathKind> find_math_kind(std::string_view member);

// How many numbers a value of the kind holds.
std::size_t math_components(MathKind kind);

// The value is the numbers separated by commas, without brackets.
Result<void> validate_math(MathKind kind, std::string_view value);

class MathType final : public TypeDef {
  public:
    explicit MathType(MathKind kind) : kind_(kind) {}
    MathKind kind() const { return kind_; }
    PrimitiveKind base_type() const override { return PrimitiveKind::F64; }
    Result<void> validate_nested(std::string_view value, const QernDocument&,
                                 unsigned) const override {
        return validate_math(kind_, value);
    }

    std::unique_ptr<TypeDef> clone() const override { return std::make_unique<MathType>(*this); }

  private:
    MathKind kind_;
};

}  // namespace qern
