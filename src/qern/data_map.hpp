#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qern/hash.hpp"
#include "qern/reading.hpp"
#include "qern/text_arena.hpp"

namespace qern {

// The document's key/value map: string keys to string values, hashed with a per-map
// random SipHash seed. Pairs live in one dense vector; an open-addressing index of
// (hash tag, position) slots points into it. Iteration follows the index, so its order
// is the hash order under this map's seed: unspecified, and different for every map.
// Keys are never removed; assigning an existing key replaces its value in place.
//
// The text of keys and values lives in the map's arena, in the order it was stored; an
// entry holds views into it. A value replaced by one no longer than it is overwritten
// where it stands; a longer one goes to the end of the arena and its old bytes are dead.
// Once dead bytes outnumber live ones, the live text is copied into a fresh arena, so the
// memory a map holds follows what it stores. Views of a map's keys and values are valid
// until its next assignment.
//
// Every change is all or nothing: what it needs is allocated first, and a failure to
// allocate (std::bad_alloc) leaves the map, its index and its reverse index as they were.
class DataMap {
  public:
    // The key's hash is not kept: a slot of the index holds its upper half, which a
    // lookup compares first, and a rehash, rare, computes it again.
    struct Entry {
        std::string_view key;
        std::string_view value;
    };
    // A pair to insert with insert_new(): its text is copied in then.
    struct Pending {
        std::string_view key;
        std::string_view value;
        std::uint64_t hash;
    };

