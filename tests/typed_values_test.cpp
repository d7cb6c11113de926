#include <cmath>
#include <cstdio>
#include <string>
#include <variant>

#include "types/typed.hpp"
#include "types_support.hpp"

namespace qern::testing {
namespace {

// Writes a walk as Python would show the values: 42, 1.5, True, 'text', date(2024, 5, 1),
// datetime(...), timedelta(days, seconds, microseconds), [..], (..), {'k': ..}.
class ReprSink final : public TypedSink {
  public:
    std::string out;
    bool on_string(std::string_view text) override { return item(concat("'", text, "'")); }
    bool on_int(std::int64_t n) override { return item(std::to_string(n)); }
    bool on_float(double x) override {
        if (std::isnan(x)) return item("nan");
        if (std::isinf(x)) return item(x > 0 ? "inf" : "-inf");
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", x);
        std::string s = text;
        if (s.find_first_of(".e") == std::string::npos) s += ".0";
        return item(s);
    }
    bool on_bool(bool b) override { return item(b ? "True" : "False"); }
    bool on_date(const Date& d) override { return item(concat("date(", iso_text(d), ")")); }
    bool on_datetime(const DateTime& t) override {
        return item(concat("datetime(", iso_text(t), ")"));
    }
    bool on_duration(const Duration& d) override {
        return item(concat("timedelta(", std::to_string(d.days), ", ", std::to_string(d.seconds),
                           ", ", std::to_string(d.microseconds), ")"));
    }
    bool begin_list() override { return open("["); }
    bool end_list() override { return close("]"); }
    bool begin_tuple(std::size_t) override { return open("("); }
    bool end_tuple() override { return close(")"); }
    bool begin_object(std::size_t) override { return open("{"); }
    bool key(std::string_view name) override {
        item(concat("'", name, "': "));
        after_key_ = true;
        return true;
    }
    bool end_object() override { return close("}"); }

