#include "qern/diagnostic.hpp"

namespace qern {

namespace {

// The reasons a file refused by the limits or by a cycle carries, in either wrapping.
std::string_view refusal_code(std::string_view reason) {
    if (reason.starts_with("Cycle: '")) return "cycle";
    if (reason.starts_with("Files nested deeper than ") ||
        reason.starts_with("One merge may read at most "))
        return "limit";
    return {};
}

constexpr std::string_view kDepth = "Value nested deeper than 256 levels";

}  // namespace

std::string_view error_code(const QernError& error) {
    if (error.is<QernError::Io>()) return "io";
    if (const auto* p = error.as<QernError::Parse>()) {
        const std::string_view reason = p->reason;
        if (auto code = refusal_code(reason); !code.empty()) return code;
        if (reason.starts_with("Unknown directive: @")) return "unknown-directive";
        if (reason == "Import path cannot be empty") return "import";
        if (reason.starts_with("Type ")) return "type-directive";
        return "parse";
    }
    if (const auto* d = error.as<QernError::Directive>()) {
        if (auto code = refusal_code(d->message); !code.empty()) return code;
        return d->name == "schema" ? "schema-directive" : "derive";
    }
    if (const auto* s = error.as<QernError::SchemaValidation>()) {
        const std::string_view message = s->message;
        if (message.starts_with("Missing required field '")) return "missing-field";
        if (message.starts_with("Unknown type '")) return "unknown-type";
        if (message.find(kDepth) != std::string_view::npos) return "limit";
        return "schema";
    }
    if (error.is<QernError::KeyNotFound>()) return "unknown-type";
    if (error.is<QernError::Conversion>()) return "conversion";
    if (const auto* t = error.as<QernError::InvalidType>()) {
        if (t->message.find(kDepth) != std::string_view::npos) return "limit";
    }
    return "invalid-value";
}

}  // namespace qern
