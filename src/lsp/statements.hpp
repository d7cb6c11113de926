#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "lsp/source_text.hpp"

namespace qern::lsp {

// What a piece of a statement is, for hover, definition and completion.
enum class Role : std::uint8_t {
    None,
    Directive,       // "@import", "@type", ...
    ImportPath,      // the file of an @import
    DerivePath,      // the file of a @derive
    DeriveSchema,    // a schema selected by a @derive ("base.qrn::Point")
    TypeName,        // the name a @type declares
    TypeDefinition,  // what a @type stands for
    SchemaName,      // the name a @schema declares
    FieldName,       // a field of a @schema ("port" in "port: i32")
    FieldType,       // a field's type
    Key,             // the key of an assignment
    Value,           // the value of an assignment
};

// A place on one line: the library's 1-based line and byte offsets within it.
struct Span {
    std::size_t line = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The piece of a statement at a cursor.
struct Cursor {
    Role role = Role::None;
    std::string_view token;   // the piece (a path without its quotes); empty at a blank
    Span span;                // where the piece is
    std::size_t offset = 0;   // the cursor's byte offset within `token`
    std::string_view path;    // DeriveSchema: the @derive's file
    std::string_view schema;  // FieldName, FieldType: the schema being declared
};

// The piece of the statement around byte `byte` of the library's line `line`, reading
// multi-line blocks as the parser joins them.
Cursor inspect(const SourceText& text, std::size_t line, std::size_t byte);

// The file argument of an @import or @derive standing on `line`.
std::optional<Span> include_path(const SourceText& text, std::size_t line);

// A field of a @schema as written.
struct FieldPlace {
    std::string_view name;  // without the '*' of an optional field
    Span name_span;
    std::string_view type;
    Span type_span;
    bool expects_type = false;  // "name:" with no type after it yet
};
// The fields of the @schema statement on lines `first` to `last`.
std::vector<FieldPlace> schema_fields(const SourceText& text, std::size_t first, std::size_t last);

// Inside a type name such as "list<list<Point>>", the innermost name the byte `offset`
// falls in; with `for_completion`, the text from that name's start up to the offset.
struct TypePiece {
    std::size_t begin = 0;  // byte offsets within the type name
    std::size_t end = 0;
};
TypePiece type_piece(std::string_view type, std::size_t offset, bool for_completion);

}  // namespace qern::lsp
