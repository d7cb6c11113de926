// The syntax tree against the merge: what a recovering merge stores and reports for a text
// is what the tree says the text declares, and every part of the tree slices out of the
// text exactly what it says.
#include "qern/syntax.hpp"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "differential.hpp"
#include "syntax_support.hpp"
#include "test_support.hpp"

namespace qern::testing {
namespace {

void expect_tree_agrees(std::string_view text) {
    EXPECT_EQ(merge_disagreement(text), std::nullopt)
        << "text: " << ::testing::PrintToString(std::string(text));
}

TEST(SyntaxTree, AgreesWithTheMergeOnRandomDocuments) {
    TempDir dir;  // the paths the documents name do not exist in it
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 rng(seed);
        expect_tree_agrees(random_document(rng));
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "seed " << seed;
            return;
        }
    }
}

TEST(SyntaxTree, AgreesWithTheMergeOnTheRepositorysFiles) {
    const std::filesystem::path root = QERN_SOURCE_DIR;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(entry.path(), root).string();
        if (rel.starts_with("build") || rel.starts_with(".git") ||
            rel.find("node_modules") != std::string::npos)
            continue;
        if (entry.is_regular_file() && entry.path().extension() == ".qrn")
            files.push_back(entry.path());
    }
    ASSERT_GE(files.size(), 10u);
    TempDir dir;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        SCOPED_TRACE(file.string());
        expect_tree_agrees(text.str());
    }
}

TEST(SyntaxTree, EdgeCasesAgree) {
    TempDir dir;
    for (const char* text : {
             "",
             "\n",
             "\xEF\xBB\xBF",
             "\xEF\xBB\xBF"
             "a = 1",
             "a = 1\rb = 2",
             "a = 1\r",
             "a = 1\r\r\n",
             "@",
             "@ x",
             "@nope",
             "@import",
             "@import '  '",
             "@type x",
             "@schema P {",
             "@schema P {\n",
             "@schema P { a: i32 #\xC2\xA0\n}",
             "@schema P { a: \"x {\nb\" # c\nz: i32\n}\nk = v",
             "@schema P {\n\n  a: i32, b*: f64\n  c:\n  string # d\n}\n",
             "@schema P {\n  a:\n}",
             "@schema P { a: i32 } { b: i32 }",
             "@schema {\n}",
             "@type t = {\n x }",
             "@derive 'a b.qrn' X :: Y\n@derive x.qrn::\n",
             "@derive \"open::A",
             "]x = 1",
             " = 1",
             "[a = b] = c # d",
             "k = \"a # b\" # c",
             "k = it's # x",
             "#=1",
             "a #=1",
             "a=# x",
             "\xE3\x80\x80k\xC2\xA0=\xE2\x80\x83v\xE2\x80\xA9",
         })
        expect_tree_agrees(text);
}

TEST(SyntaxTree, ImportPathKeepsTheBlanksInsideItsQuotes) {
    // The merge opens " base.qrn " (with its blanks), and the tree says so.
    TempDir dir;
    dir.write("base.qrn", "a = 1\n");
    const std::string text = "@import \" base.qrn \"\n@derive \" base.qrn \"::S\n";
    const SyntaxTree tree(text);
    std::vector<std::string> paths;
    tree.for_each(
        [&](const SyntaxTree::Entry& e) { paths.emplace_back(tree.statement(e).path.text); });
    EXPECT_EQ(paths, (std::vector<std::string>{" base.qrn ", "base.qrn"}));
    expect_error(text.substr(0, text.find('\n')),
                 "IO Error: No such file or directory (os error 2)");
}

