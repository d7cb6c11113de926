#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/physics.hpp"

namespace qern::testing {
namespace {

// Exponents of L M T I Θ N J, the SI base dimensions, in that order.
using Exponents = std::array<int, 7>;

Unit unit_named(std::string_view name) {
    const auto unit = find_unit(name);
    EXPECT_TRUE(unit.has_value()) << name;
    return unit.value_or(static_cast<Unit>(0));
}

// Reads a dimension written as unit_dimension writes it: "dimensionless", or factors
// joined by "·", each a base symbol with an optional superscript exponent ("⁻" and one
// digit; no "¹"), every symbol at most once and in the order L M T I Θ N J.
std::optional<Exponents> read_dimension(std::string_view text) {
    Exponents out{};
    if (text == "dimensionless") return out;
    static constexpr std::array<std::string_view, 7> kSymbols = {"L",        "M", "T", "I",
                                                                 "\xCE\x98", "N", "J"};
    static constexpr std::array<std::string_view, 10> kDigits = {
        "\xE2\x81\xB0", "\xC2\xB9",     "\xC2\xB2",     "\xC2\xB3",     "\xE2\x81\xB4",
        "\xE2\x81\xB5", "\xE2\x81\xB6", "\xE2\x81\xB7", "\xE2\x81\xB8", "\xE2\x81\xB9"};
    constexpr std::string_view kDot = "\xC2\xB7";
    constexpr std::string_view kMinus = "\xE2\x81\xBB";
    int previous = -1;
    while (true) {
        int symbol = -1;
        for (int i = 0; i < 7; ++i) {
            if (text.starts_with(kSymbols[i])) {
                symbol = i;
                text.remove_prefix(kSymbols[i].size());
                break;
            }
        }
        if (symbol <= previous) return std::nullopt;
        previous = symbol;
        int sign = 1;
        if (text.starts_with(kMinus)) {
            sign = -1;
            text.remove_prefix(kMinus.size());
        }
        int digit = -1;
        for (int d = 0; d < 10; ++d) {
            if (text.starts_with(kDigits[d])) {
                digit = d;
                text.remove_prefix(kDigits[d].size());
                break;
            }
        }
        // "⁻" needs a digit after it; a positive exponent is written only from 2 up.
        if (sign == -1 ? digit < 1 : (digit == 0 || digit == 1)) return std::nullopt;
        const int exponent = digit == -1 ? 1 : digit;
        out[symbol] = sign * exponent;
        if (text.empty()) return out;
        if (!text.starts_with(kDot)) return std::nullopt;
        text.remove_prefix(kDot.size());
    }
}

Exponents dimension_of(std::string_view name) {
    const std::string_view text = unit_dimension(unit_named(name));
    const auto read = read_dimension(text);
    EXPECT_TRUE(read.has_value()) << name << ": " << text;
    return read.value_or(Exponents{});
}

TEST(TypesPhysicsDimensions, EveryUnitHasAQuantityAndAWellFormedDimension) {
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        const auto unit = static_cast<Unit>(i);
        EXPECT_FALSE(unit_quantity(unit).empty()) << unit_name(unit);
        EXPECT_TRUE(read_dimension(unit_dimension(unit)).has_value())
            << unit_name(unit) << ": '" << unit_dimension(unit) << "'";
    }
    EXPECT_EQ(unit_dimension(unit_named("meterPerSecond")), "L\xC2\xB7T\xE2\x81\xBB\xC2\xB9");
    EXPECT_EQ(unit_dimension(unit_named("newton")), "L\xC2\xB7M\xC2\xB7T\xE2\x81\xBB\xC2\xB2");
    EXPECT_EQ(unit_dimension(unit_named("radian")), "dimensionless");
    EXPECT_EQ(unit_quantity(unit_named("knots")), "speed");
    for (std::string_view bad :
         {"", "L\xC2\xB7L", "M\xC2\xB7L", "L\xC2\xB9", "L\xE2\x81\xBB", "L\xC2\xB7", "x", "L T"}) {
        EXPECT_FALSE(read_dimension(bad).has_value()) << bad;
    }
}

// Units that measure the same quantity share a dimension.
TEST(TypesPhysicsDimensions, OneDimensionPerQuantity) {
    std::map<std::string_view, std::pair<std::string_view, std::string_view>> seen;
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        const auto unit = static_cast<Unit>(i);
        const auto [it, inserted] =
            seen.try_emplace(unit_quantity(unit), unit_name(unit), unit_dimension(unit));
        if (!inserted) {
            EXPECT_EQ(unit_dimension(unit), it->second.second)
                << unit_name(unit) << " and " << it->second.first << " both measure "
                << unit_quantity(unit);
        }
    }
}

