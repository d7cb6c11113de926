#include "qern/data_map.hpp"

#include <algorithm>
#include <stdexcept>

namespace qern {

std::size_t DataMap::find_index(std::string_view key) const {
    if (entries_.empty()) return npos;
    const std::uint64_t h = hasher_(key);
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) return npos;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const Entry& e = entries_[index_of(slot)];
            if (e.hash == h && e.key == key) return index_of(slot);
        }
    }
}

void DataMap::assign_hashed(std::string_view key, std::string_view value, std::uint64_t h) {
    // Keep the index at most three quarters full so probe runs stay short.
    if ((entries_.size() + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = h & mask;
    for (;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) break;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            Entry& e = entries_[index_of(slot)];
            if (e.hash == h && e.key == key) {
                if (e.value == value) return;
                const std::size_t index = index_of(slot);
                if (reverse_) reverse_unlink(index);
                e.value = std::string(value);  // exact size, never a grown buffer
                if (reverse_) reverse_link(index);
                return;
            }
        }
    }
    if (entries_.size() >= 0xFFFFFFFEu) throw std::length_error("too many keys");
    entries_.emplace_back(key, value, h);
    slots_[at] = make_slot(h, entries_.size() - 1);
    if (reverse_) reverse_link(entries_.size() - 1);
}

std::optional<std::string_view> DataMap::find_key(std::string_view value) const {
    if (entries_.empty()) return std::nullopt;
    if (!reverse_) build_reverse();
    const std::size_t at = reverse_slot_of(hasher_(value), value);
    const std::uint64_t slot = reverse_->slots[at];
    if (slot == 0) return std::nullopt;
    return std::string_view(entries_[index_of(slot)].key);
}

// The slot holding `value`'s chain, or the empty slot where it would go.
std::size_t DataMap::reverse_slot_of(std::uint64_t hash, std::string_view value) const {
    const auto& slots = reverse_->slots;
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots[at];
        if (slot == 0) return at;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const std::size_t head = index_of(slot);
            if (reverse_->value_hash[head] == hash && entries_[head].value == value) return at;
        }
    }
}

void DataMap::build_reverse() const {
    reverse_ = std::make_unique<ReverseIndex>();
    ReverseIndex& r = *reverse_;
    std::size_t capacity = 16;
    while (capacity * 3 < entries_.size() * 4) capacity *= 2;
    r.slots.assign(capacity, 0);
    r.value_hash.reserve(entries_.capacity());
    r.next.reserve(entries_.capacity());
    r.prev.reserve(entries_.capacity());
    for (std::size_t i = 0; i < entries_.size(); ++i) reverse_link(i);
}

void DataMap::reverse_grow() const {
    ReverseIndex& r = *reverse_;
    std::vector<std::uint64_t> slots(r.slots.size() * 2, 0);
    const std::size_t mask = slots.size() - 1;
    for (std::uint64_t slot : r.slots) {
        if (slot == 0) continue;
        std::size_t at = r.value_hash[index_of(slot)] & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = slot;
    }
    r.slots.swap(slots);
}

// Adds entry `index` (already holding its value) to its value's chain.
void DataMap::reverse_link(std::size_t index) const {
    ReverseIndex& r = *reverse_;
    const std::uint64_t h = hasher_(entries_[index].value);
    if (index >= r.value_hash.size()) {
        r.value_hash.resize(index + 1);
        r.next.resize(index + 1, kNone);
        r.prev.resize(index + 1, kNone);
    }
    r.value_hash[index] = h;
    r.prev[index] = kNone;
    std::size_t at = reverse_slot_of(h, entries_[index].value);
    if (r.slots[at] != 0) {
        const std::size_t head = index_of(r.slots[at]);
        r.next[index] = static_cast<std::uint32_t>(head);
        r.prev[head] = static_cast<std::uint32_t>(index);
    } else {
        r.next[index] = kNone;
        if ((r.distinct + 1) * 4 > r.slots.size() * 3) {
            reverse_grow();
            at = reverse_slot_of(h, entries_[index].value);
        }
        ++r.distinct;
    }
    r.slots[at] = make_slot(h, index);
}

// Takes entry `index` (still holding its old value) out of its value's chain.
void DataMap::reverse_unlink(std::size_t index) const {
    ReverseIndex& r = *reverse_;
    const std::uint32_t prev = r.prev[index], next = r.next[index];
    if (next != kNone) r.prev[next] = prev;
    if (prev != kNone) {
        r.next[prev] = next;
        return;
    }
    // The entry heads its chain: the slot moves to the next entry, or empties.
    const std::size_t mask = r.slots.size() - 1;
    std::size_t hole = reverse_slot_of(r.value_hash[index], entries_[index].value);
    if (next != kNone) {
        r.slots[hole] = make_slot(r.value_hash[index], next);
        return;
    }
    --r.distinct;
    // Backward-shift deletion keeps linear probing free of tombstones.
    for (std::size_t at = (hole + 1) & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = r.slots[at];
        if (slot == 0) break;
        const std::size_t home = r.value_hash[index_of(slot)] & mask;
        // The slot may fill the hole unless its home lies cyclically in (hole, at].
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            r.slots[hole] = slot;
            hole = at;
        }
    }
    r.slots[hole] = 0;
}

void DataMap::grow() {
    rehash(slots_.empty() ? 16 : slots_.size() * 2);
}

void DataMap::reserve(std::size_t n) {
    // Geometric growth, so that many medium merges into one document stay linear.
    const std::size_t want = entries_.size() + n;
    if (want > entries_.capacity()) entries_.reserve(std::max(want, entries_.capacity() * 2));
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while (want * 4 > capacity * 3) capacity *= 2;
    if (capacity != slots_.size()) rehash(capacity);
}

void DataMap::rehash(std::size_t capacity) {
    std::vector<std::uint64_t> slots(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        std::size_t at = entries_[i].hash & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = make_slot(entries_[i].hash, i);
    }
    slots_.swap(slots);
}

}  // namespace qern
