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
      key_hash_(other.key_hash_),
      key_text_(std::move(other.key_text_)),
      key_bytes_(std::exchange(other.key_bytes_, 0)),
      pairs_(std::move(other.pairs_)),
      keys_index_(std::move(other.keys_index_)),
      last_holder_answers_(other.last_holder_answers_),
      answers_(std::move(other.answers_)),
      values_index_(other.values_index_.exchange(nullptr)),
      declarations_(std::move(other.declarations_)) {}

FrozenDocument::~FrozenDocument() {
    delete values_index_.load(std::memory_order_acquire);
}

void FrozenDocument::start(std::size_t n, std::size_t key_bytes) {
    if (key_bytes > std::numeric_limits<std::uint32_t>::max() ||
        n >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("a snapshot holds at most 4 GiB of keys and of each value");
    key_text_ = std::make_unique<char[]>(key_bytes == 0 ? 1 : key_bytes);
    pairs_.reserve(n);
    std::size_t capacity = 16;
    while (n * 4 > capacity * 3) capacity *= 2;
    keys_index_.assign(capacity, 0);
}

bool FrozenDocument::append(std::string_view key, std::string_view value) {
    if (value.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("a snapshot holds at most 4 GiB of keys and of each value");
    const std::uint64_t hash = hash_key(key);
    if (find_index(key, hash) != npos) return false;
    char* at = key_text_.get() + key_bytes_;
    if (!key.empty()) std::memcpy(at, key.data(), key.size());
    const std::size_t mask = keys_index_.size() - 1;
    std::size_t slot = hash & mask;
    while (keys_index_[slot] != 0) slot = (slot + 1) & mask;
    keys_index_[slot] = static_cast<std::uint32_t>(pairs_.size() + 1);
    pairs_.push_back({value.data(), static_cast<std::uint32_t>(value.size()),
                      static_cast<std::uint32_t>(key_bytes_)});
    key_bytes_ += key.size();  // where the last key ends, as entry() reads it
    return true;
}

FrozenDocument::Slots FrozenDocument::holders(bool last) const {
    Slots values(keys_index_.size(), 0);
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const std::string_view value = entry(i).value;
        const std::size_t slot = value_slot(values, value);
        if (values[slot] == 0 || last) values[slot] = make_slot(hasher_(value), i);
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
    auto values = std::make_unique<Slots>(holders(last_holder_answers_));
    for (const std::size_t answer : answers_) {
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

void FrozenDocument::take_answers(const QernDocument& doc) {
    // A document that has not built its reverse index would answer with the last pair
    // holding a value: so does the snapshot, and freezing needs no index of values.
    if (!doc.data().has_reverse_index()) {
        last_holder_answers_ = true;
        return;
    }
    // Otherwise its answers depend on its history: each value that several pairs hold
    // is asked for.
    const Slots first = holders(false);
    std::vector<bool> asked(first.size(), false);
    for (std::size_t i = 0; i < size(); ++i) {
        const std::string_view value = entry(i).value;
        const std::size_t slot = value_slot(first, value);
        if (position(first[slot]) == i || asked[slot]) continue;
        asked[slot] = true;
        const std::size_t answer = find_index(*doc.find_key(value));
        if (answer != position(first[slot])) answers_.push_back(answer);
    }
}

std::vector<std::size_t> FrozenDocument::shared_value_answers() const {
    const Slots& values = values_index();
    const Slots first = holders(false);
    std::vector<std::size_t> out;
    for (const std::uint64_t slot : values) {
        if (slot == 0) continue;
        const std::size_t answer = position(slot);
        if (position(first[value_slot(first, entry(answer).value)]) != answer)
            out.push_back(answer);
    }
    std::sort(out.begin(), out.end());
    return out;
}

Result<FrozenDocument> FrozenDocument::restore(const std::vector<Entry>& pairs,
                                               QernDocument declarations,
                                               const std::vector<std::size_t>& answers,
                                               KeyHash key_hash) {
    FrozenDocument frozen(std::move(declarations));
    frozen.key_hash_ = key_hash;
    std::size_t key_bytes = 0;
    for (const Entry& p : pairs) key_bytes += p.key.size();
    frozen.start(pairs.size(), key_bytes);
    for (const Entry& p : pairs)
        if (!frozen.append(p.key, p.value)) return QernError::invalid_value("a key comes twice");
    for (const std::size_t answer : answers)
        if (answer >= frozen.size()) return QernError::invalid_value("an answer names no pair");
    frozen.answers_ = answers;
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
