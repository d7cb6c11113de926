#include "qern/literals.hpp"

#include <cstdint>

#include "qern/text.hpp"

namespace qern {

std::optional<std::vector<std::string_view>> parse_list(std::string_view value) {
    std::vector<std::string_view> items;
    const bool is_list = for_each_list_item(value, [&](std::string_view item) {
        items.push_back(item);
        return true;
    });
    if (!is_list) return std::nullopt;
    return items;
}

namespace {

// The failures of add_object_field, kept out of its way.
[[gnu::noinline, gnu::cold]] bool field_without_separator(std::string_view raw,
                                                          std::string& error) {
    const std::string_view piece = trim(raw);
    if (piece.empty()) return true;
    error = concat("Inline object field '", piece, "' has no '=' or ':' separator");
    return false;
}

[[gnu::noinline, gnu::cold]] bool field_without_key(std::string_view raw, std::string& error) {
    error = concat("Empty key in inline object field '", trim(raw), "'");
    return false;
}

// One field of an inline object from its piece of the body, as it stands, and where in it
// its separator is (null for none): appended to `fields`, or false with the reason in
// `error`. A blank piece adds nothing.
[[gnu::always_inline]] inline bool add_object_field(std::string_view raw, const char* separator,
                                                    std::vector<ObjectField>& fields,
                                                    std::string& error) {
    if (separator == nullptr) return field_without_separator(raw, error);
    // The separator is no blank, so the piece is not blank, and trimming the two sides of
    // the separator trims the piece.
    const auto before = static_cast<std::size_t>(separator - raw.data());
    const std::string_view key = trim(std::string_view(raw.data(), before));
    if (key.empty()) return field_without_key(raw, error);
    fields.push_back(
        {key, unquote_value(trim(std::string_view(separator + 1, raw.size() - before - 1)))});
    return true;
}

[[gnu::noinline, gnu::cold]] bool unwrapped_object(std::string_view value, std::string& error) {
    error = concat("Inline object must be wrapped in '{}', got: '", value, "'");
    return false;
}

inline bool wrapped_object(std::string_view t, std::string_view value, std::string& error) {
    if (t.size() >= 2 && t.front() == '{' && t.back() == '}') return true;
    return unwrapped_object(value, error);
}

}  // namespace

bool parse_inline_object_into(std::string_view value, std::vector<ObjectField>& fields,
                              std::string& error) {
    fields.clear();
    const std::string_view t = trim(value);
    if (!wrapped_object(t, value, error)) return false;
    bool ok = true;
    literal_scan::split_pieces(
        t.substr(1, t.size() - 2), [&](std::string_view raw, std::size_t separator) {
            return ok = add_object_field(
                       raw, separator == literal_scan::kNone ? nullptr : raw.data() + separator,
                       fields, error);
        });
    if (!ok) fields.clear();
    return ok;
}

// The body of `item` starts just after its '{', where the list's depth is 1: depth 0 of
// the body is depth 1 of the list, and the marks of depth 1 split the body into fields.
// Nothing of depth 1 lies in the item outside its body: blanks, the '{', the '}'.
bool object_from_marks(std::string_view item, const std::vector<literal_scan::InnerMark>& marks,
                       std::vector<ObjectField>& fields, std::string& error) {
    fields.clear();
    if (!wrapped_object(item, item, error)) return false;
    const char* start = item.data() + 1;
    const char* separator = nullptr;
    const auto piece_to = [&](const char* end) {
        return add_object_field(std::string_view(start, static_cast<std::size_t>(end - start)),
                                separator, fields, error);
    };
    for (const literal_scan::InnerMark& mark : marks) {
        if (!mark.comma) {
            separator = mark.at;
            continue;
        }
        if (!piece_to(mark.at)) {
            fields.clear();
            return false;
        }
        start = mark.at + 1;
        separator = nullptr;
    }
    if (!piece_to(item.data() + item.size() - 1)) {
        fields.clear();
        return false;
    }
    return true;
}

InlineObject parse_inline_object(std::string_view value) {
    InlineObject out;
    parse_inline_object_into(value, out.fields, out.error);
    return out;
}

std::optional<ViewMap<std::string_view>> object_fields(std::string_view value) {
    const std::string_view t = trim(value);
    if (t.empty() || t.front() != '{' || t.back() != '}') return std::nullopt;
    InlineObject object = parse_inline_object(value);
    if (!object.ok()) return std::nullopt;
    ViewMap<std::string_view> fields;
    for (const ObjectField& f : object.fields) fields.insert_or_assign(f.key, f.value);
    return fields;
}

void keep_last_values(std::vector<ObjectField>& fields) {
    std::size_t kept = 0;
    if (fields.size() <= 16) {
        // Keys of different lengths or first eight bytes differ in their signatures, so
        // most pairs are told apart without reading the keys again.
        std::uint64_t signatures[16];
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::string_view key = fields[i].key;
            const std::uint64_t signature =
                short_text_word(key.substr(0, 8)) ^ (key.size() * 0x9E3779B97F4A7C15ULL);
            std::size_t j = 0;
            while (j < kept && (signatures[j] != signature || !same_text(fields[j].key, key))) ++j;
            if (j == kept) {
                signatures[kept] = signature;
                fields[kept++] = fields[i];
            } else {
                fields[j].value = fields[i].value;
            }
        }
    } else {
        ViewMap<std::size_t> at;
        at.reserve(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const auto [it, added] = at.try_emplace(fields[i].key, kept);
            if (added)
                fields[kept++] = fields[i];
            else
                fields[it->second].value = fields[i].value;
        }
    }
    fields.resize(kept);
}

}  // namespace qern
