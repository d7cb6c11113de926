#include "qern/literals.hpp"

#include <array>
#include <cstdint>

#include "qern/text.hpp"

namespace qern {

namespace {

// What the scans below look at: 1 opens a bracket or brace, 2 closes one, 3 is ',',
// 4 is ':' or '='. A table, so that the bytes of plain text cost one load each.
constexpr auto kLiteralClass = [] {
    std::array<std::uint8_t, 256> t{};
    t['['] = t['{'] = 1;
    t[']'] = t['}'] = 2;
    t[','] = 3;
    t[':'] = t['='] = 4;
    return t;
}();

// Calls f(piece) for each piece of `body` ended by a ',' at bracket depth 0. Brackets
// and braces count alike; quotes are not special.
template <class F>
void split_pieces(std::string_view body, F&& f) {
    long depth = 0;
    std::size_t start = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    for (std::size_t i = 0; i < body.size(); ++i) {
        const std::uint8_t cls = kLiteralClass[p[i]];
        if (cls < 1 || cls > 3) continue;
        if (cls == 1) {
            ++depth;
        } else if (cls == 2) {
            --depth;
        } else if (depth == 0) {
            if (!f(body.substr(start, i - start))) return;
            start = i + 1;
        }
    }
    f(body.substr(start));
}

// The first ':' or '=' of `piece` at bracket depth 0, or npos.
std::size_t field_separator(std::string_view piece) {
    long depth = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const std::uint8_t cls = kLiteralClass[p[i]];
        if (cls == 1) {
            ++depth;
        } else if (cls == 2) {
            --depth;
        } else if (cls == 4 && depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::optional<std::vector<std::string_view>> parse_list(std::string_view value) {
    const std::string_view t = trim(value);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
    std::vector<std::string_view> items;
    split_pieces(t.substr(1, t.size() - 2), [&](std::string_view piece) {
        const std::string_view item = trim(piece);
        if (!item.empty()) items.push_back(item);
        return true;
    });
    return items;
}

InlineObject parse_inline_object(std::string_view value) {
    InlineObject out;
    out.fields.reserve(8);
    const std::string_view t = trim(value);
    if (t.size() < 2 || t.front() != '{' || t.back() != '}') {
        out.error = concat("Inline object must be wrapped in '{}', got: '", value, "'");
        return out;
    }
    split_pieces(t.substr(1, t.size() - 2), [&](std::string_view raw) {
        const std::string_view piece = trim(raw);
        if (piece.empty()) return true;
        const std::size_t sep = field_separator(piece);
        if (sep == std::string_view::npos) {
            out.error = concat("Inline object field '", piece, "' has no '=' or ':' separator");
            return false;
        }
        const std::string_view key = trim(piece.substr(0, sep));
        if (key.empty()) {
            out.error = concat("Empty key in inline object field '", piece, "'");
            return false;
        }
        out.fields.push_back({key, unquote_value(trim(piece.substr(sep + 1)))});
        return true;
    });
    if (!out.ok()) out.fields.clear();
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
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::size_t j = 0;
            while (j < kept && !same_text(fields[j].key, fields[i].key)) ++j;
            if (j == kept)
                fields[kept++] = fields[i];
            else
                fields[j].value = fields[i].value;
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
