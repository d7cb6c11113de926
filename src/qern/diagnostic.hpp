#pragma once

#include <string_view>

#include "qern/error.hpp"

namespace qern {

// The stable short name of an error's kind, as the command line, the language server and
// the documentation of errors name it: "parse", "unknown-directive", "import",
// "type-directive", "schema-directive", "derive", "missing-field", "io", "cycle", "limit",
// "schema", "unknown-type" or "invalid-value".
// The code is the error's kind, decided where it was made; the text is never read.
std::string_view error_code(const QernError& error);
std::string_view error_code(ErrorKind kind);

}  // namespace qern
