#include <map>
#include <set>
#include <string>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

using Names = std::set<std::string>;
using Pairs = std::map<std::string, std::string>;

// Server names the registered types port and tag (the latter through a list) and outer;
// unused and inner (named only by outer) are named by no schema field.
constexpr const char* kBase =
    "@type port = i32\n@type unused = f64\n@type inner = i32\n@type outer = inner\n"
    "@schema Server { host: string, port: port, tags*: list<tag>, o*: outer }\n"
    "@type tag = string\n@schema Point { x: f64, y: f64 }\nhost = base-host\nshared = base\n";
const std::string kNoFile = "IO Error: No such file or directory (os error 2)";
const std::string kDerive = "Directive '@derive' error: ";

class Derive : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"base.qrn", "we::ird.qrn", "my base.qrn"}) dir_.write(name, kBase);
        dir_.write("bad.qrn", "a = 1\n\nbroken");
        dir_.write("loose.qrn", "port = abc");
    }
    TempDir dir_;
};

TEST_F(Derive, SelectsSchemasAndTheTypesTheyName) {
    const Names all{"Server", "Point"}, point{"Point"}, server_types{"port", "tag", "outer"};
    // Unlike @import, @derive trims the path inside quotes.
    const struct {
        const char* text;
        Names schemas, types;
    } cases[] = {{"@derive base.qrn", all, server_types},
                 {"@derive base.qrn::", all, server_types},
                 {"@derive base.qrn::Point", point, {}},
                 {"@derive \"base.qrn\"::Point", point, {}},
                 {"@derive \"base.qrn\" Point", point, {}},
                 {"@derive 'base.qrn':::Point", point, {}},
                 {"@derive base.qrn :: Point", point, {}},
                 {"@derive \" base.qrn \"::Point", point, {}},
                 {"@derive \"we::ird.qrn\"::Point", point, {}},
                 {"@derive my base.qrn::Point", point, {}},
                 {"@derive base.qrn::Server", {"Server"}, server_types},
                 {"@derive base.qrn:: Point ::::Server::", all, server_types}};
    for (const auto& c : cases) {
        QernDocument doc = parsed(c.text);
        EXPECT_EQ(schema_names(doc), c.schemas) << c.text;
        EXPECT_EQ(type_names(doc), c.types) << c.text;
        // The data comes over whatever is selected.
        EXPECT_EQ(pairs_of(doc), (Pairs{{"host", "base-host"}, {"shared", "base"}})) << c.text;
    }
    QernDocument doc = parsed("@derive base.qrn");
    EXPECT_EQ(schema_of(doc, "Server"), "host:string o*:outer port:port tags*:list<tag>");
    EXPECT_EQ(validation_error(doc, "port", "x"),
              "Invalid type 'port': Invalid value: Expected i32, got 'x'");
}

TEST_F(Derive, NeverOverridesTheCurrentDocument) {
    QernDocument doc = parsed(
        "shared = mine\n@type port = f64\n@schema Point { z*: i32 }\n@derive base.qrn\nhost = x");
    EXPECT_EQ(pairs_of(doc), (Pairs{{"shared", "mine"}, {"host", "x"}}));
    EXPECT_EQ(schema_of(doc, "Point"), "z*:i32");
    EXPECT_EQ(validation_error(doc, "port", "1.5"), "");
    // Defaults taken from the base are not checked against this document's schemas.
    expect_parses("@schema S { port*: i32 }\n@derive loose.qrn", {{"port", "abc"}});
    // Derived schemas and types check later assignments.
    EXPECT_EQ(parse_error("@derive base.qrn::Server\nport = x"),
              schema_msg("Server", "port", "port", "Invalid value: Expected i32, got 'x'"));
}

