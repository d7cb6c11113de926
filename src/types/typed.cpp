#include "types/typed.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "qern/buffer_pool.hpp"
#include "qern/literals.hpp"
#include "qern/text.hpp"
#include "types/field_table.hpp"
#include "types/math.hpp"
#include "types/number.hpp"
#include "types/physics.hpp"
#include "types/primitive_type.hpp"
#include "types/resolve.hpp"
#include "types/types.hpp"

namespace qern {

// A type name resolved the way a schema field resolves it: a registered alias first, then
// a schema, then a built-in name.
struct FieldType {
    enum Kind : std::uint8_t { Builtin, Schema, Unknown, UnresolvedAlias } kind = Unknown;
    BuiltinType builtin{TypeFamily::Primitive, 0, {}};
    const SchemaDef* schema = nullptr;
    std::string_view name;  // the schema, the unknown name or the alias's definition
    // How a built-in type of one piece reads (scalar_of decides), so that the values of
    // lists and objects are read without the whole dispatch: Other for the rest.
    enum Scalar : std::uint8_t { Other, Integer, Number, Bool, Text } scalar = Other;
};

static FieldType::Scalar scalar_of(const BuiltinType& type) {
    switch (type.family) {
        case TypeFamily::Primitive:
            switch (static_cast<PrimitiveKind>(type.code)) {
                case PrimitiveKind::I32:
                    return FieldType::Integer;
                case PrimitiveKind::F64:
                    return FieldType::Number;
                case PrimitiveKind::Bool:
                    return FieldType::Bool;
                case PrimitiveKind::String:
                    return FieldType::Text;
                case PrimitiveKind::Color:
                    return FieldType::Other;
            }
            return FieldType::Other;
        case TypeFamily::Physics:
            return is_integer_unit(static_cast<Unit>(type.code)) ? FieldType::Integer
                                                                 : FieldType::Number;
        case TypeFamily::Time: {
            const auto kind = static_cast<TimeKind>(type.code);
            return kind == TimeKind::DateTime || kind == TimeKind::Duration ? FieldType::Other
                                                                            : FieldType::Number;
        }
        case TypeFamily::Math:
        case TypeFamily::List:
            break;
    }
    return FieldType::Other;
}

static FieldType builtin_field_type(const BuiltinType& type) {
    return {FieldType::Builtin, type, nullptr, {}, scalar_of(type)};
}

static FieldType resolve_field_type(const QernDocument& doc, std::string_view name) {
    const auto& types = doc.types();
    if (!types.empty()) {
        if (const auto it = types.find(name); it != types.end()) {
            // Only @type registers types, and it registers aliases.
            const auto* alias = dynamic_cast<const AliasType*>(it->second.get());
            if (alias == nullptr) return {FieldType::Unknown, {}, nullptr, name};
            std::optional<BuiltinType> target;
            if (alias->kind() == AliasKind::TypeExpression) {
                target = find_builtin(alias->definition());
            } else if (const auto kind = find_primitive(alias->definition())) {
                target = BuiltinType{TypeFamily::Primitive, static_cast<std::uint8_t>(*kind), {}};
            }
            if (!target) return {FieldType::UnresolvedAlias, {}, nullptr, alias->definition()};
            return builtin_field_type(*target);
        }
    }
    if (doc.schemas().size() != 0) {
        if (const SchemaDef* schema = doc.schemas().find(name))
            return {FieldType::Schema, {}, schema, name};
    }
    if (const auto builtin = find_builtin(name)) return builtin_field_type(*builtin);
    return {FieldType::Unknown, {}, nullptr, name};
}

// The work of TypedConverter. A failure leaves its reason as pieces, innermost first: the reason
// itself, then one "item 2: " or "field 'x': " per enclosing value.
class Converter {
  public:
    enum class Status : std::uint8_t { Ok, Stopped, Failed };

    explicit Converter(const QernDocument& doc) : doc_(doc) {}

    Result<void> convert(std::string_view key, std::string_view type, std::string_view value,
                         TypedSink& sink, const ObjectListReading* reading) {
        sink_ = &sink;
        pieces_.clear();
        reading_ = reading;
        read_value_ = value;
        if (convert(known_type(type), value, 0) != Status::Failed) return success();
        std::string reason;
        for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) reason += *it;
        return QernError::conversion(key, type, value, std::move(reason));
    }

  private:
    using Layout = FieldTable<FieldType>;

