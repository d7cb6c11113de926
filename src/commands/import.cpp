#include "commands/commands.hpp"
#include "qern/rules.hpp"

namespace qern {

Result<void> ImportCommand::execute(QernDocument& doc, std::string_view args) const {
    const std::optional<std::string_view> path = import_path(args);
    if (!path) return import_path_error(args);

    MergeContext local;
    MergeContext& context = doc.merge_context() ? *doc.merge_context() : local;
    auto file = context.enter(*path, IncludeKind::Import, [&](std::string reason) {
        return QernError::parse(0, args, std::move(reason));
    });
    if (!file) return std::move(file).error();
    return doc.merge_within(file->text(), context);
}

}  // namespace qern
