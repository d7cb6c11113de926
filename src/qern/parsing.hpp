#pragma once

#include <cstddef>
#include <string_view>

#include "qern/error.hpp"
#include "qern/rules.hpp"

namespace qern {

class QernDocument;

// Merges QERN text into `doc`: lines, comments, multi-line directive blocks, directives
// and assignments. The first error stops the merge; earlier lines keep their effect.
Result<void> merge_text(QernDocument& doc, std::string_view text);

// Handles one cleaned statement (comment stripped, trimmed, blocks joined).
Result<void> handle_statement(QernDocument& doc, std::string_view statement, std::size_t line);

// Runs an '@' statement through the document's directive registry.
Result<void> dispatch(QernDocument& doc, std::string_view statement, std::size_t line);

}  // namespace qern