// A schema is taken out of the base once: naming it twice finds nothing the second time.
TEST_F(Derive, UnknownSchemaStopsBeforeTheDataMerge) {
    const struct {
        const char* text;
        const char* missing;
        Names schemas;
    } cases[] = {{"@derive base.qrn::Nope", "Nope", {}},
                 {"@derive base.qrn::Point::Nope::Server", "Nope", {"Point"}},
                 {"@derive base.qrn::Point::Point", "Point", {"Point"}},
                 {"@derive \"base.qrn\"Point Server", "Point Server", {}}};
    for (const auto& c : cases) {
        QernDocument doc = new_document();
        EXPECT_EQ(merge_error(doc, std::string("k = 1\n") + c.text + "\nz = 1"),
                  kDerive + "Schema '" + c.missing + "' not found")
            << c.text;
        EXPECT_EQ(schema_names(doc), c.schemas) << c.text;
        EXPECT_EQ(pairs_of(doc), (Pairs{{"k", "1"}})) << c.text;
    }
}

// Only schemas declared before the @derive are checked; Server's port is never assigned.
TEST_F(Derive, RequiredFieldsOfEarlierSchemasAreChecked) {
    const std::pair<const char*, std::string> cases[] = {
        {"@schema App { host: string, name: string, opt*: i32 }\nname = x\n@derive base.qrn", ""},
        {"@schema App { opt*: i32 }\n@derive base.qrn", ""},
        {"@derive base.qrn\n@schema Late { zz: i32 }", ""},
        {"@schema App { need: i32 }\n@derive base.qrn",
         schema_msg("App", "need", "i32", "Missing required field 'need'")},
        {"@schema Point { x: f64 }\n@derive base.qrn::Point",
         schema_msg("Point", "x", "f64", "Missing required field 'x'")}};
    for (const auto& [text, message] : cases) {
        QernDocument doc = new_document();
        EXPECT_EQ(merge_error(doc, text), message) << text;
        EXPECT_TRUE(doc.data().contains("shared")) << text;  // the data merge stays
    }
}

// Of several missing fields, every run names the same one: the first schema by name, then
// its first field by name.
TEST_F(Derive, TheMissingFieldReportedIsTheSameOnEveryRun) {
    for (int run = 0; run < 40; ++run) {
        QernDocument doc = new_document();
        EXPECT_EQ(merge_error(doc,
                              "@schema Zed { a: i32 }\n@schema App { zz: i32, mm: i32, bb: i32, "
                              "cc: i32, host: string }\n@derive base.qrn"),
                  schema_msg("App", "bb", "i32", "Missing required field 'bb'"));
    }
}

// The base's keys come over in the order the base first assigned them, where the @derive
// stands; the document's own keys keep their places.
TEST_F(Derive, DefaultsComeInTheBasesOwnOrder) {
    std::string base;
    std::vector<std::string> expected = {"own", "host"};
    for (int i = 0; i < 300; ++i) {
        const std::string key = "b" + std::to_string(i * 7919 % 300);
        base += key + " = " + std::to_string(i) + "\n";
        expected.push_back(key);
    }
    dir_.write("many.qrn", "host = base\n" + base + "own = base\n");
    expected.push_back("after");
    QernDocument doc = parsed("own = 1\nhost = 2\n@derive many.qrn\nafter = 3");
    std::vector<std::string> keys;
    doc.data().for_each_in_order([&](const DataMap::Entry& e) { keys.emplace_back(e.key); });
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(*doc.data().find("own"), "1");
}

TEST_F(Derive, BaseFileErrorsComeBackUnchanged) {
    dir_.write("badschema.qrn", "ok = 1\n@schema X");
    const std::pair<const char*, std::string> cases[] = {
        {"@derive missing.qrn", kNoFile},
        {"@derive", kNoFile},
        {"@derive \"base.qrn", kNoFile},
        {"@derive base.qrn\"::Point", kNoFile},
        {"\n\n@derive bad.qrn",
         "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='"},
        {"@derive badschema.qrn", "Directive '@schema' error: Expected '{'"}};
    for (const auto& [text, message] : cases) {
        QernDocument doc = new_document();
        EXPECT_EQ(merge_error(doc, text), message) << text;
        EXPECT_TRUE(doc.data().empty()) << text;
    }
}

}  // namespace
}  // namespace qern::testing