    // A schema's fields with their types resolved, made on its first object of a walk, so
    // that a list of many objects resolves each type once.
    Layout& layout(const SchemaDef& schema) {
        for (const auto& l : layouts_)
            if (l->schema() == &schema) return *l;
        layouts_.push_back(std::make_unique<Layout>(
            schema, [&](std::string_view type) { return resolve_field_type(doc_, type); }));
        return *layouts_.back();
    }

    Status fail(std::string reason) {
        pieces_.push_back(std::move(reason));
        return Status::Failed;
    }
    static Status sent(bool go_on) { return go_on ? Status::Ok : Status::Stopped; }
    Status not_a(std::string_view value, std::string_view what) {
        return fail(concat("'", value, "' is not ", what));
    }

    // A value of a one-piece type read at once, the rest through convert.
    Status value_of(const FieldType& type, std::string_view value, unsigned depth) {
        if (type.scalar != FieldType::Other && depth <= kMaxValueDepth)
            return scalar(type.scalar, value);
        return convert(type, value, depth);
    }

    Status convert(const FieldType& type, std::string_view value, unsigned depth) {
        if (depth > kMaxValueDepth) return fail("value nested deeper than 256 levels");
        switch (type.kind) {
            case FieldType::Builtin:
                return builtin(type, value, depth);
            case FieldType::Schema:
                return object(type.name, *type.schema, value, depth);
            case FieldType::UnresolvedAlias:
                return fail(concat("its type is an alias of '", type.name,
                                   "', which names no built-in type"));
            case FieldType::Unknown:
                break;
        }
        return fail(concat("type '", type.name, "' names no type"));
    }

    // How each built-in type reads is decided once, by scalar_of: what it leaves to the
    // whole reading comes here.
    Status builtin(const FieldType& type, std::string_view value, unsigned depth) {
        if (type.scalar != FieldType::Other) return scalar(type.scalar, value);
        const BuiltinType& b = type.builtin;
        switch (b.family) {
            case TypeFamily::Primitive:  // a color, the one primitive not read as a scalar
                return color(value);
            case TypeFamily::Time:  // a datetime or a duration
                return time(static_cast<TimeKind>(b.code), value);
            case TypeFamily::Math:
                return math(static_cast<MathKind>(b.code), value);
            case TypeFamily::List:
                return list(b.element, value, depth);
            case TypeFamily::Physics:  // every unit reads as a scalar
                break;
        }
        return Status::Ok;
    }

    Status scalar(FieldType::Scalar kind, std::string_view value) {
        switch (kind) {
            case FieldType::Integer:
                return integer(value);
            case FieldType::Number:
                return number(value);
            case FieldType::Bool:
                return boolean(value);
            case FieldType::Text:
            case FieldType::Other:
                break;
        }
        return sent(sink_->on_string(value));
    }

    Status integer(std::string_view value) {
        const auto n = parse_i32(value);
        if (!n) return not_a(value, "an i32");
        return sent(sink_->on_int(*n));
    }

    Status number(std::string_view value) {
        const auto x = parse_number(value);
        if (!x) return not_a(value, "a number");
        return sent(sink_->on_float(*x));
    }

    Status boolean(std::string_view value) {
        const auto b = parse_bool(value);
        if (!b) return not_a(value, "a bool (true, false, 1 or 0)");
        return sent(sink_->on_bool(*b));
    }

    Status color(std::string_view value) {
        if (!validate_primitive(PrimitiveKind::Color, value))
            return not_a(value, "a color (#RRGGBB or #RRGGBBAA)");
        return sent(sink_->on_string(value));
    }

    Status time(TimeKind kind, std::string_view value) {
        if (kind == TimeKind::DateTime) {
            auto read = read_datetime(value);
            if (!read.value) return fail(std::move(read.reason));
            if (const auto* date = std::get_if<Date>(&*read.value))
                return sent(sink_->on_date(*date));
            return sent(sink_->on_datetime(std::get<DateTime>(*read.value)));
        }
        auto read = read_duration(value);
        if (!read.value) return fail(std::move(read.reason));
        return sent(sink_->on_duration(*read.value));
    }

