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
// changes, so that forming the error cannot fail after the derive has taken effect. A
// recovering merge (`context`) has reported the failed assignment of a key already: that
// key missing is no second error.
std::optional<QernError> missing_required(const QernDocument& doc, const QernDocument& base,
                                          const std::vector<std::string>& own_schemas,
                                          const MergeContext& context) {
    const bool recovering = context.recovering();
    for (const std::string& name : own_schemas) {
        const SchemaDef* schema = doc.schemas().find(name);
        if (schema == nullptr) continue;
        const std::pair<const std::string, std::string>* missing = nullptr;
        for (const auto& field : schema->fields) {
            if (schema->optional.count(field.first) != 0 || doc.data().contains(field.first) ||
                base.data().contains(field.first) ||
                (recovering && context.key_failed(field.first)))
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
    // A merge that goes on past errors (the checker) has reported the base file's own
    // errors by now, and goes on with what of the base did merge. The base file is left
    // before anything else happens, so that what follows is placed in this file.
    const bool recovering = context.recovering();
    const std::size_t failed_before = context.failed_schema_count();
    std::optional<Result<QernDocument>> parsed;
    {
        auto file = context.enter(target.path, IncludeKind::Derive, [](std::string reason) {
            return derive_error(std::move(reason));
        });
        if (!file) return std::move(file).error();
        parsed.emplace(parse_document_within(file->text(), context));
    }
    if (!*parsed) return std::move(*parsed).error();
    QernDocument& base = parsed->value();
    if (MergeObserver* observer = context.observer()) observer->on_derive(context, doc, base);

    std::vector<std::string> own_schemas = doc.schemas().names();
    std::sort(own_schemas.begin(), own_schemas.end());

    // The selected schemas come over up to the first one the base does not hold (each is
    // taken out of the base once, so naming one twice finds nothing the second time);
    // that error stops the derive before the data. The error to report is known before
    // anything takes effect. A recovering merge reports each missing one and goes on,
    // and passes over one that the base declared but could not register: that failure
    // is reported where it happened.
    const std::vector<std::string> base_schemas =
        target.schemas.empty() ? base.schemas().names() : std::vector<std::string>();
    Transfer transfer(doc);  // after the names it refers to, so that it goes first
    std::optional<QernError> failure;
    if (target.schemas.empty()) {
        for (const std::string& name : base_schemas) transfer.take_schema(base, name);
    } else {
        for (const std::string_view name : target.schemas) {
            if (!base.schemas().contains(name)) {
                if (recovering && context.schema_failed_since(failed_before, name)) continue;
                QernError missing = derive_error(concat("Schema '", name, "' not found"));
                missing.set_subject(args, name);
                if (recovering) {
                    context.report_at(std::move(missing), name);
                    continue;
                }
                failure = std::move(missing);
                break;
            }
            transfer.take_schema(base, name);
        }
    }
    if (!failure) {
        transfer.take_defaults(base);
        failure = missing_required(doc, base, own_schemas, context);
    }
    transfer.commit();
    if (failure) return std::move(*failure);
    return success();
}

}  // namespace qern
