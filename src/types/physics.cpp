#include "types/physics.hpp"

#include <array>

#include "qern/text.hpp"
#include "types/number.hpp"

namespace qern {

namespace {

constexpr std::array<std::string_view, kUnitCount> kUnitNames = {
    "meter",
    "kilogram",
    "second",
    "ampere",
    "kelvin",
    "mole",
    "candela",
    "squareMeter",
    "cubicMeter",
    "meterPerSecond",
    "meterPerSecondSquared",
    "radianPerSecond",
    "radianPerSecondSquared",
    "hertz",
    "kilogramPerCubicMeter",
    "kilogramMeterPerSecond",
    "newton",
    "newtonMeter",
    "pascal",
    "joule",
    "watt",
    "newtonPerMeter",
    "dimensionless",
    "kilogramSquareMeter",
    "joulePerKilogramKelvin",
    "joulePerKilogram",
    "joulePerKelvin",
    "coulomb",
    "volt",
    "ohm",
    "ohmMeter",
    "farad",
    "voltPerMeter",
    "tesla",
    "weber",
    "henry",
    "dioptre",
    "percentage",
    "becquerel",
    "gray",
    "sievert",
    "electronVolt",
    "barn",
    "lightYear",
    "parsec",
    "astronomicalUnit",
    "hubbleConstant",
    "siemens",
    "coulombPerCubicMeter",
    "coulombPerSquareMeter",
    "faradPerMeter",
    "henryPerMeter",
    "amperePerMeter",
    "amperePerSquareMeter",
    "voltPerKelvin",
    "pascalSecond",
    "squareMeterPerSecond",
    "newtonSecond",
    "newtonPerCubicMeter",
    "jouleSecond",
    "kilogramPerMole",
    "cubicMeterPerKilogram",
    "meterPerCubicSecond",
    "lumen",
    "lux",
    "lumenSecond",
    "candelaPerSquareMeter",
    "wattPerSteradian",
    "wattPerSquareMeter",
    "wattPerMeterKelvin",
    "joulePerSquareMeter",
    "radian",
    "steradian",
    "bit",
    "decibel",
    "katal",
    "molePerCubicMeter",
    "newtonPerMeterSquared",
    "joulePerMole",
    "joulePerMoleKelvin",
    "kelvinPerWatt",
    "kilogramPerSecond",
    "cubicMeterPerSecond",
    "inverseMeter",
    "newtonPerCoulomb",
    "weberPerMeter",
    "teslaSquareMeter",
    "arcDegree",
    "arcMinute",
    "arcSecond",
    "bar",
    "millimeterOfMercury",
    "atmosphere",
    "torr",
    "poise",
    "stokes",
    "sverdrup",
    "rayl",
    "gal",
    "maxwell",
    "gauss",
    "oersted",
    "gilbert",
    "franklin",
    "debye",
    "angstrom",
    "lambert",
    "phot",
    "stilb",
    "kayser",
    "calorie",
    "britishThermalUnit",
    "langley",
    "fahrenheit",
    "celsius",
    "rankine",
    "curie",
    "roentgen",
    "rutherford",
    "fermi",
    "dalton",
    "byte",
    "baud",
    "erlang",
    "metabolicEquivalent",
    "jansky",
    "machNumber",
    "knots",
    "nauticalMile",
    "horsepower",
};

constexpr bool names_complete() {
    for (std::size_t i = 0; i < kUnitNames.size(); ++i) {
        if (kUnitNames[i].empty()) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (kUnitNames[i] == kUnitNames[j]) return false;
        }
    }
    return true;
}
static_assert(names_complete(), "every unit needs its own display name");

// What each unit measures and its dimension, in the order of kUnitNames. A
// language-server hover and the documentation's unit table show these texts.
struct UnitDimension {
    std::string_view name;  // the unit's display name, to keep the rows aligned
    std::string_view quantity;
    std::string_view dimension;
};

constexpr std::array<UnitDimension, kUnitCount> kUnitDimensions = {{
    {"meter", "length", "L"},
    {"kilogram", "mass", "M"},
    {"second", "time", "T"},
    {"ampere", "electric current", "I"},
    {"kelvin", "temperature", "Θ"},
    {"mole", "amount of substance", "N"},
    {"candela", "luminous intensity", "J"},
    {"squareMeter", "area", "L²"},
    {"cubicMeter", "volume", "L³"},
    {"meterPerSecond", "velocity", "L·T⁻¹"},
    {"meterPerSecondSquared", "acceleration", "L·T⁻²"},
    {"radianPerSecond", "angular velocity", "T⁻¹"},
    {"radianPerSecondSquared", "angular acceleration", "T⁻²"},
    {"hertz", "frequency", "T⁻¹"},
    {"kilogramPerCubicMeter", "density", "L⁻³·M"},
    {"kilogramMeterPerSecond", "momentum", "L·M·T⁻¹"},
    {"newton", "force", "L·M·T⁻²"},
    {"newtonMeter", "torque", "L²·M·T⁻²"},
    {"pascal", "pressure", "L⁻¹·M·T⁻²"},
    {"joule", "energy", "L²·M·T⁻²"},
    {"watt", "power", "L²·M·T⁻³"},
    {"newtonPerMeter", "surface tension", "M·T⁻²"},
    {"dimensionless", "pure number", "dimensionless"},
    {"kilogramSquareMeter", "moment of inertia", "L²·M"},
    {"joulePerKilogramKelvin", "specific heat capacity", "L²·T⁻²·Θ⁻¹"},
    {"joulePerKilogram", "specific energy", "L²·T⁻²"},
    {"joulePerKelvin", "heat capacity, entropy", "L²·M·T⁻²·Θ⁻¹"},
    {"coulomb", "electric charge", "T·I"},
    {"volt", "electric potential", "L²·M·T⁻³·I⁻¹"},
    {"ohm", "electrical resistance", "L²·M·T⁻³·I⁻²"},
    {"ohmMeter", "electrical resistivity", "L³·M·T⁻³·I⁻²"},
    {"farad", "capacitance", "L⁻²·M⁻¹·T⁴·I²"},
    {"voltPerMeter", "electric field strength", "L·M·T⁻³·I⁻¹"},
    {"tesla", "magnetic flux density", "M·T⁻²·I⁻¹"},
    {"weber", "magnetic flux", "L²·M·T⁻²·I⁻¹"},
    {"henry", "inductance", "L²·M·T⁻²·I⁻²"},
    {"dioptre", "optical power", "L⁻¹"},
    {"percentage", "ratio", "dimensionless"},
    {"becquerel", "radioactivity", "T⁻¹"},
    {"gray", "absorbed dose", "L²·T⁻²"},
    {"sievert", "equivalent dose", "L²·T⁻²"},
    {"electronVolt", "energy", "L²·M·T⁻²"},
    {"barn", "area (cross section)", "L²"},
    {"lightYear", "length", "L"},
    {"parsec", "length", "L"},
    {"astronomicalUnit", "length", "L"},
    {"hubbleConstant", "expansion rate", "T⁻¹"},
    {"siemens", "electrical conductance", "L⁻²·M⁻¹·T³·I²"},
    {"coulombPerCubicMeter", "electric charge density", "L⁻³·T·I"},
    {"coulombPerSquareMeter", "surface charge density", "L⁻²·T·I"},
    {"faradPerMeter", "permittivity", "L⁻³·M⁻¹·T⁴·I²"},
    {"henryPerMeter", "permeability", "L·M·T⁻²·I⁻²"},
    {"amperePerMeter", "magnetic field strength", "L⁻¹·I"},
    {"amperePerSquareMeter", "current density", "L⁻²·I"},
    {"voltPerKelvin", "thermoelectric coefficient", "L²·M·T⁻³·I⁻¹·Θ⁻¹"},
    {"pascalSecond", "dynamic viscosity", "L⁻¹·M·T⁻¹"},
    {"squareMeterPerSecond", "kinematic viscosity, diffusivity", "L²·T⁻¹"},
    {"newtonSecond", "impulse", "L·M·T⁻¹"},
    {"newtonPerCubicMeter", "specific weight", "L⁻²·M·T⁻²"},
    {"jouleSecond", "action", "L²·M·T⁻¹"},
    {"kilogramPerMole", "molar mass", "M·N⁻¹"},
    {"cubicMeterPerKilogram", "specific volume", "L³·M⁻¹"},
    {"meterPerCubicSecond", "jerk", "L·T⁻³"},
    {"lumen", "luminous flux", "J"},
    {"lux", "illuminance", "L⁻²·J"},
    {"lumenSecond", "luminous energy", "T·J"},
    {"candelaPerSquareMeter", "luminance", "L⁻²·J"},
    {"wattPerSteradian", "radiant intensity", "L²·M·T⁻³"},
    {"wattPerSquareMeter", "irradiance, heat flux density", "M·T⁻³"},
    {"wattPerMeterKelvin", "thermal conductivity", "L·M·T⁻³·Θ⁻¹"},
    {"joulePerSquareMeter", "energy per area", "M·T⁻²"},
    {"radian", "plane angle", "dimensionless"},
    {"steradian", "solid angle", "dimensionless"},
    {"bit", "information", "dimensionless"},
    {"decibel", "level (logarithmic ratio)", "dimensionless"},
    {"katal", "catalytic activity", "T⁻¹·N"},
    {"molePerCubicMeter", "amount concentration", "L⁻³·N"},
    {"newtonPerMeterSquared", "pressure, stress", "L⁻¹·M·T⁻²"},
    {"joulePerMole", "molar energy", "L²·M·T⁻²·N⁻¹"},
    {"joulePerMoleKelvin", "molar heat capacity, molar entropy", "L²·M·T⁻²·Θ⁻¹·N⁻¹"},
    {"kelvinPerWatt", "thermal resistance", "L⁻²·M⁻¹·T³·Θ"},
    {"kilogramPerSecond", "mass flow rate", "M·T⁻¹"},
    {"cubicMeterPerSecond", "volumetric flow rate", "L³·T⁻¹"},
    {"inverseMeter", "wavenumber", "L⁻¹"},
    {"newtonPerCoulomb", "electric field strength", "L·M·T⁻³·I⁻¹"},
    {"weberPerMeter", "magnetic vector potential", "L·M·T⁻²·I⁻¹"},
    {"teslaSquareMeter", "magnetic flux", "L²·M·T⁻²·I⁻¹"},
    {"arcDegree", "plane angle", "dimensionless"},
    {"arcMinute", "plane angle", "dimensionless"},
    {"arcSecond", "plane angle", "dimensionless"},
    {"bar", "pressure", "L⁻¹·M·T⁻²"},
    {"millimeterOfMercury", "pressure", "L⁻¹·M·T⁻²"},
    {"atmosphere", "pressure", "L⁻¹·M·T⁻²"},
    {"torr", "pressure", "L⁻¹·M·T⁻²"},
    {"poise", "dynamic viscosity", "L⁻¹·M·T⁻¹"},
    {"stokes", "kinematic viscosity", "L²·T⁻¹"},
    {"sverdrup", "volumetric flow rate", "L³·T⁻¹"},
    {"rayl", "specific acoustic impedance", "L⁻²·M·T⁻¹"},
    {"gal", "acceleration", "L·T⁻²"},
    {"maxwell", "magnetic flux", "L²·M·T⁻²·I⁻¹"},
    {"gauss", "magnetic flux density", "M·T⁻²·I⁻¹"},
    {"oersted", "magnetic field strength", "L⁻¹·I"},
    {"gilbert", "magnetomotive force", "I"},
    {"franklin", "electric charge", "T·I"},
    {"debye", "electric dipole moment", "L·T·I"},
    {"angstrom", "length", "L"},
    {"lambert", "luminance", "L⁻²·J"},
    {"phot", "illuminance", "L⁻²·J"},
    {"stilb", "luminance", "L⁻²·J"},
    {"kayser", "wavenumber", "L⁻¹"},
    {"calorie", "energy", "L²·M·T⁻²"},
    {"britishThermalUnit", "energy", "L²·M·T⁻²"},
    {"langley", "energy per area", "M·T⁻²"},
    {"fahrenheit", "temperature", "Θ"},
    {"celsius", "temperature", "Θ"},
    {"rankine", "temperature", "Θ"},
    {"curie", "radioactivity", "T⁻¹"},
    {"roentgen", "radiation exposure", "M⁻¹·T·I"},
    {"rutherford", "radioactivity", "T⁻¹"},
    {"fermi", "length", "L"},
    {"dalton", "mass", "M"},
    {"byte", "information", "dimensionless"},
    {"baud", "symbol rate", "T⁻¹"},
    {"erlang", "traffic intensity", "dimensionless"},
    {"metabolicEquivalent", "metabolic rate per mass", "L²·T⁻³"},
    {"jansky", "spectral flux density", "M·T⁻²"},
    {"machNumber", "speed ratio", "dimensionless"},
    {"knots", "speed", "L·T⁻¹"},
    {"nauticalMile", "length", "L"},
    {"horsepower", "power", "L²·M·T⁻³"},
}};

constexpr bool dimensions_aligned() {
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        const UnitDimension& row = kUnitDimensions[i];
        if (row.name != kUnitNames[i] || row.quantity.empty() || row.dimension.empty())
            return false;
    }
    return true;
}
static_assert(dimensions_aligned(), "one dimension row per unit, in the order of the names");

