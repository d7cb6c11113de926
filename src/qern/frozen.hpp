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
    // The hash of a key for the snapshot's index of keys. By default a seeded hash of the
    // snapshot's own; a front-end may give one whose value its callers already hold (the
    // Python layer gives Python's hash of the key's bytes, which a str keeps), and look
    // keys up with find_index(key, hash).
    using KeyHash = std::uint64_t (*)(std::string_view key);

    // `doc` as it is now. value_text(v) gives, for the value text `v` of each pair in the
    // order of first assignment, the same text held by the caller, or none to stop (the
    // result is then none). find_key answers as `doc` answers now. Builds no copy of the
    // pairs on the way: what it allocates is what the snapshot keeps.
    template <class ValueText>
    static std::optional<FrozenDocument> freeze(const QernDocument& doc, ValueText&& value_text,
                                                KeyHash key_hash = nullptr) {
        FrozenDocument frozen(doc.copy_declarations());
        frozen.key_hash_ = key_hash;
        std::size_t key_bytes = 0;
        doc.data().for_each_in_order([&](const DataMap::Entry& e) { key_bytes += e.key.size(); });
        frozen.start(doc.data().size(), key_bytes);
        bool stopped = false;
        doc.data().for_each_in_order([&](const DataMap::Entry& e) {
            if (stopped) return;
            const std::optional<std::string_view> text = value_text(e.value);
            if (!text) {
                stopped = true;
                return;
            }
            frozen.append(e.key, *text);
        });
        if (stopped) return std::nullopt;
        frozen.take_answers(doc);
        return frozen;
    }

    // A snapshot of `pairs` (keys distinct) with `declarations`. find_key answers with the
    // first pair that holds the value, or, for the values of the pairs `answers` lists,
    // with that pair. A key given twice or an answer out of range fails with the reason.
    static Result<FrozenDocument> restore(const std::vector<Entry>& pairs,
                                          QernDocument declarations,
                                          const std::vector<std::size_t>& answers,
                                          KeyHash key_hash = nullptr);

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
    std::size_t find_index(std::string_view key) const { return find_index(key, hash_key(key)); }
    // The same for a key whose hash (by the snapshot's KeyHash) the caller holds.
    std::size_t find_index(std::string_view key, std::uint64_t hash) const {
        if (pairs_.empty()) return npos;
        const std::size_t mask = keys_index_.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            const std::uint32_t slot = keys_index_[at];
            if (slot == 0) return npos;
            if (same_text(entry(slot - 1).key, key)) return slot - 1;
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
    // hold where that is not the first of them, in order: with the pairs and
    // declarations, all a restore needs.
    std::vector<std::size_t> shared_value_answers() const;

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
    // Makes room for `n` pairs whose keys hold `key_bytes` in all.
    void start(std::size_t n, std::size_t key_bytes);
    // Copies the key and indexes the pair; false when the key is there already.
    bool append(std::string_view key, std::string_view value);
    // Which pair find_key answers with, as `doc` would now.
    void take_answers(const QernDocument& doc);
    // One slot per distinct value, holding the first (or the last) pair that holds it.
    Slots holders(bool last) const;
    // The slot of `values` where `value` is, or the empty one where it goes.
    std::size_t value_slot(const Slots& values, std::string_view value) const;
    const Slots& values_index() const;

    std::uint64_t hash_key(std::string_view key) const {
        return key_hash_ != nullptr ? key_hash_(key) : hasher_(key);
    }

    SeededHash hasher_;  // of values, and of keys when no KeyHash is given
    KeyHash key_hash_ = nullptr;
    std::unique_ptr<char[]> key_text_;
    std::size_t key_bytes_ = 0;
    std::vector<Pair> pairs_;
    // Position + 1 of each key's pair, 0 = empty. No hash tag: keys are compared where they
    // lie, and the index takes half the room.
    std::vector<std::uint32_t> keys_index_;
    // find_key answers with the first pair that holds a value, or the last, except for the
    // values of the pairs listed.
    bool last_holder_answers_ = false;
    std::vector<std::size_t> answers_;
    mutable std::atomic<const Slots*> values_index_{nullptr};  // owned; built on first use
    QernDocument declarations_;
};

}  // namespace qern
