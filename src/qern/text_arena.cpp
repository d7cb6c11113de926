#include "qern/text_arena.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <type_traits>

namespace qern {

namespace {

// Under AddressSanitizer chunks are freed, not kept, so that a view read after its
// document is gone is reported instead of reading another document's text.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QERN_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QERN_ADDRESS_SANITIZER)
constexpr bool kKeepChunks = false;
#else
constexpr bool kKeepChunks = true;
#endif

// Standard chunks let go by arenas, for the next ones: at most 16 MiB of them. One lock
// for all threads: an arena takes it once per 64 KiB of text.
//
// The pool is constant-initialized and trivially destroyed: no guard to take on first use
// and nothing to destroy at exit, while threads that parse without the GIL may still run.
// A fork waits until no thread holds the lock, so that the child does not start with it
// taken by a thread the child does not have; the handlers are registered when the library
// is loaded, before any thread can be using the pool.
class ChunkPool {
  public:
    static constexpr std::size_t kMaxChunks = 256;

    void* take() noexcept {
        if constexpr (!kKeepChunks) return nullptr;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return nullptr;
        return chunks_[--count_];
    }
    // False when the pool is full: the caller frees the chunk.
    bool give(void* chunk) noexcept {
        if constexpr (!kKeepChunks) return false;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == kMaxChunks) return false;
        chunks_[count_++] = chunk;
        return true;
    }

    void lock() noexcept { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

  private:
    std::mutex mutex_;
    std::size_t count_ = 0;
    void* chunks_[kMaxChunks] = {};
};

static_assert(std::is_trivially_destructible_v<ChunkPool>);
constinit ChunkPool pool;

struct ForkHandlers {
    ForkHandlers() {
        pthread_atfork([] { pool.lock(); }, [] { pool.unlock(); }, [] { pool.unlock(); });
    }
};
static_assert(std::is_trivially_destructible_v<ForkHandlers>);
const ForkHandlers fork_handlers;

}  // namespace

TextArena::Chunk* TextArena::new_chunk(std::size_t size) {
    void* memory = size == kStandardChunk ? pool.take() : nullptr;
    if (memory == nullptr) {
        if (size > static_cast<std::size_t>(-1) - sizeof(Chunk)) throw std::bad_alloc();
        memory = ::operator new(sizeof(Chunk) + size);
    }
    auto* chunk = static_cast<Chunk*>(memory);
    chunk->size = size;
    held_ += size;
    return chunk;
}

// `n` bytes the current chunk has no room for. A text of more than half a standard chunk
// gets a chunk of its own, and the current one keeps its room for the texts that follow;
// otherwise a new chunk becomes current, and what the old one had left (less than `n`)
// stays unused.
[[gnu::cold, gnu::noinline]] char* TextArena::take_new(std::size_t n) {
    if (n > kStandardChunk / 2 && last_ != nullptr) {
        Chunk* own = new_chunk(n);
        own->previous = last_->previous;  // behind the current chunk
        last_->previous = own;
        used_ += n;
        return reinterpret_cast<char*>(own + 1);
    }
    grow(n);
    return take(n);
}

// A new current chunk with room for at least `n` bytes.
void TextArena::grow(std::size_t n) {
    const std::size_t usual =
        held_ < kStandardChunk ? std::clamp(held_, kFirstChunk, kStandardChunk) : kStandardChunk;
    Chunk* chunk = new_chunk(std::max(n, usual));
    chunk->previous = last_;
    last_ = chunk;
    next_ = reinterpret_cast<char*>(chunk + 1);
    end_ = next_ + chunk->size;
}

void TextArena::release() noexcept {
    for (Chunk* c = last_; c != nullptr;) {
        Chunk* previous = c->previous;
        if (c->size != kStandardChunk || !pool.give(c)) ::operator delete(c);
        c = previous;
    }
    last_ = nullptr;
    next_ = end_ = nullptr;
    held_ = used_ = 0;
}

}  // namespace qern
