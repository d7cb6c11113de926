#include "qern/error.hpp"

#include <string>

#include "qern/text.hpp"

namespace qern {

namespace {

struct Display {
    std::string operator()(const QernError::Io& e) const { return concat("IO Error: ", e.message); }
    std::string operator()(const QernError::Parse& e) const {
        return concat("Parse Error at line ", std::to_string(e.line), ": '", e.text,
                      "'. Reason: ", e.reason);
    }
    std::string operator()(const QernError::KeyNotFound& e) const {
        return concat("Key not found: '", e.name, "'");
    }
    std::string operator()(const QernError::InvalidValue& e) const {
        return concat("Invalid value: ", e.message);
    }
    std::string operator()(const QernError::InvalidType& e) const {
        return concat("Invalid type '", e.name, "': ", e.message);
    }
    std::string operator()(const QernError::Directive& e) const {
        return concat("Directive '@", e.name, "' error: ", e.message);
    }
    std::string operator()(const QernError::SchemaValidation& e) const {
        return concat("Schema '", e.schema, "' validation error: field '", e.field, "' (type '",
                      e.type, "') \u2014 ", e.message);
    }
    std::string operator()(const QernError::Conversion& e) const {
        return concat("Cannot convert key '", e.key, "' (type '", e.type, "') = '", e.value,
                      "': ", e.reason);
    }
};

}  // namespace

std::string QernError::display() const {
    return std::visit(Display{}, v_);
}

}  // namespace qern
