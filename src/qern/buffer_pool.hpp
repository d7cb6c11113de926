#pragma once

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

}  // namespace qern
