#include "qern/frozen.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

// A snapshot of `doc` whose value texts are kept in `texts` (as the Python layer keeps
// its strs).
FrozenDocument freeze(const QernDocument& doc, std::vector<std::string>& texts) {
    texts.clear();
    texts.reserve(doc.data().size());  // the views stay where they are
    return *FrozenDocument::freeze(doc, [&](std::string_view v) -> std::optional<std::string_view> {
        texts.emplace_back(v);
        return texts.back();
    });
}

// An inline object's fields in key order (maps of different seeds do not compare).
std::optional<std::map<std::string_view, std::string_view>> sorted(
    const std::optional<ViewMap<std::string_view>>& fields) {
    if (!fields) return std::nullopt;
    return std::map<std::string_view, std::string_view>(fields->begin(), fields->end());
}

std::vector<std::string> keys_in_order(const FrozenDocument& fz) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < fz.size(); ++i) out.emplace_back(fz.entry(i).key);
    return out;
}

// Every lookup of the snapshot answers as the document did, for each key and value.
void expect_same_answers(const QernDocument& doc, const FrozenDocument& fz) {
    const auto pairs = pairs_of(doc);
    ASSERT_EQ(fz.size(), pairs.size());
    std::vector<std::string> probes = {"", "no such key"};
    for (const auto& [k, v] : pairs) {
        probes.push_back(k);
        probes.push_back(v);
    }
    for (const std::string& p : probes) {
        EXPECT_EQ(shown(fz.find_obj(p)), shown(doc.find_obj(p))) << p;
        EXPECT_EQ(shown(fz.find_key(p)), shown(doc.find_key(p))) << p;
        EXPECT_EQ(shown(fz.find_deep(p)), shown(doc.find_deep(p))) << p;
        EXPECT_EQ(fz.find_list(p), doc.find_list(p)) << p;
        EXPECT_EQ(sorted(fz.find_object(p)), sorted(doc.find_object(p))) << p;
        EXPECT_EQ(fz.find_index(p) != FrozenDocument::npos, doc.data().contains(p)) << p;
    }
}

TEST(Frozen, AnswersAsTheDocumentDidAndKeepsFirstAssignmentOrder) {
    QernDocument doc = parsed(
        "z = 1\nhost = localhost\nalias = host\nback = alias\nloop = loop\na = b\nb = a\n"
        "ports = [1, 2]\norigin = { x = 0, y: 1 }\nz = 2\ntwin1 = same\ntwin2 = same\n");
    std::vector<std::string> texts;
    const FrozenDocument fz = freeze(doc, texts);
    expect_same_answers(doc, fz);
    EXPECT_EQ(keys_in_order(fz),
              (std::vector<std::string>{"z", "host", "alias", "back", "loop", "a", "b", "ports",
                                        "origin", "twin1", "twin2"}));
    EXPECT_EQ(shown(fz.find_deep("back")), "localhost");
}

TEST(Frozen, ChangesToTheDocumentDoNotReachTheSnapshot) {
    QernDocument doc = parsed("@schema S { port: i32 }\nport = 80\nname = a");
    std::vector<std::string> texts;
    const FrozenDocument fz = freeze(doc, texts);
    ASSERT_TRUE(doc.merge_content("port = 81\nname = b\nnew = c\n@schema S { port: string }").ok());
    EXPECT_EQ(shown(fz.find_obj("port")), "80");
    EXPECT_EQ(shown(fz.find_obj("new")), kAbsent);
    EXPECT_EQ(fz.declarations().schemas().owner_of("port")->type, "i32");
    EXPECT_EQ(fz.declarations().data().size(), 0u);
}

TEST(Frozen, FindKeyOfASharedValueAnswersAsTheDocumentDidWhenFrozen) {
    // The document's reverse index, built before the reassignments, makes its answer depend
    // on history; the snapshot keeps that answer.
    QernDocument doc = parsed("a = x\nb = x\nc = x\n");
    ASSERT_EQ(shown(doc.find_key("x")), "c");
    doc.data().assign("a", "y");
    doc.data().assign("a", "x");
    ASSERT_EQ(shown(doc.find_key("x")), "a");
    std::vector<std::string> texts;
    const FrozenDocument fz = freeze(doc, texts);
    EXPECT_EQ(shown(fz.find_key("x")), "a");
    EXPECT_EQ(shown(fz.find_obj("x")), "a");
    EXPECT_EQ(fz.shared_value_answers(), std::vector<std::size_t>{});  // a is the first
    // Restored from its pairs and answers, it answers the same.
    std::vector<FrozenDocument::Entry> pairs;
    for (std::size_t i = 0; i < fz.size(); ++i) pairs.push_back(fz.entry(i));
    auto restored =
        FrozenDocument::restore(pairs, doc.copy_declarations(), fz.shared_value_answers());
    ASSERT_TRUE(restored.ok());
    EXPECT_EQ(shown(restored->find_key("x")), "a");
    auto by_default = FrozenDocument::restore(pairs, doc.copy_declarations(), {});
    EXPECT_EQ(shown(by_default->find_key("x")), "a");  // the first pair that holds it
    auto second = FrozenDocument::restore(pairs, doc.copy_declarations(), {2});
    EXPECT_EQ(shown(second->find_key("x")), "c");
}