constexpr std::uint8_t unit_index(std::string_view name) {
    for (std::size_t i = 0; i < kUnitNames.size(); ++i) {
        if (kUnitNames[i] == name) return static_cast<std::uint8_t>(i);
    }
    return 0xFF;
}

constexpr std::uint8_t kBit = unit_index("bit");
constexpr std::uint8_t kByte = unit_index("byte");
constexpr std::uint8_t kBaud = unit_index("baud");
static_assert(kBit != 0xFF && kByte != 0xFF && kBaud != 0xFF);

// The spellings a member may normalise to: every display name plus one extra spelling.
struct Spelling {
    std::string_view name;  // lower case ASCII is compared against it case-insensitively
    std::uint8_t unit;
};

constexpr std::size_t kSpellingCount = kUnitCount + 1;
constexpr std::size_t kMaxSpelling = 32;

// Spellings sorted by length, with the first index of each length, so that a lookup
// compares only against names of its own length.
struct SpellingIndex {
    std::array<Spelling, kSpellingCount> by_length{};
    std::array<std::uint8_t, kMaxSpelling + 2> start{};
};

constexpr SpellingIndex build_index() {
    SpellingIndex index;
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        index.by_length[i] = {kUnitNames[i], static_cast<std::uint8_t>(i)};
    }
    index.by_length[kUnitCount] = {"atomicmassunit", unit_index("dalton")};
    // Insertion sort: stable, and usable at compile time.
    for (std::size_t i = 1; i < kSpellingCount; ++i) {
        const Spelling moving = index.by_length[i];
        std::size_t j = i;
        for (; j > 0 && index.by_length[j - 1].name.size() > moving.name.size(); --j) {
            index.by_length[j] = index.by_length[j - 1];
        }
        index.by_length[j] = moving;
    }
    std::size_t pos = 0;
    for (std::size_t len = 0; len <= kMaxSpelling + 1; ++len) {
        while (pos < kSpellingCount && index.by_length[pos].name.size() < len) ++pos;
        index.start[len] = static_cast<std::uint8_t>(pos);
    }
    return index;
}

