// Every change a merge makes to a document, with each of its allocations made to fail in
// turn: after the failure the document must be exactly what it was before the line, and
// stay usable. The test has its own executable because it replaces the global operator new.
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core_helpers.hpp"
#include "types/resolve.hpp"

namespace {

// Allocations counted while armed; the one numbered `fail_at` throws.
bool armed = false;
long counted = 0;
long fail_at = -1;

void* allocate(std::size_t size) {
    if (armed && counted++ == fail_at) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_or_null(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace qern::testing {
namespace {

// Fields the cases declare anywhere, so that an index entry left behind shows.
const char* const kFields[] = {"port", "workers", "name",  "limit", "note", "threads",
                               "size", "label",   "count", "x",     "y",    "host"};

// Everything a user can observe of a document, as text, in no particular order.
std::map<std::string, std::string> observe(const QernDocument& doc) {
    std::map<std::string, std::string> seen;
    const auto pairs = pairs_of(doc);
    for (const auto& [k, v] : pairs) {
        seen["pair " + k] = v;
        seen["find_obj " + k] = shown(doc.find_obj(k));
        seen["find_deep " + k] = shown(doc.find_deep(k));
        seen["find_key " + v] = shown(doc.find_key(v));
        seen["find_obj " + v] = shown(doc.find_obj(v));
    }
    seen["size"] = std::to_string(doc.data().size());
    seen["find_key <none>"] = shown(doc.find_key("no such value"));
    for (const auto& [name, type] : doc.types()) {
        const auto* alias = dynamic_cast<const AliasType*>(type.get());
        seen["type " + name] = std::to_string(static_cast<int>(type->base_type())) + " " +
                               (alias ? alias->definition() : "");
    }
    for (const std::string& name : schema_names(doc)) seen["schema " + name] = schema_of(doc, name);
    for (const char* field : kFields) {
        const auto owner = doc.schemas().owner_of(field);
        seen[std::string("owner ") + field] =
            owner ? std::string(owner->schema) + ":" + std::string(owner->type) : kAbsent;
    }
    return seen;
}

std::vector<std::string> key_order(const QernDocument& doc) {
    std::vector<std::string> keys;
    for (std::string_view k : doc.keys()) keys.emplace_back(k);
    return keys;
}

// Uses the document hard: each key gets another value and its own back, and new keys
// come, so that an index left inconsistent is read or written out of bounds (which the
// sanitizers report). Schema fields must still reject values of the wrong type.
void workout(QernDocument& doc, const std::map<std::string, std::string>& seen) {
    const auto pairs = pairs_of(doc);
    for (const auto& [k, v] : pairs) doc.data().assign(k, v + " changed");
    for (const auto& [k, v] : pairs) {
        const auto holder = doc.find_key(v + " changed");
        ASSERT_TRUE(holder.has_value()) << k;
        EXPECT_EQ(pairs.at(std::string(*holder)), v) << k;
    }
    for (const auto& [k, v] : pairs) doc.data().assign(k, v);
    for (int i = 0; i < 40; ++i) doc.data().assign("workout" + std::to_string(i), "w");
    for (const auto& [k, v] : pairs) EXPECT_EQ(shown(doc.find_obj(k)), v) << k;
    for (const char* field : kFields) {
        const std::string& owner = seen.at(std::string("owner ") + field);
        const std::string type = owner.substr(owner.find(':') + 1);
        if (type == "i32" || type == "f64" || type == "port" || type == "count") {
            EXPECT_NE(merge_error(doc, std::string(field) + " = not-a-number"), "") << field;
        }
    }
}

// Runs `change` on a fresh document from `setup`, failing its first allocation, then its
// second, and so on until it succeeds; returns how many failed. After each failure the
// document must be seen as `allowed` says (by default: as it was before) and hold its keys
// in the same order.
int sweep(const std::function<QernDocument()>& setup, std::string_view change,
          const std::function<bool(const std::map<std::string, std::string>&)>& allowed = {},
          bool same_order = true) {
    const auto before = observe(setup());
    int failures = 0;
    for (long n = 0;; ++n) {
        QernDocument doc = setup();
        const auto order = key_order(doc);
        bool failed = false;
        counted = 0;
        fail_at = n;
        armed = true;
        try {
            (void)doc.merge_content(change);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        armed = false;
        if (!failed) break;
        ++failures;
        const auto after = observe(doc);
        if (allowed) {
            EXPECT_TRUE(allowed(after)) << "allocation " << n << " of: " << change;
        } else {
            EXPECT_EQ(after, before) << "allocation " << n << " of: " << change;
        }
        if (same_order) {
            EXPECT_EQ(key_order(doc), order) << "allocation " << n;
        }
        workout(doc, after);
        if (::testing::Test::HasFailure()) break;
    }
    return failures;
}

// `fillers` more pairs, so that the cases meet the index, the entries and the reverse
// index at every size around where they grow.
std::string setup_text(int fillers) {
    std::string text =
        "@type port = i32\n@schema Server { port: port, workers: i32, name*: string }\n"
        "@schema Worker { workers: f64, x: f64 }\n"
        "a = old-value-longer-than-sso\nb = other\nc = other\nport = 8080\n";
    for (int i = 0; i < fillers; ++i)
        text += "filler" + std::to_string(i) + " = value " + std::to_string(i % 3) + "\n";
    return text;
}

std::function<QernDocument()> setup(int fillers, bool reverse) {
    return [=] {
        QernDocument doc = parsed(setup_text(fillers));
        if (reverse) (void)doc.find_key("warm");
        return doc;
    };
}

TEST(AllocationFailure, AssignmentsLeaveMapAndIndexesAsTheyWere) {
    const char* const changes[] = {"new = a-new-value-longer-than-sso",
                                   "new = other",
                                   "new = x",
                                   "a = another-value-longer-than-sso",
                                   "a = other",
                                   "b = old-value-longer-than-sso",
                                   "workers = 12",
                                   "zz = value 1"};
    int failures = 0;
    for (int fillers = 0; fillers <= 20; ++fillers)
        for (bool reverse : {false, true})
            for (const char* change : changes) failures += sweep(setup(fillers, reverse), change);
    EXPECT_GT(failures, 150);
}

TEST(AllocationFailure, RegistrationsLeaveRegistriesAndFieldIndexAsTheyWere) {
    const char* const changes[] = {
        "@schema Limits { workers: i32, limit: i32, note*: string }",
        "@schema Server { port: i32, threads: i32 }",
        "@schema Worker { x: f64, y: f64, host: string }",
        "@type count = i32",
        "@type port = f64",
        "@schema Block {\n  size: i32\n  label*: string\n  workers: i32\n}",
        "@schema Open {\n  size: i32,\n"};
    for (int fillers : {0, 12})
        for (const char* change : changes) EXPECT_GT(sweep(setup(fillers, true), change), 0);
}

TEST(AllocationFailure, DerivesAndImportsLeaveTheDocumentAsItWas) {
    TempDir dir;
    dir.write("base.qrn",
              "@type count = i32\n@type port = f64\n@type unused = f64\n"
              "@schema Limits { limit: count, workers: i32, note*: string }\n"
              "@schema Server { size: i32 }\n@schema Extra { label: string, y: port }\n"
              "a = from-base-longer-than-sso\nlimit = 4\nbase1 = other\nbase2 = new-from-base\n"
              "label = from base\n");
    dir.write("one.qrn", "# a comment\n\nimported = value-from-import-longer-than-sso\n");
    dir.write("schema.qrn", "@schema Imported { count: i32 }\n");
    const char* const changes[] = {"@derive base.qrn", "@derive base.qrn::Extra::Limits",
                                   "@derive base.qrn::Limits::Nope", "@import one.qrn",
                                   "@import schema.qrn"};
    for (int fillers : {0, 12})
        for (bool reverse : {false, true})
            for (const char* change : changes)
                EXPECT_GT(sweep(setup(fillers, reverse), change), 0) << change;
}

// A merge of many lines, large enough to reserve room first: a failure in any line leaves
// the lines before it merged and nothing of that line.
TEST(AllocationFailure, ManyLinesLeaveThePrefixBeforeTheFailingLine) {
    std::vector<std::string> lines;
    for (int i = 0; i < 120; ++i) {
        lines.push_back("key" + std::to_string(i) + " = shared value " + std::to_string(i % 5) +
                        " longer than sso");
        if (i % 3 == 0) lines.push_back("a = replaced " + std::to_string(i) + " # and a note");
        if (i % 40 == 7) lines.push_back("@type t" + std::to_string(i) + " = i32");
        if (i % 50 == 9)
            lines.push_back("@schema S" + std::to_string(i) + " { f" + std::to_string(i) +
                            ": i32 }");
        if (i % 50 == 20) lines.push_back("f" + std::to_string(i - 11) + " = 5");
    }
    const auto text_of = [&](std::size_t n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += lines[i] + "\n";
        return text;
    };
    const std::string text = text_of(lines.size());
    ASSERT_GE(text.size(), 4096u);
    for (bool reverse : {false, true}) {
        // What the document is after each prefix of the lines.
        std::map<std::map<std::string, std::string>, std::size_t> prefixes;
        for (std::size_t n = 0; n <= lines.size(); ++n) {
            QernDocument doc = setup(12, reverse)();
            EXPECT_EQ(merge_error(doc, text_of(n)), "");
            prefixes.emplace(observe(doc), n);
        }
        const int failures = sweep(
            setup(12, reverse), text, [&](const auto& seen) { return prefixes.count(seen) != 0; },
            false);
        // Keys and values take room from the document's arena a chunk at a time; what
        // allocates is a new chunk, the growth of an index, and the directives.
        EXPECT_GT(failures, 30);
    }
}

}  // namespace
}  // namespace qern::testing

namespace qern::testing {
namespace {

// A replacement that leaves more dead text than live copies the live text into fresh
// room. Short of memory for that copy the map keeps its old room: the assignment still
// takes effect, exactly, and the room is given back by a later replacement.
TEST(AllocationFailure, CopyingTheTextAfterReplacementsIsOnlyPutOff) {
    const std::string first(5000, 'x'), second(5001, 'y'), third(5002, 'z');
    const auto setup = [&] {
        QernDocument doc = parsed("a = " + first + "\nb = short\na = " + second + "\n");
        (void)doc.find_key("warm");
        return doc;
    };
    const auto before = observe(setup());
    QernDocument expected = setup();
    EXPECT_EQ(merge_error(expected, "a = " + third), "");
    const auto after = observe(expected);
    EXPECT_LT(expected.data().arena_bytes(), 2 * expected.data().text_bytes());
    int put_off = 0;  // merges that succeeded although one of their allocations failed
    for (long n = 0;; ++n) {
        QernDocument doc = setup();
        bool failed = false;
        counted = 0;
        fail_at = n;
        armed = true;
        try {
            (void)doc.merge_content("a = " + third);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        armed = false;
        EXPECT_EQ(observe(doc), failed ? before : after) << "allocation " << n;
        workout(doc, observe(doc));
        if (counted <= n) break;  // no allocation was made to fail: the sweep is done
        put_off += failed ? 0 : 1;
    }
    EXPECT_EQ(put_off, 1);
}

}  // namespace
}  // namespace qern::testing
