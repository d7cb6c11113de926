#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "qern/document.hpp"
#include "qern/error.hpp"
#include "qern/hash.hpp"

namespace qern {

// An immutable snapshot of a document: its pairs in the order of their keys' first
// assignment, and copies of its declarations. Nothing changes it after it is made, so any
// number of threads may read one at once without a lock. The one thing built later, the
// index of values that find_key uses (built on first use, as the document's is, so that
// freezing does not pay for it), is built aside and published with one atomic exchange.
//
// The snapshot copies its keys. The texts of its values belong to its maker, who must
// keep them unchanged for the snapshot's life: the Python layer keeps one str per value
// anyway, to hand out, and the snapshot reads those.
class FrozenDocument {
  public:
    struct Entry {
        std::string_view key;
        std::string_view value;
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // `doc` as it is now; `values[i]` holds the same text as the value of the i-th pair in
    // the order of first assignment. find_key answers as `doc` answers now.
    static FrozenDocument freeze(const QernDocument& doc,
                                 const std::vector<std::string_view>& values);

    // A snapshot of `pairs` (keys distinct) with `declarations`. find_key answers with the
    // first pair that holds the value, or, for the values of the pairs `answers` lists,
    // with that pair. A key given twice or an answer out of range fails with the reason.
    static Result<FrozenDocument> restore(const std::vector<Entry>& pairs,
                                          QernDocument declarations,
                                          const std::vector<std::size_t>& answers);

    FrozenDocument(FrozenDocument&& other) noexcept;
    FrozenDocument& operator=(FrozenDocument&&) = delete;
    FrozenDocument(const FrozenDocument&) = delete;
    ~FrozenDocument();

    std::size_t size() const { return pairs_.size(); }
    Entry entry(std::size_t i) const {
        const Pair& p = pairs_[i];
        const std::size_t end = i + 1 < pairs_.size() ? pairs_[i + 1].key_start : key_bytes_;
        return {{key_text_.get() + p.key_start, end - p.key_start}, {p.value, p.value_size}};
    }

    // The position of the key's pair, or npos.
    std::size_t find_index(std::string_view key) const {
        if (pairs_.empty()) return npos;
        const std::uint64_t h = hasher_(key);
        const std::uint64_t tag = h & kTagMask;
        const std::size_t mask = keys_index_.size() - 1;
        for (std::size_t at = h & mask;; at = (at + 1) & mask) {
            const std::uint64_t slot = keys_index_[at];
            if (slot == 0) return npos;
            if ((slot & kTagMask) == tag && same_text(entry(position(slot)).key, key))
                return position(slot);
        }
    }
    // The value of `key`, or null.
    std::optional<std::string_view> find(std::string_view key) const {
        const std::size_t i = find_index(key);
        if (i == npos) return std::nullopt;
        return entry(i).value;
    }
    // The key of the pair find_key answers with for `value` (see freeze and restore).
    std::optional<std::string_view> find_key(std::string_view value) const;

    // The lookups of QernDocument, with the same answers as the document had.
    std::optional<std::string_view> find_obj(std::string_view key) const;
    std::optional<std::string_view> find_deep(std::string_view key) const;
    std::optional<std::vector<std::string_view>> find_list(std::string_view key) const;
    std::optional<ViewMap<std::string_view>> find_object(std::string_view key) const;

    // The registered types and schemas, in a document of no pairs, for validate_value and
    // the typed conversion.
    const QernDocument& declarations() const { return declarations_; }

    // The positions of the pairs find_key answers with for values that several pairs
    // hold, in order: with the pairs and declarations, all a restore needs.
    const std::vector<std::size_t>& shared_value_answers() const { return shared_answers_; }

  private:
    // A pair: its key runs from key_start to the next pair's (keys lie end to end).
    struct Pair {
        const char* value;
        std::uint32_t value_size;
        std::uint32_t key_start;
    };
    using Slots = std::vector<std::uint64_t>;  // (hash tag | position + 1), 0 = empty
    static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;
    static std::size_t position(std::uint64_t slot) {
        return static_cast<std::size_t>(slot & 0xFFFFFFFFu) - 1;
    }
    static std::uint64_t make_slot(std::uint64_t hash, std::size_t i) {
        return (hash & kTagMask) | static_cast<std::uint64_t>(i + 1);
    }

    explicit FrozenDocument(QernDocument declarations);
    // Copies the keys and indexes the pairs; false when a key comes twice.
    bool index(const std::vector<Entry>& pairs);
    // One slot per distinct value, holding the first pair that holds it.
    Slots first_holders() const;
    // The slot of `values` where `value` is, or the empty one where it goes.
    std::size_t value_slot(const Slots& values, std::string_view value) const;
    const Slots& values_index() const;

    SeededHash hasher_;
    std::unique_ptr<char[]> key_text_;
    std::size_t key_bytes_ = 0;
    std::vector<Pair> pairs_;
    Slots keys_index_;
    std::vector<std::size_t> shared_answers_;
    mutable std::atomic<const Slots*> values_index_{nullptr};  // owned; built on first use
    QernDocument declarations_;
};

}  // namespace qern
