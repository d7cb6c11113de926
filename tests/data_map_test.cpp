#include "qern/data_map.hpp"

#include <map>
#include <random>
#include <set>
#include <string>

#include "test_support.hpp"

namespace qern::testing {
namespace {

// find_key must answer exactly what a linear walk would, after any sequence of inserts
// and replacements, whether the reverse index was built early, late or in between.
TEST(DataMap, ReverseIndexStaysExactUnderReplacement) {
    std::mt19937 rng(7);
    for (int build_at : {0, 50, 400, 2000}) {
        DataMap map;
        std::map<std::string, std::string> model;
        for (int step = 0; step < 3000; ++step) {
            if (step == build_at) (void)map.find_key("warm-up");
            const std::string key = "k" + std::to_string(rng() % 500);
            const std::string value = "v" + std::to_string(rng() % 40);
            map.assign(key, value);
            model[key] = value;
            const std::string probe = "v" + std::to_string(rng() % 45);
            const auto found = map.find_key(probe);
            std::set<std::string> holders;
            for (const auto& [k, v] : model)
                if (v == probe) holders.insert(k);
            if (holders.empty()) {
                ASSERT_FALSE(found.has_value()) << probe;
            } else {
                ASSERT_TRUE(found.has_value()) << probe;
                ASSERT_TRUE(holders.count(std::string(*found))) << probe << " -> " << *found;
            }
        }
        ASSERT_EQ(map.size(), model.size());
        for (const auto& [k, v] : model) ASSERT_EQ(*map.find(k), v);
    }
}

TEST(DataMap, ReplacedValueKeepsPlaceAndLeavesNoTrace) {
    DataMap map;
    map.assign("a", "x");
    map.assign("b", "y");
    std::vector<std::string> before;
    map.for_each([&](const DataMap::Entry& e) { before.push_back(e.key); });
    EXPECT_EQ(map.find_key("x"), "a");
    map.assign("a", "z");
    EXPECT_FALSE(map.find_key("x").has_value());
    EXPECT_EQ(map.find_key("z"), "a");
    std::vector<std::string> after;
    map.for_each([&](const DataMap::Entry& e) { after.push_back(e.key); });
    EXPECT_EQ(before, after);
}

TEST(DataMap, IterationsVisitEveryEntryOnce) {
    // Sizes on both sides of the switch to runs, and one that leaves a short last run.
    for (int n : {1, 1000, 4096, 10007}) {
        DataMap map;
        for (int i = 0; i < n; ++i) map.assign("key" + std::to_string(i), std::to_string(i));
        std::multiset<std::string> hashed, reseeded;
        map.for_each([&](const DataMap::Entry& e) { hashed.insert(e.key); });
        map.for_each_reseeded([&](const DataMap::Entry& e) { reseeded.insert(e.key); });
        const std::set<std::string> distinct(hashed.begin(), hashed.end());
        EXPECT_EQ(hashed.size(), static_cast<std::size_t>(n));
        EXPECT_EQ(distinct.size(), static_cast<std::size_t>(n));
        EXPECT_EQ(reseeded, hashed);
    }
}

// Keys are compared word by word when short: a difference in any byte, at any length,
// must tell them apart, and equal bytes in another buffer must not.
TEST(DataMap, KeyComparisonSeesEveryByte) {
    for (std::size_t n = 0; n <= 24; ++n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i);
        const std::string copy = text;
        EXPECT_TRUE(same_text(text, copy)) << n;
        EXPECT_FALSE(same_text(text, text + "x")) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string other = text;
            other[i] = '#';
            EXPECT_FALSE(same_text(text, other)) << n << " at " << i;
        }
    }
}

TEST(DataMap, SeedsDifferBetweenMaps) {
    // Two maps with the same keys iterate in different orders (with overwhelming odds).
    DataMap a, b;
    for (int i = 0; i < 64; ++i) {
        a.assign(std::to_string(i), "");
        b.assign(std::to_string(i), "");
    }
    std::vector<std::string> oa, ob;
    a.for_each([&](const DataMap::Entry& e) { oa.push_back(e.key); });
    b.for_each([&](const DataMap::Entry& e) { ob.push_back(e.key); });
    EXPECT_NE(oa, ob);
}

}  // namespace
}  // namespace qern::testing
