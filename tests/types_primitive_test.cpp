#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "types/number.hpp"
#include "types/primitive_type.hpp"
#include "types_support.hpp"

namespace qern::testing {
namespace {

TEST(TypesPrimitive, NumberSyntax) {
    for (std::string_view s : {"1", "1.", ".5", "-1e-3", "+2.5E+10", "INF", "-Infinity", "NaN",
                               "1e400", "007", "0.0e0"}) {
        EXPECT_TRUE(is_number(s)) << s;
    }
    for (std::string_view s : {"", ".", "+", "e5", "1e", "1e+", "1,5", " 1", "1 ", "1_000", "0x10",
                               "--1", "1.2.3", "infinit", "nana", "+-1", ".e1", "1e1.5"}) {
        EXPECT_FALSE(is_number(s)) << s;
    }
}

// Short decimals are read by a path of their own: every one must be the double that a
// correctly rounding reader of any length gives, sign of zero included.
TEST(TypesPrimitive, NumbersReadExactlyWhateverTheirLength) {
    const auto reference = [](std::string_view s) {
        const bool negative = s[0] == '-';
        if (s[0] == '-' || s[0] == '+') s.remove_prefix(1);
        double x = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), x);
        EXPECT_TRUE(ec == std::errc() && end == s.data() + s.size()) << s;
        return negative ? -x : x;
    };
    const auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    std::vector<std::string> texts = {"0",
                                      "-0",
                                      "-0.0",
                                      "+0.5",
                                      "1.",
                                      ".5",
                                      "0.1",
                                      "0.3",
                                      "2.675",
                                      "4999.75",
                                      "999999999999999",
                                      "0.000000000000001",
                                      "9007199254740993",
                                      "1234567890.12345678",
                                      "-.000001"};
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::string digits = std::to_string(random() % 1'000'000'000'000'000ULL);
        digits.resize(1 + random() % digits.size());
        const std::size_t point = random() % (digits.size() + 1);
        std::string text = (random() % 3 == 0 ? "-" : "") + digits.substr(0, point);
        if (random() % 4 != 0)
            text += "." + digits.substr(point);
        else
            text += digits.substr(point);
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        const auto read = parse_number(text);
        ASSERT_TRUE(read.has_value()) << text;
        EXPECT_TRUE(same(*read, reference(text))) << text;
    }
}

TEST(TypesPrimitive, I32) {
    expect_valid("i32", {"0", "+5", "-0", "2147483647", "-2147483648", "000000000002147483647"});
    expect_invalid("i32", {"2147483648", "-2147483649", "99999999999999999999999", "", "+", "-",
                           " 5", "5 ", "1.0", "0x10", "1e3", "++1"});
    expect_error("i32", "x", "Invalid value: Expected i32, got 'x'");
}

TEST(TypesPrimitive, F64) {
    expect_valid("f64", {"1", "1.", ".5", "-1e-3", "INF", "NaN", "1e400"});
    expect_invalid("f64", {".", "e5", "1e", "1,5", " 1"});
    expect_error("f64", "1,5", "Invalid value: Expected f64, got '1,5'");
}

TEST(TypesPrimitive, BoolIgnoresCaseButNotScript) {
    expect_valid("bool", {"true", "TRUE", "False", "fAlSe", "1", "0"});
    // A Cyrillic "е" and the Kelvin sign lower-case to nothing in "true".
    expect_invalid("bool", {"yes", "", "01", "true ", "tru\xD0\xB5", "\xE2\x84\xAArue"});
    expect_error("bool", "Yes", "Invalid value: Expected bool (true/false/1/0), got 'Yes'");
}

TEST(TypesPrimitive, Color) {
    expect_valid("color", {"#A1b2C3", "#11223344", "#+12345", "#+1234567"});
    const std::string_view format = "Expected color in #RRGGBB or #RRGGBBAA format, got ";
    expect_error("color", "#12345", concat("Invalid value: ", format, "'#12345'"));
    expect_error("color", "123456", concat("Invalid value: ", format, "'123456'"));
    expect_error("color", "#1234567", concat("Invalid value: ", format, "'#1234567'"));
    expect_error("color", "#GG0000", "Invalid value: Invalid hex color '#GG0000'");
    expect_error("color", "#++1234", "Invalid value: Invalid hex color '#++1234'");
    expect_error("color", "#12 456", "Invalid value: Invalid hex color '#12 456'");
}

TEST(TypesPrimitive, NamesAndBaseTypes) {
    expect_valid("string", {"", "anything at all", "[1, x"});
    for (std::string_view name : {"String", "I32", " i32", "i32 ", "int", ""}) {
        expect_unknown(name, name);
    }
    EXPECT_EQ(parse_primitive("color").value(), PrimitiveKind::Color);
    for (auto [name, kind] : {std::pair{"i32", PrimitiveKind::I32},
                              {"f64", PrimitiveKind::F64},
                              {"string", PrimitiveKind::String},
                              {"bool", PrimitiveKind::Bool},
                              {"color", PrimitiveKind::Color}}) {
        EXPECT_EQ(resolve_type(name).value()->base_type(), kind) << name;
    }
}

}  // namespace
}  // namespace qern::testing
