#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qern {

// The number syntax every numeric type shares: an optional sign, then "inf", "infinity" or
// "nan" in any letter case, or digits with an optional "." and fraction (at least one digit
// in all) and an optional exponent. A syntax check only: values too large for a double
// are still numbers.
bool is_number(std::string_view s);

// An optional sign and one or more ASCII digits whose value fits a signed 32-bit integer.
bool is_i32(std::string_view s);
std::optional<std::int32_t> parse_i32(std::string_view s);

// The value of a text of the number syntax, correctly rounded; a magnitude beyond the
// doubles is infinite, one too small for them zero (with the text's sign). None for any
// other text.
std::optional<double> parse_number(std::string_view s);

}  // namespace qern