    DataMap() = default;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    const std::string_view* find(std::string_view key) const {
        const std::size_t i = find_index(key);
        return i == npos ? nullptr : &entries_[i].value;
    }
    // The position of the key's entry (stable: entries are never removed), or npos.
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Inline: it is most of every lookup.
    std::size_t find_index(std::string_view key) const {
        if (entries_.empty()) return npos;
        const std::uint64_t h = hasher_(key);
        const std::uint64_t tag = h & 0xFFFFFFFF00000000ULL;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = h & mask;; at = (at + 1) & mask) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0) return npos;
            if ((slot & 0xFFFFFFFF00000000ULL) == tag) {
                const Entry& e = entries_[index_of(slot)];
                if (same_text(e.key, key)) return index_of(slot);
            }
        }
    }
    const Entry& entry(std::size_t index) const { return entries_[index]; }
    bool contains(std::string_view key) const { return find(key) != nullptr; }

    // Makes room for `n` more entries, so that a large merge neither rehashes nor moves
    // its entries as it goes.
    void reserve(std::size_t n);

    // The room the map holds: entries, and slots of the index.
    struct Capacity {
        std::size_t entries = 0;
        std::size_t slots = 0;
    };
    Capacity capacity() const { return {entries_.capacity(), slots_.size()}; }
    // Gives back room taken since `before` that the entries do not need, keeping what
    // geometric growth would have left. Never fails: short of memory, the room stays.
    void give_back(Capacity before) noexcept;

    // Room for `n` more entries for the span of one merge: what the merge leaves unused is
    // given back when it ends, however it ends.
    class Reservation {
      public:
        Reservation(DataMap& map, std::size_t n) : map_(map), before_(map.capacity()) {
            if (n == 0) return;
            try {
                map.reserve(n);
            } catch (...) {
                map.give_back(before_);
                throw;
            }
        }
        ~Reservation() { map_.give_back(before_); }
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;

      private:
        DataMap& map_;
        Capacity before_;
    };

    // Stores the pair; an existing key keeps its place and gets the new value.
    void assign(std::string_view key, std::string_view value) {
        assign_hashed(key, value, hasher_(key));
    }
    // The same, with the key's hash() already computed, and what the check of the value
    // read of it, if anything: a reading of `value` itself, which the entry then keeps.
    void assign_hashed(std::string_view key, std::string_view value, std::uint64_t hash,
                       std::unique_ptr<const ObjectListReading> reading = nullptr);

    // The reading the entry at `index` keeps of its value, or null. A new value of the
    // entry drops it: it only ever describes the text the entry holds.
    const ObjectListReading* reading(std::size_t index) const {
        return index < readings_.size() ? readings_[index].get() : nullptr;
    }

    // For changes to several maps that must all happen or none: make_room(n, bytes)
    // allocates all that `n` new keys with `bytes` of text in all need; insert_new() then
    // stores a pair (its hash from hash()) for a key not in the map, allocating nothing.
    void make_room(std::size_t n, std::size_t bytes);
    void insert_new(const Pending& pair) noexcept;

    // Bytes of text the entries hold, and bytes the arena holds for them.
    std::size_t text_bytes() const { return live_bytes_; }
    std::size_t arena_bytes() const { return arena_.held(); }

    std::uint64_t hash(std::string_view key) const { return hasher_(key); }
    // Starts loading the index slot where a key of this hash is looked for, so that a
    // caller with other work to do first does not wait on it later.
    void prefetch(std::uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
    }

    // The key of some entry whose value equals `value` byte for byte. The first call
    // builds a reverse index (value to entries); later assignments keep it exact.
    std::optional<std::string_view> find_key(std::string_view value) const;
    // Whether that index is built. Until it is, find_key would answer for a value that
    // several entries hold with the last of them (the index links them in order, each
    // ahead of the ones before).
    bool has_reverse_index() const { return reverse_ != nullptr; }

    // Visits every entry in the map's iteration order.
    template <class F>
    void for_each(F&& f) const {
        const std::size_t n = slots_.size();
        for (std::size_t at = 0; at < n; ++at) {
            // Entries sit in insertion order while slots follow the hash: fetch ahead so
            // that the scattered reads overlap instead of waiting one by one.
            if (at + kAhead < n && slots_[at + kAhead] != 0)
                __builtin_prefetch(&entries_[index_of(slots_[at + kAhead])]);
            if (slots_[at] != 0) f(entries_[index_of(slots_[at])]);
        }
    }

    // Visits every entry in the order of its key's first assignment.
    template <class F>
    void for_each_in_order(F&& f) const {
        for (const Entry& e : entries_) f(e);
    }

    // Visits every entry in an order drawn afresh for each call, unrelated to for_each's
    // and to insertion order at large: small maps take a reseeded walk of the index; large
    // ones visit runs of 64 adjacent entries, each entered at a random place, in a random
    // order of runs, so that reads stay mostly sequential.
    template <class F>
    void for_each_reseeded(F&& f) const {
        const std::size_t n = entries_.size();
        if (n == 0) return;
        const HashSeed draw = HashSeed::random();
        if (n < 4096) {
            const std::size_t mask = slots_.size() - 1;
            const std::size_t step = (draw.k1 | 1) & mask;  // odd: visits every slot once
            for (std::size_t i = 0, at = draw.k0 & mask; i <= mask; ++i, at = (at + step) & mask)
                if (slots_[at] != 0) f(entries_[index_of(slots_[at])]);
            return;
        }
        const std::size_t runs = (n + kRunLength - 1) / kRunLength;
        std::size_t span = 1;
        while (span < runs) span *= 2;
        const std::size_t step = (draw.k1 | 1) & (span - 1);
        for (std::size_t i = 0, r = draw.k0 & (span - 1); i < span;
             ++i, r = (r + step) & (span - 1)) {
            if (r >= runs) continue;
            const std::size_t begin = r * kRunLength;
            const std::size_t len = std::min(kRunLength, n - begin);
            const std::size_t start = (draw.k0 >> 32) % len;
            // From the entry point to the end of the run, then from its start: no division
            // per entry.
            for (std::size_t k = start; k < len; ++k) f(entries_[begin + k]);
            for (std::size_t k = 0; k < start; ++k) f(entries_[begin + k]);
        }
    }

  private:
    static constexpr std::size_t kAhead = 8;
    static constexpr std::size_t kRunLength = 64;
    // Dead bytes a small map keeps rather than copy its text for so little.
    static constexpr std::size_t kDeadBytesKept = 4096;
    static std::size_t index_of(std::uint64_t slot) {
        return static_cast<std::size_t>(slot & 0xFFFFFFFFu) - 1;
    }
    static std::uint64_t make_slot(std::uint64_t hash, std::size_t index) {
        return (hash & 0xFFFFFFFF00000000ULL) | static_cast<std::uint64_t>(index + 1);
    }
    // Entry positions must fit the 32 bits of a slot and of the reverse chains.
    static constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;
    static std::size_t slots_for(std::size_t entries);
    void rehash(std::size_t capacity);
    void replace(std::size_t index, std::string_view value);
    void keep_reading(std::size_t index, std::unique_ptr<const ObjectListReading> reading) noexcept;
    void compact() noexcept;
    void grow_after_append();
    std::size_t empty_slot(std::uint64_t hash) const;

    // The reverse index: one slot per distinct value, pointing at the head of a doubly
    // linked chain of the entries that hold it. Built on first use, so parsing does not
    // pay for it; from then on assign() keeps it exact. Linking and unlinking allocate
    // nothing: reverse_room() makes room first.
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    struct ReverseIndex {
        std::vector<std::uint64_t> slots;       // (hash tag | head + 1), 0 = empty
        std::vector<std::uint64_t> value_hash;  // per entry
        std::vector<std::uint32_t> next, prev;  // per entry, along its value's chain
        std::size_t distinct = 0;
    };
    void build_reverse() const;
    void reverse_room(ReverseIndex& r, std::size_t entries, std::size_t values) const;
    void reverse_link(ReverseIndex& r, std::size_t index) const noexcept;
    void reverse_unlink(ReverseIndex& r, std::size_t index) const noexcept;
    std::size_t reverse_slot_of(const ReverseIndex& r, std::uint64_t hash,
                                std::string_view value) const;
    static void reverse_rehash(ReverseIndex& r, std::size_t capacity);

    SeededHash hasher_;
    TextArena arena_;
    std::size_t live_bytes_ = 0;  // of keys and values in entries_; the rest of the arena is dead
    std::vector<Entry> entries_;
    std::vector<std::uint64_t> slots_;  // 0 = empty; capacity is a power of two
    mutable std::unique_ptr<ReverseIndex> reverse_;
    // By entry, what the check of its value read of it; as long as the last entry that
    // has one.
    std::vector<std::unique_ptr<const ObjectListReading>> readings_;
};

}  // namespace qern
