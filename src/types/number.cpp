#include "types/number.hpp"

#include <cstddef>
#include <cstdint>

#include "qern/text.hpp"

namespace qern {

namespace {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool is_number(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    const std::string_view rest = s.substr(i);
    if (equals_ascii_lower(rest, "inf") || equals_ascii_lower(rest, "infinity") ||
        equals_ascii_lower(rest, "nan")) {
        return true;
    }
    std::size_t digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exponent_start = i;
        while (i < n && is_digit(s[i])) ++i;
        if (i == exponent_start) return false;
    }
    return i == n;
}

bool is_i32(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return false;
    // The magnitude saturates just past the largest one allowed, so any number of digits
    // (leading zeros included) is read without overflow.
    constexpr std::uint64_t kPastLimit = 2147483649ULL;
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return false;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(s[i] - '0');
        if (magnitude > kPastLimit) magnitude = kPastLimit;
    }
    return magnitude <= (negative ? 2147483648ULL : 2147483647ULL);
}

}  // namespace qern