constexpr SpellingIndex kIndex = build_index();
static_assert(kIndex.by_length.back().name.size() <= kMaxSpelling);

// Lower-cases `member` into `out` and drops "_" and "-". Returns the length, or
// kMaxSpelling + 1 when the result cannot be a spelling: it is too long, or it holds a
// character outside ASCII. The Kelvin sign U+212A is the one such character that
// lower-cases into ASCII ('k'), so it is translated.
std::size_t normalize(std::string_view member, std::array<char, kMaxSpelling>& out) {
    constexpr std::size_t kNoMatch = kMaxSpelling + 1;
    std::size_t len = 0;
    for (std::size_t i = 0; i < member.size(); ++i) {
        const auto c = static_cast<unsigned char>(member[i]);
        char lowered;
        if (c < 0x80) {
            if (c == '_' || c == '-') continue;
            lowered = ascii_lower(static_cast<char>(c));
        } else if (c == 0xE2 && i + 2 < member.size() &&
                   static_cast<unsigned char>(member[i + 1]) == 0x84 &&
                   static_cast<unsigned char>(member[i + 2]) == 0xAA) {
            lowered = 'k';
            i += 2;
        } else {
            return kNoMatch;
        }
        if (len == kMaxSpelling) return kNoMatch;
        out[len++] = lowered;
    }
    return len;
}

}  // namespace

