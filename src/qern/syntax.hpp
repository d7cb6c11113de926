#pragma once

// The syntax tree: a lossless reading of a text, statement by statement, for the tools
// (the checker, the formatter, the language server). It is built only when a tool asks
// for it; the merge reads the text with the same rules (rules.hpp) and never builds one.
//
// The tree stores little: where each line starts and what kind of statement each line
// begins. Everything else (the parts of a statement and where they are, a line's comment,
// line and column numbers, a failing statement's error) is read again from the text on
// demand, by the rules the merge uses, so that the tree of a large text stays a fraction
// of its size and can never say anything the merge would not.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/error.hpp"
#include "qern/location.hpp"

namespace qern {

class JoinedBlock;

enum class StatementKind : std::uint8_t {
    Blank,             // nothing but whitespace
    Comment,           // a comment and nothing else
    Assignment,        // "key = value"
    Import,            // "@import path"
    Type,              // "@type name = definition"
    Schema,            // "@schema Name { fields }"
    Derive,            // "@derive path::Schema"
    UnknownDirective,  // "@name" that no directive has (it fails)
    Invalid,           // no directive and no assignment: "@" alone, no '=', an empty key
};

// Bytes [begin, end) of the text the tree was built from.
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
    bool contains(std::size_t offset) const { return offset >= begin && offset <= end; }
    bool operator==(const Span&) const = default;
};

// A part of a statement: where it is written, and its text as the merge reads it. The text
// is the span's bytes, except for a part of a multi-line block that runs over several
// lines: the merge reads such a part with the lines' contents joined by one blank. A part
// the statement does not have has no text (text.data() is null).
struct Part {
    Span span;
    std::string_view text;
    bool exists() const { return text.data() != nullptr; }
};

// One field of a @schema: "name: type" or "name*: type" (optional).
struct FieldPart {
    Part name;   // without the '*'s
    Part marks;  // the '*'s of an optional field
    Part type;   // empty, at the place a type would go, when `expects_type`
    bool optional = false;
    bool expects_type = false;  // "name:" is the body's last word: no type follows yet
};

// One statement and its parts. Parts that its kind does not have do not exist.
struct Statement {
    StatementKind kind = StatementKind::Blank;
    std::size_t line = 0;         // 1-based, the first line
    std::size_t end_line = 0;     // the last line (a multi-line block's closing line)
    bool fails = false;           // the text alone makes it fail: see SyntaxTree::error
    Part content;                 // the statement as the merge reads it (comments and blanks
                                  // removed; a block's lines joined)
    Part directive;               // "@name" as written
    Part args;                    // what the directive's handler is given
    Part key;                     // an assignment's key
    Part equals;                  // the '=' of an assignment or a @type
    Part literal;                 // an assignment's value as written (trimmed)
    Part value;                   // ... and as stored (one pair of enclosing quotes removed)
    Part name;                    // the name a @type or a @schema declares
    Part definition;              // what a @type stands for
    Part path;                    // the file of an @import or a @derive, as it is opened
    std::vector<Part> selectors;  // the schemas a @derive selects, in written order
    Part open;                    // a @schema's '{'
    Part close;                   // ... and its last '}'
    std::vector<FieldPart> fields;

  private:
    friend class SyntaxTree;
    std::shared_ptr<const JoinedBlock> joined_;  // the joined text of a block
};

// What the piece of a statement at a place is, for hover, definition and completion.
enum class Role : std::uint8_t {
    None,
    Directive,       // "@import", "@type", ...
    ImportPath,      // the file of an @import
    DerivePath,      // the file of a @derive
    DeriveSchema,    // a schema a @derive selects
    TypeName,        // the name a @type declares
    TypeDefinition,  // what a @type stands for
    SchemaName,      // the name a @schema declares
    FieldName,       // a field of a @schema
    FieldType,       // a field's type
    Key,             // an assignment's key
    Value,           // an assignment's value (as written)
};

// The piece at a place: its role and the part, or, on a blank where a part of that role
// may be written, an empty part at the place.
struct Piece {
    Role role = Role::None;
    Part part;
    std::string_view schema;  // FieldName, FieldType: the schema being declared
    std::string_view path;    // DeriveSchema: the @derive's file
};

