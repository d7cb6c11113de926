#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "qern/text.hpp"

namespace qern {

namespace {

QernError schema_error(std::string message) {
    return QernError::directive("schema", std::move(message));
}

}  // namespace

Result<void> SchemaCommand::execute(QernDocument& doc, std::string_view args) const {
    const std::string_view t = trim(args);
    const std::size_t open = t.find('{');
    if (open == std::string_view::npos) return schema_error("Expected '{'");
    const std::string_view name = trim(t.substr(0, open));
    if (name.empty()) return schema_error("Schema name is empty");
    const std::size_t close = t.rfind('}');
    if (close == std::string_view::npos || close < open) return schema_error("Expected '}'");

    // Commas count as blanks; the body is then split into whitespace-separated tokens.
    std::string body(t.substr(open + 1, close - open - 1));
    for (char& c : body)
        if (c == ',') c = ' ';
    std::vector<std::string_view> tokens;
    {
        const std::string_view b = body;
        std::size_t pos = 0;
        while (pos < b.size()) {
            const WhitespaceHit ws = find_whitespace(b, pos);
            const std::size_t end = ws.pos == std::string_view::npos ? b.size() : ws.pos;
            if (end > pos) tokens.push_back(b.substr(pos, end - pos));
            if (ws.pos == std::string_view::npos) break;
            pos = ws.pos + ws.len;
        }
    }

    SchemaDef def;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view token = tokens[i];
        const std::size_t colon = token.find(':');
        if (colon == std::string_view::npos)
            return schema_error(concat("Bad field: '", token, "'"));
        std::string_view field = token.substr(0, colon);
        std::string_view type = token.substr(colon + 1);
        if (type.empty()) {
            if (i + 1 >= tokens.size())
                return schema_error(concat("Bad field: '", field, ":' has no type"));
            type = tokens[++i];
        }
        if (field.empty()) return schema_error(concat("Bad field: '", field, ": ", type, "'"));
        bool optional = false;
        if (field.back() == '*') {
            optional = true;
            while (!field.empty() && field.back() == '*') field.remove_suffix(1);
            if (field.empty()) return schema_error(concat("Bad field: '", field, ": ", type, "'"));
        }
        if (optional) def.optional.emplace(field);
        def.fields.insert_or_assign(std::string(field), std::string(type));
    }
    if (const MergeContext* context = doc.merge_context(); context && context->observer())
        context->observer()->on_schema(*context, doc, name, def);
    doc.schemas().insert(name, std::move(def));
    return success();
}

}  // namespace qern
