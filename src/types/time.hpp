#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

enum class TimeKind : std::uint8_t { DateTime, Duration, Year, Day, Hour, Minute };

// The members of the time:: family, in the order of TimeKind.
inline constexpr std::string_view kTimeMembers[] = {"datetime", "duration", "year",
                                                    "day",      "hour",     "minute"};

// The member of the time:: family named exactly `member` ("datetime", "duration", ...).
std::optional<TimeKind> find_time_kind(std::string_view member);

Result<void> validate_time(TimeKind kind, std::string_view value);

// What a text reads as, or (value absent) why it reads as nothing.
template <class T>
struct Reading {
    std::optional<T> value;
    std::string reason;
};

// A calendar date, year 1 to 9999.
struct Date {
    std::int32_t year = 1;
    std::uint8_t month = 1;
    std::uint8_t day = 1;
};
// A date and time of day to the microsecond, with its offset from UTC when it has one.
struct DateTime {
    Date date;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    std::uint32_t microsecond = 0;
    bool has_offset = false;
    std::int32_t offset_minutes = 0;  // east of UTC
};
// A span of time held as Python's timedelta holds one: days of either sign, then
// 0 <= seconds < 86400 and 0 <= microseconds < 1 000 000, at most 999 999 999 days either
// way.
struct Duration {
    std::int64_t days = 0;
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

// A time::datetime value as a date or a date and time. Accepted: "YYYY-MM-DD" (a date),
// and "YYYY-MM-DD" followed by "T", "t" or a blank and "HH:MM", optionally ":SS" with
// optionally a fraction of one or more digits after "." or "," (digits past the sixth are
// cut off), optionally followed by "Z", "z" or an offset "+HH:MM" / "-HH:MM". Every field
// must lie in its calendar range (no leap seconds, no hour 24).
Reading<std::variant<Date, DateTime>> read_datetime(std::string_view value);

// A time::duration value: the ISO 8601 form "P[nW][nD][T[nH][nM][nS]]" (in that order, at
// least one part; the last part given may have a fraction after "." or ","), or a number
// of seconds of the number syntax. Years and months have no fixed length and are refused.
// The span is rounded to the microsecond, half to even.
Reading<Duration> read_duration(std::string_view value);

// ISO 8601 texts of the values, as Python's isoformat() writes dates and times;
// durations as "P[nD][T[nH][nM][n[.f]S]]" ("PT0S" when empty), with a leading "-" when
// negative.
std::string iso_text(const Date& date);
std::string iso_text(const DateTime& time);
std::string iso_text(const Duration& span);

class TimeType final : public TypeDef {
  public:
    explicit TimeType(TimeKind kind) : kind_(kind) {}
    TimeKind kind() const { return kind_; }
    PrimitiveKind base_type() const override { return PrimitiveKind::F64; }
    Result<void> validate_nested(std::string_view value, const QernDocument&,
                                 unsigned) const override {
        return validate_time(kind_, value);
    }

    std::unique_ptr<TypeDef> clone() const override { return std::make_unique<TimeType>(*this); }

  private:
    TimeKind kind_;
};

}  // namespace qern
