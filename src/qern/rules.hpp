#pragma once

// The rules by which the language's text is read, each implemented once and used by both
// the merge (parsing.cpp and the directive handlers) and the syntax tree (syntax.cpp). Each
// rule reports what it finds as views into the text it was given, so that a caller knows
// where every part stands as well as what it says. The rules the merge runs on every line
// are inline, so that sharing them costs the merge nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/error.hpp"
#include "qern/text.hpp"

namespace qern {

inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The length of the byte-order mark that starts `text` (which is no part of its first
// line), or 0.
inline std::size_t byte_order_mark(std::string_view text) {
    return text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
}

// The line that starts at byte `pos` of `text` (pos < text.size()): the bytes up to the
// next "\n", without a "\r" just before it; `pos` moves past the line's ending. A lone
// "\r" is no line break, and a final "\n" ends the last line rather than starting one.
inline std::string_view next_line(std::string_view text, std::size_t& pos) {
    const char* nl =
        static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
    const std::size_t end = nl ? static_cast<std::size_t>(nl - text.data()) : text.size();
    std::string_view raw = text.substr(pos, end - pos);
    pos = nl ? end + 1 : text.size();
    if (nl && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    return raw;
}

// The line without its comment: a '#' outside quotes that stands alone (at the start or
// after a blank, and at the end or before a blank) starts one. "color = #FF0000" keeps
// its '#'.
std::string_view strip_comment(std::string_view line);

// A line as statements are read from it: without its comment, trimmed.
inline std::string_view clean_line(std::string_view raw) {
    return trim(strip_comment(raw));
}

// The braces of a multi-line block, counted line by line.
struct BraceCount {
    std::size_t open = 0;
    std::size_t close = 0;
    void add(std::string_view s) {
        for (char c : s) {
            open += c == '{';
            close += c == '}';
        }
    }
    bool balanced() const { return close >= open; }
};

// Whether the cleaned line `line` opens a multi-line block: a directive with more '{' than
// '}'. `count` starts the block's count.
inline bool opens_block(std::string_view line, BraceCount& count) {
    if (line.empty() || line.front() != '@') return false;
    count = BraceCount{};
    count.add(line);
    return !count.balanced();
}

// A multi-line block as the merge reads it: the cleaned lines joined with one blank,
// then without the comment that the joined text may begin (a quote that a line leaves
// open reaches into the next), trimmed. With `map`, it also keeps where each joined line
// came from, so that a view into the joined text can be placed in the original lines.
class JoinedBlock {
  public:
    struct Segment {
        std::size_t at;        // where the line's cleaned text starts in the joined text
        std::string_view raw;  // the line as written, without its ending
        std::string_view cleaned;
        std::size_t line;
    };

    void start(std::string_view raw, std::string_view cleaned, std::size_t line, bool map) {
        map_ = map;
        text_.assign(cleaned);
        segments_.clear();
        if (map_) segments_.push_back({0, raw, cleaned, line});
        braces_ = BraceCount{};
        braces_.add(cleaned);
    }
    // Adds the next line; true when the block is complete.
    bool append(std::string_view raw, std::string_view cleaned, std::size_t line) {
        text_.push_back(' ');
        if (map_) segments_.push_back({text_.size(), raw, cleaned, line});
        text_.append(cleaned);
        braces_.add(cleaned);
        return braces_.balanced();
    }
    // The statement the block makes.
    std::string_view statement() const { return trim(strip_comment(text_)); }
    std::string_view text() const { return text_; }
    const std::vector<Segment>& segments() const { return segments_; }

    // Where byte `offset` of the joined text lies: the segment holding it (a blank that
    // joins two lines belongs to the line before it). Needs `map`.
    const Segment& segment_at(std::size_t offset) const;

  private:
    std::string text_;
    std::vector<Segment> segments_;
    BraceCount braces_;
    bool map_ = false;
};

// Bytes that matter to the assignment split: 1 opens a bracket, 2 closes one, 3 is '='.
inline constexpr std::array<std::uint8_t, 256> kSplitClass = [] {
    std::array<std::uint8_t, 256> t{};
    t['['] = t['{'] = 1;
    t[']'] = t['}'] = 2;
    t['='] = 3;
    return t;
}();

// The position of the first '=' outside brackets and braces, or npos.
inline std::size_t assignment_split(std::string_view line) {
    long depth = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const std::uint8_t cls = kSplitClass[p[i]];
        if (cls == 0) continue;
        if (cls == 1) {
            ++depth;
        } else if (cls == 2) {
            --depth;
        } else if (depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// "key = value": the key, the value as written (trimmed) and as stored (one pair of
// enclosing quotes removed, unless it is a list or object literal).
struct AssignmentSyntax {
    std::string_view key;
    std::string_view equals;
    std::string_view literal;
    std::string_view value;
};
enum class AssignmentFault : std::uint8_t { None, NoEquals, EmptyKey };

inline AssignmentFault split_assignment(std::string_view line, AssignmentSyntax& out) {
    const std::size_t eq = assignment_split(line);
    if (eq == std::string_view::npos) return AssignmentFault::NoEquals;
    out.key = trim(line.substr(0, eq));
    if (out.key.empty()) return AssignmentFault::EmptyKey;
    out.equals = line.substr(eq, 1);
    out.literal = trim(line.substr(eq + 1));
    out.value = unquote_value(out.literal);
    return AssignmentFault::None;
}

// The error of a cleaned line `line`, the `line_no`th, that is no assignment.
QernError assignment_error(std::size_t line_no, std::string_view line, AssignmentFault fault);

// "@name args": the name as written after the '@' (up to the first whitespace), trimmed,
// and the argument: everything after that one whitespace character, untrimmed.
struct DirectiveSyntax {
    std::string_view word;  // "@" and the name as written
    std::string_view name;
    std::string_view args;
};

inline DirectiveSyntax split_directive(std::string_view statement) {
    const std::string_view rest = statement.substr(1);
    const WhitespaceHit ws = find_whitespace(rest);
    const bool split = ws.pos != std::string_view::npos;
    DirectiveSyntax d;
    d.word = statement.substr(0, 1 + (split ? ws.pos : rest.size()));
    d.name = trim(d.word.substr(1));
    d.args = split ? rest.substr(ws.pos + ws.len) : rest.substr(rest.size());
    return d;
}

// The directives every document has, by name.
enum class DirectiveKind : std::uint8_t { Import, Type, Schema, Derive, Unknown };
inline constexpr std::string_view kImportName = "import";
inline constexpr std::string_view kTypeName = "type";
inline constexpr std::string_view kSchemaName = "schema";
inline constexpr std::string_view kDeriveName = "derive";
inline DirectiveKind directive_kind(std::string_view name) {
    if (name == kImportName) return DirectiveKind::Import;
    if (name == kTypeName) return DirectiveKind::Type;
    if (name == kSchemaName) return DirectiveKind::Schema;
    if (name == kDeriveName) return DirectiveKind::Derive;
    return DirectiveKind::Unknown;
}

// "@" alone or "@ name": no name. `statement` is the cleaned statement.
QernError empty_directive_error(std::size_t line_no, std::string_view statement);
// A name no directive has.
QernError unknown_directive_error(std::size_t line_no, std::string_view statement,
                                  std::string_view name);

// "@import path": the path, trimmed and without one pair of enclosing quotes (the inside
// is kept as it is, blanks included); none when the argument is blank.
inline std::optional<std::string_view> import_path(std::string_view args) {
    const std::string_view t = trim(args);
    if (t.empty()) return std::nullopt;
    return strip_quotes(t);
}
QernError import_path_error(std::string_view args);

// "@type name = definition": split at the first '='.
struct TypeSyntax {
    std::string_view name;
    std::string_view equals;
    std::string_view definition;
};
enum class TypeFault : std::uint8_t { None, NoEquals, EmptyName, EmptyDefinition };
inline TypeFault split_type(std::string_view args, TypeSyntax& out) {
    const std::size_t eq = args.find('=');
    if (eq == std::string_view::npos) return TypeFault::NoEquals;
    out.name = trim(args.substr(0, eq));
    out.equals = args.substr(eq, 1);
    out.definition = trim(args.substr(eq + 1));
    if (out.name.empty()) return TypeFault::EmptyName;
    if (out.definition.empty()) return TypeFault::EmptyDefinition;
    return TypeFault::None;
}
QernError type_error(std::string_view args, TypeFault fault);

// "@schema Name { field: type, optional*: type, ... }": the name, the braces and the
// fields, read from the body's tokens (split at commas and whitespace). A field is a token
// "name:type", or "name:" and the next token as its type.
struct SchemaFieldSyntax {
    std::string_view token;  // the token holding the name (and its ':')
    std::string_view label;  // the text before the ':', '*'s included
    std::string_view name;   // without the '*'s of an optional field
    std::string_view marks;  // those '*'s
    std::string_view type;
    bool optional = false;
    bool expects_type = false;  // "name:" is the last token: no type follows yet
    enum class Fault : std::uint8_t { None, NoColon, NoType, EmptyName } fault = Fault::None;
};
struct SchemaSyntax {
    std::string_view name;
    std::string_view open;   // the first '{'
    std::string_view close;  // the last '}' after it
    std::vector<SchemaFieldSyntax> fields;
    enum class Fault : std::uint8_t { None, NoOpen, EmptyName, NoClose, Field } fault = Fault::None;
    std::size_t faulty_field = 0;  // the first field with a fault
};
// Every field is read, also past a faulty one; the directive fails at the first fault.
SchemaSyntax read_schema(std::string_view args);
QernError schema_error(const SchemaSyntax& schema);

// "@derive path[::Schema...]", "@derive \"path\"::A", "@derive 'path' A": the file and the
// selected schemas in written order.
struct DeriveSyntax {
    std::string_view path;
    std::string_view selector;  // the text the names are read from (empty without one)
    std::vector<std::string_view> schemas;
};
// The regions of a @derive's selector between its "::"s, untrimmed and empty ones
// included: f(region) for each. A selector that is there but empty is one empty region.
template <class F>
void for_each_selector_region(std::string_view selector, F&& f) {
    if (selector.data() == nullptr) return;
    for (;;) {
        const std::size_t sep = selector.find("::");
        f(selector.substr(0, sep));
        if (sep == std::string_view::npos) break;
        selector = selector.substr(sep + 2);
    }
}
DeriveSyntax split_target(std::string_view args);

// The part of a failing statement (cleaned, blocks joined) that its error is about: the
// directive's name when it is unknown, the error's subject within the directive's
// argument, else the trimmed argument; the value as written of an assignment that failed
// its check. Empty means the whole statement.
std::string_view offending_part(const QernError& error, std::string_view statement);

// Where a failing statement's error points: its offending part. In a block, whose joined
// text starts with the block's first line (`first`, cleaned), the part is placed on that
// line, running on to the statement's end (`to_end`) when it goes past it; a part beyond
// the first line stands for the whole statement.
struct ErrorPlace {
    std::string_view part;
    bool to_end = false;
};
ErrorPlace error_place(const QernError& error, std::string_view statement,
                       std::string_view first = {});

}  // namespace qern
