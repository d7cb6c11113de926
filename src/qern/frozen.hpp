#pragma once

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
// assignment, and copies of its declarations. Nothing changes it after it is made, and no
// lookup writes anything (there is no cache to build on first use), so any number of
// threads may read one at once without a lock.
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

    FrozenDocument(FrozenDocument&&) noexcept = default;
    FrozenDocument& operator=(FrozenDocument&&) noexcept = default;

    std::size_t size() const { return entries_.size(); }
    const Entry& entry(std::size_t i) const { return entries_[i]; }
    const std::vector<Entry>& entries() const { return entries_; }

    // The position of the key's pair, or npos.
    std::size_t find_index(std::string_view key) const {
        if (entries_.empty()) return npos;
        const std::uint64_t h = hasher_(key);
        const std::uint64_t tag = h & kTagMask;
        const std::size_t mask = keys_index_.size() - 1;
        for (std::size_t at = h & mask;; at = (at + 1) & mask) {
            const std::uint64_t slot = keys_index_[at];
            if (slot == 0) return npos;
            if ((slot & kTagMask) == tag && same_text(entries_[position(slot)].key, key))
                return position(slot);
        }
    }
    const std::string_view* find(std::string_view key) const {
        const std::size_t i = find_index(key);
        return i == npos ? nullptr : &entries_[i].value;
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
    // The slot of the values index where `value` is, or the empty one where it goes.
    std::size_t value_slot(std::uint64_t hash, std::string_view value) const;

    SeededHash hasher_;
    std::unique_ptr<char[]> key_text_;
    std::vector<Entry> entries_;
    std::vector<std::uint64_t> keys_index_;    // (hash tag | position + 1), 0 = empty
    std::vector<std::uint64_t> values_index_;  // one slot per distinct value: its answer
    std::vector<std::size_t> shared_answers_;
    QernDocument declarations_;
};

}  // namespace qern
