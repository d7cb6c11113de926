#include "commands/commands.hpp"
#include "qern/text.hpp"

namespace qern {

Result<void> ImportCommand::execute(QernDocument& doc, std::string_view args) const {
    const std::string_view t = trim(args);
    if (t.empty()) return QernError::parse(0, args, "Import path cannot be empty");
    const std::string_view path = strip_quotes(trim(t));

    MergeContext local;
    MergeContext& context = doc.merge_context() ? *doc.merge_context() : local;
    auto file = context.enter(path, IncludeKind::Import, [&](std::string reason) {
        return QernError::parse(0, args, std::move(reason));
    });
    if (!file) return std::move(file).error();
    return doc.merge_within(file->text(), context);
}

}  // namespace qern