    Status math(MathKind kind, std::string_view value) {
        const std::size_t expected = math_components(kind);
        double numbers[16];
        std::size_t count = 0;
        for (std::size_t start = 0;;) {
            const std::size_t comma = value.find(',', start);
            const std::string_view piece = trim(value.substr(start, comma - start));
            const auto x = parse_number(piece);
            if (!x) return not_a(piece, "a number");
            if (count < std::size(numbers)) numbers[count] = *x;
            ++count;
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
        if (count != expected) {
            return fail(concat("'", value, "' holds ", std::to_string(count), " numbers, not ",
                               std::to_string(expected)));
        }
        const std::size_t rows = kind == MathKind::Matrix3x3   ? 3
                                 : kind == MathKind::Matrix4x4 ? 4
                                                               : 0;
        if (rows == 0) return tuple(numbers, count);
        if (!sink_->begin_tuple(rows)) return Status::Stopped;
        for (std::size_t r = 0; r < rows; ++r)
            if (tuple(numbers + r * rows, rows) != Status::Ok) return Status::Stopped;
        return sent(sink_->end_tuple());
    }

    Status tuple(const double* numbers, std::size_t n) {
        if (!sink_->begin_tuple(n)) return Status::Stopped;
        for (std::size_t i = 0; i < n; ++i)
            if (!sink_->on_float(numbers[i])) return Status::Stopped;
        return sent(sink_->end_tuple());
    }

    // A type resolved once per walk, known by where its name lies: a list's element type
    // inside the list type's name, a key's declared type in its schema. Names given from
    // elsewhere are only resolved again.
    FieldType known_type(std::string_view name) {
        for (const auto& [known, type] : known_)
            if (known.data() == name.data() && known.size() == name.size()) return type;
        const FieldType type = resolve_field_type(doc_, name);
        if (known_.size() < 32) known_.emplace_back(name, type);
        return type;
    }

    Status list(std::string_view element, std::string_view value, unsigned depth) {
        const FieldType type = known_type(element);
        Status status = Status::Ok;
        std::size_t at = 0;
        bool opened = false;
        // Opens the list at its first item, and tells whether to go on.
        const auto begin = [&] {
            if (opened) return true;
            opened = true;
            if (sink_->begin_list()) return true;
            status = Status::Stopped;
            return false;
        };
        const auto converted = [&] {
            ++at;
            if (status == Status::Failed)
                pieces_.push_back(concat("item ", std::to_string(at), ": "));
            return status == Status::Ok;
        };
        bool is_list;
        if (type.kind == FieldType::Schema) {
            // Objects are read in the pass that splits the list.
            BufferPool<ObjectField>::Buffer fields(field_pool_);
            BufferPool<literal_scan::InnerMark>::Buffer marks(mark_pool_);
            std::string error;
            const auto each_object = [&](std::string_view item, bool read) {
                if (!begin()) return false;
                if (depth + 1 > kMaxValueDepth) {
                    status = fail("value nested deeper than 256 levels");
                } else {
                    status = object(type.name, *type.schema, item, read, *fields, error, depth + 1);
                }
                return converted();
            };
            if (const ObjectListReading* reading = reading_of(value)) {
                // Read before, when the value was checked: every item is an object.
                is_list = true;
                fields->clear();
                reading->replay(
                    value,
                    [&](std::string_view key, std::string_view field_value) {
                        fields->push_back({key, field_value});
                    },
                    [&](std::string_view item) {
                        const bool go_on = each_object(item, true);
                        fields->clear();
                        return go_on;
                    });
            } else {
                is_list = for_each_list_object(value, *marks, *fields, error, each_object);
            }
        } else {
            is_list = for_each_list_item(value, [&](std::string_view item) {
                if (!begin()) return false;
                status = value_of(type, item, depth + 1);
                return converted();
            });
        }
        if (!is_list) return not_a(value, "a list literal [item, ...]");
        if (status != Status::Ok) return status;
        if (!opened && !sink_->begin_list()) return Status::Stopped;
        return sent(sink_->end_list());
    }

    Status object(std::string_view schema_name, const SchemaDef& schema, std::string_view value,
                  unsigned depth) {
        BufferPool<ObjectField>::Buffer fields(field_pool_);
        std::string error;
        const bool read = parse_inline_object_into(value, *fields, error);
        return object(schema_name, schema, value, read, *fields, error, depth);
    }

    // `value` as an object of the schema, once it is read: `read` and `fields` or `error`
    // are what parse_inline_object_into gave for it.
    Status object(std::string_view schema_name, const SchemaDef& schema, std::string_view value,
                  bool read, std::vector<ObjectField>& fields, const std::string& error,
                  unsigned depth) {
        const std::string_view t = trim(value);
        if (t.empty() || t.front() != '{' || t.back() != '}')
            return not_a(value, "an inline object { k = v, ... }");
        if (!read) return fail(error);
        Layout& fields_of = layout(schema);
        // The declaration of each field, or null: at hand for a few fields, pooled for many.
        SmallBuffer<const Layout::Field*, 32> declared(declared_pool_, fields.size());
        std::size_t required = 0;
        const auto declare = [&] {
            // Whether a name may be given twice: two fields of one declared name, two
            // undeclared fields, or a schema too wide to tell by a mask.
            std::uint64_t seen = 0;
            std::size_t undeclared = 0;
            bool twice = fields_of.size() > 64;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const Layout::Field* field = fields_of.find(fields[i].key, i);
                declared[i] = field;
                if (field == nullptr) {
                    twice = twice || ++undeclared > 1;
                    continue;
                }
                if (!field->optional) ++required;
                const std::uint64_t bit = std::uint64_t{1} << (fields_of.index_of(field) & 63);
                twice = twice || (seen & bit) != 0;
                seen |= bit;
            }
            return twice;
        };
        if (declare()) {
            // A field given twice keeps its first place and takes its last value.
            keep_last_values(fields);
            required = 0;
            declare();
        }
        // Fields are unique, so all required ones are there when as many are. Otherwise
        // the one named first in sorted order is missing, so that the message does not
        // depend on hash order.
        if (required != fields_of.required()) {
            for (const auto& field : fields_of.fields()) {
                if (field.optional) continue;
                const auto has = [&](const ObjectField& f) { return same_text(f.key, field.name); };
                if (std::none_of(fields.begin(), fields.end(), has)) {
                    return fail(concat("field '", field.name, "' of schema '", schema_name,
                                       "' is missing"));
                }
            }
        }
        if (!sink_->begin_object(fields.size())) return Status::Stopped;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const ObjectField& f = fields[i];
            const Layout::Field* field = declared[i];
            // A declared field's name is given as the schema has it: the same text, kept
            // in one place, which lets a sink know a name it has seen by where it lies.
            if (!sink_->key(field != nullptr ? field->name : f.key)) return Status::Stopped;
            if (field == nullptr) {
                if (!sink_->on_string(f.value)) return Status::Stopped;
                continue;
            }
            const Status s = value_of(field->info, f.value, depth + 1);
            if (s == Status::Failed) pieces_.push_back(concat("field '", f.key, "': "));
            if (s != Status::Ok) return s;
        }
        return sent(sink_->end_object());
    }

    // The reading kept of the value being converted, if it is the one given.
    const ObjectListReading* reading_of(std::string_view value) const {
        if (reading_ == nullptr || value.data() != read_value_.data() ||
            value.size() != read_value_.size())
            return nullptr;
        return reading_;
    }

    const QernDocument& doc_;
    TypedSink* sink_ = nullptr;
    const ObjectListReading* reading_ = nullptr;
    std::string_view read_value_;
    std::vector<std::string> pieces_;
    std::vector<std::unique_ptr<Layout>> layouts_;
    std::vector<std::pair<std::string_view, FieldType>> known_;
    BufferPool<ObjectField> field_pool_;
    BufferPool<literal_scan::InnerMark> mark_pool_;
    BufferPool<const Layout::Field*> declared_pool_;
};

