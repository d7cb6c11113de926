#include "cli/commands.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
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
#include "qern/text.hpp"
#include "types/typed.hpp"
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

namespace {

using Json = nlohmann::ordered_json;

// Builds the JSON of a typed walk: numbers, booleans, strings, arrays (lists, vectors and
// the rows of matrices) and objects; dates, times and durations as their ISO 8601 texts.
// JSON has no number for inf and nan: such a value stops the walk, and the sink says
// which key holds it.
class JsonSink final : public TypedSink {
  public:
    Json root;
    std::string refusal;  // why the walk was stopped

    bool on_string(std::string_view text) override { return put(std::string(text)); }
    bool on_int(std::int64_t n) override { return put(n); }
    bool on_float(double x) override {
        if (std::isfinite(x)) return put(x);
        refusal = concat("qern: key '", key_, "' holds ",
                         std::isnan(x) ? "nan" : (x > 0 ? "inf" : "-inf"),
                         ", which JSON has no number for\n");
        return false;
    }
    bool on_bool(bool b) override { return put(b); }
    bool on_date(const Date& d) override { return put(iso_text(d)); }
    bool on_datetime(const DateTime& t) override { return put(iso_text(t)); }
    bool on_duration(const Duration& d) override { return put(iso_text(d)); }
    bool begin_list() override { return open(Json::array(), 0); }
    bool end_list() override { return close(); }
    bool begin_tuple(std::size_t n) override { return open(Json::array(), n); }
    bool end_tuple() override { return close(); }
    bool begin_object(std::size_t n) override { return open(Json::object(), n); }
    bool key(std::string_view name) override {
        pending_ = std::string(name);
        if (stack_.size() == 1) key_ = pending_;
        return true;
    }
    bool end_object() override { return close(); }

  private:
    // Keys come once per object (the walk drops duplicates), so pairs go straight into the
    // object's storage: operator[] would search the ones before each time.
    Json* place(Json value) {
        if (stack_.empty()) {
            root = std::move(value);
            return &root;
        }
        Json& group = *stack_.back();
        if (group.is_array()) {
            group.get_ref<Json::array_t&>().push_back(std::move(value));
            return &group.get_ref<Json::array_t&>().back();
        }
        auto& pairs = group.get_ref<Json::object_t&>();
        pairs.emplace_back(std::move(pending_), std::move(value));
        return &pairs.back().second;
    }
    bool put(Json value) {
        place(std::move(value));
        return true;
    }
    bool open(Json group, std::size_t n) {
        Json* at = place(std::move(group));
        if (at->is_array())
            at->get_ref<Json::array_t&>().reserve(n);
        else
            at->get_ref<Json::object_t&>().reserve(n);
        stack_.push_back(at);
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }
    std::vector<Json*> stack_;
    std::string pending_;
    std::string key_;
};

}  // namespace

int run_export_typed(const std::string& path, bool sort_keys) {
    auto doc = load(path);
    if (!doc) return 1;
    JsonSink sink;
    auto converted = convert_typed_document(*doc, sink);
    if (!converted) {
        // The value's place in the file is not kept: the error names the file.
        QernError error = std::move(converted).error();
        Location where;
        where.file = path;
        error.set_location(std::move(where));
        report(error);
        return 1;
    }
    if (!sink.refusal.empty()) {
        std::fwrite(sink.refusal.data(), 1, sink.refusal.size(), stderr);
        return 1;
    }
    if (sort_keys) {
        // The pairs' keys are const: the sorted object is built anew, the values moved.
        auto& pairs = sink.root.get_ref<Json::object_t&>();
        std::vector<Json::object_t::value_type*> order;
        order.reserve(pairs.size());
        for (auto& pair : pairs) order.push_back(&pair);
        std::sort(order.begin(), order.end(),
                  [](const auto* a, const auto* b) { return a->first < b->first; });
        Json sorted = Json::object();
        auto& into = sorted.get_ref<Json::object_t&>();
        into.reserve(order.size());
        for (auto* pair : order) into.emplace_back(pair->first, std::move(pair->second));
        sink.root = std::move(sorted);
    }
    write_out(sink.root.dump(2, ' ', false, Json::error_handler_t::replace));
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
