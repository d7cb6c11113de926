#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

// A unit of measure, numbered 0 to 129 in the order of the unit table.
enum class Unit : std::uint8_t {};

inline constexpr std::size_t kUnitCount = 130;

// The unit's display name, as the messages show it ("meter", "nauticalMile", ...).
std::string_view unit_name(Unit unit);
// Bits, bytes and bauds count whole things; every other unit takes any number.
bool is_integer_unit(Unit unit);
// What the unit measures, in a word or two ("velocity", "plane angle").
std::string_view unit_quantity(Unit unit);
// The unit's dimension as a product of the SI base dimensions L M T I Θ N J, in that
// order, with superscript exponents ("L·T⁻¹", "L²·M·T⁻²"), or "dimensionless".
std::string_view unit_dimension(Unit unit);

// The unit a physics:: member names. The member is lower-cased and loses every "_" and
// "-" before it is matched against the lower-cased display names ("atomicmassunit" is
// also dalton). Looks nothing up on the heap.
std::optional<Unit> find_unit(std::string_view member);
// As find_unit; an unknown member is KeyNotFound carrying it as written.
Result<Unit> parse_unit(std::string_view member);

// The value is a bare number: an i32 for the integer units, any number otherwise.
Result<void> validate_unit(Unit unit, std::string_view value);

class PhysicsUnit final : public TypeDef {
  public:
    explicit PhysicsUnit(Unit unit) : unit_(unit) {}
    Unit unit() const { return unit_; }
    PrimitiveKind base_type() const override {
        return is_integer_unit(unit_) ? PrimitiveKind::I32 : PrimitiveKind::F64;
    }
    Result<void> validate_nested(std::string_view value, const QernDocument&,
                                 unsigned) const override {
        return validate_unit(unit_, value);
    }

    std::unique_ptr<TypeDef> clone() const override { return std::make_unique<PhysicsUnit>(*this); }

  private:
    Unit unit_;
};

}  // namespace qern
