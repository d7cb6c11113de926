#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/hash.hpp"
#include "qern/literal_scan.hpp"
#include "qern/text.hpp"

namespace qern {

// A list literal "[a, b, c]": the items, trimmed, empty ones dropped, kept verbatim
// otherwise (quotes and inner brackets included). Absent when the trimmed value is not
// wrapped in "[" and "]". The items point into `value`.
std::optional<std::vector<std::string_view>> parse_list(std::string_view value);

// What lies between the brackets of a list literal; absent when the trimmed value is not
// wrapped in "[" and "]".
inline std::optional<std::string_view> list_body(std::string_view value) {
    const std::string_view t = trim(value);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
    return t.substr(1, t.size() - 2);
}

// parse_list as it is read: f(item) for each item in order, until f returns false. False
// when the value is not a list literal, before any call. An item is handled while the
// scan has it at hand, which matters for long lists of objects.
template <class F>
bool for_each_list_item(std::string_view value, F&& f) {
    const auto body = list_body(value);
    if (!body) return false;
    literal_scan::split_pieces(*body, [&](std::string_view piece, std::size_t) {
        const std::string_view item = trim(piece);
        return item.empty() || f(item);
    });
    return true;
}

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
// The same into `fields` (emptied first, its storage kept): false with the reason in
// `error` when the value is not one.
bool parse_inline_object_into(std::string_view value, std::vector<ObjectField>& fields,
                              std::string& error);

// parse_inline_object_into for a list item `item` (trimmed) from the marks that the scan
// of its list left in it.
bool object_from_marks(std::string_view item, const std::vector<literal_scan::InnerMark>& marks,
                       std::vector<ObjectField>& fields, std::string& error);

// for_each_list_item for a list of inline objects, in the same one pass: f(item, ok) with
// `fields` and `error` as parse_inline_object_into(item, fields, error) leaves them and
// `ok` what it returns. `marks` is storage for the scan.
template <class F>
bool for_each_list_object(std::string_view value, std::vector<literal_scan::InnerMark>& marks,
                          std::vector<ObjectField>& fields, std::string& error, F&& f) {
    const auto body = list_body(value);
    if (!body) return false;
    literal_scan::scan_pieces<true>(
        *body, &marks,
        [&](std::string_view piece, std::size_t, std::vector<literal_scan::InnerMark>* inner) {
            const std::string_view item = trim(piece);
            if (item.empty()) return true;
            const bool ok = object_from_marks(item, *inner, fields, error);
            return f(item, ok);
        });
    return true;
}

// Makes the fields of an inline object unique: a later field of a name gives its value to
// the first one, which keeps its place; the later ones go.
void keep_last_values(std::vector<ObjectField>& fields);

// A value read as find_object reads it: absent unless the trimmed value is wrapped in "{"
// and "}" and parses as an inline object; a later duplicate field replaces an earlier one.
std::optional<ViewMap<std::string_view>> object_fields(std::string_view value);

}  // namespace qern
