#include <filesystem>
#include <map>
#include <string>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

using Pairs = std::map<std::string, std::string>;

TEST(Import, MergesWhereTheDirectiveStands) {
    TempDir dir;
    dir.write("base.qrn", "a = 1\r\nb = base\r\n");
    dir.write("empty.qrn", "");
    expect_parses("@import base.qrn\nb = main", {{"a", "1"}, {"b", "main"}});
    expect_parses("b = main\n@import base.qrn", {{"a", "1"}, {"b", "base"}});
    expect_parses("@import base.qrn\n@import base.qrn\n@import empty.qrn",
                  {{"a", "1"}, {"b", "base"}});
    dir.write("bom.qrn", "\xEF\xBB\xBFk = v");
    expect_parses("@import bom.qrn", {{"k", "v"}});
}

TEST(Import, PathQuotingAndTrimming) {
    TempDir dir;
    std::filesystem::create_directory("conf");
    dir.write("conf/base.qrn", "x = plain");
    dir.write("\"odd.qrn'", "x = mixed");
    dir.write(" sp.qrn", "x = spaced");
    dir.write("'q.qrn'", "x = inner quotes");
    dir.write("d\u00e9 j\u00e0.qrn", "x = inner blank");
    const std::pair<const char*, const char*> cases[] = {
        {"@import conf/base.qrn", "plain"},
        {"@import \"conf/base.qrn\"", "plain"},
        {"@import 'conf/base.qrn'", "plain"},
        {"@import\t \u3000conf/base.qrn\u00a0 ", "plain"},
        {"@import \"odd.qrn'", "mixed"},          // mixed quotes stay part of the path
        {"@import \" sp.qrn\"", "spaced"},        // the inside of the quotes is not trimmed
        {"@import \"'q.qrn'\"", "inner quotes"},  // only one pair is removed
        {"@import d\u00e9 j\u00e0.qrn", "inner blank"},
        {"@import 'd\u00e9 j\u00e0.qrn'", "inner blank"},
    };
    for (const auto& [text, x] : cases) EXPECT_EQ(shown(parsed(text).find_obj("x")), x) << text;
    EXPECT_EQ(parse_error("@import ''"), "IO Error: No such file or directory (os error 2)");
    EXPECT_EQ(parse_error("@import conf/base.qrn\""),
              "IO Error: No such file or directory (os error 2)");
}

TEST(Import, EmptyPath) {
    EXPECT_EQ(parse_error("@import"),
              "Parse Error at line 0: ''. Reason: Import path cannot be empty");
    EXPECT_EQ(parse_error("a = 1\n@import   "),
              "Parse Error at line 0: ''. Reason: Import path cannot be empty");
    EXPECT_EQ(parse_error("@import # just a comment"),
              "Parse Error at line 0: ''. Reason: Import path cannot be empty");
}

TEST(Import, RelativePathsResolveAgainstTheWorkingDirectory) {
    TempDir dir;
    std::filesystem::create_directory("sub");
    dir.write("sub/inner.qrn", "@import leaf.qrn");
    dir.write("sub/leaf.qrn", "where = sub");
    dir.write("leaf.qrn", "where = top");
    expect_parses("@import sub/inner.qrn", {{"where", "top"}});
    expect_parses(("@import " + (dir.path() / "sub/leaf.qrn").string()).c_str(),
                  {{"where", "sub"}});
}

TEST(Import, ErrorsInsideTheFileKeepItsLineAndWhatRanBefore) {
    TempDir dir;
    dir.write("bad.qrn", "a = 1\n# c\n@nope x\nb = 2");
    dir.write("outer.qrn", "o = 1\n\n\n\n@import bad.qrn\np = 2");
    dir.write("open.qrn", "@schema P {\n x: i32");
    const char* unknown = "Parse Error at line 3: 'nope x'. Reason: Unknown directive: @nope";
    const struct {
        const char* text;
        const char* error;
        Pairs kept;
    } cases[] = {
        {"m = 1\n@import bad.qrn\nz = 1", unknown, {{"m", "1"}, {"a", "1"}}},
        {"@import outer.qrn\nz = 1", unknown, {{"o", "1"}, {"a", "1"}}},
        // A block left open in an imported file ends with that file.
        {"@import open.qrn\ny = 1\n}", "Directive '@schema' error: Expected '}'", {}},
        {"k = 1\n@import missing.qrn\nz = 1",
         "IO Error: No such file or directory (os error 2)",
         {{"k", "1"}}},
    };
    for (const auto& c : cases) {
        QernDocument doc = new_document();
        EXPECT_EQ(merge_error(doc, c.text), c.error) << c.text;
        EXPECT_EQ(pairs_of(doc), c.kept) << c.text;
    }
}

TEST(Import, ImportedDirectivesActOnTheSameDocument) {
    TempDir dir;
    dir.write("decl.qrn", "@type port = i32\n@schema S {\n  port: port\n}\n");
    expect_parses("@import decl.qrn\nport = 80", {{"port", "80"}});
    EXPECT_EQ(parse_error("@import decl.qrn\nport = x"),
              "Schema 'S' validation error: field 'port' (type 'port') \u2014 Invalid value: "
              "Expected i32, got 'x'");
    QernDocument doc = parsed("@import decl.qrn");
    EXPECT_EQ(schema_of(doc, "S"), "port:port");
    EXPECT_EQ(type_names(doc), (std::set<std::string>{"port"}));
}

TEST(Import, LoadAndMergeFile) {
    TempDir dir;
    dir.write("main.qrn", "a = 1\n@import part.qrn\nc = 3");
    dir.write("part.qrn", "b = 2");
    dir.write("bad.qrn", "a = 1\n\nbroken\nc = 3");
    auto loaded = load_document("main.qrn");
    ASSERT_TRUE(loaded.ok()) << loaded.error().display();
    EXPECT_EQ(pairs_of(*loaded), (Pairs{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    QernDocument doc = parsed("z = 0");
    EXPECT_EQ(error_of(doc.merge_file("bad.qrn")),
              "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='");
    EXPECT_EQ(pairs_of(doc), (Pairs{{"z", "0"}, {"a", "1"}}));
    EXPECT_EQ(load_error("missing.qrn"), "IO Error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace qern::testing
