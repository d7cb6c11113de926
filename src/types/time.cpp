#include "types/time.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>

#include "qern/text.hpp"
#include "types/number.hpp"

namespace qern {

namespace {

// One part of the date prefix: `len` bytes, an optional leading "+", digits otherwise.
bool is_date_part(std::string_view part, std::size_t len) {
    if (part.size() != len) return false;
    for (std::size_t i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (i == 0 && c == '+') continue;
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Only the first ten bytes are read (YYYY-MM-DD); the rest of the value is free.
bool is_datetime(std::string_view value) {
    if (value.size() < 10) return false;
    const std::string_view date = value.substr(0, 10);
    for (char c : date) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    const std::size_t first = date.find('-');
    if (first == std::string_view::npos) return false;
    const std::size_t second = date.find('-', first + 1);
    if (second == std::string_view::npos) return false;
    if (date.find('-', second + 1) != std::string_view::npos) return false;
    return is_date_part(date.substr(0, first), 4) &&
           is_date_part(date.substr(first + 1, second - first - 1), 2) &&
           is_date_part(date.substr(second + 1), 2);
}

std::string_view display_name(TimeKind kind) {
    switch (kind) {
        case TimeKind::DateTime:
            return "DateTime";
        case TimeKind::Duration:
            return "Duration";
        case TimeKind::Year:
            return "Year";
        case TimeKind::Day:
            return "Day";
        case TimeKind::Hour:
            return "Hour";
        case TimeKind::Minute:
            return "Minute";
    }
    return "";
}

}  // namespace

std::optional<TimeKind> find_time_kind(std::string_view member) {
    for (std::size_t i = 0; i < std::size(kTimeMembers); ++i)
        if (member == kTimeMembers[i]) return static_cast<TimeKind>(i);
    return std::nullopt;
}

Result<void> validate_time(TimeKind kind, std::string_view value) {
    if (kind == TimeKind::DateTime) {
        if (is_datetime(value)) return success();
        return QernError::invalid_value(
            concat("Invalid DateTime '", value,
                   "': expected ISO 8601 format (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS)"));
    }
    // A duration may also be written in the ISO "P..." form, which is not examined further.
    if (kind == TimeKind::Duration && !value.empty() && value[0] == 'P') return success();
    if (is_number(value)) return success();
    return QernError::invalid_value(
        concat("Invalid ", display_name(kind), " '", value, "': expected a number"));
}

namespace {

// 128-bit integers hold spans in microseconds: the longest span a duration may have,
// 999 999 999 days, needs 77 bits.
__extension__ typedef __int128 Micros;
__extension__ typedef unsigned __int128 UMicros;

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;
constexpr std::int64_t kMaxDays = 999'999'999;
constexpr Micros kMaxMicros = Micros(kMaxDays + 1) * kMicrosPerDay - 1;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The `n` bytes at `at` as a decimal number, when they are all ASCII digits.
bool digits_at(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (!is_digit(s[i])) return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool is_leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

std::string out_of_range(std::string_view what, std::string_view text, std::string_view range) {
    return concat(what, " ", text, " is out of range (", range, ")");
}

// The decimal int_digits.frac_digits times 10^exponent times `unit` microseconds, rounded
// half to even; none when its magnitude passes kMaxMicros. Past 24 significant digits the
// rest only decides a rounding tie.
std::optional<Micros> scaled_micros(std::string_view int_digits, std::string_view frac_digits,
                                    long exponent, std::int64_t unit) {
    exponent -= static_cast<long>(frac_digits.size());
    UMicros n = 0;
    std::size_t kept = 0;
    bool sticky = false;
    const auto take = [&](std::string_view digits) {
        for (char c : digits) {
            if (kept == 0 && c == '0') continue;
            if (kept < 24) {
                n = n * 10 + static_cast<unsigned>(c - '0');
                ++kept;
            } else {
                sticky |= c != '0';
                ++exponent;
            }
        }
    };
    take(int_digits);
    take(frac_digits);
    n *= static_cast<UMicros>(unit);
    if (exponent >= 0) {
        for (long i = 0; i < exponent; ++i) {
            n *= 10;
            if (n > static_cast<UMicros>(kMaxMicros)) return std::nullopt;
        }
        return n > static_cast<UMicros>(kMaxMicros) ? std::nullopt
                                                    : std::optional<Micros>(Micros(n));
    }
    if (exponent < -38) return Micros(0);
    UMicros p = 1;
    for (long i = 0; i < -exponent; ++i) p *= 10;
    UMicros q = n / p;
    const UMicros r = n % p;
    if (2 * r > p || (2 * r == p && (sticky || (q & 1) != 0))) ++q;
    if (q > static_cast<UMicros>(kMaxMicros)) return std::nullopt;
    return Micros(q);
}

// The span `total` (microseconds, within the limits) as a duration.
Duration as_duration(Micros total) {
    Micros days = total / kMicrosPerDay;
    Micros rest = total % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    Duration d;
    d.days = static_cast<std::int64_t>(days);
    d.seconds = static_cast<std::int32_t>(rest / kMicrosPerSecond);
    d.microseconds = static_cast<std::int32_t>(rest % kMicrosPerSecond);
    return d;
}

std::string duration_form_error(std::string_view value) {
    return concat("'", value,
                  "' is not an ISO 8601 duration (P[nW][nD][T[nH][nM][nS]]) or a number of "
                  "seconds");
}

Reading<Duration> read_iso_duration(std::string_view value) {
    struct Designator {
        char letter;
        bool in_time;
        std::int64_t unit;
    };
    static constexpr Designator kOrder[] = {{'W', false, 7 * kMicrosPerDay},
                                            {'D', false, kMicrosPerDay},
                                            {'H', true, 3600 * kMicrosPerSecond},
                                            {'M', true, 60 * kMicrosPerSecond},
                                            {'S', true, kMicrosPerSecond}};
    Reading<Duration> out;
    Micros total = 0;
    std::size_t next = 0;  // the first designator still allowed
    bool in_time = false, time_parts = false, any = false, fraction = false;
    std::size_t i = 1;
    while (i < value.size()) {
        if (value[i] == 'T' && !in_time) {
            in_time = true;
            ++i;
            continue;
        }
        const std::size_t int_start = i;
        while (i < value.size() && is_digit(value[i])) ++i;
        const std::string_view int_digits = value.substr(int_start, i - int_start);
        std::string_view frac_digits;
        if (i < value.size() && (value[i] == '.' || value[i] == ',')) {
            const std::size_t frac_start = ++i;
            while (i < value.size() && is_digit(value[i])) ++i;
            frac_digits = value.substr(frac_start, i - frac_start);
            if (frac_digits.empty()) break;
        }
        if (int_digits.empty() || i == value.size()) break;
        const char letter = value[i++];
        if (!in_time && (letter == 'Y' || letter == 'M')) {
            out.reason = concat("'", value, "' counts years or months, which have no fixed length");
            return out;
        }
        std::size_t d = next;
        while (d < std::size(kOrder) &&
               (kOrder[d].letter != letter || kOrder[d].in_time != in_time))
            ++d;
        if (d == std::size(kOrder)) {
            out.reason = duration_form_error(value);
            return out;
        }
        if (fraction) {
            out.reason = concat("only the last part of '", value, "' may have a fraction");
            return out;
        }
        const auto part = scaled_micros(int_digits, frac_digits, 0, kOrder[d].unit);
        if (!part || (total += *part) > kMaxMicros) {
            out.reason = concat("'", value, "' is out of range (at most 999999999 days)");
            return out;
        }
        next = d + 1;
        any = true;
        time_parts |= in_time;
        fraction = !frac_digits.empty();
    }
    if (i != value.size() || !any || (in_time && !time_parts)) {
        out.reason = duration_form_error(value);
        return out;
    }
    out.value = as_duration(total);
    return out;
}

// A number of seconds, of the number syntax.
Reading<Duration> read_seconds(std::string_view value) {
    Reading<Duration> out;
    if (!is_number(value)) {
        out.reason = duration_form_error(value);
        return out;
    }
    std::string_view rest = value;
    const bool negative = rest[0] == '-';
    if (rest[0] == '+' || rest[0] == '-') rest.remove_prefix(1);
    if (rest.empty() || !(is_digit(rest[0]) || rest[0] == '.')) {
        out.reason = concat("'", value, "' is not a finite number of seconds");
        return out;
    }
    std::size_t i = 0;
    while (i < rest.size() && is_digit(rest[i])) ++i;
    const std::string_view int_digits = rest.substr(0, i);
    std::string_view frac_digits;
    if (i < rest.size() && rest[i] == '.') {
        const std::size_t start = ++i;
        while (i < rest.size() && is_digit(rest[i])) ++i;
        frac_digits = rest.substr(start, i - start);
    }
    long exponent = 0;
    if (i < rest.size()) {  // the exponent, whose syntax is_number checked
        ++i;
        const bool minus = rest[i] == '-';
        if (rest[i] == '+' || rest[i] == '-') ++i;
        for (; i < rest.size(); ++i) exponent = std::min(exponent * 10 + (rest[i] - '0'), 1L << 40);
        if (minus) exponent = -exponent;
    }
    auto total = scaled_micros(int_digits, frac_digits, exponent, kMicrosPerSecond);
    if (total && negative) *total = -*total;
    if (!total || *total < -Micros(kMaxDays) * kMicrosPerDay) {
        out.reason = concat("'", value, "' is out of range (at most 999999999 days)");
        return out;
    }
    out.value = as_duration(*total);
    return out;
}

void append_two(std::string& out, int n) {
    out += static_cast<char>('0' + n / 10);
    out += static_cast<char>('0' + n % 10);
}

}  // namespace

Reading<std::variant<Date, DateTime>> read_datetime(std::string_view value) {
    Reading<std::variant<Date, DateTime>> out;
    const auto fail = [&](std::string reason) {
        out.reason = std::move(reason);
        return out;
    };
    const auto form = [&] {
        return fail(concat("'", value,
                           "' is not an ISO 8601 date (YYYY-MM-DD) or date and time "
                           "(YYYY-MM-DDTHH:MM[:SS[.f]][Z|+HH:MM|-HH:MM])"));
    };
    int year, month, day;
    if (!digits_at(value, 0, 4, year) || value.size() < 10 || value[4] != '-' ||
        !digits_at(value, 5, 2, month) || value[7] != '-' || !digits_at(value, 8, 2, day))
        return form();
    DateTime t;
    std::size_t at = 10;
    int hour = 0, minute = 0, second = 0, offset_hours = 0, offset_minutes = 0;
    if (value.size() > 10) {
        const char sep = value[10];
        if ((sep != 'T' && sep != 't' && sep != ' ') || !digits_at(value, 11, 2, hour) ||
            value.size() < 16 || value[13] != ':' || !digits_at(value, 14, 2, minute))
            return form();
        at = 16;
        if (at < value.size() && value[at] == ':') {
            if (!digits_at(value, at + 1, 2, second)) return form();
            at += 3;
            if (at < value.size() && (value[at] == '.' || value[at] == ',')) {
                const std::size_t start = ++at;
                while (at < value.size() && is_digit(value[at])) ++at;
                if (at == start) return form();
                for (std::size_t i = start; i < start + 6; ++i)
                    t.microsecond = t.microsecond * 10 + (i < at ? value[i] - '0' : 0);
            }
        }
        if (at < value.size() && (value[at] == 'Z' || value[at] == 'z')) {
            t.has_offset = true;
            ++at;
        } else if (at < value.size() && (value[at] == '+' || value[at] == '-')) {
            if (!digits_at(value, at + 1, 2, offset_hours) || at + 3 >= value.size() ||
                value[at + 3] != ':' || !digits_at(value, at + 4, 2, offset_minutes))
                return form();
            t.has_offset = true;
            const int minutes = offset_hours * 60 + offset_minutes;
            t.offset_minutes = value[at] == '-' ? -minutes : minutes;
            at += 6;
        }
        if (at != value.size()) return form();
    }
    if (year == 0) return fail(out_of_range("year", value.substr(0, 4), "0001 to 9999"));
    if (month < 1 || month > 12) return fail(out_of_range("month", value.substr(5, 2), "01 to 12"));
    const int last = days_in_month(year, month);
    if (day < 1 || day > last) {
        std::string last_day;
        append_two(last_day, last);
        return fail(concat("day ", value.substr(8, 2), " is out of range for ", value.substr(0, 7),
                           " (01 to ", last_day, ")"));
    }
    const Date date{year, static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day)};
    if (value.size() == 10) {
        out.value = date;
        return out;
    }
    if (hour > 23) return fail(out_of_range("hour", value.substr(11, 2), "00 to 23"));
    if (minute > 59) return fail(out_of_range("minute", value.substr(14, 2), "00 to 59"));
    if (second > 59) return fail(out_of_range("second", value.substr(17, 2), "00 to 59"));
    if (offset_hours > 23 || offset_minutes > 59) {
        const std::size_t sign = value.find_first_of("+-", 16);
        return fail(out_of_range("offset", value.substr(sign), "-23:59 to +23:59"));
    }
    t.date = date;
    t.hour = static_cast<std::uint8_t>(hour);
    t.minute = static_cast<std::uint8_t>(minute);
    t.second = static_cast<std::uint8_t>(second);
    out.value = t;
    return out;
}

Reading<Duration> read_duration(std::string_view value) {
    if (!value.empty() && value[0] == 'P') return read_iso_duration(value);
    return read_seconds(value);
}

std::string iso_text(const Date& date) {
    std::string out;
    out.reserve(10);
    append_two(out, date.year / 100);
    append_two(out, date.year % 100);
    out += '-';
    append_two(out, date.month);
    out += '-';
    append_two(out, date.day);
    return out;
}

std::string iso_text(const DateTime& time) {
    std::string out = iso_text(time.date);
    out += 'T';
    append_two(out, time.hour);
    out += ':';
    append_two(out, time.minute);
    out += ':';
    append_two(out, time.second);
    if (time.microsecond != 0) {
        out += '.';
        std::string digits = std::to_string(time.microsecond);
        out.append(6 - digits.size(), '0');
        out += digits;
    }
    if (time.has_offset) {
        const int minutes = time.offset_minutes < 0 ? -time.offset_minutes : time.offset_minutes;
        out += time.offset_minutes < 0 ? '-' : '+';
        append_two(out, minutes / 60);
        out += ':';
        append_two(out, minutes % 60);
    }
    return out;
}

std::string iso_text(const Duration& span) {
    Micros total = Micros(span.days) * kMicrosPerDay + Micros(span.seconds) * kMicrosPerSecond +
                   span.microseconds;
    std::string out;
    if (total < 0) {
        out += '-';
        total = -total;
    }
    out += 'P';
    const auto days = static_cast<std::int64_t>(total / kMicrosPerDay);
    const auto rest = static_cast<std::int64_t>(total % kMicrosPerDay);
    const std::int64_t seconds = rest / kMicrosPerSecond, micros = rest % kMicrosPerSecond;
    if (days != 0) out += concat(std::to_string(days), "D");
    if (rest == 0) return days != 0 ? out : out + "T0S";
    out += 'T';
    if (seconds >= 3600) out += concat(std::to_string(seconds / 3600), "H");
    if (seconds % 3600 >= 60) out += concat(std::to_string(seconds % 3600 / 60), "M");
    if (seconds % 60 != 0 || micros != 0) {
        out += std::to_string(seconds % 60);
        if (micros != 0) {
            std::string digits = std::to_string(micros);
            digits.insert(0, 6 - digits.size(), '0');
            while (digits.back() == '0') digits.pop_back();
            out += concat(".", digits);
        }
        out += 'S';
    }
    return out;
}

}  // namespace qern
