#include "commands/commands.hpp"
#include "qern/text.hpp"
#include "types/types.hpp"

namespace qern {

Result<void> TypeCommand::execute(QernDocument& doc, std::string_view args) const {
    const std::size_t eq = args.find('=');
    if (eq == std::string_view::npos)
        return QernError::parse(0, args,
                                "Type definition must be in the format 'name = definition'");
    const std::string_view name = trim(args.substr(0, eq));
    const std::string_view definition = trim(args.substr(eq + 1));
    if (name.empty()) return QernError::parse(0, args, "Type name cannot be empty");
    if (definition.empty()) return QernError::parse(0, args, "Type definition cannot be empty");
    if (const MergeContext* context = doc.merge_context(); context && context->observer())
        context->observer()->on_type(*context, doc, name, definition);
    doc.types().insert_or_assign(std::string(name), make_alias(std::string(definition)));
    return success();
}

}  // namespace qern
