#include <string>

#include "core_helpers.hpp"
#include "qern/parsing.hpp"
#include "test_support.hpp"

namespace qern::testing {
namespace {

TEST(Parser, AssignmentsCommentsAndQuotes) {
    expect_parses("host = localhost\nport = 8080\n", {{"host", "localhost"}, {"port", "8080"}});
    expect_parses("key = 'a'", {{"key", "a"}});
    expect_parses("key = \"\"", {{"key", ""}});
    expect_parses("key = '", {{"key", "'"}});
    expect_parses("key = \"a' ", {{"key", "\"a'"}});
    expect_parses("key = ' padded '", {{"key", " padded "}});
    expect_parses("\"k\" = v", {{"\"k\"", "v"}});
    expect_parses("a = [x = 1]", {{"a", "[x = 1]"}});
    expect_parses("[a = b] = c", {{"[a = b]", "c"}});
    expect_parses("a = \"[x]\"", {{"a", "[x]"}});
    expect_parses("a = '{x'", {{"a", "{x"}});
    expect_parses("a = b = c", {{"a", "b = c"}});
    expect_parses("a = 1 # note\n# whole line\n  \n", {{"a", "1"}});
    expect_parses("color = #FF0000\nb = x#y\nc = #note",
                  {{"color", "#FF0000"}, {"b", "x#y"}, {"c", "#note"}});
    expect_parses("a = '# not a comment' # but this is", {{"a", "# not a comment"}});
    expect_parses("a = it's # quoted to the end", {{"a", "it's # quoted to the end"}});
    expect_parses("a = 1\t#\tnote", {{"a", "1"}});
    expect_parses("a = 1\n#", {{"a", "1"}});
    expect_parses("a = 1\na = 2", {{"a", "2"}});
}

TEST(Parser, LineEndingsAndWhitespace) {
    expect_parses("a = 1\r\nb = 2\r\n", {{"a", "1"}, {"b", "2"}});
    expect_parses("a = 1\rb = 2", {{"a", "1\rb = 2"}});
    // Every Unicode whitespace character trims, not only ASCII.
    expect_parses("\u3000a\u00a0=\u2003v\u2029\u0085", {{"a", "v"}});
    expect_parses("a\v= v", {{"a", "v"}});
    // A leading byte-order mark, as Windows editors write, is dropped: it would otherwise
    // become part of the first key and hide it from its schema.
    expect_parses("\xEF\xBB\xBFk = v", {{"k", "v"}});
    QernDocument doc = parsed("@schema S { port: i32 }");
    EXPECT_EQ(error_of(doc.merge_content("\xEF\xBB\xBFport = x")),
              "Schema 'S' validation error: field 'port' (type 'i32') \u2014 Invalid value: "
              "Expected i32, got 'x'");
    // A vertical tab does not delimit a comment.
    expect_parses("a = 1\v#\vx", {{"a", "1\v#\vx"}});
    expect_parses("", {});
    expect_parses("\n\n", {});
}

TEST(Parser, ErrorsCarryLineAndText) {
    expect_error("a = 1\n\nport",
                 "Parse Error at line 3: 'port'. Reason: Missing assignment operator '='");
    expect_error("]x = 1",
                 "Parse Error at line 1: ']x = 1'. Reason: Missing assignment operator '='");
    expect_error(" = v", "Parse Error at line 1: '= v'. Reason: Key cannot be empty");
    expect_error("@", "Parse Error at line 1: ''. Reason: Empty directive");
    expect_error("@ import a.qrn",
                 "Parse Error at line 1: ' import a.qrn'. Reason: Empty directive");
    expect_error("@Import a.qrn",
                 "Parse Error at line 1: 'Import a.qrn'. Reason: Unknown directive: @Import");
    expect_error("x = 1\r\n@nope\tz",
                 "Parse Error at line 2: 'nope\tz'. Reason: Unknown directive: @nope");
}

TEST(Parser, MergeKeepsWhatCameBeforeAnError) {
    QernDocument doc = new_document();
    auto r = doc.merge_content("a = 1\nb = 2\nbroken\nc = 3");
    EXPECT_EQ(error_of(r),
              "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='");
    EXPECT_EQ(pairs_of(doc), (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
}

TEST(Parser, MultiLineBlocks) {
    QernDocument doc = parsed("x = 1\n@schema Point {\n  x: f64, # first\n\n  y: f64\n}\ny = 2.5");
    const SchemaDef* point = doc.schemas().find("Point");
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->fields.size(), 2u);
    EXPECT_EQ(pairs_of(doc), (std::map<std::string, std::string>{{"x", "1"}, {"y", "2.5"}}));
    // The joined block is reported at its first line.
    expect_error("a = 1\n@schema P {\n x: f64\n x y\n}",
                 "Directive '@schema' error: Bad field: 'x'");
    expect_error("\n@nope {\n}",
                 "Parse Error at line 2: 'nope { }'. Reason: Unknown directive: @nope");
    // An unclosed block still reaches its directive at the end of the text.
    expect_error("@schema P {\n x: f64", "Directive '@schema' error: Expected '}'");
    // Comments are stripped again across the joined block, with quotes spanning lines.
    expect_error("@nope { 'a\nb' # c }",
                 "Parse Error at line 1: 'nope { 'a b''. Reason: Unknown directive: @nope");
}

TEST(Parser, UnclosedBlockOfManyLinesIsLinear) {
    std::string text = "@schema Big {\n";
    for (int i = 0; i < 200000; ++i) text += "f" + std::to_string(i) + ": i32 {\n";
    QernDocument doc = new_document();
    auto r = doc.merge_content(text);
    EXPECT_FALSE(r.ok());  // the fields' types end with '{' tokens; the block never closes
}

std::string repeated(std::string_view line, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += line;
    return text;
}

// Issue 13: every line of a large text, blank or comment, used to reserve a map entry that
// stayed with the document. Only lines with an '=' reserve one, and what a merge leaves
// unused goes back when it ends, whether it failed or not.
TEST(Parser, ReservationFollowsAssignmentsNotLines_Issue13) {
    QernDocument doc = parsed("only = key");
    const DataMap::Capacity before = doc.data().capacity();
    const std::string texts[] = {std::string(200000, '\n'), repeated("#\n", 100000),
                                 repeated("  # a comment\r\n", 10000),
                                 repeated("# commented = out\n", 10000)};
    for (const std::string& text : texts) {
        EXPECT_EQ(merge_error(doc, text), "");
        EXPECT_EQ(doc.data().capacity().entries, before.entries);
        EXPECT_EQ(doc.data().capacity().slots, before.slots);
    }
    // A merge that fails early gives back the room for the lines it did not reach.
    EXPECT_NE(merge_error(doc, "x = 1\nbroken\n" + repeated("k = v\n", 50000)), "");
    EXPECT_EQ(pairs_of(doc), (std::map<std::string, std::string>{{"only", "key"}, {"x", "1"}}));
    EXPECT_LE(doc.data().capacity().entries, 4u);
    EXPECT_EQ(doc.data().capacity().slots, before.slots);

    // A merge that stores what it reserved keeps it; one that stores part of it keeps no
    // more than twice what it holds.
    QernDocument grown = new_document();
    std::string keys;
    for (int i = 0; i < 30000; ++i) keys += "key" + std::to_string(i) + " = v\n";
    EXPECT_EQ(merge_error(grown, keys), "");
    EXPECT_GE(grown.data().capacity().entries, 30000u);
    EXPECT_EQ(merge_error(grown, keys + repeated("# a = b\n", 100000)), "");
    EXPECT_LE(grown.data().capacity().entries, 60000u);
    EXPECT_LE(grown.data().capacity().slots, 65536u);
}

TEST(Parser, StripComment) {
    EXPECT_EQ(strip_comment("a # b"), "a ");
    EXPECT_EQ(strip_comment("# b"), "");
    EXPECT_EQ(strip_comment("#b"), "#b");
    EXPECT_EQ(strip_comment("a #"), "a ");
    EXPECT_EQ(strip_comment("\"a # b\" # c"), "\"a # b\" ");
}

}  // namespace
}  // namespace qern::testing
