#include "qern/literals.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

using V = std::vector<std::string>;
using Items = std::optional<V>;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using M = std::map<std::string, std::string>;
using Object = std::optional<M>;

template <class Views>
Items items_of(const std::optional<Views>& list) {
    if (!list) return std::nullopt;
    return std::vector<std::string>(list->begin(), list->end());
}

Object object_of(const std::optional<ViewMap<std::string_view>>& obj) {
    if (!obj) return std::nullopt;
    return std::map<std::string, std::string>(obj->begin(), obj->end());
}

TEST(Literals, ParseList) {
    const std::pair<const char*, Items> cases[] = {
        {"[a, , b,]", V{"a", "b"}},
        {"[ ]", V{}},
        {"[]", V{}},
        {"[,,]", V{}},
        {"[[1, 2], {x = 1}]", V{"[1, 2]", "{x = 1}"}},
        {"a, b", std::nullopt},
        {"[", std::nullopt},
        {"]", std::nullopt},
        {"[a", std::nullopt},
        {"[]x", std::nullopt},
        {"", std::nullopt},
        {"  [a]\t", V{"a"}},
        {"\u3000[\u00a0a\u2003,\u205fb\u3000]\u2029", V{"a", "b"}},
        {"['a, b', \"c\"]", V{"'a", "b'", "\"c\""}},  // quotes do not protect commas
        {"[(a, b)]", V{"(a", "b)"}},
        {"[{a], b}]", V{"{a]", "b}"}},  // bracket kinds are not matched
        {"[a], [b]", V{"a], [b"}},      // the comma sits at depth -1
        {"[a]]", V{"a]"}},
        {" \u3000\t\u00a0 [ \u2003\ta\t\u2003 ]\u3000 \u2029\t", V{"a"}},
        {"[\u00e9, \u65e5\u672c]", V{"\u00e9", "\u65e5\u672c"}},
    };
    for (const auto& [value, items] : cases) EXPECT_EQ(items_of(parse_list(value)), items) << value;
}

TEST(Literals, ParseInlineObject) {
    const struct {
        const char* value;
        Pairs pairs;
        const char* error;
    } cases[] = {
        {"{ a = 1, b: 'x', c = [1, 2] }", {{"a", "1"}, {"b", "x"}, {"c", "[1, 2]"}}, ""},
        {"{}", {}, ""},
        {"{ , ,}", {}, ""},
        {"{ t = 12:30 }", {{"t", "12:30"}}, ""},
        {"{ t: a = b }", {{"t", "a = b"}}, ""},
        {"{ a:b:c }", {{"a", "b:c"}}, ""},
        {"{ a = 1, a = 2 }", {{"a", "1"}, {"a", "2"}}, ""},
        {"{ b = 2, a = 1 }", {{"b", "2"}, {"a", "1"}}, ""},
        {"{ 'k' = \"v\", e = '', q = \"x' }", {{"'k'", "v"}, {"e", ""}, {"q", "\"x'"}}, ""},
        {"{ a = '[x]', b = [y' }", {{"a", "[x]"}, {"b", "[y'"}}, ""},
        {"{ a = {b = 1, c: 2}, [k = 1] = v }", {{"a", "{b = 1, c: 2}"}, {"[k = 1]", "v"}}, ""},
        {"{ a = }", {{"a", ""}}, ""},
        {"\u3000{\u00a0a\u2003=\u2003b\u3000}\u2028", {{"a", "b"}}, ""},
        {"{ a }", {}, "Inline object field 'a' has no '=' or ':' separator"},
        {"{ a = 1, b c }", {}, "Inline object field 'b c' has no '=' or ':' separator"},
        {"{ [a = 1] }", {}, "Inline object field '[a = 1]' has no '=' or ':' separator"},
        {"{ = 1 }", {}, "Empty key in inline object field '= 1'"},
        {"{ x = 1, : 2 }", {}, "Empty key in inline object field ': 2'"},
        {"x", {}, "Inline object must be wrapped in '{}', got: 'x'"},
        {"{", {}, "Inline object must be wrapped in '{}', got: '{'"},
        {"  { a = 1", {}, "Inline object must be wrapped in '{}', got: '  { a = 1'"},
        {"", {}, "Inline object must be wrapped in '{}', got: ''"},
    };
    for (const auto& c : cases) {
        InlineObject obj = parse_inline_object(c.value);
        EXPECT_EQ(obj.error, c.error) << c.value;
        if (!*c.error) {
            Pairs got;
            for (const auto& f : obj.fields) got.emplace_back(f.key, f.value);
            EXPECT_EQ(got, c.pairs) << c.value;
        }
    }
}

