#include "qern/frozen.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "qern/lookups.hpp"

namespace qern {

FrozenDocument::FrozenDocument(QernDocument declarations)
    : declarations_(std::move(declarations)) {}

bool FrozenDocument::index(const std::vector<Entry>& pairs) {
    std::size_t bytes = 0;
    for (const Entry& p : pairs) bytes += p.key.size();
    key_text_ = std::make_unique<char[]>(bytes == 0 ? 1 : bytes);
    entries_.reserve(pairs.size());
    std::size_t capacity = 16;
    while (pairs.size() * 4 > capacity * 3) capacity *= 2;
    keys_index_.assign(capacity, 0);
    values_index_.assign(capacity, 0);
    char* at = key_text_.get();
    const std::size_t mask = capacity - 1;
    for (const Entry& p : pairs) {
        if (!p.key.empty()) std::memcpy(at, p.key.data(), p.key.size());
        const std::string_view key(at, p.key.size());
        at += p.key.size();
        if (find_index(key) != npos) return false;
        const std::uint64_t h = hasher_(key);
        std::size_t slot = h & mask;
        while (keys_index_[slot] != 0) slot = (slot + 1) & mask;
        keys_index_[slot] = make_slot(h, entries_.size());
        entries_.push_back({key, p.value});
        // The first pair that holds a value answers for it, unless told otherwise.
        const std::uint64_t vh = hasher_(p.value);
        const std::size_t v = value_slot(vh, p.value);
        if (values_index_[v] == 0) values_index_[v] = make_slot(vh, entries_.size() - 1);
    }
    return true;
}

std::size_t FrozenDocument::value_slot(std::uint64_t hash, std::string_view value) const {
    const std::uint64_t tag = hash & kTagMask;
    const std::size_t mask = values_index_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = values_index_[at];
        if (slot == 0) return at;
        if ((slot & kTagMask) == tag && same_text(entries_[position(slot)].value, value)) return at;
    }
}

FrozenDocument FrozenDocument::freeze(const QernDocument& doc,
                                      const std::vector<std::string_view>& values) {
    std::vector<Entry> pairs;
    pairs.reserve(doc.data().size());
    doc.data().for_each_in_order([&](const DataMap::Entry& e) {
        pairs.push_back({e.key, values[pairs.size()]});
    });
    FrozenDocument frozen(doc.copy_declarations());
    frozen.index(pairs);
    // Values that several pairs hold: the document decides which key answers.
    std::vector<bool> answered(frozen.values_index_.size(), false);
    for (std::size_t i = 0; i < frozen.entries_.size(); ++i) {
        const std::string_view value = frozen.entries_[i].value;
        const std::size_t slot = frozen.value_slot(frozen.hasher_(value), value);
        if (frozen.position(frozen.values_index_[slot]) == i || answered[slot]) continue;
        answered[slot] = true;
        const std::size_t answer = frozen.find_index(*doc.find_key(value));
        frozen.values_index_[slot] = make_slot(frozen.values_index_[slot], answer);
        frozen.shared_answers_.push_back(answer);
    }
    std::sort(frozen.shared_answers_.begin(), frozen.shared_answers_.end());
    return frozen;
}

Result<FrozenDocument> FrozenDocument::restore(const std::vector<Entry>& pairs,
                                               QernDocument declarations,
                                               const std::vector<std::size_t>& answers) {
    FrozenDocument frozen(std::move(declarations));
    if (!frozen.index(pairs)) return QernError::invalid_value("a key comes twice");
    for (const std::size_t answer : answers) {
        if (answer >= frozen.entries_.size())
            return QernError::invalid_value("an answer names no pair");
        const std::string_view value = frozen.entries_[answer].value;
        const std::size_t slot = frozen.value_slot(frozen.hasher_(value), value);
        frozen.values_index_[slot] = make_slot(frozen.values_index_[slot], answer);
        frozen.shared_answers_.push_back(answer);
    }
    std::sort(frozen.shared_answers_.begin(), frozen.shared_answers_.end());
    return frozen;
}

std::optional<std::string_view> FrozenDocument::find_key(std::string_view value) const {
    if (entries_.empty()) return std::nullopt;
    const std::uint64_t slot = values_index_[value_slot(hasher_(value), value)];
    if (slot == 0) return std::nullopt;
    return entries_[position(slot)].key;
}

std::optional<std::string_view> FrozenDocument::find_obj(std::string_view key) const {
    return find_obj_in(*this, key);
}

std::optional<std::string_view> FrozenDocument::find_deep(std::string_view key) const {
    const std::size_t i = find_deep_in(*this, key);
    if (i == npos) return std::nullopt;
    return entries_[i].value;
}

std::optional<std::vector<std::string_view>> FrozenDocument::find_list(std::string_view key) const {
    return find_list_in(*this, key);
}

std::optional<ViewMap<std::string_view>> FrozenDocument::find_object(std::string_view key) const {
    return find_object_in(*this, key);
}

}  // namespace qern
