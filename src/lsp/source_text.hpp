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

// A document's text with the index needed to move between the library's places (1-based
// lines split at "\n", 1-based columns in characters) and the protocol's (0-based lines
// split at "\n", "\r\n" or a lone "\r", characters in code units).
class SourceText {
  public:
    explicit SourceText(std::string text);
    // The text of a file read from disk: an editor shows it without its byte-order mark,
    // as the library reads it, so the mark is dropped here too.
    static SourceText from_file(std::string text);

    const std::string& text() const { return text_; }
    // Lines as the library counts them: 1-based, without the line ending; empty past the
    // end. Line 1 excludes a leading byte-order mark, which the library drops.
    std::size_t line_count() const;
    std::string_view line(std::size_t line) const;
    // Byte offset in the text of `line`'s start (the end of the text past the last line).
    std::size_t line_start(std::size_t line) const;

    // Byte offset of the library's 1-based column on its 1-based line, clamped to the
    // line's end.
    std::size_t offset_of(std::size_t line, std::size_t column) const;
    // A protocol position and back; a position past a line's end means the line's end.
    Position position_of(std::size_t offset, Encoding encoding) const;
    std::size_t offset_of(Position position, Encoding encoding) const;
    // The byte offset of a position that lies in the text exactly: on one of its lines, at
    // most at the line's end, and not inside a character; none otherwise.
    std::optional<std::size_t> exact_offset(Position position, Encoding encoding) const;
    // The library's 1-based line holding a byte offset.
    std::size_t line_of(std::size_t offset) const;
    // The library's line and the byte within it at a protocol position.
    struct Place {
        std::size_t line;
        std::size_t byte;
    };
    Place place_of(Position position, Encoding encoding) const;

    // The protocol range of library places (1-based line and column, end one past the
    // span). A column of 0 stands for the line's start.
    Range range_of(std::size_t line, std::size_t column, std::size_t end_line,
                   std::size_t end_column, Encoding encoding) const;
    // The line's text from its first non-blank character to its end.
    Range line_range(std::size_t line, Encoding encoding) const;

    // Replaces the bytes [begin, end) with `replacement`, updating the index from the
    // lines the edit touches: the rest of the text is not read again.
    void replace(std::size_t begin, std::size_t end, std::string_view replacement);

  private:
    // Starts of the library's lines, from 0 (the mark is skipped by line_start).
    const std::vector<std::size_t>& library_starts() const {
        return lone_crs_ == 0 ? starts_ : library_starts_;
    }
    // Where the protocol's line `index` ends, before its line break.
    std::size_t protocol_line_end(std::size_t index) const;

    std::string text_;
    std::size_t bom_ = 0;
    // Starts of the protocol's lines: 0, and after every line break, also one that ends
    // the text.
    std::vector<std::size_t> starts_;
    std::size_t lone_crs_ = 0;
    // Only while there are lone "\r"s, which break the protocol's lines but not the
    // library's: the starts after "\n"s alone.
    std::vector<std::size_t> library_starts_;
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
