#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/builtins.hpp"
#include "qern/diagnostic.hpp"
#include "qern/document.hpp"
#include "test_support.hpp"
#include "types/types.hpp"

namespace qern {

// Readable failures.
void PrintTo(const Location& l, std::ostream* os) {
    *os << l.file.value_or("<string>") << ":" << l.line << ":" << l.column << "-" << l.end_line
        << ":" << l.end_column;
    for (const IncludeStep& s : l.chain)
        *os << " <- " << s.file.value_or("<string>") << ":" << s.line
            << (s.kind == IncludeKind::Derive ? " (derive)" : "");
}

namespace testing {
namespace {

using Step = IncludeStep;

// The error a failing merge of `text` (standing for `file`) ends with.
QernError merge_error(std::string_view text, std::optional<std::string> file = std::nullopt) {
    QernDocument doc = new_document();
    auto merged = doc.merge_source(text, {std::move(file), std::nullopt}, nullptr);
    EXPECT_FALSE(merged.ok()) << text;
    return merged.ok() ? QernError::io("none") : std::move(merged).error();
}

Location where(std::optional<std::string> file, std::size_t line, std::size_t column,
               std::size_t end_line, std::size_t end_column, std::vector<Step> chain = {}) {
    return Location{std::move(file), line, column, end_line, end_column, std::move(chain)};
}

void expect_at(const QernError& error, const Location& expected) {
    ASSERT_NE(error.location(), nullptr) << error.display();
    EXPECT_EQ(*error.location(), expected) << error.display();
}

// Collects what a recovering merge reports.
struct Collector final : MergeObserver {
    std::vector<QernError> errors;
    bool recover() const override { return true; }
    void on_error(const MergeContext&, QernError error) override {
        errors.push_back(std::move(error));
    }
};

TEST(Locations, SpanOfEachKindOfStatement) {
    // A line without '=': the whole line, in the text's own line numbering.
    expect_at(merge_error("a = 1\n\n  retries 3\r\n"), where({}, 3, 1, 3, 12));
    expect_at(merge_error("@nope x"), where({}, 1, 1, 1, 6));            // the unknown name
    expect_at(merge_error("a = 1\n@"), where({}, 2, 1, 2, 2));           // an empty directive
    expect_at(merge_error("@type  x i32 # c"), where({}, 1, 8, 1, 13));  // the argument
    // A value that fails the schema field that declares its key: the value as written.
    expect_at(merge_error("@schema S { port: i32 }\nport = 'x' # n", "s.qrn"),
              where("s.qrn", 2, 8, 2, 11));
    // Columns count characters, not bytes.
    expect_at(merge_error("@schema S { n: i32 }\n\u00e9t\u00e9 = 1\nn = \U0001F600"),
              where({}, 3, 5, 3, 6));
    expect_at(merge_error("\xEF\xBB\xBF"
                          "retries 3"),
              where({}, 1, 1, 1, 10));
    // A block: from the argument on its first line to the end of its last line.
    expect_at(merge_error("x = 1\n@schema P {\n  a: i32\n  b\n}"), where({}, 2, 9, 5, 2));
}

// A lone CR is no line break but whitespace: a statement ends where the parser's reading
// of it ends, before a trailing CR, blanks or a comment, also at the end of the text.
TEST(Locations, TheSpanEndsWhereTheStatementDoes) {
    for (const char* text : {"a = 1\r\nbad\r", "a = 1\r\nbad\r\n", "a = 1\nbad\r\r\n",
                             "a = 1\nbad \r # c\r", "a = 1\nbad\t\n"})
        expect_at(merge_error(text), where({}, 2, 1, 2, 4));
    // Within a line it is part of the statement.
    expect_at(merge_error("a = 1\nb\rad"), where({}, 2, 1, 2, 5));
    expect_at(merge_error("@schema P {\n  a: i32\n  b\n} # c\r"), where({}, 1, 9, 4, 2));
}

TEST(Locations, FilesAndTheWayIntoThem) {
    TempDir dir;
    dir.write("c.qrn", "ok = 1\nbroken\n");
    dir.write("b.qrn", "\n\n@import c.qrn");
    dir.write("base.qrn", "@schema S { a: i32 }\na = x\n");
    dir.write("good.qrn", "@schema S { a: i32 }\n");
    dir.write("self.qrn", "@import self.qrn\n");

    // An error inside imported files: that file's place, and each including line.
    expect_at(merge_error("z = 1\n@import b.qrn", "a.qrn"),
              where("c.qrn", 2, 1, 2, 7, {{"a.qrn", 2}, {"b.qrn", 3}}));
    expect_at(merge_error("@derive base.qrn::S"),
              where("base.qrn", 2, 5, 2, 6, {{std::nullopt, 1, IncludeKind::Derive}}));

    // A file that cannot be read is an error at the directive that names it.
    const QernError missing = merge_error("\n@import 'conf/missing.qrn'", "app.qrn");
    expect_at(missing, where("app.qrn", 2, 9, 2, 27));
    ASSERT_TRUE(missing.is<QernError::Io>());
    EXPECT_EQ(missing.as<QernError::Io>()->path, "conf/missing.qrn");
    expect_at(merge_error("@import self.qrn"), where("self.qrn", 1, 9, 1, 17, {{std::nullopt, 1}}));
    expect_at(merge_error("@derive good.qrn::S::Nope"), where({}, 1, 22, 1, 26));
    // The selector that is missing, not a later one of the same name.
    expect_at(merge_error("@derive good.qrn::Nope::Nope"), where({}, 1, 19, 1, 23));

    // load of a missing file: the file, no line.
    auto loaded = load_document("nowhere.qrn");
    ASSERT_FALSE(loaded.ok());
    expect_at(loaded.error(), where("nowhere.qrn", 0, 0, 0, 0));
    EXPECT_EQ(loaded.error().as<QernError::Io>()->path, "nowhere.qrn");
}

TEST(Locations, RecoveringMergeReportsEveryFailingLine) {
    TempDir dir;
    dir.write("inner.qrn", "x\ny = 1\nz\n");
    dir.write("base.qrn", "@schema B { b: i32 }\nbad\n");
    Collector seen;
    QernDocument doc = new_document();
    const std::string text =
        "a\n@schema S { n: i32 }\nn = x\n@import inner.qrn\n@import gone.qrn\n"
        "@derive base.qrn::B\n@nope\nok = 1\n";
    ASSERT_TRUE(doc.merge_source(text, {"main.qrn", std::nullopt}, &seen).ok());
    std::vector<std::pair<std::string, std::size_t>> places;
    for (const QernError& e : seen.errors)
        places.emplace_back(e.location()->file.value_or("-"), e.location()->line);
    // The derive stops at its base file's own error: no cascade of "not found".
    const std::vector<std::pair<std::string, std::size_t>> expected = {
        {"main.qrn", 1}, {"main.qrn", 3}, {"inner.qrn", 1}, {"inner.qrn", 3},
        {"main.qrn", 5}, {"base.qrn", 2}, {"main.qrn", 7}};
    EXPECT_EQ(places, expected);
    EXPECT_EQ(pairs_of(doc), (std::map<std::string, std::string>{{"y", "1"}, {"ok", "1"}}));
    // The library's own merge stops at the first failing line, as before.
    QernDocument plain = new_document();
    EXPECT_EQ(error_of(plain.merge_content(text)),
              "Parse Error at line 1: 'a'. Reason: Missing assignment operator '='");
}

// Assignments are stored a few lines after they are read. A failing one must still stop
// the merge before anything after it, and a recovering merge must report each failure
// at its own line, in order, with every good line stored.
TEST(Locations, FailuresAmongManyAssignmentsKeepTheirOrder) {
    std::string text = "@schema S { n: i32, m: i32 }\n";
    for (int i = 0; i < 12; ++i) {
        text += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        if (i == 2) text += "n = x\n";    // line 5: fails its field's check
        if (i == 4) text += "broken\n";   // line 8: no '='
        if (i == 9) text += "m = 1.5\n";  // line 14
    }
    QernDocument plain = new_document();
    const auto stopped = plain.merge_content(text);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().location()->line, 5u);
    EXPECT_EQ(pairs_of(plain),
              (std::map<std::string, std::string>{{"k0", "0"}, {"k1", "1"}, {"k2", "2"}}));

