#include "qern/literals.hpp"

#include "qern/text.hpp"

namespace qern {

namespace {

// Calls f(piece) for each piece of `body` ended by a ',' at bracket depth 0. Brackets
// and braces count alike; quotes are not special.
template <class F>
void split_pieces(std::string_view body, F&& f) {
    long depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            if (!f(body.substr(start, i - start))) return;
            start = i + 1;
        }
    }
    f(body.substr(start));
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
    const std::string_view t = trim(value);
    if (t.size() < 2 || t.front() != '{' || t.back() != '}') {
        out.error = concat("Inline object must be wrapped in '{}', got: '", value, "'");
        return out;
    }
    split_pieces(t.substr(1, t.size() - 2), [&](std::string_view raw) {
        const std::string_view piece = trim(raw);
        if (piece.empty()) return true;
        long depth = 0;
        std::size_t sep = std::string_view::npos;
        for (std::size_t i = 0; i < piece.size(); ++i) {
            const char c = piece[i];
            if (c == '[' || c == '{') {
                ++depth;
            } else if (c == ']' || c == '}') {
                --depth;
            } else if ((c == ':' || c == '=') && depth == 0) {
                sep = i;
                break;
            }
        }
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

}  // namespace qern
