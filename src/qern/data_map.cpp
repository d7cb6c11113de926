#include "qern/data_map.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace qern {

// Entries move when the vector grows or gives room back: that must not fail, or a failed
// growth could not leave the map as it was.
static_assert(std::is_trivially_copyable_v<DataMap::Entry>);

namespace {

// Copies `text` to `at` (room for it); the view of the copy.
std::string_view place(char* at, std::string_view text) noexcept {
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
}

// An entry whose key and value are copies, side by side, in `arena`.
DataMap::Entry place_pair(TextArena& arena, std::string_view key, std::string_view value) {
    char* text = arena.take(key.size() + value.size());
    return {place(text, key), place(text + key.size(), value)};
}

}  // namespace

void DataMap::assign_hashed(std::string_view key, std::string_view value, std::uint64_t h,
                            std::unique_ptr<const ObjectListReading> reading) {
    if (slots_.empty()) rehash(16);
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = h & mask;
    for (;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) break;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const Entry& e = entries_[index_of(slot)];
            if (e.key == key) {
                replace(index_of(slot), value);
                return keep_reading(index_of(slot), std::move(reading));
            }
        }
    }
    if (entries_.size() >= kMaxEntries) throw std::length_error("too many keys");
    if (reverse_) reverse_room(*reverse_, 1, 1);
    // Key and value side by side. If what follows fails, these bytes are dead, and the
    // map is as it was.
    entries_.push_back(place_pair(arena_, key, value));
    live_bytes_ += key.size() + value.size();
    // Keep the index at most three quarters full so probe runs stay short.
    if (entries_.size() * 4 > slots_.size() * 3) {
        grow_after_append();
    } else {
        slots_[at] = make_slot(h, entries_.size() - 1);
        if (reverse_) reverse_link(*reverse_, entries_.size() - 1);
    }
    if (reading) keep_reading(entries_.size() - 1, std::move(reading));
}