    Collector seen;
    QernDocument doc = new_document();
    ASSERT_TRUE(doc.merge_source(text, {"t.qrn", std::nullopt}, &seen).ok());
    std::vector<std::size_t> lines;
    for (const QernError& e : seen.errors) lines.push_back(e.location()->line);
    EXPECT_EQ(lines, (std::vector<std::size_t>{5, 8, 14}));
    EXPECT_EQ(pairs_of(doc).size(), 12u);
    EXPECT_EQ(pairs_of(doc).count("n"), 0u);
}

TEST(Locations, EveryKindOfErrorHasItsCode) {
    TempDir dir;
    dir.write("base.qrn", "@schema B { b: i32 }\n");
    dir.write("loop.qrn", "@derive loop.qrn\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a", "parse"},
        {" = 1", "parse"},
        {"@", "parse"},
        {"@Import x", "unknown-directive"},
        {"@import", "import"},
        {"@import nowhere.qrn", "io"},
        {"@import .", "io"},
        {"@type x i32", "type-directive"},
        {"@type = i32", "type-directive"},
        {"@schema P x", "schema-directive"},
        {"@derive base.qrn::Nope", "derive"},
        {"@derive loop.qrn", "cycle"},
        {"@schema S { host: string }\n@derive base.qrn", "missing-field"},
        {"@schema S { n: i32 }\nn = x", "schema"},
        {"@schema S { n: nosuch }\nn = x", "unknown-type"},
        {"@schema S { n: list<i32> }\nn = [[x]]", "schema"},
    };
    for (const auto& [text, code] : cases) EXPECT_EQ(error_code(merge_error(text)), code) << text;
    const QernDocument doc = new_document();
    EXPECT_EQ(error_code(validate_value(doc, "int", "1").error()), "unknown-type");
    EXPECT_EQ(error_code(validate_value(doc, "i32", "x").error()), "invalid-value");
}

// The code comes from where the error is made, never from its text: a value that merely
// spells out a limit's message is a schema error, and running out of depth stays a limit
// however it is wrapped.
TEST(Locations, CodesAreKindsNotTextBug) {
    EXPECT_EQ(error_code(merge_error(
                  "@schema S { port: i32 }\nport = Value nested deeper than 256 levels")),
              "schema");
    std::string nested = "a = {}";
    for (int i = 0; i < 300; ++i) nested = "a = {" + nested + "}";
    EXPECT_EQ(
        error_code(merge_error("@schema A { a*: A }\n@schema R { r: A }\nr = {" + nested + "}")),
        "limit");
    QernDocument doc = new_document();
    ASSERT_TRUE(doc.merge_content("@type a::b = list<a::b>").ok());
    const std::string lists = std::string(300, '[') + std::string(300, ']');
    EXPECT_EQ(error_code(validate_value(doc, "a::b", lists).error()), "limit");
    EXPECT_EQ(error_code(validate_value(doc, "i32", "Cycle: 'x' is already being read").error()),
              "invalid-value");
    EXPECT_EQ(error_code(merge_error("@schema S { n: list<nosuch> }\nn = [x]")), "schema");
    EXPECT_EQ(error_code(merge_error("@schema S { n: i32 }\nn = Unknown type 'x'")), "schema");
}

}  // namespace
}  // namespace testing
}  // namespace qern
