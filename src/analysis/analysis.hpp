#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/document.hpp"
#include "qern/location.hpp"

namespace qern::analysis {

enum class Severity : std::uint8_t { Error, Warning };

// Another place a diagnostic refers to, such as the earlier declaration a later one
// replaces.
struct Related {
    Location where;
    std::string message;
};

// A way to mend what a diagnostic found: write `replacement` in place of the text at
// `where` (which may lie in another file than the diagnostic, such as the declaration of a
// misspelt type).
struct Hint {
    std::string message;  // "did you mean 'i32'?"
    std::string replacement;
    Location where;
};

// One finding of a check: an error of the library, with its exact text, or a warning of
// the strict checks.
struct Diagnostic {
    Severity severity = Severity::Error;
    std::string code;     // "parse", "io", ..., "duplicate-key", ...
    std::string message;  // an error's display text, or the warning's text
    Location where;
    std::vector<Related> related;
    std::string path;  // for an io error: the file that could not be read, when it is known
    std::vector<Hint> hints;
};

struct Options {
    bool strict = false;  // add the warnings
};

struct Analysis {
    // In the order of their place in the checked file: an error inside an included file
    // sorts by the line that included it.
    std::vector<Diagnostic> diagnostics;
    QernDocument document;  // what the merge kept
    std::size_t errors() const;
    std::size_t warnings() const;
};

// Checks the file at `path` as the library would merge it, reporting every failing line
// rather than stopping at the first. Relative paths, also in @import and @derive,
// resolve against `directory`, else (when it is empty) the working directory.
Analysis analyze_file(std::string_view path, const Options& options,
                      const std::string& directory = {});
// The same for `text` standing for the file `path` (an editor's unsaved buffer); `path`
// may be absent for text of no file.
Analysis analyze_text(std::string_view text, std::optional<std::string> path,
                      const Options& options);

// The position a diagnostic sorts by in the checked file: where its chain starts, or its
// own place when it has no chain.
std::pair<std::size_t, std::size_t> position_in_checked_file(const Diagnostic& d);

}  // namespace qern::analysis
