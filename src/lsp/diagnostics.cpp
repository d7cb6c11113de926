#include "lsp/features.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

std::string_view file_name(const std::optional<std::string>& file) {
    return file ? std::string_view(*file) : std::string_view("<text>");
}

// Where the file of the @import or @derive on `line` is written; the line's text when it
// names none.
Range include_range(const ParsedText& text, std::size_t line, Encoding encoding) {
    const SyntaxTree& tree = text.tree();
    const Statement st = tree.statement(tree.entry(line));
    if ((st.kind == StatementKind::Import || st.kind == StatementKind::Derive) &&
        st.path.exists() && !st.path.text.empty())
        return text.range(st.path.span, encoding);
    return text.line_range(line, encoding);
}

// An error in an imported or derived file is shown where the open document reaches it:
// on the path of its @import or @derive, with the way to the failing line as related
// places.
json placed_in_open_document(const Snapshot& s, const analysis::Diagnostic& d, Files& files,
                             json& related) {
    const Encoding encoding = s.client->encoding;
    const std::vector<IncludeStep>& chain = d.where.chain;
    const Range range = include_range(s.document(), chain.front().line, encoding);
    related.push_back({{"location", files.location(d.where)}, {"message", d.message}});
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const std::optional<std::string>& next =
            i + 1 < chain.size() ? chain[i + 1].file : d.where.file;
        json place = {{"uri", s.uri_of(chain[i].file)}, {"range", range_json({})}};
        if (const auto text = files.get(chain[i].file))
            place["range"] = range_json(include_range(*text, chain[i].line, encoding));
        related.push_back(
            {{"location", place},
             {"message",
              concat(chain[i].kind == IncludeKind::Derive ? "derives from '" : "imports '",
                     file_name(next), "'")}});
    }
    return range_json(range);
}

}  // namespace

json diagnostic_json(const Snapshot& s, const analysis::Diagnostic& d, Files& files) {
    json related = json::array();
    json range = d.where.chain.empty() ? files.range(d.where)
                                       : placed_in_open_document(s, d, files, related);
    for (const analysis::Related& r : d.related)
        related.push_back({{"location", files.location(r.where)}, {"message", r.message}});
    // The hints follow the exact text, each on a line of its own, as the command shows
    // them; a hint for another place names it.
    std::string message = d.message;
    for (const analysis::Hint& hint : d.hints) {
        message += "\nhelp: ";
        if (hint.where.file != d.where.file || hint.where.line != d.where.line)
            message += concat(file_name(hint.where.file), ":", std::to_string(hint.where.line), ":",
                              std::to_string(hint.where.column), ": ");
        message += hint.message;
    }
    json out = {{"range", std::move(range)},
                {"severity", d.severity == analysis::Severity::Error ? 1 : 2},
                {"source", "qern"},
                {"code", d.code},
                {"message", std::move(message)}};
    if (!related.empty()) out["relatedInformation"] = std::move(related);
    return out;
}

json diagnostics_params(const Snapshot& snapshot, const analysis::Analysis& analysis,
                        const json& version) {
    Files files(snapshot);
    json list = json::array();
    for (const analysis::Diagnostic& d : analysis.diagnostics)
        list.push_back(diagnostic_json(snapshot, d, files));
    json params = {{"uri", snapshot.uri}, {"diagnostics", std::move(list)}};
    if (!version.is_null()) params["version"] = version;
    return params;
}

}  // namespace qern::lsp
