#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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

class TimeType final : public TypeDef {
  public:
    explicit TimeType(TimeKind kind) : kind_(kind) {}
    TimeKind kind() const { return kind_; }
    PrimitiveKind base_type() const override { return PrimitiveKind::F64; }
    Result<void> validate_nested(std::string_view value, const QernDocument&,
                                 unsigned) const override {
        return validate_time(kind_, value);
    }

  private:
    TimeKind kind_;
};

}  // namespace qern
