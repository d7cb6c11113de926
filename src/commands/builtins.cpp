#include "commands/builtins.hpp"

#include <memory>
#include <utility>

#include "commands/commands.hpp"
#include "types/types.hpp"

namespace qern {

const Builtins& builtins() {
    // Created once, thread-safely, and never changed: documents share it read-only. It is
    // never destroyed either: at interpreter exit, threads that parse without the GIL may
    // still be building documents from it after the process's destructors have run.
    static const Builtins* const instance = [] {
        Builtins b;
        b.commands = {
            std::make_shared<const ImportCommand>(), std::make_shared<const TypeCommand>(),
            std::make_shared<const SchemaCommand>(), std::make_shared<const DeriveCommand>()};
        b.validate_field = &validate_field;
        return new Builtins(std::move(b));
    }();
    return *instance;
}

QernDocument new_document() {
    return QernDocument(builtins());
}

Result<QernDocument> parse_document(std::string_view text) {
    QernDocument doc = new_document();
    auto merged = doc.merge_content(text);
    if (!merged) return std::move(merged).error();
    return doc;
}

Result<QernDocument> load_document(std::string_view path) {
    QernDocument doc = new_document();
    auto merged = doc.merge_file(path);
    if (!merged) return std::move(merged).error();
    return doc;
}

Result<QernDocument> parse_document_within(std::string_view text, MergeContext& context) {
    QernDocument doc = new_document();
    auto merged = doc.merge_within(text, context);
    if (!merged) return std::move(merged).error();
    return doc;
}

}  // namespace qern
