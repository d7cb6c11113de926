#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/hash.hpp"

namespace qern {

// A list literal "[a, b, c]": the items, trimmed, empty ones dropped, kept verbatim
// otherwise (quotes and inner brackets included). Absent when the trimmed value is not
// wrapped in "[" and "]". The items point into `value`.
std::optional<std::vector<std::string_view>> parse_list(std::string_view value);

struct ObjectField {
    std::string_view key;
    std::string_view value;
};

// An inline object "{ k = v, k: v, ... }": its fields in order, duplicates kept, values
// unquoted like assignment values; or the reason it is not one. Fields point into `value`.
struct InlineObject {
    std::vector<ObjectField> fields;
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};
InlineObject parse_inline_object(std::string_view value);

// Makes the fields of an inline object unique: a later field of a name gives its value to
// the first one, which keeps its place; the later ones go.
void keep_last_values(std::vector<ObjectField>& fields);

// A value read as find_object reads it: absent unless the trimmed value is wrapped in "{"
// and "}" and parses as an inline object; a later duplicate field replaces an earlier one.
std::optional<ViewMap<std::string_view>> object_fields(std::string_view value);

}  // namespace qern
