#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "qern/text.hpp"
#include "test_support.hpp"
#include "types/types.hpp"

namespace qern::testing {

// The display text of validating `value` as the built-in type `type`; "" when valid.
inline std::string builtin_error(std::string_view type, std::string_view value) {
    const QernDocument doc = new_document();
    auto resolved = resolve_type(type);
    if (!resolved.ok()) return "unresolved: " + resolved.error().display();
    return error_of((*resolved)->validate(value, doc));
}

inline void expect_valid(std::string_view type, std::initializer_list<std::string_view> values) {
    for (std::string_view v : values) EXPECT_EQ(builtin_error(type, v), "") << type << " <- " << v;
}

inline void expect_invalid(std::string_view type, std::initializer_list<std::string_view> values) {
    for (std::string_view v : values) {
        const std::string e = builtin_error(type, v);
        EXPECT_TRUE(e.starts_with("Invalid value: ")) << type << " <- " << v << ": " << e;
    }
}

inline void expect_error(std::string_view type, std::string_view value, std::string_view message) {
    EXPECT_EQ(builtin_error(type, value), message) << type << " <- " << value;
}

// resolve_type fails with KeyNotFound carrying `carried`.
inline void expect_unknown(std::string_view type, std::string_view carried) {
    auto resolved = resolve_type(type);
    ASSERT_FALSE(resolved.ok()) << type;
    EXPECT_EQ(resolved.error().display(), "Key not found: '" + std::string(carried) + "'");
}

inline SchemaDef schema(std::initializer_list<std::pair<std::string, std::string>> fields,
                        std::initializer_list<std::string> optional = {}) {
    SchemaDef def;
    for (const auto& [name, type] : fields) def.fields.emplace(name, type);
    for (const auto& name : optional) def.optional.insert(name);
    return def;
}

}  // namespace qern::testing
