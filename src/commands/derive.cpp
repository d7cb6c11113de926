#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/builtins.hpp"
#include "commands/commands.hpp"
#include "qern/rules.hpp"
#include "qern/text.hpp"
#include "types/types.hpp"

namespace qern {

namespace {

QernError derive_error(std::string message) {
    return QernError::directive(kDeriveName, std::move(message), ErrorKind::Derive);
}

// What a derive takes from its base into the document. Schemas are registered as they
// come; types and defaults are gathered, with the room they need, and put in place last by
// operations that cannot fail. Unless commit() is reached, the schemas are taken back, so
// that a failure to allocate on the way leaves the document as it was.
class Transfer {
  public:
    explicit Transfer(QernDocument& doc) : doc_(doc) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (committed_) return;
        for (const std::string_view name : registered_) (void)doc_.schemas().remove(name);
    }

    // Schema `name` (which the base holds), with the registered types its fields name.
    // The document keeps its own schemas and types of the same names. `name` must stay
    // valid as long as this object.
    void take_schema(QernDocument& base, std::string_view name) {
        std::optional<SchemaDef> schema = base.schemas().remove(name);
        for (const auto& field : schema->fields) {
            const std::string_view type = list_element_type(field.second).value_or(field.second);
            const auto found = base.types().find(type);
            if (found == base.types().end()) continue;
            auto node = base.types().extract(found);
            if (doc_.types().find(type) == doc_.types().end()) types_.push_back(std::move(node));
        }
        if (doc_.schemas().contains(name)) return;
        registered_.push_back(name);
        doc_.schemas().insert(name, std::move(*schema));
    }

    // The base's pairs whose keys the document does not have, as defaults, in the order
    // the base first assigned them: they are the document's next keys.
    void take_defaults(const QernDocument& base) {
        const DataMap& data = doc_.data();
        base.data().for_each_in_order([&](const DataMap::Entry& e) {
            if (!data.contains(e.key)) defaults_.push_back({e.key, e.value, data.hash(e.key)});
        });
    }

    void commit() {
        make_room(doc_.types(), types_.size());
        std::size_t bytes = 0;
        for (const DataMap::Pending& e : defaults_) bytes += e.key.size() + e.value.size();
        doc_.data().make_room(defaults_.size(), bytes);
        for (auto& node : types_) doc_.types().insert(std::move(node));
        for (const DataMap::Pending& e : defaults_) doc_.data().insert_new(e);
        committed_ = true;
    }

  private:
    QernDocument& doc_;
    std::vector<std::string_view> registered_;
    std::vector<StringMap<std::unique_ptr<TypeDef>>::node_type> types_;
    std::vector<DataMap::Pending> defaults_;  // views into the base, alive until commit()
    bool committed_ = false;
};

// A required field of the document's own schemas that neither the document nor the
// base's defaults provide: of several, the first by schema name (`own_schemas` is sorted),
// then by field name, so that every run reports the same one. Found before anything
// changes, so that forming the error cannot fail after the derive has taken effect.
std::optional<QernError> missing_required(const QernDocument& doc, const QernDocument& base,
                                          const std::vector<std::string>& own_schemas) {
    for (const std::string& name : own_schemas) {
        const SchemaDef* schema = doc.schemas().find(name);
        if (schema == nullptr) continue;
        const std::pair<const std::string, std::string>* missing = nullptr;
        for (const auto& field : schema->fields) {
            if (schema->optional.count(field.first) != 0 || doc.data().contains(field.first) ||
                base.data().contains(field.first))
                continue;
            if (missing == nullptr || field.first < missing->first) missing = &field;
        }
        if (missing != nullptr)
            return QernError::schema_validation(
                name, missing->first, missing->second,
                concat("Missing required field '", missing->first, "'"), ErrorKind::MissingField);
    }
    return std::nullopt;
}

}  // namespace

Result<void> DeriveCommand::execute(QernDocument& doc, std::string_view args) const {
    const DeriveSyntax target = split_target(args);

    MergeContext local;
    MergeContext& context = doc.merge_context() ? *doc.merge_context() : local;
    auto file = context.enter(target.path, IncludeKind::Derive,
                              [](std::string reason) { return derive_error(std::move(reason)); });
    if (!file) return std::move(file).error();
    const std::size_t reported = context.reported();
    auto parsed = parse_document_within(file->text(), context);
    if (!parsed) return std::move(parsed).error();
    // A checker that goes on past errors has reported the base file's own: deriving from
    // what is left of it would only add errors that follow from those.
    if (context.reported() != reported) return success();
    QernDocument& base = *parsed;

    std::vector<std::string> own_schemas = doc.schemas().names();
    std::sort(own_schemas.begin(), own_schemas.end());

    // The selected schemas come over up to the first one the base does not hold (each is
    // taken out of the base once, so naming one twice finds nothing the second time);
    // that error stops the derive before the data. The error to report is known before
    // anything takes effect.
    const std::vector<std::string> base_schemas =
        target.schemas.empty() ? base.schemas().names() : std::vector<std::string>();
    Transfer transfer(doc);  // after the names it refers to, so that it goes first
    std::optional<QernError> failure;
    if (target.schemas.empty()) {
        for (const std::string& name : base_schemas) transfer.take_schema(base, name);
    } else {
        for (const std::string_view name : target.schemas) {
            if (!base.schemas().contains(name)) {
                failure = derive_error(concat("Schema '", name, "' not found"));
                failure->set_subject(args, name);
                break;
            }
            transfer.take_schema(base, name);
        }
    }
    if (!failure) {
        transfer.take_defaults(base);
        failure = missing_required(doc, base, own_schemas);
    }
    transfer.commit();
    if (failure) return std::move(*failure);
    return success();
}

}  // namespace qern
