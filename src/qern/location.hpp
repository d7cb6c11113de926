#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qern {

enum class IncludeKind : std::uint8_t { Import, Derive };

// One step of the way into a file: the file holding the @import or @derive (none for text
// that came from a string) and that directive's line.
struct IncludeStep {
    std::optional<std::string> file;
    std::size_t line = 0;
    IncludeKind kind = IncludeKind::Import;
    bool operator==(const IncludeStep&) const = default;
};

// Where an error happened. Lines are 1-based; columns are 1-based and count Unicode scalar
// values; the end is one past the span's last character. A line of 0 means the place in
// the file is unknown (a file that could not be read at all).
struct Location {
    std::optional<std::string> file;  // the path as it was given; none for a string
    std::size_t line = 0;
    std::size_t column = 0;
    std::size_t end_line = 0;
    std::size_t end_column = 0;
    std::vector<IncludeStep> chain;  // outermost first
    bool operator==(const Location&) const = default;
};

// The 1-based column at which byte `offset` of `line` begins: scalar values are counted
// by their first bytes, so a malformed sequence still advances by what it holds.
std::size_t column_at(std::string_view line, std::size_t offset);

}  // namespace qern
