#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qern/text.hpp"
#include "test_support.hpp"
#include "types/types.hpp"

namespace qern::testing {

inline constexpr const char* kAbsent = "<absent>";

// A lookup result as text, so that tables can hold found and absent results alike.
inline std::string shown(std::optional<std::string_view> v) {
    return v ? std::string(*v) : kAbsent;
}

inline std::string parse_error(std::string_view text) {
    auto doc = parse_document(text);
    return doc.ok() ? "" : doc.error().display();
}

inline std::string load_error(std::string_view path) {
    auto doc = load_document(path);
    return doc.ok() ? "" : doc.error().display();
}

inline std::string merge_error(QernDocument& doc, std::string_view text) {
    return error_of(doc.merge_content(text));
}

inline std::string validation_error(const QernDocument& doc, std::string_view type,
                                    std::string_view value) {
    return error_of(validate_value(doc, type, value));
}

// The display text of a SchemaValidation error.
inline std::string schema_msg(std::string_view schema, std::string_view field,
                              std::string_view type, std::string_view message) {
    return concat("Schema '", schema, "' validation error: field '", field, "' (type '", type,
                  "') \u2014 ", message);
}

// A schema as its sorted "field:type" words, optional fields written "field*:type".
inline std::string schema_of(const QernDocument& doc, std::string_view name) {
    const SchemaDef* def = doc.schemas().find(name);
    if (!def) return kAbsent;
    std::set<std::string> words;
    for (const auto& [field, type] : def->fields)
        words.insert(field + (def->optional.count(field) ? "*:" : ":") + type);
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

inline std::set<std::string> schema_names(const QernDocument& doc) {
    std::set<std::string> out;
    doc.schemas().for_each([&](const std::string& name, const SchemaDef&) { out.insert(name); });
    return out;
}

inline std::set<std::string> type_names(const QernDocument& doc) {
    std::set<std::string> out;
    for (const auto& entry : doc.types()) out.insert(entry.first);
    return out;
}

// Limit errors name the offending path after a fixed opening; only the opening is pinned.
inline void expect_prefix(const std::string& actual, std::string_view prefix) {
    EXPECT_EQ(actual.substr(0, prefix.size()), prefix) << "full text: " << actual;
}

}  // namespace qern::testing
