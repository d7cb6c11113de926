#include "types_support.hpp"

namespace qern::testing {
namespace {

constexpr std::string_view kIso = "': expected ISO 8601 format (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS)";

TEST(TypesTime, DateTimeReadsOnlyTheDatePrefix) {
    expect_valid("time::datetime",
                 {"2024-01-01", "2024-02-30", "2024-13-45", "2024-01-01T99:99:99", "2024-01-01xyz",
                  "+024-01-01", "2024-+1-+1", "2024-01-01\xC3\xA9"});
    expect_invalid("time::datetime", {"2024-1-01", "20240101", "2024/01/01", "2024-01-0", "",
                                      "2024-01-1-1", "++24-01-01", "2024-01-+", "-2024-01-1",
                                      "2024-01-\xC3\xA9x", "2024-01-0\xC3\xA9"});
    expect_error("time::datetime", "2024/01/01",
                 concat("Invalid value: Invalid DateTime '2024/01/01", kIso));
}

TEST(TypesTime, Duration) {
    expect_valid("time::duration", {"P1D", "PT5M", "Pxyz", "P", "3600", "1.5", "-inf"});
    expect_error("time::duration", "p1d",
                 "Invalid value: Invalid Duration 'p1d': expected a number");
    expect_error("time::duration", "", "Invalid value: Invalid Duration '': expected a number");
}

TEST(TypesTime, NumberMembersNeedNoRange) {
    for (std::string_view type : {"time::year", "time::day", "time::hour", "time::minute"}) {
        expect_valid(type, {"25", "-1", "1.5", "inf", "1e9"});
    }
    expect_error("time::hour", "abc", "Invalid value: Invalid Hour 'abc': expected a number");
    expect_error("time::year", "2024 ", "Invalid value: Invalid Year '2024 ': expected a number");
    expect_error("time::day", "1d", "Invalid value: Invalid Day '1d': expected a number");
    expect_error("time::minute", "", "Invalid value: Invalid Minute '': expected a number");
}

TEST(TypesTime, UnknownMembersAndBaseType) {
    expect_unknown("time::Year", "Year");
    expect_unknown("time::date", "date");
    expect_unknown("time::", "");
    expect_unknown("Time::year", "Time::year");
    EXPECT_EQ(resolve_type("time::datetime").value()->base_type(), PrimitiveKind::F64);
}

}  // namespace
}  // namespace qern::testing
