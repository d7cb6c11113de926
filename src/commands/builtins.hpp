#pragma once

#include <string_view>

#include "qern/document.hpp"
#include "qern/error.hpp"

namespace qern {

// The directive handlers ("import", "type", "schema", "derive", in that order) and the
// field validator every document starts with. Built once, shared by all documents.
const Builtins& builtins();

// A new, empty document with the built-in directives registered.
QernDocument new_document();
// A new document with `text` merged into it; on error the document is discarded.
Result<QernDocument> parse_document(std::string_view text);
// A new document with the file at `path` merged into it.
Result<QernDocument> load_document(std::string_view path);
// As parse_document, as part of a merge already in progress (used by @derive).
Result<QernDocument> parse_document_within(std::string_view text, MergeContext& context);

}  // namespace qern
