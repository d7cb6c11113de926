// The formatter: each rule on its own, and over random documents the properties that make
// it safe to run on any file: it keeps what the text declares and its comments, and a
// second run changes nothing.
#include "analysis/format.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "qern/syntax.hpp"
#include "syntax_support.hpp"

namespace qern::testing {
namespace {

std::string formatted(std::string_view text) {
    const analysis::Formatted f = analysis::format_text(text);
    EXPECT_EQ(f.status, analysis::Formatted::Status::Done) << text << "\n" << f.difference;
    return f.text;
}

void expect_formats(std::string_view text, std::string_view expected) {
    EXPECT_EQ(formatted(text), expected) << ::testing::PrintToString(std::string(text));
    EXPECT_EQ(formatted(expected), expected) << "not idempotent";
}

TEST(Format, AssignmentsAndComments) {
    expect_formats("a=1\n", "a = 1\n");
    expect_formats("  a \t=\t 1   \n", "a = 1\n");
    expect_formats("a =\n", "a =\n");
    expect_formats("a = 1 # one\n", "a = 1  # one\n");
    expect_formats("a = 1\t\t#\tone  \n", "a = 1  #\tone\n");
    expect_formats("   #   indented comment   \n", "#   indented comment\n");
    // Values, keys and comments keep their bytes.
    expect_formats("[a = b]=c\n", "[a = b] = c\n");
    expect_formats("k=  \"  x  \"  \n", "k = \"  x  \"\n");
    expect_formats("k = a  b\tc\n", "k = a  b\tc\n");
    expect_formats("k = \"a # b\"   # c\n", "k = \"a # b\"  # c\n");
    expect_formats("k = it's # not a comment\n", "k = it's # not a comment\n");
    expect_formats("c=#FF0000\n", "c = #FF0000\n");
    expect_formats("k = 1\rb = 2\n", "k = 1\rb = 2\n");
    // Whitespace the parser trims away (here a no-break space and an ideographic space) is
    // no part of a value: it goes like any trailing blank.
    expect_formats("k = v\xC2\xA0\n\xE3\x80\x80j = w\n", "k = v\nj = w\n");
}

TEST(Format, SpacingThatWouldMakeAComment) {
    // A blank next to these '#'s would start a comment: the lines keep their spacing.
    expect_formats("#=1\n", "#=1\n");
    expect_formats("a=# x\n", "a=# x\n");
    expect_formats("k =# x  # real\n", "k =# x  # real\n");
    expect_formats("@type t =# x\n", "@type t =# x\n");
    // Only the Unicode whitespace before it keeps this '#' from starting a comment: the
    // line stays as it is.
    expect_formats("k = v\n\xE3\x80\x80# = 1\n", "k = v\n\xE3\x80\x80# = 1\n");
}

TEST(Format, BlankLinesAndEndings) {
    expect_formats("\n\n\na = 1\n\n\n\nb = 2\n\n\n", "a = 1\n\nb = 2\n");
    expect_formats("a = 1", "a = 1\n");
    expect_formats("a = 1\r\nb=2\r\n", "a = 1\r\nb = 2\r\n");
    // Mixed endings take the first one's.
    expect_formats("a = 1\r\nb=2\nc=3", "a = 1\r\nb = 2\r\nc = 3\r\n");
    expect_formats(
        "\xEF\xBB\xBF"
        "a=1\n",
        "\xEF\xBB\xBF"
        "a = 1\n");
    expect_formats("", "");
    // A key that starts with U+FEFF, first in a text without a byte-order mark, keeps a
    // blank before it: at the start of the text those bytes would be read as the mark.
    expect_formats(" \xEF\xBB\xBF=1", " \xEF\xBB\xBF = 1\n");
    expect_formats("\n\xEF\xBB\xBFk=1", " \xEF\xBB\xBFk = 1\n");
    expect_formats("\xEF\xBB\xBF\xEF\xBB\xBFk=1", "\xEF\xBB\xBF\xEF\xBB\xBFk = 1\n");
    expect_formats("\n  \n", "");
}

TEST(Format, Directives) {
    expect_formats("  @import   conf/a.qrn  \n", "@import   conf/a.qrn\n");
    expect_formats("@import \" a.qrn \"  # spaced\n", "@import \" a.qrn \"  # spaced\n");
    expect_formats("@type port=i32\n", "@type port = i32\n");
    expect_formats("@type  a = b = c\n", "@type  a = b = c\n");
    expect_formats("@derive base.qrn::A  ::B\n", "@derive base.qrn::A  ::B\n");
    expect_formats("@schema P {x:f64,y:f64}\n", "@schema P {x:f64,y:f64}\n");
}

TEST(Format, SchemaBlocks) {
    expect_formats("@schema Server   {   # the server\n  host: string, port:i32\nratio*:\n f64 }\n",
                   "@schema Server {  # the server\n    host: string\n    port:i32\n"
                   "    ratio*: f64\n}\n");
    expect_formats("@schema P {\n\n\n  a: i32  # a\n\n  # group\n  b: i32\n\n}  # end\n",
                   "@schema P {\n    a: i32  # a\n\n    # group\n    b: i32\n}  # end\n");
    expect_formats("@schema P { a: i32   # first line\n  b: f64 }\n",
                   "@schema P {\n    a: i32  # first line\n    b: f64\n}\n");
    // Quotes could join lines into one comment: such a block keeps its lines.
    expect_formats("@schema P {\n  a: 'x\n  b: y'\n}\n", "@schema P {\n    a: 'x\n    b: y'\n}\n");
    // Text after the closing brace, which the directive ignores, stays, and so does the
    // block's layout.
    expect_formats("@schema P {\n a: i32\n} tail\n", "@schema P {\n    a: i32\n} tail\n");
    // Other blocks keep each line's content and every blank line (each is a blank).
    expect_formats("@type t = {\n\n   x }\n", "@type t = {\n\n    x }\n");
}

TEST(Format, RefusesWhatDoesNotParse) {
    const analysis::Formatted f = analysis::format_text("a = 1\nretries 3\n@nope\n");
    ASSERT_EQ(f.status, analysis::Formatted::Status::Refused);
    ASSERT_EQ(f.errors.size(), 2u);
    EXPECT_EQ(f.errors[0].display(),
              "Parse Error at line 2: 'retries 3'. Reason: Missing assignment operator '='");
    EXPECT_EQ(f.errors[0].location()->line, 2u);
    EXPECT_EQ(f.errors[1].display(),
              "Parse Error at line 3: 'nope'. Reason: Unknown directive: @nope");
}

TEST(Format, KeepsMeaningAndCommentsAndIsIdempotentOnRandomDocuments) {
    std::size_t formatted_docs = 0;
    for (std::uint32_t seed = 1; seed <= 4000; ++seed) {
        std::mt19937 rng(seed);
        const std::string text = random_document(rng);
        const analysis::Formatted once = analysis::format_text(text);
        ASSERT_NE(once.status, analysis::Formatted::Status::Unsafe)
            << "seed " << seed << ": " << ::testing::PrintToString(text) << "\n"
            << once.difference;
        if (once.status == analysis::Formatted::Status::Refused) continue;
        ++formatted_docs;
        const SyntaxTree before(text), after(once.text);
        EXPECT_EQ(analysis::first_difference(before, after), std::nullopt) << "seed " << seed;
        const analysis::Formatted twice = analysis::format_text(once.text);
        ASSERT_EQ(twice.status, analysis::Formatted::Status::Done) << "seed " << seed;
        EXPECT_EQ(twice.text, once.text)
            << "seed " << seed << ": not idempotent on " << ::testing::PrintToString(text);
        // Ends with one line ending, keeps its byte-order mark, has no trailing blanks.
        if (!once.text.empty() && once.text != "\xEF\xBB\xBF") {
            EXPECT_TRUE(once.text.ends_with('\n')) << "seed " << seed;
            EXPECT_FALSE(once.text.ends_with("\n\n") || once.text.ends_with("\n\r\n"))
                << "seed " << seed;
        }
        EXPECT_EQ(once.text.starts_with("\xEF\xBB\xBF"), text.starts_with("\xEF\xBB\xBF"));
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(formatted_docs, 400u);
}

}  // namespace
}  // namespace qern::testing
