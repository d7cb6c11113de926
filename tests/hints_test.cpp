// "Did you mean": the edit distance, the threshold that scales with a name's length, the
// choice of one clearly best candidate, and the invisible characters of keys.
#include "analysis/hints.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qern::testing {
namespace {

using analysis::candidates;
using analysis::edit_distance;
using analysis::hidden_characters;
using analysis::suggest_directive;
using analysis::suggest_name;
using analysis::suggest_type;

std::optional<std::string> type_hint(std::string_view name,
                                     const std::vector<std::string>& declared = {}) {
    auto s = suggest_type(name, declared);
    if (!s) return std::nullopt;
    return s->replacement;
}

std::optional<std::string> name_hint(std::string_view name, const std::vector<std::string>& among) {
    auto s = suggest_name(name, candidates(among));
    if (!s) return std::nullopt;
    return s->replacement;
}

TEST(Hints, EditDistanceCountsScalarValuesAndSwapsOfNeighbours) {
    EXPECT_EQ(edit_distance("workers", "workers", 5), 0u);
    EXPECT_EQ(edit_distance("wokers", "workers", 5), 1u);
    EXPECT_EQ(edit_distance("lsit", "list", 5), 1u);  // one swap, not two substitutions
    EXPECT_EQ(edit_distance("i23", "i32", 5), 1u);
    EXPECT_EQ(edit_distance("caf\u00e9", "cafe", 5), 1u);  // scalar values, not bytes
    EXPECT_EQ(edit_distance("", "abc", 5), 3u);
    // Past the limit the distance is limit + 1, however far.
    EXPECT_EQ(edit_distance("a", "abcdefghij", 2), 3u);
    EXPECT_EQ(edit_distance("abcdefgh", "hgfedcba", 3), 4u);
}

// The table of optimal string alignment distances, filled cell by cell: what the
// word-at-a-time computation must agree with.
std::size_t table_distance(const std::string& a, const std::string& b) {
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

TEST(Hints, EditDistanceAgreesWithTheTableOnRandomNames) {
    std::mt19937 random(20);
    const auto name = [&](std::size_t max) {
        std::string s(random() % (max + 1), ' ');
        for (char& c : s) c = "abcab_"[random() % 6];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string a = name(i % 100 == 0 ? 64 : 12), b = name(12);
        ASSERT_EQ(edit_distance(a, b, 100), table_distance(a, b)) << a << " / " << b;
        ASSERT_EQ(edit_distance(a, b, 2), std::min<std::size_t>(table_distance(a, b), 3))
            << a << " / " << b;
    }
}

TEST(Hints, ThresholdScalesWithLength) {
    EXPECT_EQ(analysis::hint_threshold(1), 1u);
    EXPECT_EQ(analysis::hint_threshold(5), 1u);
    EXPECT_EQ(analysis::hint_threshold(6), 2u);
    EXPECT_EQ(analysis::hint_threshold(12), 4u);
    // Two edits in a short name is another name; in a long one a typo.
    EXPECT_EQ(name_hint("ab", {"cd"}), std::nullopt);
    EXPECT_EQ(name_hint("max_conections", {"max_connections"}), "max_connections");
    EXPECT_EQ(name_hint("max_conectoins", {"max_connections"}), "max_connections");
    EXPECT_EQ(name_hint("port", {"host"}), std::nullopt);
}

TEST(Hints, OnlyAClearlyBestCandidate) {
    EXPECT_EQ(name_hint("ad", {"ab", "ac"}), std::nullopt);  // a tie
    EXPECT_EQ(name_hint("workr", {"worker", "workers"}), "worker");
    EXPECT_EQ(name_hint("Limts", {"Limits", "Server"}), "Limits");
    EXPECT_EQ(name_hint("Limits", {"Limits"}), std::nullopt);  // the name itself
    // The same replacement reached twice is no rival of itself.
    EXPECT_EQ(name_hint("i23", {"i32", "i32"}), "i32");
}

TEST(Hints, TypesDirectivesAndNamesOfOtherLanguages) {
    EXPECT_EQ(type_hint("i23"), "i32");
    EXPECT_EQ(type_hint("int"), "i32");
    EXPECT_EQ(type_hint("flaot"), "f64");  // near a name of another language: what it means
    EXPECT_EQ(type_hint("strng"), "string");
    EXPECT_EQ(type_hint("lsit<string>"), "list<string>");
    EXPECT_EQ(type_hint("list<int>"), "list<i32>");
    EXPECT_EQ(type_hint("list<i32>"), std::nullopt);  // nothing to mend
    EXPECT_EQ(type_hint("physics::bytes"), "physics::byte");
    EXPECT_EQ(type_hint("physics::meters"), "physics::meter");
    EXPECT_EQ(type_hint("phyiscs::meter"), "physics::meter");
    EXPECT_EQ(type_hint("time::date"), "time::datetime");
    EXPECT_EQ(type_hint("math::vector"), std::nullopt);  // vector2, 3 and 4 are as near
    EXPECT_EQ(type_hint("meter"), "physics::meter");
    EXPECT_EQ(type_hint("Limts", {"Limits", "port_t"}), "Limits");
    EXPECT_EQ(type_hint("zzqqxx"), std::nullopt);
    EXPECT_EQ(suggest_directive("imprt")->replacement, "@import");
    EXPECT_EQ(suggest_directive("include")->replacement, "@import");
    EXPECT_EQ(suggest_directive("shema")->replacement, "@schema");
    EXPECT_FALSE(suggest_directive("frobnicate"));
    // A name far longer than any candidate is compared with nothing.
    EXPECT_EQ(type_hint(std::string(200, 'i')), std::nullopt);
}

TEST(Hints, HiddenCharactersInKeys) {
    EXPECT_FALSE(hidden_characters("max_body"));
    EXPECT_FALSE(hidden_characters("gr\u00fc\u00dfe"));
    const auto zwsp = hidden_characters("max\u200b_body");
    ASSERT_TRUE(zwsp);
    EXPECT_EQ(zwsp->first, "U+200B ZERO WIDTH SPACE");
    EXPECT_EQ(zwsp->count, 1u);
    EXPECT_EQ(zwsp->cleaned, "max_body");
    const auto two = hidden_characters("\u2066max\ufeff_body");
    ASSERT_TRUE(two);
    EXPECT_EQ(two->count, 2u);
    EXPECT_EQ(two->cleaned, "max_body");
    // A joiner between letters of a script that needs it is part of the writing; beside
    // ASCII it hides.
    EXPECT_FALSE(hidden_characters("\u0915\u094d\u200d\u0937"));
    EXPECT_TRUE(hidden_characters("a\u200db"));
    // Malformed UTF-8 is left to the other checks.
    EXPECT_FALSE(hidden_characters("a\xff\xfe"));
}

}  // namespace
}  // namespace qern::testing
