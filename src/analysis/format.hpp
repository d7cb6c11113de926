#pragma once

// The formatter: one layout for every QERN text, changing only what the parser discards.
// It reads the text with the syntax tree, writes the layout, reads its own output again
// and compares the two readings; it refuses a text that does not parse, and never hands
// back a text whose reading differs.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/error.hpp"
#include "qern/syntax.hpp"

namespace qern::analysis {

struct Formatted {
    enum class Status : std::uint8_t {
        Done,     // `text` is the formatted text (maybe the same as the input)
        Refused,  // the input does not parse: `errors` says where
        Unsafe,   // the output would read differently (a fault of the formatter): `difference`
    };
    Status status = Status::Done;
    std::string text;
    std::vector<QernError> errors;  // each failing statement's error, located
    std::string difference;
};

// Formats `text`:
// - one blank on each side of the '=' of an assignment and of a @type;
// - no indentation, except inside a multi-line block (four blanks);
// - no trailing whitespace (whatever the parser trims: the Unicode White_Space set);
// - no blank lines at the start, at most one in a row, none at the end;
// - two blanks before a comment that follows a statement; a comment's text stays as
//   written from its '#' on;
// - a multi-line @schema laid out with '{' on the directive's line, one field a line
//   indented by four blanks, and '}' alone, where its fields read the same that way;
// - one line ending throughout (that of the first line), also after the last line; a
//   byte-order mark stays.
// Where a change would make a line read differently (a '#' that would start a comment,
// whitespace a quote depends on), the line keeps its own spacing.
Formatted format_text(std::string_view text);

// The first difference between what two texts declare (the statements' kinds and parts,
// in order, and the comments' texts); none when they declare the same.
std::optional<std::string> first_difference(const SyntaxTree& a, const SyntaxTree& b);

}  // namespace qern::analysis
