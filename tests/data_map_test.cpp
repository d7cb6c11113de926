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
    map.for_each([&](const DataMap::Entry& e) { before.emplace_back(e.key); });
    EXPECT_EQ(map.find_key("x"), "a");
    map.assign("a", "z");
    EXPECT_FALSE(map.find_key("x").has_value());
    EXPECT_EQ(map.find_key("z"), "a");
    std::vector<std::string> after;
    map.for_each([&](const DataMap::Entry& e) { after.emplace_back(e.key); });
    EXPECT_EQ(before, after);
}

// Values replaced by shorter ones, by longer ones and by parts of the map's own text
// (overlapping the bytes they replace, or another entry's): every value stays exact, and
// the room the map holds for its text follows what it stores instead of what it stored.
TEST(DataMap, ReplacedTextStaysExactAndItsRoomFollowsWhatIsStored) {
    std::mt19937 rng(11);
    DataMap map;
    std::map<std::string, std::string> model;
    const auto key_of = [&](unsigned i) { return "key" + std::to_string(i); };
    for (int step = 0; step < 20000; ++step) {
        const std::string key = key_of(rng() % 50);
        const std::string other = key_of(rng() % 50);
        const std::string_view* own = map.find(key);
        const std::string_view* theirs = map.find(other);
        std::string expected;
        switch (rng() % 4) {
            case 0:
                if (own != nullptr && !own->empty()) {
                    const std::string_view part = own->substr(rng() % own->size());
                    expected = std::string(part);
                    map.assign(key, part);
                    break;
                }
                [[fallthrough]];
            case 1:
                if (theirs != nullptr) {
                    expected = std::string(*theirs);
                    map.assign(key, *theirs);
                    break;
                }
                [[fallthrough]];
            default:
                expected = std::string(rng() % 3000, static_cast<char>('a' + step % 26));
                map.assign(key, expected);
        }
        model[key] = expected;
        ASSERT_EQ(*map.find(key), expected) << step;
        std::size_t live = 0;
        for (const auto& [k, v] : model) live += k.size() + v.size();
        ASSERT_EQ(map.text_bytes(), live);
        ASSERT_LE(map.arena_bytes(), 4 * live + 64 * 1024) << step;
    }
    for (const auto& [k, v] : model) EXPECT_EQ(*map.find(k), v) << k;
    EXPECT_EQ(map.size(), model.size());
}

// The in-order walk follows each key's first assignment, through replaced values (in
// place, moved to the end of the text, or compacted), a rehash and room given back.
TEST(DataMap, InOrderWalkFollowsFirstAssignment) {
    std::mt19937 rng(5);
    DataMap map;
    std::vector<std::string> first;
    for (int step = 0; step < 30000; ++step) {
        const std::string key = "k" + std::to_string((rng() % 4000) * 7919 % 4000);
        if (!map.contains(key)) first.push_back(key);
        map.assign(key, std::string(rng() % 200, 'v'));
        if (step == 10000) {
            const DataMap::Reservation room(map, 50000);
        }
    }
    std::vector<std::string> walked;
    map.for_each_in_order([&](const DataMap::Entry& e) { walked.emplace_back(e.key); });
    EXPECT_EQ(walked, first);
}

// A map's text stays where it is while keys are added: views taken earlier still read it.
TEST(DataMap, TextStaysInPlaceAsKeysAreAdded) {
    DataMap map;
    map.assign("first", "a value that outgrows the first chunk of text, several times over");
    const std::string_view held = *map.find("first");
    for (int i = 0; i < 100000; ++i) map.assign("key" + std::to_string(i), "value");
    EXPECT_EQ(held.data(), map.find("first")->data());
    EXPECT_EQ(held, "a value that outgrows the first chunk of text, several times over");
}

TEST(DataMap, IterationsVisitEveryEntryOnce) {
    // Sizes on both sides of the switch to runs, and one that leaves a short last run.
    for (int n : {1, 1000, 4096, 10007}) {
        DataMap map;
        for (int i = 0; i < n; ++i) map.assign("key" + std::to_string(i), std::to_string(i));
        std::multiset<std::string> hashed, reseeded;
        map.for_each([&](const DataMap::Entry& e) { hashed.emplace(e.key); });
        map.for_each_reseeded([&](const DataMap::Entry& e) { reseeded.emplace(e.key); });
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

TEST(DataMap, ShortTextWordHoldsEachByteInItsPlace) {
    // Every byte lands at its own place and nothing past the end: a shift off by one would
    // let two texts of one length share a word.
    for (std::size_t n = 0; n <= 8; ++n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>(0x81 + i);
        std::uint64_t expected = 0;
        for (std::size_t i = 0; i < n; ++i)
            expected |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
        EXPECT_EQ(short_text_word(text), expected) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string other = text;
            other[i] = 'x';
            EXPECT_NE(short_text_word(other), short_text_word(text)) << n << " at " << i;
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
    a.for_each([&](const DataMap::Entry& e) { oa.emplace_back(e.key); });
    b.for_each([&](const DataMap::Entry& e) { ob.emplace_back(e.key); });
    EXPECT_NE(oa, ob);
}

}  // namespace
}  // namespace qern::testing
