#include <string>
#include <vector>

#include "commands/builtins.hpp"
#include "commands/commands.hpp"
#include "qern/text.hpp"
#include "types/types.hpp"

namespace qern {

namespace {

QernError derive_error(std::string message) {
    return QernError::directive("derive", std::move(message));
}

struct Target {
    std::string_view path;
    std::vector<std::string_view> schemas;
};

// "path", "path::A::B", "\"path\"::A" or "'path' A": the file and the selected schemas.
Target split_target(std::string_view args) {
    const std::string_view t = trim(args);
    std::string_view path = t;
    std::string_view selector;
    if (!t.empty() && (t.front() == '"' || t.front() == '\'')) {
        const std::size_t close = t.find(t.front(), 1);
        if (close != std::string_view::npos) {
            path = t.substr(1, close - 1);
            std::size_t rest = close + 1;
            while (rest < t.size() && t[rest] == ':') ++rest;
            selector = trim(t.substr(rest));
        }
    } else if (const std::size_t sep = t.find("::"); sep != std::string_view::npos) {
        path = t.substr(0, sep);
        selector = t.substr(sep + 2);
    }
    Target target{trim(path), {}};
    while (!selector.empty()) {
        const std::size_t sep = selector.find("::");
        const std::string_view piece = trim(selector.substr(0, sep));
        if (!piece.empty()) target.schemas.push_back(piece);
        if (sep == std::string_view::npos) break;
        selector = selector.substr(sep + 2);
    }
    return target;
}

// Moves schema `name` from `base` into `doc`, with the registered types its fields name.
Result<void> derive_schema(QernDocument& doc, QernDocument& base, std::string_view name) {
    std::optional<SchemaDef> schema = base.schemas().remove(name);
    if (!schema) return derive_error(concat("Schema '", name, "' not found"));
    for (const auto& field : schema->fields) {
        const std::string_view type = list_element_type(field.second).value_or(field.second);
        const auto found = base.types().find(type);
        if (found == base.types().end()) continue;
        std::unique_ptr<TypeDef> def = std::move(found->second);
        base.types().erase(found);
        if (doc.types().find(type) == doc.types().end())
            doc.types().emplace(std::string(type), std::move(def));
    }
    if (!doc.schemas().contains(name)) doc.schemas().insert(name, std::move(*schema));
    return success();
}

}  // namespace

Result<void> DeriveCommand::execute(QernDocument& doc, std::string_view args) const {
    const Target target = split_target(args);

    MergeContext local;
    MergeContext& context = doc.merge_context() ? *doc.merge_context() : local;
    auto file = context.enter(target.path, IncludeKind::Derive,
                              [](std::string reason) { return derive_error(std::move(reason)); });
    if (!file) return std::move(file).error();
    const std::size_t reported = context.reported();
    auto parsed = parse_document_within(file->text(), context);
    if (!parsed) return std::move(parsed).error();
    // A checker that goes on past errors has reported the base file's own: deriving from
    // what is left of it would only add errors that follow from those.
    if (context.reported() != reported) return success();
    QernDocument& base = *parsed;

    const std::vector<std::string> own_schemas = doc.schemas().names();

    if (target.schemas.empty()) {
        for (const std::string& name : base.schemas().names()) {
            auto derived = derive_schema(doc, base, name);
            if (!derived) return derived;
        }
    } else {
        for (const std::string_view name : target.schemas) {
            auto derived = derive_schema(doc, base, name);
            if (!derived) return derived;
        }
    }

    base.data().for_each([&](const DataMap::Entry& e) {
        if (!doc.data().contains(e.key)) doc.data().assign(e.key, e.value);
    });

    for (const std::string& name : own_schemas) {
        const SchemaDef* schema = doc.schemas().find(name);
        if (schema == nullptr) continue;
        for (const auto& [field, type] : schema->fields) {
            if (schema->optional.count(field) != 0 || doc.data().contains(field)) continue;
            return QernError::schema_validation(name, field, type,
                                                concat("Missing required field '", field, "'"));
        }
    }
    return success();
}

}  // namespace qern
