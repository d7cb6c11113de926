#include <map>
#include <set>
#include <string>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

std::string lookup(const QernDocument& doc, char op, std::string_view arg) {
    return shown(op == 'o'   ? doc.find_obj(arg)
                 : op == 'k' ? doc.find_key(arg)
                             : doc.find_deep(arg));
}

// 'o' is find_obj, 'k' find_key, 'd' find_deep. Every value asked for backwards is held by
// one key only, so each answer is unique.
TEST(Lookups, ForwardReverseAndDeep) {
    const QernDocument doc = parsed(
        "host = localhost\na = b\nb = c\ne = ''\nsp = ' v '\nKey = Value\ncaf\u00e9 = nfc\n"
        "cafe\u0301 = nfd\nr = old\nr = new\nc1 = c2\nc2 = c1\nself = self\ntail = h1\nh1 = h2\n"
        "h2 = h1\nend = end2\nend2 = end2\nk1 = k2\nk2 = k3\nk3 = k1");
    const struct {
        char op;
        const char* arg;
        const char* expected;
    } cases[] = {{'o', "host", "localhost"},
                 {'o', "localhost", "host"},
                 {'o', "b", "c"},
                 {'o', "c", "b"},
                 {'o', "", "e"},
                 {'o', " v ", "sp"},
                 {'o', "v", kAbsent},
                 {'o', "key", kAbsent},
                 {'o', "value", kAbsent},
                 {'o', "Key ", kAbsent},
                 {'o', "caf\u00e9", "nfc"},
                 {'o', "cafe\u0301", "nfd"},
                 {'o', "old", kAbsent},
                 {'o', "new", "r"},
                 {'k', "b", "a"},
                 {'k', "a", kAbsent},
                 {'k', "Value", "Key"},
                 {'k', "", "e"},
                 {'k', "new", "r"},
                 {'k', "old", kAbsent},
                 {'d', "a", "c"},
                 {'d', "host", "localhost"},
                 {'d', "c", kAbsent},
                 {'d', "nope", kAbsent},
                 {'d', "c1", "c2"},
                 {'d', "c2", "c1"},
                 {'d', "self", "self"},
                 {'d', "tail", "h2"},
                 {'d', "end", "end2"},
                 {'d', "e", ""},
                 {'d', "k1", "k3"},
                 {'d', "k3", "k2"}};
    for (const auto& c : cases)
        EXPECT_EQ(lookup(doc, c.op, c.arg), c.expected) << c.op << " " << c.arg;
    for (char op : {'o', 'k', 'd'}) EXPECT_EQ(lookup(new_document(), op, ""), kAbsent) << op;
    // Which of several keys with the same value comes back is left open.
    const std::string twin = lookup(parsed("a = v\nb = v\nc = w"), 'k', "v");
    EXPECT_TRUE(twin == "a" || twin == "b") << twin;
}

// Long chains must be walked iteratively and with a hashed visited set, so these finish
// in well under a second; a recursive or quadratic walk would not.
TEST(Lookups, FindDeepOnHundredThousandStepChainAndCycle) {
    constexpr int n = 100000;
    std::string chain, cycle;
    for (int i = 0; i < n; ++i) {
        chain += "k" + std::to_string(i) + " = " +
                 (i + 1 < n ? "k" + std::to_string(i + 1) : "end") + "\n";
        cycle += "k" + std::to_string(i) + " = k" + std::to_string((i + 1) % n) + "\n";
    }
    EXPECT_EQ(lookup(parsed(chain), 'd', "k0"), "end");
    const QernDocument ring = parsed(cycle);
    EXPECT_EQ(lookup(ring, 'd', "k0"), "k99999");
    EXPECT_EQ(lookup(ring, 'd', "k5"), "k4");
}

TEST(Lookups, KeysAndToDictHoldEveryPairOnce) {
    EXPECT_TRUE(new_document().keys().empty() && new_document().to_dict().empty());
    std::string text;
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 2000; ++i) {
        text += "key" + std::to_string(i % 1500) + " = v" + std::to_string(i) + "\n";
        expected["key" + std::to_string(i % 1500)] = "v" + std::to_string(i);
    }
    QernDocument doc = parsed(text);
    std::multiset<std::string> keys, want;
    for (auto k : doc.keys()) keys.emplace(k);
    for (const auto& [k, v] : expected) want.insert(k);
    EXPECT_EQ(keys, want);
    auto dict = doc.to_dict();
    EXPECT_EQ((std::map<std::string, std::string>(dict.begin(), dict.end())), expected);
    // The dict is a copy: later merges do not reach it.
    ASSERT_TRUE(doc.merge_content("key0 = changed\nfresh = 1").ok());
    EXPECT_EQ(dict.at("key0"), "v1500");
    EXPECT_EQ(dict.count("fresh"), 0u);
}

// Reverse lookups must see every later change, whether it comes from a merge, a large
// merge, a rejected assignment or the defaults a derive adds.
TEST(Lookups, ReverseLookupsFollowLaterChanges) {
    TempDir dir;
    dir.write("base.qrn", "d = x\ne = fresh");
    QernDocument doc = parsed("@schema S { n*: i32 }\na = x\nb = y");
    EXPECT_EQ(lookup(doc, 'o', "x"), "a");
    ASSERT_EQ(merge_error(doc, "a = z\nc = x"), "");
    EXPECT_EQ(lookup(doc, 'k', "x"), "c");
    EXPECT_EQ(lookup(doc, 'k', "z"), "a");
    EXPECT_NE(merge_error(doc, "n = bad"), "");
    EXPECT_EQ(lookup(doc, 'k', "bad"), kAbsent);
    ASSERT_EQ(merge_error(doc, "c = zz\n@derive base.qrn"), "");
    EXPECT_EQ(lookup(doc, 'k', "x"), "d");
    EXPECT_EQ(lookup(doc, 'o', "fresh"), "e");
    std::string big;  // large enough for any bulk path a merge may take
    for (int i = 0; i < 3000; ++i)
        big += "big" + std::to_string(i) + " = w" + std::to_string(i) + "\n";
    ASSERT_EQ(merge_error(doc, big + "a = w7\nbig7 = moved\n"), "");
    EXPECT_EQ(lookup(doc, 'k', "w7"), "a");
    EXPECT_EQ(lookup(doc, 'o', "moved"), "big7");
    EXPECT_EQ(lookup(doc, 'o', "w2999"), "big2999");
}

}  // namespace
}  // namespace qern::testing
