#include <cctype>

#include "types/physics.hpp"
#include "types_support.hpp"

namespace qern::testing {
namespace {

std::string unit_of(std::string_view member) {
    auto unit = parse_unit(member);
    return unit.ok() ? std::string(unit_name(*unit)) : unit.error().display();
}

TEST(TypesPhysics, EveryDisplayNameResolvesToItsUnit) {
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        const auto unit = static_cast<Unit>(i);
        std::string upper(unit_name(unit));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(find_unit(unit_name(unit)), unit) << unit_name(unit);
        EXPECT_EQ(find_unit(upper), unit) << upper;
    }
    EXPECT_EQ(unit_name(static_cast<Unit>(0)), "meter");
    EXPECT_EQ(unit_name(static_cast<Unit>(kUnitCount - 1)), "horsepower");
}

TEST(TypesPhysics, LookupSpellings) {
    for (std::string_view m : {"meter", "Meter", "METER", "me_t-er"})
        EXPECT_EQ(unit_of(m), "meter");
    for (std::string_view m : {"nautical_mile", "Nautical-Mile", "nauticalmile"}) {
        EXPECT_EQ(unit_of(m), "nauticalMile");
    }
    EXPECT_EQ(unit_of("atomic_mass_unit"), "dalton");
    EXPECT_EQ(unit_of("\xE2\x84\xAA"
                      "elvin"),
              "kelvin");  // KELVIN SIGN lower-cases to 'k'
    EXPECT_EQ(unit_of("\xE2\x84\xAA"
                      "ilogram_per_mole"),
              "kilogramPerMole");
    for (std::string_view m : {"m", "meters", "kilometer", "", "_", "m\xC3\xA9ter", "meter\xE2\x84",
                               "joulePerKilogramKelvinX"}) {
        EXPECT_EQ(unit_of(m), concat("Key not found: '", m, "'"));
    }
    expect_unknown("physics::m", "m");
    expect_unknown("Physics::meter", "Physics::meter");
    expect_unknown("physics::meter::x", "physics::meter::x");
}

TEST(TypesPhysics, IntegerAndNumberUnits) {
    expect_valid("physics::byte", {"1024", "-1", "+0"});
    expect_error("physics::byte", "1.5",
                 "Invalid value: Expected integer for unit byte, got '1.5'");
    expect_error("physics::byte", "4294967296",
                 "Invalid value: Expected integer for unit byte, got '4294967296'");
    expect_error("physics::BAUD", "x", "Invalid value: Expected integer for unit baud, got 'x'");
    expect_valid("physics::meter", {"1.5", "-3e8", "nan"});
    expect_error("physics::meter", "5m", "Invalid value: Expected number for unit meter, got '5m'");
    expect_error("physics::nautical_mile", "",
                 "Invalid value: Expected number for unit nauticalMile, got ''");
    EXPECT_EQ(resolve_type("physics::bit").value()->base_type(), PrimitiveKind::I32);
    EXPECT_EQ(resolve_type("physics::bar").value()->base_type(), PrimitiveKind::F64);
}

}  // namespace
}  // namespace qern::testing
