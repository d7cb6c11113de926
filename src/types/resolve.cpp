#include "types/resolve.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "qern/buffer_pool.hpp"
#include "qern/literals.hpp"
#include "qern/text.hpp"
#include "types/field_table.hpp"
#include "types/math.hpp"
#include "types/physics.hpp"
#include "types/primitive_type.hpp"
#include "types/time.hpp"
#include "types/types.hpp"

namespace qern {

namespace {

static_assert(kMaxValueDepth == 256, "the depth message names the limit");
constexpr std::string_view kDepthMessage = "Value nested deeper than 256 levels";

QernError depth_error() {
    return QernError::invalid_value(std::string(kDepthMessage), ErrorKind::Limit);
}

// What a field check passes up. A failure carries the text that becomes the message of
// the SchemaValidation error the caller forms. Running out of depth carries nothing: that
// error travels up unwrapped, so a deep value cannot pile up one prefix per level.
// Each enclosing level only adds a prefix, and a failing item's text is part of every
// prefix above it: the text is kept as its pieces, innermost first, and joined once at
// the top, so that building it costs its length rather than its length times the depth.
// A failure is the field's own unknown type only until something wraps it.
struct FieldOutcome {
    enum Status : std::uint8_t { Ok, Failed, TooDeep } status = Ok;
    std::vector<std::string> pieces;
    ErrorKind kind = ErrorKind::Schema;

    static FieldOutcome failed(std::string message, ErrorKind kind = ErrorKind::Schema) {
        FieldOutcome out{Failed, {}, kind};
        out.pieces.push_back(std::move(message));
        return out;
    }
    static FieldOutcome from(Result<void> r) {
        if (r.ok()) return {};
        if (r.error().kind() == ErrorKind::Limit) return {TooDeep, {}};
        return failed(r.error().display());
    }
    // Every error text here ends with its nested message, so the text of an error with an
    // empty message is exactly the prefix it puts before that message.
    FieldOutcome& wrap(const QernError& prefix) {
        pieces.push_back(prefix.display());
        kind = ErrorKind::Schema;
        return *this;
    }
    std::string text() const {
        std::size_t size = 0;
        for (const std::string& piece : pieces) size += piece.size();
        std::string out;
        out.reserve(size);
        for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) out += *it;
        return out;
    }
};

// What checking a value as a field of `name` comes to, found once so that the items of a
// list, and the objects of a list of objects, do not look their type up again each.
struct FieldCheck {
    enum Kind : std::uint8_t { Registered, Schema, Builtin, List, Unknown } kind = Unknown;
    std::string_view name;  // the type name; for a list, its element type
    const TypeDef* registered = nullptr;
    const SchemaDef* schema = nullptr;
    BuiltinType builtin{TypeFamily::Primitive, 0, {}};
    bool any_items = false;  // a list whose items pass whatever their text
};

std::optional<std::string_view> list_element_of(const TypeDef& type);

FieldCheck resolve_check(const QernDocument& doc, std::string_view type_name) {
    const auto& types = doc.types();
    if (!types.empty()) {
        const auto it = types.find(type_name);
        if (it != types.end()) {
            // Lists nested through aliases are checked without leaving the piecewise
            // failure text.
            if (const auto element = list_element_of(*it->second))
                return {FieldCheck::List, *element, nullptr, nullptr, {}};
            return {FieldCheck::Registered, type_name, it->second.get(), nullptr, {}};
        }
    }
    if (doc.schemas().size() != 0) {
        if (const SchemaDef* schema = doc.schemas().find(type_name))
            return {FieldCheck::Schema, type_name, nullptr, schema, {}};
    }
    const auto builtin = find_builtin(type_name);
    if (!builtin) return {FieldCheck::Unknown, type_name, nullptr, nullptr, {}};
    if (builtin->family == TypeFamily::List)
        return {FieldCheck::List, builtin->element, nullptr, nullptr, {}};
    return {FieldCheck::Builtin, type_name, nullptr, nullptr, *builtin};
}

// The element type when `type` checks values as a list.
std::optional<std::string_view> list_element_of(const TypeDef& type) {
    if (const auto* list = dynamic_cast<const ListType*>(&type)) return list->element_type();
    const auto* alias = dynamic_cast<const AliasType*>(&type);
    if (alias == nullptr || alias->kind() != AliasKind::TypeExpression) return std::nullopt;
    const auto builtin = find_builtin(alias->definition());
    if (!builtin || builtin->family != TypeFamily::List) return std::nullopt;
    return builtin->element;
}

// The failures of an object's check, kept out of its way.
[[gnu::cold, gnu::noinline]] FieldOutcome not_an_object(std::string_view schema_name,
                                                        std::string_view value) {
    return FieldOutcome::failed(
        QernError::invalid_value(concat("Field typed as schema '", schema_name,
                                        "' must be an inline object '{ k = v, ... }', got: '",
                                        value, "'"))
            .display());
}

[[gnu::cold, gnu::noinline]] FieldOutcome unreadable_object(std::string_view schema_name,
                                                            const std::string& error) {
    return FieldOutcome::failed(
        QernError::invalid_value(
            concat("Failed to parse inline object for schema '", schema_name, "': ", error))
            .display());
}

[[gnu::cold, gnu::noinline]] FieldOutcome missing_field(std::string_view schema_name,
                                                        std::string_view field,
                                                        std::string_view type) {
    return FieldOutcome::failed(
        QernError::schema_validation(
            schema_name, field, type,
            concat("Missing field '", field, "' in inline object for schema '", schema_name, "'"))
            .display());
}

// Checks one value as a field of a type, and whatever that value holds. What it resolves
// on the way it keeps for the rest of the check: each type by where its name lies (a
// list's element type inside the list type's name, a field's type in its schema), and each
// schema's field checks. The fields of the objects it reads are kept in buffers of a pool
// that go back to it, so that a list of many objects allocates nothing per object.
class Checker {
  public:
    explicit Checker(const QernDocument& doc) : doc_(doc) {}

