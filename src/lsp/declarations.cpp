#include "lsp/declarations.hpp"

#include <algorithm>
#include <set>

#include "qern/merge_context.hpp"

namespace qern::lsp {

namespace {

// A walk through the files a document reads, with the merge's bound on nesting, and a
// bound on the files entered in all, so that files that import each other many times over
// cost one answer little.
class Walk {
  public:
    static constexpr std::size_t kMaxVisits = 1000;

    explicit Walk(Files& files) : files_(files) {
        if (files.snapshot().path) open_.push_back(*files.snapshot().path);
    }

    const ParsedText& document() { return files_.snapshot().document(); }
    const std::optional<std::string>& document_path() const { return files_.snapshot().path; }

    // The absolute path of a file as an @import or @derive writes it.
    std::string resolve(std::string_view written) const {
        return absolute_path(written, files_.snapshot().workdir);
    }

    // Enters the file of an @import or a @derive: null when it cannot be read, when it is
    // open already (the merge refuses such a cycle), or when a bound is reached. Each
    // entered file is left with leave().
    std::shared_ptr<const ParsedText> enter(const std::string& path) {
        if (open_.size() >= MergeContext::kMaxFileDepth || visits_ >= kMaxVisits) return nullptr;
        if (std::find(open_.begin(), open_.end(), path) != open_.end()) return nullptr;
        auto text = files_.read(path);
        if (text == nullptr) return nullptr;
        ++visits_;
        open_.push_back(path);
        return text;
    }
    void leave() { open_.pop_back(); }

  private:
    Files& files_;
    std::vector<std::string> open_;
    std::size_t visits_ = 0;
};

StatementKind statement_kind(Declares kind) {
    switch (kind) {
        case Declares::Key:
            return StatementKind::Assignment;
        case Declares::Type:
            return StatementKind::Type;
        case Declares::Schema:
            return StatementKind::Schema;
    }
    return StatementKind::Assignment;
}

// The declarations of a name in one document and the files it imports, and the first
// one its @derives bring in.
struct Search {
    Declares kind;
    std::string_view name;
    std::optional<std::string_view> value;
    std::optional<Declared> own;
    std::optional<Declared> own_stored;  // the last own one whose value is the stored one
    std::optional<Declared> derived;

    std::optional<Declared> result() const {
        if (own_stored) return own_stored;
        if (own) return own;
        return derived;
    }
};

void search(Walk& walk, const std::shared_ptr<const ParsedText>& text,
            const std::optional<std::string>& file, bool in_document, Search& s) {
    const SyntaxTree& tree = text->tree();
    const StatementKind wanted = statement_kind(s.kind);
    tree.for_each([&](const SyntaxTree::Entry& entry) {
        if (entry.fails) return;
        const bool include = entry.kind == StatementKind::Import ||
                             (entry.kind == StatementKind::Derive && !s.derived);
        if (entry.kind != wanted && !include) return;
        const Statement st = tree.statement(entry);
        if (entry.kind == wanted) {
            const Part& name = s.kind == Declares::Key ? st.key : st.name;
            if (name.text != s.name) return;
            Declared d{text, file, in_document, false, name.span};
            if (s.kind == Declares::Key && s.value && st.value.text == *s.value) s.own_stored = d;
            s.own = std::move(d);
            return;
        }
        if (!st.path.exists() || st.path.text.empty()) return;
        const std::string path = walk.resolve(st.path.text);
        const auto included = walk.enter(path);
        if (included == nullptr) return;
        if (entry.kind == StatementKind::Import) {
            search(walk, included, path, false, s);
        } else {
            Search base{s.kind, s.name, s.value, {}, {}, {}};
            search(walk, included, path, false, base);
            if (auto found = base.result()) {
                found->derived = true;
                s.derived = std::move(found);
            }
        }
        walk.leave();
    });
}

void collect_schemas(Walk& walk, const SyntaxTree& tree, std::set<std::string>& names) {
    tree.for_each([&](const SyntaxTree::Entry& entry) {
        if (entry.fails) return;
        if (entry.kind != StatementKind::Schema && entry.kind != StatementKind::Import &&
            entry.kind != StatementKind::Derive)
            return;
        const Statement st = tree.statement(entry);
        if (entry.kind == StatementKind::Schema) {
            names.emplace(st.name.text);
            return;
        }
        if (!st.path.exists() || st.path.text.empty()) return;
        const auto included = walk.enter(walk.resolve(st.path.text));
        if (included == nullptr) return;
        if (entry.kind == StatementKind::Import) {
            collect_schemas(walk, included->tree(), names);
        } else {
            // A @derive takes the schemas it selects, or all of them.
            std::set<std::string> base;
            collect_schemas(walk, included->tree(), base);
            if (st.selectors.empty()) {
                names.merge(base);
            } else {
                for (const Part& selected : st.selectors)
                    if (base.count(std::string(selected.text)) != 0) names.emplace(selected.text);
            }
        }
        walk.leave();
    });
}

}  // namespace

std::optional<Declared> find_declaration(Files& files, Declares kind, std::string_view name,
                                         std::optional<std::string_view> value) {
    Walk walk(files);
    Search s{kind, name, kind == Declares::Key ? value : std::nullopt, {}, {}, {}};
    walk.document();
    search(walk, files.snapshot().parsed, walk.document_path(), true, s);
    return s.result();
}

std::optional<Declared> find_type(Files& files, std::string_view name) {
    if (auto alias = find_declaration(files, Declares::Type, name)) return alias;
    return find_declaration(files, Declares::Schema, name);
}

std::vector<std::string> derivable_schemas(Files& files, std::string_view path) {
    Walk walk(files);
    std::set<std::string> names;
    if (const auto base = walk.enter(walk.resolve(path))) {
        collect_schemas(walk, base->tree(), names);
        walk.leave();
    }
    return {names.begin(), names.end()};
}

json location_json(const Snapshot& s, const Declared& d) {
    const std::string uri = d.in_document || !d.file ? s.uri : uri_of_path(*d.file);
    return json{{"uri", uri}, {"range", range_json(d.text->range(d.name, s.client->encoding))}};
}

}  // namespace qern::lsp
