#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "qern/data_map.hpp"
#include "qern/error.hpp"
#include "qern/hash.hpp"
#include "qern/merge_context.hpp"

namespace qern {

class QernDocument;

// A directive handler. Handlers are stateless and shared between documents.
class Command {
  public:
    virtual ~Command() = default;
    // The directive name, without the '@'.
    virtual std::string_view name() const = 0;
    // Runs the directive on `doc`; `args` is the text after the name, untrimmed.
    virtual Result<void> execute(QernDocument& doc, std::string_view args) const = 0;
};

// The kind of value a type holds.
enum class PrimitiveKind : std::uint8_t { I32 = 0, F64 = 1, String = 2, Bool = 3, Color = 4 };

// How many values deep a validation may nest (lists in lists, objects in objects).
inline constexpr unsigned kMaxValueDepth = 256;

// A type that can validate a textual value.
class TypeDef {
  public:
    virtual ~TypeDef() = default;
    virtual PrimitiveKind base_type() const = 0;
    Result<void> validate(std::string_view value, const QernDocument& doc) const {
        return validate_nested(value, doc, 0);
    }
    // `depth` counts the values this one is nested in, so that hostile input cannot
    // exhaust the stack.
    virtual Result<void> validate_nested(std::string_view value, const QernDocument& doc,
                                         unsigned depth) const = 0;
    // An equal type object, for a copy of the registry that holds this one.
    virtual std::unique_ptr<TypeDef> clone() const = 0;
};

// A schema: field name to type name, and the names of the optional fields.
struct SchemaDef {
    StringMap<std::string> fields;
    StringSet optional;
};

// The schema registry, with an index from field name to the schemas that declare it, so
// that checking an assignment costs the same however many schemas exist.
//
// Which schema checks a field that several declare does not depend on hash order: the one
// that declared it first, a schema declared again keeping its place for the fields it
// declared before. When that schema stops declaring the field, the next one in that order
// takes over. Schemas themselves keep the order of their first registration.
//
// A registration is all or nothing: a failure to allocate leaves the registry and its
// index as they were.
class SchemaRegistry {
    // The schemas declaring one field, in the order they came to declare it: pointers to
    // the schema's name (a schemas_ key) and to the field's type in it, which stay put
    // while the schema is registered.
    struct Owner {
        const std::string* schema;
        const std::string* type;
    };
    struct Owners {
        std::vector<Owner> order;
        void add(const std::string* name) { order.push_back({name, nullptr}); }
        void erase(const std::string* name) noexcept {
            const auto it = std::find_if(order.begin(), order.end(),
                                         [&](const Owner& o) { return o.schema == name; });
            if (it != order.end()) order.erase(it);
        }
    };
    struct Registered {
        SchemaDef def;
        std::uint64_t order = 0;  // when the name was first registered
    };

  public:
    SchemaRegistry() = default;
    // A copy with the same schemas, order and deciding schemas.
    SchemaRegistry(const SchemaRegistry& other);
    SchemaRegistry& operator=(const SchemaRegistry&) = delete;
    SchemaRegistry(SchemaRegistry&&) noexcept = default;
    SchemaRegistry& operator=(SchemaRegistry&&) noexcept = default;

    const SchemaDef* find(std::string_view name) const;
    bool contains(std::string_view name) const { return schemas_.count(name) != 0; }
    std::size_t size() const { return schemas_.size(); }
    // Registers `def` under `name`, replacing and dropping any schema of that name.
    void insert(std::string_view name, SchemaDef def);
    // Takes the schema out of the registry. Allocates nothing, so it cannot fail.
    std::optional<SchemaDef> remove(std::string_view name) noexcept;
    // The names of all schemas, in the order of their first registration.
    std::vector<std::string> names() const;

    struct FieldOwner {
        std::string_view schema;
        std::string_view type;
    };
    // The schema that checks assignments to the key `field` (the first that declared a
    // field of that name), with that field's type.
    std::optional<FieldOwner> owner_of(std::string_view field) const;
    // Makes `schema`, which must declare `field`, the one that checks it.
    void set_owner(std::string_view field, std::string_view schema) noexcept;

    template <class F>
    void for_each(F&& f) const {
        for (const auto& [name, entry] : schemas_) f(name, entry.def);
    }

