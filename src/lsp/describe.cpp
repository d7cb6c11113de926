#include "lsp/describe.hpp"

#include <algorithm>
#include <utility>

#include "qern/text.hpp"
#include "types/math.hpp"
#include "types/physics.hpp"
#include "types/primitive_type.hpp"
#include "types/resolve.hpp"
#include "types/time.hpp"
#include "types/types.hpp"

namespace qern::lsp {

namespace {

// Type names nest only through list<…>; a name is one line long, but a bound keeps a
// pathological one from producing a huge hover.
constexpr int kMaxDepth = 8;

constexpr std::string_view kTimeMembers[] = {"datetime", "duration", "year",
                                             "day",      "hour",     "minute"};
constexpr std::string_view kMathMembers[] = {"vector2",    "vector3",   "vector4",
                                             "quaternion", "matrix3x3", "matrix4x4"};

std::string code(std::string_view s) {
    return code_span(s);
}

std::string primitive_text(PrimitiveKind kind) {
    switch (kind) {
        case PrimitiveKind::I32:
            return "a 32-bit signed integer (-2147483648 to 2147483647)";
        case PrimitiveKind::F64:
            return "a floating-point number";
        case PrimitiveKind::String:
            return "any text";
        case PrimitiveKind::Bool:
            return "true, false, 1 or 0 (in any letter case)";
        case PrimitiveKind::Color:
            return "a hex colour, #RRGGBB or #RRGGBBAA";
    }
    return {};
}

std::string time_text(TimeKind kind) {
    switch (kind) {
        case TimeKind::DateTime:
            return "a date, YYYY-MM-DD, which may go on with a time (YYYY-MM-DDTHH:MM:SS)";
        case TimeKind::Duration:
            return "a duration: a form beginning with P (P1D, PT5M) or a number";
        case TimeKind::Year:
            return "a number of years";
        case TimeKind::Day:
            return "a number of days";
        case TimeKind::Hour:
            return "a number of hours";
        case TimeKind::Minute:
            return "a number of minutes";
    }
    return {};
}

std::string math_text(MathKind kind) {
    const std::string n = std::to_string(math_components(kind));
    const std::string numbers = concat(n, " numbers separated by commas, without brackets");
    switch (kind) {
        case MathKind::Quaternion:
            return concat("a quaternion: ", numbers);
        case MathKind::Matrix3x3:
            return concat("a 3×3 matrix: ", numbers);
        case MathKind::Matrix4x4:
            return concat("a 4×4 matrix: ", numbers);
        default:
            return concat("a vector: ", numbers);
    }
}

std::string unit_text(Unit unit) {
    return concat("unit ", unit_name(unit), " (", unit_quantity(unit), "), dimension ",
                  unit_dimension(unit), "; ",
                  is_integer_unit(unit) ? "a whole number (32-bit)" : "a number",
                  " written without a unit suffix");
}

std::string describe_name(const QernDocument& doc, std::string_view name, TypeContext context,
                          int depth);

std::string describe_builtin(const QernDocument& doc, std::string_view name, int depth) {
    std::string_view missing;
    const auto builtin = find_builtin(name, &missing);
    if (!builtin) {
        if (!missing.empty() && missing != name)
            return concat(code(name), " does not resolve: no member ", code(missing),
                          " in that family");
        return concat(code(name), " does not resolve to any type");
    }
    switch (builtin->family) {
        case TypeFamily::Primitive:
            return concat(code(name), ": ",
                          primitive_text(static_cast<PrimitiveKind>(builtin->code)));
        case TypeFamily::Time:
            return concat(code(name), ": ", time_text(static_cast<TimeKind>(builtin->code)));
        case TypeFamily::Math:
            return concat(code(name), ": ", math_text(static_cast<MathKind>(builtin->code)));
        case TypeFamily::Physics:
            return concat(code(name), ": ", unit_text(static_cast<Unit>(builtin->code)));
        case TypeFamily::List: {
            std::string out = concat(code(name), ": a list `[item, item, …]` whose items are each ",
                                     code(builtin->element));
            if (depth >= kMaxDepth) return out;
            // List items are checked as schema fields: aliases and schemas count there.
            return concat(out, "\n\n",
                          describe_name(doc, builtin->element, TypeContext::Field, depth + 1));
        }
    }
    return {};
}

std::string alias_resolution(const QernDocument& doc, const AliasType& alias, int depth) {
    const std::string& def = alias.definition();
    if (alias.kind() == AliasKind::PrimitiveName) {
        if (find_primitive(def)) return describe_builtin(doc, def, depth);
        return concat(code(def),
                      " does not resolve: a definition without `::` must be a primitive type "
                      "(i32, f64, string, bool, color), so every value checked against this "
                      "alias fails");
    }
    if (find_builtin(def)) return describe_builtin(doc, def, depth);
    return concat(code(def),
                  " is no built-in type, so every value checked against this alias "
                  "fails");
}

std::string describe_name(const QernDocument& doc, std::string_view name, TypeContext context,
                          int depth) {
    name = trim(name);
    if (name.empty()) return {};
    if (context == TypeContext::AliasDefinition) {
        // A definition resolves against the built-in names only, never other declarations.
        const bool expression = alias_kind(name) == AliasKind::TypeExpression;
        if (expression ? find_builtin(name).has_value() : find_primitive(name).has_value())
            return describe_builtin(doc, name, depth);
        std::string why = expression ? concat(code(name), " is no built-in type")
                                     : concat(code(name),
                                              " is not a primitive type (i32, f64, "
                                              "string, bool, color)");
        if (doc.types().find(name) != doc.types().end())
            why += concat("; it is a type alias, but a definition cannot name another alias");
        else if (doc.schemas().contains(name))
            why += concat("; it is a schema, but a definition cannot name a schema");
        else if (!expression && find_builtin(name))
            why += "; a definition without `::` is read as a primitive name";
        return concat(why, ": an alias defined so fails every value checked against it");
    }
    const auto alias = doc.types().find(name);
    if (alias != doc.types().end()) {
        if (const auto* a = dynamic_cast<const AliasType*>(alias->second.get())) {
            return concat(code(name), ": type alias for ", code(a->definition()), "\n\n",
                          alias_resolution(doc, *a, depth));
        }
    }
    if (std::string schema = describe_schema(doc, name); !schema.empty()) return schema;
    return describe_builtin(doc, name, depth);
}

}  // namespace

std::string code_span(std::string_view s) {
    // A backtick inside the text would end the span early: use a longer fence.
    if (s.find('`') == std::string_view::npos) return concat("`", s, "`");
    return concat("`` ", s, " ``");
}

std::string describe_type(const QernDocument& doc, std::string_view name, TypeContext context) {
    return describe_name(doc, name, context, 0);
}

std::string describe_schema(const QernDocument& doc, std::string_view name) {
    const SchemaDef* schema = doc.schemas().find(name);
    if (schema == nullptr) return {};
    std::vector<std::pair<std::string_view, std::string_view>> fields(schema->fields.begin(),
                                                                      schema->fields.end());
    std::sort(fields.begin(), fields.end());
    std::string out = concat(code(name), ": schema with ", std::to_string(fields.size()),
                             fields.size() == 1 ? " field" : " fields");
    for (const auto& [field, type] : fields) {
        const bool optional = schema->optional.count(field) != 0;
        out += concat("\n- ", code(concat(field, optional ? "*" : "", ": ", type)),
                      optional ? " (optional)" : "");
    }
    return out;
}

TypePiece type_piece(std::string_view type, std::size_t offset) {
    const auto at = [&](std::string_view part) {
        return static_cast<std::size_t>(part.data() - type.data());
    };
    std::string_view piece = trim(type);
    // Into the element of a list form while the offset lies within it.
    while (const auto element = list_element_type(piece)) {
        if (offset < at(*element) || offset > at(*element) + element->size()) break;
        piece = *element;
    }
    return {at(piece), at(piece) + piece.size()};
}

const std::vector<BuiltinName>& builtin_names() {
    static const std::vector<BuiltinName> names = [] {
        using Family = BuiltinName::Family;
        std::vector<BuiltinName> out;
        for (const std::string_view p : {"i32", "f64", "string", "bool", "color"})
            out.push_back({std::string(p), primitive_text(*find_primitive(p)), Family::Primitive});
        out.push_back({"list<…>", "a list whose items each have one type", Family::List});
        for (const std::string_view m : kTimeMembers)
            if (const auto kind = find_time_kind(m))
                out.push_back({concat("time::", m), time_text(*kind), Family::Time});
        for (const std::string_view m : kMathMembers)
            if (const auto kind = find_math_kind(m))
                out.push_back({concat("math::", m), math_text(*kind), Family::Math});
        for (std::size_t i = 0; i < kUnitCount; ++i) {
            const Unit unit = static_cast<Unit>(i);
            out.push_back({concat("physics::", unit_name(unit)), unit_text(unit), Family::Physics});
        }
        return out;
    }();
    return names;
}

}  // namespace qern::lsp
