#include "commands/commands.hpp"
#include "qern/rules.hpp"
#include "types/types.hpp"

namespace qern {

Result<void> TypeCommand::execute(QernDocument& doc, std::string_view args) const {
    TypeSyntax type;
    if (const TypeFault fault = split_type(args, type); fault != TypeFault::None)
        return type_error(args, fault);
    if (const MergeContext* context = doc.merge_context(); context && context->observer())
        context->observer()->on_type(*context, doc, type.name, type.definition);
    doc.types().insert_or_assign(std::string(type.name), make_alias(std::string(type.definition)));
    return success();
}

}  // namespace qern
