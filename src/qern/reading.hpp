#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace qern {

// How a list of inline objects was read: each item and each of its fields (key and
// value), by where they lie in the list's text. A check that reads a value this way keeps
// it with the value, so that a later conversion of the same text does not read it again.
// Places are offsets, so the reading holds wherever the text is copied to.
//
// It is one array of 32-bit words, grown by realloc, which moves the pages of a large
// array rather than copy them: per item its offset in the list, its size and its number
// of fields, then per field the offset and size of its key and of its value within the
// item, 16 bits each.
class ObjectListReading {
  public:
    ObjectListReading() = default;
    ~ObjectListReading() { std::free(words_); }
    ObjectListReading(const ObjectListReading&) = delete;
    ObjectListReading& operator=(const ObjectListReading&) = delete;

    // Records the next item of the list `list` with its fields, all views into `list`.
    // False when some view lies outside its item, the item or the list is too long for
    // the offsets, or memory runs out: the reading is then of no use.
    template <class Fields>
    bool add(std::string_view list, std::string_view item, const Fields& fields) {
        std::size_t at;
        if (list.size() > kMaxList || item.size() > kMaxItem || !offset_in(list, item, at))
            return false;
        if (!room(3 + 2 * fields.size())) return false;
        std::uint32_t* w = words_ + size_;
        *w++ = static_cast<std::uint32_t>(at);
        *w++ = static_cast<std::uint32_t>(item.size());
        *w++ = static_cast<std::uint32_t>(fields.size());
        for (const auto& f : fields) {
            if (!place_in(item, f.key, *w++) || !place_in(item, f.value, *w++)) return false;
        }
        size_ = static_cast<std::size_t>(w - words_);
        return true;
    }

    // Gives back the room the array does not use, once the reading is complete.
    void fit() {
        if (size_ == capacity_ || size_ == 0) return;
        if (void* fitted = std::realloc(words_, size_ * sizeof(std::uint32_t))) {
            words_ = static_cast<std::uint32_t*>(fitted);
            capacity_ = size_;
        }
    }

    // For each item in order: field(key, value) for each of its fields, then f(item),
    // until f returns false. `list` is the text the reading was made of, wherever it now
    // lies.
    template <class Field, class F>
    void replay(std::string_view list, Field&& field, F&& f) const {
        for (const std::uint32_t* w = words_; w != words_ + size_;) {
            const std::string_view item = list.substr(w[0], w[1]);
            const std::uint32_t n = w[2];
            w += 3;
            for (std::uint32_t k = 0; k < n; ++k, w += 2) field(part(item, w[0]), part(item, w[1]));
            if (!f(item)) return;
        }
    }

  private:
    static constexpr std::size_t kMaxList = 0xFFFFFFFFu;
    static constexpr std::size_t kMaxItem = 0xFFFFu;

    // Where `part` starts in `outer`, when it lies wholly inside it.
    static bool offset_in(std::string_view outer, std::string_view part, std::size_t& offset) {
        const auto base = reinterpret_cast<std::uintptr_t>(outer.data());
        const auto at = reinterpret_cast<std::uintptr_t>(part.data());
        if (part.size() > outer.size() || at < base || at - base > outer.size() - part.size())
            return false;
        offset = static_cast<std::size_t>(at - base);
        return true;
    }

    // A part of an item as one word: its offset in the upper half, its size in the lower.
    static bool place_in(std::string_view item, std::string_view part, std::uint32_t& word) {
        std::size_t at = 0;
        if (!part.empty() && !offset_in(item, part, at)) return false;
        word = static_cast<std::uint32_t>(at << 16 | part.size());
        return true;
    }
    static std::string_view part(std::string_view item, std::uint32_t word) {
        return item.substr(word >> 16, word & 0xFFFFu);
    }

    bool room(std::size_t more) {
        if (capacity_ - size_ >= more) return true;
        std::size_t capacity = capacity_ < 1024 ? 1024 : capacity_ * 2;
        while (capacity - size_ < more) capacity *= 2;
        void* grown = std::realloc(words_, capacity * sizeof(std::uint32_t));
        if (grown == nullptr) return false;
        words_ = static_cast<std::uint32_t*>(grown);
        capacity_ = capacity;
        return true;
    }

    std::uint32_t* words_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace qern
