#include "analysis/analysis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <utility>

#include "analysis/checks.hpp"
#include "commands/builtins.hpp"
#include "qern/diagnostic.hpp"
#include "qern/hash.hpp"
#include "qern/merge_context.hpp"
#include "qern/rules.hpp"
#include "qern/text.hpp"

namespace qern::analysis {

namespace {

std::string place_text(const Location& where) {
    std::string out = where.file.value_or("<string>");
    if (where.line != 0) out += concat(":", std::to_string(where.line));
    return out;
}

// Watches the merge of one checked file: every failing line and the strict warnings.
class Checker final : public MergeObserver {
  public:
    Checker(const Options& options, Analysis& out)
        : options_(options), out_(out), checks_(options.strict, out) {}

    bool recover() const override { return true; }

    void on_error(const MergeContext& context, QernError error) override {
        if (checks_.knock_on(context, error)) return;
        Diagnostic d;
        d.code = std::string(error_code(error));
        d.message = error.display();
        d.where = error.location() != nullptr ? *error.location() : context.locate_file();
        if (const auto* io = error.as<QernError::Io>()) d.path = io->path;
        checks_.explain(context, error, d);
        out_.diagnostics.push_back(std::move(d));
    }

    void on_failed_schema(const MergeContext& context, const QernDocument&,
                          const SchemaSyntax& syntax) override {
        checks_.on_failed_schema(context, syntax);
    }

    void on_derive(const MergeContext&, const QernDocument&, const QernDocument& base) override {
        checks_.on_derive(base);
    }

    void on_assignment(const MergeContext& context, const QernDocument& doc, std::string_view key,
                       std::string_view /*value*/, const SourceLine& where, bool checked) override {
        checks_.on_assignment(context, doc, key, where, checked);
        if (!options_.strict || &doc != &out_.document) return;
        const Location at = context.locate(where, key);
        auto& seen = keys_by_file_[context.file_serial()];
        const auto earlier = seen.find(key);
        if (earlier != seen.end()) {
            warn("duplicate-key",
                 concat("Key '", key, "' is assigned again in this file: the later value wins"), at,
                 {{earlier->second, "first assigned here"}});
            earlier->second = at;
        } else {
            seen.emplace(std::string(key), at);
        }
        if (checked) {
            unchecked_.erase(std::string(key));
            pending_unchecked_.erase(std::string(key));
        } else {
            unchecked_.insert_or_assign(std::string(key), at);
        }
    }

    void on_type(const MergeContext& context, const QernDocument& doc, std::string_view name,
                 std::string_view definition) override {
        checks_.on_type(context, name, definition);
        if (!options_.strict || &doc != &out_.document) return;
        const Location at = context.locate(context.statement(), name);
        if (doc.types().find(name) != doc.types().end()) {
            std::vector<Related> related;
            if (auto it = types_.find(name); it != types_.end())
                related.push_back({it->second, "the replaced definition"});
            warn("redefined-type",
                 concat("Type '", name,
                        "' is declared again: this definition replaces the earlier one"),
                 at, std::move(related));
        }
        types_.insert_or_assign(std::string(name), at);
    }

    void on_schema(const MergeContext& context, const QernDocument& doc, const SchemaSyntax& syntax,
                   const SchemaDef& def) override {
        checks_.on_schema(context, syntax);
        if (!options_.strict || &doc != &out_.document) return;
        const std::string_view name = syntax.name;
        const Location at = context.locate(context.statement(), name);
        if (doc.schemas().contains(name)) {
            std::vector<Related> related;
            if (auto it = schemas_.find(name); it != schemas_.end())
                related.push_back({it->second, "the replaced declaration"});
            warn("redefined-schema",
                 concat("Schema '", name,
                        "' is declared again: this declaration replaces the earlier one wholly"),
                 at, std::move(related));
        }
        schemas_.insert_or_assign(std::string(name), at);
        std::vector<std::string> names;
        for (const auto& field : def.fields) names.push_back(field.first);
        std::sort(names.begin(), names.end());
        for (const std::string& field : names) {
            const std::string& type = def.fields.find(field)->second;
            if (auto owner = doc.schemas().owner_of(field);
                owner && owner->schema != name && owner->type != type) {
                warn("field-type-conflict",
                     concat("Field '", field, "' is declared as '", type, "' here and as '",
                            owner->type, "' in schema '", owner->schema,
                            "': only one of them checks assignments to the key"),
                     at);
            }
            if (auto it = unchecked_.find(field); it != unchecked_.end()) {
                Diagnostic d;
                d.severity = Severity::Warning;
                d.code = "unchecked-key";
                d.message = concat("Key '", field, "' is assigned before schema '", name,
                                   "' declares it, so its value is never checked");
                d.where = it->second;
                d.related.push_back({at, concat("schema '", name, "' declares it here")});
                // The first schema that declares it is the one to point at.
                pending_unchecked_.try_emplace(field, std::move(d));
            }
        }
    }

