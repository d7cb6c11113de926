#include "types_support.hpp"

namespace qern::testing {
namespace {

TEST(TypesMath, ComponentCounts) {
    expect_valid("math::vector2", {"1,2"});
    expect_valid("math::vector3", {"1, 2, 3", " 1.5 ,-2,3e2 ", "nan,inf,-0", "1,\u3000 2\u00a0,3"});
    expect_valid("math::vector4", {"1,2,3,4"});
    expect_valid("math::quaternion", {"0, 0, 0, 1"});
    expect_valid("math::matrix3x3", {"1,0,0,0,1,0,0,0,1"});
    expect_valid("math::matrix4x4", {"1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1"});
    expect_error("math::vector3", "1, 2", "Invalid value: Expected 3 components, got 2");
    expect_error("math::quaternion", "1,2,3", "Invalid value: Expected 4 components, got 3");
    expect_error("math::matrix4x4", "1,0,0,0,1,0,0,0,1",
                 "Invalid value: Expected 16 components, got 9");
}

TEST(TypesMath, FirstBadPieceWinsOverTheCount) {
    expect_error("math::vector3", "[1, 2, 3]", "Invalid value: Invalid number: [1");
    expect_error("math::vector3", "1, 2, 3,", "Invalid value: Invalid number: ");
    expect_error("math::vector3", "", "Invalid value: Invalid number: ");
    expect_error("math::vector2", "1, x, y", "Invalid value: Invalid number: x");
    expect_error("math::vector2", "1 2", "Invalid value: Invalid number: 1 2");
}

TEST(TypesMath, UnknownMembers) {
    expect_unknown("math::Vector3", "Vector3");
    expect_unknown("math::vector5", "vector5");
    expect_unknown("math::vector3::x", "math::vector3::x");
    expect_unknown("Math::vector3", "Math::vector3");
    expect_unknown("::i32", "::i32");
    EXPECT_EQ(resolve_type("math::matrix3x3").value()->base_type(), PrimitiveKind::F64);
}

}  // namespace
}  // namespace qern::testing