  private:
    bool item(std::string_view text) {
        if (!after_key_ && !first_) out += ", ";
        out += text;
        first_ = false;
        after_key_ = false;
        return true;
    }
    bool open(std::string_view bracket) {
        item(bracket);
        first_ = true;
        return true;
    }
    bool close(std::string_view bracket) {
        out += bracket;
        first_ = false;
        return true;
    }
    bool first_ = true;
    bool after_key_ = false;
};

// The value as `type` converts it in a document of `declarations`, or the error's text.
std::string typed(std::string_view type, std::string_view value,
                  std::string_view declarations = "") {
    const QernDocument doc = parsed(declarations);
    ReprSink sink;
    const auto r = convert_typed(doc, "k", type, value, sink);
    return r.ok() ? sink.out : r.error().display();
}

std::string typed_document(std::string_view text) {
    const QernDocument doc = parsed(text);
    ReprSink sink;
    const auto r = convert_typed_document(doc, sink);
    return r.ok() ? sink.out : r.error().display();
}

// Each value converts as `type` to the shown form.
void expect_typed(std::string_view type,
                  std::initializer_list<std::pair<std::string_view, std::string_view>> cases,
                  std::string_view declarations = "") {
    for (const auto& [value, shown] : cases)
        EXPECT_EQ(typed(type, value, declarations), shown) << type << " <- " << value;
}

// Each value fails as `type` with the reason given.
void expect_refused(std::string_view type,
                    std::initializer_list<std::pair<std::string_view, std::string_view>> cases,
                    std::string_view declarations = "") {
    for (const auto& [value, reason] : cases) {
        EXPECT_EQ(typed(type, value, declarations),
                  concat("Cannot convert key 'k' (type '", type, "') = '", value, "': ", reason))
            << type << " <- " << value;
    }
}

TEST(TypedValues, Primitives) {
    expect_typed("i32", {{"42", "42"}, {"+5", "5"}, {"-0", "0"}, {"-2147483648", "-2147483648"}});
    expect_refused("i32", {{"2147483648", "'2147483648' is not an i32"},
                           {"1.0", "'1.0' is not an i32"},
                           {"", "'' is not an i32"}});
    expect_typed("f64", {{"1.5", "1.5"},
                         {"1", "1.0"},
                         {"1.", "1.0"},
                         {".5", "0.5"},
                         {"-1e-3", "-0.001"},
                         {"+2E2", "200.0"},
                         {"INF", "inf"},
                         {"-Infinity", "-inf"},
                         {"NaN", "nan"},
                         {"1e400", "inf"},
                         {"-1e400", "-inf"},
                         {"0.0001e400", "inf"},
                         {"1e-400", "0.0"},
                         {"-1e-400", "-0.0"},
                         {"0.1", "0.10000000000000001"}});
    expect_refused("f64", {{"1,5", "'1,5' is not a number"}, {" 1", "' 1' is not a number"}});
    expect_typed("bool", {{"TRUE", "True"}, {"false", "False"}, {"1", "True"}, {"0", "False"}});
    expect_refused("bool", {{"yes", "'yes' is not a bool (true, false, 1 or 0)"}});
    expect_typed("string", {{"'a' b", "''a' b'"}, {"", "''"}});
    expect_typed("color", {{"#A1b2C3", "'#A1b2C3'"}, {"#+1234567", "'#+1234567'"}});
    expect_refused("color", {{"#12345", "'#12345' is not a color (#RRGGBB or #RRGGBBAA)"},
                             {"#GG0000", "'#GG0000' is not a color (#RRGGBB or #RRGGBBAA)"}});
}

TEST(TypedValues, ListsTakeTheItemsFindListGives) {
    expect_typed("list<i32>", {{"[1, 2]", "[1, 2]"}, {"[ ]", "[]"}, {"[1, , 2,]", "[1, 2]"}});
    expect_typed("list<string>", {{"['a', \"b\", c]", "[''a'', '\"b\"', 'c']"}});
    expect_typed("list<list<f64>>", {{"[[1], [2, 3.5]]", "[[1.0], [2.0, 3.5]]"}});
    expect_typed(" list< bool > ", {{"[true]", "[True]"}});
    expect_refused("list<i32>", {{"[1, x]", "item 2: 'x' is not an i32"},
                                 {"1, 2", "'1, 2' is not a list literal [item, ...]"}});
    expect_refused("list<list<i32>>", {{"[[1], [2, y]]", "item 2: item 2: 'y' is not an i32"}});
}

constexpr std::string_view kPoint =
    "@schema Point { x: f64, y: f64, label*: string }\n@schema Path { points: list<Point> }";

TEST(TypedValues, SchemaObjects) {
    expect_typed("Point",
                 {{"{ x = 1, y: 2.5, extra = z }", "{'x': 1.0, 'y': 2.5, 'extra': 'z'}"},
                  {"{x=1, y=2, x=3}", "{'x': 3.0, 'y': 2.0}"},
                  // Given twice, a field keeps its first place and takes its last value.
                  {"{ e = 1, x = 1, e = 2, y = 2, f = 3, f = 4, g = 5 }",
                   "{'e': '2', 'x': 1.0, 'y': 2.0, 'f': '4', 'g': '5'}"},
                  {"{ y = 2, e = 1, x = 1 }", "{'y': 2.0, 'e': '1', 'x': 1.0}"},
                  {"{ label = 'home', y = 0, x = -1 }", "{'label': 'home', 'y': 0.0, 'x': -1.0}"}},
                 kPoint);
    // Objects of more fields than a walk keeps at hand, undeclared ones among them.
    std::string wide = "{ x = 1";
    std::string shown = "{'x': 5.0";
    for (int i = 0; i < 40; ++i) {
        wide += ", a" + std::to_string(i) + " = " + std::to_string(i);
        shown += ", 'a" + std::to_string(i) + "': '" + std::to_string(i) + "'";
    }
    EXPECT_EQ(typed("Point", wide + ", y = 2, x = 5 }", kPoint), shown + ", 'y': 2.0}");
    const std::string without_y = wide + " }";
    expect_refused("Point", {{without_y, "field 'y' of schema 'Point' is missing"}}, kPoint);
    expect_typed("Path",
                 {{"{ points = [{x = 0, y = 0}, {x = 1, y = 1}] }",
                   "{'points': [{'x': 0.0, 'y': 0.0}, {'x': 1.0, 'y': 1.0}]}"}},
                 kPoint);
    expect_refused("Point",
                   {{"{ x = 1, y = 1, x = a }", "field 'x': 'a' is not a number"},
                    {"{ x = 1 }", "field 'y' of schema 'Point' is missing"},
                    {"{}", "field 'x' of schema 'Point' is missing"},
                    {"5", "'5' is not an inline object { k = v, ... }"},
                    {"{ a }", "Inline object field 'a' has no '=' or ':' separator"}},
                   kPoint);
    expect_refused("Path",
                   {{"{ points = [{x = 0, y = 0}, {x = 1}] }",
                     "field 'points': item 2: field 'y' of schema 'Point' is missing"}},
                   kPoint);
}

TEST(TypedValues, DateTimes) {
    expect_typed("time::datetime",
                 {{"2024-05-01", "date(2024-05-01)"},
                  {"2024-02-29", "date(2024-02-29)"},
                  {"2000-02-29", "date(2000-02-29)"},
                  {"2024-05-01T12:30", "datetime(2024-05-01T12:30:00)"},
                  {"2024-05-01t12:30:45", "datetime(2024-05-01T12:30:45)"},
                  {"2024-05-01 12:30:45.5", "datetime(2024-05-01T12:30:45.500000)"},
                  {"2024-05-01T12:30:45,1234567Z", "datetime(2024-05-01T12:30:45.123456+00:00)"},
                  {"2024-05-01T12:30:45z", "datetime(2024-05-01T12:30:45+00:00)"},
                  {"2024-05-01T12:30+05:30", "datetime(2024-05-01T12:30:00+05:30)"},
                  {"0001-01-01T00:00-23:59", "datetime(0001-01-01T00:00:00-23:59)"},
                  {"9999-12-31T23:59:59.999999", "datetime(9999-12-31T23:59:59.999999)"}});
    constexpr std::string_view form =
        "' is not an ISO 8601 date (YYYY-MM-DD) or date and time "
        "(YYYY-MM-DDTHH:MM[:SS[.f]][Z|+HH:MM|-HH:MM])";
    for (std::string_view v :
         {"2024-01-01xyz", "+024-01-01", "2024-+1-+1", "2024-01-01T12", "2024-01-01T12:30:45.",
          "2024-01-01T12:30+05", "2024-01-01T", "2024-01-01 ", "2024-01-01T12:30Z ",
          "2024-01-01T1:30", "2024-01-01T12:30:4", "2024-01-01T12:30+05:3"}) {
        EXPECT_EQ(typed("time::datetime", v),
                  concat("Cannot convert key 'k' (type 'time::datetime') = '", v, "': '", v, form));
    }
    expect_refused(
        "time::datetime",
        {{"2024-13-45", "month 13 is out of range (01 to 12)"},
         {"2024-00-01", "month 00 is out of range (01 to 12)"},
         {"2023-02-29", "day 29 is out of range for 2023-02 (01 to 28)"},
         {"2024-04-31T00:00", "day 31 is out of range for 2024-04 (01 to 30)"},
         {"1900-02-29", "day 29 is out of range for 1900-02 (01 to 28)"},
         {"0000-01-01", "year 0000 is out of range (0001 to 9999)"},
         {"2024-01-01T24:00", "hour 24 is out of range (00 to 23)"},
         {"2024-01-01T99:99:99", "hour 99 is out of range (00 to 23)"},
         {"2024-01-01T12:60", "minute 60 is out of range (00 to 59)"},
         {"2024-01-01T23:59:60", "second 60 is out of range (00 to 59)"},
         {"2024-01-01T00:00+24:00", "offset +24:00 is out of range (-23:59 to +23:59)"},
         {"2024-01-01T00:00-01:60", "offset -01:60 is out of range (-23:59 to +23:59)"}});
}

TEST(TypedValues, Durations) {
    expect_typed("time::duration",
                 {{"P1W2D", "timedelta(9, 0, 0)"},
                  {"PT1H30M", "timedelta(0, 5400, 0)"},
                  {"P1DT0.5S", "timedelta(1, 0, 500000)"},
                  {"PT1,5M", "timedelta(0, 90, 0)"},
                  {"P1.5D", "timedelta(1, 43200, 0)"},
                  {"P0.5W", "timedelta(3, 43200, 0)"},
                  {"PT0.0000005S", "timedelta(0, 0, 0)"},
                  {"PT0.0000015S", "timedelta(0, 0, 2)"},
                  {"PT0.00000050000000000000000000001S", "timedelta(0, 0, 1)"},
                  {"PT36H", "timedelta(1, 43200, 0)"},
                  {"P999999999DT23H59M59.999999S", "timedelta(999999999, 86399, 999999)"},
                  {"3600", "timedelta(0, 3600, 0)"},
                  {"-1.5", "timedelta(-1, 86398, 500000)"},
                  {"1e3", "timedelta(0, 1000, 0)"},
                  {"+.25E1", "timedelta(0, 2, 500000)"},
                  {"-0", "timedelta(0, 0, 0)"},
                  {"1e-7", "timedelta(0, 0, 0)"},
                  {"-86399999913600", "timedelta(-999999999, 0, 0)"}});
    constexpr std::string_view form =
        "' is not an ISO 8601 duration (P[nW][nD][T[nH][nM][nS]]) or a number of seconds";
    for (std::string_view v : {"P", "PT", "P1DT", "Pxyz", "PT1M2H", "P1D2W", "P1DT1H1H", "p1d",
                               "P1S", "PT1D", "P-1D", "PT.5S", "PT1.S", "P1DTT1H", "1.5s", ""}) {
        EXPECT_EQ(typed("time::duration", v),
                  concat("Cannot convert key 'k' (type 'time::duration') = '", v, "': '", v, form));
    }
    expect_refused(
        "time::duration",
        {{"P1Y", "'P1Y' counts years or months, which have no fixed length"},
         {"P2M", "'P2M' counts years or months, which have no fixed length"},
         {"P1.5DT1H", "only the last part of 'P1.5DT1H' may have a fraction"},
         {"P1000000000D", "'P1000000000D' is out of range (at most 999999999 days)"},
         {"P999999999DT24H", "'P999999999DT24H' is out of range (at most 999999999 days)"},
         {"1e15", "'1e15' is out of range (at most 999999999 days)"},
         {"-86399999913600.000001",
          "'-86399999913600.000001' is out of range (at most 999999999 days)"},
         {"inf", "'inf' is not a finite number of seconds"},
         {"-NaN", "'-NaN' is not a finite number of seconds"}});
}

TEST(TypedValues, NumbersOfTimeMathAndPhysics) {
    for (std::string_view type : {"time::year", "time::day", "time::hour", "time::minute"})
        expect_typed(type, {{"25", "25.0"}, {"-1.5", "-1.5"}, {"inf", "inf"}});
    expect_typed("math::vector2", {{"1, 2", "(1.0, 2.0)"}});
    expect_typed("math::vector3", {{" 1.5 ,-2,3e2 ", "(1.5, -2.0, 300.0)"}});
    expect_typed("math::quaternion", {{"0,0,0,1", "(0.0, 0.0, 0.0, 1.0)"}});
    expect_typed("math::matrix3x3",
                 {{"1,0,0, 0,1,0, 0,0,1", "((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))"}});
    EXPECT_EQ(typed("math::matrix4x4", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"),
              "((1.0, 2.0, 3.0, 4.0), (5.0, 6.0, 7.0, 8.0), (9.0, 10.0, 11.0, 12.0), (13.0, "
              "14.0, 15.0, 16.0))");
    expect_refused("math::vector3", {{"1, 2", "'1, 2' holds 2 numbers, not 3"},
                                     {"[1, 2, 3]", "'[1' is not a number"},
                                     {"1, 2, 3,", "'' is not a number"},
                                     {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17",
                                      "'1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17' holds 17 "
                                      "numbers, not 3"}});
    for (std::string_view type : {"physics::bit", "physics::Byte", "physics::baud"})
        expect_typed(type, {{"1024", "1024"}, {"-1", "-1"}});
    expect_refused("physics::byte", {{"1.5", "'1.5' is not an i32"}});
    expect_typed("physics::meter", {{"1.5", "1.5"}, {"nan", "nan"}, {"3", "3.0"}});
    expect_typed("physics::nautical_mile", {{"2", "2.0"}});
    expect_refused("physics::meter", {{"5m", "'5m' is not a number"}});
}

TEST(TypedValues, AliasesConvertAsTheirTargets) {
    constexpr std::string_view aliases =
        "@type port = i32\n@type v = math::vector2\n@type ids = list<i32>\n"
        "@type xs = list<port>\n@type bad = math::nope\n@type f64 = bool";
    expect_typed("port", {{"8080", "8080"}}, aliases);
    expect_typed("v", {{"1, 2", "(1.0, 2.0)"}}, aliases);
    expect_typed("list<port>", {{"[1, 2]", "[1, 2]"}}, aliases);
    expect_typed("f64", {{"true", "True"}}, aliases);  // an alias shadows a built-in name
    expect_refused("ids",
                   {{"[1]", "its type is an alias of 'list<i32>', which names no built-in type"}},
                   aliases);
    expect_refused("bad",
                   {{"1", "its type is an alias of 'math::nope', which names no built-in type"}},
                   aliases);
    expect_refused("nosuch", {{"1", "type 'nosuch' names no type"}});
    expect_refused("list<nosuch>", {{"[1]", "item 1: type 'nosuch' names no type"}});
    expect_typed("list<nosuch>", {{"[]", "[]"}});
}

TEST(TypedValues, DocumentsKeepFirstAssignmentOrderAndUndeclaredKeysAsText) {
    EXPECT_EQ(typed_document("b = 1\n@schema S { port: i32, on: bool }\nname = web\nport = 80\n"
                             "on = TRUE\nb = 2\nport = 81\n"),
              "{'b': '2', 'name': 'web', 'port': 81, 'on': True}");
    EXPECT_EQ(typed_document(""), "{}");
}

TEST(TypedValues, ValuesStoredBeforeTheirSchemaStillConvertOrFail) {
    EXPECT_EQ(typed_document("workers = four\n@schema S { workers: i32 }"),
              "Cannot convert key 'workers' (type 'i32') = 'four': 'four' is not an i32");
    EXPECT_EQ(typed_document("when = 2024-13-45\n@schema S { when: time::datetime }"),
              "Cannot convert key 'when' (type 'time::datetime') = '2024-13-45': month 13 is out "
              "of range (01 to 12)");
    // A value nested deeper than the limit, stored before the schema that would refuse it.
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "{a = ";
    deep += "{}";
    for (int i = 0; i < 300; ++i) deep += "}";
    EXPECT_EQ(typed_document("k = " + deep + "\n@schema A { a*: A }\n@schema S { k: A }")
                  .ends_with("value nested deeper than 256 levels"),
              true);
}

TEST(TypedValues, TheFirstSchemaToDeclareAFieldDecidesItsType) {
    EXPECT_EQ(typed_document("@schema A { port: i32 }\n@schema B { port: string }\nport = 8080"),
              "{'port': 8080}");
    EXPECT_EQ(typed_document("@schema B { port: string }\n@schema A { port: i32 }\nport = 8080"),
              "{'port': '8080'}");
    // A schema declared again keeps its place for the fields it declared before.
    EXPECT_EQ(typed_document("@schema A { port: i32 }\n@schema B { port: string }\n"
                             "@schema A { port: f64 }\nport = 8080"),
              "{'port': 8080.0}");
    // Dropping the field hands it to the next schema in line.
    EXPECT_EQ(typed_document("@schema A { port: i32 }\n@schema B { port: string }\n"
                             "@schema C { port: bool }\n@schema A { other: i32 }\nport = 1"),
              "{'port': '1'}");
}

TEST(TypedValues, DerivedSchemasComeInTheBaseFilesOrder) {
    TempDir dir;
    std::string base;
    for (int i = 0; i < 40; ++i)
        base +=
            concat("@schema S", std::to_string(i), " { port: ", i == 0 ? "i32" : "string", " }\n");
    dir.write("base.qrn", base);
    // Whatever the hash order of the base's registry, S0, declared first, decides.
    for (int run = 0; run < 5; ++run)
        EXPECT_EQ(typed_document("@derive base.qrn\nport = 8080"), "{'port': 8080}");
    const QernDocument doc = parsed("@derive base.qrn");
    const auto names = doc.schemas().names();
    ASSERT_EQ(names.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(names[i], "S" + std::to_string(i));
}

TEST(TypedValues, IsoTextsOfDurations) {
    const auto iso = [](std::string_view v) { return iso_text(*read_duration(v).value); };
    EXPECT_EQ(iso("P1W2DT3H4M5.5S"), "P9DT3H4M5.5S");
    EXPECT_EQ(iso("PT0S"), "PT0S");
    EXPECT_EQ(iso("P2D"), "P2D");
    EXPECT_EQ(iso("PT0.000001S"), "PT0.000001S");
    EXPECT_EQ(iso("-90"), "-PT1M30S");
    EXPECT_EQ(iso("-86400.25"), "-P1DT0.25S");
}

// A list of objects checked when it was stored is converted from how the check read it;
// one stored before its schema is read afresh. Both must give the same values.
TEST(TypedValues, ListsReadByTheirCheckConvertAsListsReadAfresh) {
    constexpr std::string_view schemas =
        "@schema P { x: f64, y: f64, label*: string, at*: P, tags*: list<string> }\n"
        "@schema S { k: list<P> }\n";
    const std::string long_label(70000, 'w');
    const std::string cases[] = {
        "[{x=1, y=2}, {x=3, y=4}]",
        "[ ]",
        "[{ x = 1, e = 1, x = 2, y = 3, e = 2 }]",
        "[{x = 1, y = 2, label = 'a, {b} = c'}, {y=0, x=0, label = \"[d]\"}]",
        "[{x=1, y=2, at = {x = 3, y = 4, at = {x = 5, y = 6}}, tags = [a, 'b, c', ]}]",
        "[{x=1, y=2, label = }, , {x = 0, y = 0, label = 'héllo ✓'}, ]",
        "[{x=1, y=2}, {x=0, y=0, label = " + long_label + "}]",
    };
    for (const std::string& list : cases) {
        const QernDocument checked = parsed(std::string(schemas) + "k = " + list);
        const QernDocument unchecked = parsed("k = " + list + "\n" + std::string(schemas));
        ASSERT_EQ(unchecked.data().reading(0), nullptr);
        ReprSink from_check, afresh;
        ASSERT_TRUE(convert_typed_document(checked, from_check).ok()) << list;
        ASSERT_TRUE(convert_typed_document(unchecked, afresh).ok()) << list;
        EXPECT_EQ(from_check.out, afresh.out) << list;
        // Only an item too long for the reading's offsets goes without one.
        EXPECT_EQ(checked.data().reading(0) != nullptr, list.size() < 65536) << list;
    }
}

// A value replaced by one its check did not read as a list of objects must not be
// converted by the reading of the value before it.
TEST(TypedValues, AReadingLastsAsLongAsItsValue) {
    constexpr std::string_view point = "@schema P { x: i32, y: i32 }\n";
    QernDocument doc = parsed(std::string(point) +
                              "@schema S { k: list<P> }\nk = [{x=1, y=2}, {x=3, y=4}]\n"
                              "k = [{x=1, y=2}, {x=3, y=4}]\n");
    ASSERT_NE(doc.data().reading(0), nullptr);
    // Dropped from S, k is stored unchecked: shorter text, written where the old stood.
    ASSERT_TRUE(doc.merge_content("@schema S { other*: i32 }\nk = [{y=7, x=8}]").ok());
    EXPECT_EQ(doc.data().reading(0), nullptr);
    ASSERT_TRUE(doc.merge_content("@schema T { k: list<P> }").ok());
    ReprSink sink;
    ASSERT_TRUE(convert_typed_document(doc, sink).ok());
    EXPECT_EQ(sink.out, "{'k': [{'y': 7, 'x': 8}]}");
    // Checked again, it is read again.
    ASSERT_TRUE(doc.merge_content("k = [{x = 5, y = 6}]").ok());
    ASSERT_NE(doc.data().reading(0), nullptr);
    ReprSink again;
    ASSERT_TRUE(convert_typed_document(doc, again).ok());
    EXPECT_EQ(again.out, "{'k': [{'x': 5, 'y': 6}]}");
}

}  // namespace
}  // namespace qern::testing
