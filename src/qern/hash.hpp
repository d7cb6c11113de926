#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace qern {

// A 128-bit key for SipHash. Every map draws its own, so iteration orders differ between
// maps and runs, and keys crafted to collide under one key are harmless under another.
struct HashSeed {
    std::uint64_t k0;
    std::uint64_t k1;
    // A fresh random seed (from a per-thread generator seeded by the OS once per thread).
    static HashSeed random();
};

// SipHash-1-3 of the bytes under the seed.
std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes);

// Hasher for the standard unordered containers, with a random seed drawn at construction
// and lookups by string_view (no temporary strings).
struct SeededHash {
    using is_transparent = void;
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::string_view s) const { return siphash13(seed, s); }
};

struct StringEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, SeededHash, StringEq>;
using StringSet = std::unordered_set<std::string, SeededHash, StringEq>;

// Makes room in a standard hash table for `n` more elements, so that inserting them as
// nodes made beforehand allocates nothing. Unlike a plain reserve(), leaves alone a table
// that has the room already, and grows geometrically.
template <class Table>
void make_room(Table& table, std::size_t n) {
    const std::size_t want = table.size() + n;
    if (static_cast<double>(want) >=
        static_cast<double>(table.max_load_factor()) * static_cast<double>(table.bucket_count()))
        table.reserve(want > table.size() * 2 ? want : table.size() * 2);
}

template <class V>
using ViewMap = std::unordered_map<std::string_view, V, SeededHash, StringEq>;
using ViewSet = std::unordered_set<std::string_view, SeededHash, StringEq>;

}  // namespace qern
