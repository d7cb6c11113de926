#include <set>
#include <string>

#include "commands/commands.hpp"
#include "core_helpers.hpp"
#include "qern/parsing.hpp"

namespace qern::testing {
namespace {

constexpr const char* kFormat = "Type definition must be in the format 'name = definition'";

TEST(Dispatch, EveryDocumentHasTheFourDirectives) {
    QernDocument doc = new_document();
    std::set<std::string> names;
    for (const auto& [name, command] : doc.commands()) {
        names.insert(name);
        EXPECT_EQ(command->name(), name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"import", "type", "schema", "derive"}));
}

// The name ends at the first character of the White_Space set; exactly that one character
// is consumed, so the @type handler sees the rest untouched in its error text.
TEST(Dispatch, NameEndsAtAnyUnicodeWhitespace) {
    for (const char* ws : {" ", "\t", "\v", "\f", "\r", "\u0085", "\u00a0", "\u1680", "\u2000",
                           "\u2005", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"}) {
        EXPECT_EQ(parse_error(std::string("@type") + ws + "x i32"),
                  std::string("Parse Error at line 0: 'x i32'. Reason: ") + kFormat)
            << "separator U+" << std::hex << static_cast<int>(static_cast<unsigned char>(ws[0]));
    }
    EXPECT_EQ(parse_error("@type\t\tx i32"),
              std::string("Parse Error at line 0: '\tx i32'. Reason: ") + kFormat);
    EXPECT_EQ(parse_error("@type \u3000x i32"),
              std::string("Parse Error at line 0: '\u3000x i32'. Reason: ") + kFormat);
}

TEST(Dispatch, EmptyAndUnknownDirectives) {
    const std::pair<const char*, const char*> cases[] = {
        {"@\u3000type x", "Parse Error at line 1: '\u3000type x'. Reason: Empty directive"},
        {"@\u00a0",
         "Parse Error at line 1: ''. Reason: Empty directive"},  // the line is trimmed first
        {"a = 1\n\n# c\n@nope", "Parse Error at line 4: 'nope'. Reason: Unknown directive: @nope"},
        {"@IMPORT a", "Parse Error at line 1: 'IMPORT a'. Reason: Unknown directive: @IMPORT"},
        {"@imports a", "Parse Error at line 1: 'imports a'. Reason: Unknown directive: @imports"},
        {"@import:x", "Parse Error at line 1: 'import:x'. Reason: Unknown directive: @import:x"},
        {"@@import x", "Parse Error at line 1: '@import x'. Reason: Unknown directive: @@import"},
        // Lookalikes that are not White_Space do not end the name.
        {"@type\u200bx = i32",
         "Parse Error at line 1: 'type\u200bx = i32'. Reason: Unknown directive: @type\u200bx"},
        {"@type\x1cx = i32",
         "Parse Error at line 1: 'type\x1cx = i32'. Reason: Unknown directive: @type\x1cx"},
        {"@type\u180ex = i32",
         "Parse Error at line 1: 'type\u180ex = i32'. Reason: Unknown directive: @type\u180ex"},
        {"@type\xefx = i32",
         "Parse Error at line 1: 'type\xefx = i32'. Reason: Unknown directive: @type\xefx"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

TEST(Dispatch, HandlerErrorsPassThroughUnchanged) {
    TempDir dir;
    dir.write("bad.qrn", "a = 1\n\nbroken");
    const std::pair<const char*, const char*> cases[] = {
        {"x = 1\n\n@type x",
         "Parse Error at line 0: 'x'. Reason: Type definition must be in the format 'name = "
         "definition'"},
        {"\n@import", "Parse Error at line 0: ''. Reason: Import path cannot be empty"},
        {"\n\n@schema P x: f64", "Directive '@schema' error: Expected '{'"},
        {"x = 1\n@import bad.qrn",
         "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='"},
        {"\n@import missing.qrn", "IO Error: No such file or directory (os error 2)"},
        {"\n@derive bad.qrn",
         "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='"},
        {"@type t = i32\n@derive\tbad.qrn",
         "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

TEST(Dispatch, DispatchUsesTheGivenLine) {
    QernDocument doc = new_document();
    EXPECT_EQ(error_of(dispatch(doc, "@nope x", 42)),
              "Parse Error at line 42: 'nope x'. Reason: Unknown directive: @nope");
    EXPECT_EQ(error_of(dispatch(doc, "@", 7)),
              "Parse Error at line 7: ''. Reason: Empty directive");
    EXPECT_EQ(error_of(dispatch(doc, "@type x", 42)),
              std::string("Parse Error at line 0: 'x'. Reason: ") + kFormat);
    EXPECT_TRUE(dispatch(doc, "@type port = i32", 3).ok());
    EXPECT_EQ(type_names(doc), (std::set<std::string>{"port"}));
    // An empty argument reaches the handler as it is.
    EXPECT_EQ(error_of(ImportCommand().execute(doc, " \u3000 ")),
              "Parse Error at line 0: ' \u3000 '. Reason: Import path cannot be empty");
}

}  // namespace
}  // namespace qern::testing
