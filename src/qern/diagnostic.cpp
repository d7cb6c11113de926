#include "qern/diagnostic.hpp"

#include <array>

namespace qern {

std::string_view error_code(ErrorKind kind) {
    static constexpr std::array<std::string_view, 14> kCodes = {
        "parse",  "unknown-directive", "import",        "type-directive", "schema-directive",
        "derive", "missing-field",     "io",            "cycle",          "limit",
        "schema", "unknown-type",      "invalid-value", "conversion"};
    const auto i = static_cast<std::size_t>(kind);
    return i < kCodes.size() ? kCodes[i] : "invalid-value";
}

std::string_view error_code(const QernError& error) {
    return error_code(error.kind());
}

}  // namespace qern
