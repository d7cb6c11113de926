#include "types/number.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <system_error>

#include "qern/text.hpp"

namespace qern {

namespace {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A plain decimal of at most 15 digits, "12", "-0.125", "4999.75", read exactly: its digits
// as an integer (below 2^53) and the power of ten of its fraction (at most 10^15) are both
// doubles as they stand, so the one division rounds the value correctly, as a reader of
// any length would. False for anything else.
bool short_decimal(std::string_view s, double& out) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = s.data();
    const char* const end = p + s.size();
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    std::uint64_t digits = 0;  // wraps on a long run of digits, which is refused below
    const char* const whole = p;
    while (p != end && is_digit(*p)) digits = digits * 10 + static_cast<std::uint64_t>(*p++ - '0');
    std::size_t count = static_cast<std::size_t>(p - whole);
    std::size_t fraction = 0;
    if (p != end && *p == '.') {
        const char* const first = ++p;
        while (p != end && is_digit(*p))
            digits = digits * 10 + static_cast<std::uint64_t>(*p++ - '0');
        fraction = static_cast<std::size_t>(p - first);
        count += fraction;
    }
    if (p != end || count == 0 || count > 15) return false;
    const double value = static_cast<double>(digits) / kPowers[fraction];
    out = negative ? -value : value;
    return true;
}

}  // namespace

bool is_number(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (i < n && !is_digit(s[i]) && s[i] != '.') {
        const std::string_view rest = s.substr(i);
        return equals_ascii_lower(rest, "inf") || equals_ascii_lower(rest, "infinity") ||
               equals_ascii_lower(rest, "nan");
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

std::optional<std::int32_t> parse_i32(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return std::nullopt;
    // The magnitude saturates just past the largest one allowed, so any number of digits
    // (leading zeros included) is read without overflow.
    constexpr std::uint64_t kPastLimit = 2147483649ULL;
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return std::nullopt;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(s[i] - '0');
        if (magnitude > kPastLimit) magnitude = kPastLimit;
    }
    if (magnitude > (negative ? 2147483648ULL : 2147483647ULL)) return std::nullopt;
    const auto m = static_cast<std::int64_t>(magnitude);
    return static_cast<std::int32_t>(negative ? -m : m);
}

bool is_i32(std::string_view s) {
    return parse_i32(s).has_value();
}

std::optional<double> parse_number(std::string_view s) {
    if (double exact; short_decimal(s, exact)) return exact;
    // A plain decimal number, read as it stands: what follows a sign is a digit or '.', so
    // the reader can take neither "inf" nor "nan", and nothing after it may be left over.
    if (!s.empty()) {
        const std::size_t at = s[0] == '-' || s[0] == '+' ? 1 : 0;
        if (at < s.size() && (is_digit(s[at]) || s[at] == '.')) {
            double value = 0;
            const char* end = s.data() + s.size();
            const auto [stop, ec] = std::from_chars(s.data() + at, end, value);
            if (ec == std::errc() && stop == end) return s[0] == '-' ? -value : value;
        }
    }
    if (!is_number(s)) return std::nullopt;
    const bool negative = s[0] == '-';
    if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
    const double sign = negative ? -1.0 : 1.0;
    if (equals_ascii_lower(s, "nan")) return std::numeric_limits<double>::quiet_NaN();
    if (s.size() >= 3 && (s[0] == 'i' || s[0] == 'I'))
        return sign * std::numeric_limits<double>::infinity();
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec == std::errc() && end == s.data() + s.size()) return sign * value;
    if (ec != std::errc::result_out_of_range) return std::nullopt;
    // Out of range: infinite when the leading digit stands at 10^0 or above, else zero.
    long leading = 0;  // the power of ten of the first non-zero digit, before the exponent
    std::size_t i = 0;
    while (i < s.size() && is_digit(s[i])) ++i;
    std::size_t first = s.find_first_not_of('0');
    if (first != std::string_view::npos && first < i) {
        leading = static_cast<long>(i - first) - 1;
    } else if (i < s.size() && s[i] == '.') {
        std::size_t j = i + 1;
        while (j < s.size() && s[j] == '0') ++j;
        leading = -static_cast<long>(j - i);
    }
    long exponent = 0;
    const std::size_t e = s.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::size_t j = e + 1;
        const bool minus = j < s.size() && s[j] == '-';
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        for (; j < s.size(); ++j) exponent = std::min(exponent * 10 + (s[j] - '0'), 1L << 40);
        if (minus) exponent = -exponent;
    }
    if (leading + exponent >= 0) return sign * std::numeric_limits<double>::infinity();
    return sign * 0.0;
}

}  // namespace qern
