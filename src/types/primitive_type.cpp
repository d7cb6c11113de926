#include "types/primitive_type.hpp"

#include <cstddef>

#include "qern/text.hpp"
#include "types/number.hpp"

namespace qern {

namespace {

inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::optional<bool> parse_bool(std::string_view value) {
    if (value == "1" || equals_ascii_lower(value, "true")) return true;
    if (value == "0" || equals_ascii_lower(value, "false")) return false;
    return std::nullopt;
}

std::optional<PrimitiveKind> find_primitive(std::string_view name) {
    if (name == "i32") return PrimitiveKind::I32;
    if (name == "f64") return PrimitiveKind::F64;
    if (name == "string") return PrimitiveKind::String;
    if (name == "bool") return PrimitiveKind::Bool;
    if (name == "color") return PrimitiveKind::Color;
    return std::nullopt;
}

Result<PrimitiveKind> parse_primitive(std::string_view name) {
    if (auto kind = find_primitive(name)) return *kind;
    return QernError::key_not_found(name);
}

namespace {

// A color "#RRGGBB" or "#RRGGBBAA"; its two failures say which part is wrong.
Result<void> validate_color(std::string_view value) {
    if (value.empty() || value[0] != '#' || (value.size() != 7 && value.size() != 9)) {
        return QernError::invalid_value(
            concat("Expected color in #RRGGBB or #RRGGBBAA format, got '", value, "'"));
    }
    std::string_view hex = value.substr(1);
    if (hex[0] == '+') hex.remove_prefix(1);
    for (char c : hex) {
        if (!is_hex_digit(c))
            return QernError::invalid_value(concat("Invalid hex color '", value, "'"));
    }
    return success();
}

}  // namespace

bool primitive_accepts(PrimitiveKind kind, std::string_view value) {
    switch (kind) {
        case PrimitiveKind::I32:
            return is_i32(value);
        case PrimitiveKind::F64:
            return is_number(value);
        case PrimitiveKind::String:
            return true;
        case PrimitiveKind::Bool:
            return parse_bool(value).has_value();
        case PrimitiveKind::Color:
            return validate_color(value).ok();
    }
    return true;
}

Result<void> validate_primitive(PrimitiveKind kind, std::string_view value) {
    if (kind == PrimitiveKind::Color) return validate_color(value);
    if (primitive_accepts(kind, value)) return success();
    switch (kind) {
        case PrimitiveKind::I32:
            return QernError::invalid_value(concat("Expected i32, got '", value, "'"));
        case PrimitiveKind::F64:
            return QernError::invalid_value(concat("Expected f64, got '", value, "'"));
        case PrimitiveKind::Bool:
            return QernError::invalid_value(
                concat("Expected bool (true/false/1/0), got '", value, "'"));
        case PrimitiveKind::String:
        case PrimitiveKind::Color:
            break;
    }
    return success();
}

}  // namespace qern
