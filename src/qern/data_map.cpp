#include "qern/data_map.hpp"

#include <stdexcept>

namespace qern {

const std::string* DataMap::find(std::string_view key) const {
    if (entries_.empty()) return nullptr;
    const std::uint64_t h = hasher_(key);
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) return nullptr;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            const Entry& e = entries_[index_of(slot)];
            if (e.hash == h && e.key == key) return &e.value;
        }
    }
}

void DataMap::assign(std::string_view key, std::string_view value) {
    // Keep the index at most three quarters full so probe runs stay short.
    if ((entries_.size() + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t h = hasher_(key);
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = h & mask;
    for (;; at = (at + 1) & mask) {
        const std::uint64_t slot = slots_[at];
        if (slot == 0) break;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
            Entry& e = entries_[index_of(slot)];
            if (e.hash == h && e.key == key) {
                e.value = std::string(value);  // exact size, never a grown buffer
                return;
            }
        }
    }
    if (entries_.size() >= 0xFFFFFFFEu) throw std::length_error("too many keys");
    entries_.push_back(Entry{std::string(key), std::string(value), h});
    slots_[at] = make_slot(h, entries_.size() - 1);
}

std::optional<std::string_view> DataMap::find_key(std::string_view value) const {
    for (std::uint64_t slot : slots_) {
        if (slot == 0) continue;
        const Entry& e = entries_[index_of(slot)];
        if (e.value == value) return std::string_view(e.key);
    }
    return std::nullopt;
}

void DataMap::grow() {
    const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
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
