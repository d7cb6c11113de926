#include "qern/document.hpp"

#include <type_traits>
#include <utility>

#include "qern/literals.hpp"
#include "qern/parsing.hpp"
#include "qern/text.hpp"

namespace qern {

QernDocument::QernDocument(const Builtins& builtins) : builtins_(&builtins) {
    for (const auto& command : builtins.commands)
        commands_.emplace(std::string(command->name()), command);
}

Result<void> QernDocument::merge_within(std::string_view text, MergeContext& context) {
    // Restores the enclosing operation's context on every path, exceptions included.
    struct Scope {
        QernDocument& doc;
        MergeContext* saved;
        ~Scope() { doc.context_ = saved; }
    } scope{*this, std::exchange(context_, &context)};
    return merge_text(*this, text);
}

Result<void> QernDocument::merge_content(std::string_view text) {
    if (context_ != nullptr) return merge_within(text, *context_);
    return merge_source(text, {}, nullptr);
}

Result<void> QernDocument::merge_source(std::string_view text, const TextSource& source,
                                        MergeObserver* observer) {
    MergeContext context(observer);
    context.enter_text(source.file, source.id);
    auto merged = merge_within(text, context);
    context.leave_text();
    return merged;
}

Result<void> QernDocument::merge_file_observed(std::string_view path, MergeObserver* observer,
                                               std::string directory) {
    MergeContext local(observer, std::move(directory));
    MergeContext& context = context_ != nullptr ? *context_ : local;
    auto file = context.enter(path, IncludeKind::Import,
                              [](std::string reason) { return QernError::io(reason); });
    if (!file) {
        QernError error = std::move(file).error();
        Location where = context.locate_file();
        where.file = std::string(path);
        error.set_location(std::move(where));
        if (!context.recovering()) return error;
        context.report(std::move(error));
        return success();
    }
    return merge_within(file->text(), context);
}

std::optional<std::string_view> QernDocument::find_obj(std::string_view key) const {
    if (const std::string_view* value = data_.find(key)) return *value;
    return data_.find_key(key);
}

std::optional<std::string_view> QernDocument::find_key(std::string_view value) const {
    return data_.find_key(value);
}

std::optional<std::string_view> QernDocument::find_deep(std::string_view key) const {
    std::size_t current = data_.find_index(key);
    if (current == DataMap::npos) return std::nullopt;
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
            seen.resize(data_.size());
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
    std::optional<std::string_view> last;
    for (;;) {
        visit(current);
        const std::string_view v = data_.entry(current).value;
        const std::size_t next = data_.find_index(v);
        if (next != DataMap::npos && visited(next)) return last ? last : v;
        last = v;
        if (next == DataMap::npos) return v;
        current = next;
    }
}

std::optional<std::vector<std::string_view>> QernDocument::find_list(std::string_view key) const {
    const auto value = find_obj(key);
    if (!value) return std::nullopt;
    return parse_list(*value);
}

std::optional<ViewMap<std::string_view>> QernDocument::find_object(std::string_view key) const {
    const auto value = find_obj(key);
    if (!value) return std::nullopt;
    const std::string_view t = trim(*value);
    if (t.empty() || t.front() != '{' || t.back() != '}') return std::nullopt;
    InlineObject object = parse_inline_object(*value);
    if (!object.ok()) return std::nullopt;
    ViewMap<std::string_view> fields;
    for (const ObjectField& f : object.fields) fields.insert_or_assign(f.key, f.value);
    return fields;
}

std::vector<std::string_view> QernDocument::keys() const {
    std::vector<std::string_view> out;
    out.reserve(data_.size());
    data_.for_each([&](const DataMap::Entry& e) { out.push_back(e.key); });
    return out;
}

StringMap<std::string> QernDocument::to_dict() const {
    StringMap<std::string> out;
    out.reserve(data_.size());
    data_.for_each(
        [&](const DataMap::Entry& e) { out.emplace(std::string(e.key), std::string(e.value)); });
    return out;
}

// Registering and removing a schema moves it, which must not fail.
static_assert(std::is_nothrow_move_constructible_v<SchemaDef> &&
              std::is_nothrow_move_assignable_v<SchemaDef>);

const SchemaDef* SchemaRegistry::find(std::string_view name) const {
    const auto it = schemas_.find(name);
    return it == schemas_.end() ? nullptr : &it->second;
}

void SchemaRegistry::insert(std::string_view name, SchemaDef def) {
    auto it = schemas_.find(name);
    const bool added = it == schemas_.end();
    if (added) it = schemas_.emplace(std::string(name), SchemaDef{}).first;
    const std::string& key = it->first;
    const SchemaDef* old = added ? nullptr : &it->second;
    // Index the fields the old schema did not declare; if that fails, take back what was
    // indexed (the failing field included) and the new entry, which cannot fail.
    std::size_t indexed = 0;
    try {
        for (const auto& field : def.fields) {
            if (old == nullptr || old->fields.count(field.first) == 0)
                field_index_[field.first].add(&key);
            ++indexed;
        }
    } catch (...) {
        unindex_fields(key, def, old, indexed + 1);
        if (added) schemas_.erase(it);
        throw;
    }
    if (old != nullptr) unindex_fields(key, *old, &def, old->fields.size());
    it->second = std::move(def);
}

std::optional<SchemaDef> SchemaRegistry::remove(std::string_view name) noexcept {
    const auto it = schemas_.find(name);
    if (it == schemas_.end()) return std::nullopt;
    unindex_fields(it->first, it->second, nullptr, it->second.fields.size());
    std::optional<SchemaDef> def(std::move(it->second));
    schemas_.erase(it);
    return def;
}

std::vector<std::string> SchemaRegistry::names() const {
    std::vector<std::string> out;
    out.reserve(schemas_.size());
    for (const auto& entry : schemas_) out.push_back(entry.first);
    return out;
}

std::optional<SchemaRegistry::FieldOwner> SchemaRegistry::owner_of(std::string_view field) const {
    const auto it = field_index_.find(field);
    if (it == field_index_.end() || it->second.first == nullptr) return std::nullopt;
    const std::string& schema = *it->second.first;
    const SchemaDef& def = schemas_.find(schema)->second;
    return FieldOwner{schema, def.fields.find(field)->second};
}

// Takes `name` out of the owners of the first `count` fields of `def` (in its iteration
// order), except the fields `keep` declares.
void SchemaRegistry::unindex_fields(const std::string& name, const SchemaDef& def,
                                    const SchemaDef* keep, std::size_t count) noexcept {
    for (const auto& field : def.fields) {
        if (count-- == 0) break;
        if (keep != nullptr && keep->fields.count(field.first) != 0) continue;
        const auto it = field_index_.find(field.first);
        if (it == field_index_.end()) continue;
        it->second.erase(&name);
        if (it->second.all.empty()) field_index_.erase(it);
    }
}

}  // namespace qern
