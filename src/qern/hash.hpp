#pragma once

#include <cstdint>
#include <cstring>
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

namespace detail {

inline std::uint64_t rotl(std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

}  // namespace detail

// SipHash-1-3 of the bytes under the seed. Inline: every lookup starts with it.
inline std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t len = bytes.size();
    detail::SipState s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL,
                       seed.k0 ^ 0x6c7967656e657261ULL, seed.k1 ^ 0x7465646279746573ULL};
    const std::size_t whole = len & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t m;
        std::memcpy(&m, in + i, 8);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    std::uint64_t last = static_cast<std::uint64_t>(len) << 56;
    for (std::size_t i = whole; i < len; ++i)
        last |= static_cast<std::uint64_t>(in[i]) << (8 * (i - whole));
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Hasher for the standard unordered containers, with a random seed drawn at construction
// and lookups by string_view (no temporary strings).
struct SeededHash {
    using is_transparent = void;
    HashSeed seed = HashSeed::random();
    std::size_t operator()(std::string_view s) const { return siphash13(seed, s); }
};

namespace detail {

// The two texts of length n (between sizeof(Word) and twice that) compared as their first
// and their last Word, which overlap.
template <class Word>
inline bool same_ends(const char* a, const char* b, std::size_t n) {
    Word a0, a1, b0, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

}  // namespace detail

// The bytes of a text of at most eight bytes as one word, the first byte lowest and zeros
// past the last: two texts of one length hold the same bytes exactly when their words are
// equal. Read with fixed-size loads, which overlap, so that no copy of a variable length
// stands between the text and the word.
inline std::uint64_t short_text_word(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return std::uint64_t{lo} | std::uint64_t{hi} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return std::uint64_t{p[0]} | std::uint64_t{p[n / 2]} << (8 * (n / 2)) |
           std::uint64_t{p[n - 1]} << (8 * (n - 1));
}

// Whether the two texts hold the same bytes. Texts of 4 to 16 bytes, the usual keys and
// field names, are compared as two overlapping words each, without a call.
inline bool same_text(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n >= 8 && n <= 16) return detail::same_ends<std::uint64_t>(a.data(), b.data(), n);
    if (n >= 4 && n < 8) return detail::same_ends<std::uint32_t>(a.data(), b.data(), n);
    return n == 0 || std::memcmp(a.data(), b.data(), n) == 0;
}

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
