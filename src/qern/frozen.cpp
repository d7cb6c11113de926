#include "qern/frozen.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "qern/lookups.hpp"

namespace qern {

FrozenDocument::FrozenDocument(QernDocument declarations)
    : declarations_(std::move(declarations)) {}

FrozenDocument::FrozenDocument(FrozenDocument&& other) noexcept
    : hasher_(other.hasher_),
      key_text_(std::move(other.key_text_)),
      key_bytes_(std::exchange(other.key_bytes_, 0)),
      pairs_(std::move(other.pairs_)),
      keys_index_(std::move(other.keys_index_)),
      shared_answers_(std::move(other.shared_answers_)),
      values_index_(other.values_index_.exchange(nullptr)),
      declarations_(std::move(other.declarations_)) {}

FrozenDocument::~FrozenDocument() {
    delete values_index_.load(std::memory_order_acquire);
}

bool FrozenDocument::index(const std::vector<Entry>& pairs) {
    constexpr std::size_t kLimit = std::numeric_limits<std::uint32_t>::max();
    std::size_t total = 0;
    for (const Entry& p : pairs) {
        total += p.key.size();
        if (total > kLimit || p.value.size() > kLimit)
            throw std::length_error("a snapshot holds at most 4 GiB of keys and of each value");
    }
    key_text_ = std::make_unique<char[]>(total == 0 ? 1 : total);
    pairs_.reserve(pairs.size());
    std::size_t capacity = 16;
    while (pairs.size() * 4 > capacity * 3) capacity *= 2;
    keys_index_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    std::size_t at = 0;
    for (const Entry& p : pairs) {
        if (!p.key.empty()) std::memcpy(key_text_.get() + at, p.key.data(), p.key.size());
        const std::string_view key(key_text_.get() + at, p.key.size());
        if (find_index(key) != npos) return false;
        const std::uint64_t h = hasher_(key);
        std::size_t slot = h & mask;
        while (keys_index_[slot] != 0) slot = (slot + 1) & mask;
        keys_index_[slot] = make_slot(h, pairs_.size());
        pairs_.push_back({p.value.data(), static_cast<std::uint32_t>(p.value.size()),
                          static_cast<std::uint32_t>(at)});
        at += p.key.size();
        key_bytes_ = at;  // where the last key ends, as entry() reads it
    }
    return true;
}

FrozenDocument::Slots FrozenDocument::first_holders() const {
    Slots values(keys_index_.size(), 0);
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const std::string_view value = entry(i).value;
        const std::size_t slot = value_slot(values, value);
        if (values[slot] == 0) values[slot] = make_slot(hasher_(value), i);
    }
    return values;
}

std::size_t FrozenDocument::value_slot(const Slots& values, std::string_view value) const {
    const std::uint64_t hash = hasher_(value);
    const std::uint64_t tag = hash & kTagMask;
    const std::size_t mask = values.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = values[at];
        if (slot == 0) return at;
        if ((slot & kTagMask) == tag && same_text(entry(position(slot)).value, value)) return at;
    }
}

const FrozenDocument::Slots& FrozenDocument::values_index() const {
    if (const Slots* built = values_index_.load(std::memory_order_acquire)) return *built;
    auto values = std::make_unique<Slots>(first_holders());
    for (const std::size_t answer : shared_answers_) {
        const std::size_t slot = value_slot(*values, entry(answer).value);
        (*values)[slot] = make_slot((*values)[slot], answer);
    }
    // Two threads may both build it; the first to publish wins and the other's goes.
    const Slots* expected = nullptr;
    if (values_index_.compare_exchange_strong(expected, values.get(), std::memory_order_acq_rel,
                                              std::memory_order_acquire))
        return *values.release();
    return *expected;
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
    const Slots first = frozen.first_holders();
    std::vector<bool> asked(first.size(), false);
    for (std::size_t i = 0; i < frozen.size(); ++i) {
        const std::string_view value = frozen.entry(i).value;
        const std::size_t slot = frozen.value_slot(first, value);
        if (position(first[slot]) == i || asked[slot]) continue;
        asked[slot] = true;
        frozen.shared_answers_.push_back(frozen.find_index(*doc.find_key(value)));
    }
    std::sort(frozen.shared_answers_.begin(), frozen.shared_answers_.end());
    return frozen;
}

Result<FrozenDocument> FrozenDocument::restore(const std::vector<Entry>& pairs,
                                               QernDocument declarations,
                                               const std::vector<std::size_t>& answers) {
    FrozenDocument frozen(std::move(declarations));
    if (!frozen.index(pairs)) return QernError::invalid_value("a key comes twice");
    for (const std::size_t answer : answers)
        if (answer >= frozen.size()) return QernError::invalid_value("an answer names no pair");
    frozen.shared_answers_ = answers;
    std::sort(frozen.shared_answers_.begin(), frozen.shared_answers_.end());
    return frozen;
}

std::optional<std::string_view> FrozenDocument::find_key(std::string_view value) const {
    if (pairs_.empty()) return std::nullopt;
    const Slots& values = values_index();
    const std::uint64_t slot = values[value_slot(values, value)];
    if (slot == 0) return std::nullopt;
    return entry(position(slot)).key;
}

std::optional<std::string_view> FrozenDocument::find_obj(std::string_view key) const {
    return find_obj_in(*this, key);
}

std::optional<std::string_view> FrozenDocument::find_deep(std::string_view key) const {
    const std::size_t i = find_deep_in(*this, key);
    if (i == npos) return std::nullopt;
    return entry(i).value;
}

std::optional<std::vector<std::string_view>> FrozenDocument::find_list(std::string_view key) const {
    return find_list_in(*this, key);
}

std::optional<ViewMap<std::string_view>> FrozenDocument::find_object(std::string_view key) const {
    return find_object_in(*this, key);
}

}  // namespace qern