    // Warnings that only the end of the merge can confirm.
    void finish() {
        checks_.finish();
        std::vector<std::pair<std::string, Diagnostic>> pending(pending_unchecked_.begin(),
                                                                pending_unchecked_.end());
        std::sort(pending.begin(), pending.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& entry : pending) out_.diagnostics.push_back(std::move(entry.second));
    }

  private:
    void warn(std::string_view code, std::string message, const Location& at,
              std::vector<Related> related = {}) {
        Diagnostic d;
        d.severity = Severity::Warning;
        d.code = std::string(code);
        d.message = std::move(message);
        d.where = at;
        for (Related& r : related) {
            if (r.message.empty()) r.message = place_text(r.where);
            d.related.push_back(std::move(r));
        }
        out_.diagnostics.push_back(std::move(d));
    }

    const Options& options_;
    Analysis& out_;
    std::map<std::uint32_t, StringMap<Location>> keys_by_file_;
    StringMap<Location> unchecked_;
    StringMap<Diagnostic> pending_unchecked_;
    StringMap<Location> types_;
    StringMap<Location> schemas_;
    Checks checks_;
};

void finish(Checker& checker, Analysis& analysis, Result<void> merged) {
    if (!merged) {
        // A recovering merge reports its errors as it goes; anything else is kept too.
        Diagnostic d;
        d.code = std::string(error_code(merged.error()));
        d.message = merged.error().display();
        if (merged.error().location() != nullptr) d.where = *merged.error().location();
        if (const auto* io = merged.error().as<QernError::Io>()) d.path = io->path;
        analysis.diagnostics.push_back(std::move(d));
    }
    checker.finish();
    std::stable_sort(analysis.diagnostics.begin(), analysis.diagnostics.end(),
                     [](const Diagnostic& a, const Diagnostic& b) {
                         return position_in_checked_file(a) < position_in_checked_file(b);
                     });
}

}  // namespace

std::size_t Analysis::errors() const {
    return static_cast<std::size_t>(
        std::count_if(diagnostics.begin(), diagnostics.end(),
                      [](const Diagnostic& d) { return d.severity == Severity::Error; }));
}

std::size_t Analysis::warnings() const {
    return diagnostics.size() - errors();
}

std::pair<std::size_t, std::size_t> position_in_checked_file(const Diagnostic& d) {
    if (!d.where.chain.empty()) return {d.where.chain.front().line, 0};
    return {d.where.line, d.where.column};
}

Analysis analyze_file(std::string_view path, const Options& options, const std::string& directory) {
    Analysis analysis{{}, new_document()};
    Checker checker(options, analysis);
    auto merged = analysis.document.merge_file_observed(path, &checker, directory);
    finish(checker, analysis, std::move(merged));
    return analysis;
}

Analysis analyze_text(std::string_view text, std::optional<std::string> path,
                      const Options& options) {
    Analysis analysis{{}, new_document()};
    Checker checker(options, analysis);
    QernDocument::TextSource source;
    if (path) {
        struct stat st;
        if (::stat(path->c_str(), &st) == 0)
            source.id = FileId{static_cast<std::uint64_t>(st.st_dev),
                               static_cast<std::uint64_t>(st.st_ino)};
    }
    source.file = std::move(path);
    auto merged = analysis.document.merge_source(text, source, &checker);
    finish(checker, analysis, std::move(merged));
    return analysis;
}

}  // namespace qern::analysis