  private:
    // Points the owners of the fields of the schema `name` at their types in `def`.
    void point_at_types(const std::string& name, const SchemaDef& def) noexcept;
    void unindex_fields(const std::string& name, const SchemaDef& def, const SchemaDef* keep,
                        std::size_t count) noexcept;

    StringMap<Registered> schemas_;
    StringMap<Owners> field_index_;
    std::uint64_t next_order_ = 0;
};

// Checks a value against a type name for a schema field (the type system's
// validate_field). Assignments to a key that some schema declares go through it, and
// the entry keeps what the check leaves in `reading`.
using FieldValidator = Result<void> (*)(const QernDocument& doc, std::string_view type_name,
                                        std::string_view value, std::string_view schema,
                                        std::string_view field, unsigned depth,
                                        std::unique_ptr<const ObjectListReading>* reading);

// What every new document starts from: the directive handlers, in registration order,
// and the field validator. Built once and never changed.
struct Builtins {
    std::vector<std::shared_ptr<const Command>> commands;
    FieldValidator validate_field = nullptr;
};

// A QERN document: the key/value map, the directive registry, the registered types and
// the registered schemas.
class QernDocument {
  public:
    explicit QernDocument(const Builtins& builtins);
    QernDocument(QernDocument&&) noexcept = default;
    QernDocument& operator=(QernDocument&&) noexcept = default;
    QernDocument(const QernDocument&) = delete;
    QernDocument& operator=(const QernDocument&) = delete;

    // Merges text into this document. The first failing line stops the merge; what was
    // stored before it stays. Errors carry their location.
    Result<void> merge_content(std::string_view text);
    // Reads the file (as given; relative paths against the working directory) and
    // merges its text.
    Result<void> merge_file(std::string_view path) { return merge_file_observed(path, nullptr); }

    // What text stands for: a file's name for locations (none for a string) and, when it
    // is the unsaved text of a file on disk, that file's identity, so that reading the
    // file again through a directive is a cycle.
    struct TextSource {
        std::optional<std::string> file;
        std::optional<FileId> id;
    };
    // The merges above, watched by `observer` (which may make them go on past failing
    // lines).
    Result<void> merge_source(std::string_view text, const TextSource& source,
                              MergeObserver* observer);
    // `directory`: where relative paths, the given one and those of @import and @derive,
    // are taken (empty: the working directory).
    Result<void> merge_file_observed(std::string_view path, MergeObserver* observer,
                                     std::string directory = {});

    // The value of `key`, or else the key of some entry whose value is `key`.
    std::optional<std::string_view> find_obj(std::string_view key) const;
    // The key of some entry whose value is `value`.
    std::optional<std::string_view> find_key(std::string_view value) const;
    // Follows key -> value -> key until a value that is no key, or a cycle.
    std::optional<std::string_view> find_deep(std::string_view key) const;
    // find_obj, then the value read as a list literal.
    std::optional<std::vector<std::string_view>> find_list(std::string_view key) const;
    // find_obj, then the value read as an inline object; a later duplicate field wins.
    std::optional<ViewMap<std::string_view>> find_object(std::string_view key) const;
    std::vector<std::string_view> keys() const;
    StringMap<std::string> to_dict() const;

    // A document with no pairs and copies of this one's registered types and schemas
    // (the same schemas deciding each field).
    QernDocument copy_declarations() const;

    const DataMap& data() const { return data_; }
    DataMap& data() { return data_; }
    const StringMap<std::shared_ptr<const Command>>& commands() const { return commands_; }
    const StringMap<std::unique_ptr<TypeDef>>& types() const { return types_; }
    StringMap<std::unique_ptr<TypeDef>>& types() { return types_; }
    const SchemaRegistry& schemas() const { return schemas_; }
    SchemaRegistry& schemas() { return schemas_; }
    const Builtins& builtins() const { return *builtins_; }

    // The merge in progress: the files being read and the work done so far. Directives
    // that read files use it; it is null outside merge_content and merge_file.
    MergeContext* merge_context() const { return context_; }

    // Merges text as part of an operation already in progress (imports, derives).
    Result<void> merge_within(std::string_view text, MergeContext& context);

  private:
    const Builtins* builtins_;
    DataMap data_;
    StringMap<std::shared_ptr<const Command>> commands_;
    StringMap<std::unique_ptr<TypeDef>> types_;
    SchemaRegistry schemas_;
    MergeContext* context_ = nullptr;
};

}  // namespace qern
