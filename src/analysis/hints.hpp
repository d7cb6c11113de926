#pragma once

// "Did you mean ...": the names a misspelt name was probably meant to be. Each finding
// comes with its replacement, so that a tool can offer to write it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qern::analysis {

// The optimal string alignment distance between `a` and `b` (insertions, deletions,
// substitutions and transpositions of two neighbours, each one edit), counted in Unicode
// scalar values. Distances above `limit` come back as limit + 1, and so do those between
// two names both longer than kMaxHintedLength.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit);

// How many edits away a candidate may be from a name of `length` scalar values: a third
// of the length, at least one. Longer names get no hints at all.
std::size_t hint_threshold(std::size_t length);
inline constexpr std::size_t kMaxHintedLength = 64;

// How many scalar values of a text fall in each of 32 buckets (see hints.cpp).
using Tally = std::array<std::uint8_t, 32>;
// A name of at most 64 scalar values, ready to be compared with many others: for each
// value, the positions it holds in the name, as bits.
struct Pattern {
    explicit Pattern(const std::u32string& text);
    std::uint64_t positions(char32_t c) const;
    std::size_t size;
    std::array<std::uint64_t, 128> ascii{};
    std::vector<std::pair<char32_t, std::uint64_t>> other;
};

// A name a misspelt one may have meant: the form it is compared in, what to write instead.
struct Candidate {
    Candidate(std::string_view compared, std::string_view replacement);
    explicit Candidate(std::string_view name) : Candidate(name, name) {}
    std::u32string scalars;
    Tally counts;
    std::string replacement;
};

// Picks the candidate clearly closest to a name: within the name's threshold, and every
// other candidate further by a margin (one edit when the closest is one edit away, two
// edits otherwise: at a distance of two or more, a candidate one edit further is nearly as
// likely). Candidates equal to the name are passed over.
class Nearest {
  public:
    explicit Nearest(std::string_view name);
    void consider(const Candidate& candidate);
    // `compared` is the form the name is compared with; `replacement` what to write.
    void consider(std::string_view compared, std::string_view replacement) {
        consider(Candidate(compared, replacement));
    }
    void consider(std::string_view candidate) { consider(candidate, candidate); }
    std::optional<std::string> best() const;

  private:
    std::u32string name_;
    Tally counts_;
    Pattern pattern_;
    std::size_t limit_ = 0;
    std::size_t cutoff_ = 0;
    std::size_t best_;
    std::size_t second_;
    std::string replacement_;
};

struct Suggestion {
    std::string replacement;
    std::string message;  // "did you mean 'i32'?"
};

// A directive name that is not one of the four.
std::optional<Suggestion> suggest_directive(std::string_view name);
// A type name that resolves to nothing; `declared` are the aliases and schemas it may have
// meant. The replacement stands for the whole name as written.
std::optional<Suggestion> suggest_type(std::string_view name,
                                       const std::vector<std::string>& declared);
// A name among others (a schema a @derive selects, a field a key means).
std::optional<Suggestion> suggest_name(std::string_view name,
                                       const std::vector<Candidate>& candidates);
std::vector<Candidate> candidates(const std::vector<std::string>& names);

// Characters in a key that show as nothing, or that reorder the text around them: the key
// is then not the key it looks like. Found: the first one's description, how many there
// are, and the key without them.
struct HiddenCharacters {
    std::string first;  // "U+200B ZERO WIDTH SPACE"
    std::size_t count = 0;
    std::string cleaned;
};
std::optional<HiddenCharacters> hidden_characters(std::string_view key);

}  // namespace qern::analysis