// A reading is only ever a shortcut: short of memory, the entry goes without one.
void DataMap::keep_reading(std::size_t index,
                           std::unique_ptr<const ObjectListReading> reading) noexcept {
    if (index >= readings_.size()) {
        if (!reading) return;
        try {
            readings_.resize(index + 1);
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    readings_[index] = std::move(reading);
}

void DataMap::replace(std::size_t index, std::string_view value) {
    Entry& e = entries_[index];
    if (e.value == value) return;
    // A longer value is copied first, the only step here that allocates besides the
    // reverse index's room; a value that fits is written over the old one once nothing
    // can fail (it may be part of that old value: memmove).
    const bool fits = value.size() <= e.value.size();
    const std::string_view stored = fits ? std::string_view() : arena_.store(value);
    if (reverse_) {
        reverse_room(*reverse_, 0, 1);
        reverse_unlink(*reverse_, index);
    }
    live_bytes_ -= e.value.size();
    if (fits) {
        char* at = const_cast<char*>(e.value.data());  // the arena's own, writable bytes
        if (!value.empty()) std::memmove(at, value.data(), value.size());
        e.value = {at, value.size()};
    } else {
        e.value = stored;
    }
    live_bytes_ += value.size();
    if (reverse_) reverse_link(*reverse_, index);
    const std::size_t dead = arena_.used() - live_bytes_;
    if (dead > live_bytes_ && dead > kDeadBytesKept) compact();
}

// Copies the live text into a fresh arena of its exact size and lets the old one go.
// Short of memory, the old arena stays, dead bytes and all.
[[gnu::cold, gnu::noinline]] void DataMap::compact() noexcept {
    TextArena fresh;
    try {
        fresh.reserve(live_bytes_);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (Entry& e : entries_) e = place_pair(fresh, e.key, e.value);
    arena_.swap(fresh);
}

// The entry just appended has no slot yet: a larger index places it with the others.
[[gnu::cold, gnu::noinline]] void DataMap::grow_after_append() {
    try {
        rehash(slots_.size() * 2);
    } catch (...) {
        live_bytes_ -= entries_.back().key.size() + entries_.back().value.size();
        entries_.pop_back();
        throw;
    }
    if (reverse_) reverse_link(*reverse_, entries_.size() - 1);
}

std::size_t DataMap::empty_slot(std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    return at;
}

void DataMap::make_room(std::size_t n, std::size_t bytes) {
    if (n > kMaxEntries - entries_.size()) throw std::length_error("too many keys");
    if (reverse_) reverse_room(*reverse_, n, n);
    reserve(n);
    arena_.reserve(bytes);
}

void DataMap::insert_new(const Pending& pair) noexcept {
    const std::size_t at = empty_slot(pair.hash);
    entries_.push_back(place_pair(arena_, pair.key, pair.value));
    live_bytes_ += pair.key.size() + pair.value.size();
    slots_[at] = make_slot(pair.hash, entries_.size() - 1);
    if (reverse_) reverse_link(*reverse_, entries_.size() - 1);
}

std::optional<std::string_view> DataMap::find_key(std::string_view value) const {
    if (entries_.empty()) return std::nullopt;
    if (!reverse_) build_reverse();
    const std::size_t at = reverse_slot_of(*reverse_, hasher_(value), value);
    const std::uint64_t slot = reverse_->slots[at];
    if (slot == 0) return std::nullopt;
    return std::string_view(entries_[index_of(slot)].key);
}

// The slot holding `value`'s chain, or the empty slot where it would go.
std::size_t DataMap::reverse_slot_of(const ReverseIndex& r, std::uint64_t hash,
                                     std::string_view value) const {
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = r.slots.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = r.slots[at];
        if (slot == 0) return at;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const std::size_t head = index_of(slot);
            if (r.value_hash[head] == hash && entries_[head].value == value) return at;
        }
    }
}

void DataMap::build_reverse() const {
    // Built aside and installed whole, so that a failure leaves no half-built index.
    auto built = std::make_unique<ReverseIndex>();
    ReverseIndex& r = *built;
    r.slots.assign(slots_for(entries_.size()), 0);
    r.value_hash.reserve(entries_.capacity());
    r.next.reserve(entries_.capacity());
    r.prev.reserve(entries_.capacity());
    for (std::size_t i = 0; i < entries_.size(); ++i) reverse_link(r, i);
    reverse_ = std::move(built);
}

// Makes room for `entries` more entries and `values` more distinct values.
void DataMap::reverse_room(ReverseIndex& r, std::size_t entries, std::size_t values) const {
    const std::size_t want = entries_.size() + entries;
    const auto room = [want](auto& per_entry) {
        if (per_entry.capacity() < want)
            per_entry.reserve(std::max(want, per_entry.capacity() * 2));
    };
    room(r.value_hash);
    room(r.next);
    room(r.prev);
    std::size_t capacity = r.slots.size();
    while ((r.distinct + values) * 4 > capacity * 3) capacity *= 2;
    if (capacity != r.slots.size()) reverse_rehash(r, capacity);
}

void DataMap::reverse_rehash(ReverseIndex& r, std::size_t capacity) {
    std::vector<std::uint64_t> slots(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::uint64_t slot : r.slots) {
        if (slot == 0) continue;
        std::size_t at = r.value_hash[index_of(slot)] & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = slot;
    }
    r.slots.swap(slots);
}

// Adds entry `index` (already holding its value) to its value's chain. Entries are linked
// in order, so a new one is the next per-entry position; room for it was made before.
void DataMap::reverse_link(ReverseIndex& r, std::size_t index) const noexcept {
    const std::uint64_t h = hasher_(entries_[index].value);
    if (index == r.value_hash.size()) {
        r.value_hash.push_back(h);
        r.next.push_back(kNone);
        r.prev.push_back(kNone);
    }
    r.value_hash[index] = h;
    r.prev[index] = kNone;
    const std::size_t at = reverse_slot_of(r, h, entries_[index].value);
    if (r.slots[at] != 0) {
        const std::size_t head = index_of(r.slots[at]);
        r.next[index] = static_cast<std::uint32_t>(head);
        r.prev[head] = static_cast<std::uint32_t>(index);
    } else {
        r.next[index] = kNone;
        ++r.distinct;
    }
    r.slots[at] = make_slot(h, index);
}

// Takes entry `index` (still holding its old value) out of its value's chain.
void DataMap::reverse_unlink(ReverseIndex& r, std::size_t index) const noexcept {
    const std::uint32_t prev = r.prev[index], next = r.next[index];
    if (next != kNone) r.prev[next] = prev;
    if (prev != kNone) {
        r.next[prev] = next;
        return;
    }
    // The entry heads its chain: the slot moves to the next entry, or empties.
    const std::size_t mask = r.slots.size() - 1;
    std::size_t hole = reverse_slot_of(r, r.value_hash[index], entries_[index].value);
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

// The smallest index (a power of two, at least 16) that holds `entries` three quarters full.
std::size_t DataMap::slots_for(std::size_t entries) {
    std::size_t capacity = 16;
    while (entries * 4 > capacity * 3) capacity *= 2;
    return capacity;
}

void DataMap::reserve(std::size_t n) {
    // Geometric growth, so that many medium merges into one document stay linear.
    const std::size_t want = entries_.size() + n;
    if (want > entries_.capacity()) entries_.reserve(std::max(want, entries_.capacity() * 2));
    const std::size_t capacity = std::max(slots_for(want), slots_.size());
    if (capacity != slots_.size()) rehash(capacity);
}

void DataMap::give_back(Capacity before) noexcept {
    const std::size_t n = entries_.size();
    // Room up to twice the entries is what growth by doubling leaves; beyond that, and
    // beyond what the map had before, the room was reserved and not used.
    if (entries_.capacity() > std::max(before.entries, 2 * n)) {
        try {
            std::vector<Entry> fitted;
            fitted.reserve(std::max(before.entries, n));
            for (Entry& e : entries_) fitted.push_back(std::move(e));
            entries_.swap(fitted);
        } catch (const std::bad_alloc&) {
        }
    }
    const std::size_t slots = std::max(before.slots, slots_for(n));
    if (slots_.size() > 2 * slots) {
        try {
            rehash(slots);
        } catch (const std::bad_alloc&) {
        }
    }
}

void DataMap::rehash(std::size_t capacity) {
    std::vector<std::uint64_t> slots(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::uint64_t h = hasher_(entries_[i].key);
        std::size_t at = h & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = make_slot(h, i);
    }
    slots_.swap(slots);
}

}  // namespace qern