std::string_view unit_name(Unit unit) {
    return kUnitNames[static_cast<std::uint8_t>(unit)];
}

std::string_view unit_quantity(Unit unit) {
    return kUnitDimensions[static_cast<std::uint8_t>(unit)].quantity;
}

std::string_view unit_dimension(Unit unit) {
    return kUnitDimensions[static_cast<std::uint8_t>(unit)].dimension;
}

bool is_integer_unit(Unit unit) {
    const auto code = static_cast<std::uint8_t>(unit);
    return code == kBit || code == kByte || code == kBaud;
}

std::optional<Unit> find_unit(std::string_view member) {
    std::array<char, kMaxSpelling> buffer;
    const std::size_t len = normalize(member, buffer);
    if (len > kMaxSpelling) return std::nullopt;
    for (std::size_t i = kIndex.start[len]; i < kIndex.start[len + 1]; ++i) {
        const Spelling& spelling = kIndex.by_length[i];
        bool equal = true;
        for (std::size_t j = 0; j < len && equal; ++j) {
            equal = ascii_lower(spelling.name[j]) == buffer[j];
        }
        if (equal) return static_cast<Unit>(spelling.unit);
    }
    return std::nullopt;
}

Result<Unit> parse_unit(std::string_view member) {
    if (auto unit = find_unit(member)) return *unit;
    return QernError::key_not_found(member);
}

Result<void> validate_unit(Unit unit, std::string_view value) {
    if (is_integer_unit(unit)) {
        if (is_i32(value)) return success();
        return QernError::invalid_value(
            concat("Expected integer for unit ", unit_name(unit), ", got '", value, "'"));
    }
    if (is_number(value)) return success();
    return QernError::invalid_value(
        concat("Expected number for unit ", unit_name(unit), ", got '", value, "'"));
}

}  // namespace qern
