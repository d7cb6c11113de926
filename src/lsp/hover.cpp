#include <sys/stat.h>

#include "lsp/declarations.hpp"
#include "lsp/describe.hpp"
#include "lsp/features.hpp"
#include "qern/rules.hpp"
#include "qern/text.hpp"
#include "types/resolve.hpp"

namespace qern::lsp {

namespace {

// Values can be long lines; a hover shows their start.
constexpr std::size_t kMaxShownValue = 400;

std::string shown_value(std::string_view value) {
    if (value.size() <= kMaxShownValue) return code_span(value);
    std::size_t cut = kMaxShownValue;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
    return concat(code_span(value.substr(0, cut)), " … (", std::to_string(value.size()), " bytes)");
}

std::string_view directive_text(std::string_view name) {
    switch (directive_kind(name)) {
        case DirectiveKind::Import:
            return "`@import <path>`: reads another file and merges its lines here, as if they "
                   "stood in place of this one. A relative path resolves against the working "
                   "directory.";
        case DirectiveKind::Type:
            return "`@type <name> = <definition>`: declares a type alias. A definition with `::` "
                   "may be any built-in type (`time::`, `math::`, `physics::`, `list<…>`); one "
                   "without must be a primitive type.";
        case DirectiveKind::Schema:
            return "`@schema <Name> { field: type, optional*: type, … }`: declares a schema. A "
                   "key named like one of its fields is checked against the field's type when it "
                   "is assigned.";
        case DirectiveKind::Derive:
            return "`@derive <path>[::Schema::…]`: takes over a base file's schemas (all, or the "
                   "ones listed) with the aliases their fields name, and its keys where this "
                   "document has none; then checks the required fields of the schemas declared "
                   "before it.";
        case DirectiveKind::Unknown:
            break;
    }
    return {};
}

std::string where_text(const Declared& d) {
    const std::string file =
        d.in_document || !d.file ? std::string() : concat(code_span(*d.file), " ");
    return concat(file, "line ", std::to_string(d.text->tree().position(d.name.begin).line));
}

// `cursor_line`: the line of the document the hover is on (0 for none).
std::string key_text(const Snapshot& s, Files& files, std::string_view key,
                     std::size_t cursor_line) {
    const QernDocument& doc = s.checked->analysis.document;
    std::string out = concat("key ", code_span(key));
    if (const std::string_view* value = doc.data().find(key)) {
        out += concat(" = ", shown_value(*value));
        if (const auto d = find_declaration(files, Declares::Key, key, *value)) {
            const bool here =
                d->in_document && d->text->tree().position(d->name.begin).line == cursor_line;
            if (d->derived)
                out += concat("\n\nfrom ", where_text(*d), ", brought in by `@derive`");
            else if (!here)
                out += concat("\n\nthe value in effect is assigned at ", where_text(*d));
        }
    } else {
        out += "\n\nnot in the merged document: no assignment of it was stored";
    }
    if (const auto owner = doc.schemas().owner_of(key)) {
        const SchemaDef* schema = doc.schemas().find(owner->schema);
        const bool optional = schema != nullptr && schema->optional.count(key) != 0;
        out +=
            concat("\n\nchecked by schema ", code_span(owner->schema), ", field ", code_span(key),
                   ": ", code_span(owner->type), optional ? " (optional)" : " (required)", "\n\n",
                   describe_type(doc, owner->type, TypeContext::Field));
    }
    return out;
}

std::string field_text(const Snapshot& s, std::string_view field, std::string_view schema_name) {
    const QernDocument& doc = s.checked->analysis.document;
    const SchemaDef* schema = doc.schemas().find(schema_name);
    const std::string* type = nullptr;
    if (schema != nullptr) {
        const auto found = schema->fields.find(field);
        if (found != schema->fields.end()) type = &found->second;
    }
    if (type == nullptr)
        return concat("field ", code_span(field), " of schema ", code_span(schema_name),
                      ", which the merged document does not hold (see its error)");
    const bool optional = schema->optional.count(field) != 0;
    std::string out = concat("field ", code_span(field), " of schema ", code_span(schema_name),
                             ": ", code_span(*type), optional ? " (optional)" : " (required)",
                             "\n\n", describe_type(doc, *type, TypeContext::Field));
    if (const std::string_view* value = doc.data().find(field))
        out += concat("\n\nkey ", code_span(field), " = ", shown_value(*value));
    return out;
}

std::string path_text(const Snapshot& s, std::string_view path) {
    const std::string abs = absolute_path(path, s.workdir);
    struct stat st;
    const bool exists = ::stat(abs.c_str(), &st) == 0;
    const char* state = !exists               ? "does not exist"
                        : S_ISREG(st.st_mode) ? "exists"
                                              : "exists but is not a regular file";
    return concat(code_span(abs), "\n\nthe file ", state,
                  " (resolved against the working directory ", code_span(s.workdir), ")");
}

// The name a type piece stands for, and how it is read there; `span` narrows to it.
std::string type_text(const Snapshot& s, const Cursor& c, TypeContext context, Span& span) {
    const QernDocument& doc = s.checked->analysis.document;
    const std::string_view token = c.token();
    TypePiece piece = type_piece(token, c.offset);
    // A definition without "::" is one primitive name: its parts mean nothing alone.
    if (context == TypeContext::AliasDefinition) {
        if (alias_kind(token) == AliasKind::PrimitiveName)
            piece = {0, token.size()};
        else if (piece.begin != 0 || piece.end != token.size())
            context = TypeContext::Field;  // list elements resolve as field types do
    }
    // A part that runs over lines is read joined: its span is kept whole.
    if (c.span().size() == token.size())
        span = {c.span().begin + piece.begin, c.span().begin + piece.end};
    return describe_type(doc, token.substr(piece.begin, piece.end - piece.begin), context);
}

std::string hover_text(const Snapshot& s, const Cursor& c, Span& span) {
    const QernDocument& doc = s.checked->analysis.document;
    span = c.span();
    const std::string_view token = c.token();
    if (token.empty()) return {};
    Files files(s);
    switch (c.role()) {
        case Role::None:
            return {};
        case Role::Directive:
            return std::string(directive_text(token.substr(1)));
        case Role::ImportPath:
        case Role::DerivePath:
            return path_text(s, token);
        case Role::DeriveSchema: {
            std::string text = describe_schema(doc, token);
            if (text.empty())
                text = concat("schema ", code_span(token), ": not in the merged document");
            return text;
        }
        case Role::TypeName:
        case Role::SchemaName:
            return describe_type(doc, token, TypeContext::Field);
        case Role::TypeDefinition:
            return type_text(s, c, TypeContext::AliasDefinition, span);
        case Role::FieldType:
            return type_text(s, c, TypeContext::Field, span);
        case Role::FieldName:
            return field_text(s, token, c.piece.schema);
        case Role::Key:
            return key_text(s, files, token, s.document().tree().position(c.span().begin).line);
        case Role::Value: {
            const std::string_view value = unquote_value(token);
            if (!doc.data().contains(value)) return {};
            return concat("the value names a key\n\n", key_text(s, files, value, 0));
        }
    }
    return {};
}

}  // namespace

json hover(const Snapshot& s, Position position) {
    if (s.checked == nullptr) return nullptr;
    const Cursor c = cursor_at(s, position);
    Span span;
    std::string text = hover_text(s, c, span);
    if (text.empty()) return nullptr;
    return json{
        {"contents",
         {{"kind", s.client->markdown ? "markdown" : "plaintext"}, {"value", std::move(text)}}},
        {"range", range_json(s.document().range(span, s.client->encoding))}};
}

}  // namespace qern::lsp