TEST(Frozen, ADocumentThatNeverLookedUpAValueAnswersWithItsLastHolder) {
    const QernDocument doc = parsed("a = x\nb = x\nc = x\nd = y\n");
    ASSERT_FALSE(doc.data().has_reverse_index());
    std::vector<std::string> texts;
    const FrozenDocument fz = freeze(doc, texts);
    EXPECT_FALSE(doc.data().has_reverse_index());  // freezing built none
    EXPECT_EQ(shown(fz.find_key("x")), shown(doc.find_key("x")));
    EXPECT_EQ(shown(fz.find_key("x")), "c");
    EXPECT_EQ(fz.shared_value_answers(), std::vector<std::size_t>{2});
    std::vector<FrozenDocument::Entry> pairs;
    for (std::size_t i = 0; i < fz.size(); ++i) pairs.push_back(fz.entry(i));
    auto restored = FrozenDocument::restore(pairs, doc.copy_declarations(), {2});
    EXPECT_EQ(shown(restored->find_key("x")), "c");
    EXPECT_EQ(shown(restored->find_key("y")), "d");
}

TEST(Frozen, RestoreRefusesWhatNoSnapshotHolds) {
    const std::vector<FrozenDocument::Entry> twice = {{"a", "1"}, {"a", "2"}};
    const auto refused = FrozenDocument::restore(twice, new_document(), {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().display(), "Invalid value: a key comes twice");
    const std::vector<FrozenDocument::Entry> one = {{"a", "1"}};
    EXPECT_FALSE(FrozenDocument::restore(one, new_document(), {1}).ok());
    EXPECT_TRUE(FrozenDocument::restore({}, new_document(), {}).ok());
}

TEST(Frozen, EmptyAndLargeDocuments) {
    std::vector<std::string> texts;
    const QernDocument empty = new_document();
    const FrozenDocument none = freeze(empty, texts);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(shown(none.find_obj("a")), kAbsent);
    EXPECT_EQ(shown(none.find_key("a")), kAbsent);
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += concat("k", std::to_string(i), " = v", std::to_string(i % 700), "\n");
    const QernDocument doc = parsed(text);
    const FrozenDocument fz = freeze(doc, texts);
    expect_same_answers(doc, fz);
}

TEST(SchemaRegistry, CopiesKeepTheDecidingSchemaAndTheOrder) {
    QernDocument doc = parsed(
        "@type port = i32\n@schema B { x: string }\n@schema A { y: i32 }\n@schema A { x: f64, y: "
        "i32 }\n@schema C { x: bool, z: i32 }");
    const QernDocument copy = doc.copy_declarations();
    EXPECT_EQ(copy.schemas().names(), (std::vector<std::string>{"B", "A", "C"}));
    for (const char* field : {"x", "y", "z"}) {
        EXPECT_EQ(copy.schemas().owner_of(field)->schema, doc.schemas().owner_of(field)->schema);
        EXPECT_EQ(copy.schemas().owner_of(field)->type, doc.schemas().owner_of(field)->type);
    }
    EXPECT_EQ(copy.schemas().owner_of("x")->schema, "B");
    EXPECT_EQ(copy.types().at("port")->base_type(), PrimitiveKind::I32);
    // The copy is independent: dropping a schema there leaves the original's owners.
    QernDocument other = doc.copy_declarations();
    ASSERT_TRUE(other.schemas().remove("B").has_value());
    EXPECT_EQ(other.schemas().owner_of("x")->schema, "A");
    EXPECT_EQ(doc.schemas().owner_of("x")->schema, "B");
    other.schemas().set_owner("x", "C");
    EXPECT_EQ(other.schemas().owner_of("x")->type, "bool");
    other.schemas().set_owner("x", "nosuch");
    EXPECT_EQ(other.schemas().owner_of("x")->schema, "C");
}

}  // namespace
}  // namespace qern::testing
