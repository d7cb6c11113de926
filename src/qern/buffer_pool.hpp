#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace qern {

// Vectors kept for reuse by a walk that recurses: each level takes one while it lives and
// gives it back, emptied, with its storage, so that reading many values of one shape
// allocates once per level rather than once per value.
template <class T>
class BufferPool {
  public:
    class Buffer {
      public:
        explicit Buffer(BufferPool& pool) : pool_(pool) {
            if (!pool.free_.empty()) {
                buffer_ = std::move(pool.free_.back());
                pool.free_.pop_back();
            }
        }
        ~Buffer() {
            buffer_.clear();
            try {
                pool_.free_.push_back(std::move(buffer_));
            } catch (...) {  // out of memory: the storage is freed instead
            }
        }
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        std::vector<T>& operator*() { return buffer_; }
        std::vector<T>* operator->() { return &buffer_; }

      private:
        BufferPool& pool_;
        std::vector<T> buffer_;
    };

  private:
    std::vector<std::vector<T>> free_;
};

// `n` elements for one level of a walk, left as they are made: on the stack when there are
// at most N, in a buffer of the pool otherwise.
template <class T, std::size_t N>
class SmallBuffer {
  public:
    SmallBuffer(BufferPool<T>& pool, std::size_t n) {
        if (n <= N) return;
        pooled_.emplace(pool);
        (*pooled_)->resize(n);
        data_ = (*pooled_)->data();
    }
    SmallBuffer(const SmallBuffer&) = delete;
    SmallBuffer& operator=(const SmallBuffer&) = delete;
    T& operator[](std::size_t i) { return data_[i]; }
    T* data() { return data_; }

  private:
    T local_[N];
    std::optional<typename BufferPool<T>::Buffer> pooled_;
    T* data_ = local_;
};

}  // namespace qern