std::optional<std::string_view> declared_type(const QernDocument& doc, std::string_view key) {
    if (doc.schemas().size() == 0) return std::nullopt;
    const auto owner = doc.schemas().owner_of(key);
    if (!owner) return std::nullopt;
    return owner->type;
}

TypedConverter::TypedConverter(const QernDocument& doc) : impl_(std::make_unique<Converter>(doc)) {}

TypedConverter::~TypedConverter() = default;

Result<void> TypedConverter::convert(std::string_view key, std::string_view type,
                                     std::string_view value, TypedSink& sink,
                                     const ObjectListReading* reading) {
    return impl_->convert(key, type, value, sink, reading);
}

Result<void> convert_typed(const QernDocument& doc, std::string_view key, std::string_view type,
                           std::string_view value, TypedSink& sink) {
    return TypedConverter(doc).convert(key, type, value, sink, nullptr);
}

Result<void> convert_typed_document(const QernDocument& doc, TypedSink& sink) {
    if (!sink.begin_object(doc.data().size())) return success();
    TypedConverter converter(doc);
    std::optional<QernError> failure;
    bool stopped = false;
    for (std::size_t i = 0; i < doc.data().size() && !stopped && !failure; ++i) {
        const DataMap::Entry& e = doc.data().entry(i);
        if (!sink.key(e.key)) {
            stopped = true;
            break;
        }
        const auto type = declared_type(doc, e.key);
        if (!type) {
            stopped = !sink.on_string(e.value);
            continue;
        }
        auto converted = converter.convert(e.key, *type, e.value, sink, doc.data().reading(i));
        if (!converted) failure = std::move(converted).error();
    }
    if (failure) return std::move(*failure);
    if (!stopped) (void)sink.end_object();
    return success();
}

}  // namespace qern
