#include <set>
#include <string>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

// Each case declares P; the result is P's fields as schema_of writes them. A repeated field
// takes the later type and keeps an earlier optional mark.
TEST(SchemaDirective, Declarations) {
    const std::pair<const char*, const char*> cases[] = {
        {"@schema P { x: f64, y: f64 }", "x:f64 y:f64"},
        {"@schema P {x:f64,y:f64}", "x:f64 y:f64"},
        {"@schema P {\n  x: f64\n  y: f64\n}", "x:f64 y:f64"},
        {"@schema P {\n  x:\n  f64,\n\n  y: f64 }", "x:f64 y:f64"},
        {"@schema\u3000P\u00a0{\u2003x:\u2003f64\u3000y:f64\u2028}", "x:f64 y:f64"},
        {"@schema P { note*: string, id: i32 }", "id:i32 note*:string"},
        {"@schema P { a**: i32 }", "a*:i32"},
        {"@schema P { a*: i32, a: f64 }", "a*:f64"},
        {"@schema P { a: i32, a*: f64 }", "a*:f64"},
        {"@schema P { a:b:c, l: list<Point> }", "a:b:c l:list<Point>"},
        {"@schema P { x: i32 } trailing text", "x:i32"},
        {"@schema P { , }", ""}};
    for (const auto& [text, fields] : cases)
        EXPECT_EQ(schema_of(parsed(text), "P"), fields) << text;
    EXPECT_EQ(schema_names(parsed("@schema My Schema { a: i32 }")),
              (std::set<std::string>{"My Schema"}));
}

// In "x: , y: f64" x takes "y:" as its type; in "P } {" no '}' follows the '{'.
TEST(SchemaDirective, MalformedDeclarations) {
    const std::pair<const char*, const char*> cases[] = {
        {"@schema P { *: string }", "Bad field: ': string'"},
        {"@schema P { : i32 }", "Bad field: ': i32'"},
        {"@schema P { x : f64 }", "Bad field: 'x'"},
        {"@schema P { x: }", "Bad field: 'x:' has no type"},
        {"@schema P { x: , y: f64 }", "Bad field: 'f64'"},
        {"@schema P x: f64", "Expected '{'"},
        {"@schema { x: f64 }", "Schema name is empty"},
        {"@schema \u3000{ x: f64 }", "Schema name is empty"},
        {"@schema P { x: f64", "Expected '}'"},
        {"@schema P } {", "Expected '}'"},
        {"@schema P { a: i32 } { b: i32 }", "Bad field: '}'"}};
    for (const auto& [text, message] : cases)
        EXPECT_EQ(parse_error(text), std::string("Directive '@schema' error: ") + message) << text;
}

TEST(SchemaDirective, RedeclarationReplacesAndFailureKeepsTheOld) {
    QernDocument doc = parsed("@schema P { a*: i32 }\n@schema P { b: f64 }");
    EXPECT_EQ(schema_of(doc, "P"), "b:f64");
    EXPECT_EQ(merge_error(doc, "@schema P { c: i32, d }\nk = v"),
              "Directive '@schema' error: Bad field: 'd'");
    EXPECT_EQ(schema_of(doc, "P"), "b:f64");
    EXPECT_TRUE(doc.data().empty());
    // A replaced schema no longer checks the fields it dropped.
    const std::pair<const char*, std::string> cases[] = {
        {"@schema S { n: i32 }\n@schema S { m: i32 }", ""},
        {"@schema A { n: i32 }\n@schema B { n: i32 }\n@schema A { m: i32 }\n@schema B { q: i32 }",
         ""},
        {"@schema A { n: i32 }\n@schema B { n: string }\n@schema A { m: i32 }", ""},
        {"@schema A { n: i32 }\n@schema B { n: i32 }\n@schema A { m: i32 }",
         schema_msg("B", "n", "i32", "Invalid value: Expected i32, got 'x'")}};
    for (const auto& [text, message] : cases)
        EXPECT_EQ(parse_error(std::string(text) + "\nn = x"), message) << text;
}

// An assignment to a key that a schema names is checked against that field's type; a
// rejected value is not stored and ends the merge, the lines before it stay.
TEST(SchemaDirective, AssignmentsAreValidated) {
    const char* decl =
        "@type port = i32\n@schema Point { x: f64, y: f64 }\n@schema Opt { u: f64, v*: f64 }\n"
        "@schema Cfg { port: port, origin: Point, ports: list<i32>, o: Opt, any: nosuch, pts: "
        "list<Point> }";
    const auto cfg = [](const char* field, const char* type, const std::string& message) {
        return schema_msg("Cfg", field, type, message);
    };
    const auto missing = [](const char* schema, const char* field) {
        return schema_msg(
            schema, field, "f64",
            concat("Missing field '", field, "' in inline object for schema '", schema, "'"));
    };
    const std::pair<const char*, std::string> cases[] = {
        {"port = 80\norigin = { x = 1, y = 2, z = extra }\nports = []\no = { u = 1 }\nx = 2.5", ""},
        {"pts = [{ x = 1, y = 2 }]", ""},
        {"x = abc", schema_msg("Point", "x", "f64", "Invalid value: Expected f64, got 'abc'")},
        {"port = x", cfg("port", "port", "Invalid value: Expected i32, got 'x'")},
        {"origin = 5", cfg("origin", "Point",
                           "Invalid value: Field typed as schema 'Point' must be an inline object "
                           "'{ k = v, ... }', got: '5'")},
        {"origin = { x = 1 }", cfg("origin", "Point", missing("Point", "y"))},
        {"o = { v = 1 }", cfg("o", "Opt", missing("Opt", "u"))},
        {"origin = { x = 1, y = a }",
         cfg("origin", "Point",
             schema_msg("Point", "y", "f64", "Invalid value: Expected f64, got 'a'"))},
        {"origin = { x = 1, y }",
         cfg("origin", "Point",
             "Invalid value: Failed to parse inline object for schema 'Point': Inline object field "
             "'y' has no '=' or ':' separator")},
        {"ports = [1, x]", cfg("ports", "list<i32>",
                               "Invalid value: List item 'x' failed validation for type 'i32': " +
                                   schema_msg("list<i32>", "list_item", "i32",
                                              "Invalid value: Expected i32, got 'x'"))},
        {"any = 1", cfg("any", "nosuch", "Unknown type 'nosuch'")}};
    for (const auto& [text, message] : cases) {
        QernDocument doc = parsed(decl);
        EXPECT_EQ(merge_error(doc, std::string("before = 1\n") + text + "\nafter = 1"), message)
            << text;
        EXPECT_EQ(doc.data().contains("after"), message.empty()) << text;
        EXPECT_TRUE(doc.data().contains("before")) << text;
    }
    // Values assigned before the schema existed are not checked again.
    expect_parses("n = x\n@schema S { n: i32 }", {{"n", "x"}});
}

}  // namespace
}  // namespace qern::testing
