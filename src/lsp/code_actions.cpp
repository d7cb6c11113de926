#include <string>

#include "lsp/features.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

bool before(const json& a, const json& b) {
    const auto line_a = a["line"].get<std::size_t>(), line_b = b["line"].get<std::size_t>();
    return line_a < line_b || (line_a == line_b && a["character"].get<std::size_t>() <
                                                       b["character"].get<std::size_t>());
}

// Whether two ranges share a position; their ends count, so that a cursor just after a
// misspelt name still finds its fix.
bool touches(const json& a, const json& b) {
    return !before(a["end"], b["start"]) && !before(b["end"], a["start"]);
}

// Whether the client's `only` filter lets quick fixes through: a kind matches itself and
// the kinds below it ("quickfix" and "" both let "quickfix" through).
bool wanted(const json* only) {
    if (only == nullptr || !only->is_array()) return true;
    for (const json& kind : *only) {
        if (!kind.is_string()) continue;
        const std::string& k = kind.get_ref<const std::string&>();
        if (k.empty() || k == "quickfix" || std::string_view("quickfix").starts_with(k + "."))
            return true;
    }
    return false;
}

}  // namespace

json code_actions(const Snapshot& snapshot, const Range& range, const json* only) {
    json actions = json::array();
    if (!wanted(only) || snapshot.checked == nullptr) return actions;
    const json requested = range_json(range);
    Files files(snapshot);
    for (const analysis::Diagnostic& d : snapshot.checked->analysis.diagnostics) {
        if (d.hints.empty()) continue;
        json shown = diagnostic_json(snapshot, d, files);
        if (!touches(shown["range"], requested)) continue;
        for (const analysis::Hint& hint : d.hints) {
            json change = json::array();
            change.push_back({{"range", files.range(hint.where)}, {"newText", hint.replacement}});
            json edit = {{"changes", {{snapshot.uri_of(hint.where.file), std::move(change)}}}};
            actions.push_back({{"title", concat("Replace with '", hint.replacement, "'")},
                               {"kind", "quickfix"},
                               {"diagnostics", json::array({shown})},
                               {"isPreferred", d.hints.size() == 1},
                               {"edit", std::move(edit)}});
        }
    }
    return actions;
}

}  // namespace qern::lsp