    // Asks the check of `value` to keep how it read it, when it reads it as a list of
    // inline objects: taken() then gives it.
    void keep_reading_of(std::string_view value) {
        read_value_ = value;
        keep_reading_ = true;
    }
    std::unique_ptr<const ObjectListReading> taken() { return std::move(reading_); }

    FieldOutcome field(std::string_view type_name, std::string_view value, unsigned depth) {
        if (depth > kMaxValueDepth) return {FieldOutcome::TooDeep, {}};
        return run(resolved(type_name), value, depth);
    }

    // A list check whose failure text is the message of the InvalidValue error it
    // stands for.
    FieldOutcome list(std::string_view element, std::string_view value, unsigned depth) {
        if (depth > kMaxValueDepth) return {FieldOutcome::TooDeep, {}};
        const FieldCheck check = resolved(element);
        FieldOutcome outcome;
        // A failing item gives the list's failure.
        const auto failed = [&](std::string_view item) {
            if (outcome.status != FieldOutcome::Failed) return outcome.status != FieldOutcome::Ok;
            outcome.wrap(QernError::schema_validation(concat("list<", element, ">"), "list_item",
                                                      element, {}));
            outcome.pieces.push_back(
                concat("List item '", item, "' failed validation for type '", element, "': "));
            return true;
        };
        bool is_list;
        if (accepts_any_text(check) && depth + 1 <= kMaxValueDepth) {
            is_list = list_body(value).has_value();
        } else if (check.kind == FieldCheck::Schema) {
            // Objects are read in the pass that splits the list.
            BufferPool<ObjectField>::Buffer fields(field_pool_);
            BufferPool<literal_scan::InnerMark>::Buffer marks(mark_pool_);
            std::string error;
            std::unique_ptr<ObjectListReading> reading = start_reading(value);
            is_list = for_each_list_object(
                value, *marks, *fields, error, [&](std::string_view item, bool read) {
                    if (depth + 1 > kMaxValueDepth) {
                        outcome = {FieldOutcome::TooDeep, {}};
                        return false;
                    }
                    outcome =
                        object(check.name, *check.schema, item, read, *fields, error, depth + 1);
                    if (reading && outcome.status == FieldOutcome::Ok)
                        record(reading, value, item, *fields);
                    return !failed(item);
                });
            if (is_list && outcome.status == FieldOutcome::Ok && reading) {
                reading->fit();
                reading_ = std::move(reading);
            }
        } else {
            is_list = for_each_list_item(value, [&](std::string_view item) {
                if (passes_at_once(check, item, depth + 1)) return true;
                outcome = run(check, item, depth + 1);
                return !failed(item);
            });
        }
        if (!is_list) {
            return FieldOutcome::failed(
                concat("Expected a list literal in the form [item, item, ...], got '", value, "'"));
        }
        return outcome;
    }

