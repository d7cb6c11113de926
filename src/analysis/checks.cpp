#include "analysis/checks.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "analysis/hints.hpp"
#include "qern/document.hpp"
#include "qern/location.hpp"
#include "qern/text.hpp"
#include "types/resolve.hpp"
#include "types/types.hpp"

namespace qern::analysis {

namespace {

// The place of `part`, a piece of `whole`: the text written at `at`, on one line (a type
// name holds no whitespace, so it never spans two).
Location within(const Location& at, std::string_view whole, std::string_view part) {
    Location out = at;
    const auto offset = static_cast<std::size_t>(part.data() - whole.data());
    out.column = at.column + column_at(whole, offset) - 1;
    out.end_line = at.line;
    out.end_column = at.column + column_at(whole, offset + part.size()) - 1;
    return out;
}

// The statement being run, as the merge read it.
std::string_view statement_text(const SourceLine& statement) {
    if (statement.block != nullptr) return statement.block->statement();
    return clean_line(statement.first);
}

bool alias_resolves(std::string_view definition) {
    const auto alias = make_alias(std::string(definition));
    return static_cast<const AliasType&>(*alias).resolves();
}

}  // namespace

bool Checks::failed_schema(std::string_view name) const {
    return std::any_of(schemas_.begin(), schemas_.end(),
                       [&](const SchemaRecord& s) { return s.failed && s.name == name; });
}

const Checks::TypeRecord* Checks::alias_record(std::string_view name) const {
    for (auto it = types_.rbegin(); it != types_.rend(); ++it)
        if (it->name == name) return &*it;
    return nullptr;
}

const Checks::FieldRecord* Checks::field_record(std::string_view schema,
                                                std::string_view field) const {
    for (auto it = schemas_.rbegin(); it != schemas_.rend(); ++it) {
        if (it->failed || it->name != schema) continue;
        for (auto f = it->fields.rbegin(); f != it->fields.rend(); ++f)
            if (f->name == field) return &*f;
    }
    return nullptr;
}

std::vector<std::string> Checks::declared_names() const {
    std::vector<std::string> names;
    for (const TypeRecord& t : types_) names.push_back(t.name);
    for (const SchemaRecord& s : schemas_)
        if (!s.failed) names.push_back(s.name);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

bool Checks::covered(const Location& at) const {
    return std::find(pointed_.begin(), pointed_.end(), at) != pointed_.end();
}

bool Checks::knock_on(const MergeContext&, const QernError& error) const {
    if (error.kind() != ErrorKind::UnknownType) return false;
    const auto* field = error.as<QernError::SchemaValidation>();
    return field != nullptr && failed_schema(field->type);
}

void Checks::point_at(Diagnostic& d, const Location& at, std::string message, std::string_view name,
                      const std::vector<std::string>& declared) {
    d.related.push_back({at, std::move(message)});
    pointed_.push_back(at);
    if (auto s = suggest_type(name, declared))
        d.hints.push_back({std::move(s->message), std::move(s->replacement), at});
}

void Checks::explain(const MergeContext& context, const QernError& error, Diagnostic& d) {
    switch (error.kind()) {
        case ErrorKind::UnknownDirective: {
            const auto* parse = error.as<QernError::Parse>();
            if (parse == nullptr || d.where.line == 0) return;
            const std::string statement = concat("@", parse->text);
            if (auto s = suggest_directive(split_directive(statement).name))
                d.hints.push_back({std::move(s->message), std::move(s->replacement), d.where});
            return;
        }
        case ErrorKind::Derive: {
            if (!error.subject() || d.where.line == 0) return;
            const std::string_view name =
                offending_part(error, statement_text(context.statement()));
            if (name.empty()) return;
            if (auto s = suggest_name(name, candidates(base_schemas_)))
                d.hints.push_back({std::move(s->message), std::move(s->replacement), d.where});
            return;
        }
        case ErrorKind::SchemaDirective:
            if (std::exchange(failed_pending_, false)) {
                const SchemaRecord& failed = schemas_.back();
                d.related.push_back(
                    {failed.name_at,
                     concat("schema '", failed.name,
                            "' is not registered: the keys it declares are not checked, and what "
                            "needs it is not reported again")});
            }
            return;
        default:
            break;
    }
    const auto* field = error.as<QernError::SchemaValidation>();
    if (field == nullptr) return;
    if (error.kind() == ErrorKind::UnknownType) {
        // The field's own type is unknown: it is written where the schema declares it.
        const FieldRecord* declared = field_record(field->schema, field->field);
        if (declared == nullptr || declared->type != field->type) return;
        point_at(d, declared->type_at,
                 concat("schema '", field->schema, "' declares field '", field->field, "' here"),
                 field->type, declared_names());
        return;
    }
    // A field typed by an alias that cannot resolve: the message names only what the alias
    // stands for, far from the @type that wrote it.
    const TypeRecord* alias = alias_record(field->type);
    if (alias == nullptr || alias_resolves(alias->definition)) return;
    point_at(d, alias->definition_at,
             concat("type '", alias->name, "' is declared here as '", alias->definition, "'"),
             alias->definition, declared_names());
}

void Checks::on_assignment(const MergeContext& context, const QernDocument& doc,
                           std::string_view key, const SourceLine& where, bool checked) {
    if (!strict_ || &doc != &out_.document) return;
    auto hidden = hidden_characters(key);
    if ((checked && !hidden) || !seen_keys_.emplace(key).second) return;
    KeyRecord record{std::string(key), context.locate(where, key)};
    if (hidden) {
        record.hidden = true;
        std::string message =
            hidden->count == 1 ? concat("Key '", key, "' holds ", hidden->first,
                                        ", an invisible character: it is not the key it looks like")
                               : concat("Key '", key, "' holds ", std::to_string(hidden->count),
                                        " invisible characters, the first ", hidden->first,
                                        ": it is not the key it looks like");
        warn("hidden-character", std::move(message), record.at,
             {{hidden->count == 1 ? "remove the invisible character"
                                  : "remove the invisible characters",
               std::move(hidden->cleaned), record.at}});
        return;
    }
    keys_.push_back(std::move(record));
}

void Checks::on_type(const MergeContext& context, std::string_view name,
                     std::string_view definition) {
    const SourceLine& statement = context.statement();
    types_.push_back({std::string(name), std::string(definition), context.locate(statement, name),
                      context.locate(statement, definition), order_++});
}

void Checks::on_schema(const MergeContext& context, const SchemaSyntax& syntax) {
    const SourceLine& statement = context.statement();
    SchemaRecord record{
        std::string(syntax.name), {}, context.locate(statement, syntax.name), order_++};
    for (const SchemaFieldSyntax& f : syntax.fields)
        record.fields.push_back(
            {std::string(f.name), std::string(f.type), context.locate(statement, f.type)});
    schemas_.push_back(std::move(record));
}

void Checks::on_failed_schema(const MergeContext& context, const SchemaSyntax& syntax) {
    if (syntax.name.empty()) return;
    SchemaRecord record{std::string(syntax.name),
                        {},
                        context.locate(context.statement(), syntax.name),
                        order_++,
                        true};
    for (const SchemaFieldSyntax& f : syntax.fields)
        if (!f.name.empty())
            record.fields.push_back({std::string(f.name), std::string(f.type), {}});
    schemas_.push_back(std::move(record));
    failed_pending_ = true;
}

void Checks::on_derive(const QernDocument& base) {
    base_schemas_ = base.schemas().names();
    std::sort(base_schemas_.begin(), base_schemas_.end());
}

void Checks::warn(std::string_view code, std::string message, const Location& at,
                  std::vector<Hint> hints) {
    Diagnostic d;
    d.severity = Severity::Warning;
    d.code = std::string(code);
    d.message = std::move(message);
    d.where = at;
    d.hints = std::move(hints);
    out_.diagnostics.push_back(std::move(d));
}

namespace {

// The part of a type name that names nothing the document knows: the name, or the item
// type of a list, however deeply nested. `failed` are names of schemas that failed to
// register (already reported).
template <class Failed>
std::optional<std::string_view> unknown_part(const QernDocument& doc, std::string_view type,
                                             const Failed& failed, int depth = 0) {
    if (doc.types().find(type) != doc.types().end() || doc.schemas().contains(type) || failed(type))
        return std::nullopt;
    const auto builtin = find_builtin(type);
    if (!builtin) return type;
    if (builtin->family == TypeFamily::List && depth < 8)
        return unknown_part(doc, builtin->element, failed, depth + 1);
    return std::nullopt;
}

std::vector<Hint> hint_for(std::string_view name, const Location& at,
                           const std::vector<std::string>& declared) {
    std::vector<Hint> hints;
    if (auto s = suggest_type(name, declared))
        hints.push_back({std::move(s->message), std::move(s->replacement), at});
    return hints;
}

}  // namespace

void Checks::check_alias(const TypeRecord& alias, const std::vector<std::string>& declared) {
    if (covered(alias.definition_at)) return;
    const QernDocument& doc = out_.document;
    const auto failed = [&](std::string_view name) { return failed_schema(name); };
    const std::string_view definition = alias.definition;
    if (alias_resolves(definition)) {
        // A list: its item type may still name nothing.
        const auto builtin = find_builtin(definition);
        if (!builtin || builtin->family != TypeFamily::List) return;
        const auto part = unknown_part(doc, builtin->element, failed);
        if (!part) return;
        const Location at = within(alias.definition_at, definition, *part);
        warn(
            "unknown-type",
            concat("Unknown type '", *part, "' in the definition of type alias '", alias.name, "'"),
            at, hint_for(*part, at, declared));
        return;
    }
    const bool known = find_builtin(definition) ||
                       doc.types().find(definition) != doc.types().end() ||
                       doc.schemas().contains(definition) || failed_schema(definition);
    if (!known) {
        warn("unknown-type",
             concat("Unknown type '", definition, "' in the definition of type alias '", alias.name,
                    "'"),
             alias.definition_at, hint_for(definition, alias.definition_at, declared));
        return;
    }
    // A type, but not one this alias can stand for.
    const bool expression = alias_kind(definition) == AliasKind::TypeExpression;
    warn("unresolved-alias",
         expression ? concat("Type alias '", alias.name, "' does not resolve: '", definition,
                             "' is no built-in type, so every value checked against it fails")
                    : concat("Type alias '", alias.name,
                             "' does not resolve: a definition without '::' "
                             "must be a primitive type (i32, f64, string, bool, color), not '",
                             definition, "', so every value checked against it fails"),
         alias.name_at);
}

void Checks::check_schema(const SchemaRecord& schema, const std::vector<std::string>& declared) {
    const QernDocument& doc = out_.document;
    const auto failed = [&](std::string_view name) { return failed_schema(name); };
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        const FieldRecord& f = schema.fields[i];
        // A field declared twice has the later type.
        if (std::any_of(schema.fields.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        schema.fields.end(),
                        [&](const FieldRecord& g) { return g.name == f.name; }))
            continue;
        if (covered(f.type_at)) continue;
        const auto part = unknown_part(doc, f.type, failed);
        if (!part) continue;
        const Location at = within(f.type_at, f.type, *part);
        warn("unknown-type",
             concat("Unknown type '", *part, "' in the declaration of field '", f.name,
                    "' of schema '", schema.name, "'"),
             at, hint_for(*part, at, declared));
    }
}

void Checks::check_keys() {
    const QernDocument& doc = out_.document;
    std::vector<std::string> fields;
    doc.schemas().for_each([&](const std::string&, const SchemaDef& def) {
        for (const auto& field : def.fields) fields.push_back(field.first);
    });
    if (fields.empty()) return;
    std::sort(fields.begin(), fields.end());
    fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
    const std::vector<Candidate> known = candidates(fields);
    const auto declared_by_failed = [&](std::string_view key) {
        return std::any_of(schemas_.begin(), schemas_.end(), [&](const SchemaRecord& s) {
            return s.failed && std::any_of(s.fields.begin(), s.fields.end(),
                                           [&](const FieldRecord& f) { return f.name == key; });
        });
    };
    for (const KeyRecord& key : keys_) {
        if (doc.schemas().owner_of(key.key) || declared_by_failed(key.key)) continue;
        auto s = suggest_name(key.key, known);
        if (!s) continue;
        warn("unknown-field",
             concat("Key '", key.key, "' is no field of any schema, so its value is not checked"),
             key.at, {{std::move(s->message), std::move(s->replacement), key.at}});
    }
}

void Checks::finish() {
    if (!strict_) return;
    const QernDocument& doc = out_.document;
    std::vector<std::string> declared;
    for (const auto& entry : doc.types()) declared.push_back(entry.first);
    for (std::string& name : doc.schemas().names()) declared.push_back(std::move(name));
    std::sort(declared.begin(), declared.end());

    // The declarations the document holds in the end, each traced to where it was written
    // (a derived one in its base file), in the order they were read.
    std::vector<std::pair<std::size_t, const TypeRecord*>> aliases;
    for (const auto& [name, type] : doc.types()) {
        const auto* alias = dynamic_cast<const AliasType*>(type.get());
        if (alias == nullptr) continue;
        for (auto it = types_.rbegin(); it != types_.rend(); ++it) {
            if (it->name == name && it->definition == alias->definition()) {
                aliases.emplace_back(it->order, &*it);
                break;
            }
        }
    }
    std::vector<std::pair<std::size_t, const SchemaRecord*>> schemas;
    doc.schemas().for_each([&](const std::string& name, const SchemaDef& def) {
        for (auto it = schemas_.rbegin(); it != schemas_.rend(); ++it) {
            if (it->failed || it->name != name) continue;
            const bool same =
                std::all_of(it->fields.begin(), it->fields.end(),
                            [&](const FieldRecord& f) {
                                const auto kept = def.fields.find(f.name);
                                return kept != def.fields.end();
                            }) &&
                std::all_of(def.fields.begin(), def.fields.end(), [&](const auto& kept) {
                    const FieldRecord* last = nullptr;
                    for (const FieldRecord& f : it->fields)
                        if (f.name == kept.first) last = &f;
                    return last != nullptr && last->type == kept.second;
                });
            if (same) {
                schemas.emplace_back(it->order, &*it);
                break;
            }
        }
    });
    std::sort(aliases.begin(), aliases.end());
    std::sort(schemas.begin(), schemas.end());
    std::size_t a = 0, s = 0;
    while (a < aliases.size() || s < schemas.size()) {
        if (s == schemas.size() || (a < aliases.size() && aliases[a].first < schemas[s].first)) {
            check_alias(*aliases[a++].second, declared);
        } else {
            check_schema(*schemas[s++].second, declared);
        }
    }
    check_keys();
}

}  // namespace qern::analysis
