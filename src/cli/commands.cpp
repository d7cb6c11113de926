#include "cli/commands.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/analysis.hpp"
#include "cli/check.hpp"
#include "cli/render.hpp"
#include "commands/builtins.hpp"
#include "qern/diagnostic.hpp"
#include "types/types.hpp"

namespace qern::cli {

namespace {

void write_out(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Standard output flushed; a failed write (a full disk, a closed pipe) is no success.
int finish_output(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qern: could not write to standard output\n");
        return 1;
    }
    return status;
}

// Reports `error` on standard error as `qern check` shows it: place, exact text, code,
// the source line and the notes.
void report(const QernError& error) {
    analysis::Diagnostic d;
    d.code = std::string(error_code(error));
    d.message = error.display();
    if (error.location() != nullptr) d.where = *error.location();
    if (const auto* io = error.as<QernError::Io>()) d.path = io->path;
    TextStyle style;
    style.color = use_color(ColorMode::Auto, STDERR_FILENO);
    style.cwd = working_directory();
    SourceCache sources;
    const std::string text = render_text(d, sources, style);
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::optional<QernDocument> load(const std::string& path) {
    auto doc = load_document(path);
    if (!doc) {
        report(doc.error());
        return std::nullopt;
    }
    return std::move(doc).value();
}

}  // namespace

int run_get(const std::string& path, const std::string& key) {
    auto doc = load(path);
    if (!doc) return 1;
    const auto value = doc->find_obj(key);
    if (!value) {
        std::fprintf(stderr, "qern: '%s' is neither a key nor a value in %s\n",
                     escape_controls(key).c_str(), escape_controls(path).c_str());
        return 1;
    }
    write_out(*value);
    write_out("\n");
    return finish_output(0);
}

int run_keys(const std::string& path) {
    auto doc = load(path);
    if (!doc) return 1;
    std::vector<std::string_view> keys = doc->keys();
    std::sort(keys.begin(), keys.end());
    std::string out;
    for (std::string_view key : keys) {
        out.append(key);
        out += '\n';
    }
    write_out(out);
    return finish_output(0);
}

int run_export(const std::string& path, bool sort_keys) {
    auto doc = load(path);
    if (!doc) return 1;
    std::vector<const DataMap::Entry*> entries;
    entries.reserve(doc->data().size());
    doc->data().for_each_in_order([&](const DataMap::Entry& e) { entries.push_back(&e); });
    if (sort_keys) {
        std::sort(entries.begin(), entries.end(),
                  [](const auto* a, const auto* b) { return a->key < b->key; });
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    // Keys are unique, so the pairs go straight into the object's storage: inserting one
    // by one through operator[] would search the ones before it each time.
    auto& pairs = out.get_ref<nlohmann::ordered_json::object_t&>();
    pairs.reserve(entries.size());
    for (const DataMap::Entry* e : entries)
        pairs.emplace_back(std::string(e->key), std::string(e->value));
    write_out(out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    write_out("\n");
    return finish_output(0);
}

int run_validate(const std::string& type_name, const std::string& value,
                 const std::optional<std::string>& with) {
    std::optional<QernDocument> doc;
    if (with) {
        doc = load(*with);
        if (!doc) return 1;
    } else {
        doc = new_document();
    }
    auto valid = validate_value(*doc, type_name, value);
    if (!valid) {
        const std::string text = escape_controls(valid.error().display()) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        return 1;
    }
    return 0;
}

}  // namespace qern::cli