// A compound unit's dimension is the product of its parts' dimensions.
TEST(TypesPhysicsDimensions, CompoundUnitsMultiplyTheirParts) {
    struct Compound {
        std::string_view unit;
        std::vector<std::pair<std::string_view, int>> parts;
    };
    const std::vector<Compound> compounds = {
        {"squareMeter", {{"meter", 2}}},
        {"cubicMeter", {{"meter", 3}}},
        {"meterPerSecond", {{"meter", 1}, {"second", -1}}},
        {"meterPerSecondSquared", {{"meter", 1}, {"second", -2}}},
        {"meterPerCubicSecond", {{"meter", 1}, {"second", -3}}},
        {"radianPerSecond", {{"radian", 1}, {"second", -1}}},
        {"radianPerSecondSquared", {{"radian", 1}, {"second", -2}}},
        {"hertz", {{"second", -1}}},
        {"kilogramPerCubicMeter", {{"kilogram", 1}, {"meter", -3}}},
        {"kilogramMeterPerSecond", {{"kilogram", 1}, {"meter", 1}, {"second", -1}}},
        {"newton", {{"kilogram", 1}, {"meterPerSecondSquared", 1}}},
        {"newtonMeter", {{"newton", 1}, {"meter", 1}}},
        {"pascal", {{"newton", 1}, {"meter", -2}}},
        {"newtonPerMeterSquared", {{"newton", 1}, {"meter", -2}}},
        {"joule", {{"newton", 1}, {"meter", 1}}},
        {"watt", {{"joule", 1}, {"second", -1}}},
        {"newtonPerMeter", {{"newton", 1}, {"meter", -1}}},
        {"kilogramSquareMeter", {{"kilogram", 1}, {"meter", 2}}},
        {"joulePerKilogramKelvin", {{"joule", 1}, {"kilogram", -1}, {"kelvin", -1}}},
        {"joulePerKilogram", {{"joule", 1}, {"kilogram", -1}}},
        {"joulePerKelvin", {{"joule", 1}, {"kelvin", -1}}},
        {"coulomb", {{"ampere", 1}, {"second", 1}}},
        {"volt", {{"watt", 1}, {"ampere", -1}}},
        {"ohm", {{"volt", 1}, {"ampere", -1}}},
        {"ohmMeter", {{"ohm", 1}, {"meter", 1}}},
        {"farad", {{"coulomb", 1}, {"volt", -1}}},
        {"voltPerMeter", {{"volt", 1}, {"meter", -1}}},
        {"newtonPerCoulomb", {{"newton", 1}, {"coulomb", -1}}},
        {"weber", {{"volt", 1}, {"second", 1}}},
        {"tesla", {{"weber", 1}, {"meter", -2}}},
        {"teslaSquareMeter", {{"tesla", 1}, {"meter", 2}}},
        {"weberPerMeter", {{"weber", 1}, {"meter", -1}}},
        {"henry", {{"weber", 1}, {"ampere", -1}}},
        {"siemens", {{"ohm", -1}}},
        {"dioptre", {{"meter", -1}}},
        {"inverseMeter", {{"meter", -1}}},
        {"kayser", {{"meter", -1}}},
        {"becquerel", {{"second", -1}}},
        {"gray", {{"joule", 1}, {"kilogram", -1}}},
        {"sievert", {{"joule", 1}, {"kilogram", -1}}},
        {"coulombPerCubicMeter", {{"coulomb", 1}, {"meter", -3}}},
        {"coulombPerSquareMeter", {{"coulomb", 1}, {"meter", -2}}},
        {"faradPerMeter", {{"farad", 1}, {"meter", -1}}},
        {"henryPerMeter", {{"henry", 1}, {"meter", -1}}},
        {"amperePerMeter", {{"ampere", 1}, {"meter", -1}}},
        {"amperePerSquareMeter", {{"ampere", 1}, {"meter", -2}}},
        {"voltPerKelvin", {{"volt", 1}, {"kelvin", -1}}},
        {"pascalSecond", {{"pascal", 1}, {"second", 1}}},
        {"squareMeterPerSecond", {{"meter", 2}, {"second", -1}}},
        {"newtonSecond", {{"newton", 1}, {"second", 1}}},
        {"newtonPerCubicMeter", {{"newton", 1}, {"meter", -3}}},
        {"jouleSecond", {{"joule", 1}, {"second", 1}}},
        {"kilogramPerMole", {{"kilogram", 1}, {"mole", -1}}},
        {"cubicMeterPerKilogram", {{"meter", 3}, {"kilogram", -1}}},
        {"lumen", {{"candela", 1}, {"steradian", 1}}},
        {"lux", {{"lumen", 1}, {"meter", -2}}},
        {"lumenSecond", {{"lumen", 1}, {"second", 1}}},
        {"candelaPerSquareMeter", {{"candela", 1}, {"meter", -2}}},
        {"wattPerSteradian", {{"watt", 1}, {"steradian", -1}}},
        {"wattPerSquareMeter", {{"watt", 1}, {"meter", -2}}},
        {"wattPerMeterKelvin", {{"watt", 1}, {"meter", -1}, {"kelvin", -1}}},
        {"joulePerSquareMeter", {{"joule", 1}, {"meter", -2}}},
        {"katal", {{"mole", 1}, {"second", -1}}},
        {"molePerCubicMeter", {{"mole", 1}, {"meter", -3}}},
        {"joulePerMole", {{"joule", 1}, {"mole", -1}}},
        {"joulePerMoleKelvin", {{"joule", 1}, {"mole", -1}, {"kelvin", -1}}},
        {"kelvinPerWatt", {{"kelvin", 1}, {"watt", -1}}},
        {"kilogramPerSecond", {{"kilogram", 1}, {"second", -1}}},
        {"cubicMeterPerSecond", {{"meter", 3}, {"second", -1}}},
        {"rayl", {{"pascal", 1}, {"second", 1}, {"meter", -1}}},
        {"debye", {{"coulomb", 1}, {"meter", 1}}},
        {"roentgen", {{"coulomb", 1}, {"kilogram", -1}}},
        {"jansky", {{"wattPerSquareMeter", 1}, {"hertz", -1}}},
        {"metabolicEquivalent", {{"watt", 1}, {"kilogram", -1}}},
        {"baud", {{"second", -1}}},
    };
    for (const Compound& c : compounds) {
        Exponents expected{};
        for (const auto& [part, power] : c.parts) {
            const Exponents p = dimension_of(part);
            for (std::size_t i = 0; i < expected.size(); ++i) expected[i] += power * p[i];
        }
        EXPECT_EQ(dimension_of(c.unit), expected) << c.unit;
    }
}

