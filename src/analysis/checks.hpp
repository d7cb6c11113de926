#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/analysis.hpp"
#include "qern/hash.hpp"
#include "qern/merge_context.hpp"
#include "qern/rules.hpp"

namespace qern::analysis {

// What the checker says beside the library's own errors, one merge at a time: hints and
// related places for errors, which errors only follow from a failure reported already,
// and the checks of declarations and keys that --strict adds (unknown-type,
// unresolved-alias, unknown-field, hidden-character). It remembers where every alias and
// schema was declared, in every file the merge reads, so that a problem found far from a
// declaration can point at it.
class Checks {
  public:
    Checks(bool strict, Analysis& out) : strict_(strict), out_(out) {}

    // Whether the error only follows from an earlier failure that was reported with a
    // note saying so (a field typed by a schema that failed to register).
    bool knock_on(const MergeContext& context, const QernError& error) const;
    // Adds to an error's diagnostic its hints and the declarations it is about.
    void explain(const MergeContext& context, const QernError& error, Diagnostic& d);

    void on_assignment(const MergeContext& context, const QernDocument& doc, std::string_view key,
                       const SourceLine& where, bool checked);
    void on_type(const MergeContext& context, std::string_view name, std::string_view definition);
    void on_schema(const MergeContext& context, const SchemaSyntax& syntax);
    void on_failed_schema(const MergeContext& context, const SchemaSyntax& syntax);
    void on_derive(const QernDocument& base);

    // The checks that need the whole merge: declarations against what the document
    // finally holds, keys against its schemas' fields.
    void finish();

  private:
    struct TypeRecord {
        std::string name;
        std::string definition;
        Location name_at;
        Location definition_at;
        std::size_t order;
    };
    struct FieldRecord {
        std::string name;
        std::string type;
        Location type_at;
    };
    struct SchemaRecord {
        std::string name;
        std::vector<FieldRecord> fields;  // as declared; a name declared twice keeps the last
        Location name_at;
        std::size_t order;
        bool failed = false;
    };
    struct KeyRecord {
        std::string key;
        Location at;
        bool hidden = false;
    };

    const TypeRecord* alias_record(std::string_view name) const;
    const SchemaRecord* schema_record(std::string_view name) const;
    const FieldRecord* field_record(std::string_view schema, std::string_view field) const;
    std::vector<std::string> declared_names() const;
    bool failed_schema(std::string_view name) const;
    bool covered(const Location& at) const;
    void point_at(Diagnostic& d, const Location& at, std::string message, std::string_view name,
                  const std::vector<std::string>& declared);
    void warn(std::string_view code, std::string message, const Location& at,
              std::vector<Hint> hints = {});
    void check_alias(const TypeRecord& alias, const std::vector<std::string>& declared);
    void check_schema(const SchemaRecord& schema, const std::vector<std::string>& declared);
    void check_keys();

    bool strict_;
    Analysis& out_;
    std::size_t order_ = 0;
    std::vector<TypeRecord> types_;
    std::vector<SchemaRecord> schemas_;
    std::vector<KeyRecord> keys_;  // keys of the checked document no schema checked
    StringSet seen_keys_;
    std::vector<std::string> base_schemas_;  // the schemas of the last @derive's base
    // The places errors pointed at with a hint: a declaration found there is not warned
    // about again.
    std::vector<Location> pointed_;
    bool failed_pending_ = false;  // a schema failed; its error comes next
};

}  // namespace qern::analysis
