#include <string>

#include "types/resolve.hpp"
#include "types_support.hpp"

namespace qern::testing {
namespace {

std::string value_error(const QernDocument& doc, std::string_view type, std::string_view value) {
    return error_of(validate_value(doc, type, value));
}

std::string field_error(const QernDocument& doc, std::string_view type, std::string_view value) {
    return error_of(validate_field(doc, type, value, "Cfg", "f"));
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

// "list<list<...<i32>...>>" nested n times, and a value with n brackets around "1".
std::string nested_list_type(std::size_t n, std::string_view element = "i32") {
    return repeat("list<", n) + std::string(element) + repeat(">", n);
}
std::string nested_list_value(std::size_t n) {
    return repeat("[", n) + "1" + repeat("]", n);
}

// A document with schemas Point { x: f64, y: f64, label*: string } and Shape { at: Point }.
QernDocument shapes() {
    QernDocument doc = new_document();
    doc.schemas().insert("Point",
                         schema({{"x", "f64"}, {"y", "f64"}, {"label", "string"}}, {"label"}));
    doc.schemas().insert("Shape", schema({{"at", "Point"}}));
    return doc;
}

constexpr std::string_view kDeep = "Invalid value: Value nested deeper than 256 levels";

TEST(Validation, ValidateValueWrapsFailuresWithTheTypeName) {
    const QernDocument doc = new_document();
    EXPECT_EQ(value_error(doc, "i32", "42"), "");
    EXPECT_EQ(value_error(doc, "i32", "x"),
              "Invalid type 'i32': Invalid value: Expected i32, got 'x'");
    EXPECT_EQ(value_error(doc, "nosuch", "1"), "Key not found: 'nosuch'");
    EXPECT_EQ(value_error(doc, "math::nosuch", "1"), "Key not found: 'math::nosuch'");
    EXPECT_EQ(value_error(shapes(), "Point", "{x = 1, y = 2}"), "Key not found: 'Point'");
}

TEST(Validation, ListForms) {
    const QernDocument doc = new_document();
    EXPECT_EQ(value_error(doc, "list<i32>", "[1, x]"),
              "Invalid type 'list<i32>': Invalid value: List item 'x' failed validation for type "
              "'i32': Schema 'list<i32>' validation error: field 'list_item' (type 'i32') — "
              "Invalid value: Expected i32, got 'x'");
    EXPECT_EQ(value_error(doc, " list< i32 > ", "[1, , 2,]"), "");
    EXPECT_EQ(value_error(doc, "list<nosuch>", "[]"), "");
    EXPECT_EQ(value_error(doc, "list<nosuch>", "[a]"),
              "Invalid type 'list<nosuch>': Invalid value: List item 'a' failed validation for "
              "type 'nosuch': Schema 'list<nosuch>' validation error: field 'list_item' (type "
              "'nosuch') — Unknown type 'nosuch'");
    EXPECT_EQ(value_error(doc, "list<i32>", "1, 2"),
              "Invalid type 'list<i32>': Invalid value: Expected a list literal in the form [item, "
              "item, ...], got '1, 2'");
    EXPECT_EQ(value_error(doc, "list<math::vector2>", "[[1, 2]]"),
              "Invalid type 'list<math::vector2>': Invalid value: List item '[1, 2]' failed "
              "validation for type 'math::vector2': Schema 'list<math::vector2>' validation error: "
              "field 'list_item' (type 'math::vector2') — Invalid value: Invalid number: [1");
    EXPECT_EQ(value_error(doc, "list<list<i32>>", "[[1], [2, 3], []]"), "");
    for (std::string_view name : {"list<>", "list< >", "list<i32", "List<i32>"}) {
        expect_unknown(name, name);
    }
    EXPECT_EQ(resolve_type("list<i32>").value()->base_type(), PrimitiveKind::String);
}

TEST(Validation, AliasesByKind) {
    QernDocument doc = new_document();
    doc.types()["port"] = make_alias("i32");
    doc.types()["v"] = make_alias("math::vector3");
    doc.types()["ids"] = make_alias("list<i32>");
    doc.types()["bad"] = make_alias("math::nope");
    EXPECT_EQ(value_error(doc, "port", "8080"), "");
    EXPECT_EQ(value_error(doc, "port", "x"),
              "Invalid type 'port': Invalid value: Expected i32, got 'x'");
    EXPECT_EQ(value_error(doc, "v", "1,2"),
              "Invalid type 'v': Invalid value: Expected 3 components, got 2");
    EXPECT_EQ(value_error(doc, "ids", "[1]"), "Invalid type 'ids': Key not found: 'list<i32>'");
    EXPECT_EQ(value_error(doc, "bad", "1"), "Invalid type 'bad': Key not found: 'nope'");
    EXPECT_EQ(doc.types().at("port")->base_type(), PrimitiveKind::I32);
    EXPECT_EQ(doc.types().at("v")->base_type(), PrimitiveKind::F64);
    EXPECT_EQ(doc.types().at("ids")->base_type(), PrimitiveKind::String);
    // A registered name shadows a built-in one, and is found inside lists.
    doc.types()["i32"] = make_alias("bool");
    EXPECT_EQ(value_error(doc, "list<i32>", "[true, 0]"), "");
    EXPECT_EQ(field_error(doc, "port", "x"),
              "Schema 'Cfg' validation error: field 'f' (type 'port') — Invalid value: Expected "
              "i32, got 'x'");
}

TEST(Validation, SchemaFields) {
    const QernDocument doc = shapes();
    EXPECT_EQ(field_error(doc, "Point", "{ x = 1, y: 2, other = ? }"), "");
    EXPECT_EQ(field_error(doc, "Point", "{x = 1, y = 2, x = 3, label = 'a b'}"), "");
    // A field given twice is checked by its last value, in small objects and wide ones.
    std::string wide = "{x = no, y = 2";
    for (int i = 0; i < 20; ++i) wide += ", extra" + std::to_string(i) + " = " + std::to_string(i);
    for (const std::string& fields : {std::string("{x = no, y = 2"), wide}) {
        EXPECT_EQ(field_error(doc, "Point", fields + ", x = 3}"), "") << fields;
        EXPECT_EQ(field_error(doc, "Point", fields + "}"),
                  "Schema 'Cfg' validation error: field 'f' (type 'Point') — Schema 'Point' "
                  "validation error: field 'x' (type 'f64') — Invalid value: Expected f64, got "
                  "'no'")
            << fields;
        EXPECT_NE(field_error(doc, "Point", fields + ", x = 3, x = no}"), "") << fields;
    }
    EXPECT_EQ(
        field_error(doc, "Point", "5"),
        "Schema 'Cfg' validation error: field 'f' (type 'Point') — Invalid value: Field typed "
        "as schema 'Point' must be an inline object '{ k = v, ... }', got: '5'");
    EXPECT_EQ(
        field_error(doc, "Point", "{ x = 1 }"),
        "Schema 'Cfg' validation error: field 'f' (type 'Point') — Schema 'Point' validation "
        "error: field 'y' (type 'f64') — Missing field 'y' in inline object for schema 'Point'");
    EXPECT_EQ(field_error(doc, "Point", "{ x }"),
              "Schema 'Cfg' validation error: field 'f' (type 'Point') — Invalid value: Failed to "
              "parse inline object for schema 'Point': Inline object field 'x' has no '=' or ':' "
              "separator");
    EXPECT_EQ(field_error(doc, "Shape", "{at = {x = 1, y = a}}"),
              "Schema 'Cfg' validation error: field 'f' (type 'Shape') — Schema 'Shape' validation "
              "error: field 'at' (type 'Point') — Schema 'Point' validation error: field 'y' (type "
              "'f64') — Invalid value: Expected f64, got 'a'");
    EXPECT_EQ(field_error(doc, "list<Point>", "[{x = 1, y = 2}]"), "");
    EXPECT_EQ(field_error(doc, "nosuch", "1"),
              "Schema 'Cfg' validation error: field 'f' (type 'nosuch') — Unknown type 'nosuch'");
    EXPECT_EQ(field_error(doc, "physics::KNOTS", "x"),
              "Schema 'Cfg' validation error: field 'f' (type 'physics::KNOTS') — Invalid value: "
              "Expected number for unit knots, got 'x'");
}

// Several fields fail, or are missing: the one reported is the first by name, in every
// document, whatever order its hash tables keep (each document seeds its own).
TEST(Validation, OfSeveralFailingFieldsTheFirstByNameIsReported) {
    // 16 fields, and 46: more than a check keeps at hand.
    const auto wide = [](int extra) {
        QernDocument doc = new_document();
        SchemaDef w = schema({}, {"a", "b"});
        for (char c = 'a'; c <= 'p'; ++c) w.fields.emplace(std::string(1, c), "i32");
        for (int i = 0; i < extra; ++i) w.fields.emplace("z" + std::to_string(i), "string");
        doc.schemas().insert("W", std::move(w));
        return doc;
    };
    const std::string prefix =
        "Schema 'Cfg' validation error: field 'f' (type 'W') — Schema 'W' validation error: ";
    for (int round = 0; round < 40; ++round) {
        const QernDocument doc = wide(round % 2 == 0 ? 0 : 30);
        EXPECT_EQ(field_error(doc, "W", "{ p = 1 }"),
                  prefix +
                      "field 'c' (type 'i32') — Missing field 'c' in inline object for "
                      "schema 'W'");
        std::string all_bad = "{ ";
        for (char c = 'p'; c >= 'a'; --c) all_bad += std::string(1, c) + " = x, ";
        EXPECT_EQ(field_error(doc, "W", all_bad + "}"),
                  prefix + "field 'a' (type 'i32') — Invalid value: Expected i32, got 'x'");
    }
}

TEST(Validation, ListNestingStopsPastTheDepthLimit) {
    const QernDocument doc = new_document();
    // Items of any text are passed without a check of their own, but not past the limit.
    for (std::string_view element : {"i32", "string"}) {
        EXPECT_EQ(value_error(doc, nested_list_type(256, element), nested_list_value(256)), "");
        const std::string type = nested_list_type(257, element);
        EXPECT_EQ(value_error(doc, type, nested_list_value(257)),
                  concat("Invalid type '", type, "': ", kDeep));
        EXPECT_EQ(field_error(doc, type, nested_list_value(257)),
                  concat("Schema 'Cfg' validation error: field 'f' (type '", type, "') — ", kDeep));
        EXPECT_EQ(field_error(doc, type, "[]"), "") << element;
    }
}

TEST(Validation, HugeListTypeFailsOnceNotPerLevel) {
    const QernDocument doc = new_document();
    const std::string type = nested_list_type(100000);
    EXPECT_TRUE(resolve_type(type).ok());
    EXPECT_EQ(value_error(doc, type, nested_list_value(100000)),
              concat("Invalid type '", type, "': ", kDeep));
    // A mismatch one level down names the inner type once per message part, no more.
    EXPECT_LT(value_error(doc, type, "[x]").size(), 5 * type.size());
}

TEST(Validation, SelfReferentialSchemaWithAMegabyteOfBraces) {
    QernDocument doc = new_document();
    doc.schemas().insert("A", schema({{"a", "A"}}));
    const std::size_t levels = 1 << 18;
    const std::string value = repeat("{a=", levels) + repeat("}", levels);
    EXPECT_EQ(field_error(doc, "A", value),
              concat("Schema 'Cfg' validation error: field 'f' (type 'A') — ", kDeep));
    // Through an assignment, as a document sees it.
    const std::string decl = "@schema A { a*: A }\n@schema Root { root: A }\nroot = ";
    auto parsed = parse_document(concat(decl, repeat("{a=", 257), "{}", repeat("}", 257)));
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().display(),
              concat("Schema 'Root' validation error: field 'root' (type 'A') — ", kDeep));
    EXPECT_TRUE(parse_document(concat(decl, repeat("{a=", 256), "{}", repeat("}", 256))).ok());
}

}  // namespace
}  // namespace qern::testing
