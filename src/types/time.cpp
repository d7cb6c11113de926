#include "types/time.hpp"

#include <cstddef>
#include <iterator>

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

}  // namespace qern
