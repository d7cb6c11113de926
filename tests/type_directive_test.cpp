#include <set>
#include <string>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

TEST(TypeDirective, AliasesValidateByTheirDefinition) {
    const struct {
        const char* text;
        const char* type;
        const char* value;
        const char* error;  // "" when the value is valid
    } cases[] = {
        {"@type port = i32", "port", "8080", ""},
        {"@type port = i32", "port", "x",
         "Invalid type 'port': Invalid value: Expected i32, got 'x'"},
        {"@type\tport\u3000=\u00a0i32\u2003", "port", "x",
         "Invalid type 'port': Invalid value: Expected i32, got 'x'"},
        {"@type v = math::vector3", "v", "1, 2, 3", ""},
        {"@type v = math::vector3", "v", "1, 2",
         "Invalid type 'v': Invalid value: Expected 3 components, got 2"},
        // Without "::" the definition is looked up as a primitive name only.
        {"@type ids = list<i32>", "ids", "[1]", "Invalid type 'ids': Key not found: 'list<i32>'"},
        {"@type ids = list<math::vector3>", "ids", "[]", ""},
        {"@type ids = list<math::vector3>", "ids", "x",
         "Invalid type 'ids': Invalid value: Expected a list literal in the form [item, item, "
         "...], got 'x'"},
        {"@type a = i32\n@type b = a", "b", "1", "Invalid type 'b': Key not found: 'a'"},
        {"@type a = b = c", "a", "x", "Invalid type 'a': Key not found: 'b = c'"},
        {"@type t = time::nosuch", "t", "1", "Invalid type 't': Key not found: 'nosuch'"},
        {"@type c = Color", "c", "#000000", "Invalid type 'c': Key not found: 'Color'"},
        {"@type port = i32\n@type port = f64", "port", "1.5", ""},
        {"@type i32 = string", "i32", "anything",
         ""},  // a registered name comes before the built-in
        {"@type my port = i32", "my port", "x",
         "Invalid type 'my port': Invalid value: Expected i32, got 'x'"},
        {"@type port = i32", "port ", "1", "Key not found: 'port '"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(validation_error(parsed(c.text), c.type, c.value), c.error)
            << c.text << " / " << c.value;
}

TEST(TypeDirective, AliasBaseTypes) {
    QernDocument doc = parsed(
        "@type p = i32\n@type v = math::vector3\n@type ids = list<i32>\n@type s = string\n@type c "
        "= color");
    const std::pair<const char*, PrimitiveKind> cases[] = {
        {"p", PrimitiveKind::I32},    {"v", PrimitiveKind::F64},   {"ids", PrimitiveKind::String},
        {"s", PrimitiveKind::String}, {"c", PrimitiveKind::Color},
    };
    for (const auto& [name, kind] : cases) {
        auto it = doc.types().find(name);
        ASSERT_NE(it, doc.types().end()) << name;
        EXPECT_EQ(it->second->base_type(), kind) << name;
    }
}

TEST(TypeDirective, MalformedDefinitions) {
    const std::pair<const char*, const char*> cases[] = {
        {"@type = i32", "Parse Error at line 0: '= i32'. Reason: Type name cannot be empty"},
        {"@type =", "Parse Error at line 0: '='. Reason: Type name cannot be empty"},
        {"@type \u3000 = \u00a0",
         "Parse Error at line 0: '\u3000 ='. Reason: Type name cannot be empty"},
        {"@type x =", "Parse Error at line 0: 'x ='. Reason: Type definition cannot be empty"},
        {"\n\n@type x i32",
         "Parse Error at line 0: 'x i32'. Reason: Type definition must be in the format 'name = "
         "definition'"},
        {"@type",
         "Parse Error at line 0: ''. Reason: Type definition must be in the format 'name = "
         "definition'"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
    QernDocument doc = new_document();
    EXPECT_NE(merge_error(doc, "@type ok = i32\n@type = f64\nk = v"), "");
    EXPECT_EQ(type_names(doc), (std::set<std::string>{"ok"}));
    EXPECT_TRUE(doc.data().empty());
}

}  // namespace
}  // namespace qern::testing
