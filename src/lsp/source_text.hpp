#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qern::lsp {

// What a protocol position's `character` counts. The protocol's default is UTF-16 code
// units; a client may offer UTF-8 bytes or UTF-32 (characters).
enum class Encoding : std::uint8_t { Utf16, Utf8, Utf32 };

struct Position {
    std::size_t line = 0;       // 0-based
    std::size_t character = 0;  // 0-based, in the encoding's units
};
struct Range {
    Position start;
    Position end;
};

// A document's text with the index needed to move between byte offsets and the protocol's
// positions (0-based lines split at "\n", "\r\n" or a lone "\r", characters in code
// units). Where statements, lines and columns of the language are, the syntax tree says
// (see ParsedText).
class SourceText {
  public:
    explicit SourceText(std::string text);
    // The text of a file read from disk: an editor shows it without its byte-order mark,
    // as the library reads it, so the mark is dropped here too.
    static SourceText from_file(std::string text);

    const std::string& text() const { return text_; }

    // A protocol position and back; a position past a line's end means the line's end.
    Position position_of(std::size_t offset, Encoding encoding) const;
    // The same, faster when `line` (the protocol line of the last place asked for, 0 at
    // first) is the place's line or a little before it; `line` becomes the place's line.
    Position position_of(std::size_t offset, Encoding encoding, std::size_t& line) const;
    std::size_t offset_of(Position position, Encoding encoding) const;
    // The byte offset of a position that lies in the text exactly: on one of its lines, at
    // most at the line's end, and not inside a character; none otherwise.
    std::optional<std::size_t> exact_offset(Position position, Encoding encoding) const;

    // Replaces the bytes [begin, end) with `replacement`, updating the index from the
    // lines the edit touches: the rest of the text is not read again.
    void replace(std::size_t begin, std::size_t end, std::string_view replacement);

  private:
    // Where the protocol's line `index` ends, before its line break.
    std::size_t protocol_line_end(std::size_t index) const;

    std::string text_;
    // Starts of the protocol's lines: 0, and after every line break, also one that ends
    // the text.
    std::vector<std::size_t> starts_;
};

// Code units of `encoding` in the UTF-8 bytes `s`.
std::size_t units_in(std::string_view s, Encoding encoding);
// Bytes of `s` that `units` code units cover (never splitting a character).
std::size_t bytes_for_units(std::string_view s, std::size_t units, Encoding encoding);

// The absolute path of a `file:` URI (percent-decoded), or none for any other scheme.
std::optional<std::string> path_of_uri(std::string_view uri);
// A `file:` URI for an absolute path.
std::string uri_of_path(std::string_view path);
// `path` made absolute against `base` and normalised ("a/../b" is "b").
std::string absolute_path(std::string_view path, std::string_view base);

}  // namespace qern::lsp
