#include <string>

#include "commands/commands.hpp"
#include "qern/rules.hpp"

namespace qern {

Result<void> SchemaCommand::execute(QernDocument& doc, std::string_view args) const {
    const SchemaSyntax syntax = read_schema(args);
    if (syntax.fault != SchemaSyntax::Fault::None) {
        if (MergeContext* context = doc.merge_context(); context && context->recovering()) {
            context->note_failed_schema(syntax.name);
            context->observer()->on_failed_schema(*context, doc, syntax);
        }
        return schema_error(syntax);
    }
    SchemaDef def;
    for (const SchemaFieldSyntax& field : syntax.fields) {
        if (field.optional) def.optional.emplace(field.name);
        def.fields.insert_or_assign(std::string(field.name), std::string(field.type));
    }
    if (const MergeContext* context = doc.merge_context(); context && context->observer())
        context->observer()->on_schema(*context, doc, syntax, def);
    doc.schemas().insert(syntax.name, std::move(def));
    return success();
}

}  // namespace qern
