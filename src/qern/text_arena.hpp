#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace qern {

// Bytes of text, copied in and never moved: a document's keys and values live here as
// views. Storage comes in chunks: the first ones double in size up to a standard size,
// then every chunk has that size, and a text too large for one gets a chunk of its own.
// A document of any size takes one allocation per 64 KiB of text instead of one per
// string, and its text sits in the order it was stored. Standard chunks an arena lets go
// are kept, up to a bound, for the next arena to take: a program that parses documents
// over and over reuses memory it has touched instead of handing it back to the system
// and faulting it in again. Nothing is freed before the arena: the map that owns it
// decides when it is worth copying the live text into a fresh one (see DataMap).
//
// take() and reserve() allocate, and give the strong guarantee: on std::bad_alloc the
// arena is as it was. After reserve(n), takes of n bytes in all allocate nothing.
class TextArena {
  public:
    TextArena() = default;
    TextArena(TextArena&& other) noexcept
        : last_(std::exchange(other.last_, nullptr)),
          next_(std::exchange(other.next_, nullptr)),
          end_(std::exchange(other.end_, nullptr)),
          held_(std::exchange(other.held_, 0)),
          used_(std::exchange(other.used_, 0)) {}
    TextArena& operator=(TextArena&& other) noexcept {
        TextArena gone(std::move(*this));
        swap(other);
        return *this;
    }
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;
    ~TextArena() { release(); }

    void swap(TextArena& other) noexcept {
        std::swap(last_, other.last_);
        std::swap(next_, other.next_);
        std::swap(end_, other.end_);
        std::swap(held_, other.held_);
        std::swap(used_, other.used_);
    }

    // `n` bytes of room, uninitialised, that stay where they are for the arena's life.
    char* take(std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - next_)) return take_new(n);
        char* at = next_;
        next_ += n;
        used_ += n;
        return at;
    }
    // Makes sure the next `n` bytes taken come from room already held.
    void reserve(std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - next_)) grow(n);
    }
    // A copy of `text` in the arena.
    std::string_view store(std::string_view text) {
        if (text.empty()) return {};
        char* at = take(text.size());
        std::memcpy(at, text.data(), text.size());
        return {at, text.size()};
    }

    // Bytes handed out by take(), and bytes held in chunks (what the arena costs).
    std::size_t used() const { return used_; }
    std::size_t held() const { return held_; }

  private:
    struct Chunk {
        Chunk* previous;
        std::size_t size;  // bytes of text after the header
    };
    static constexpr std::size_t kFirstChunk = 256;
    static constexpr std::size_t kStandardChunk = std::size_t{64} << 10;

    char* take_new(std::size_t n);
    void grow(std::size_t n);
    Chunk* new_chunk(std::size_t size);
    void release() noexcept;

    Chunk* last_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t held_ = 0;
    std::size_t used_ = 0;
};

}  // namespace qern
