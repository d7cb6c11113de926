#include "qern/hash.hpp"

#include <random>

namespace qern {

namespace {

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

}  // namespace qern
