#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/analysis.hpp"

namespace qern::cli {

// The lines of the files that diagnostics point into, read again when a diagnostic is
// shown. One per thread; it keeps what it read for later diagnostics in the same files,
// up to a budget of bytes.
class SourceCache {
  public:
    // Line `line` (1-based) of `file` without its line ending, as the merge numbered it
    // (a leading byte-order mark is no part of it); none when the file cannot be read now
    // or is shorter.
    std::optional<std::string_view> line(const std::string& file, std::size_t line);

  private:
    struct Source {
        bool readable = false;
        std::string text;
        std::vector<std::size_t> starts;  // byte offset of each line
    };
    static constexpr std::size_t kBudget = std::size_t{64} << 20;
    std::unordered_map<std::string, Source> files_;
    std::size_t bytes_ = 0;
};

struct TextStyle {
    bool color = false;
    std::string cwd;  // the working directory relative paths were read against
};

// `text` with every character that could drive a terminal, start a line of its own or
// reorder the text around it written as a readable escape ("\n", "\r", "\x1b",
// "\u{202e}", and "\xff" for a byte of malformed UTF-8), so that a file name or a message
// can neither send escape sequences to the terminal it is shown on nor start a line that
// a CI system reads as a command. Tabs stay.
std::string escape_controls(std::string_view text);

// Display columns of source text, for the caret row under a line: tab stops, and how much
// of a long line is shown (this many columns, starting this many before the span).
constexpr std::size_t kTabWidth = 4;
constexpr std::size_t kMaxWidth = 160;
constexpr std::size_t kLead = 40;
// The display width of one Unicode scalar value: 2 for East Asian wide and fullwidth
// characters (CJK, most emoji), 0 for combining marks and zero-width characters, else 1.
unsigned scalar_width(char32_t c);

// A source line made safe and measurable for a terminal (tabs expanded, control and
// bidirectional-override characters escaped as escape_controls does, a long line cut to
// the part around the span, with "..." where it is cut), and the caret row under the columns
// [column, end_column) (1-based, in scalar values) of the original line. A span that
// continues on later lines is marked by `to_end` and runs to the end of this line.
struct Excerpt {
    std::string line;
    std::string carets;
};
Excerpt excerpt(std::string_view line, std::size_t column, std::size_t end_column, bool to_end);

// The compiler-style rendering: "file:line:col: error: MESSAGE [code]", the source line
// with its carets, then notes for the include chain, related places and unreadable paths,
// every part with its control characters escaped.
std::string render_text(const analysis::Diagnostic& d, SourceCache& sources,
                        const TextStyle& style);

// One GitHub Actions workflow command; `prefix` goes before relative file names (the
// directory given to -C, so that annotations name files from where qern was started).
// Control characters are escaped as in the text format, then the command's own escapes
// applied.
std::string render_github(const analysis::Diagnostic& d, std::string_view prefix,
                          const std::string& cwd);

// One element of the "diagnostics" array of the JSON format.
nlohmann::ordered_json to_json(const analysis::Diagnostic& d);

// Escaping for workflow commands: the message, and property values.
std::string github_escape_data(std::string_view s);
std::string github_escape_property(std::string_view s);

// The notes every format shares: the include chain, innermost first ("imported from
// app.qrn:2"), then where an unreadable relative path was looked up.
std::vector<std::string> chain_notes(const Location& where);
std::optional<std::string> path_note(const analysis::Diagnostic& d, const std::string& cwd);

// "file:line:col" (or less, as far as it is known).
std::string place(const Location& where);

}  // namespace qern::cli
