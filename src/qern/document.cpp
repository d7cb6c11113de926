#include "qern/document.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "qern/literals.hpp"
#include "qern/lookups.hpp"
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
    return find_obj_in(data_, key);
}

std::optional<std::string_view> QernDocument::find_key(std::string_view value) const {
    return data_.find_key(value);
}

std::optional<std::string_view> QernDocument::find_deep(std::string_view key) const {
    const std::size_t i = find_deep_in(data_, key);
    if (i == DataMap::npos) return std::nullopt;
    return data_.entry(i).value;
}

std::optional<std::vector<std::string_view>> QernDocument::find_list(std::string_view key) const {
    return find_list_in(data_, key);
}

std::optional<ViewMap<std::string_view>> QernDocument::find_object(std::string_view key) const {
    return find_object_in(data_, key);
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

QernDocument QernDocument::copy_declarations() const {
    QernDocument copy(*builtins_);
    copy.types_.reserve(types_.size());
    for (const auto& [name, type] : types_) copy.types_.emplace(name, type->clone());
    copy.schemas_ = SchemaRegistry(schemas_);
    return copy;
}

// Registering and removing a schema moves it, which must not fail.
static_assert(std::is_nothrow_move_constructible_v<SchemaDef> &&
              std::is_nothrow_move_assignable_v<SchemaDef>);

SchemaRegistry::SchemaRegistry(const SchemaRegistry& other)
    : schemas_(other.schemas_), next_order_(other.next_order_) {
    field_index_.reserve(other.field_index_.size());
    for (const auto& [field, owners] : other.field_index_) {
        Owners& copy = field_index_[field];
        copy.order.reserve(owners.order.size());
        for (const Owner& o : owners.order) {
            const auto schema = schemas_.find(*o.schema);
            copy.order.push_back({&schema->first, &schema->second.def.fields.find(field)->second});
        }
    }
}

const SchemaDef* SchemaRegistry::find(std::string_view name) const {
    const auto it = schemas_.find(name);
    return it == schemas_.end() ? nullptr : &it->second.def;
}

void SchemaRegistry::insert(std::string_view name, SchemaDef def) {
    auto it = schemas_.find(name);
    const bool added = it == schemas_.end();
    if (added) it = schemas_.emplace(std::string(name), Registered{{}, next_order_}).first;
    const std::string& key = it->first;
    const SchemaDef* old = added ? nullptr : &it->second.def;
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
    it->second.def = std::move(def);
    point_at_types(key, it->second.def);
    if (added) ++next_order_;
}

void SchemaRegistry::point_at_types(const std::string& name, const SchemaDef& def) noexcept {
    for (const auto& [field, type] : def.fields) {
        for (Owner& o : field_index_.find(field)->second.order)
            if (o.schema == &name) o.type = &type;
    }
}

std::optional<SchemaDef> SchemaRegistry::remove(std::string_view name) noexcept {
    const auto it = schemas_.find(name);
    if (it == schemas_.end()) return std::nullopt;
    SchemaDef& def = it->second.def;
    unindex_fields(it->first, def, nullptr, def.fields.size());
    std::optional<SchemaDef> out(std::move(def));
    schemas_.erase(it);
    return out;
}

std::vector<std::string> SchemaRegistry::names() const {
    std::vector<std::pair<std::uint64_t, const std::string*>> ordered;
    ordered.reserve(schemas_.size());
    for (const auto& [name, entry] : schemas_) ordered.emplace_back(entry.order, &name);
    std::sort(ordered.begin(), ordered.end());
    std::vector<std::string> out;
    out.reserve(ordered.size());
    for (const auto& entry : ordered) out.push_back(*entry.second);
    return out;
}

std::optional<SchemaRegistry::FieldOwner> SchemaRegistry::owner_of(std::string_view field) const {
    const auto it = field_index_.find(field);
    if (it == field_index_.end() || it->second.order.empty()) return std::nullopt;
    const Owner& first = it->second.order.front();
    return FieldOwner{*first.schema, *first.type};
}

void SchemaRegistry::set_owner(std::string_view field, std::string_view schema) noexcept {
    const auto it = field_index_.find(field);
    if (it == field_index_.end()) return;
    auto& order = it->second.order;
    const auto at = std::find_if(order.begin(), order.end(),
                                 [&](const Owner& o) { return *o.schema == schema; });
    if (at != order.end()) std::rotate(order.begin(), at, at + 1);
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
        if (it->second.order.empty()) field_index_.erase(it);
    }
}

}  // namespace qern
