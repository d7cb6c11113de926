#include "qern/hash.hpp"

#include <cstring>
#include <random>

namespace qern {

namespace {

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

// splitmix64: turns a counter into well-spread 64-bit values.
inline std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

HashSeed HashSeed::random() {
    // One OS-seeded state per thread: no shared mutable state, no lock, no syscall per map.
    thread_local std::uint64_t state = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }();
    return HashSeed{splitmix(state), splitmix(state)};
}

std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t len = bytes.size();
    SipState s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL,
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

}  // namespace qern