class SyntaxTree {
  public:
    // Reads `text`, which must outlive the tree (the tree keeps views into it).
    explicit SyntaxTree(std::string_view text);

    std::string_view text() const { return text_; }
    // The byte-order mark the text starts with (3 bytes), which is no part of line 1.
    std::size_t bom() const { return bom_; }

    // Lines as the merge counts them: 1-based, split at "\n" (a "\r" before it belongs
    // to the ending; a lone "\r" is no break; a final "\n" starts no line).
    std::size_t line_count() const { return kinds_.size(); }
    Span line(std::size_t n) const;  // without its ending
    std::string_view line_text(std::size_t n) const;
    std::string_view line_ending(std::size_t n) const;  // "\n", "\r\n" or "" (the last line)
    // The line as the merge reads it: its comment and surrounding blanks removed.
    Span content(std::size_t n) const;
    // The line's comment, from its '#' to the line's end; none when it has none.
    std::optional<Span> comment(std::size_t n) const;

    // A statement in the order of the text, without its parts.
    struct Entry {
        StatementKind kind = StatementKind::Blank;
        std::size_t line = 0;
        std::size_t end_line = 0;
        bool fails = false;
        bool block = false;  // a directive that opened a block (its lines are joined)
    };
    // The statement that holds line `n`.
    Entry entry(std::size_t n) const;
    // The statements one by one, in order: `next` gives the next one, false at the end.
    class Statements {
      public:
        explicit Statements(const SyntaxTree& tree) : tree_(&tree) {}
        bool next(Entry& out) {
            const auto& kinds = tree_->kinds_;
            while (line_ <= kinds.size()) {
                const std::size_t n = line_++;
                const std::uint8_t bits = kinds[n - 1];
                if ((bits & kKindMask) == kContinuation) continue;
                const bool joined = (bits & kBlockBit) != 0;
                const std::size_t end = joined ? tree_->blocks_[block_++].end_line : n;
                out = Entry{static_cast<StatementKind>(bits & kKindMask), n, end,
                            (bits & kFailBit) != 0, joined};
                return true;
            }
            return false;
        }

      private:
        const SyntaxTree* tree_;
        std::size_t line_ = 1;
        std::size_t block_ = 0;
    };
    // Calls f(entry) for each statement, in order.
    template <class F>
    void for_each(F&& f) const {
        Statements statements(*this);
        Entry e;
        while (statements.next(e)) f(e);
    }
    // Its parts.
    Statement statement(const Entry& entry) const;
    // The error the merge gives a statement that `fails`, with its text and its place (in a
    // location without a file), exactly as the merge gives it.
    std::optional<QernError> error(const Entry& entry) const;

    // The 1-based line and column (scalar values, as locations count them) of a byte.
    struct Position {
        std::size_t line = 0;
        std::size_t column = 0;
    };
    Position position(std::size_t offset) const;
    // The byte at a 1-based line and column, clamped to the line's end.
    std::size_t offset(std::size_t line, std::size_t column) const;

    // The piece at a byte of the text (what a cursor stands on).
    Piece piece_at(std::size_t offset) const;

    // Bytes the tree holds beyond its own object (the text is not counted: it is borrowed).
    std::size_t memory_bytes() const;

  private:
    static constexpr std::uint8_t kKindMask = 0x0F;
    static constexpr std::uint8_t kContinuation = 0x0F;
    static constexpr std::uint8_t kFailBit = 0x10;
    static constexpr std::uint8_t kBlockBit = 0x20;
    struct Block {
        std::size_t line;
        std::size_t end_line;
    };

    std::size_t line_start(std::size_t n) const;
    std::size_t line_index(std::size_t offset) const;

    std::string_view text_;
    std::size_t bom_ = 0;
    std::vector<std::uint32_t> starts_;  // each line's start, modulo 2^32
    std::vector<std::size_t> wraps_;     // the lines whose start passes another 2^32 bytes
    std::vector<std::uint8_t> kinds_;    // per line: its statement's kind and bits
    std::vector<Block> blocks_;          // the multi-line statements, in order
};

}  // namespace qern
