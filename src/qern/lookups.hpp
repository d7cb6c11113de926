#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "qern/hash.hpp"
#include "qern/literals.hpp"

namespace qern {

// The lookups every store of pairs answers alike (the document's map and a frozen
// snapshot). `Map` has size(), find_index(key) (its npos when absent), entry(i).value and
// find_key(value).

// The value of `key`, or else the key of some entry whose value is `key`.
template <class Map>
std::optional<std::string_view> find_obj_in(const Map& map, std::string_view key) {
    const std::size_t i = map.find_index(key);
    if (i != Map::npos) return map.entry(i).value;
    return map.find_key(key);
}

// find_obj, then the value read as a list literal.
template <class Map>
std::optional<std::vector<std::string_view>> find_list_in(const Map& map, std::string_view key) {
    const auto value = find_obj_in(map, key);
    if (!value) return std::nullopt;
    return parse_list(*value);
}

// find_obj, then the value read as an inline object; a later duplicate field wins.
template <class Map>
std::optional<ViewMap<std::string_view>> find_object_in(const Map& map, std::string_view key) {
    const auto value = find_obj_in(map, key);
    if (!value) return std::nullopt;
    return object_fields(*value);
}

// Follows key -> value -> key until a value that is no key, or a cycle: the position of
// the entry whose value ends the chain, or npos when `key` is no key.
template <class Map>
std::size_t find_deep_in(const Map& map, std::string_view key) {
    std::size_t current = map.find_index(key);
    if (current == Map::npos) return Map::npos;
    // Iterative. The entries visited so far: a short list, then one bit per entry once the
    // chain grows long, so chains of any length and cycles end in linear time.
    constexpr std::size_t kShortChain = 32;
    std::vector<std::size_t> path;
    std::vector<bool> seen;
    const auto visit = [&](std::size_t i) {
        if (seen.empty() && path.size() < kShortChain) {
            path.push_back(i);
            return;
        }
        if (seen.empty()) {
            seen.resize(map.size());
            for (std::size_t p : path) seen[p] = true;
        }
        seen[i] = true;
    };
    const auto visited = [&](std::size_t i) {
        if (!seen.empty()) return static_cast<bool>(seen[i]);
        for (std::size_t p : path)
            if (p == i) return true;
        return false;
    };
    std::size_t last = Map::npos;
    for (;;) {
        visit(current);
        const std::size_t next = map.find_index(map.entry(current).value);
        if (next != Map::npos && visited(next)) return last != Map::npos ? last : current;
        last = current;
        if (next == Map::npos) return current;
        current = next;
    }
}

}  // namespace qern