  private:
    // A reading to fill when `value` is the one whose reading is to be kept.
    std::unique_ptr<ObjectListReading> start_reading(std::string_view value) {
        if (!keep_reading_ || value.data() != read_value_.data() ||
            value.size() != read_value_.size())
            return nullptr;
        keep_reading_ = false;
        try {
            return std::make_unique<ObjectListReading>();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    // A reading is a shortcut for later: one that cannot be made is dropped, and the
    // check goes on.
    static void record(std::unique_ptr<ObjectListReading>& reading, std::string_view list,
                       std::string_view item, const std::vector<ObjectField>& fields) {
        if (!reading->add(list, item, fields)) reading.reset();
    }

    FieldCheck resolved(std::string_view name) {
        for (const auto& [known, check] : known_)
            if (known.data() == name.data() && known.size() == name.size()) return check;
        FieldCheck check = resolve_check(doc_, name);
        if (check.kind == FieldCheck::List)
            check.any_items = accepts_any_text(resolve_check(doc_, check.name));
        if (known_.size() < 32) known_.emplace_back(name, check);
        return check;
    }

    using Table = FieldTable<FieldCheck>;

    // The declared fields of a schema with their checks, made on its first object.
    Table& table_of(const SchemaDef& schema) {
        for (const auto& table : tables_)
            if (table->schema() == &schema) return *table;
        tables_.push_back(
            std::make_unique<Table>(schema, [&](std::string_view type) { return resolved(type); }));
        return *tables_.back();
    }

    static bool is_primitive(const FieldCheck& check) {
        return check.kind == FieldCheck::Builtin && check.builtin.family == TypeFamily::Primitive;
    }
    static bool accepts_any_text(const FieldCheck& check) {
        return is_primitive(check) &&
               static_cast<PrimitiveKind>(check.builtin.code) == PrimitiveKind::String;
    }
    // Whether a check at `depth` passes `value`, told without forming an outcome, for a
    // primitive or a list of any text. False sends the value through run(), which tells
    // how it fails.
    static bool passes_at_once(const FieldCheck& check, std::string_view value, unsigned depth) {
        if (check.kind == FieldCheck::List)
            return check.any_items && depth + 1 <= kMaxValueDepth && list_body(value).has_value();
        return is_primitive(check) && depth <= kMaxValueDepth &&
               primitive_accepts(static_cast<PrimitiveKind>(check.builtin.code), value);
    }

    FieldOutcome run(const FieldCheck& check, std::string_view value, unsigned depth) {
        if (depth > kMaxValueDepth) return {FieldOutcome::TooDeep, {}};
        switch (check.kind) {
            case FieldCheck::Registered:
                return FieldOutcome::from(check.registered->validate_nested(value, doc_, depth));
            case FieldCheck::Schema:
                return object(check.name, *check.schema, value, depth);
            case FieldCheck::Builtin:
                return FieldOutcome::from(validate_builtin(check.builtin, value, doc_, depth));
            case FieldCheck::Unknown:
                return FieldOutcome::failed(concat("Unknown type '", check.name, "'"),
                                            ErrorKind::UnknownType);
            case FieldCheck::List:
                break;
        }
        FieldOutcome outcome = list(check.name, value, depth);
        if (outcome.status == FieldOutcome::Failed) outcome.wrap(QernError::invalid_value({}));
        return outcome;
    }

    FieldOutcome object(std::string_view schema_name, const SchemaDef& schema,
                        std::string_view value, unsigned depth) {
        BufferPool<ObjectField>::Buffer fields(field_pool_);
        std::string error;
        const bool read = parse_inline_object_into(value, *fields, error);
        return object(schema_name, schema, value, read, *fields, error, depth);
    }

    // `value` as an object of the schema, once it is read: `read` and `fields` or `error`
    // are what parse_inline_object_into gave for it.
    FieldOutcome object(std::string_view schema_name, const SchemaDef& schema,
                        std::string_view value, bool read, const std::vector<ObjectField>& fields,
                        const std::string& error, unsigned depth) {
        const std::string_view t = trim(value);
        if (t.empty() || t.front() != '{' || t.back() != '}')
            return not_an_object(schema_name, value);
        if (!read) return unreadable_object(schema_name, error);
        // Each declared field's value, the last one given when it is given twice; the
        // fields are then checked in the table's order.
        Table& table = table_of(schema);
        SmallBuffer<const ObjectField*, 32> given(given_pool_, table.size());
        std::fill_n(given.data(), table.size(), nullptr);
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (const Table::Field* declared = table.find(fields[i].key, i))
                given[table.index_of(declared)] = &fields[i];

        for (std::size_t at = 0; at < table.size(); ++at) {
            const Table::Field& field = table.fields()[at];
            const ObjectField* found = given[at];
            if (found == nullptr) {
                if (field.optional) continue;
                return missing_field(schema_name, field.name, field.type);
            }
            if (passes_at_once(field.info, found->value, depth + 1)) continue;
            FieldOutcome inner = run(field.info, found->value, depth + 1);
            if (inner.status == FieldOutcome::TooDeep) return inner;
            if (inner.status == FieldOutcome::Failed) {
                return std::move(inner.wrap(
                    QernError::schema_validation(schema_name, field.name, field.type, {})));
            }
        }
        return {};
    }

    const QernDocument& doc_;
    std::vector<std::pair<std::string_view, FieldCheck>> known_;
    std::vector<std::unique_ptr<Table>> tables_;
    BufferPool<ObjectField> field_pool_;
    BufferPool<literal_scan::InnerMark> mark_pool_;
    BufferPool<const ObjectField*> given_pool_;
    std::string_view read_value_;
    bool keep_reading_ = false;
    std::unique_ptr<const ObjectListReading> reading_;
};

FieldOutcome check_field(const QernDocument& doc, std::string_view type_name,
                         std::string_view value, unsigned depth,
                         std::unique_ptr<const ObjectListReading>* reading = nullptr) {
    Checker checker(doc);
    if (reading != nullptr) checker.keep_reading_of(value);
    FieldOutcome outcome = checker.field(type_name, value, depth);
    if (reading != nullptr)
        *reading = outcome.status == FieldOutcome::Ok ? checker.taken() : nullptr;
    return outcome;
}

Result<void> validate_list(std::string_view element, std::string_view value,
                           const QernDocument& doc, unsigned depth) {
    const FieldOutcome outcome = Checker(doc).list(element, value, depth);
    switch (outcome.status) {
        case FieldOutcome::Ok:
            return success();
        case FieldOutcome::TooDeep:
            return depth_error();
        case FieldOutcome::Failed:
            break;
    }
    return QernError::invalid_value(outcome.text());
}

}  // namespace

std::optional<std::string_view> list_element_type(std::string_view name) {
    const std::string_view t = trim(name);
    if (t.size() < 6 || !t.starts_with("list<") || !t.ends_with('>')) return std::nullopt;
    const std::string_view inner = trim(t.substr(5, t.size() - 6));
    if (inner.empty()) return std::nullopt;
    return inner;
}

std::optional<BuiltinType> find_builtin(std::string_view name, std::string_view* missing) {
    if (auto element = list_element_type(name)) {
        return BuiltinType{TypeFamily::List, 0, *element};
    }
    const auto fail = [&](std::string_view what) -> std::optional<BuiltinType> {
        if (missing != nullptr) *missing = what;
        return std::nullopt;
    };
    const std::size_t sep = name.find("::");
    if (sep == std::string_view::npos) {
        if (auto kind = find_primitive(name)) {
            return BuiltinType{TypeFamily::Primitive, static_cast<std::uint8_t>(*kind), {}};
        }
        return fail(name);
    }
    const std::string_view family = name.substr(0, sep);
    const std::string_view member = name.substr(sep + 2);
    if (member.find("::") != std::string_view::npos) return fail(name);
    if (family == "math") {
        if (auto kind = find_math_kind(member)) {
            return BuiltinType{TypeFamily::Math, static_cast<std::uint8_t>(*kind), {}};
        }
        return fail(member);
    }
    if (family == "time") {
        if (auto kind = find_time_kind(member)) {
            return BuiltinType{TypeFamily::Time, static_cast<std::uint8_t>(*kind), {}};
        }
        return fail(member);
    }
    if (family == "physics") {
        if (auto unit = find_unit(member)) {
            return BuiltinType{TypeFamily::Physics, static_cast<std::uint8_t>(*unit), {}};
        }
        return fail(member);
    }
    return fail(name);
}

PrimitiveKind builtin_base_type(const BuiltinType& type) {
    switch (type.family) {
        case TypeFamily::Primitive:
            return static_cast<PrimitiveKind>(type.code);
        case TypeFamily::Physics:
            return is_integer_unit(static_cast<Unit>(type.code)) ? PrimitiveKind::I32
                                                                 : PrimitiveKind::F64;
        case TypeFamily::Time:
        case TypeFamily::Math:
            return PrimitiveKind::F64;
        case TypeFamily::List:
            return PrimitiveKind::String;
    }
    return PrimitiveKind::String;
}

Result<void> validate_builtin(const BuiltinType& type, std::string_view value,
                              const QernDocument& doc, unsigned depth) {
    switch (type.family) {
        case TypeFamily::Primitive:
            return validate_primitive(static_cast<PrimitiveKind>(type.code), value);
        case TypeFamily::Time:
            return validate_time(static_cast<TimeKind>(type.code), value);
        case TypeFamily::Math:
            return validate_math(static_cast<MathKind>(type.code), value);
        case TypeFamily::Physics:
            return validate_unit(static_cast<Unit>(type.code), value);
        case TypeFamily::List:
            return validate_list(type.element, value, doc, depth);
    }
    return success();
}

Result<std::unique_ptr<TypeDef>> resolve_type(std::string_view name) {
    std::string_view missing;
    const auto builtin = find_builtin(name, &missing);
    if (!builtin) return QernError::key_not_found(missing);
    std::unique_ptr<TypeDef> type;
    switch (builtin->family) {
        case TypeFamily::Primitive:
            type = std::make_unique<PrimitiveType>(static_cast<PrimitiveKind>(builtin->code));
            break;
        case TypeFamily::Time:
            type = std::make_unique<TimeType>(static_cast<TimeKind>(builtin->code));
            break;
        case TypeFamily::Math:
            type = std::make_unique<MathType>(static_cast<MathKind>(builtin->code));
            break;
        case TypeFamily::Physics:
            type = std::make_unique<PhysicsUnit>(static_cast<Unit>(builtin->code));
            break;
        case TypeFamily::List:
            type = std::make_unique<ListType>(std::string(builtin->element));
            break;
    }
    return type;
}

Result<void> validate_value(const QernDocument& doc, std::string_view type_name,
                            std::string_view value) {
    Result<void> result = success();
    const auto& types = doc.types();
    const auto registered = types.empty() ? types.end() : types.find(type_name);
    if (registered != types.end()) {
        result = registered->second->validate(value, doc);
    } else if (auto builtin = find_builtin(type_name)) {
        result = validate_builtin(*builtin, value, doc, 0);
    } else {
        return QernError::key_not_found(type_name);
    }
    if (result.ok()) return result;
    // Running out of depth stays what it is; any other failure is the value's.
    const ErrorKind kind =
        result.error().kind() == ErrorKind::Limit ? ErrorKind::Limit : ErrorKind::InvalidValue;
    return QernError::invalid_type(type_name, result.error().display(), kind);
}

Result<void> validate_field(const QernDocument& doc, std::string_view type_name,
                            std::string_view value, std::string_view schema_name,
                            std::string_view field_name, unsigned depth,
                            std::unique_ptr<const ObjectListReading>* reading) {
    FieldOutcome outcome = check_field(doc, type_name, value, depth, reading);
    switch (outcome.status) {
        case FieldOutcome::Ok:
            return success();
        case FieldOutcome::TooDeep:
            // Only the outermost call names the field; deeper ones pass the error on as is.
            if (depth != 0) return depth_error();
            return QernError::schema_validation(schema_name, field_name, type_name,
                                                depth_error().display(), ErrorKind::Limit);
        case FieldOutcome::Failed:
            break;
    }
    return QernError::schema_validation(schema_name, field_name, type_name, outcome.text(),
                                        outcome.kind);
}

std::unique_ptr<TypeDef> make_alias(std::string definition) {
    const AliasKind kind = alias_kind(definition);
    return std::make_unique<AliasType>(kind, std::move(definition));
}

Result<void> ListType::validate_nested(std::string_view value, const QernDocument& doc,
                                       unsigned depth) const {
    return validate_list(element_, value, doc, depth);
}

bool AliasType::resolves() const {
    if (kind_ == AliasKind::PrimitiveName) return find_primitive(definition_).has_value();
    return find_builtin(definition_).has_value();
}

PrimitiveKind AliasType::base_type() const {
    if (kind_ == AliasKind::PrimitiveName) {
        return find_primitive(definition_).value_or(PrimitiveKind::String);
    }
    if (auto builtin = find_builtin(definition_)) return builtin_base_type(*builtin);
    return PrimitiveKind::String;
}

Result<void> AliasType::validate_nested(std::string_view value, const QernDocument& doc,
                                        unsigned depth) const {
    if (kind_ == AliasKind::PrimitiveName) {
        const auto kind = find_primitive(definition_);
        if (!kind) return QernError::key_not_found(definition_);
        return validate_primitive(*kind, value);
    }
    std::string_view missing;
    const auto builtin = find_builtin(definition_, &missing);
    if (!builtin) return QernError::key_not_found(missing);
    return validate_builtin(*builtin, value, doc, depth);
}

}  // namespace qern
