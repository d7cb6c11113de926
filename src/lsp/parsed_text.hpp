#pragma once

#include <cstddef>
#include <memory>

#include "lsp/source_text.hpp"
#include "qern/location.hpp"
#include "qern/syntax.hpp"

namespace qern::lsp {

// A text with both of its readings: the protocol's (lines and code units: SourceText) and
// the language's (statements and their parts, lines and columns as locations count them:
// the core's syntax tree). All the server knows of a text's statements comes from the tree.
class ParsedText {
  public:
    explicit ParsedText(std::shared_ptr<const SourceText> text)
        : text_(std::move(text)), tree_(text_->text()) {}
    ParsedText(const ParsedText&) = delete;
    ParsedText& operator=(const ParsedText&) = delete;

    const std::shared_ptr<const SourceText>& source() const { return text_; }
    const SyntaxTree& tree() const { return tree_; }

    // The byte a protocol position stands for (never inside a leading byte-order mark).
    std::size_t offset(Position position, Encoding encoding) const;
    Position position(std::size_t offset, Encoding encoding) const {
        return text_->position_of(offset, encoding);
    }
    Range range(Span span, Encoding encoding) const {
        return {position(span.begin, encoding), position(span.end, encoding)};
    }
    // The same for spans asked for in order: `line` is kept from one to the next (see
    // SourceText::position_of).
    Range range(Span span, Encoding encoding, std::size_t& line) const {
        const Position begin = text_->position_of(span.begin, encoding, line);
        return {begin, text_->position_of(span.end, encoding, line)};
    }
    // The range of a library location (1-based lines and columns; a column of 0 stands for
    // the line's start, a line of 0 for the text's start).
    Range range(const Location& where, Encoding encoding) const;
    // A line's text from its first non-blank character to its end.
    Range line_range(std::size_t line, Encoding encoding) const;

  private:
    std::shared_ptr<const SourceText> text_;
    SyntaxTree tree_;
};

}  // namespace qern::lsp