// Units that are scaled or renamed forms of another unit have its dimension.
TEST(TypesPhysicsDimensions, NonSiUnitsMatchTheirSiCounterparts) {
    const std::vector<std::pair<std::string_view, std::string_view>> same = {
        {"electronVolt", "joule"},
        {"calorie", "joule"},
        {"britishThermalUnit", "joule"},
        {"barn", "squareMeter"},
        {"lightYear", "meter"},
        {"parsec", "meter"},
        {"astronomicalUnit", "meter"},
        {"angstrom", "meter"},
        {"fermi", "meter"},
        {"nauticalMile", "meter"},
        {"hubbleConstant", "hertz"},
        {"bar", "pascal"},
        {"millimeterOfMercury", "pascal"},
        {"atmosphere", "pascal"},
        {"torr", "pascal"},
        {"poise", "pascalSecond"},
        {"stokes", "squareMeterPerSecond"},
        {"sverdrup", "cubicMeterPerSecond"},
        {"gal", "meterPerSecondSquared"},
        {"maxwell", "weber"},
        {"gauss", "tesla"},
        {"oersted", "amperePerMeter"},
        {"gilbert", "ampere"},
        {"franklin", "coulomb"},
        {"lambert", "candelaPerSquareMeter"},
        {"phot", "lux"},
        {"stilb", "candelaPerSquareMeter"},
        {"langley", "joulePerSquareMeter"},
        {"fahrenheit", "kelvin"},
        {"celsius", "kelvin"},
        {"rankine", "kelvin"},
        {"curie", "becquerel"},
        {"rutherford", "becquerel"},
        {"dalton", "kilogram"},
        {"knots", "meterPerSecond"},
        {"horsepower", "watt"},
    };
    for (const auto& [unit, si] : same) EXPECT_EQ(dimension_of(unit), dimension_of(si)) << unit;
    for (std::string_view unit :
         {"dimensionless", "percentage", "radian", "steradian", "bit", "byte", "decibel",
          "arcDegree", "arcMinute", "arcSecond", "erlang", "machNumber"}) {
        EXPECT_EQ(unit_dimension(unit_named(unit)), "dimensionless") << unit;
    }
}

}  // namespace
}  // namespace qern::testing