TEST(Literals, FindListAndFindObjectGoThroughFindObj) {
    QernDocument doc = parsed(
        "l = [1, 2]\nplain = x\no = { a = 1, a = 2, b: x }\nbad = { a = 1\nnosep = { a }\n"
        "q = '{ k = v }'\n[r, s] = back\n{z = 9} = obj\nempty = {}\nel = []");
    EXPECT_EQ(items_of(doc.find_list("l")), (V{"1", "2"}));
    EXPECT_EQ(items_of(doc.find_list("el")), (V{}));
    EXPECT_EQ(items_of(doc.find_list("plain")), std::nullopt);
    EXPECT_EQ(items_of(doc.find_list("missing")), std::nullopt);
    EXPECT_EQ(items_of(doc.find_list("back")), (V{"r", "s"}));  // via the reverse lookup
    EXPECT_EQ(object_of(doc.find_object("o")), (M{{"a", "2"}, {"b", "x"}}));
    EXPECT_EQ(object_of(doc.find_object("empty")), (M{}));
    EXPECT_EQ(object_of(doc.find_object("q")), (M{{"k", "v"}}));
    EXPECT_EQ(object_of(doc.find_object("obj")), (M{{"z", "9"}}));
    for (const char* key : {"bad", "nosep", "plain", "l", "missing"})
        EXPECT_EQ(object_of(doc.find_object(key)), std::nullopt) << key;
}

// A list of objects is read in one pass: each item must come out exactly as the item read
// on its own would, fields, failures and their texts alike.
void expect_one_pass_reads_like_each_item(const std::string& list) {
    SCOPED_TRACE(list);
    const auto items = parse_list(list);
    std::vector<literal_scan::InnerMark> marks;
    std::vector<ObjectField> fields;
    std::string error;
    std::size_t at = 0;
    const bool is_list =
        for_each_list_object(list, marks, fields, error, [&](std::string_view item, bool read) {
            EXPECT_LT(at, items->size());
            EXPECT_EQ(item, (*items)[at++]);
            std::vector<ObjectField> alone;
            std::string alone_error;
            EXPECT_EQ(read, parse_inline_object_into(item, alone, alone_error));
            if (read) {
                EXPECT_EQ(fields.size(), alone.size());
                for (std::size_t i = 0; i < std::min(fields.size(), alone.size()); ++i) {
                    EXPECT_EQ(fields[i].key, alone[i].key);
                    EXPECT_EQ(fields[i].value, alone[i].value);
                }
            } else {
                EXPECT_EQ(error, alone_error);
            }
            return true;
        });
    ASSERT_EQ(is_list, items.has_value());
    if (items) {
        EXPECT_EQ(at, items->size());
    }
}

TEST(Literals, AListOfObjectsReadsInOnePassAsItemByItem) {
    for (const std::string list : {
             "[]",
             "[{ a = 1, b: 2 }, {c = [1, {d = 2}], e = 'x, y'}]",
             "[{a=1}}{b=2}, {a = ]x[ }, {a=1}{b=2}]",  // braces that close early
             "[{ = 1}, {a}, {a = 1,, , b = 2}, {a: b = c}, x, [1], {}]",
             "[ {\xc2\xa0k = v\xc2\xa0} , {k = \"quoted, \" } ]",  // a blank past ASCII
             "[{long_key_past_sixteen_bytes = value_past_sixteen_bytes, k2 = {x = [1, 2]}}]",
             "[{a = 1}, ]x, {b = 2}]",
         }) {
        expect_one_pass_reads_like_each_item(list);
    }
    // Random lists of the characters the scan looks at, around every chunk boundary.
    std::mt19937 random(20261208);
    const std::string_view alphabet = "{}[],:= ab'\"\t";
    for (int round = 0; round < 3000; ++round) {
        std::string list = "[";
        const int length = static_cast<int>(random() % 48);
        for (int i = 0; i < length; ++i) list += alphabet[random() % alphabet.size()];
        expect_one_pass_reads_like_each_item(list + "]");
    }
}

}  // namespace
}  // namespace qern::testing