TEST(SyntaxTree, LinesPositionsAndComments) {
    const std::string text =
        "\xEF\xBB\xBF"
        "a = 1  # one\r\n\n\xC3\xA9t\xC3\xA9 = x\n@schema P {\n  a: i32\n}";
    const SyntaxTree tree(text);
    EXPECT_EQ(tree.bom(), 3u);
    ASSERT_EQ(tree.line_count(), 6u);
    EXPECT_EQ(tree.line_text(1), "a = 1  # one");
    EXPECT_EQ(tree.line_ending(1), "\r\n");
    EXPECT_EQ(tree.line_ending(6), "");
    const Span c = *tree.comment(1);
    EXPECT_EQ(text.substr(c.begin, c.size()), "# one");
    EXPECT_FALSE(tree.comment(2).has_value());
    // Columns count scalar values from the line's start, after the byte-order mark.
    const Statement ete = tree.statement(tree.entry(3));
    EXPECT_EQ(tree.position(ete.literal.span.begin).column, 7u);
    EXPECT_EQ(tree.position(3).column, 1u);
    EXPECT_EQ(tree.offset(3, 7), ete.literal.span.begin);
    // Any line of a block belongs to the block's statement.
    const SyntaxTree::Entry block = tree.entry(5);
    EXPECT_EQ(block.kind, StatementKind::Schema);
    EXPECT_EQ(block.line, 4u);
    EXPECT_EQ(block.end_line, 6u);
    const Statement schema = tree.statement(block);
    ASSERT_EQ(schema.fields.size(), 1u);
    EXPECT_EQ(tree.position(schema.fields[0].type.span.begin).line, 5u);
    EXPECT_EQ(tree.position(schema.name.span.begin).column, 9u);
}

TEST(SyntaxTree, PiecesAtACursor) {
    const std::string text =
        "@import \"conf/a b.qrn\"  # c\n@derive base.qrn::Point::\n@type port = i32\n"
        "@schema S {\n  host: string\n  port:\n}\nk = 'v'\n@type t =  # c\n";
    const SyntaxTree tree(text);
    const auto piece = [&](std::string_view at, std::size_t delta = 0) {
        const Piece p = tree.piece_at(text.find(at) + delta);
        return concat(std::to_string(static_cast<int>(p.role)), " '", p.part.text, "' ", p.schema,
                      p.path);
    };
    const auto role = [](Role r) { return std::to_string(static_cast<int>(r)); };
    EXPECT_EQ(piece("@import"), role(Role::Directive) + " '@import' ");
    EXPECT_EQ(piece("a b.qrn"), role(Role::ImportPath) + " 'conf/a b.qrn' ");
    EXPECT_EQ(piece("# c", 1), role(Role::None) + " '' ");
    EXPECT_EQ(piece("base.qrn"), role(Role::DerivePath) + " 'base.qrn' ");
    EXPECT_EQ(piece("Point"), role(Role::DeriveSchema) + " 'Point' base.qrn");
    EXPECT_EQ(piece("Point::", 7), role(Role::DeriveSchema) + " '' base.qrn");
    EXPECT_EQ(piece("port ="), role(Role::TypeName) + " 'port' ");
    EXPECT_EQ(piece("i32"), role(Role::TypeDefinition) + " 'i32' ");
    EXPECT_EQ(piece("S {"), role(Role::SchemaName) + " 'S' ");
    EXPECT_EQ(piece("host"), role(Role::FieldName) + " 'host' S");
    EXPECT_EQ(piece("string"), role(Role::FieldType) + " 'string' S");
    // Typing a field's type: the place after "port:" expects one.
    EXPECT_EQ(piece("port:\n", 5), role(Role::FieldType) + " '' S");
    EXPECT_EQ(piece("k ="), role(Role::Key) + " 'k' ");
    EXPECT_EQ(piece("'v'"), role(Role::Value) + " ''v'' ");
    // Typing a type's definition: the blank after "=" is where it goes.
    EXPECT_EQ(piece("t =  #", 4), role(Role::TypeDefinition) + " '' ");
    EXPECT_EQ(piece("t =  #", 5), role(Role::TypeDefinition) + " '' ");
}

TEST(SyntaxTree, StaysSmallBesideItsText) {
    // The worst case: the shortest statements, one a line.
    std::string tiny;
    while (tiny.size() < (32u << 20)) tiny += "a=b\n";
    const SyntaxTree small_lines(tiny);
    EXPECT_LT(small_lines.memory_bytes(), 2 * tiny.size());
    std::string typical;
    for (int i = 0; typical.size() < (8u << 20); ++i)
        typical += concat("key_", std::to_string(i), " = value number ", std::to_string(i), "\n");
    const SyntaxTree typical_tree(typical);
    EXPECT_LT(typical_tree.memory_bytes(), typical.size() / 4);
}

}  // namespace
}  // namespace qern::testing
